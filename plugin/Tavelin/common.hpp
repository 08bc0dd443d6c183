// Shared helpers for code that sits on the boundary between CPython and C++.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <new>

namespace py = pybind11;

namespace tavelin {

// Turns the C++ exception in flight into a pending Python exception. Called
// from catch (...) blocks at every entry point that CPython calls directly.
inline void restore_python_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

// Runs `body` and converts any exception to a pending Python error, returning
// `on_error` instead. Use at C-API boundaries (slots, vectorcall, getters).
template <typename R, typename F>
R guarded(R on_error, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        restore_python_error();
        return on_error;
    }
}

// Raises the pending Python error as a C++ exception when `ok` is false.
inline void check(bool ok) {
    if (!ok) throw py::error_already_set();
}

// Steals a new reference returned by the C API, throwing if it is NULL.
inline py::object steal(PyObject *o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// Python truth of `a != b` / `a == b`, without the identity shortcut of
// PyObject_RichCompareBool: the operators' own results decide.
inline bool compare(py::handle a, py::handle b, int op) {
    py::object r = steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    int t = PyObject_IsTrue(r.ptr());
    check(t >= 0);
    return t != 0;
}

// `print(text)` through the interpreter's own print.
inline void print_line(const py::str &text) {
    py::module_::import("builtins").attr("print")(text);
}

// format(obj, "") as text.
inline py::str format_empty(py::handle obj) {
    PyObject *text = PyObject_Format(obj.ptr(), py::str("").ptr());
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// Releases the GIL for the lifetime of the object; no pybind11 internals needed.
class GilRelease {
  public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

  private:
    PyThreadState *state_;
};

// Fills the head of a static type object that was left zero-initialised
// (C++ has no designated initialisers for PyTypeObject's many fields).
inline void init_static_type(PyTypeObject &type, const char *name, Py_ssize_t basicsize) {
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&type), 1);
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&type), &PyType_Type);
    type.tp_name = name;
    type.tp_basicsize = basicsize;
}

}  // namespace tavelin
