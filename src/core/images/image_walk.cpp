#include "core/images/image_walk.hpp"

#include <algorithm>

#include "core/common/limits.hpp"
#include "core/format/block_type.hpp"
#include "core/format/layout.hpp"
#include "core/images/image_list.hpp"

namespace vellkit {

namespace {

Status missing(ImageStop& stop, ImageStep step, const std::string& name) {
    stop.step = step;
    stop.missing = name;
    stop.operands.clear();
    return Status::error(ErrorCode::image_missing);
}

Status not_integer(ImageStop& stop, ImageStep step, std::initializer_list<const ParamRecord*> operands) {
    stop.step = step;
    stop.missing.clear();
    stop.operands.clear();
    for (const ParamRecord* r : operands) stop.operands.push_back(*r);
    return Status::error(ErrorCode::image_value);
}

// Looks up `name`; fails with image_missing when it is not there.
Status lookup(const ParamMap& map, ImageStep step, const std::string& name, const ParamRecord*& out, ImageStop& stop) {
    out = map.find(name);
    return out ? Status() : missing(stop, step, name);
}

bool is_integer(const ParamRecord* r) { return r->kind == ParamRecord::Kind::integer; }

std::string suffixed(char letter, long long n) { return letter + image_suffix(n); }

}  // namespace

Status walk_image_lists(Cursor& cursor, FieldReadObserver& observer, const DirectoryEntry& block, ParamMap& lists,
                        ImageStop& stop) {
    VELLKIT_TRY(cursor.seek(block.byte_offset));
    const wide end = image_block_end(block);
    std::vector<ParamRecord> records;
    for (int64_t step = 1; (wide)cursor.position() != end; ++step) {
        if (step % kInterruptPollEvery == 0) VELLKIT_TRY(cursor.source().poll());
        bool found = false;
        int64_t list_offset = 0;
        VELLKIT_TRY(find_image_list(cursor, found, list_offset));
        if (!found) break;
        VELLKIT_TRY(parse_parameter_block(cursor, list_offset, observer, records));
        ParamMap list;
        list.merge(records);
        // A list block whose BID does not name an image block is not merged
        // and ends the walk.
        const ParamRecord* bid = list.find("BID");
        if (!bid) break;
        if (!is_integer(bid)) return not_integer(stop, ImageStep::bid, {bid});
        if (decode_block_type(bid->integer).extend_type != extend_type::image) break;
        lists.merge(records);

        // The end of the entry of the last image listed so far.
        const ParamRecord* nrp = nullptr;
        VELLKIT_TRY(lookup(lists, ImageStep::last_index, "NRP", nrp, stop));
        if (!is_integer(nrp)) return not_integer(stop, ImageStep::last_index, {nrp});
        const long long last = (long long)nrp->integer - 1;
        const ParamRecord *entry_offset = nullptr, *entry_size = nullptr;
        VELLKIT_TRY(lookup(lists, ImageStep::list_end, suffixed('F', last), entry_offset, stop));
        VELLKIT_TRY(lookup(lists, ImageStep::list_end, suffixed('Z', last), entry_size, stop));
        if (!is_integer(entry_offset) || !is_integer(entry_size))
            return not_integer(stop, ImageStep::list_end, {entry_offset, entry_size});
        const wide next = (wide)block.byte_offset + entry_offset->integer + entry_size->integer;
        VELLKIT_TRY(cursor.seek(next));
        // From a position not past this list block the walk would find the
        // same block again and again.
        if (next <= list_offset) break;
    }
    return Status();
}

Status image_count(const ParamMap& lists, long long& count, ImageStop& stop) {
    const ParamRecord* nrp = nullptr;
    VELLKIT_TRY(lookup(lists, ImageStep::count, "NRP", nrp, stop));
    if (!is_integer(nrp)) return not_integer(stop, ImageStep::count, {nrp});
    count = nrp->integer;
    return Status();
}

Status locate_image_entry(const ParamMap& lists, int64_t block_offset, long long n, wide& entry, ImageStop& stop) {
    const ParamRecord* entry_offset = nullptr;
    VELLKIT_TRY(lookup(lists, ImageStep::entry, suffixed('F', n), entry_offset, stop));
    if (!is_integer(entry_offset)) return not_integer(stop, ImageStep::entry, {entry_offset});
    entry = (wide)block_offset + entry_offset->integer;
    return Status();
}

Status locate_image_data(Cursor& cursor, const ParamMap& entry_params, wide entry, bool& has_data, ImageStop& stop) {
    has_data = false;
    const ParamRecord* siz = nullptr;
    VELLKIT_TRY(lookup(entry_params, ImageStep::data_area, "SIZ", siz, stop));
    if (!is_integer(siz)) return not_integer(stop, ImageStep::data_area, {siz});
    const wide data_area = entry + siz->integer;
    VELLKIT_TRY(cursor.seek(data_area));
    const ParamRecord* kind = nullptr;
    VELLKIT_TRY(lookup(entry_params, ImageStep::data_start, "T00", kind, stop));
    // Compared as numbers: 9 and 9.0 both mark image data.
    has_data = (kind->kind == ParamRecord::Kind::integer && kind->integer == layout::kImageDataKind) ||
               (kind->kind == ParamRecord::Kind::real && kind->real == layout::kImageDataKind);
    if (!has_data) return Status();
    const ParamRecord* start = nullptr;
    VELLKIT_TRY(lookup(entry_params, ImageStep::data_start, "F00", start, stop));
    if (!is_integer(start)) return not_integer(stop, ImageStep::data_start, {siz, start});
    return cursor.seek(data_area + start->integer);
}

std::vector<ImageLabel> image_labels(const ParamMap& entry_params) {
    std::vector<ImageLabel> out;
    for (const ParamRecord& r : entry_params.records()) {
        if (r.name.empty() || r.name[0] != 'H') continue;
        const bool title = r.name == "H00";
        std::string value_name = r.name;
        std::replace(value_name.begin(), value_name.end(), 'H', 'V');
        out.push_back({&r, title, value_name, title ? &r : entry_params.find(value_name)});
    }
    return out;
}

ImageBytes image_bytes(const std::vector<ImageLabel>& labels) {
    // The dictionary's keys: a label's text without trailing colons, the
    // last label of a key giving its value.
    auto value_of = [&](const char* key) -> const ParamRecord* {
        const ParamRecord* found = nullptr;
        for (const ImageLabel& l : labels) {
            std::string text = l.label->text;
            while (!text.empty() && text.back() == ':') text.pop_back();
            if (!l.title && l.label->kind == ParamRecord::Kind::text && text == key) found = l.value;
        }
        return found;
    };
    ImageBytes out;
    out.header_type = layout::kImageTypeWithFileHeader;
    out.header_bytes = layout::kImageFileHeaderBytes;
    const ParamRecord* count = value_of(layout::kImageBytesLabel);
    const ParamRecord* type = value_of(layout::kImageTypeLabel);
    out.plain = count && type && count->kind == ParamRecord::Kind::integer && count->integer >= -1;
    if (!out.plain) return out;
    out.count = count->integer;
    // A text is never equal to the number.
    out.drop_header = type->kind != ParamRecord::Kind::text && number_of(*type) == out.header_type;
    return out;
}

}  // namespace vellkit
