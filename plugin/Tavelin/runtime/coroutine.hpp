// A coroutine object implemented in C++: the protocol of native coroutines
// (send/throw/close, __await__, am_send) around a C++ body that runs in steps
// between its awaits.
#pragma once

#include "boundary.hpp"

#include <memory>

namespace tavelin::runtime {

// What a body asks for when it stops running: to await `value`, or to return it.
struct CoroutineStep {
    enum class Kind { Await, Return } kind;
    py::object value;

    static CoroutineStep await_(py::object awaitable) { return {Kind::Await, std::move(awaitable)}; }
    static CoroutineStep return_(py::object result) { return {Kind::Return, std::move(result)}; }
};

// The code of a coroutine. The body has no handler around its awaits: an
// exception delivered at an await (thrown in, or raised by the awaited object)
// ends the coroutine with that exception, and the body is then destroyed.
class CoroutineBody {
  public:
    virtual ~CoroutineBody() = default;
    // Runs from the start to the first await or to the end.
    virtual CoroutineStep start() = 0;
    // Continues after an await, with the awaited result.
    virtual CoroutineStep resume(py::object awaited) = 0;
    // Garbage-collector support for every Python object the body holds.
    virtual int traverse(visitproc visit, void *arg) = 0;
    virtual void clear() = 0;
};

// Creates the coroutine types. Call once before make_coroutine.
bool ready_coroutine_types() noexcept;

// A new coroutine object that owns `body`. NULL with an exception set on failure.
PyObject *make_coroutine(std::unique_ptr<CoroutineBody> body, const char *name, const char *qualname) noexcept;

}  // namespace tavelin::runtime
