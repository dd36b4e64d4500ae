// Portable short vectors for the order-free parts of the kernels.
//
// The kernels are written once with GCC vector extensions and compiled
// twice through NUVRA_MULTIVERSION: an AVX2 body and a baseline (SSE2) body,
// chosen once at load time by the CPU. Nothing here reorders a sum: a
// fixed-order sum takes the terms of a vector one lane at a time, in index
// order, and only the work that does not depend on order (terms, masks,
// comparisons, counts, minima) runs lane-parallel.
//
// A multiversioned function must never throw, nor call anything that can
// (a panic, an allocation, an interrupt check): GCC compiles every direct
// call of one as if it could not throw, so an exception leaving it ends the
// process in std::terminate. Kernels keep such functions to pure loops over
// given buffers; allocation, checks and polls stay in their plain callers,
// which call the vector loop a block at a time.
#pragma once

#include <cstdint>
#include <cstring>

// The helpers pass vectors by value but are always inlined, so the baseline
// ABI of 32-byte vectors never shows at a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace nuvra::simd {

#if defined(__x86_64__) && !defined(NUVRA_NO_MULTIVERSION)
#define NUVRA_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define NUVRA_MULTIVERSION
#endif
#define NUVRA_INLINE inline __attribute__((always_inline))

typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4i __attribute__((vector_size(32)));

NUVRA_INLINE v4d load(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
NUVRA_INLINE void store(double* p, v4d v) { std::memcpy(p, &v, sizeof v); }
// Four 64-bit integer lanes (counters) from and to memory.
NUVRA_INLINE v4i load_i(const std::uint64_t* p) {
    v4i v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
NUVRA_INLINE void store_i(std::uint64_t* p, v4i v) { std::memcpy(p, &v, sizeof v); }
NUVRA_INLINE v4d splat(double x) { return v4d{x, x, x, x}; }
NUVRA_INLINE v4i bits(v4d v) { return (v4i)v; }  // same-size vector casts keep the bits
NUVRA_INLINE v4d from_bits(v4i v) { return (v4d)v; }

// All-ones lanes where x is finite (x - x is 0 exactly for finite x and NaN
// for NaN and +-inf).
NUVRA_INLINE v4i finite_mask(v4d x) { return (x - x) == v4d{0.0, 0.0, 0.0, 0.0}; }

// mask ? a : b, lane by lane, as a bit select.
NUVRA_INLINE v4d select(v4i mask, v4d a, v4d b) {
    return from_bits((bits(a) & mask) | (bits(b) & ~mask));
}

// Lane-wise minimum and maximum of NaN-free lanes in which -0.0 is below
// +0.0: equal lanes take the OR (min) or AND (max) of both bit patterns,
// which picks the negative zero (min) or positive zero (max) of a mixed
// pair and leaves every other equal pair unchanged.
NUVRA_INLINE v4d min_sz(v4d acc, v4d x) {
    const v4d m = x < acc ? x : acc;
    const v4i eq = x == acc;
    return from_bits(bits(m) | (bits(x) & eq));
}
NUVRA_INLINE v4d max_sz(v4d acc, v4d x) {
    const v4d m = x > acc ? x : acc;
    const v4i eq = x == acc;
    return from_bits(bits(m) & (bits(x) | ~eq));
}

// Adds the four lanes of t to acc one at a time, in lane (index) order.
NUVRA_INLINE double add_in_order(double acc, v4d t) {
    acc += t[0];
    acc += t[1];
    acc += t[2];
    acc += t[3];
    return acc;
}

// Number of all-ones lanes accumulated into a count vector (lanes hold -k).
NUVRA_INLINE std::uint64_t lane_count(v4i c) {
    return static_cast<std::uint64_t>(-(c[0] + c[1] + c[2] + c[3]));
}

}  // namespace nuvra::simd
