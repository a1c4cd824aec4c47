#include "bindings/parameter_blocks/params.hpp"

#include <vector>

#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"
#include "core/parameter_blocks/parser.hpp"

namespace vellkit::py {

Ref parameter_value(const ParamRecord& rec);

namespace {

Ref decode_name(const ParamRecord& rec) {
    PyObject* raw_key = PyUnicode_DecodeUTF8(rec.name.data(), (Py_ssize_t)rec.name.size(), "strict");
    if (!raw_key) throw PyError();
    PyUnicode_InternInPlace(&raw_key);
    return Ref::steal(raw_key);
}

// The interned name of a record: from the cache when it holds the four
// stored bytes, else decoded and offered to it. The cache's lock is never
// held while an object is made.
Ref parameter_name(NameCache* cache, const ParamRecord& rec) {
    if (cache) {
        NameCache::Locked view(*cache);
        if (PyObject* cached = view.find(rec.raw_name)) return Ref::from_borrowed(cached);
    }
    Ref name = decode_name(rec);
    if (cache) {
        NameCache::Locked view(*cache);
        view.add(rec.raw_name, name.get());
    }
    return name;
}

// Stores the records in order: a name keeps the position of its first
// record and takes the value of its last, as a dict built from the block.
// (Names cannot fail: the parser has checked they are UTF-8.)
void store_records(NameCache* cache, const std::vector<ParamRecord>& records, PyObject* params) {
    for (const ParamRecord& rec : records) {
        Ref key = parameter_name(cache, rec);
        Ref value = parameter_value(rec);
        check_status(PyDict_SetItem(params, key.get(), value.get()));
    }
}

}  // namespace

Ref parameters_dict(FieldReporter& reporter, const std::vector<ParamRecord>& records) {
    Ref params = Ref::check(PyDict_New());
    store_records(reporter.state()->name_cache, records, params.get());
    return params;
}

wide offset_value(PyObject* offset) {
    Ref index = Ref::check(PyNumber_Index(offset));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyError();
    if (overflow) check(Status::error(ErrorCode::seek_overflow));
    return v;
}

}  // namespace vellkit::py
