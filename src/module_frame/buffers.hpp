// A result array whose buffer the kernel fills itself: n doubles allocated
// without the zero-fill of a std::vector, written (every element) by the
// kernel, and handed to NumPy without a copy like Array1, owned by the same
// PySliceContainer.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "module_frame/frame.hpp"

namespace nuvra {

// Room for n doubles (at least one), not initialised. Large buffers are
// recycled: release_doubles keeps a few of them (32 MiB at most) for the
// next result of about the same size, so repeated calls do not fault in
// fresh pages. Throws std::bad_alloc when the memory is not there.
double* allocate_doubles(std::size_t n);
// Gives back a buffer from allocate_doubles (null is ignored).
void release_doubles(double* p);

struct FreeDoubles {
    void operator()(double* p) const { release_doubles(p); }
};

struct UninitArray1 {
    std::unique_ptr<double, FreeDoubles> buf;
    std::size_t n = 0;

    UninitArray1() = default;
    // n doubles, not initialised; the caller writes every one of them.
    explicit UninitArray1(std::size_t count,
                          const std::source_location loc = std::source_location::current())
        : n(count) {
        check_capacity(count, sizeof(double), loc);
        buf.reset(allocate_doubles(count));
    }
    double* data() const { return buf.get(); }
    double& operator[](std::size_t i) const { return buf.get()[i]; }
};

// The same for a row-major rows x cols block, taken over by a new 2-D array.
struct UninitArray2 {
    std::unique_ptr<double, FreeDoubles> buf;
    std::size_t rows = 0, cols = 0;

    UninitArray2() = default;
    UninitArray2(std::size_t r, std::size_t c,
                 const std::source_location loc = std::source_location::current())
        : rows(r), cols(c) {
        std::uint64_t cells;
        if (mul_overflows(r, c, cells)) panic_capacity_overflow(loc);
        check_capacity(cells, sizeof(double), loc);
        buf.reset(allocate_doubles(static_cast<std::size_t>(cells)));
    }
    double* data() const { return buf.get(); }
};

// Found by argument-dependent lookup from the frame's result builder.
PyObject* build(UninitArray1&& a);
PyObject* build(UninitArray2&& a);

}  // namespace nuvra
