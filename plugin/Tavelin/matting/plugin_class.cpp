// The plug-in class: a plain class whose four methods are native functions,
// and its constructor.
#include "../runtime/native_function.hpp"
#include "contract.hpp"
#include "host_api.hpp"
#include "plugin.hpp"

#include <string>

namespace tavelin {

// Attributes that nothing in the plug-in reads (`version`, `rendered_frames`,
// `model`, `model_name`) are set all the same: hosts read them.
// CONTRACT.md "attributes".
void plugin_init(py::handle self, py::handle zelapi) {
    using namespace contract;
    self.attr(ZEL_ATTR) = zelapi;
    self.attr(VERSION_ATTR) = PLUGIN_VERSION;
    self.attr(IMAGE_TOOLS_ATTR) = host::image_tools(self.attr(ZEL_ATTR));
    self.attr(RENDERED_FRAMES_ATTR) = 0;
    self.attr(MODEL_ATTR) = py::none();
    self.attr(MODEL_NAME_ATTR) = py::none();
    self.attr(LOADED_DEVICE_ATTR) = NOT_LOADED_DEVICE;
    self.attr(LOADED_DTYPE_ATTR) = NOT_LOADED_DTYPE;
}

namespace {

using runtime::FunctionSpec;
using runtime::parameters;

PyObject *init_impl(PyObject *const *args) noexcept {
    return guarded<PyObject *>(nullptr, [&] {
        plugin_init(args[0], args[1]);
        return py::none().release().ptr();
    });
}

PyObject *load_model_impl(PyObject *const *args) noexcept {
    return guarded<PyObject *>(nullptr, [&] {
        plugin_load_model(args[0], args[1], args[2], args[3]);
        return py::none().release().ptr();
    });
}

PyObject *unload_impl(PyObject *const *) noexcept { Py_RETURN_NONE; }

const char *const init_params[] = {"self", "zelapi"};
const char *const load_model_params[] = {"self", "device", "torch_dtype", "tools"};
const char *const unload_params[] = {"self"};
const char *const render_params[] = {"self", "image", "params", "instance_id", "tools"};

// In the class namespace's order. CONTRACT.md "module".
const FunctionSpec methods[] = {
    {parameters("__init__", init_params), false, init_impl},
    {parameters("load_model", load_model_params), false, load_model_impl},
    {parameters("unload", unload_params), false, unload_impl},
    {parameters("render", render_params), true, plugin_render},
};

}  // namespace

py::object create_plugin_class() {
    py::dict ns;
    ns["__module__"] = contract::MODULE_NAME;
    ns["__qualname__"] = contract::CLASS_NAME;
    for (const FunctionSpec &spec : methods) {
        const char *name = spec.params.function_name;
        std::string qualname = std::string(contract::CLASS_NAME) + "." + name;
        ns[name] = steal(runtime::make_native_function(&spec, qualname.c_str()));
    }
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    py::object object = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    return type(contract::CLASS_NAME, py::make_tuple(object), ns);
}

}  // namespace tavelin
