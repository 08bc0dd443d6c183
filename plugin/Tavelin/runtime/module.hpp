// The module's process-wide state, and the services its exec slot offers the
// plug-in layer that fills the namespace.
#pragma once

#include "boundary.hpp"

#include <initializer_list>

namespace tavelin::runtime {

// What the module keeps for the process. The module exists once per process
// and is never torn down, so its state lives here rather than in a per-module
// block (the module definition declares a state size of 0; CONTRACT.md
// "module"): the module object and the runtime's heap types.
struct ModuleState {
    py::object module;
    py::object function_type;           // runtime/native_function.cpp
    py::object coroutine_type;          // runtime/coroutine.cpp
    py::object coroutine_wrapper_type;  // runtime/coroutine.cpp
};
ModuleState &module_state();

// Binds `from <module_name> import <names>` into `ns`, as the import statement
// does: a module already in sys.modules holding every name is used as it is,
// otherwise it is imported with the names as from-list.
void bind_from(py::dict ns, const char *module_name, std::initializer_list<const char *> names);

// Who the module is, told to the runtime by the layer above it (the plug-in
// defines this once): the runtime names the module and its types after
// `name`, refuses a second interpreter or a second execution with the two
// texts, and calls `populate` to bind the module's names into `ns`, the
// namespace of `module`, after the runtime's types are ready and sys.modules
// holds the module. Constant data, so it may be read during static
// initialisation.
struct ModuleIdentity {
    const char *name;
    const char *interpreter_change_error;
    const char *reinitialisation_error;
    void (*populate)(py::handle module, py::dict ns);
};
const ModuleIdentity &module_identity();

// The module's init function's body: the plug-in's PyInit_<name> returns it.
PyObject *init_module() noexcept;

}  // namespace tavelin::runtime
