#include "core/format/catalogue.hpp"

namespace vellkit {

const BlockName kBlockNames[kBlockNameCount] = {
    {"REFL", 12, kAnySample, true}, {"RAM", 10, kAnySample, true}, {"SPOW", 14, 1, false},
    {"RPOW", 14, 2, false},         {"SPH", 3, 1, false},           {"RPH", 3, 2, false},
    {"PAS", 17, kAnySample, true},  {"LREFL", 15, kAnySample, false}, {"KM", 6, kAnySample, true},
    {"SIFG", 2, 1, false},          {"RIFG", 2, 2, false},          {"TR", 5, kAnySample, true},
    {"EMIS", 11, kAnySample, true}, {"ATR", 16, kAnySample, true},  {"TRARI", 18, kAnySample, false},
    {"ABARI", 19, kAnySample, false}, {"AB", 4, kAnySample, true},  {"TRC", 7, kAnySample, false},
    {"SSC", 1, 1, false},           {"RSC", 1, 2, false},
};

int block_name_index(const BlockFields& fields) {
    for (int i = 0; i < kBlockNameCount; ++i) {
        const BlockName& n = kBlockNames[i];
        if (n.data_type == fields.data_type && (n.sample_type == kAnySample || n.sample_type == fields.sample_type))
            return i;
    }
    return -1;
}

std::vector<ListedBlock> list_contents(const std::vector<DirectoryEntry>& directory) {
    std::vector<ListedBlock> primary, others;
    for (const DirectoryEntry& entry : directory) {
        if (entry.fields.param_type != param_type::own_parameters) continue;
        int index = block_name_index(entry.fields);
        if (index < 0) continue;
        ListedBlock b{index, entry.fields.extend_type == extend_type::three_d, entry.fields.deriv_type};
        (kBlockNames[index].primary ? primary : others).push_back(b);
    }
    std::vector<ListedBlock> out;
    out.reserve(primary.size() + others.size());
    out.insert(out.end(), primary.rbegin(), primary.rend());
    out.insert(out.end(), others.begin(), others.end());
    return out;
}

}  // namespace vellkit
