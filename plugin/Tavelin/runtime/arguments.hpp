// Binding of call arguments to a fixed list of required parameters, with the
// TypeError texts that callers of the plug-in's methods see.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tavelin::runtime {

// The most parameters a native function takes.
inline constexpr Py_ssize_t kMaxParameters = 8;

struct ParameterList {
    const char *function_name;     // as it appears in error messages
    const char *const *names;      // parameter names, in order
    Py_ssize_t count;              // every parameter is required
};

// A parameter list whose count is the length of `names`.
template <std::size_t N>
constexpr ParameterList parameters(const char *function_name, const char *const (&names)[N]) noexcept {
    static_assert(N >= 1 && N <= kMaxParameters, "a native function takes 1 to kMaxParameters parameters");
    return {function_name, names, static_cast<Py_ssize_t>(N)};
}

// Binds positional `args` and keyword arguments (`kwnames` holds the names,
// their values follow the positionals in `args`, vectorcall style) into
// `out[0..count)` as borrowed references. Returns false with TypeError set on a
// wrong call. Required parameters are looked up before leftover keywords are
// checked, so a missing argument is reported before an unexpected one.
bool bind_arguments(const ParameterList &params, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **out) noexcept;

}  // namespace tavelin::runtime
