// The coroutine type and its __await__ iterator: the native coroutine protocol
// (send, throw, close, finalisation) driving a CoroutineBody.
#include "coroutine.hpp"

#include "heap_type.hpp"
#include "module.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <string>

namespace tavelin::runtime {
namespace {

enum class State { Created, Suspended, Running, Finished };

struct Coroutine {
    PyObject_HEAD
    CoroutineBody *body;   // owned; null once finished
    PyObject *awaiting;    // the iterator delegated to; set exactly while suspended
    PyObject *name;
    PyObject *qualname;
    PyObject *origin;      // cr_origin: a tuple, or NULL when origin tracking was off
    PyObject *frame;       // cr_frame, made when first asked for; NULL once finished
    PyObject *weakrefs;
    State state;
};

// What `__await__` returns: an iterator over the coroutine, so that the
// coroutine object itself is not iterable.
struct CoroutineWrapper {
    PyObject_HEAD
    PyObject *coroutine;
};

PyTypeObject *coroutine_type() { return reinterpret_cast<PyTypeObject *>(module_state().coroutine_type.ptr()); }
PyTypeObject *wrapper_type() {
    return reinterpret_cast<PyTypeObject *>(module_state().coroutine_wrapper_type.ptr());
}

Coroutine *as_coroutine(PyObject *o) { return reinterpret_cast<Coroutine *>(o); }

void set_stop_iteration(PyObject *value) {
    // Wrapped in an instance so tuples and exceptions arrive as the value.
    py::object exc = py::reinterpret_steal<py::object>(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.ptr());
}

// Drops the body and everything it holds; the coroutine can run no more.
void finish(Coroutine *c) {
    c->state = State::Finished;
    Py_CLEAR(c->awaiting);
    Py_CLEAR(c->frame);
    if (CoroutineBody *body = c->body) {
        c->body = nullptr;
        delete body;
    }
}

// The coroutine ends with the pending exception. A StopIteration escaping the
// body would read as a normal return to the caller, so it becomes a RuntimeError.
PySendResult finish_with_error(Coroutine *c) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        raise_from_pending(PyExc_RuntimeError, "coroutine raised StopIteration");
    // Destroying the body may run arbitrary code: keep the error safe meanwhile.
    HeldError error;
    finish(c);
    return PYGEN_ERROR;
}

// The iterator that `await obj` delegates to: the object itself for native
// coroutines and generator-based coroutines, else the result of its __await__.
PyObject *awaitable_iterator(PyObject *obj) {
    if (PyCoro_CheckExact(obj)) return Py_NewRef(obj);
    if (PyGen_CheckExact(obj)) {
        py::object code = py::reinterpret_steal<py::object>(PyObject_GetAttrString(obj, "gi_code"));
        if (!code) return nullptr;
        if (reinterpret_cast<PyCodeObject *>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE) return Py_NewRef(obj);
    }
    unaryfunc getter = Py_TYPE(obj)->tp_as_async ? Py_TYPE(obj)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    py::object it = py::reinterpret_steal<py::object>(getter(obj));
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it.ptr()) || Py_TYPE(it.ptr()) == coroutine_type()) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.ptr())->tp_name);
        return nullptr;
    }
    return it.release().ptr();
}

PySendResult after_delegate(Coroutine *c, PyObject *yielded, PySendResult r, PyObject **result);

// Runs the body from `step` on: delegates to the awaited object until it
// suspends, or returns the body's result.
PySendResult drive(Coroutine *c, CoroutineStep step, PyObject **result) {
    if (step.kind == CoroutineStep::Kind::Return) {
        *result = step.value.release().ptr();
        finish(c);
        return PYGEN_RETURN;
    }
    PyObject *it = awaitable_iterator(step.value.ptr());
    if (!it) return finish_with_error(c);
    step.value = py::object();
    c->awaiting = it;
    PyObject *value = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &value);
    return after_delegate(c, value, r, result);
}

// Handles what the awaited iterator did with a value sent or thrown into it:
// it yielded (the coroutine suspends), failed, or finished with the awaited
// result, with which the body goes on.
PySendResult after_delegate(Coroutine *c, PyObject *yielded, PySendResult r, PyObject **result) {
    if (r == PYGEN_NEXT) {
        c->state = State::Suspended;
        *result = yielded;
        return PYGEN_NEXT;
    }
    Py_CLEAR(c->awaiting);
    if (r == PYGEN_ERROR) return finish_with_error(c);
    py::object awaited = py::reinterpret_steal<py::object>(yielded);
    CoroutineStep step = CoroutineStep::return_(py::none());
    try {
        step = c->body->resume(std::move(awaited));
    } catch (...) {
        restore_python_error();
        return finish_with_error(c);
    }
    return drive(c, std::move(step), result);
}

bool refuse_if_busy(Coroutine *c) {
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (c->state == State::Finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

PySendResult coroutine_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    Coroutine *c = as_coroutine(self);
    *result = nullptr;
    if (refuse_if_busy(c)) return PYGEN_ERROR;
    if (c->state == State::Created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        c->state = State::Running;
        CoroutineStep step = CoroutineStep::return_(py::none());
        try {
            step = c->body->start();
        } catch (...) {
            restore_python_error();
            return finish_with_error(c);
        }
        return drive(c, std::move(step), result);
    }
    if (!c->awaiting) {  // never resume a suspended coroutine without its awaited object
        PyErr_SetString(PyExc_SystemError, "suspended coroutine has no awaited object");
        return PYGEN_ERROR;
    }
    c->state = State::Running;
    PyObject *yielded = nullptr;
    PySendResult r = PyIter_Send(c->awaiting, arg, &yielded);
    return after_delegate(c, yielded, r, result);
}

// Result of send() as a method: the yielded value, or StopIteration(result).
PyObject *send_result_to_object(PySendResult r, PyObject *value) {
    if (r == PYGEN_NEXT) return value;
    if (r == PYGEN_RETURN) {
        py::object returned = py::reinterpret_steal<py::object>(value);
        if (returned.is_none())
            PyErr_SetNone(PyExc_StopIteration);
        else
            set_stop_iteration(returned.ptr());
    }
    return nullptr;
}

PyObject *coroutine_send(PyObject *self, PyObject *arg) noexcept {
    PyObject *value = nullptr;
    PySendResult r = coroutine_am_send(self, arg, &value);
    return send_result_to_object(r, value);
}

// Closes the awaited iterator, if it has a close method. -1 with an error set
// on failure. One lookup, as generators do it: an error there other than
// AttributeError is reported as unraisable and the iterator left open.
int close_iterator(PyObject *it) {
    PyObject *found = PyObject_GetAttrString(it, "close");
    if (!found) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(it);
        return 0;
    }
    py::object close = py::reinterpret_steal<py::object>(found);
    py::object closed = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(close.ptr()));
    return closed ? 0 : -1;
}

// The arguments of throw(value) / throw(type[, value[, traceback]]).
struct Thrown {
    PyObject *const *args;
    Py_ssize_t nargs;

    PyObject *type() const { return args[0]; }
    PyObject *value() const { return nargs > 1 ? args[1] : nullptr; }
    PyObject *traceback() const { return nargs > 2 && args[2] != Py_None ? args[2] : nullptr; }
};

// Raises the thrown exception where the body stands (at its start or at its
// await), checked as generators check it, before anything else happens.
// Nothing there handles it, so the coroutine ends with it.
PySendResult throw_here(Coroutine *c, const Thrown &t) {
    PyObject *type = t.type(), *value = t.value(), *tb = t.traceback();
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return PYGEN_ERROR;
    }
    bool instance = PyExceptionInstance_Check(type);
    if (instance && value && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return PYGEN_ERROR;
    }
    if (!instance && !PyExceptionClass_Check(type)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return PYGEN_ERROR;
    }
    if (refuse_if_busy(c)) return PYGEN_ERROR;
    // Making the exception may run its class's Python code, which must not
    // resume this coroutine.
    c->state = State::Running;
    if (instance) {
        // raise <instance>: its class, itself, and its own traceback unless one is given.
        value = type;
        type = PyExceptionInstance_Class(value);
        PyErr_Restore(Py_NewRef(type), Py_NewRef(value), tb ? Py_NewRef(tb) : PyException_GetTraceback(value));
    } else {
        Py_INCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb) PyException_SetTraceback(value, tb);
        PyErr_Restore(type, value, tb);
    }
    return finish_with_error(c);
}

// What a delegate's throw() call gave, as a send result: a yielded value, the
// awaited result carried by StopIteration, or an error.
PySendResult as_send_result(PyObject *returned, PyObject **value) {
    *value = returned;
    if (returned) return PYGEN_NEXT;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    py::object stop = py::reinterpret_steal<py::object>(HeldError().take());
    *value = PyObject_GetAttrString(stop.ptr(), "value");
    return *value ? PYGEN_RETURN : PYGEN_ERROR;
}

// A thrown exception while suspended goes to the awaited object first:
// GeneratorExit closes it, anything else goes to its throw method, which may
// handle it. Without a throw method it is thrown here. The awaited object
// stays in place until the body goes on or ends, so a throw() refused for its
// arguments leaves the coroutine as it was.
//
// Running from the first lookup on: a `close` or `throw` attribute may run
// Python code, and code that resumed this coroutine there (to its end, say)
// would leave the body freed under the call that goes on with it.
PySendResult throw_into_awaited(Coroutine *c, const Thrown &t, PyObject **result) {
    if (!c->awaiting) {  // as in coroutine_am_send
        PyErr_SetString(PyExc_SystemError, "suspended coroutine has no awaited object");
        return PYGEN_ERROR;
    }
    c->state = State::Running;
    if (PyErr_GivenExceptionMatches(t.type(), PyExc_GeneratorExit)) {
        int err = close_iterator(c->awaiting);
        if (err < 0) return finish_with_error(c);
        c->state = State::Suspended;
        return throw_here(c, t);
    }
    PyObject *found = PyObject_GetAttrString(c->awaiting, "throw");
    if (!found) {
        c->state = State::Suspended;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PYGEN_ERROR;
        PyErr_Clear();
        return throw_here(c, t);
    }
    py::object method = py::reinterpret_steal<py::object>(found);
    PyObject *returned = PyObject_Vectorcall(method.ptr(), t.args, static_cast<size_t>(t.nargs), nullptr);
    PyObject *value = nullptr;
    PySendResult r = as_send_result(returned, &value);
    return after_delegate(c, value, r, result);
}

PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    Coroutine *c = as_coroutine(self);
    Thrown thrown{args, nargs};
    PyObject *value = nullptr;
    PySendResult r = c->state == State::Suspended ? throw_into_awaited(c, thrown, &value) : throw_here(c, thrown);
    return send_result_to_object(r, value);
}

PyObject *coroutine_close(PyObject *self, PyObject *) noexcept {
    Coroutine *c = as_coroutine(self);
    if (c->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (c->state == State::Suspended && c->awaiting) {
        c->state = State::Running;
        if (close_iterator(c->awaiting) < 0) {
            finish_with_error(c);
            if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return nullptr;
            PyErr_Clear();
        }
    }
    finish(c);
    Py_RETURN_NONE;
}

PyObject *new_wrapper(PyObject *coroutine) {
    CoroutineWrapper *w = PyObject_GC_New(CoroutineWrapper, wrapper_type());
    if (!w) return nullptr;
    w->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

// `await coro`: refused while another await is suspended in it, as the
// interpreter refuses it for native coroutines (a second awaiter would
// otherwise resume the first one's await and take its result).
PyObject *coroutine_await(PyObject *self) noexcept {
    if (as_coroutine(self)->state == State::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return new_wrapper(self);
}

// coro.__await__() called directly: the iterator, whatever the state, as for
// native coroutines (the refusal above belongs to the await expression).
PyObject *coroutine_await_method(PyObject *self, PyObject *) noexcept { return new_wrapper(self); }

// True when the running Python frame is a generator-based coroutine's
// (@types.coroutine), the one place where `yield from coro` is allowed.
bool in_iterable_coroutine() {
    PyFrameObject *frame = PyEval_GetFrame();
    if (!frame) return false;
    py::object code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
    return (reinterpret_cast<PyCodeObject *>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// `yield from coro` inside a generator-based coroutine runs through iter().
// Anywhere else a coroutine is not iterable. The slot is kept out of the
// type's namespace (see ready_coroutine_types), so nothing takes the
// coroutine for an iterable.
PyObject *coroutine_iter(PyObject *self) noexcept {
    if (!in_iterable_coroutine()) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return new_wrapper(self);
}

// warnings._warn_unawaited_coroutine, or null (and no error) where there is
// none, found as the interpreter finds it for native coroutines: once
// finalisation has begun nothing is imported (the import machinery is being
// taken down and would raise ImportError), only a module still loaded is used.
py::object unawaited_coroutine_warner() {
    PyObject *module = nullptr;
    if (interpreter_finalizing()) {
        py::str name("warnings");
        module = PyImport_GetModule(name.ptr());
        if (!module) PyErr_Clear();  // sys.modules may be gone already
    } else {
        module = PyImport_ImportModule("warnings");
        if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
    }
    if (!module) return {};
    py::object warnings = py::reinterpret_steal<py::object>(module);
    PyObject *warn = PyObject_GetAttrString(warnings.ptr(), "_warn_unawaited_coroutine");
    if (!warn && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return py::reinterpret_steal<py::object>(warn);
}

// The "never awaited" warning through warnings._warn_unawaited_coroutine, as
// for native coroutines: it names where the coroutine was made (cr_origin)
// and passes the coroutine as the warning's source. Without that function
// (at exit, say) the warning is issued directly.
void warn_never_awaited(PyObject *self) {
    bool warned = false;
    if (py::object warn = unawaited_coroutine_warner()) {
        py::object done = py::reinterpret_steal<py::object>(PyObject_CallOneArg(warn.ptr(), self));
        warned = done || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", as_coroutine(self)->qualname) < 0)
        PyErr_WriteUnraisable(self);
}

void coroutine_finalize(PyObject *self) noexcept {
    Coroutine *c = as_coroutine(self);
    if (c->state == State::Finished) return;
    HeldError saved;
    if (c->state == State::Created) {
        warn_never_awaited(self);
        finish(c);
    } else {
        py::object closed = py::reinterpret_steal<py::object>(coroutine_close(self, nullptr));
        if (!closed) PyErr_WriteUnraisable(self);
    }
}

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Coroutine *c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->awaiting);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->origin);
    Py_VISIT(c->frame);
    if (c->body) return c->body->traverse(visit, arg);
    return 0;
}

int coroutine_clear(PyObject *self) noexcept {
    Coroutine *c = as_coroutine(self);
    Py_CLEAR(c->awaiting);
    Py_CLEAR(c->frame);
    if (c->body) c->body->clear();
    return 0;
}

void coroutine_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    Coroutine *c = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    // The finaliser may resurrect the object (a close() that keeps it), and a
    // live object must be known to the collector again.
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    finish(c);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    Py_CLEAR(c->origin);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %S at %p>", as_coroutine(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) noexcept { return Py_NewRef(as_coroutine(self)->name); }
PyObject *get_qualname(PyObject *self, void *) noexcept { return Py_NewRef(as_coroutine(self)->qualname); }

// __name__ and __qualname__ may be replaced by strings, never deleted.
int set_text(PyObject *&slot, PyObject *value, const char *message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_text(as_coroutine(self)->name, value, "__name__ must be set to a string object");
}
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_text(as_coroutine(self)->qualname, value, "__qualname__ must be set to a string object");
}
PyObject *get_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == State::Running);
}
PyObject *get_suspended(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == State::Suspended);
}
// The awaited object while suspended in it; None while running, as for
// native coroutines.
PyObject *get_await(PyObject *self, void *) noexcept {
    Coroutine *c = as_coroutine(self);
    return Py_NewRef(c->state == State::Suspended && c->awaiting ? c->awaiting : Py_None);
}
PyObject *get_origin(PyObject *self, void *) noexcept {
    PyObject *origin = as_coroutine(self)->origin;
    return Py_NewRef(origin ? origin : Py_None);
}

// A frame object standing for the body until it finishes, then None: what
// inspect.getcoroutinestate() and a task's stack read. On 3.10 its f_lasti
// tells created (-1) from started, as inspect reads it there.
PyObject *get_frame(PyObject *self, void *) noexcept {
    Coroutine *c = as_coroutine(self);
    if (c->state == State::Finished) Py_RETURN_NONE;
    if (!c->frame) {
        const char *name = PyUnicode_AsUTF8(c->name);
        if (!name) return nullptr;
        py::object code = py::reinterpret_steal<py::object>(
            reinterpret_cast<PyObject *>(PyCode_NewEmpty(module_identity().name, name, 0)));
        if (!code) return nullptr;
        PyObject *globals = PyModule_GetDict(module_state().module.ptr());
        c->frame = reinterpret_cast<PyObject *>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.ptr()), globals, nullptr));
        if (!c->frame) return nullptr;
    }
#if PY_VERSION_HEX < 0x030B0000
    reinterpret_cast<PyFrameObject *>(c->frame)->f_lasti = c->state == State::Created ? -1 : 0;
#endif
    return Py_NewRef(c->frame);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {"__await__", coroutine_await_method, METH_NOARGS | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Coroutine, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The wrapper forwards everything to its coroutine.
PyObject *wrapped(PyObject *self) { return reinterpret_cast<CoroutineWrapper *>(self)->coroutine; }

PyObject *wrapper_iternext(PyObject *self) noexcept {
    PyObject *value = nullptr;
    PySendResult r = coroutine_am_send(wrapped(self), Py_None, &value);
    if (r == PYGEN_RETURN) {
        py::object returned = py::reinterpret_steal<py::object>(value);
        if (!returned.is_none()) set_stop_iteration(returned.ptr());
        return nullptr;
    }
    return r == PYGEN_NEXT ? value : nullptr;
}
PyObject *wrapper_send(PyObject *self, PyObject *arg) noexcept { return coroutine_send(wrapped(self), arg); }
PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    return coroutine_throw(wrapped(self), args, nargs);
}
PyObject *wrapper_close(PyObject *self, PyObject *) noexcept { return coroutine_close(wrapped(self), nullptr); }
int wrapper_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped(self));
    return 0;
}
int wrapper_clear(PyObject *self) noexcept {
    Py_CLEAR(reinterpret_cast<CoroutineWrapper *>(self)->coroutine);
    return 0;
}
void wrapper_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<CoroutineWrapper *>(self)->coroutine);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, slot(coroutine_dealloc)},
    {Py_tp_repr, slot(coroutine_repr)},
    {Py_tp_iter, slot(coroutine_iter)},
    {Py_tp_traverse, slot(coroutine_traverse)},
    {Py_tp_clear, slot(coroutine_clear)},
    {Py_tp_finalize, slot(coroutine_finalize)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_members, coroutine_members},
    {Py_am_await, slot(coroutine_await)},
    {Py_am_send, slot(coroutine_am_send)},
    {0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, slot(wrapper_dealloc)},
    {Py_tp_traverse, slot(wrapper_traverse)},
    {Py_tp_clear, slot(wrapper_clear)},
    {Py_tp_iter, slot(PyObject_SelfIter)},
    {Py_tp_iternext, slot(wrapper_iternext)},
    {Py_tp_methods, wrapper_methods},
    {0, nullptr},
};

constexpr unsigned kTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

const std::string coroutine_type_name = std::string(module_identity().name) + ".coroutine";
const std::string wrapper_type_name = std::string(module_identity().name) + ".coroutine_wrapper";

PyType_Spec coroutine_spec = {coroutine_type_name.c_str(), sizeof(Coroutine), 0, kTypeFlags, coroutine_slots};
PyType_Spec wrapper_spec = {wrapper_type_name.c_str(), sizeof(CoroutineWrapper), 0, kTypeFlags, wrapper_slots};

// cr_origin: (filename, line, function) of the frames that made the
// coroutine, innermost first, as many as sys.set_coroutine_origin_tracking_depth()
// asks for; NULL when it asks for none. False with an exception set on failure.
bool creation_origin(PyObject **origin) {
    *origin = nullptr;
    PyObject *get_depth = PySys_GetObject("get_coroutine_origin_tracking_depth");  // borrowed
    if (!get_depth) return true;
    py::object depth_obj = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(get_depth));
    if (!depth_obj) return false;
    long depth = PyLong_AsLong(depth_obj.ptr());
    if (depth == -1 && PyErr_Occurred()) return false;
    if (depth <= 0) return true;
    py::object frames = py::reinterpret_steal<py::object>(PyList_New(0));
    if (!frames) return false;
    py::object frame = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(PyEval_GetFrame()));
    for (long i = 0; frame && i < depth; ++i) {
        auto *f = reinterpret_cast<PyFrameObject *>(frame.ptr());
        py::object code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyFrame_GetCode(f)));
        auto *co = reinterpret_cast<PyCodeObject *>(code.ptr());
        py::object info = py::reinterpret_steal<py::object>(
            Py_BuildValue("OiO", co->co_filename, PyFrame_GetLineNumber(f), co->co_name));
        if (!info || PyList_Append(frames.ptr(), info.ptr()) < 0) return false;
        frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyFrame_GetBack(f)));
    }
    *origin = PyList_AsTuple(frames.ptr());
    return *origin != nullptr;
}

}  // namespace

bool ready_coroutine_types() noexcept {
    ModuleState &state = module_state();
    bool made = !state.coroutine_type;
    if (!ready_heap_type(state.coroutine_type, coroutine_spec)) return false;
    if (made) {
        // tp_iter serves `yield from` only; without __iter__ in the namespace
        // the coroutine is no Iterable, as a native one is not.
        auto *type = reinterpret_cast<PyTypeObject *>(state.coroutine_type.ptr());
        if (PyDict_DelItemString(type->tp_dict, "__iter__") < 0) return false;
        PyType_Modified(type);
    }
    return ready_heap_type(state.coroutine_wrapper_type, wrapper_spec);
}

PyObject *make_coroutine(std::unique_ptr<CoroutineBody> body, const char *name, const char *qualname) noexcept {
    Coroutine *c = PyObject_GC_New(Coroutine, coroutine_type());
    if (!c) return nullptr;
    py::object made = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(c));
    c->body = body.release();
    c->awaiting = nullptr;
    c->frame = nullptr;
    c->weakrefs = nullptr;
    c->state = State::Created;
    c->name = PyUnicode_FromString(name);
    c->qualname = PyUnicode_FromString(qualname);
    bool origin_ok = creation_origin(&c->origin);
    PyObject_GC_Track(c);
    if (!c->name || !c->qualname || !origin_ok) {
        c->state = State::Finished;  // no "never awaited" warning for a half-made object
        return nullptr;
    }
    return made.release().ptr();
}

}  // namespace tavelin::runtime
