// Declarations shared by the files that make up the module.
#pragma once

#include "common.hpp"

namespace tavelin {

// Objects the module creates once at import and keeps for the process.
struct ModuleObjects {
    py::object module;        // the module object
    py::object output_enum;   // OutputEnum
    py::object params_model;  // Params
    py::object os;            // the os module, as bound in the namespace
};
ModuleObjects &module_objects();

// OutputEnum then Params, created in the module's namespace.
void create_declarations(py::dict ns);

// The plug-in class with its four methods, in order.
py::object create_plugin_class();

// Method bodies (arguments already bound; `self` first).
void plugin_init(py::handle self, py::handle zelapi);
void plugin_load_model(py::handle self, py::handle device, py::handle torch_dtype, py::handle tools);
PyObject *plugin_render(PyObject *const *args) noexcept;

}  // namespace tavelin
