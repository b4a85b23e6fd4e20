#pragma once
// Percentages shown to the user: done / total * 100 in floating point, rounded to the nearest
// integer with halves going to the even neighbour (12.5 -> 12, 13.5 -> 14). Written out rather
// than left to the floating-point rounding mode, which any library may have changed.
#include <climits>
#include <cmath>
#include <cstdint>

namespace tw {

inline int RoundHalfEven(double x) {
    double f = std::floor(x);
    double diff = x - f;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(f, 2.0) != 0.0))
        f += 1.0;
    if (f >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (f <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(f);
}

// -1 when the total is unknown (0); more than the total counts as the total.
inline int PercentHalfEven(std::uint64_t done, std::uint64_t total) {
    if (total == 0)
        return -1;
    return RoundHalfEven(static_cast<double>(done < total ? done : total) / static_cast<double>(total) * 100.0);
}

} // namespace tw
