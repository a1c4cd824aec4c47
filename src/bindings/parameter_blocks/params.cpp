#include "bindings/parameter_blocks/params.hpp"

#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/format/text.hpp"
#include "core/parameter_blocks/parser.hpp"

namespace vellkit::py {

Ref read_parameters(Cursor& cursor, wide offset, FieldReporter& reporter) {
    std::vector<ParamRecord> records;
    check(parse_parameter_block(cursor, offset, reporter, records));
    Ref params = Ref::check(PyDict_New());
    for (const ParamRecord& rec : records) {
        PyObject* raw_key = PyUnicode_DecodeUTF8(rec.name.data(), (Py_ssize_t)rec.name.size(), "strict");
        if (!raw_key) throw PyError();
        PyUnicode_InternInPlace(&raw_key);
        Ref key = Ref::steal(raw_key);
        Ref value;
        switch (rec.kind) {
        case ParamRecord::Kind::integer:
            value = new_int(rec.integer);
            break;
        case ParamRecord::Kind::real:
            value = new_float(rec.real);
            break;
        case ParamRecord::Kind::text:
            value = decode_stored_text(rec.text);
            break;
        }
        check_status(PyDict_SetItem(params.get(), key.get(), value.get()));
    }
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
