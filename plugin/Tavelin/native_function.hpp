// A function type implemented in C++ that binds like a Python function: used
// for the plug-in class's methods.
#pragma once

#include "arguments.hpp"

namespace tavelin {

struct FunctionSpec {
    const char *name;             // __name__
    const char *qualname;         // __qualname__
    ParameterList params;         // all required, by position or keyword
    const char *text_signature;   // for inspect.signature
    bool coroutine;               // a coroutine function: calling it returns a coroutine
    // Receives exactly params.count borrowed arguments; returns a new reference
    // or NULL with an exception set.
    PyObject *(*impl)(PyObject *const *args) noexcept;
};

// Readies the function type. Call once before make_native_function.
bool ready_native_function_type() noexcept;

// A new function object for `spec`, which must outlive it.
PyObject *make_native_function(const FunctionSpec *spec) noexcept;

}  // namespace tavelin
