// Read-only views of NumPy arrays, valid for the duration of one call.
// Element i of a view is element i of the array as Python sees it, whatever
// the strides (negative ones included).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "module_frame/errors.hpp"

namespace nuvra {

// Outcome of asking for a view's buffer as one contiguous slice.
struct SliceResult {
    std::span<const double> slice;
    bool ok = false;

    // Ends the call in a panic when the array was not contiguous.
    std::span<const double> unwrap(
        const std::source_location loc = std::source_location::current()) const {
        if (!ok) panic("called `Result::unwrap()` on an `Err` value: AsSliceError", loc);
        return slice;
    }
    // Raises ValueError "The given array is not contiguous or is misaligned.".
    std::span<const double> or_value_error() const {
        if (!ok) raise_value_error("The given array is not contiguous or is misaligned.");
        return slice;
    }
};

template <typename T>
struct View1 {
    const T* data = nullptr;      // address of element 0 as Python sees it
    std::size_t n = 0;
    std::ptrdiff_t stride = 1;    // in elements, may be negative
    bool contiguous = true;       // aligned and C- or F-contiguous (or empty)

    std::size_t size() const { return n; }
    bool empty() const { return n == 0; }
    T operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }

    // Every element in index order into a new vector, non-finite values kept.
    std::vector<T> to_vector() const {
        std::vector<T> out(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = (*this)[i];
        return out;
    }

    // Index-based, so that a zero stride (a broadcast array) still yields
    // n elements.
    struct iterator {
        const T* data;
        std::ptrdiff_t stride;
        std::size_t i;
        T operator*() const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
        iterator& operator++() { ++i; return *this; }
        bool operator!=(const iterator& o) const { return i != o.i; }
    };
    iterator begin() const { return {data, stride, 0}; }
    iterator end() const { return {data, stride, n}; }
};

struct SignalView : View1<double> {
    SliceResult as_slice() const {
        if (n == 0) return {{}, true};
        if (!contiguous) return {{}, false};
        return {std::span<const double>(data, n), true};
    }
};

struct IndexView : View1<std::int64_t> {};

struct MatrixView {
    const double* data = nullptr;  // address of element (0, 0)
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t s0 = 0, s1 = 1;  // element strides per axis, may be negative

    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * s0 + static_cast<std::ptrdiff_t>(j) * s1];
    }
    // All elements in logical row-major order.
    std::vector<double> to_row_major() const;
    // Row i as a 1-D view.
    SignalView row(std::size_t i) const {
        SignalView v;
        v.data = data + static_cast<std::ptrdiff_t>(i) * s0;
        v.n = cols;
        v.stride = s1;
        v.contiguous = (s1 == 1 || cols <= 1);
        return v;
    }
};

// The finite samples of a view (NaN and +-inf dropped), in index order.
std::vector<double> collect_finite(const SignalView& v);

// Index positions, in order, where both views hold finite values, over the
// common raw length.
std::vector<std::size_t> collect_finite_pairs(const SignalView& x, const SignalView& y);

}  // namespace nuvra
