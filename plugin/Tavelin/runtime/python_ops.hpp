// Python operations spelled as the interpreter performs them: comparison
// truth, print(), format(obj, "").
#pragma once

#include "boundary.hpp"

namespace tavelin::runtime {

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
    return py::reinterpret_steal<py::str>(steal(PyObject_Format(obj.ptr(), py::str("").ptr())).release());
}

}  // namespace tavelin::runtime
