// The block plan: what one data block of a file is and where its values lie,
// decided from headers alone (directory, parameter blocks, 3D header and
// store table), never from data values. Both extension modules build on it:
// the `vellkit` binding runs the steps one by one in the order its errors
// must come in, `vellkit_tools._native` runs them all at once (plan_block).
//
// A step that needs a plain number (NPT, FXV, LXV, the map grid) and finds a
// missing name or another kind of value stops with a ValueStop saying which;
// the binding redoes that step with Python objects to raise its own errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/limits.hpp"
#include "core/extract/locate.hpp"
#include "core/extract/store_table.hpp"
#include "core/format/catalogue.hpp"
#include "core/parameter_blocks/param_map.hpp"

namespace vellkit {

enum class BlockKind { spectrum, image_map, image_traces, series, series_traces, multi_region, multi_region_traces };

// "spectrum", "image_map", ...: the names vellkit_tools.kinds uses.
const char* block_kind_name(BlockKind kind);
bool is_image_kind(BlockKind kind);
bool is_trace_kind(BlockKind kind);
bool is_region_kind(BlockKind kind);

// The first rule that applies wins: 2D blocks are spectra; 3D blocks whose
// parameters hold the whole mapping set are image maps, else those of a
// measurement with an annotation table multi-region maps, else series; the
// trace data type gives the trace variant of each.
BlockKind kind_of_block(bool three_d, bool has_mapping_names, bool has_annotation_table, bool traces);

// A request: a name of kBlockNames, 2D or 3D, a derivative code 0..3.
struct PlanRequest {
    int name_index = -1;
    bool three_d = false;
    int deriv_type = 0;

    BlockRequest block_request() const;
    bool traces() const;
};

// From upper-case words ("NDER" and "3DER" both give code 3); false when
// they name no request.
bool parse_plan_request(const std::string& name, const std::string& dimensions, const std::string& deriv,
                        PlanRequest& out);
// The words of a derivative code as a request takes it ("NDER") and as the
// listing gives it ("3DER").
const char* request_deriv_word(int deriv_type);
const char* listing_deriv_word(int deriv_type);

// Why a step that needs plain numbers stopped.
struct ValueStop {
    enum class Why { none, missing, not_number, not_count, no_original } why = Why::none;
    std::string name;   // the parameter
    ParamRecord value;  // what the file holds (not_number, not_count)
    bool stopped() const { return why != Why::none; }
};

// A text that says what stopped, e.g. "parameter NPT is 'x', not a count".
std::string describe_stop(const ValueStop& stop);

// Parses the own parameter block, then merges the acquisition, instrument,
// sample and FT blocks, in that order (a later value wins).
Status merge_block_parameters(Cursor& cursor, FieldReadObserver& observer, const LocatedBlocks& blocks,
                              ParamMap& merged);

// Whether the merged parameters hold all six mapping names.
bool has_mapping_names(const ParamMap& merged);

// The x axis: linspace(FXV, LXV, NPT).
struct XAxis {
    double first = 0.0;
    double last = 0.0;
    int64_t count = 0;
    const ParamRecord* min_y = nullptr;  // MNY and MXY, in the merged parameters
    const ParamRecord* max_y = nullptr;
};
// Stops when NPT is missing or not a count, or FXV or LXV is missing or not
// a number (the order in which the module looks them up).
void plan_x_axis(const ParamMap& merged, XAxis& out, ValueStop& stop);

// The map grid of an image kind.
struct GridPlan {
    double aox = 0.0, ddx = 0.0, aoy = 0.0, ddy = 0.0;
    int64_t npx = 0, npy = 0;
    bool from_original = false;
    // Where each axis ends: origin + step x (count - 1), as Python computes
    // it from the file's own number types (integers exactly, then one
    // rounding), so the module's map axes come out bit for bit.
    double end_x = 0.0, end_y = 0.0;
};

// A derivative map whose NPX or NPY is 0 (one empty axis is enough) takes
// its six mapping values from the original block's parameters.
bool grid_from_original(const PlanRequest& request, const ParamMap& merged);
// Parses the original block's parameters and sets the six mapping values of
// `merged` from them; stops (no_original, missing) when it cannot.
Status merge_original_grid(Cursor& cursor, FieldReadObserver& observer, const LocatedBlocks& blocks,
                           ParamMap& merged, ValueStop& stop);
// The step after the parse: the six mapping values of `original` (the
// original block's records; nullptr: there is none) into `merged`.
void take_original_grid(const std::vector<ParamRecord>* original, ParamMap& merged, ValueStop& stop);
// The grid from the (merged) mapping values; stops when one is not a
// number, or NPX or NPY not a count.
void plan_grid(const ParamMap& merged, GridPlan& out, ValueStop& stop);

// The store table and the records it names, in store-table order.
struct RecordPlan {
    int32_t block_size = 0;
    int32_t info_size = 0;
    RecordLayout layout;
};
// Reads the 3D header and store table of the data block at `data_offset`
// and lays the records out. `budget` (optional) is charged for the layout
// (kRecordPlanBytes a record) between the two.
constexpr uint64_t kRecordPlanBytes = 64;
// `index_positions`: whether the layout maps each index to its position
// (readers that go by store-table order alone need no map).
Status plan_records(Cursor& cursor, FieldReadObserver& observer, int64_t data_offset, MemoryBudget* budget,
                    RecordPlan& out, bool index_positions = true);
// Records the store table names (a repeated index counted each time), as
// lay_out_records counts them before it lays them out.
int64_t named_records(const StoreTable& table);

// Why a whole plan was not made, beyond a core Status.
enum class PlanProblem { none, not_vell, bad_request, no_block, value, offset_range };

struct BlockPlan {
    PlanProblem problem = PlanProblem::none;
    ValueStop stop;  // PlanProblem::value
    PlanRequest request;
    int64_t file_size = 0;
    LocatedBlocks blocks;
    BlockKind kind = BlockKind::spectrum;
    ParamMap parameters;  // as the module's result.parameters
    bool has_original = false;
    std::vector<ParamRecord> original_parameters;  // file order
    XAxis x;
    GridPlan grid;             // image kinds
    int64_t values_offset = -1;  // 2D
    RecordPlan records;        // 3D
};

// Every step, in the module's order. `budget` (optional) is charged for what
// reading the whole block holds, as the module charges it: the axes, the
// record offsets and indices, the times or labels, and the values (all but
// a multi-region block's, which its regions decide); memory_limit's status
// past the limit, before anything that large is allocated or read.
Status plan_block(const FileSource& source, FieldReadObserver& observer, const PlanRequest& request,
                  MemoryBudget* budget, BlockPlan& out);

// Whether the file starts with the magic number; `head` (optional) gets
// the bytes read for it, fewer in a shorter file.
Status has_magic(const FileSource& source, bool& out, std::string* head = nullptr);

}  // namespace vellkit
