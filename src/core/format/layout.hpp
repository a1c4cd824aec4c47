// Where things lie in a VELL file: every offset, size and type code of the
// format, named once. Readers in the core use these; nothing outside the
// core needs to know them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellkit::layout {

// File header: the magic number, then the version (float64), the offset of
// the directory, its capacity and the number of entries in use (int32 each).
constexpr unsigned char kMagic[4] = {0x0A, 0x0A, 0xFE, 0xFE};
constexpr size_t kMagicBytes = 4;
constexpr int64_t kHeaderFieldsAt = 4;
constexpr int64_t kHeaderBytes = 24;
// A 32-bit directory entry: block-type code, size in 32-bit words, offset.
constexpr int64_t kDirectoryEntryBytes = 12;
// The 64-bit extension: its entry count and one unused word (int64 each),
// then entries of code, size in words, offset and one unused word.
constexpr int64_t kExtensionHeaderBytes = 16;
constexpr int64_t kDirectory64EntryBytes = 32;

// The six fields of a block-type code, low bits first.
constexpr int kBlockFieldCount = 6;
constexpr int kBlockFieldShifts[kBlockFieldCount] = {0, 2, 4, 10, 17, 19};
constexpr int64_t kBlockFieldMasks[kBlockFieldCount] = {3, 3, 63, 127, 3, 127};

// Parameter block records: a 4-byte name, a 16-bit type, a 16-bit size in
// 16-bit words, then the value.
constexpr size_t kParamNameBytes = 4;
constexpr size_t kParamTypeAt = 4;
constexpr size_t kParamSizeAt = 6;
constexpr size_t kParamRecordHeaderBytes = 8;
constexpr int kParamInt32 = 0;
constexpr int kParamFloat64 = 1;
constexpr int kParamTextFirst = 2;  // 2, 3 and 4 are text, read alike
constexpr int kParamTextLast = 4;

// The data type of trace ("TRC") blocks.
constexpr int kTraceDataType = 7;

// The parameters of an image map's grid: origin, step and count on x and y.
constexpr int kMappingNameCount = 6;
constexpr const char* kMappingNames[kMappingNameCount] = {"AOX", "AOY", "DDX", "DDY", "NPX", "NPY"};

// 2D data blocks hold float32 values.
constexpr int64_t kValueBytes = 4;

// 3D data blocks: a header of six int32 (version, stored blocks, offset of
// the first record from the block, record data bytes, info record bytes,
// store-table entries), the store table of int32 pairs, then the records.
constexpr int64_t kStoreHeaderFields = 6;
constexpr int64_t kStoreRowBytes = 8;
constexpr int kInfoSizeField = 4;  // index of infoSize among the header fields
// An info record follows a record's values: the time of a time-resolved
// step as float64 at 136, the label of a trace as NUL-padded text from 152
// to the end of the info record.
constexpr int64_t kInfoTimeAt = 136;
constexpr int64_t kInfoTimeBytes = 8;
constexpr int64_t kInfoLabelAt = 152;

// Annotation blocks: a parameter directory 12 bytes into the block names the
// tables (NRP of them, at F00, F01, ...); each table has a parameter block
// (rows NLN, columns NCO, row length SRC, header size SIZ; per column its
// name Snn, offset in the row Fnn and type Tnn) followed by the rows.
constexpr int64_t kAnnotationDirectoryAt = 12;
constexpr int kColumnInt32 = 4;
constexpr int kColumnFloat32 = 5;
constexpr int kColumnTextCodes[3] = {1004, 1005, 1011};
constexpr int64_t kColumnNumberBytes = 4;

// Image blocks: image list blocks begin with a parameter named BID, found
// within the 16 bytes at the walk's position; image entries hold labelled
// values, SIZ (header size), T00 (entry kind) and F00 (offset of the bytes).
constexpr size_t kImageListWindow = 16;
constexpr unsigned char kImageListMarker[3] = {'B', 'I', 'D'};
constexpr int kImageDataKind = 9;          // T00 of an entry holding image data
constexpr const char* kImageBytesLabel = "Bytes";  // the labelled value counting the bytes
constexpr const char* kImageTypeLabel = "Type";
constexpr int kImageTypeWithFileHeader = 258;  // "Type" whose bytes start with a header
constexpr int64_t kImageFileHeaderBytes = 14;  // ... of this many bytes, dropped

}  // namespace vellkit::layout
