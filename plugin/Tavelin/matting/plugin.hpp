// Declarations shared by the files of the matting plug-in: the module-level
// objects its methods read, and the methods' bodies.
#pragma once

#include "../runtime/boundary.hpp"
#include "../runtime/python_ops.hpp"

namespace tavelin {

using runtime::check;
using runtime::compare;
using runtime::format_empty;
using runtime::guarded;
using runtime::print_line;
using runtime::steal;

// Module-level objects made once at import and kept for the process.
struct PluginGlobals {
    py::object output_enum;   // OutputEnum
    py::object params_model;  // Params
    py::object os;            // the os module, as bound in the namespace
};
PluginGlobals &plugin_globals();

// OutputEnum then Params, created in the module's namespace.
void create_declarations(py::dict ns);

// The plug-in class with its four methods, in order.
py::object create_plugin_class();

// Method bodies (arguments already bound; `self` first).
void plugin_init(py::handle self, py::handle zelapi);
void plugin_load_model(py::handle self, py::handle device, py::handle torch_dtype, py::handle tools);
PyObject *plugin_render(PyObject *const *args) noexcept;

}  // namespace tavelin
