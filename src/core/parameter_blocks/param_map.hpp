// Parameter records merged by name, as a dictionary update merges them: a
// name keeps the place of its first record and takes the value of its last.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/parameter_blocks/parser.hpp"

namespace vellkit {

class ParamMap {
public:
    void merge(const std::vector<ParamRecord>& records) {
        for (const ParamRecord& r : records) {
            auto inserted = index_.emplace(r.name, values_.size());
            if (inserted.second) values_.push_back(r);
            else values_[inserted.first->second] = r;
        }
    }
    // The record of `name`, or nullptr.
    const ParamRecord* find(const std::string& name) const {
        auto it = index_.find(name);
        return it == index_.end() ? nullptr : &values_[it->second];
    }
    bool empty() const { return values_.empty(); }
    // The merged records, each name once, in the order of its first record.
    const std::vector<ParamRecord>& records() const { return values_; }

private:
    std::vector<ParamRecord> values_;
    std::unordered_map<std::string, size_t> index_;
};

}  // namespace vellkit
