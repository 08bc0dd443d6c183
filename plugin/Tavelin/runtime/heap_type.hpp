// Heap types made from a PyType_Spec: the slot cast and the one-time creation
// into the module's state.
#pragma once

#include "boundary.hpp"

namespace tavelin::runtime {

// A slot function as PyType_Slot stores it.
template <typename F>
void *slot(F *f) {
    return reinterpret_cast<void *>(f);
}

// Creates the type described by `spec` into `holder` unless it is there
// already. False with an exception set on failure.
inline bool ready_heap_type(py::object &holder, PyType_Spec &spec) noexcept {
    if (holder) return true;
    PyObject *type = PyType_FromSpec(&spec);
    if (!type) return false;
    holder = py::reinterpret_steal<py::object>(type);
    return true;
}

}  // namespace tavelin::runtime
