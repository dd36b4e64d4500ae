// A result array whose buffer the kernel fills itself: n doubles allocated
// without the zero-fill of a std::vector, written (every element) by the
// kernel, and handed to NumPy without a copy like Array1, owned by the same
// PySliceContainer.
#pragma once

#include <cstddef>
#include <memory>

#include "module_frame/frame.hpp"

namespace nuvra {

struct UninitArray1 {
    std::unique_ptr<double[]> buf;
    std::size_t n = 0;

    UninitArray1() = default;
    // n doubles, not initialised; the caller writes every one of them.
    explicit UninitArray1(std::size_t count,
                          const std::source_location loc = std::source_location::current())
        : n(count) {
        check_capacity(count, sizeof(double), loc);
        buf.reset(new double[count > 0 ? count : 1]);
    }
    double* data() { return buf.get(); }
    double& operator[](std::size_t i) { return buf[i]; }
};

// Found by argument-dependent lookup from the frame's result builder.
PyObject* build(UninitArray1&& a);

}  // namespace nuvra
