// The module's namespace as hosts see it, bound in order (CONTRACT.md
// "module"): typing and enum names, pydantic names, OutputEnum, Params, os,
// the host's type-checking imports, the class.
#include "../runtime/module.hpp"
#include "contract.hpp"
#include "plugin.hpp"

namespace tavelin {

PluginGlobals &plugin_globals() {
    // Lives for the process: the module is never torn down.
    static PluginGlobals *globals = new PluginGlobals();
    return *globals;
}

}  // namespace tavelin

namespace tavelin {

namespace {

void populate_module(py::handle, py::dict ns) {
    using runtime::bind_from;
    bind_from(ns, "typing", {"TYPE_CHECKING"});
    bind_from(ns, "enum", {"IntEnum"});
    // `Dict` is bound though nothing uses it: hosts may read it. CONTRACT.md "module".
    bind_from(ns, "typing", {"Any", "Dict"});
    bind_from(ns, "pydantic", {"BaseModel", "Field"});
    create_declarations(ns);
    py::object os = steal(PyImport_ImportModuleLevel("os", ns.ptr(), nullptr, nullptr, 0));
    ns["os"] = os;
    plugin_globals().os = os;
    if (py::bool_(ns["TYPE_CHECKING"])) {
        bind_from(ns, "Server.tools.image_tools", {"ImageTools"});
        bind_from(ns, "Server.zelapi", {"ZELAPI"});
    }
    ns[contract::CLASS_NAME] = create_plugin_class();
}

}  // namespace

}  // namespace tavelin

// The plug-in's identity, as the runtime below it asks for it.
const tavelin::runtime::ModuleIdentity &tavelin::runtime::module_identity() {
    static constexpr ModuleIdentity identity = {
        contract::MODULE_NAME, contract::INTERPRETER_CHANGE_ERROR, contract::REINITIALISATION_ERROR,
        tavelin::populate_module,
    };
    return identity;
}

// The single export.
extern "C" PYBIND11_EXPORT PyObject *PyInit_Tavelin() { return tavelin::runtime::init_module(); }
