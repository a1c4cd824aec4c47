// Runs the fuzz target without libFuzzer: over the files named on the command
// line, then over random mutations of them for a number of iterations.
//     fuzz_core [-iterations=N] [-seed=S] FILE...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    long iterations = 10000;
    unsigned seed = 1;
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-iterations=", 12) == 0) {
            iterations = std::atol(argv[i] + 12);
        } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
            seed = (unsigned)std::atol(argv[i] + 6);
        } else {
            std::ifstream in(argv[i], std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    if (corpus.empty()) corpus.emplace_back();
    for (const auto& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
    std::mt19937 rng(seed);
    for (long n = 0; n < iterations; ++n) {
        std::vector<uint8_t> input = corpus[rng() % corpus.size()];
        int edits = 1 + (int)(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 4) {
            case 0:  // overwrite a byte
                if (!input.empty()) input[rng() % input.size()] = (uint8_t)rng();
                break;
            case 1:  // overwrite a 32-bit field with an extreme value
                if (input.size() >= 4) {
                    static const uint32_t extremes[] = {0, 1, 0x7fffffff, 0x80000000, 0xffffffff, 152, 16, 12};
                    uint32_t v = extremes[rng() % 8];
                    std::memcpy(&input[rng() % (input.size() - 3)], &v, 4);
                }
                break;
            case 2:  // truncate
                if (!input.empty()) input.resize(rng() % input.size());
                break;
            default:  // duplicate a slice
                if (!input.empty()) {
                    size_t at = rng() % input.size();
                    size_t len = rng() % (input.size() - at) % 64;
                    input.insert(input.begin() + (long)at, input.begin() + (long)at, input.begin() + (long)(at + len));
                }
                break;
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("ran %zu seeds and %ld mutations\n", corpus.size(), iterations);
    return 0;
}
