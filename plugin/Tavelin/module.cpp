// Module initialisation: the module definition with its create and exec slots.
// The module exists once per process and belongs to the first interpreter
// that imports it.
#include "coroutine.hpp"
#include "native_function.hpp"
#include "plugin.hpp"

#include <initializer_list>

namespace tavelin {

ModuleObjects &module_objects() {
    // Lives for the process: the module is never torn down.
    static ModuleObjects *objects = new ModuleObjects();
    return *objects;
}

namespace {

int64_t g_interpreter_id = -1;
PyObject *g_module = nullptr;   // strong reference once the exec slot has run

bool check_single_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
        return current != -1;
    }
    if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
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

// `from <module> import <names>`: a module already imported that holds every
// name is used as it is; otherwise it is imported with the names as from-list.
py::object import_from(const char *module_name, std::initializer_list<const char *> names, py::dict globals) {
    py::dict modules = py::reinterpret_borrow<py::dict>(PyImport_GetModuleDict());
    py::object module;
    if (modules.contains(module_name)) {
        module = modules[module_name];
        for (const char *n : names) {
            if (!py::hasattr(module, n)) {
                module = py::object();
                break;
            }
        }
    }
    if (!module) {
        py::list fromlist;
        for (const char *n : names) fromlist.append(n);
        module = steal(PyImport_ImportModuleLevel(module_name, globals.ptr(), nullptr, fromlist.ptr(), 0));
    }
    return module;
}

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

void execute(PyObject *m) {
    py::object module = py::reinterpret_borrow<py::object>(m);
    py::dict ns = py::reinterpret_borrow<py::dict>(PyModule_GetDict(m));
    ns["__builtins__"] = py::module_::import("builtins");

    if (!ready_native_function_type() || !ready_coroutine_types()) throw py::error_already_set();
    py::dict modules = py::reinterpret_borrow<py::dict>(PyImport_GetModuleDict());
    if (!modules.contains("Tavelin")) modules["Tavelin"] = module;

    bind_from(ns, "typing", {"TYPE_CHECKING"});
    bind_from(ns, "enum", {"IntEnum"});
    bind_from(ns, "typing", {"Any", "Dict"});
    bind_from(ns, "pydantic", {"BaseModel", "Field"});
    create_declarations(ns);
    py::object os = steal(PyImport_ImportModuleLevel("os", ns.ptr(), nullptr, nullptr, 0));
    ns["os"] = os;
    module_objects().os = os;
    if (py::bool_(ns["TYPE_CHECKING"])) {
        bind_from(ns, "Server.tools.image_tools", {"ImageTools"});
        bind_from(ns, "Server.zelapi", {"ZELAPI"});
    }
    ns["Tavelin"] = create_plugin_class();
    module_objects().module = module;
}

int module_exec(PyObject *m) noexcept {
    if (g_module) {
        if (g_module == m) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'Tavelin' has already been imported. Re-initialisation is not supported.");
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
    "Tavelin",       // m_name
    nullptr,         // m_doc
    0,               // m_size
    nullptr,         // m_methods
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

}  // namespace
}  // namespace tavelin

extern "C" PYBIND11_EXPORT PyObject *PyInit_Tavelin() { return PyModuleDef_Init(&tavelin::module_def); }
