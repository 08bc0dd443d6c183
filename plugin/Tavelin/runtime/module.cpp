// Module initialisation: the module definition with its create and exec
// slots, the one-interpreter rule, and the from-import the exec step uses.
#include "module.hpp"

#include "coroutine.hpp"
#include "native_function.hpp"

namespace tavelin::runtime {

ModuleState &module_state() {
    // Lives for the process: the module is never torn down.
    static ModuleState *state = new ModuleState();
    return *state;
}

namespace {

int64_t g_interpreter_id = -1;
PyObject *g_module = nullptr;   // strong reference once the exec slot has run

// The module belongs to the main interpreter. Another interpreter is refused
// before anything else runs: all interpreters share one GIL here, and
// pybind11's error handling re-takes it through PyGILState_*, which in a
// subinterpreter waits for the main interpreter's thread state for ever (so
// do the libraries a render imports). CONTRACT.md "one interpreter".
bool check_single_interpreter() {
    PyInterpreterState *interpreter = PyInterpreterState_Get();
    if (interpreter != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, module_identity().interpreter_change_error);
        return false;
    }
    int64_t current = PyInterpreterState_GetID(interpreter);
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
        return current != -1;
    }
    if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, module_identity().interpreter_change_error);
        return false;
    }
    return true;
}

// Copies one attribute of the import spec into the module's namespace.
void copy_spec_attribute(py::handle spec, py::dict ns, const char *from, const char *to, bool allow_none) {
    PyObject *value = PyObject_GetAttrString(spec.ptr(), from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return;
    }
    py::object v = py::reinterpret_steal<py::object>(value);
    if (allow_none || !v.is_none()) ns[to] = v;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept {
    if (!check_single_interpreter()) return nullptr;
    if (g_module) return Py_NewRef(g_module);
    return guarded<PyObject *>(nullptr, [&] {
        py::object name = py::reinterpret_borrow<py::object>(spec).attr("name");
        py::object module = steal(PyModule_NewObject(name.ptr()));
        py::dict ns = py::reinterpret_borrow<py::dict>(PyModule_GetDict(module.ptr()));
        copy_spec_attribute(spec, ns, "loader", "__loader__", true);
        copy_spec_attribute(spec, ns, "origin", "__file__", true);
        copy_spec_attribute(spec, ns, "parent", "__package__", true);
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
        return module.release().ptr();
    });
}

py::object import_from(const char *module_name, std::initializer_list<const char *> names, py::dict globals) {
    py::dict modules = py::reinterpret_borrow<py::dict>(PyImport_GetModuleDict());
    if (modules.contains(module_name)) {
        py::object module = modules[module_name];
        bool complete = true;
        for (const char *n : names) complete = complete && py::hasattr(module, n);
        if (complete) return module;
    }
    py::list fromlist;
    for (const char *n : names) fromlist.append(n);
    return steal(PyImport_ImportModuleLevel(module_name, globals.ptr(), nullptr, fromlist.ptr(), 0));
}

void execute(PyObject *m) {
    py::object module = py::reinterpret_borrow<py::object>(m);
    py::dict ns = py::reinterpret_borrow<py::dict>(PyModule_GetDict(m));
    ns["__builtins__"] = py::module_::import("builtins");

    if (!ready_native_function_type() || !ready_coroutine_types()) throw py::error_already_set();
    // In place before any class is made: Params' annotations are looked up
    // through it. CONTRACT.md "module".
    py::dict modules = py::reinterpret_borrow<py::dict>(PyImport_GetModuleDict());
    const char *name = module_identity().name;
    if (!modules.contains(name)) modules[name] = module;

    module_identity().populate(module, ns);
    module_state().module = module;
}

int module_exec(PyObject *m) noexcept {
    if (g_module) {
        if (g_module == m) return 0;
        PyErr_SetString(PyExc_RuntimeError, module_identity().reinitialisation_error);
        return -1;
    }
    g_module = Py_NewRef(m);
    try {
        execute(m);
        return 0;
    } catch (...) {
        restore_python_error();
        // Forget the module so that a later import starts over.
        Py_CLEAR(g_module);
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,                // m_name: the identity's, set by init_module
    nullptr,                // m_doc
    0,                      // m_size: the state is process-wide, see ModuleState
    nullptr,                // m_methods
    module_slots,           // m_slots
    nullptr,                // m_traverse
    nullptr,                // m_clear
    nullptr,                // m_free
};

}  // namespace

void bind_from(py::dict ns, const char *module_name, std::initializer_list<const char *> names) {
    py::object module = import_from(module_name, names, ns);
    for (const char *n : names) {
        PyObject *value = PyObject_GetAttrString(module.ptr(), n);
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", py::str(n).ptr());
            }
            throw py::error_already_set();
        }
        ns[n] = py::reinterpret_steal<py::object>(value);
    }
}

PyObject *init_module() noexcept {
    module_def.m_name = module_identity().name;
    return PyModuleDef_Init(&module_def);
}

}  // namespace tavelin::runtime
