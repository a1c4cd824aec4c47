// A description of a whole file from its headers alone: what is wrong with
// its frame (header, directory, block extents, 3D store tables and records,
// parameter blocks), what every directory entry is, every listed block with
// its kind, shape and parameters, and the visible images with their sizes.
// Data values are never read: time and memory grow with the directory and
// the parameter blocks, not with the data (a 4 GiB map is described from a
// few kilobytes). Every parameter block and store table is examined once,
// however many entries point at it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/format/catalogue.hpp"
#include "core/parameter_blocks/parser.hpp"
#include "core/plans/block_plan.hpp"

namespace vellkit {

// What is wrong, in words around at most one name as the file holds it; the
// consumer writes the name as its language writes such a value.
struct Problem {
    enum class Name { none, bytes, text };  // text: valid UTF-8
    std::string text;  // the words before the name (all of them without one)
    Name name = Name::none;
    std::string value;  // the name's bytes
    std::string tail;   // the words after the name

    // Words alone convert to a problem.
    Problem(std::string before = {}, Name kind = Name::none, std::string name_bytes = {}, std::string after = {})
        : text(std::move(before)), name(kind), value(std::move(name_bytes)), tail(std::move(after)) {}
    bool empty() const { return text.empty() && name == Name::none && tail.empty(); }
};
inline Problem operator+(const std::string& before, Problem p) {
    p.text = before + p.text;
    return p;
}
inline Problem operator+(Problem p, const std::string& after) {
    (p.name == Problem::Name::none ? p.text : p.tail) += after;
    return p;
}

struct EntryDescription {
    int64_t index = 0;
    bool in_extension = false;
    int64_t code = 0;
    std::string what;  // e.g. "AB 3D data", "acquisition parameters"
    int64_t offset = 0;
    int64_t size_in_words = 0;
    std::vector<Problem> problems;  // with byte offsets
};

struct BlockDescription {
    ListedBlock listed;
    bool has_kind = false;  // false: listed from a parameter block alone
    BlockKind kind = BlockKind::spectrum;
    bool has_shape = false;
    std::vector<int64_t> shape;  // of the kind's variable
    XAxis x;        // with the shape: its x axis, and an image kind's map grid
    GridPlan grid;
    // Shared by repeated listings of the same block.
    std::shared_ptr<const std::vector<ParamRecord>> parameters;
    Problem problem;  // empty when the headers show none
};

struct ImageDescription {
    bool has_title = false;
    ParamRecord title;  // the H00 label's value
    bool has_type = false;
    int64_t type = 0;
    int64_t size = 0;    // bytes the entry claims (its "Bytes")
    int64_t stored = 0;  // bytes the file holds of them, before any are dropped
};

struct FileDescription {
    bool vell = false;  // false: no magic number, nothing else described
    int64_t file_size = 0;
    std::vector<Problem> problems;  // header, directory and entries, in file order
    std::vector<EntryDescription> entries;
    std::vector<BlockDescription> blocks;  // list_contents order
    std::vector<ImageDescription> images;
};

Status describe_file(const FileSource& source, FileDescription& out);

}  // namespace vellkit
