// Loading the matting network: file by precision, device, precision, warm-up,
// with seven progress steps on the host's bar.
#include "host_api.hpp"
#include "no_grad.hpp"
#include "plugin.hpp"

namespace tavelin {
namespace {

constexpr const char *kHalfModel = "models/7d1e0c4b9a2f4e6d8c3b5a7f9e1d2c40.pt";
constexpr const char *kFullModel = "models/3a8f6b2d0e9c4d7a1b5e8f2c6d0a4b91.pt";

// One inference on a blank 512 x 512 input; any Exception is reported and the
// load goes on.
void warm_up(py::handle self, py::handle torch, py::handle device, py::handle torch_dtype) {
    try {
        NoGradScope no_grad(torch);
        py::object dummy = torch.attr("zeros")(py::make_tuple(512, 512, 3), py::arg("dtype") = torch.attr("float32"),
                                              py::arg("device") = device);
        if (compare(torch_dtype, torch.attr("float16"), Py_EQ)) dummy = dummy.attr("half")();
        self.attr("modnext")(dummy);
        no_grad.exit();
        print_line(py::str("[Tavelin] Model warmup completed"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        print_line(py::str("[Tavelin] Warning: Model warmup failed: ") + format_empty(e.value()));
    }
}

void load(py::handle self, py::handle device, py::handle torch_dtype, py::handle tools) {
    host::progress_bar(self, "Importing libraries...", 0);
    py::module_::import("time").attr("sleep")(0.1);
    py::module_ torch = py::module_::import("torch");
    py::module_ platform = py::module_::import("platform");
    py::module_ sys = py::module_::import("sys");
    host::progress_bar(self, "Importing libraries...", 10);

    // Older PyTorch builds crash on Intel Macs unless limited to one thread.
    // The limit is process-wide, so it applies there and nowhere else.
    if (compare(sys.attr("platform"), py::str("darwin"), Py_EQ) &&
        compare(platform.attr("machine")(), py::str("x86_64"), Py_EQ)) {
        print_line(py::str("Detected Intel Mac, so setting torch threads to 1 to fix a crash."));
        torch.attr("set_num_threads")(1);
    }
    py::module_::import("numpy");
    py::module_::import("cv2");

    host::progress_bar(self, "Selecting model...", 20);
    const char *model_path = compare(torch_dtype, torch.attr("float16"), Py_EQ) ? kHalfModel : kFullModel;

    host::progress_bar(self, "Loading model weights...", 30);
    py::object os = module_objects().os;
    bool had_network = py::hasattr(self, "modnext");
    py::object previous = had_network ? py::object(self.attr("modnext")) : py::object();
    self.attr("modnext") = torch.attr("jit").attr("load")(os.attr("path").attr("join")(host::plugin_path(tools), model_path));

    try {
        host::progress_bar(self, "Moving model to device...", 70);
        self.attr("modnext").attr("to")(device);
        if (torch_dtype.is(torch.attr("float16"))) self.attr("modnext").attr("half")();
        self.attr("modnext").attr("eval")();
    } catch (...) {
        // The records still name the previous load: a network that never got
        // placed must not stay behind them, or the next render for that pair
        // would run it on the wrong device or precision.
        if (had_network)
            self.attr("modnext") = previous;
        else
            check(PyObject_DelAttrString(self.ptr(), "modnext") == 0);
        throw;
    }
    self.attr("model_on_device") = device;
    self.attr("model_loaded_on_device") = device;
    self.attr("model_loaded_with_dtype") = torch_dtype;

    host::progress_bar(self, "Warming up model...", 90);
    warm_up(self, torch, device, torch_dtype);
    host::progress_bar(self, "Model loaded", 100);
}

}  // namespace

void plugin_load_model(py::handle self, py::handle device, py::handle torch_dtype, py::handle tools) {
    print_line(py::str("[Tavelin] Loading model on device: ") + format_empty(device) + py::str(" (dtype: ") +
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
    print_line(py::str("model loaded"));
}

}  // namespace tavelin
