// Internal failures ("panics") and Python errors as C++ exceptions.
//
// A panic writes its report to standard error at the point where it is raised,
// then unwinds to the call entry, which raises PanicException with the message.
// A PythonError means a Python exception is already set; the call entry just
// returns NULL.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace nuvra {

struct Panic : std::exception {
    std::string message;
    explicit Panic(std::string m) : message(std::move(m)) {}
    const char* what() const noexcept override { return message.c_str(); }
};

struct PythonError : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

// Writes the panic report for `message` (thread, location, backtrace note).
void report_panic(const std::string& message, const std::source_location& loc);

// Reports and raises an internal failure.
[[noreturn]] void panic(std::string message,
                        const std::source_location loc = std::source_location::current());

// Raises ValueError with the given text (for the few functions that raise it).
[[noreturn]] void raise_value_error(const char* message);

// Common internal failures with their fixed texts.
[[noreturn]] void panic_index(std::size_t len, std::size_t index,
                              const std::source_location loc = std::source_location::current());
[[noreturn]] void panic_capacity_overflow(
    const std::source_location loc = std::source_location::current());
[[noreturn]] void panic_divide_by_zero(
    const std::source_location loc = std::source_location::current());

}  // namespace nuvra
