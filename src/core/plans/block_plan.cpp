#include "core/plans/block_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/format/directory.hpp"
#include "core/format/layout.hpp"
#include "core/format/text.hpp"

namespace vellkit {

namespace {

const char* const kKindNames[] = {"spectrum", "image_map", "image_traces", "series", "series_traces",
                                  "multi_region", "multi_region_traces"};
const char* const kRequestDerivs[] = {"NONE", "1DER", "2DER", "NDER"};
const char* const kListingDerivs[] = {"NONE", "1DER", "2DER", "3DER"};

bool is_number(const ParamRecord& r) {
    return r.kind == ParamRecord::Kind::integer || r.kind == ParamRecord::Kind::real;
}


// Compared as numbers: 0 and 0.0 are both an empty axis.
bool is_zero(const ParamRecord* r) {
    return r && ((r->kind == ParamRecord::Kind::integer && r->integer == 0) ||
                 (r->kind == ParamRecord::Kind::real && r->real == 0.0));
}

void stop_with(ValueStop& stop, ValueStop::Why why, const std::string& name, const ParamRecord* value) {
    stop.why = why;
    stop.name = name;
    stop.value = value ? *value : ParamRecord();
}

// The record `name`, or nullptr with `stop` saying it is missing.
const ParamRecord* find_or_stop(const ParamMap& merged, const char* name, ValueStop& stop) {
    const ParamRecord* r = merged.find(name);
    if (!r) stop_with(stop, ValueStop::Why::missing, name, nullptr);
    return r;
}

// Looks up every name first, as the module does before it uses any.
bool all_present(const ParamMap& merged, std::initializer_list<const char*> names, ValueStop& stop) {
    for (const char* name : names) {
        if (!find_or_stop(merged, name, stop)) return false;
    }
    return true;
}

bool number(const ParamMap& merged, const char* name, double& out, ValueStop& stop) {
    const ParamRecord* r = find_or_stop(merged, name, stop);
    if (!r) return false;
    if (!is_number(*r)) {
        stop_with(stop, ValueStop::Why::not_number, name, r);
        return false;
    }
    out = number_of(*r);
    return true;
}

bool count(const ParamMap& merged, const char* name, int64_t& out, ValueStop& stop) {
    const ParamRecord* r = find_or_stop(merged, name, stop);
    if (!r) return false;
    if (r->kind != ParamRecord::Kind::integer || r->integer < 0) {
        stop_with(stop, ValueStop::Why::not_count, name, r);
        return false;
    }
    out = r->integer;
    return true;
}

std::string value_text(const ParamRecord& r) {
    char buffer[64];
    switch (r.kind) {
    case ParamRecord::Kind::integer:
        std::snprintf(buffer, sizeof buffer, "%d", (int)r.integer);
        return buffer;
    case ParamRecord::Kind::real:
        std::snprintf(buffer, sizeof buffer, "%.17g", r.real);
        return buffer;
    case ParamRecord::Kind::text:
        break;
    }
    return "'" + r.text + "'";
}

uint64_t saturating_product(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

uint64_t saturating_sum(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

const char* block_kind_name(BlockKind kind) { return kKindNames[(int)kind]; }

bool is_image_kind(BlockKind kind) { return kind == BlockKind::image_map || kind == BlockKind::image_traces; }

bool is_trace_kind(BlockKind kind) {
    return kind == BlockKind::image_traces || kind == BlockKind::series_traces ||
           kind == BlockKind::multi_region_traces;
}

bool is_region_kind(BlockKind kind) {
    return kind == BlockKind::multi_region || kind == BlockKind::multi_region_traces;
}

BlockKind kind_of_block(bool three_d, bool has_mapping, bool has_annotation_table, bool traces) {
    if (!three_d) return BlockKind::spectrum;
    if (has_mapping) return traces ? BlockKind::image_traces : BlockKind::image_map;
    if (has_annotation_table) return traces ? BlockKind::multi_region_traces : BlockKind::multi_region;
    return traces ? BlockKind::series_traces : BlockKind::series;
}

BlockRequest PlanRequest::block_request() const {
    const BlockName& n = kBlockNames[name_index];
    return BlockRequest{n.data_type, n.sample_type, deriv_type, three_d ? extend_type::three_d : extend_type::two_d};
}

bool PlanRequest::traces() const { return kBlockNames[name_index].data_type == layout::kTraceDataType; }

bool parse_plan_request(const std::string& name, const std::string& dimensions, const std::string& deriv,
                        PlanRequest& out) {
    out = PlanRequest();
    if (dimensions != "2D" && dimensions != "3D") return false;
    out.three_d = dimensions == "3D";
    out.deriv_type = -1;
    for (int i = 0; i < 4; ++i)
        if (deriv == kRequestDerivs[i] || deriv == kListingDerivs[i]) out.deriv_type = i;
    if (out.deriv_type < 0) return false;
    for (int i = 0; i < kBlockNameCount; ++i)
        if (name == kBlockNames[i].name) out.name_index = i;
    return out.name_index >= 0;
}

const char* request_deriv_word(int deriv_type) { return kRequestDerivs[deriv_type & 3]; }
const char* listing_deriv_word(int deriv_type) { return kListingDerivs[deriv_type & 3]; }

std::string describe_stop(const ValueStop& stop) {
    switch (stop.why) {
    case ValueStop::Why::none:
        break;
    case ValueStop::Why::missing:
        return "the block has no parameter " + stop.name;
    case ValueStop::Why::not_number:
        return "parameter " + stop.name + " is " + value_text(stop.value) + ", not a number";
    case ValueStop::Why::not_count:
        return "parameter " + stop.name + " is " + value_text(stop.value) + ", not a count";
    case ValueStop::Why::no_original:
        return "the derivative map has an empty grid and no original block to take it from";
    }
    return std::string();
}

Status merge_block_parameters(Cursor& cursor, FieldReadObserver& observer, const LocatedBlocks& b,
                              ParamMap& merged) {
    merged = ParamMap();
    std::vector<ParamRecord> records;
    for (int64_t offset : b.merge_order()) {
        if (offset == -1) continue;
        VELLKIT_TRY(parse_parameter_block(cursor, offset, observer, records));
        merged.merge(std::move(records));
    }
    return Status();
}

bool has_mapping_names(const ParamMap& merged) {
    for (const char* name : layout::kMappingNames)
        if (!merged.find(name)) return false;
    return true;
}

void plan_x_axis(const ParamMap& merged, XAxis& out, ValueStop& stop) {
    out = XAxis();
    if (!all_present(merged, {"NPT", "FXV", "LXV", "MXY", "MNY"}, stop)) return;
    out.min_y = merged.find("MNY");
    out.max_y = merged.find("MXY");
    if (!number(merged, "FXV", out.first, stop) || !number(merged, "LXV", out.last, stop)) return;
    count(merged, "NPT", out.count, stop);
}

bool grid_from_original(const PlanRequest& request, const ParamMap& merged) {
    return request.deriv_type != 0 && (is_zero(merged.find("NPX")) || is_zero(merged.find("NPY")));
}

Status merge_original_grid(Cursor& cursor, FieldReadObserver& observer, const LocatedBlocks& blocks,
                           ParamMap& merged, ValueStop& stop) {
    std::vector<ParamRecord> records;
    if (blocks.original_params != -1)
        VELLKIT_TRY(parse_parameter_block(cursor, blocks.original_params, observer, records));
    take_original_grid(blocks.original_params != -1 ? &records : nullptr, merged, stop);
    return Status();
}

void take_original_grid(const std::vector<ParamRecord>* records, ParamMap& merged, ValueStop& stop) {
    if (!records) return stop_with(stop, ValueStop::Why::no_original, "", nullptr);
    ParamMap original;
    original.merge(*records);
    std::vector<ParamRecord> grid;
    for (const char* name : layout::kMappingNames) {
        const ParamRecord* r = original.find(name);
        if (!r) {
            stop_with(stop, ValueStop::Why::missing, name, nullptr);
            return;
        }
        grid.push_back(*r);
    }
    merged.merge(grid);
}

namespace {

// Bytes the labels of `count` records take when read: as LabelReads sizes
// them, the file's end cutting each.
uint64_t label_bytes(const std::vector<wide>& offsets, int64_t npt, int32_t info_size, int64_t file_size) {
    uint64_t total = 0;
    for (wide offset : offsets) {
        // Where the values end, as locate_values finds it.
        wide end = offset;
        if (offset < file_size) {
            const wide wanted = offset + (wide)npt * layout::kValueBytes;
            end = wanted < file_size ? wanted : (wide)file_size;
        }
        const wide at = end + layout::kInfoLabelAt;
        const int64_t left = at >= file_size || at < 0 ? 0 : (int64_t)((wide)file_size - at);
        int64_t length = (int64_t)info_size - layout::kInfoLabelAt;
        if (length < 0 || length > left) length = left;
        total = saturating_sum(total, (uint64_t)length);
    }
    return total;
}

double axis_end(const ParamRecord& origin, const ParamRecord& step, int64_t count) {
    const bool whole = step.kind == ParamRecord::Kind::integer;  // int32 values: nothing overflows
    if (whole && origin.kind == ParamRecord::Kind::integer) return (double)(origin.integer + step.integer * (count - 1));
    return number_of(origin) + (whole ? (double)(step.integer * (count - 1)) : step.real * (double)(count - 1));
}

}  // namespace

void plan_grid(const ParamMap& merged, GridPlan& out, ValueStop& stop) {
    const bool from_original = out.from_original;
    out = GridPlan();
    out.from_original = from_original;
    if (!number(merged, "AOX", out.aox, stop) || !number(merged, "DDX", out.ddx, stop) ||
        !count(merged, "NPX", out.npx, stop) || !number(merged, "AOY", out.aoy, stop) ||
        !number(merged, "DDY", out.ddy, stop) || !count(merged, "NPY", out.npy, stop))
        return;
    out.end_x = axis_end(*merged.find("AOX"), *merged.find("DDX"), out.npx);
    out.end_y = axis_end(*merged.find("AOY"), *merged.find("DDY"), out.npy);
}

Status plan_records(Cursor& cursor, FieldReadObserver& observer, int64_t data_offset, MemoryBudget* budget,
                    RecordPlan& out, bool index_positions) {
    StoreTable table;
    VELLKIT_TRY(read_store_table(cursor, data_offset, observer, table));
    out.block_size = table.block_size;
    out.info_size = table.info_size;
    // Offsets and indices as the plan hands them on, and the layout's map.
    if (budget) VELLKIT_TRY(budget->charge((uint64_t)named_records(table), kRecordPlanBytes));
    return lay_out_records(table, cursor.file_size(), data_offset, out.layout, index_positions, &cursor.source());
}

int64_t named_records(const StoreTable& table) {
    int64_t named = 0;
    for (const StoreTableRow& row : table.rows) {
        if (row.first == -1 || row.second < row.first) continue;
        named += (int64_t)row.second - row.first + 1;
    }
    return named;
}


Status has_magic(const FileSource& source, bool& out, std::string* head) {
    unsigned char bytes[layout::kMagicBytes] = {};
    size_t delivered = 0;
    out = false;
    VELLKIT_TRY(source.read_at(0, bytes, sizeof bytes, delivered));
    out = delivered == sizeof bytes && std::equal(bytes, bytes + sizeof bytes, layout::kMagic);
    if (head) head->assign(reinterpret_cast<const char*>(bytes), delivered);
    return Status();
}

Status plan_block(const FileSource& source, FieldReadObserver& observer, const PlanRequest& request,
                  MemoryBudget* budget, BlockPlan& out) {
    out = BlockPlan();
    out.request = request;
    out.file_size = source.size();
    if (request.name_index < 0 || request.name_index >= kBlockNameCount || request.deriv_type < 0 ||
        request.deriv_type > 3) {
        out.problem = PlanProblem::bad_request;
        return Status();
    }
    bool vell = false;
    VELLKIT_TRY(has_magic(source, vell));
    if (!vell) {
        out.problem = PlanProblem::not_vell;
        return Status();
    }
    Cursor cursor(source);
    std::vector<DirectoryEntry> directory;
    VELLKIT_TRY(read_directory(cursor, observer, directory));
    out.blocks = locate_blocks(directory, request.block_request());
    const LocatedBlocks& b = out.blocks;
    if (b.data == -1 || b.params == -1) {
        out.problem = PlanProblem::no_block;
        return Status();
    }
    VELLKIT_TRY(merge_block_parameters(cursor, observer, b, out.parameters));
    if (b.original_params != -1) {
        out.has_original = true;
        VELLKIT_TRY(parse_parameter_block(cursor, b.original_params, observer, out.original_parameters));
    }
    out.kind = kind_of_block(request.three_d, has_mapping_names(out.parameters), b.annotation != -1,
                             request.traces());

    plan_x_axis(out.parameters, out.x, out.stop);
    if (out.stop.stopped()) {
        out.problem = PlanProblem::value;
        return Status();
    }
    if (budget) VELLKIT_TRY(budget->charge((uint64_t)out.x.count, sizeof(double)));

    if (is_image_kind(out.kind)) {
        if (grid_from_original(request, out.parameters)) {
            out.grid.from_original = true;
            VELLKIT_TRY(merge_original_grid(cursor, observer, b, out.parameters, out.stop));
        }
        if (!out.stop.stopped()) plan_grid(out.parameters, out.grid, out.stop);
        if (out.stop.stopped()) {
            out.problem = PlanProblem::value;
            return Status();
        }
        if (budget) {
            VELLKIT_TRY(budget->charge((uint64_t)out.grid.npx, sizeof(double)));
            VELLKIT_TRY(budget->charge((uint64_t)out.grid.npy, sizeof(double)));
        }
    }

    if (!request.three_d) {
        out.values_offset = b.data;
        return Status();
    }
    VELLKIT_TRY(plan_records(cursor, observer, b.data, budget, out.records));
    for (wide offset : out.records.layout.offsets) {
        if (!fits_offset(offset)) {
            out.problem = PlanProblem::offset_range;
            return Status();
        }
    }
    if (budget) {
        // In the order the module charges them: the times or labels, then
        // the values, so that every reader of the block is refused with the
        // same total. Regions are charged where they are formed.
        const uint64_t records = out.records.layout.size();
        const uint64_t npt = (uint64_t)out.x.count;
        if (out.kind == BlockKind::series) VELLKIT_TRY(budget->charge(records, sizeof(double)));
        if (is_trace_kind(out.kind)) {
            // Each label as text and a reference to it.
            const uint64_t text =
                label_bytes(out.records.layout.offsets, out.x.count, out.records.info_size, out.file_size);
            VELLKIT_TRY(budget->charge(saturating_sum(text, records * sizeof(void*))));
        }
        if (out.kind == BlockKind::image_map) {
            // The whole (NPY, NPX, NPT) cube: positions without a record read as zeros.
            const uint64_t cells = saturating_product((uint64_t)out.grid.npx, (uint64_t)out.grid.npy);
            VELLKIT_TRY(budget->charge(saturating_product(cells, npt), layout::kValueBytes));
        } else if (!is_region_kind(out.kind)) {
            // Rows as long as the first record's values in the file, as the
            // module stacks them (a lazy read of rows cut short fails instead).
            uint64_t row = npt;
            const int64_t at = records ? (int64_t)out.records.layout.offsets[0] : -1;
            if (at >= 0 && !is_image_kind(out.kind)) {
                const int64_t in_file = at >= out.file_size ? 0 : (out.file_size - at) / layout::kValueBytes;
                if ((uint64_t)in_file < row) row = (uint64_t)in_file;
            }
            VELLKIT_TRY(budget->charge(saturating_product(records, row), layout::kValueBytes));
        }
    }
    return Status();
}

}  // namespace vellkit
