// Loading the matting network: file by precision, device, precision, warm-up,
// with seven progress steps on the host's progress bar.
#include "contract.hpp"
#include "host_api.hpp"
#include "inference_scope.hpp"
#include "plugin.hpp"

#include <string>

namespace tavelin {
namespace {

using namespace contract;

void report(py::handle self, LoadStepIndex step) { host::progress_bar(self, LOAD_STEPS[step]); }

// One inference of the new network on a blank input; any Exception is
// reported and the load goes on. CONTRACT.md "load steps".
void warm_up(py::handle network, py::handle torch, py::handle device, py::handle torch_dtype) {
    try {
        InferenceScope inference(torch);
        py::object dummy = torch.attr("zeros")(py::make_tuple(WARMUP_SIZE, WARMUP_SIZE, 3),
                                              py::arg("dtype") = torch.attr("float32"), py::arg("device") = device);
        if (compare(torch_dtype, torch.attr("float16"), Py_EQ)) dummy = dummy.attr("half")();
        network(dummy);
        inference.exit();
        print_line(py::str(WARMUP_DONE_LINE));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        print_line(py::str(WARMUP_FAILED_LINE) + format_empty(e.value()));
    }
}

void load(py::handle self, py::handle device, py::handle torch_dtype, py::handle tools) {
    report(self, STEP_IMPORTING);
    // A blocking pause, not an awaited one: hosts time their bar by it.
    // CONTRACT.md "load steps".
    py::module_::import("time").attr("sleep")(LOAD_PAUSE_S);
    py::module_ torch = py::module_::import("torch");
    py::module_ platform = py::module_::import("platform");
    py::module_ sys = py::module_::import("sys");
    report(self, STEP_IMPORTED);

    // Older PyTorch builds crash on Intel Macs unless limited to one thread.
    // The limit is process-wide, so it applies there and nowhere else.
    // CONTRACT.md "printed lines".
    if (compare(sys.attr("platform"), py::str("darwin"), Py_EQ) &&
        compare(platform.attr("machine")(), py::str("x86_64"), Py_EQ)) {
        print_line(py::str(INTEL_MAC_LINE));
        torch.attr("set_num_threads")(1);
    }
    py::module_::import("numpy");
    py::module_::import("cv2");

    report(self, STEP_SELECTING);
    // Equality picks the file, identity the conversion. CONTRACT.md "!=".
    // One relative path with a forward slash, joined to the plug-in directory.
    const char *weights = compare(torch_dtype, torch.attr("float16"), Py_EQ) ? FLOAT16_WEIGHTS : FLOAT32_WEIGHTS;
    const std::string model_path = std::string(MODELS_DIR) + "/" + weights;

    report(self, STEP_LOADING);
    py::object os = plugin_globals().os;
    py::object network =
        torch.attr("jit").attr("load")(os.attr("path").attr("join")(host::plugin_path(tools), model_path));

    report(self, STEP_MOVING);
    network.attr("to")(device);
    if (torch_dtype.is(torch.attr("float16"))) network.attr("half")();
    network.attr("eval")();
    // Bound only now, placed, converted and in evaluation mode, then the
    // records: renders on other threads (the object holds no lock) never see
    // a half-made network, and a failed load leaves the previous network and
    // its records in place. What the four attributes held is let go only once
    // all are set: releasing it may run Python code, and so let a render on
    // another thread read the new network with the old dtype.
    py::object previous[] = {py::getattr(self, MODNEXT_ATTR, py::none()),
                             py::getattr(self, MODEL_ON_DEVICE_ATTR, py::none()),
                             py::getattr(self, LOADED_DEVICE_ATTR, py::none()),
                             py::getattr(self, LOADED_DTYPE_ATTR, py::none())};
    self.attr(MODNEXT_ATTR) = network;
    self.attr(MODEL_ON_DEVICE_ATTR) = device;
    self.attr(LOADED_DEVICE_ATTR) = device;
    self.attr(LOADED_DTYPE_ATTR) = torch_dtype;
    for (py::object &value : previous) value = py::object();

    report(self, STEP_WARMING);
    warm_up(network, torch, device, torch_dtype);
    report(self, STEP_LOADED);
}

}  // namespace

void plugin_load_model(py::handle self, py::handle device, py::handle torch_dtype, py::handle tools) {
    print_line(py::str(LOADING_LINE) + format_empty(device) + py::str(LOADING_DTYPE_PART) +
               format_empty(torch_dtype) + py::str(")"));
    try {
        load(self, device, torch_dtype, tools);
    } catch (...) {
        // Don't leave the host's progress bar hanging; the load's own error
        // is what the caller sees.
        try {
            host::close_progress_bar(self);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("closing the progress bar after a failed model load");
        }
        throw;
    }
    host::close_progress_bar(self);
    host::empty_cache(self);
    print_line(py::str(LOADED_LINE));
}

}  // namespace tavelin
