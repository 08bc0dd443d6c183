// The native function type: vectorcall with argument binding, method binding
// on instances, and the attributes inspect and asyncio read.
#include "native_function.hpp"

#include "boundary.hpp"
#include "heap_type.hpp"
#include "module.hpp"

#include <structmember.h>

#include <string>
#include <vector>

namespace tavelin::runtime {
namespace {

// CPython's code-object flags (Include/cpython/code.h).
constexpr int kCoOptimized = 0x0001;
constexpr int kCoNewLocals = 0x0002;
constexpr int kCoCoroutine = 0x0080;

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *qualname;         // str
    PyObject *text_signature;   // str, "(self, ...)"
    PyObject *code;             // a code object describing the parameters, for introspection
};

NativeFunction *as_function(PyObject *o) { return reinterpret_cast<NativeFunction *>(o); }

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    const FunctionSpec *spec = as_function(self)->spec;
    PyObject *bound[kMaxParameters];
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
                PyTuple_SET_ITEM(kwnames.ptr(), i, Py_NewRef(key));
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
    PyTypeObject *type = Py_TYPE(self);
    NativeFunction *f = as_function(self);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->text_signature);
    Py_XDECREF(f->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) noexcept {
    return PyUnicode_FromString(as_function(self)->spec->params.function_name);
}
PyObject *get_qualname(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->qualname); }
PyObject *get_module(PyObject *, void *) noexcept { return PyUnicode_FromString(module_identity().name); }
PyObject *get_none(PyObject *, void *) noexcept { Py_RETURN_NONE; }
PyObject *get_annotations(PyObject *, void *) noexcept { return PyDict_New(); }
PyObject *get_text_signature(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->text_signature); }
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

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, slot(function_dealloc)},
    {Py_tp_repr, slot(function_repr)},
    {Py_tp_call, slot(function_call)},
    {Py_tp_descr_get, slot(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

const std::string function_type_name = std::string(module_identity().name) + ".function";

PyType_Spec function_spec = {
    function_type_name.c_str(),
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// "(self, zelapi)": the parameters, for inspect.signature.
std::string text_signature(const ParameterList &params) {
    std::string text = "(";
    for (Py_ssize_t i = 0; i < params.count; ++i) text += (i ? ", " : "") + std::string(params.names[i]);
    return text + ")";
}

// A code object with the function's parameters and flags, so that inspect
// sees the real signature and the coroutine flag on `render`.
py::object make_code(const FunctionSpec *spec, const char *qualname) {
    const ParameterList &params = spec->params;
    py::object code =
        steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(module_identity().name, params.function_name, 0)));
    py::tuple varnames(params.count);
    for (Py_ssize_t i = 0; i < params.count; ++i) varnames[i] = py::str(params.names[i]);
    int flags = kCoOptimized | kCoNewLocals | (spec->coroutine ? kCoCoroutine : 0);
    py::dict changes;
    changes["co_argcount"] = params.count;
    changes["co_nlocals"] = params.count;
    changes["co_varnames"] = varnames;
    changes["co_flags"] = flags;
#if PY_VERSION_HEX >= 0x030B0000
    changes["co_qualname"] = py::str(qualname);
#else
    (void)qualname;
#endif
    return code.attr("replace")(**changes);
}

}  // namespace

bool ready_native_function_type() noexcept {
    return ready_heap_type(module_state().function_type, function_spec);
}

PyObject *make_native_function(const FunctionSpec *spec, const char *qualname) noexcept {
    return guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        py::object code = make_code(spec, qualname);
        py::str name(qualname), signature(text_signature(spec->params));
        auto *type = reinterpret_cast<PyTypeObject *>(module_state().function_type.ptr());
        NativeFunction *f = PyObject_New(NativeFunction, type);
        if (!f) throw py::error_already_set();
        f->vectorcall = function_vectorcall;
        f->spec = spec;
        f->qualname = name.release().ptr();
        f->text_signature = signature.release().ptr();
        f->code = code.release().ptr();
        return reinterpret_cast<PyObject *>(f);
    });
}

}  // namespace tavelin::runtime
