// Small numeric rules the kernels rely on and C++ does not give for free:
// sums strictly in index order from -0.0, saturating float-to-integer casts,
// signed-zero-aware min/max, a NaN-last ordering for sorts, and checked
// indexing, division and size arithmetic that panic with fixed texts.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <source_location>
#include <span>
#include <vector>

#include "module_frame/errors.hpp"

namespace nuvra {

// Sum in increasing index order, one addition per term, starting from -0.0.
inline double sum_in_order(std::span<const double> v) {
    double s = -0.0;
    for (double x : v) s += x;
    return s;
}

// Conversion of a double to an unsigned 64-bit integer with
// saturation: NaN and negatives give 0, values >= 2^64 give 2^64 - 1.
// Truncates toward zero, like an `as u64` cast.
inline std::uint64_t to_u64_sat(double x) {
    if (!(x > 0.0)) return 0;  // NaN, negatives and zeros
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

// Saturating conversion to a signed 64-bit integer (NaN gives 0).
inline std::int64_t to_i64_sat(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

// Minimum and maximum in which -0.0 counts as smaller than +0.0, whichever
// operand comes first. NaN operands are not expected here (callers filter).
inline double min_signed_zero(double a, double b) {
    if (a < b) return a;
    if (b < a) return b;
    if (a == b) return std::signbit(a) ? a : b;
    return std::isnan(a) ? b : a;  // minNum semantics for NaN
}
inline double max_signed_zero(double a, double b) {
    if (a > b) return a;
    if (b > a) return b;
    if (a == b) return std::signbit(a) ? b : a;
    return std::isnan(a) ? b : a;
}

// IEEE minNum / maxNum: a NaN operand yields the other operand.
inline double fmin_num(double a, double b) { return std::fmin(a, b); }
inline double fmax_num(double a, double b) { return std::fmax(a, b); }

// Strict weak order for doubles that may hold NaN: every NaN after every
// number, NaNs equal to each other, -0.0 equal to +0.0.
inline bool nan_last_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// Element access with the system's out-of-bounds panic.
template <typename V>
inline auto& at(V& v, std::size_t i,
                const std::source_location loc = std::source_location::current()) {
    if (i >= v.size()) panic_index(v.size(), i, loc);
    return v[i];
}

// Integer division with the system's divide-by-zero panic.
template <typename T>
inline T checked_div(T a, T b, const std::source_location loc = std::source_location::current()) {
    if (b == 0) panic_divide_by_zero(loc);
    return a / b;
}

// Checked size arithmetic: std::nullopt-free forms that report overflow
// through the return flag, for guards that must not wrap.
inline bool add_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return __builtin_add_overflow(a, b, &out);
}
inline bool mul_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return __builtin_mul_overflow(a, b, &out);
}

// Byte-size check for a buffer of `n` elements of `elem` bytes: a size that
// would exceed the address space is the "capacity overflow" panic.
inline void check_capacity(std::uint64_t n, std::uint64_t elem = 8,
                           const std::source_location loc = std::source_location::current()) {
    std::uint64_t bytes;
    if (mul_overflows(n, elem, bytes) || bytes > 9223372036854775800ull)
        panic_capacity_overflow(loc);
}

// A vector of n doubles filled with `value`, with the capacity check.
inline std::vector<double> filled(std::uint64_t n, double value,
                                  const std::source_location loc = std::source_location::current()) {
    check_capacity(n, sizeof(double), loc);
    return std::vector<double>(static_cast<std::size_t>(n), value);
}

inline std::vector<double> nan_vec(std::uint64_t n,
                                   const std::source_location loc = std::source_location::current()) {
    return filled(n, std::numeric_limits<double>::quiet_NaN(), loc);
}

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double Inf = std::numeric_limits<double>::infinity();

}  // namespace nuvra
