// Per-module state: the objects every call needs, made once at import.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "pyglue/pyref.hpp"
#include "core/format/catalogue.hpp"

namespace vellkit::py {

enum ResultClass {
    kBaseDataReturn,
    kSingleDataReturn,
    kImageDataReturn,
    kImageTRCDataReturn,
    kTimeResolvedDataReturn,
    kTimeResolvedTRCDataReturn,
    kMultiRegionDataReturn,
    kRegion,
    kMultiRegionTRCDataReturn,
    kResultClassCount
};

// Names the result classes' code uses, in the order of kResultNames.
enum ResultName {
    kNameY,
    kNameDimension,
    kNameDataType,
    kNameDerivative,
    kNameParameters,
    kNameX,
    kNameMinY,
    kNameMaxY,
    kNameDescription,
    kNameInit,
    kNameSuper,
    kNameBuiltins,
    // A Region's class name and its attributes, in the order of a call's keywords.
    kNameRegion,
    kNameTitle,
    kNameSpectra,
    kNameMapX,
    kNameMapY,
    kNameStartTime,
    kResultNameCount
};

enum OwnFunction { kFnHelp, kFnListContents, kFnIsVellFile, kFnDecodeString, kFnGetVellData, kFnGetVisImages, kOwnFunctionCount };

// Parameter names as interned strings, by their four stored bytes: the same
// few hundred names recur in every file, and a cached name skips decoding,
// hashing and interning (and, for a name no other object holds, its removal
// from the interned strings when the call's dictionaries go).
//
// Calls on many threads share it, and with a free-threaded interpreter no
// GIL orders them: every access goes through a `Locked` view, taken once
// per parameter block so that the lock costs nothing worth measuring.
// Entries are only ever added while the module lives, so a name found stays
// valid until the module is freed.
#ifdef Py_GIL_DISABLED
using CacheMutex = std::mutex;
#else
// With the GIL, every use of the cache is already one at a time.
struct CacheMutex {
    void lock() {}
    void unlock() {}
};
#endif

class NameCache {
public:
    static constexpr size_t kCapacity = 4096;

    NameCache() = default;
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;
    ~NameCache() { clear(); }

    // The cache under its lock. No Python object may be made while a view
    // is held: making one can start the collector, which on a free-threaded
    // interpreter waits for every other thread, and a thread waiting for
    // this lock cannot stop.
    class Locked {
    public:
        explicit Locked(NameCache& cache) : cache_(cache), hold_(cache.mutex_) {}
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

        // A borrowed reference to the name stored as `raw`, or NULL.
        PyObject* find(uint32_t raw) const {
            if (cache_.slots_.empty()) return nullptr;
            return cache_.slots_[cache_.slot_of(raw)].name;
        }
        // Keeps a new reference to `name` when there is room and `raw` is
        // not cached yet (another thread may have added it meanwhile).
        void add(uint32_t raw, PyObject* name) {
            if (cache_.count_ >= kCapacity) return;
            if ((cache_.count_ + 1) * 2 > cache_.slots_.size()) cache_.grow();
            Slot& slot = cache_.slots_[cache_.slot_of(raw)];
            if (slot.name) return;
            slot.raw = raw;
            slot.name = name;
            Py_INCREF(name);
            ++cache_.count_;
        }

    private:
        NameCache& cache_;
        std::lock_guard<CacheMutex> hold_;
    };

    // Drops every name; the references go after the lock is let go.
    void clear() {
        std::vector<Slot> dropped;
        {
            std::lock_guard<CacheMutex> hold(mutex_);
            dropped.swap(slots_);
            count_ = 0;
        }
        for (Slot& slot : dropped) Py_XDECREF(slot.name);
    }

private:
    // Open addressing over a table at most half full: a lookup is a multiply
    // and, nearly always, one slot (no node to follow, no division).
    struct Slot {
        uint32_t raw = 0;
        PyObject* name = nullptr;  // empty slot when null
    };

    // The slot that holds `raw`, or the empty slot where it would go.
    size_t slot_of(uint32_t raw) const {
        const size_t mask = slots_.size() - 1;
        for (size_t i = (size_t)((raw * 2654435761u) >> 7) & mask;; i = (i + 1) & mask) {
            if (!slots_[i].name || slots_[i].raw == raw) return i;
        }
    }
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 512 : slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.name) slots_[slot_of(slot.raw)] = slot;
    }

    CacheMutex mutex_;
    std::vector<Slot> slots_;  // a power of two in size
    size_t count_ = 0;
};

struct ModuleState {
    NameCache* name_cache;  // owned; not a Python object

    // Standard library and numpy.
    PyObject* struct_unpack;
    PyObject* builtin_open;
    PyObject* builtin_print;
    PyObject* np_empty;
    PyObject* np_zeros;
    PyObject* np_linspace;
    PyObject* np_vstack;
    PyObject* np_float32;  // numpy.dtype(numpy.float32)
    PyObject* np_float64;  // numpy.dtype(numpy.float64)

    // What import created, to recognise them when looked up at call time.
    PyObject* own_classes[kResultClassCount];
    PyObject* own_init_codes[kResultClassCount];  // the code of each class's __init__ as import made it
    PyObject* own_init_texts[kResultClassCount];  // the one str constant of that code, if it has one
    PyObject* result_names[kResultNameCount];     // attribute and global names the result classes use
    PyObject* own_functions[kOwnFunctionCount];

    // Request words and listing words.
    PyObject* block_names[kBlockNameCount];
    PyObject* word_2d;
    PyObject* word_3d;
    PyObject* listing_derivs[4];  // NONE 1DER 2DER 3DER
    PyObject* data_block_dict;    // word -> (Data, Sample)
    PyObject* deriv_dict;         // word -> Derivative

    // Field read reports.
    PyObject* report_formats[5];
    PyObject* report_contexts[5];
    PyObject* report_functions[5];
};

inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Names of the state's object slots, walked by traverse and clear.
template <typename Visit>
void for_each_slot(ModuleState* st, Visit&& visit) {
    visit(st->struct_unpack);
    visit(st->builtin_open);
    visit(st->builtin_print);
    visit(st->np_empty);
    visit(st->np_zeros);
    visit(st->np_linspace);
    visit(st->np_vstack);
    visit(st->np_float32);
    visit(st->np_float64);
    for (auto& p : st->own_classes) visit(p);
    for (auto& p : st->own_init_codes) visit(p);
    for (auto& p : st->own_init_texts) visit(p);
    for (auto& p : st->result_names) visit(p);
    for (auto& p : st->own_functions) visit(p);
    for (auto& p : st->block_names) visit(p);
    visit(st->word_2d);
    visit(st->word_3d);
    for (auto& p : st->listing_derivs) visit(p);
    visit(st->data_block_dict);
    visit(st->deriv_dict);
    for (auto& p : st->report_formats) visit(p);
    for (auto& p : st->report_contexts) visit(p);
    for (auto& p : st->report_functions) visit(p);
}

}  // namespace vellkit::py
