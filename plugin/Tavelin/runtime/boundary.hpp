// Helpers for code on the boundary between CPython and C++: turning C++
// exceptions into Python errors, owning new references, holding a pending
// error aside, and releasing the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <unistd.h>

#include <exception>
#include <new>

namespace py = pybind11;

namespace tavelin::runtime {

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

// The pending exception, taken out of the interpreter for the holder's
// lifetime and put back when the holder goes, so that code which may raise or
// clear errors of its own can run in between. take() hands it over instead.
class HeldError {
  public:
    HeldError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~HeldError() { PyErr_Restore(type_, value_, traceback_); }
    HeldError(const HeldError &) = delete;
    HeldError &operator=(const HeldError &) = delete;

    bool empty() const noexcept { return type_ == nullptr; }
    bool matches(PyObject *exc) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_, exc); }

    // The exception instance (normalised, its traceback attached), borrowed.
    PyObject *value() noexcept {
        if (!type_) return nullptr;
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_) PyException_SetTraceback(value_, traceback_);
        return value_;
    }

    // The exception instance as a new reference; nothing is put back.
    PyObject *take() noexcept {
        PyObject *v = value();
        Py_XINCREF(v);
        clear();
        return v;
    }

    // Drops the exception; nothing is put back.
    void clear() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

  private:
    PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

// Replaces the pending exception by a new `type(text)` whose __cause__ and
// __context__ are the old one, like `raise type(text) from exc`.
inline void raise_from_pending(PyObject *type, const char *text) noexcept {
    PyObject *cause = HeldError().take();
    PyErr_SetString(type, text);
    HeldError raised;
    if (cause) {
        PyException_SetContext(raised.value(), Py_NewRef(cause));
        PyException_SetCause(raised.value(), cause);
    }
}

// True once the interpreter has begun to finalise.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Releases the GIL for the lifetime of the object; no pybind11 internals needed.
//
// A thread that re-takes the GIL while the interpreter finalises is ended by
// PyEval_RestoreThread through an unwinding that no destructor and no
// noexcept entry point may pass (std::terminate, the process aborts). So a
// thread that comes back to find the interpreter finalising waits for the
// process to end instead, holding nothing; CPython 3.14 does the same for
// daemon threads. The finalising thread itself is let back in (CPython never
// ends it), or it would wait for an end only it can bring: once finalisation
// has begun it is the only thread that holds the GIL, so a release made while
// finalising is its own.
class GilRelease {
  public:
    GilRelease() noexcept : finalizing_thread_(interpreter_finalizing()), state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        if (!finalizing_thread_ && interpreter_finalizing())
            for (;;) pause();
        PyEval_RestoreThread(state_);
    }
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

  private:
    bool finalizing_thread_;
    PyThreadState *state_;
};

}  // namespace tavelin::runtime
