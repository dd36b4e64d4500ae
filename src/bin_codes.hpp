// Counting and order-preserving codes of histogram bins, shared by the
// information measures and the pairwise information matrices: tables are
// counted densely while they are small and by sorting otherwise, so nothing
// is sized by a bin count, and every visit runs in ascending key order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "module_frame/numeric.hpp"

namespace nuvra::bins {

using u64 = std::uint64_t;

// Tables up to this many cells are counted densely; larger ones by sorting.
inline u64 dense_limit(std::size_t n) { return std::max<u64>(4096, 2 * static_cast<u64>(n)); }

// Calls f(key, count) for every distinct key, in ascending key order. Every
// key is below `bound`.
template <typename F>
void for_each_count(std::span<const u64> keys, u64 bound, F&& f) {
    if (bound <= dense_limit(keys.size())) {
        std::vector<u64> cnt(static_cast<std::size_t>(bound), 0);
        for (u64 k : keys) ++cnt[k];
        for (u64 k = 0; k < bound; ++k)
            if (cnt[k] != 0) f(k, cnt[k]);
        return;
    }
    std::vector<u64> s(keys.begin(), keys.end());
    std::sort(s.begin(), s.end());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t j = i + 1;
        while (j < s.size() && s[j] == s[i]) ++j;
        f(s[i], static_cast<u64>(j - i));
        i = j;
    }
}

// Values 0..k-1 that keep the order of the distinct values they replace.
struct Codes {
    std::vector<u64> id;
    u64 k = 0;
};

// Dense codes for `keys` (each below `bound`), in increasing key order.
inline Codes compress(std::vector<u64>&& keys, u64 bound) {
    Codes c;
    const std::size_t n = keys.size();
    if (bound <= 64) {  // small already: the keys are their own codes
        c.id = std::move(keys);
        c.k = std::max<u64>(bound, 1);
        return c;
    }
    if (bound <= dense_limit(n)) {
        std::vector<u64> rank(static_cast<std::size_t>(bound), 0);
        for (u64 k : keys) rank[k] = 1;
        u64 next = 0;
        for (u64& r : rank) {
            const u64 seen = r;
            r = next;
            next += seen;
        }
        for (u64& k : keys) k = rank[k];
        c.id = std::move(keys);
        c.k = std::max<u64>(next, 1);
        return c;
    }
    std::vector<std::pair<u64, u64>> kv(n);  // (key, position)
    for (std::size_t i = 0; i < n; ++i) kv[i] = {keys[i], i};
    std::sort(kv.begin(), kv.end());
    u64 next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && kv[i].first != kv[i - 1].first) ++next;
        keys[kv[i].second] = next;
    }
    c.id = std::move(keys);
    c.k = n == 0 ? 1 : next + 1;
    return c;
}

// min(saturating truncation of t, top): the same as to_u64_sat(t) clamped,
// with one signed conversion when top is exact as a double.
inline u64 clamp_bin(double t, u64 top) {
    if (top < (u64{1} << 53)) {
        if (!(t > 0.0)) return 0;
        if (t >= static_cast<double>(top)) return top;
        return static_cast<u64>(static_cast<std::int64_t>(t));
    }
    const u64 b = to_u64_sat(t);
    return b < top ? b : top;
}

}  // namespace nuvra::bins
