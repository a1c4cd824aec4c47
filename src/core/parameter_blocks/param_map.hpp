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
        for (const ParamRecord& r : records) put(r);
    }
    // The same, taking the records' names and texts over.
    void merge(std::vector<ParamRecord>&& records) {
        for (ParamRecord& r : records) put(std::move(r));
    }
    // The record of `name`, or nullptr.
    const ParamRecord* find(const std::string& name) const {
        if (slots_.empty()) return nullptr;
        const uint32_t k = slots_[probe(name)];
        return k == kEmpty ? nullptr : &values_[k];
    }
    bool empty() const { return values_.empty(); }
    // The merged records, each name once, in the order of its first record.
    const std::vector<ParamRecord>& records() const { return values_; }

private:
    // An open-addressed table of indices into values_, whose records hold
    // the names: a few hundred short names need no node per name.
    static constexpr uint32_t kEmpty = UINT32_MAX;

    template <typename Record>
    void put(Record&& r) {
        if ((values_.size() + 1) * 2 > slots_.size()) grow();
        const size_t i = probe(r.name);
        if (slots_[i] == kEmpty) {
            slots_[i] = (uint32_t)values_.size();
            values_.push_back(std::forward<Record>(r));
        } else {
            values_[slots_[i]] = std::forward<Record>(r);
        }
    }

    static size_t hash(const std::string& name) {
        uint64_t h = 14695981039346656037ull;  // FNV-1a
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
        return (size_t)(h ^ (h >> 32));
    }
    // The slot that holds `name`, or the empty slot where it would go.
    size_t probe(const std::string& name) const {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash(name) & mask;; i = (i + 1) & mask) {
            const uint32_t k = slots_[i];
            if (k == kEmpty || values_[k].name == name) return i;
        }
    }
    void grow() {
        slots_.assign(slots_.empty() ? 64 : slots_.size() * 2, kEmpty);
        for (size_t k = 0; k < values_.size(); ++k) slots_[probe(values_[k].name)] = (uint32_t)k;
        values_.reserve(slots_.size() / 2);
    }

    std::vector<ParamRecord> values_;
    std::vector<uint32_t> slots_;  // a power of two in size, at most half full
};

}  // namespace vellkit
