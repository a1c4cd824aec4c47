#include "core/plans/file_description.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>

#include "core/common/limits.hpp"
#include "core/extract/store_table.hpp"
#include "core/format/directory.hpp"
#include "core/format/field_readers.hpp"
#include "core/format/layout.hpp"
#include "core/format/text.hpp"
#include "core/images/image_list.hpp"
#include "core/images/image_walk.hpp"
#include "core/plans/region_plan.hpp"

namespace vellkit {

namespace {

// Decimal text of any 128-bit value (offsets and sizes computed as Python's
// unbounded integers would).
std::string decimal(wide v) {
    if (v.fits_int64()) return std::to_string((long long)(int64_t)v);
    const bool negative = v.is_negative();
    std::string digits;
    do {
        wide digit = v % 10;
        if (digit.is_negative()) digit = -digit;
        digits.push_back((char)('0' + (int)(int64_t)digit));
        v /= 10;
    } while (v != 0);
    if (negative) digits.push_back('-');
    return std::string(digits.rbegin(), digits.rend());
}

const char* param_kind(int param_type) {
    switch (param_type) {
    case param_type::data: return "data";
    case param_type::own_parameters: return "parameters";
    case param_type::instrument: return "instrument parameters";
    case param_type::acquisition: return "acquisition parameters";
    case param_type::fourier_transform: return "FT parameters";
    case param_type::sample: return "sample parameters";
    default: return nullptr;
    }
}

// What an entry lists, e.g. "AB 3D data" or "acquisition parameters".
std::string entry_what(int64_t code) {
    const BlockFields f = decode_block_type(code);
    if (f.extend_type == extend_type::annotation) return "annotation table";
    if (f.extend_type == extend_type::image) return "visible images";
    std::string owner;
    const int name = block_name_index(f);
    if (name >= 0) {
        static const char* const kDerivs[] = {"", " 1DER", " 2DER", " 3DER"};
        const char* dims = f.extend_type == extend_type::three_d ? " 3D" : f.extend_type == extend_type::two_d ? " 2D" : "";
        owner = std::string(kBlockNames[name].name) + dims + kDerivs[f.deriv_type] + " ";
    }
    const char* kind = param_kind(f.param_type);
    const std::string what = kind ? kind : "parameter type " + std::to_string(f.param_type);
    if (owner.empty() && what == "data") return "block type " + std::to_string((long long)code);
    return owner + what;
}

std::string entry_name(const EntryDescription& e) {
    return std::string(e.in_extension ? "extension entry " : "directory entry ") + std::to_string((long long)e.index) +
           " (" + e.what + ")";
}

// Why a parameter block cannot be read to its END record. The answer from a
// position is the answer from every record position after it, so each
// record of the file is examined once, however many entries point into it.
class ParameterChecks {
public:
    ParameterChecks(const FileSource& source, int64_t size) : cursor_(source), size_(size) {}

    // nullptr when the block at `start` reads to its END record.
    Status problem_at(int64_t start, const Problem*& out) {
        std::vector<int64_t> visited;
        int answer = -1;
        int64_t pos = start;
        for (int64_t step = 1;; ++step) {
            if (step % kInterruptPollEvery == 0) VELLKIT_TRY(cursor_.source().poll());
            auto known = answers_.find(pos);
            if (known != answers_.end()) {
                answer = known->second;
                break;
            }
            visited.push_back(pos);
            Problem why;
            int64_t next = 0;
            VELLKIT_TRY(step_at(pos, why, next));
            if (next < 0) {
                if (!why.empty()) {
                    texts_.push_back(why);
                    answer = (int)texts_.size() - 1;
                }
                break;
            }
            pos = next;
        }
        for (int64_t p : visited) answers_[p] = answer;
        out = answer < 0 ? nullptr : &texts_[(size_t)answer];
        return Status();
    }

private:
    // One record: `next` is where the following one starts, or -1 at the
    // end of the block (`why` then says what is wrong, or is empty).
    Status step_at(int64_t pos, Problem& why, int64_t& next) {
        RecordCheck r;
        VELLKIT_TRY(check_parameter_record(cursor_, pos, r));
        next = r.next;
        const Problem record("record ", Problem::Name::text, r.name, " at byte " + decimal(pos));
        using Stop = RecordCheck::Stop;
        if (r.stop == Stop::name_not_text)
            why = Problem("record name at byte " + decimal(pos) + " is not text (", Problem::Name::bytes, r.name, ")");
        else if (r.stop == Stop::unterminated)
            why = "runs past the end of the file at byte " + decimal(size_) + " without an END record";
        else if (r.stop == Stop::head_cut)
            why = record + " is cut by the end of the file";
        else if (r.stop == Stop::negative_length)
            why = record + " has a negative length (" + std::to_string(r.words) + ")";
        else if (r.stop == Stop::unknown_type)
            why = record + " has an unknown value type " + std::to_string(r.type);
        else if (r.stop == Stop::value_cut)
            why = record + " is cut by the end of the file (byte " + decimal(size_) + ")";
        return Status();
    }

    Cursor cursor_;
    int64_t size_;
    std::unordered_map<int64_t, int> answers_;  // position -> index into texts_, -1: reads to END
    std::vector<Problem> texts_;
};

// Why the records of the 3D data block at `start` (inside the file) do not
// all lie in the file; empty when they do.
Status records_problem(Cursor& cursor, int64_t start, int64_t size, std::string& why) {
    why.clear();
    StoreTable table;
    StoreTableFit fit;
    CountingObserver observer;
    VELLKIT_TRY(read_store_table(cursor, start, observer, table, &fit));
    if (fit.header_cut) {
        why = "the 3D block header is cut by the end of the file (byte " + decimal(size) + ")";
        return Status();
    }
    if (fit.rows_cut) {
        why = "its store table (" + std::to_string(fit.entries) + " rows) runs past the end of the file (byte " +
              decimal(size) + ")";
        return Status();
    }
    const wide record = (wide)table.block_size + table.info_size;
    wide count = 0, past = 0, first_past = -1;
    VELLKIT_TRY(walk_runs(table, [&](int64_t first, int64_t last, wide at) {
        const wide n = std::max<wide>(0, (wide)last - first + 1), room = (wide)size - at;
        const wide fits = record <= 0 ? n : room < 0 ? wide(0) : std::min(n, room / record);
        if (fits < n) {
            past += n - fits;
            if (first_past < 0) first_past = at + fits * record;
        }
        count += n;
        return Status();
    }));
    if (past > 0)
        why = decimal(past) + " of its " + decimal(count) + " records lie past the end of the file (byte " +
              decimal(size) + "), the first at byte " + decimal(first_past);
    return Status();
}

// The number of distinct record indices a store table names (a repeated
// index is one record), without laying the records out.
int64_t distinct_records(const StoreTable& table) {
    std::vector<std::pair<int64_t, int64_t>> runs;
    for (const StoreTableRow& row : table.rows)
        if (row.first != -1 && row.second >= row.first) runs.emplace_back(row.first, row.second);
    std::sort(runs.begin(), runs.end());
    int64_t total = 0, end = INT64_MIN;
    for (const auto& r : runs) {
        const int64_t from = std::max(r.first, end == INT64_MIN ? r.first : end + 1);
        if (r.second >= from) total += r.second - from + 1;
        end = std::max(end, r.second);
    }
    return total;
}

Problem status_text(const Status& s) {
    switch (s.code) {
    case ErrorCode::param_type:
        return "a parameter has an unknown value type " + std::to_string((long long)s.value);
    case ErrorCode::param_name_utf8:
        return Problem("a parameter name is not text (", Problem::Name::bytes, s.bytes, ")");
    case ErrorCode::param_unterminated:
        return "the parameter block at byte " + decimal(s.offset) + " runs past the end of the file without an END record";
    case ErrorCode::store_table_too_large:
        return "the store table at byte " + decimal(s.offset) + " claims " + decimal(s.value) +
               " entries, more than the file holds";
    case ErrorCode::records_too_many:
        return "the store table at byte " + decimal(s.offset) + " names " + decimal(s.value) +
               " records, more than the file holds";
    case ErrorCode::seek_negative:
    case ErrorCode::seek_overflow:
        return std::string("a block lies at a position no file has");
    default:
        return "the block cannot be read (core error " + std::to_string((int)s.code) + ")";
    }
}

// Whether a status is the file's fault (described) rather than the
// system's (the description fails with it).
bool is_damage(const Status& s) {
    switch (s.code) {
    case ErrorCode::param_type:
    case ErrorCode::param_name_utf8:
    case ErrorCode::param_unterminated:
    case ErrorCode::store_table_too_large:
    case ErrorCode::records_too_many:
    case ErrorCode::seek_negative:
    case ErrorCode::seek_overflow:
    case ErrorCode::image_value:
    case ErrorCode::image_missing:
        return true;
    default:
        return false;
    }
}

class Describer {
public:
    Describer(const FileSource& source, FileDescription& out)
        : source_(source), out_(out), size_(source.size()), cursor_(source), checks_(source, size_) {}

    Status run() {
        VELLKIT_TRY(frame());
        VELLKIT_TRY(blocks());
        return images();
    }

private:
    void problem(Problem p) { out_.problems.push_back(std::move(p)); }

    // Header and directory as they lie in the file: only entries wholly in
    // it are described.
    Status frame() {
        CountingObserver observer;
        Cursor cursor(source_);
        DirectoryFrame f;
        std::vector<DirectoryEntry> entries;
        VELLKIT_TRY(read_directory(cursor, observer, entries, &f));
        if (f.header_cut) {
            problem("truncated at byte " + decimal(size_) + ": the header needs " +
                    std::to_string(layout::kHeaderBytes) + " bytes");
            return Status();
        }
        if (f.claimed > 0) {
            if (f.offset < 0) {
                problem("the directory offset is negative (" + std::to_string(f.offset) + ")");
                return Status();
            }
            if (f.offset >= size_) {
                problem("truncated at byte " + decimal(size_) + ": the directory (" + std::to_string(f.claimed) +
                        " entries at byte " + std::to_string(f.offset) + ") lies past the end of the file");
            } else if (f.end > size_) {
                problem("truncated at byte " + decimal(size_) + ": the directory claims " +
                        std::to_string(f.claimed) + " entries at byte " + std::to_string(f.offset) + ", up to byte " +
                        decimal(f.end));
            }
        }
        if (f.extension_outside) {
            problem("the 64-bit directory extension at byte " + decimal(f.extension_at) +
                    " lies past the end of the file (" + decimal(size_) + " bytes)");
        } else if (f.extension_at != 0 && f.extension_end > size_) {
            problem("truncated at byte " + decimal(size_) + ": the 64-bit directory extension at byte " +
                    decimal(f.extension_at) + " claims " + decimal(f.extension_claimed) + " entries, up to byte " +
                    decimal(f.extension_end));
        }
        out_.entries.reserve(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const bool extension = i >= f.main_entries;
            const DirectoryEntry& entry = entries[i];
            out_.entries.push_back({(int64_t)(extension ? i - f.main_entries : i), extension, entry.code,
                                    entry_what(entry.code), entry.byte_offset, entry.size_in_words, {}});
        }
        for (EntryDescription& e : out_.entries) VELLKIT_TRY(check_entry(e));
        return Status();
    }

    void entry_problem(EntryDescription& e, Problem p) {
        e.problems.push_back(p);
        problem(std::move(p));
    }

    Status check_entry(EntryDescription& e) {
        if (e.code == 0 && e.size_in_words == 0 && e.offset == 0) return Status();
        const BlockFields f = decode_block_type(e.code);
        if (f.extend_type == extend_type::directory_64) return Status();
        const wide bytes = (wide)e.size_in_words * 4;
        const wide end = (wide)e.offset + bytes;
        if (e.offset < 0 || e.size_in_words < 0) {
            entry_problem(e, entry_name(e) + ": negative offset or size (" + decimal(bytes) + " bytes at byte " +
                                 decimal(e.offset) + ")");
        } else if (e.offset >= size_ && e.size_in_words > 0) {
            entry_problem(e, entry_name(e) + ": block past the end: it starts at byte " + decimal(e.offset) +
                                 ", the file ends at byte " + decimal(size_));
        } else if (end > size_) {
            entry_problem(e, "truncated at byte " + decimal(size_) + ": " + entry_name(e) + " claims bytes " +
                                 decimal(e.offset) + " to " + decimal(end));
        }
        const bool inside = e.offset >= 0 && e.offset < size_;
        if (f.param_type == param_type::data && f.extend_type == extend_type::three_d && inside) {
            std::string why;
            VELLKIT_TRY(records_problem_at(e.offset, why));
            if (!why.empty()) entry_problem(e, entry_name(e) + " at byte " + decimal(e.offset) + ": " + why);
        }
        if (f.param_type != param_type::data && f.extend_type != extend_type::annotation &&
            f.extend_type != extend_type::image && inside) {
            const Problem* why = nullptr;
            VELLKIT_TRY(checks_.problem_at(e.offset, why));
            if (why)
                entry_problem(e, "unreadable parameter block at byte " + decimal(e.offset) + " (" + entry_name(e) +
                                     "): " + *why);
        }
        return Status();
    }

    // Each 3D block is examined once, however many entries name it.
    Status records_problem_at(int64_t offset, std::string& why) {
        auto known = records_checked_.find(offset);
        if (known != records_checked_.end()) {
            why = known->second;
            return Status();
        }
        VELLKIT_TRY(records_problem(cursor_, offset, size_, why));
        records_checked_.emplace(offset, why);
        return Status();
    }

    // A parameter block's records, parsed once; a failure that is the
    // file's fault is kept as the block's problem.
    struct Parsed {
        Status status;
        std::vector<ParamRecord> records;
    };
    Status parsed_at(int64_t offset, const Parsed*& out) {
        auto known = parsed_.find(offset);
        if (known == parsed_.end()) {
            Parsed p;
            CountingObserver observer;
            p.status = parse_parameter_block(cursor_, offset, observer, p.records);
            if (!p.status.ok() && !is_damage(p.status)) return p.status;
            known = parsed_.emplace(offset, std::move(p)).first;
        }
        out = &known->second;
        return Status();
    }

    Problem parameter_problem(int64_t offset, const Status& s) {
        const Problem* why = nullptr;
        if (offset >= 0 && offset < size_ && checks_.problem_at(offset, why).ok() && why)
            return "unreadable parameter block at byte " + decimal(offset) + ": " + *why;
        return status_text(s);
    }

    // The directory as the module reads it, read once; a directory it
    // cannot read (described above) lists nothing.
    Status module_directory(const std::vector<DirectoryEntry>*& out) {
        if (!directory_read_) {
            CountingObserver observer;
            Cursor cursor(source_);
            Status s = read_directory(cursor, observer, directory_);
            if (!s.ok() && !is_damage(s)) return s;
            if (!s.ok()) directory_.clear();
            directory_read_ = true;
        }
        out = &directory_;
        return Status();
    }

    Status blocks() {
        const std::vector<DirectoryEntry>* read = nullptr;
        VELLKIT_TRY(module_directory(read));
        const std::vector<DirectoryEntry>& directory = *read;
        std::map<std::tuple<int, bool, int>, BlockDescription> described;
        for (const ListedBlock& listed : list_contents(directory)) {
            const auto key = std::make_tuple(listed.name_index, listed.three_d, listed.deriv_type);
            auto known = described.find(key);
            if (known == described.end()) {
                BlockDescription d;
                d.listed = listed;
                VELLKIT_TRY(describe_block(directory, d));
                known = described.emplace(key, std::move(d)).first;
            }
            out_.blocks.push_back(known->second);
        }
        return Status();
    }

    Status describe_block(const std::vector<DirectoryEntry>& directory, BlockDescription& d) {
        PlanRequest request;
        request.name_index = d.listed.name_index;
        request.three_d = d.listed.three_d;
        request.deriv_type = d.listed.deriv_type;
        const LocatedBlocks b = locate_blocks(directory, request.block_request());
        auto parameters = std::make_shared<std::vector<ParamRecord>>();
        d.parameters = parameters;
        ParamMap merged;
        for (int64_t offset : b.merge_order()) {
            if (offset == -1) continue;
            const Parsed* p = nullptr;
            VELLKIT_TRY(parsed_at(offset, p));
            if (!p->status.ok()) {
                // A block without data is not read, whatever its parameters.
                if (b.data != -1) d.problem = parameter_problem(offset, p->status);
                *parameters = merged.records();
                return Status();
            }
            merged.merge(p->records);
        }
        if (b.data == -1 || b.params == -1) {
            *parameters = merged.records();
            return Status();  // listed from a parameter block alone
        }
        d.has_kind = true;
        d.kind = kind_of_block(request.three_d, has_mapping_names(merged), b.annotation != -1, request.traces());
        VELLKIT_TRY(describe_shape(request, b, merged, d));
        *parameters = merged.records();
        return Status();
    }

    Status describe_shape(const PlanRequest& request, const LocatedBlocks& b, ParamMap& merged, BlockDescription& d) {
        ValueStop stop;
        XAxis x;
        plan_x_axis(merged, x, stop);
        if (stop.stopped()) {
            d.problem = describe_stop(stop);
            return Status();
        }
        GridPlan grid;
        if (is_image_kind(d.kind)) {
            if (grid_from_original(request, merged)) {
                grid.from_original = true;
                const Parsed* p = nullptr;
                if (b.original_params != -1) VELLKIT_TRY(parsed_at(b.original_params, p));
                if (p && !p->status.ok()) {
                    d.problem = parameter_problem(b.original_params, p->status);
                    return Status();
                }
                take_original_grid(p ? &p->records : nullptr, merged, stop);
            }
            if (!stop.stopped()) plan_grid(merged, grid, stop);
            if (stop.stopped()) {
                d.problem = describe_stop(stop);
                return Status();
            }
        }
        d.x = x;
        d.grid = grid;
        if (!request.three_d) {
            d.has_shape = true;
            d.shape = {x.count};
            return Status();
        }
        StoreTable table;
        CountingObserver observer;
        Status s = read_store_table(cursor_, b.data, observer, table);
        if (!s.ok()) {
            if (!is_damage(s)) return s;
            d.problem = status_text(s);
            return Status();
        }
        const int64_t named = named_records(table);
        if (named > (size_ > INT64_MAX - kRecordSlack ? INT64_MAX : size_ + kRecordSlack)) {
            d.problem = status_text(Status::error(ErrorCode::records_too_many, named, b.data));
            return Status();
        }
        if (b.data >= 0 && b.data < size_) {
            std::string why;
            VELLKIT_TRY(records_problem_at(b.data, why));
            if (!why.empty()) d.problem = "the data block at byte " + decimal(b.data) + ": " + why;
        }
        const int64_t records = distinct_records(table);
        switch (d.kind) {
        case BlockKind::image_map:
            d.shape = {grid.npy, grid.npx, x.count};
            break;
        case BlockKind::image_traces:
            d.shape = {records, grid.npy, grid.npx};
            break;
        case BlockKind::series:
        case BlockKind::series_traces:
            d.shape = {records, x.count};
            break;
        case BlockKind::multi_region:
        case BlockKind::multi_region_traces: {
            int64_t positions = 0;
            VELLKIT_TRY(count_positions(b.annotation, positions, d));
            if (positions < 0) return Status();
            if (d.kind == BlockKind::multi_region)
                d.shape = {positions, x.count};
            else
                d.shape = {records, positions};
            break;
        }
        default:
            return Status();
        }
        d.has_shape = true;
        return Status();
    }

    // The positions of all regions of the annotation table at `offset` (the
    // regions' order does not change their sum); -1, with the block's
    // problem, when the regions cannot be formed.
    Status count_positions(int64_t offset, int64_t& positions, BlockDescription& d) {
        positions = -1;
        MemoryBudget budget;
        VELLKIT_TRY(MemoryBudget::for_file(size_, nullptr, budget));
        AnnotationBlock block;
        AnnotationGap gap;
        CountingObserver observer;
        Status s = read_annotation_block(cursor_, observer, offset, budget, block, gap);
        if (!s.ok()) {
            if (!is_damage(s) && s.code != ErrorCode::rows_too_many && s.code != ErrorCode::memory_limit &&
                s.code != ErrorCode::annotation_column_type && s.code != ErrorCode::annotation_text_length)
                return s;
            d.problem = "the annotation table at byte " + decimal(offset) + " cannot be read";
            return Status();
        }
        if (gap.kind == AnnotationGap::Kind::missing) {
            d.problem = "the annotation table has no parameter or column " + gap.name;
            return Status();
        }
        RegionPlanInput in;
        in.columns = region_columns(block);
        std::vector<GroupTally> tallies;
        // Any order of the groups gives the same total; the columns the
        // module reads are checked all the same (as trace columns, which
        // need no record layout).
        if (gap.kind == AnnotationGap::Kind::none && in.columns.group && tally_groups(*in.columns.group, tallies)) {
            for (const GroupTally& t : tallies) {
                if (!(t.value >= INT32_MIN && t.value <= INT32_MAX)) break;
                in.order.push_back((int32_t)std::trunc(t.value));
            }
        }
        in.tallies = &tallies;
        in.target = PositionTarget::trace_column;
        in.max_positions = (uint64_t)(budget.limit() - budget.used()) / 24;
        std::vector<RegionPlan> regions;
        if (gap.kind != AnnotationGap::Kind::none || in.order.size() != tallies.size() || !in.columns.group ||
            plan_regions(in, regions).stopped()) {
            d.problem = "the regions of the annotation table at byte " + decimal(offset) + " cannot be formed";
            return Status();
        }
        positions = 0;
        for (const RegionPlan& r : regions) positions += (int64_t)r.targets.size();
        return Status();
    }

    // The visible images: each entry's labelled values and where its bytes
    // lie; a step that cannot be taken is a problem of the file.
    Status images() {
        const std::vector<DirectoryEntry>* read = nullptr;
        VELLKIT_TRY(module_directory(read));
        const std::vector<DirectoryEntry>& directory = *read;
        CountingObserver observer;
        Cursor cursor(source_);
        const DirectoryEntry* block = first_image_block(directory);
        if (!block) return Status();
        ParamMap lists;
        ImageStop stop;
        Status s = walk_image_lists(cursor, observer, *block, lists, stop);
        long long count = 0;
        if (s.ok()) s = image_count(lists, count, stop);
        if (!s.ok()) return image_problem(s, stop, -1);
        for (long long n = 0; n < count; ++n) {
            if (n % kInterruptPollEvery == kInterruptPollEvery - 1) VELLKIT_TRY(source_.poll());
            wide entry = 0;
            s = locate_image_entry(lists, block->byte_offset, n, entry, stop);
            std::vector<ParamRecord> records;
            if (s.ok()) s = parse_parameter_block(cursor, entry, observer, records);
            if (!s.ok()) return image_problem(s, stop, n);
            ParamMap params;
            params.merge(records);
            ImageDescription image;
            bool labels_ok = true;
            std::string why;
            const ParamRecord* bytes = labelled_values(params, image, labels_ok, why);
            if (!labels_ok) {
                problem("visible image " + std::to_string(n) + ": " + why);
                out_.images.push_back(image);
                continue;
            }
            bool has_data = false;
            s = locate_image_data(cursor, params, entry, has_data, stop);
            if (!s.ok()) {
                VELLKIT_TRY(image_problem(s, stop, n));
                out_.images.push_back(image);
                continue;
            }
            if (has_data) {
                if (!bytes || bytes->kind != ParamRecord::Kind::integer || bytes->integer < -1) {
                    problem("visible image " + std::to_string(n) + ": its byte count (Bytes) is not a count");
                } else {
                    image.size = bytes->integer;
                    image.stored = image_read_count(cursor, bytes->integer);
                }
            }
            out_.images.push_back(image);
        }
        return Status();
    }

    // The image's dictionary as the module builds it (image_labels); the
    // "Bytes" value, or nullptr.
    const ParamRecord* labelled_values(const ParamMap& params, ImageDescription& image, bool& ok, std::string& why) {
        const ParamRecord* bytes = nullptr;
        for (const ImageLabel& l : image_labels(params)) {
            ok = l.title || (l.label->kind == ParamRecord::Kind::text && l.value);
            if (!ok) {
                const bool text = l.label->kind == ParamRecord::Kind::text;
                why = "label " + l.label->name + (text ? " has no value " + l.value_name : " is not text");
                return nullptr;
            }
            std::string key = l.title ? "Title" : l.label->text;
            while (!key.empty() && key.back() == ':') key.pop_back();
            if (key == "Title") {
                image.has_title = true;
                image.title = *l.value;
            } else if (key == "Type") {
                image.has_type = l.value->kind == ParamRecord::Kind::integer;
                image.type = l.value->integer;
            } else if (key == "Bytes") {
                bytes = l.value;
            }
        }
        return bytes;
    }

    Status image_problem(const Status& s, const ImageStop& stop, long long n) {
        if (!is_damage(s)) return s;
        std::string where = n < 0 ? "visible images" : "visible image " + std::to_string(n);
        if (s.code == ErrorCode::image_missing)
            problem(where + ": the image block has no value " + stop.missing);
        else if (s.code == ErrorCode::image_value)
            problem(where + ": a position in the image block is not an integer");
        else
            problem(where + ": " + status_text(s));
        return Status();
    }

    const FileSource& source_;
    FileDescription& out_;
    int64_t size_;
    Cursor cursor_;
    ParameterChecks checks_;
    std::unordered_map<int64_t, std::string> records_checked_;
    std::unordered_map<int64_t, Parsed> parsed_;
    std::vector<DirectoryEntry> directory_;
    bool directory_read_ = false;
};

}  // namespace

Status describe_file(const FileSource& source, FileDescription& out) {
    out = FileDescription();
    out.file_size = source.size();
    VELLKIT_TRY(has_magic(source, out.vell));
    if (!out.vell) return Status();
    return Describer(source, out).run();
}

}  // namespace vellkit
