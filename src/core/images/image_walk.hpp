// The image block's walk: its image list blocks merged into one map of
// entries (offsets Fnn and lengths Znn from the block start, NRP images),
// and where each image entry and its data lie.
//
// Every step needs integer values. A value of another kind (a float or a
// text from the file) or a missing name stops the walk with
// ErrorCode::image_value or ErrorCode::image_missing and an ImageStop that
// says which step and which values; the consumer reports it (a binding
// redoes the step with the values as its own objects to raise its own
// errors).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/format/cursor.hpp"
#include "core/format/directory.hpp"
#include "core/format/field_readers.hpp"
#include "core/parameter_blocks/param_map.hpp"

namespace vellkit {

enum class ImageStep {
    bid,         // BID of a list block: a block-type code naming an image block
    last_index,  // NRP - 1, the number of the last image listed so far
    list_end,    // block offset + Fnn + Znn of that image: where the walk goes on
    count,       // NRP, the number of images
    entry,       // block offset + Fnn: the image entry
    data_area,   // entry + SIZ: the entry's data area
    data_start,  // data area + F00: the image bytes
};

struct ImageStop {
    ImageStep step = ImageStep::bid;
    std::string missing;                      // image_missing: the name looked up
    // image_value: the step's values, in order (for data_start: SIZ, F00)
    std::vector<ParamRecord> operands;
};

// Walks the list blocks from the block's start (see image_list.hpp for how
// each is found), merging them into `lists`.
Status walk_image_lists(Cursor& cursor, FieldReadObserver& observer, const DirectoryEntry& block, ParamMap& lists,
                        ImageStop& stop);

// NRP as a count of images.
Status image_count(const ParamMap& lists, long long& count, ImageStop& stop);

// Where image `n`'s entry (its parameter block) lies.
Status locate_image_entry(const ParamMap& lists, int64_t block_offset, long long n, wide& entry, ImageStop& stop);

// The labelled values of an entry, in the order the image's dictionary
// takes them: H00 is the title (its own value); every other name beginning
// with H is a label whose text, without trailing colons, is the key of the
// value named with each H turned into V (`value` nullptr: there is none).
struct ImageLabel {
    const ParamRecord* label;
    bool title;
    std::string value_name;
    const ParamRecord* value;
};
std::vector<ImageLabel> image_labels(const ParamMap& entry_params);

// What the image's dictionary says of its bytes: "Bytes", the count to read
// (-1: to the end of the file), and whether "Type" (header_type) says they
// start with a file header of header_bytes to drop. `plain` false: a value
// is missing, or the count not an integer read() takes (the consumer reads
// the dictionary's objects for the step).
struct ImageBytes {
    bool plain = false;
    int64_t count = 0;
    bool drop_header = false;
    int header_type = 0;
    int64_t header_bytes = 0;
};
ImageBytes image_bytes(const std::vector<ImageLabel>& labels);

// Seeks to the entry's data area and, when the entry holds image data (T00),
// to the image bytes; `has_data` says which.
Status locate_image_data(Cursor& cursor, const ParamMap& entry_params, wide entry, bool& has_data, ImageStop& stop);

}  // namespace vellkit
