// getVisImages: the visible images of a file. The first image block holds
// image list blocks (BID, NRP and the offset F.. and length Z.. of every
// image entry) and the entries themselves (labelled values, SIZ, T00, F00
// and the image bytes).
//
// The core walks the block and locates every entry and its bytes; where a
// value of the file is not an integer, the step is done again here with the
// values as Python objects, so that it fails exactly as that arithmetic
// fails. The labelled values become the image's dictionary here.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "pyglue/errors.hpp"
#include "bindings/common/objects.hpp"
#include "bindings/common/functions.hpp"
#include "bindings/format/catalogue.hpp"
#include "bindings/parameter_blocks/params.hpp"
#include "core/format/block_type.hpp"
#include "core/format/layout.hpp"
#include "core/images/image_list.hpp"
#include "core/images/image_walk.hpp"

namespace vellkit::py {

namespace {

Ref add(PyObject* a, PyObject* b) { return Ref::check(PyNumber_Add(a, b)); }

// Whether a BID value names an image block. Parsed integers are 32-bit and
// decode natively; any other value goes through the same shifts and masks
// as Python objects, failing where that arithmetic fails.
bool names_image_block(PyObject* code) {
    if (PyLong_CheckExact(code)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(code, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyError();
        if (!overflow) return decode_block_type(v).extend_type == extend_type::image;
    }
    Ref field;
    for (int i = 0; i < layout::kBlockFieldCount; ++i) {
        Ref shift = new_int(layout::kBlockFieldShifts[i]);
        Ref mask = new_int(layout::kBlockFieldMasks[i]);
        Ref shifted = Ref::check(PyNumber_Rshift(code, shift.get()));
        field = Ref::check(PyNumber_And(shifted.get(), mask.get()));
    }
    return equals_number(field.get(), extend_type::image);
}

// The count argument of a file object's read(): None or an integer, a
// count of -1 reading to the end of the file; read()'s own errors for
// anything else.
Py_ssize_t read_request(PyObject* n) {
    if (n == Py_None) return -1;
    if (!PyIndex_Check(n)) {
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'", Py_TYPE(n)->tp_name);
        throw PyError();
    }
    Py_ssize_t v = PyNumber_AsSsize_t(n, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw PyError();
    // As a file's read: -1 reads to the end, other negative counts are refused.
    if (v < -1) {
        PyErr_SetString(PyExc_ValueError, "read length must be non-negative or -1");
        throw PyError();
    }
    return v;
}

class ImageBlockReader {
public:
    ImageBlockReader(PyObject* module, OpenFile& file, const DirectoryEntry& block)
        : module_(module), cursor_(file.source()), reporter_(state_of(module), &file.interrupt()),
          interrupt_(file.interrupt()), block_(block) {}

    Ref read() {
        ParamMap lists;
        ImageStop stop;
        check_step(reporter_.run_core(cursor_.source(),
                       [&](FieldReadObserver& observer) { return walk_image_lists(cursor_, observer, block_, lists, stop); }),
                   stop);
        long long count = 0;
        check_step(image_count(lists, count, stop), stop);
        Ref images = Ref::check(PyList_New(0));
        for (long long n = 0; n < count; ++n) {
            Ref image = read_image(lists, n);
            check_status(PyList_Append(images.get(), image.get()));
        }
        return images;
    }

private:
    Ref read_image(const ParamMap& lists, long long n) {
        wide entry = 0;
        ImageStop stop;
        check_step(locate_image_entry(lists, block_.byte_offset, n, entry, stop), stop);
        std::vector<ParamRecord> records;
        check(reporter_.run_core(cursor_.source(),
            [&](FieldReadObserver& observer) { return parse_parameter_block(cursor_, entry, observer, records); }));
        Ref params = parameters_dict(reporter_, records);
        Ref image = Ref::check(PyDict_New());
        ParamMap entry_params;
        entry_params.merge(records);
        const std::vector<ImageLabel> labels = image_labels(entry_params);
        add_labelled_values(labels, params.get(), image.get());
        bool has_data = false;
        check_step(locate_image_data(cursor_, entry_params, entry, has_data, stop), stop, entry);
        if (has_data) {
            // The dictionary's "Bytes" and "Type", as the core finds them;
            // where it cannot, their objects (replay: read()'s errors, a
            // KeyError after the read).
            const ImageBytes bytes = image_bytes(labels);
            Ref data = read_bytes(bytes.plain ? (Py_ssize_t)bytes.count : read_request(lookup(image.get(), "Bytes").get()));
            if (bytes.plain ? bytes.drop_header : equals_number(lookup(image.get(), "Type").get(), bytes.header_type))
                drop_leading(data, (Py_ssize_t)bytes.header_bytes);
            check_status(PyDict_SetItemString(image.get(), "image", data.get()));
            Ref kind = image_kind(data.get());
            check_status(PyDict_SetItemString(image.get(), "imgext", kind.get()));
        }
        return image;
    }

    // A walk step that stopped on a missing name raises its KeyError; one
    // that stopped on a value that is not an integer is done again with the
    // values as Python objects, which raises what that arithmetic raises.
    void check_step(const Status& status, const ImageStop& stop, wide entry = 0) {
        if (status.code == ErrorCode::image_missing) {
            Ref key = new_str(stop.missing.c_str());
            raise_key_error(key.get());
        }
        if (status.code != ErrorCode::image_value) return check(status);
        std::vector<Ref> values;
        for (const ParamRecord& r : stop.operands) values.push_back(parameter_value(r));
        Ref offset = new_int(block_.byte_offset);
        switch (stop.step) {
        case ImageStep::bid:
            names_image_block(values[0].get());
            break;
        case ImageStep::last_index: {
            Ref one = new_int(1);
            Ref last = Ref::check(PyNumber_Subtract(values[0].get(), one.get()));
            index_value(last.get());
            break;
        }
        case ImageStep::list_end: {
            Ref target = add(offset.get(), values[0].get());
            target = add(target.get(), values[1].get());
            offset_value(target.get());
            break;
        }
        case ImageStep::count:
            range_count(values[0].get());
            break;
        case ImageStep::entry: {
            Ref target = add(offset.get(), values[0].get());
            offset_value(target.get());
            break;
        }
        case ImageStep::data_area:
        case ImageStep::data_start: {
            // entry + SIZ (+ F00): SIZ is an integer by the time F00 is used.
            Ref target = new_int((long long)entry);
            for (const Ref& value : values) target = add(target.get(), value.get());
            offset_value(target.get());
            break;
        }
        }
        PyErr_SetString(PyExc_SystemError, "vellkit: an image value was refused, then accepted");
        throw PyError();
    }

    // The core's labels (image_labels) with the values as objects: a label
    // that is not text, or whose value is missing, fails here as the
    // module's rstrip or lookup fails.
    void add_labelled_values(const std::vector<ImageLabel>& labels, PyObject* params, PyObject* image) {
        auto name = [](const std::string& n) {
            return Ref::check(PyUnicode_DecodeUTF8(n.data(), (Py_ssize_t)n.size(), "strict"));
        };
        for (const ImageLabel& l : labels) {
            Ref label = lookup(params, name(l.label->name).get());
            Ref key = l.title ? new_str("Title") : Ref::check(PyObject_CallMethod(label.get(), "rstrip", "s", ":"));
            Ref value = l.title ? std::move(label) : lookup(params, name(l.value_name).get());
            check_status(PyDict_SetItem(image, key.get(), value.get()));
        }
    }

    // The image bytes, read straight into the bytes object; nothing is
    // allocated for bytes the file does not hold.
    Ref read_bytes(Py_ssize_t requested) {
        int64_t count = image_read_count(cursor_, requested);
        if (count > (int64_t)PY_SSIZE_T_MAX) {
            PyErr_NoMemory();
            throw PyError();
        }
        Ref data = Ref::check(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)count));
        if (count == 0) return data;
        size_t got = 0;
        char* destination = PyBytes_AS_STRING(data.get());
        Status status;
        {
            GilReleased released(interrupt_, (uint64_t)count >= kUnlockedReadBytes || !cursor_.source().seekable());
            status = cursor_.read(destination, (size_t)count, got);
        }
        check(status);
        if ((int64_t)got < count) resize(data, (Py_ssize_t)got);
        return data;
    }

    // bytes[k:] in place: the object is new and not yet shared.
    static void drop_leading(Ref& data, Py_ssize_t k) {
        Py_ssize_t size = PyBytes_GET_SIZE(data.get());
        if (size <= k) {
            data = Ref::check(PyBytes_FromStringAndSize(nullptr, 0));
            return;
        }
        char* bytes = PyBytes_AS_STRING(data.get());
        std::memmove(bytes, bytes + k, (size_t)(size - k));
        resize(data, size - k);
    }

    static void resize(Ref& data, Py_ssize_t size) {
        PyObject* raw = data.release();
        if (_PyBytes_Resize(&raw, size) < 0) throw PyError();  // raw was released
        data = Ref::steal(raw);
    }

    // imghdr.what(None, h=data), through the module's imghdr as bound now.
    Ref image_kind(PyObject* data) {
        Ref imghdr = module_global(module_, "imghdr");
        Ref what = Ref::check(PyObject_GetAttrString(imghdr.get(), "what"));
        Ref args = Ref::check(PyTuple_Pack(1, Py_None));
        Ref kwargs = Ref::check(PyDict_New());
        check_status(PyDict_SetItemString(kwargs.get(), "h", data));
        return Ref::check(PyObject_Call(what.get(), args.get(), kwargs.get()));
    }

    PyObject* module_;
    Cursor cursor_;
    FieldReporter reporter_;
    CallInterrupt& interrupt_;
    const DirectoryEntry& block_;
};

}  // namespace

PyObject* fn_get_vis_images(PyObject* module, PyObject* path) {
    return guarded([&]() -> PyObject* {
        require_str_or_none(path);
        ModuleState* st = state_of(module);
        OpenFile file;
        // The magic number is not tested: any file with an image block is read.
        file.open(st, path);
        std::vector<DirectoryEntry> directory = read_file_directory(st, file);
        const DirectoryEntry* block = first_image_block(directory);
        if (!block) {
            file.close();
            return PyList_New(0);
        }
        if (!file.is_native()) {
            // A file opened through the built-in open is opened afresh for
            // the image reads, as the directory reader's own was closed.
            file.close();
            file.open(st, path);
        }
        Ref images = ImageBlockReader(module, file, *block).read();
        file.close();
        return images.release();
    });
}

}  // namespace vellkit::py
