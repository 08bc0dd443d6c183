// The plug-in class: a plain class whose four methods are native functions.
#include "host_api.hpp"
#include "native_function.hpp"
#include "plugin.hpp"

namespace tavelin {

void plugin_init(py::handle self, py::handle zelapi) {
    self.attr("zel") = zelapi;
    self.attr("version") = "v1.1.2";
    self.attr("ImageTools") = host::image_tools(self.attr("zel"));
    self.attr("rendered_frames") = 0;
    self.attr("model") = py::none();
    self.attr("model_name") = py::none();
    self.attr("model_loaded_on_device") = "Not loaded on any device";
    self.attr("model_loaded_with_dtype") = "Not loaded with any dtype";
}

namespace {

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

const FunctionSpec methods[] = {
    {"__init__", "Tavelin.__init__", {"__init__", init_params, 2}, "(self, zelapi)", false, init_impl},
    {"load_model", "Tavelin.load_model", {"load_model", load_model_params, 4}, "(self, device, torch_dtype, tools)",
     false, load_model_impl},
    {"unload", "Tavelin.unload", {"unload", unload_params, 1}, "(self)", false, unload_impl},
    {"render", "Tavelin.render", {"render", render_params, 5}, "(self, image, params, instance_id, tools)", true,
     plugin_render},
};

}  // namespace

py::object create_plugin_class() {
    py::dict ns;
    ns["__module__"] = "Tavelin";
    ns["__qualname__"] = "Tavelin";
    for (const FunctionSpec &spec : methods) ns[spec.name] = steal(make_native_function(&spec));
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    return type("Tavelin", py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);
}

}  // namespace tavelin
