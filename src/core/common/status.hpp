// Outcome of a core operation. The core never touches Python: it reports
// what went wrong with a code and the numbers needed for the message, and
// the binding layer turns that into the matching Python exception.
#pragma once

#include <cstdint>
#include <string>

namespace vellkit {

enum class ErrorCode {
    ok = 0,
    seek_negative,          // a seek to a position below zero (OSError EINVAL)
    seek_overflow,          // a position that no file offset can hold
    os_error,               // a system call failed; `sys_errno` says why
    param_type,             // unknown parameter type code in `value`
    param_name_utf8,        // parameter name bytes are not UTF-8; `bytes` holds them
    param_unterminated,     // parameter block at `offset` reaches the end of the file
    store_table_too_large,  // store table claims `value` entries at `offset`
    records_too_many,       // store table names `value` records at `offset`
    reports_past_end,       // `value` records of the block at `offset` would be reported past the end
    rows_too_many,          // annotation table claims `value` rows at `offset`
    interrupted,            // the consumer's interrupt hook asked to stop (its error is set)
    not_seekable,           // a seek on a file that cannot seek (a pipe)
    memory_limit,           // results would take `value` bytes, past the limit `offset`,
                            // for a file of `file_size` bytes named by `bytes`
    memory_setting,         // the memory limit variable holds `bytes`, not a size
    annotation_column_type,  // annotation column `value` has a type no reader knows
    annotation_text_length,  // a text field's byte count (column `value`) is not an integer
    image_value,            // an image walk step met a value that is not an integer
    image_missing,          // an image walk step looked up a name that is not there
};

struct Status {
    ErrorCode code = ErrorCode::ok;
    int64_t value = 0;
    int64_t offset = 0;
    int sys_errno = 0;
    int64_t file_size = 0;
    std::string bytes;

    bool ok() const { return code == ErrorCode::ok; }

    static Status error(ErrorCode code, int64_t value = 0, int64_t offset = 0) {
        Status s;
        s.code = code;
        s.value = value;
        s.offset = offset;
        return s;
    }
    static Status from_errno(int err) {
        Status s;
        s.code = ErrorCode::os_error;
        s.sys_errno = err;
        return s;
    }
};

#define VELLKIT_TRY(expr)                      \
    do {                                       \
        ::vellkit::Status vellkit_status_ = (expr); \
        if (!vellkit_status_.ok()) return vellkit_status_; \
    } while (0)

}  // namespace vellkit
