#include "native_function.hpp"

#include "common.hpp"

#include <vector>

namespace tavelin {
namespace {

// CPython's code-object flags (Include/cpython/code.h).
constexpr int kCoOptimized = 0x0001;
constexpr int kCoNewLocals = 0x0002;
constexpr int kCoCoroutine = 0x0080;

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *code;   // a code object describing the parameters, for introspection
};

NativeFunction *as_function(PyObject *o) { return reinterpret_cast<NativeFunction *>(o); }

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    const FunctionSpec *spec = as_function(self)->spec;
    PyObject *bound[8];
    if (!bind_arguments(spec->params, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return spec->impl(bound);
}

// Calls that arrive with a keyword dictionary (for instance through
// type(f).__call__) keep its keys as they are, so non-string keys are
// reported by the binder with the function's name.
PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        std::vector<PyObject *> stack(static_cast<size_t>(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        py::object kwnames;
        if (nkw) {
            kwnames = steal(PyTuple_New(nkw));
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                Py_INCREF(key);
                PyTuple_SET_ITEM(kwnames.ptr(), i, key);
                stack[nargs + i] = value;
                ++i;
            }
        }
        return function_vectorcall(self, stack.data(), static_cast<size_t>(nargs), kwnames.ptr());
    });
}

// Functions become bound methods when looked up on an instance.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject *self) noexcept {
    Py_XDECREF(as_function(self)->code);
    Py_TYPE(self)->tp_free(self);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->spec->qualname, self);
}

PyObject *get_name(PyObject *self, void *) noexcept { return PyUnicode_FromString(as_function(self)->spec->name); }
PyObject *get_qualname(PyObject *self, void *) noexcept {
    return PyUnicode_FromString(as_function(self)->spec->qualname);
}
PyObject *get_module(PyObject *, void *) noexcept { return PyUnicode_FromString("Tavelin"); }
PyObject *get_none(PyObject *, void *) noexcept { Py_RETURN_NONE; }
PyObject *get_annotations(PyObject *, void *) noexcept { return PyDict_New(); }
PyObject *get_text_signature(PyObject *self, void *) noexcept {
    return PyUnicode_FromString(as_function(self)->spec->text_signature);
}
PyObject *get_code(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->code); }

// asyncio's marker for coroutine functions; asyncio is imported only when the
// marker is first asked for, so importing the plug-in stays cheap.
PyObject *get_is_coroutine(PyObject *self, void *) noexcept {
    if (!as_function(self)->spec->coroutine) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine");
        return nullptr;
    }
    return guarded<PyObject *>(nullptr, [] {
        py::object marker = py::module_::import("asyncio.coroutines").attr("_is_coroutine");
        return marker.release().ptr();
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject NativeFunctionType;

// A code object with the function's parameters and flags, so that inspect
// sees the real signature and the coroutine flag on `render`.
PyObject *make_code(const FunctionSpec *spec) noexcept {
    return guarded<PyObject *>(nullptr, [&] {
        py::object code = steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("Tavelin", spec->name, 0)));
        py::tuple varnames(spec->params.count);
        for (Py_ssize_t i = 0; i < spec->params.count; ++i) varnames[i] = py::str(spec->params.names[i]);
        int flags = kCoOptimized | kCoNewLocals | (spec->coroutine ? kCoCoroutine : 0);
        py::dict changes;
        changes["co_argcount"] = spec->params.count;
        changes["co_nlocals"] = spec->params.count;
        changes["co_varnames"] = varnames;
        changes["co_flags"] = flags;
#if PY_VERSION_HEX >= 0x030B0000
        changes["co_qualname"] = py::str(spec->qualname);
#endif
        py::object replaced = code.attr("replace")(**changes);
        return replaced.release().ptr();
    });
}

}  // namespace

bool ready_native_function_type() noexcept {
    if (NativeFunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    init_static_type(NativeFunctionType, "Tavelin.function", sizeof(NativeFunction));
    NativeFunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    NativeFunctionType.tp_dealloc = function_dealloc;
    NativeFunctionType.tp_repr = function_repr;
    NativeFunctionType.tp_call = function_call;
    NativeFunctionType.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    NativeFunctionType.tp_descr_get = function_descr_get;
    NativeFunctionType.tp_getset = function_getset;
    return PyType_Ready(&NativeFunctionType) == 0;
}

PyObject *make_native_function(const FunctionSpec *spec) noexcept {
    PyObject *code = make_code(spec);
    if (!code) return nullptr;
    NativeFunction *f = PyObject_New(NativeFunction, &NativeFunctionType);
    if (!f) {
        Py_DECREF(code);
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->code = code;
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace tavelin
