// The render parameter declarations: OutputEnum and Params, made the way a
// class statement makes them (metaclass __prepare__, then the metaclass call).
#include "plugin.hpp"

namespace tavelin {
namespace {

py::object make_class(py::handle base, const char *name, const std::function<void(py::object &)> &fill) {
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(base.ptr())));
    py::tuple bases = py::make_tuple(base);
    py::object ns = meta.attr("__prepare__")(name, bases);
    ns["__module__"] = "Tavelin";
    ns["__qualname__"] = name;
    fill(ns);
    return meta(name, bases, ns);
}

}  // namespace

void create_declarations(py::dict ns) {
    py::object output_enum = make_class(ns["IntEnum"], "OutputEnum", [](py::object &body) {
        body["LUMA_MATTE"] = 1;
        body["CUTOUT"] = 2;
    });
    ns["OutputEnum"] = output_enum;

    py::object field = ns["Field"];
    py::object params = make_class(ns["BaseModel"], "Params", [&](py::object &body) {
        py::dict annotations;
        annotations["output"] = "OutputEnum";
        annotations["resize_mode"] = "Any";
        body["__annotations__"] = annotations;
        body["output"] = field(output_enum(2));
        body["resize_mode"] = field(1);
        py::dict config;
        config["use_enum_values"] = true;
        body["model_config"] = config;
    });
    ns["Params"] = params;

    module_objects().output_enum = output_enum;
    module_objects().params_model = params;
}

}  // namespace tavelin
