// The file probe and the directory, shared by every function that reads a
// file by path.
#pragma once

#include <vector>

#include "bindings/common/module_state.hpp"
#include "bindings/format/field_reports.hpp"
#include "bindings/format/open_file.hpp"
#include "core/format/directory.hpp"

namespace vellkit::py {

// The magic-number test on an open file; a file shorter than four bytes
// raises the struct error of decoding what was there.
bool has_vell_magic(ModuleState* state, OpenFile& file);

// Opens `path` and checks it through isVellFile as currently bound in the
// module (the module's own runs natively on the file it opened). Raises
// ValueError("Can't process a non-Vell file") when the test fails. Leaves
// `file` open on the path, ready for the directory.
void open_checked_vell_file(PyObject* module, PyObject* path, OpenFile& file);

// Reads the whole directory of an open file.
std::vector<DirectoryEntry> read_file_directory(ModuleState* state, OpenFile& file);
std::vector<DirectoryEntry> read_file_directory(Cursor& cursor, FieldReporter& reporter);

}  // namespace vellkit::py
