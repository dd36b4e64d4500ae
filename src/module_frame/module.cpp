// Module definition, execution step and registration of every function.
#include "module_frame/families.hpp"
#include "module_frame/frame.hpp"
#include "module_frame/internal.hpp"

extern "C" void openblas_set_num_threads(int num_threads);

namespace nuvra {
namespace {

// The name of `obj`'s type failed a downcast to `target`: the TypeError text.
[[noreturn]] void not_instance(PyObject* obj, const char* target) {
    frame::raise_downcast_error(obj, target);
}

// Reads module.__all__, creating an empty list when it does not exist.
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) throw PythonError();
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw PythonError();
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyObject* again = PyObject_GetAttrString(module, "__all__");
        not_instance(again ? again : Py_None, "list");
    }
    return all;
}

// Appends the function's __name__ to __all__ and sets the attribute.
void add_function(PyObject* module, PyObject* fn) {
    PyObject* name = PyObject_GetAttrString(fn, "__name__");
    if (!name) throw PythonError();
    if (!PyUnicode_Check(name)) {
        Py_DECREF(name);
        not_instance(name, "str");
    }
    PyObject* all = all_list(module);
    int rc = PyList_Append(all, name);
    Py_DECREF(all);
    if (rc < 0) {
        PyObject* err = PyErr_GetRaisedException();
        std::string detail = frame::debug_text(err);
        Py_XDECREF(err);
        Py_DECREF(name);
        panic("could not append __name__ to __all__: " + detail);
    }
    rc = PyObject_SetAttr(module, name, fn);
    Py_DECREF(name);
    if (rc < 0) throw PythonError();
}

// Creates the builtin function object bound to the module's name and adds it.
void add_table(PyObject* module, const FunctionTable& table) {
    for (std::size_t i = 0; i < table.count; ++i) {
        PyObject* modname = PyModule_GetNameObject(module);
        if (!modname) frame::fetch_and_throw();
        PyObject* fn = PyCMethod_New(const_cast<PyMethodDef*>(&table.defs[i]), module, modname,
                                     nullptr);
        Py_DECREF(modname);
        if (!fn) frame::fetch_and_throw();
        try {
            add_function(module, fn);
        } catch (...) {
            Py_DECREF(fn);
            throw;
        }
        Py_DECREF(fn);
    }
}

int module_exec(PyObject* module) noexcept {
    try {
        if (!PyModule_Check(module)) not_instance(module, "module");
        // Our matrices are small and the parallelism is ours: BLAS runs on the
        // calling thread.
        openblas_set_num_threads(1);
        // Functions the execution step adds itself, family by family.
        for (auto table : {family::entropy, family::fractal, family::statistics,
                           family::correlation, family::distance, family::embedding})
            add_table(module, table());
        // The register steps of the remaining families.
        for (auto table : {family::coupling, family::rt_geometry, family::dynamics,
                           family::topology, family::information, family::network,
                           family::spectral, family::matrix, family::physics})
            add_table(module, table());
        return 0;
    } catch (...) {
        frame::translate_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_rust",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace nuvra

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__rust(void) {
    return PyModuleDef_Init(&nuvra::module_def);
}
