// Argument parsing against a FunctionDescription and scalar conversion.
#include <cstring>

#include "module_frame/internal.hpp"

namespace nuvra::frame {
namespace {

[[noreturn]] void type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw PythonError();
}

bool set_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    const std::size_t n = names.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n == 2)
                out += " and ";
            else if (i == n - 1)
                out += ", and ";
            else
                out += ", ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

bool parse_arguments(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
    const std::size_t n = d.n_params;
    const std::size_t k = static_cast<std::size_t>(nargs);
    const std::string f = std::string(d.name) + "()";
    if (k > n) {
        const char* verb = k == 1 ? "was" : "were";
        if (d.n_required == n)
            return set_type_error(f + " takes " + std::to_string(n) + " positional arguments but " +
                                  std::to_string(k) + " " + verb + " given");
        return set_type_error(f + " takes from " + std::to_string(d.n_required) + " to " +
                              std::to_string(n) + " positional arguments but " +
                              std::to_string(k) + " " + verb + " given");
    }
    for (std::size_t i = 0; i < k; ++i) slots[i] = args[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            PyObject* value = args[nargs + j];
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
            if (!utf8) PyErr_Clear();
            std::size_t match = n;
            if (utf8) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (std::strlen(d.params[i]) == static_cast<std::size_t>(len) &&
                        std::memcmp(d.params[i], utf8, static_cast<std::size_t>(len)) == 0) {
                        match = i;
                        break;
                    }
                }
            }
            if (match == n) {
                return set_type_error(f + " got an unexpected keyword argument '" +
                                      str_of(key, "?") + "'");
            }
            if (slots[match])
                return set_type_error(f + " got multiple values for argument '" + d.params[match] +
                                      "'");
            slots[match] = value;
        }
    }

    if (k < d.n_required) {
        std::vector<const char*> missing;
        for (std::size_t i = 0; i < d.n_required; ++i)
            if (!slots[i]) missing.push_back(d.params[i]);
        if (!missing.empty())
            return set_type_error(f + " missing " + std::to_string(missing.size()) +
                                  " required positional " +
                                  (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                  quoted_list(missing));
    }
    return true;
}

void argument_error(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonError();
    }
    if (Py_TYPE(exc) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        std::string msg = std::string("argument '") + name + "': " + str_of(exc, "");
        PyObject* m = PyUnicode_FromString(msg.c_str());
        PyObject* fresh = m ? PyObject_CallOneArg(PyExc_TypeError, m) : nullptr;
        Py_XDECREF(m);
        if (!fresh) {
            Py_DECREF(exc);
            throw PythonError();
        }
        PyObject* cause = PyException_GetCause(exc);  // new reference or NULL
        PyException_SetCause(fresh, cause);           // steals
        Py_DECREF(exc);
        PyErr_SetRaisedException(fresh);
        throw PythonError();
    }
    PyErr_SetRaisedException(exc);
    throw PythonError();
}

void raise_downcast_error(PyObject* obj, const char* target) {
    if (obj == Py_None)
        type_error(std::string("'None' is not an instance of '") + target + "'");
    type_error("'" + type_qualname(obj) + "' object is not an instance of '" + target + "'");
}

double to_double(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) fetch_and_throw();
    return v;
}

std::uint64_t to_u64(PyObject* o) {
    if (PyLong_Check(o)) {
        unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fetch_and_throw();
        return v;
    }
    PyObject* idx = PyNumber_Index(o);
    if (!idx) fetch_and_throw();
    unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fetch_and_throw();
    return v;
}

std::int64_t to_i64(PyObject* o) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) fetch_and_throw();
    return v;
}

std::int32_t to_i32(PyObject* o) {
    std::int64_t v = to_i64(o);
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonError();
    }
    return static_cast<std::int32_t>(v);
}

bool to_bool(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    // NumPy's bool scalar type is accepted through its truth slot.
    PyTypeObject* t = Py_TYPE(o);
    bool numpy_bool = false;
    if (PyObject* mod = PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__")) {
        if (PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "numpy") == 0) {
            const char* name = t->tp_name;
            const char* dot = std::strrchr(name, '.');
            const char* base = dot ? dot + 1 : name;
            numpy_bool = std::strcmp(base, "bool_") == 0 || std::strcmp(base, "bool") == 0;
        }
        Py_DECREF(mod);
    } else {
        PyErr_Clear();
    }
    if (!numpy_bool) raise_downcast_error(o, "bool");
    if (!t->tp_as_number || !t->tp_as_number->nb_bool) {
        type_error("object of type '" + str_of(reinterpret_cast<PyObject*>(t), "?") +
                   "' does not define a '__bool__' conversion");
    }
    int r = t->tp_as_number->nb_bool(o);
    if (r < 0) fetch_and_throw();
    return r != 0;
}

std::string_view to_str(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_downcast_error(o, "str");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) fetch_and_throw();
    return {s, static_cast<std::size_t>(len)};
}

std::vector<double> to_float_seq(PyObject* o) {
    if (PyUnicode_Check(o)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_downcast_error(o, "Sequence");
    Py_ssize_t size = PyObject_Size(o);
    if (size < 0) {
        PyErr_Clear();
        size = 0;
    }
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(size));
    PyObject* it = PyObject_GetIter(o);
    if (!it) fetch_and_throw();
    while (PyObject* item = PyIter_Next(it)) {
        double v;
        if (PyFloat_CheckExact(item)) {
            v = PyFloat_AS_DOUBLE(item);
        } else {
            v = PyFloat_AsDouble(item);
            if (v == -1.0 && PyErr_Occurred()) {
                Py_DECREF(item);
                Py_DECREF(it);
                fetch_and_throw();
            }
        }
        Py_DECREF(item);
        out.push_back(v);
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) fetch_and_throw();
    return out;
}

}  // namespace nuvra::frame
