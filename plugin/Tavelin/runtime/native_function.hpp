// A function type implemented in C++ that binds like a Python function: used
// for the plug-in class's methods.
#pragma once

#include "arguments.hpp"

namespace tavelin::runtime {

struct FunctionSpec {
    ParameterList params;   // params.function_name is the function's __name__
    bool coroutine;         // a coroutine function: calling it returns a coroutine
    // Receives exactly params.count borrowed arguments; returns a new reference
    // or NULL with an exception set.
    PyObject *(*impl)(PyObject *const *args) noexcept;
};

// Creates the function type. Call once before make_native_function.
bool ready_native_function_type() noexcept;

// A new function object for `spec` (which must outlive it) with the given
// __qualname__; its __text_signature__ lists the parameters.
PyObject *make_native_function(const FunctionSpec *spec, const char *qualname) noexcept;

}  // namespace tavelin::runtime
