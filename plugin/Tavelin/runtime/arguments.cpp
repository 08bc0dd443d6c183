// Argument binding for native functions: required parameters by position or
// keyword, with the interpreter's own TypeError texts.
#include "arguments.hpp"

namespace tavelin::runtime {
namespace {

// The interpreter's wording for a wrong call. CONTRACT.md "error texts".
int raise_count_error(const ParameterList &p, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 p.function_name, "exactly", p.count, p.count == 1 ? "" : "s", given);
    return -1;
}

// Index of the keyword named `name` among the call's keywords, or -1. Names
// that are not strings never match here; they are reported later.
Py_ssize_t find_keyword(PyObject *kwnames, const char *name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return i;
    }
    return -1;
}

Py_ssize_t find_parameter(const ParameterList &p, PyObject *key) {
    for (Py_ssize_t j = 0; j < p.count; ++j)
        if (PyUnicode_CompareWithASCIIString(key, p.names[j]) == 0) return j;
    return -1;
}

}  // namespace

bool bind_arguments(const ParameterList &p, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **out) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != p.count) return raise_count_error(p, nargs), false;
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    if (nargs > p.count) return raise_count_error(p, nargs), false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    PyObject *const *kwvalues = args + nargs;

    Py_ssize_t unused = nkw;
    for (Py_ssize_t i = nargs; i < p.count; ++i) {
        Py_ssize_t k = find_keyword(kwnames, p.names[i]);
        if (k < 0) return raise_count_error(p, i), false;
        out[i] = kwvalues[k];
        --unused;
    }
    if (unused == 0) return true;

    // Some keywords were not consumed: report the first offending one.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.function_name);
            return false;
        }
        Py_ssize_t j = find_parameter(p, key);
        if (j >= nargs) continue;
        if (j >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.function_name,
                         key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function_name, key);
        return false;
    }
    return true;
}

}  // namespace tavelin::runtime
