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

// The records' names, by position: cached names are taken under one hold
// of the cache's lock, the others decoded without it and then offered to
// the cache under a second hold.
std::vector<Ref> parameter_names(NameCache* cache, const std::vector<ParamRecord>& records) {
    std::vector<Ref> names(records.size());
    size_t missing = records.size();
    if (cache) {
        NameCache::Locked view(*cache);
        for (size_t i = 0; i < records.size(); ++i) {
            if (PyObject* cached = view.find(records[i].raw_name)) {
                names[i] = Ref::from_borrowed(cached);
                --missing;
            }
        }
    }
    if (missing == 0) return names;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!names[i]) names[i] = decode_name(records[i]);
    }
    if (cache) {
        NameCache::Locked view(*cache);
        for (size_t i = 0; i < records.size(); ++i) view.add(records[i].raw_name, names[i].get());
    }
    return names;
}

// Stores the records in order: a name keeps the position of its first
// record and takes the value of its last, as a dict built from the block.
void store_records(NameCache* cache, const std::vector<ParamRecord>& records, PyObject* params) {
    std::vector<Ref> names = parameter_names(cache, records);
    for (size_t i = 0; i < records.size(); ++i) {
        const ParamRecord& rec = records[i];
        const Ref& key = names[i];
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

void merge_parameters(Cursor& cursor, wide offset, FieldReporter& reporter, PyObject* params) {
    std::vector<ParamRecord> records;
    check(reporter.run_core(cursor.source(),
        [&](FieldReadObserver& observer) { return parse_parameter_block(cursor, offset, observer, records); }));
    // New names are appended in the order of their first record, values of
    // known names replaced in place: what update() with the block's dict does.
    store_records(reporter.state()->name_cache, records, params);
}

Ref read_parameters(Cursor& cursor, wide offset, FieldReporter& reporter) {
    Ref params = Ref::check(PyDict_New());
    merge_parameters(cursor, offset, reporter, params.get());
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
