// The render parameter declarations: OutputEnum and Params, made the way a
// class statement makes them (metaclass __prepare__, then the metaclass call).
#include "contract.hpp"
#include "plugin.hpp"

#include <functional>

namespace tavelin {
namespace {

py::object make_class(py::handle base, const char *name, const std::function<void(py::object &)> &fill) {
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    py::tuple bases = py::make_tuple(base);
    py::object ns = meta.attr("__prepare__")(name, bases);
    ns["__module__"] = contract::MODULE_NAME;
    ns["__qualname__"] = name;
    fill(ns);
    return meta(name, bases, ns);
}

}  // namespace

void create_declarations(py::dict ns) {
    py::object output_enum = make_class(ns["IntEnum"], "OutputEnum", [](py::object &body) {
        body["LUMA_MATTE"] = contract::LUMA_MATTE;
        body["CUTOUT"] = contract::CUTOUT;
    });
    ns["OutputEnum"] = output_enum;

    py::object field = ns["Field"];
    py::object params = make_class(ns["BaseModel"], "Params", [&](py::object &body) {
        // Annotations are strings, resolved in the module's namespace; the
        // default `output` is the member, not validated, while supplied
        // values become plain integers. CONTRACT.md "parameters".
        py::dict annotations;
        annotations["output"] = "OutputEnum";
        annotations["resize_mode"] = "Any";
        body["__annotations__"] = annotations;
        body["output"] = field(output_enum(contract::CUTOUT));
        body["resize_mode"] = field(contract::DEFAULT_RESIZE_MODE);
        py::dict config;
        config["use_enum_values"] = true;
        body["model_config"] = config;
    });
    ns["Params"] = params;

    plugin_globals().output_enum = output_enum;
    plugin_globals().params_model = params;
}

}  // namespace tavelin
