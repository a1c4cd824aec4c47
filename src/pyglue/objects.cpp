#include "pyglue/objects.hpp"

#include "core/format/text.hpp"

namespace vellkit::py {

Ref decode_stored_text(const char* data, size_t size) {
    switch (classify_text(reinterpret_cast<const unsigned char*>(data), size)) {
    case TextEncoding::ascii:
        return Ref::check(PyUnicode_DecodeASCII(data, (Py_ssize_t)size, "strict"));
    case TextEncoding::utf8:
        return Ref::check(PyUnicode_DecodeUTF8(data, (Py_ssize_t)size, "strict"));
    case TextEncoding::latin1:
        break;
    }
    return Ref::check(PyUnicode_DecodeLatin1(data, (Py_ssize_t)size, "strict"));
}

Ref parameter_value(const ParamRecord& rec) {
    switch (rec.kind) {
    case ParamRecord::Kind::integer:
        return new_int(rec.integer);
    case ParamRecord::Kind::real:
        return new_float(rec.real);
    case ParamRecord::Kind::text:
        break;
    }
    return decode_stored_text(rec.text);
}


}  // namespace vellkit::py
