// Frame-internal helpers shared by the frame's own source files.
#pragma once

#include "module_frame/frame.hpp"

namespace nuvra::frame {

// The PanicException class, created once on first need.
PyObject* panic_exception_type();

// A short description of an exception object for "expect"-style messages:
// "TypeName('message')", or "<unprintable>" when it cannot be formatted.
std::string debug_text(PyObject* exc);

// str(obj) as UTF-8, or `fallback` when it cannot be had (the error is
// cleared).
std::string str_of(PyObject* obj, const char* fallback);

// The qualified name of obj's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// Makes sure NumPy's C API table is loaded (panics when it cannot be).
void ensure_numpy();

}  // namespace nuvra::frame
