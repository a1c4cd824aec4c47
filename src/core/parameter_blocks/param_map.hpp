// Parameter records merged by name, as a dictionary update merges them: a
// name keeps the place of its first record and takes the value of its last.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/parameter_blocks/parser.hpp"

namespace vellkit {

class ParamMap {
public:
    void merge(const std::vector<ParamRecord>& records) {
        reserve(records.size());
        for (const ParamRecord& r : records) put(r);
    }
    // The same, taking the records' names and texts over.
    void merge(std::vector<ParamRecord>&& records) {
        reserve(records.size());
        for (ParamRecord& r : records) put(std::move(r));
    }
    // The record of `name`, or nullptr.
    const ParamRecord* find(const std::string& name) const {
        if (slots_.empty()) return nullptr;
        const uint32_t place = slots_[probe(key_of(name), name)].place;
        return place == 0 ? nullptr : &values_[place - 1];
    }
    bool empty() const { return values_.empty(); }
    // The merged records, each name once, in the order of its first record.
    const std::vector<ParamRecord>& records() const { return values_; }

private:
    // An open-addressed table of slots, each the position of a record in
    // values_ (plus one: a zeroed slot is empty) beside a key of its name: a
    // name of up to four bytes (all the file stores) is its own key, so that
    // names are told apart without touching the records but for their length.
    struct Slot {
        uint32_t place;
        uint32_t key;
    };
    // Room for the names of several blocks at once (a few hundred): most
    // maps never grow, and their records are never moved but once. An empty
    // table is zeroed memory, which costs next to nothing to make.
    static constexpr size_t kFirstSlots = 512;

    static uint32_t key_of(const std::string& name) {
        const size_t n = name.size();
        uint32_t key = 0;
        if (n <= 4) {
            for (size_t i = 0; i < n; ++i) key |= (uint32_t)(unsigned char)name[i] << (8 * i);
            return key;
        }
        key = 2166136261u;  // FNV-1a; longer names compare their text too
        for (unsigned char c : name) key = (key ^ c) * 16777619u;
        return key;
    }
    static size_t spread(uint32_t key) { return (size_t)(((uint64_t)key * 0x9E3779B97F4A7C15ull) >> 32); }
    bool same(const Slot& slot, uint32_t key, const std::string& name) const {
        if (slot.key != key) return false;
        const std::string& stored = values_[slot.place - 1].name;
        return name.size() <= 4 ? stored.size() == name.size() : stored == name;
    }

    // Room for `more` new names without growing inside the loop.
    void reserve(size_t more) {
        const size_t need = (values_.size() + more) * 2;
        if (need <= slots_.size()) return;
        size_t size = slots_.empty() ? kFirstSlots : slots_.size();
        while (size < need) size *= 2;
        rehash(size);
    }

    template <typename Record>
    void put(Record&& r) {
        if ((values_.size() + 1) * 2 > slots_.size()) rehash(slots_.empty() ? kFirstSlots : slots_.size() * 2);
        const uint32_t key = key_of(r.name);
        const size_t i = probe(key, r.name);
        if (slots_[i].place == 0) {
            values_.push_back(std::forward<Record>(r));
            slots_[i] = Slot{(uint32_t)values_.size(), key};
        } else {
            values_[slots_[i].place - 1] = std::forward<Record>(r);
        }
    }

    // The slot that holds `name`, or the empty slot where it would go.
    size_t probe(uint32_t key, const std::string& name) const {
        const size_t mask = slots_.size() - 1;
        for (size_t i = spread(key) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.place == 0 || same(slot, key, name)) return i;
        }
    }
    void rehash(size_t size) {
        std::vector<Slot> old(size);
        old.swap(slots_);
        const size_t mask = size - 1;
        for (const Slot& slot : old) {
            if (slot.place == 0) continue;
            size_t j = spread(slot.key) & mask;
            while (slots_[j].place != 0) j = (j + 1) & mask;
            slots_[j] = slot;
        }
        values_.reserve(size / 2);
    }

    std::vector<ParamRecord> values_;
    std::vector<Slot> slots_;  // a power of two in size, at most half full
};

}  // namespace vellkit
