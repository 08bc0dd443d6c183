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

// Defined by the plug-in layer: binds the module's names into `ns`, the
// namespace of `module`, after the runtime's types are ready and sys.modules
// holds the module.
void populate_module(py::handle module, py::dict ns);

}  // namespace tavelin::runtime
