// Every operation the plug-in performs on host objects, in one place. `plugin`
// is the plug-in object; `zel`, `ui` and `TorchTools` are looked up afresh on
// every use.
#pragma once

#include "../runtime/boundary.hpp"
#include "contract.hpp"

#include <utility>

namespace tavelin::host {

using runtime::check;
using runtime::steal;

inline py::object image_tools(py::handle zelapi) { return zelapi.attr(contract::IMAGE_TOOLS_ATTR); }

inline void progress_bar(py::handle plugin, const contract::LoadStep &step) {
    plugin.attr(contract::ZEL_ATTR).attr("ui").attr("progress_bar")(step.message, step.percent);
}

inline void close_progress_bar(py::handle plugin) { plugin.attr(contract::ZEL_ATTR).attr("ui").attr("close_progress_bar")(); }

inline void empty_cache(py::handle plugin) { plugin.attr(contract::ZEL_ATTR).attr("empty_cache")(); }

inline py::object plugin_path(py::handle tools) { return tools.attr("plugin_path"); }

// The device and the dtype, unpacked from exactly two values with the errors
// of `device, dtype = result`. CONTRACT.md "error texts".
inline std::pair<py::object, py::object> get_device_dtype(py::handle plugin) {
    py::object result = plugin.attr(contract::ZEL_ATTR).attr("TorchTools").attr("get_device_dtype")();
    if (PyTuple_CheckExact(result.ptr()) || PyList_CheckExact(result.ptr())) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(result.ptr());
        if (n == 2) {
            PyObject **items = PySequence_Fast_ITEMS(result.ptr());
            return {py::reinterpret_borrow<py::object>(items[0]), py::reinterpret_borrow<py::object>(items[1])};
        }
        if (n > 2) throw py::value_error("too many values to unpack (expected 2)");
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        throw py::error_already_set();
    }
    PyObject *iter = PyObject_GetIter(result.ptr());
    if (!iter) {
        // The interpreter's own wording for `device, dtype = result`.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(result.ptr())->tp_iter == nullptr &&
            !PySequence_Check(result.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(result.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object it = py::reinterpret_steal<py::object>(iter);
    py::object values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            check(!PyErr_Occurred());
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
            throw py::error_already_set();
        }
        values[i] = py::reinterpret_steal<py::object>(item);
    }
    py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()));
    if (extra) throw py::value_error("too many values to unpack (expected 2)");
    check(!PyErr_Occurred());
    return {std::move(values[0]), std::move(values[1])};
}

inline py::object image_to_np(py::handle plugin, py::handle image) {
    return plugin.attr(contract::IMAGE_TOOLS_ATTR).attr("image_to_np")(image);
}

inline py::object bit_depth(py::handle image) { return steal(PyObject_GetItem(image.ptr(), py::str("bit_depth").ptr())); }

inline py::object progress(py::handle tools) { return tools.attr("progress")(contract::RENDER_PROGRESS); }

inline py::object np_to_image(py::handle plugin, py::handle output, py::handle bit_depth) {
    return plugin.attr(contract::IMAGE_TOOLS_ATTR).attr("np_to_image")(output, py::arg("bit_depth") = bit_depth);
}

}  // namespace tavelin::host
