// Panics, their report on standard error, PanicException, and the
// translation of every C++ exception into a Python exception at the call
// entry.
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include "module_frame/internal.hpp"

namespace nuvra {
namespace {

std::atomic<std::uint64_t> next_thread_id{1};
thread_local std::uint64_t this_thread_id = 0;

std::uint64_t thread_id() {
    if (this_thread_id == 0) this_thread_id = next_thread_id.fetch_add(1);
    return this_thread_id;
}

// The backtrace setting is read on the first panic and remembered.
enum class Backtrace { Off, Short, Full };
std::once_flag backtrace_once;
Backtrace backtrace_mode = Backtrace::Off;
std::atomic<bool> first_panic{true};

Backtrace read_backtrace_mode() {
    std::call_once(backtrace_once, [] {
        const char* v = std::getenv("RUST_BACKTRACE");
        if (!v || std::strcmp(v, "0") == 0)
            backtrace_mode = Backtrace::Off;
        else if (std::strcmp(v, "full") == 0)
            backtrace_mode = Backtrace::Full;
        else
            backtrace_mode = Backtrace::Short;
    });
    return backtrace_mode;
}

void write_all(const std::string& s) {
    const char* p = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t w = ::write(2, p, left);
        if (w <= 0) return;
        p += w;
        left -= static_cast<std::size_t>(w);
    }
}

const char* short_path(const char* file) {
    // Show paths from the source root ("src/...").
    const char* p = std::strstr(file, "/src/");
    return p ? p + 1 : file;
}

}  // namespace

void report_panic(const std::string& message, const std::source_location& loc) {
    std::string text = "\nthread '<unnamed>' (" + std::to_string(thread_id()) + ") panicked at " +
                       short_path(loc.file_name()) + ":" + std::to_string(loc.line()) + ":" +
                       std::to_string(loc.column()) + ":\n" + message + "\n";
    Backtrace mode = read_backtrace_mode();
    bool first = first_panic.exchange(false);
    if (mode == Backtrace::Off) {
        if (first)
            text += "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
        write_all(text);
        return;
    }
    write_all(text + "stack backtrace:\n");
    void* frames[64];
    int n = ::backtrace(frames, 64);
    if (mode == Backtrace::Full) {
        ::backtrace_symbols_fd(frames, n, 2);
    } else {
        // Skip the reporting machinery itself; show at most 16 frames.
        int skip = n > 2 ? 2 : 0;
        ::backtrace_symbols_fd(frames + skip, std::min(n - skip, 16), 2);
        write_all(
            "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose "
            "backtrace.\n");
    }
}

void panic(std::string message, const std::source_location loc) {
    report_panic(message, loc);
    throw Panic(std::move(message));
}

void panic_index(std::size_t len, std::size_t index, const std::source_location loc) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          loc);
}

void panic_capacity_overflow(const std::source_location loc) { panic("capacity overflow", loc); }

void panic_divide_by_zero(const std::source_location loc) { panic("attempt to divide by zero", loc); }

void raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw PythonError();
}

namespace frame {

namespace {
constexpr const char panic_doc[] =
    "\nThe exception raised when native code of the extension panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof(panic_doc) - 1 == 235, "PanicException doc is 235 characters");

PyObject* panic_type = nullptr;
}  // namespace

PyObject* panic_exception_type() {
    if (!panic_type) {
        PyObject* t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                PyExc_BaseException, nullptr);
        if (!t) {
            PyErr_Print();
            std::fputs("Failed to initialize new exception type.\n", stderr);
            std::abort();
        }
        panic_type = t;  // lives for the rest of the process
    }
    return panic_type;
}

std::string type_qualname(PyObject* obj) {
    PyObject* q = PyType_GetQualName(Py_TYPE(obj));
    if (!q) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    const char* s = PyUnicode_AsUTF8(q);
    std::string out = s ? s : "<failed to extract type name>";
    if (!s) PyErr_Clear();
    Py_DECREF(q);
    return out;
}

std::string str_of(PyObject* obj, const char* fallback) {
    PyObject* s = PyObject_Str(obj);
    if (!s) {
        PyErr_Clear();
        return fallback;
    }
    const char* c = PyUnicode_AsUTF8(s);
    std::string out = c ? c : fallback;
    if (!c) PyErr_Clear();
    Py_DECREF(s);
    return out;
}

std::string debug_text(PyObject* exc) {
    if (!exc) return "<no exception>";
    return type_qualname(exc) + "('" + str_of(exc, "<unprintable>") + "')";
}

void fetch_and_throw() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonError();
    }
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(panic_exception_type()))) {
        // A panic raised by code we called: continue it as our own panic.
        std::string message = str_of(exc, "Unwrapped panic from Python code");
        std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
                   stderr);
        std::fputs("Python stack trace below:\n", stderr);
        std::fflush(stderr);
        PyErr_SetRaisedException(exc);
        PyErr_PrintEx(0);
        throw Panic(std::move(message));  // no second report
    }
    PyErr_SetRaisedException(exc);
    throw PythonError();
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const Panic& p) {
        PyObject* t = panic_exception_type();
        PyObject* msg = PyUnicode_DecodeUTF8(p.message.data(),
                                             static_cast<Py_ssize_t>(p.message.size()), "replace");
        if (msg) {
            PyErr_SetObject(t, msg);
            Py_DECREF(msg);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        report_panic("capacity overflow", std::source_location::current());
        PyErr_SetString(panic_exception_type(), "capacity overflow");
    } catch (const std::exception& e) {
        report_panic(e.what(), std::source_location::current());
        PyErr_SetString(panic_exception_type(), e.what());
    } catch (...) {
        const char* msg = "native code of the extension panicked with a non-text payload";
        report_panic(msg, std::source_location::current());
        PyErr_SetString(panic_exception_type(), msg);
    }
    return nullptr;
}

}  // namespace frame
}  // namespace nuvra
