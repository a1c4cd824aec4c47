#include "core/common/limits.hpp"

namespace vellkit {

namespace {

// Whitespace as the C locale's isspace has it, read the same wherever it
// stands: around the setting and between the number and its suffix.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool parse_byte_size(const std::string& text, int64_t& out) {
    size_t i = 0;
    auto skip_space = [&] {
        while (i < text.size() && is_space(text[i])) ++i;
    };
    skip_space();
    if (i == text.size() || text[i] < '0' || text[i] > '9') return false;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (uint64_t)INT64_MAX / 10) return false;
        value = value * 10 + (uint64_t)(text[i] - '0');
        if (value > (uint64_t)INT64_MAX) return false;
    }
    int shift = 0;
    skip_space();
    if (i < text.size()) {
        switch (text[i]) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        case 't': case 'T': shift = 40; break;
        default: return false;
        }
        ++i;
        if (i < text.size() && (text[i] == 'b' || text[i] == 'B')) ++i;
    }
    skip_space();
    if (i != text.size()) return false;
    if (shift && value > ((uint64_t)INT64_MAX >> shift)) return false;
    out = (int64_t)(value << shift);
    return true;
}

Status MemoryBudget::for_file(int64_t file_size, const char* setting, MemoryBudget& out) {
    out = MemoryBudget();
    out.file_size_ = file_size;
    if (setting) {
        int64_t limit = 0;
        if (!parse_byte_size(setting, limit)) {
            Status s = Status::error(ErrorCode::memory_setting);
            s.bytes = setting;
            return s;
        }
        // Zero means no limit, as a memory limit of 0 does elsewhere.
        out.limit_ = limit == 0 ? INT64_MAX : limit;
        return Status();
    }
    if (file_size > 0 && file_size <= INT64_MAX / kMemoryPerFileByte && file_size * kMemoryPerFileByte > kMemoryFloor)
        out.limit_ = file_size * kMemoryPerFileByte;
    else if (file_size > INT64_MAX / kMemoryPerFileByte)
        out.limit_ = INT64_MAX;
    return Status();
}

Status MemoryBudget::charge(uint64_t count, uint64_t item_bytes) {
    const uint64_t room = (uint64_t)(limit_ - used_);
    if (item_bytes != 0 && count > room / item_bytes) {
        // The amount asked, saturated where it passes what 64 bits hold.
        uint64_t asked = count > (uint64_t)INT64_MAX / item_bytes ? (uint64_t)INT64_MAX : count * item_bytes;
        int64_t total = asked > (uint64_t)(INT64_MAX - used_) ? INT64_MAX : used_ + (int64_t)asked;
        Status s = Status::error(ErrorCode::memory_limit, total, limit_);
        s.file_size = file_size_;
        s.bytes = subject_;
        return s;
    }
    used_ += (int64_t)(count * item_bytes);
    return Status();
}

}  // namespace vellkit
