// Long computations stop on Ctrl-C.
//
// Every function runs with the interpreter lock held, so the interpreter
// cannot act on a signal until the call returns. A kernel whose running time
// can pass a fraction of a second therefore counts its work with an
// InterruptPoll and, every few milliseconds of work, asks the interpreter
// whether a signal is pending. When the signal's handler raises (Ctrl-C's
// raises KeyboardInterrupt), the call ends at once with that exception: the
// kernel unwinds like a panic, so every buffer is freed and every borrow
// released, and no partial result is returned.
//
// Worker threads of the pool never touch Python: on them the same check
// reports whether the waiting caller has abandoned the batch (it polls for
// signals while it waits), and the item stops.
//
// The check throws, so it never runs inside a NUVRA_MULTIVERSION function
// (see simd.hpp), a noexcept function, a destructor, or while a lock is
// held (it can run Python code).
#pragma once

#include <cstdint>
#include <exception>

namespace nuvra {

// Thrown on a worker thread whose batch was abandoned; the pool discards it.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "batch cancelled"; }
};

// About a few milliseconds of work between two checks, counting one unit
// per simple inner-loop step (a multiply-add, a comparison, a copied value).
inline constexpr std::uint64_t kInterruptStride = std::uint64_t{1} << 22;

// Checks once: throws PythonError with the handler's exception set when a
// signal handler raised (calling thread), Cancelled when the batch was
// abandoned (worker thread); returns otherwise.
void check_interrupt();

// A work counter that checks every kInterruptStride units: one subtraction
// per call, so it can sit in an outer loop at no measurable cost.
class InterruptPoll {
public:
    // Counts `work` units done since the last call.
    void operator()(std::uint64_t work = 1) {
        if (work < left_) {
            left_ -= work;
            return;
        }
        left_ = kInterruptStride;
        check_interrupt();
    }

private:
    std::uint64_t left_ = kInterruptStride;
};

}  // namespace nuvra
