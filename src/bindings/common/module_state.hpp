// Per-module state: the objects every call needs, made once at import.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

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
        explicit Locked(NameCache& cache) : names_(cache.names_), hold_(cache.mutex_) {}
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

        // A borrowed reference to the name stored as `raw`, or NULL.
        PyObject* find(uint32_t raw) const {
            auto it = names_.find(raw);
            return it == names_.end() ? nullptr : it->second;
        }
        // Keeps a new reference to `name` when there is room and `raw` is
        // not cached yet (another thread may have added it meanwhile).
        void add(uint32_t raw, PyObject* name) {
            if (names_.size() >= kCapacity) return;
            if (names_.emplace(raw, name).second) Py_INCREF(name);
        }

    private:
        std::unordered_map<uint32_t, PyObject*>& names_;
        std::lock_guard<CacheMutex> hold_;
    };

    // Drops every name; the references go after the lock is let go.
    void clear() {
        std::unordered_map<uint32_t, PyObject*> dropped;
        {
            std::lock_guard<CacheMutex> hold(mutex_);
            dropped.swap(names_);
        }
        for (auto& entry : dropped) Py_DECREF(entry.second);
    }

private:
    CacheMutex mutex_;
    std::unordered_map<uint32_t, PyObject*> names_;
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
    PyObject* np_float32;
    PyObject* np_float64;

    // What import created, to recognise them when looked up at call time.
    PyObject* own_classes[kResultClassCount];
    PyObject* own_region_code;  // the code of Region.__init__ as import made it
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
    visit(st->own_region_code);
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
