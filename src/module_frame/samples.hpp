// The samples of a 1-D view as one contiguous span, read in place when the
// array allows it and copied otherwise. Kernels take spans; these adapters
// spare the copy for the common contiguous, all-finite input.
#pragma once

#include <span>
#include <vector>

#include "module_frame/views.hpp"

namespace nuvra {

// True when no sample is NaN or infinite (x - x is 0 exactly for finite x).
inline bool all_finite(std::span<const double> s) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const double a = (s[i] - s[i]) + (s[i + 1] - s[i + 1]);
        const double b = (s[i + 2] - s[i + 2]) + (s[i + 3] - s[i + 3]);
        if (!(a + b == 0.0)) return false;
    }
    for (; i < n; ++i)
        if (!(s[i] - s[i] == 0.0)) return false;
    return true;
}

// The finite samples of a view in index order (NaN and +-inf dropped): the
// buffer itself when the view is contiguous and all finite, else a copy.
class FiniteSamples {
public:
    explicit FiniteSamples(const SignalView& v) {
        const SliceResult sl = v.as_slice();
        if (sl.ok && (v.stride == 1 || v.n <= 1) && all_finite(sl.slice)) {
            span_ = sl.slice;
        } else {
            owned_ = collect_finite(v);
            span_ = owned_;
        }
    }
    std::span<const double> span() const { return span_; }

private:
    std::vector<double> owned_;
    std::span<const double> span_;
};

// Every raw sample of a view in index order, in place when contiguous.
class RawSamples {
public:
    explicit RawSamples(const SignalView& v) {
        const SliceResult sl = v.as_slice();
        if (sl.ok && (v.stride == 1 || v.n <= 1)) {
            span_ = sl.slice;
        } else {
            owned_ = v.to_vector();
            span_ = owned_;
        }
    }
    std::span<const double> span() const { return span_; }

private:
    std::vector<double> owned_;
    std::span<const double> span_;
};

}  // namespace nuvra
