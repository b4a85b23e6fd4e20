#pragma once
// Pieces the benchmarks share.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tw::bench {

// A file of `size` pseudo-random bytes (incompressible, repeatable for one seed).
inline void MakeRandomFile(const std::string& path, std::uint64_t size, std::uint64_t seed) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> block((1 << 20) / 8);
    for (std::uint64_t written = 0; written < size; written += block.size() * 8) {
        for (auto& w : block)
            w = rng();
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(std::min<std::uint64_t>(block.size() * 8, size - written)));
    }
}

} // namespace tw::bench
