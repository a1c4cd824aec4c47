#include "bindings/format/catalogue.hpp"

#include "pyglue/errors.hpp"
#include "bindings/common/objects.hpp"
#include "bindings/common/functions.hpp"
#include "bindings/format/field_reports.hpp"
#include "core/format/catalogue.hpp"
#include "core/plans/block_plan.hpp"

namespace vellkit::py {

bool has_vell_magic(ModuleState* state, OpenFile& file) {
    bool vell = false;
    std::string head;
    Status status;
    {
        // A pipe's writer may take its time.
        GilReleased released(file.interrupt(), !file.source().seekable());
        status = has_magic(file.source(), vell, &head);
    }
    check(status);
    if (!vell && head.size() < 4) {
        // Replays struct.unpack(">i", ...) on the short read, for its error.
        Ref data = Ref::check(PyBytes_FromStringAndSize(head.data(), (Py_ssize_t)head.size()));
        Ref fmt = new_str(">i");
        Ref r = Ref::check(PyObject_CallFunctionObjArgs(state->struct_unpack, fmt.get(), data.get(), nullptr));
        PyErr_SetString(PyExc_SystemError, "vellkit: short magic number decoded");
        throw PyError();
    }
    return vell;
}

void open_checked_vell_file(PyObject* module, PyObject* path, OpenFile& file) {
    ModuleState* state = state_of(module);
    Ref probe = module_global(module, "isVellFile");
    bool is_vell;
    if (probe.get() == state->own_functions[kFnIsVellFile]) {
        file.open(state, path);
        file.hold_if_small();
        is_vell = has_vell_magic(state, file);
        // A descriptor argument is closed by the probe's own open, as the
        // built-in open would; only a file opened natively is reused.
        if (!file.is_native()) file.close();
    } else {
        Ref answer = Ref::check(PyObject_CallFunctionObjArgs(probe.get(), path, nullptr));
        int truth = PyObject_IsTrue(answer.get());
        check_status(truth);
        is_vell = truth != 0;
    }
    if (!is_vell) {
        PyErr_SetString(PyExc_ValueError, "Can't process a non-Vell file");
        throw PyError();
    }
    if (!file.source().is_open()) {
        file.open(state, path);
        file.hold_if_small();
    }
}

std::vector<DirectoryEntry> read_file_directory(Cursor& cursor, FieldReporter& reporter) {
    std::vector<DirectoryEntry> directory;
    check(reporter.run_core(cursor.source(), [&](FieldReadObserver& observer) { return read_directory(cursor, observer, directory); }));
    return directory;
}

std::vector<DirectoryEntry> read_file_directory(ModuleState* state, OpenFile& file) {
    Cursor cursor(file.source());
    FieldReporter reporter(state, &file.interrupt());
    return read_file_directory(cursor, reporter);
}

PyObject* fn_is_vell_file(PyObject* module, PyObject* path) {
    return guarded([&]() -> PyObject* {
        ModuleState* state = state_of(module);
        OpenFile file;
        file.open(state, path);
        bool is_vell = has_vell_magic(state, file);
        file.close();
        return PyBool_FromLong(is_vell);
    });
}

PyObject* fn_list_contents(PyObject* module, PyObject* path) {
    return guarded([&]() -> PyObject* {
        ModuleState* state = state_of(module);
        OpenFile file;
        open_checked_vell_file(module, path, file);
        std::vector<DirectoryEntry> directory = read_file_directory(state, file);
        file.close();
        std::vector<ListedBlock> listed = list_contents(directory);
        Ref result = Ref::check(PyList_New((Py_ssize_t)listed.size()));
        for (size_t i = 0; i < listed.size(); ++i) {
            const ListedBlock& b = listed[i];
            PyObject* triple = PyTuple_Pack(3, state->block_names[b.name_index], b.three_d ? state->word_3d : state->word_2d,
                                            state->listing_derivs[b.deriv_type]);
            if (!triple) throw PyError();
            PyList_SET_ITEM(result.get(), (Py_ssize_t)i, triple);
        }
        return result.release();
    });
}

}  // namespace vellkit::py
