// getVellData: request validation, block location, parameter assembly and
// the hand-over to the reader of the block's kind.
#include <cstring>

#include "bindings/common/arrays.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/memory_limit.hpp"
#include "bindings/common/objects.hpp"
#include "bindings/common/functions.hpp"
#include "bindings/extract/context.hpp"
#include "bindings/format/catalogue.hpp"
#include "bindings/parameter_blocks/params.hpp"
#include "bindings/results/result_classes.hpp"
#include "core/extract/spectrum.hpp"
#include "core/format/catalogue.hpp"

namespace vellkit::py {

namespace {

const char kBlockTypeList[] =
    "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC";

// Plain concatenation with `+`, so that a word that is not a str fails as
// the concatenation would.
Ref concat(std::initializer_list<PyObject*> parts) {
    auto it = parts.begin();
    Ref acc = Ref::from_borrowed(*it);
    for (++it; it != parts.end(); ++it) acc = Ref::check(PyNumber_Add(acc.get(), *it));
    return acc;
}

[[noreturn]] void raise_value_error(std::initializer_list<PyObject*> parts) {
    Ref message = concat(parts);
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw PyError();
}

Ref upper_word(PyObject* datablock, long index) {
    Ref key = new_int(index);
    Ref item = Ref::check(PyObject_GetItem(datablock, key.get()));
    return Ref::check(PyObject_CallMethod(item.get(), "upper", nullptr));
}

bool contains(PyObject* dict, PyObject* key) {
    int r = PyDict_Contains(dict, key);
    check_status(r);
    return r != 0;
}

long long small_int(PyObject* tuple, Py_ssize_t i) {
    return PyLong_AsLongLong(PyTuple_GET_ITEM(tuple, i));
}

void assemble_parameters(ExtractContext& ctx) {
    check(ctx.reporter.run_core(ctx.source, [&](FieldReadObserver& observer) {
        return merge_block_parameters(ctx.cursor, observer, ctx.blocks, ctx.merged);
    }));
    ctx.parameters = parameters_dict(ctx.reporter, ctx.merged.records());
    XAxis x;
    ValueStop stop;
    plan_x_axis(ctx.merged, x, stop);
    if (!stop.stopped()) {
        // The result's minY and maxY are the dictionary's own objects.
        ctx.mxy = lookup(ctx.parameters.get(), x.max_y->name);
        ctx.mny = lookup(ctx.parameters.get(), x.min_y->name);
        ctx.npt = new_int(x.count);
        ctx.npt_value = x.count;
        charge(ctx, (uint64_t)x.count, sizeof(double));
        ctx.abscissa = linspace(ctx.st, x.first, x.last, x.count);
        return;
    }
    // Replay with the values as objects: a missing name raises KeyError in
    // the module's order, other values fail (or pass) in numpy's linspace.
    ctx.npt = lookup(ctx.parameters.get(), "NPT");
    Ref fxv = lookup(ctx.parameters.get(), "FXV");
    Ref lxv = lookup(ctx.parameters.get(), "LXV");
    ctx.mxy = lookup(ctx.parameters.get(), "MXY");
    ctx.mny = lookup(ctx.parameters.get(), "MNY");
    charge_axis(ctx, ctx.npt.get());
    ctx.abscissa = np_linspace(ctx.st, fxv.get(), lxv.get(), ctx.npt.get());
    // linspace accepted NPT as a sample count, so it is a non-negative integer.
    ctx.npt_value = index_value(ctx.npt.get());
}

}  // namespace

void charge(ExtractContext& ctx, uint64_t count, uint64_t item_bytes) { check(ctx.budget.charge(count, item_bytes)); }

void charge_axis(ExtractContext& ctx, PyObject* count) {
    long long n = 0;
    if (plain_count(count, n)) charge(ctx, (uint64_t)n, sizeof(double));
}

void charge_cube(ExtractContext& ctx, std::initializer_list<PyObject*> dims, uint64_t item_bytes) {
    uint64_t count = 1;
    for (PyObject* d : dims) {
        long long n = 0;
        if (!plain_count(d, n)) return;
        // Saturates: a product past 64 bits is past any limit anyway.
        if (n != 0 && count > UINT64_MAX / (uint64_t)n) count = UINT64_MAX;
        else count *= (uint64_t)n;
    }
    charge(ctx, count, item_bytes);
}

PyObject* fn_get_vell_data(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", "datablock", nullptr};
        PyObject* path = nullptr;
        PyObject* datablock = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:getVellData", const_cast<char**>(keywords), &path,
                                         &datablock))
            return nullptr;
        require_str_or_none(path);
        ModuleState* st = state_of(module);
        Ref block_type = upper_word(datablock, 0);
        Ref dimensions = upper_word(datablock, 1);
        Ref deriv = upper_word(datablock, 2);

        bool is_3d = equals(dimensions.get(), st->word_3d);
        if (!equals(dimensions.get(), st->word_2d) && !is_3d) {
            Ref head = new_str("Incorrect dimensions: ");
            Ref tail = new_str(". Dimensions need to be either 2D or 3D");
            raise_value_error({head.get(), dimensions.get(), tail.get()});
        }
        if (!contains(st->data_block_dict, block_type.get())) {
            Ref head = new_str("Invalid data block type: ");
            Ref middle = new_str(". Please enter a valid entry from the following: ");
            Ref list = new_str(kBlockTypeList);
            raise_value_error({head.get(), block_type.get(), middle.get(), list.get()});
        }
        if (!contains(st->deriv_dict, deriv.get())) {
            Ref head = new_str("Invalid deriv type: ");
            Ref tail = new_str(".  Please select from the following: 1DER, 2DER, NDER or NONE");
            raise_value_error({head.get(), deriv.get(), tail.get()});
        }

        OpenFile file;
        open_checked_vell_file(module, path, file);
        std::vector<DirectoryEntry> directory;
        const bool shared = file.is_native();
        if (!shared) {
            // A file opened through the built-in open is opened afresh for
            // the reads, as the directory reader's own open was closed.
            directory = read_file_directory(st, file);
            file.close();
            file.open(st, path);
        }

        PyObject* codes = PyDict_GetItemWithError(st->data_block_dict, block_type.get());
        PyObject* deriv_code = PyDict_GetItemWithError(st->deriv_dict, deriv.get());
        if (!codes || !deriv_code) throw PyError();
        BlockRequest request{(int)small_int(codes, 0), (int)small_int(codes, 1), (int)PyLong_AsLong(deriv_code),
                             is_3d ? extend_type::three_d : extend_type::two_d};

        ExtractContext ctx(module, file.source(), file.interrupt());
        const FileSource& source = file.source();
        ctx.budget = call_budget(source.size_known() ? source.size() : -1, describe_path(path));
        // Otherwise one descriptor serves the probe, the directory and the reads.
        if (shared) directory = read_file_directory(ctx.cursor, ctx.reporter);
        ctx.data_block_type = std::move(block_type);
        ctx.dimensions = std::move(dimensions);
        ctx.deriv = std::move(deriv);
        BlockFields fields;
        fields.data_type = request.data_type;
        fields.sample_type = request.sample_type;
        ctx.request.name_index = block_name_index(fields);
        ctx.request.three_d = is_3d;
        ctx.request.deriv_type = request.deriv_type;
        ctx.is_trace = ctx.request.traces();
        ctx.blocks = locate_blocks(directory, request);
        if (ctx.blocks.data == -1 || ctx.blocks.params == -1) {
            Ref head = new_str("No data block exists in the file for: ");
            Ref blank = new_str(" ");
            raise_value_error({head.get(), ctx.data_block_type.get(), blank.get(), ctx.dimensions.get(), blank.get(),
                               ctx.deriv.get()});
        }
        assemble_parameters(ctx);
        Ref result = is_3d ? read_3d_block(ctx) : read_single_spectrum(ctx);
        file.close();
        return result.release();
    });
}

Ref read_single_spectrum(ExtractContext& ctx) {
    int64_t count = 0;
    check(locate_spectrum(ctx.cursor, ctx.blocks.data, ctx.npt_value, count));
    charge(ctx, (uint64_t)count, sizeof(float));
    Ref length = new_int(count);
    Ref ordinate = np_empty(ctx.st, length.get(), ctx.st->np_float32);
    if (count > 0) {
        WritableView view(ordinate.get());
        Status status;
        {
            GilReleased released(ctx.interrupt, (uint64_t)count * sizeof(float) >= kUnlockedReadBytes);
            status = read_spectrum_values(ctx.source, ctx.blocks.data, (size_t)count, static_cast<float*>(view.data()));
        }
        check(status);
    }
    return make_single_result(ctx.module, {ctx.dimensions.get(), ctx.data_block_type.get(), ctx.deriv.get(),
                                           ctx.abscissa.get(), ordinate.get(), ctx.mny.get(), ctx.mxy.get(),
                                           ctx.parameters.get()});
}

}  // namespace vellkit::py
