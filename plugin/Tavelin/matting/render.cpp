// The render coroutine: host image in, network run, cut-out or matte out.
//
// The body runs in two steps around its one await, `tools.progress(60)`:
// everything up to the network input happens before it, the network and the
// output after it. No torch.no_grad() scope spans the await, so coroutines
// that run meanwhile keep their gradient mode, and the network object is taken
// before it, so a reload by another render meanwhile cannot mismatch it with
// the input tensor's precision.
#include "../runtime/coroutine.hpp"
#include "contract.hpp"
#include "host_api.hpp"
#include "image_arrays.hpp"
#include "inference_scope.hpp"
#include "plugin.hpp"

#include <stdexcept>
#include <string>


namespace tavelin {
namespace {

using pixels::ImageView;
using runtime::CoroutineBody;
using runtime::CoroutineStep;
using runtime::GilRelease;

enum class OutputKind { LumaMatte, Cutout };

// Every Python object a render holds, in one list: the members are declared
// from it and the garbage collector is shown each of them.
#define TAVELIN_RENDER_OBJECTS(X)                                                                        \
    X(self_) X(image_) X(params_) X(instance_id_) X(tools_) /* the call's arguments */                    \
    X(record_) X(torch_) X(np_) X(cv2_) X(network_) X(input_tensor_) X(host_array_) X(bit_depth_)

class RenderBody final : public CoroutineBody {
  public:
    RenderBody(PyObject *const *args)
        : self_(py::reinterpret_borrow<py::object>(args[0])),
          image_(py::reinterpret_borrow<py::object>(args[1])),
          params_(py::reinterpret_borrow<py::object>(args[2])),
          instance_id_(py::reinterpret_borrow<py::object>(args[3])),
          tools_(py::reinterpret_borrow<py::object>(args[4])) {}

    CoroutineStep start() override {
        refuse_while_finalizing();
        record_ = validate_params();
        torch_ = py::module_::import("torch");
        np_ = py::module_::import("numpy");
        cv2_ = py::module_::import("cv2");

        auto [device, torch_dtype] = host::get_device_dtype(self_);
        // `!=` with the host's values on the left, the dtype only when the
        // devices agree. CONTRACT.md "!=".
        if (compare(device, self_.attr(contract::LOADED_DEVICE_ATTR), Py_NE) ||
            compare(torch_dtype, self_.attr(contract::LOADED_DTYPE_ATTR), Py_NE))
            self_.attr("load_model")(device, torch_dtype, tools_);
        // The network this render runs, with the precision it was loaded in.
        // Another thread may bind the other precision while this render's own
        // load warms up or reports (both release the GIL), and again while the
        // image converts: the input is made for the network held here, not
        // for the dtype the host asked for.
        HeldNetwork held = held_network();

        host_array_ = host::image_to_np(self_, image_);
        auto view = ImageBuffer::view(host_array_, np_);
        if (!view) reject_image_array();
        image_buffer_.emplace(std::move(*view));
        bit_depth_ = host::bit_depth(image_);
        eight_bit_ = !compare(bit_depth_, py::int_(8), Py_NE);  // 8.0 counts as 8. CONTRACT.md "!="
        const std::string dtype = py::str(host_array_.attr("dtype")).cast<std::string>();
        if (eight_bit_ && image_buffer_->type() != SampleType::U8)
            throw py::type_error("image_to_np gave " + dtype + " samples for an 8-bit image; expected uint8");
        // Other bit depths arrive as samples in [0, 1]; integer samples there
        // would be read as saturated floats. CONTRACT.md "output samples".
        if (!eight_bit_ && image_buffer_->type() != SampleType::F32)
            throw py::type_error("image_to_np gave " + dtype + " samples for a " +
                                 format_empty(bit_depth_).cast<std::string>() +
                                 "-bit image; expected float32 samples in [0, 1]");

        // A list indexed as Python indexes it: negative modes count from its
        // end. CONTRACT.md "parameters".
        py::list sizes;
        for (int s : contract::MODE_SIZES) sizes.append(s);
        py::object mode = steal(PyNumber_Long(record_.attr("resize_mode").ptr()));
        ref_size_ = steal(PyObject_GetItem(sizes.ptr(), mode.ptr())).cast<long>();
        needs_resize_ = ref_size_ != 0;

        if (held.network.is_none()) held = held_network(true);
        input_tensor_ = torch_.attr("from_numpy")(network_input()).attr("to")(device);
        // Halved as the load halves the network. CONTRACT.md "!="
        if (held.dtype.is(torch_.attr("float16"))) input_tensor_ = input_tensor_.attr("half")();
        network_ = std::move(held.network);
        // The one suspension point. CONTRACT.md "render".
        return CoroutineStep::await_(host::progress(tools_));
    }

    CoroutineStep resume(py::object) override {
        refuse_while_finalizing();
        py::object matte = run_network();
        py::object output = compose(std::move(matte));
        py::dict result;
        result["image"] = host::np_to_image(self_, output, bit_depth_);
        return CoroutineStep::return_(std::move(result));
    }

    int traverse(visitproc visit, void *arg) override {
#define TAVELIN_VISIT(member) Py_VISIT(member.ptr());
        TAVELIN_RENDER_OBJECTS(TAVELIN_VISIT)
#undef TAVELIN_VISIT
        return 0;
    }

    void clear() override {
        image_buffer_.reset();
#define TAVELIN_CLEAR(member) member = py::object();
        TAVELIN_RENDER_OBJECTS(TAVELIN_CLEAR)
#undef TAVELIN_CLEAR
    }

  private:
    // Once the interpreter finalises, freeing a tensor view aborts the process
    // inside torch, and only the finalising thread still runs Python code: it
    // gets an error instead of a render. CONTRACT.md "render".
    static void refuse_while_finalizing() {
        if (runtime::interpreter_finalizing()) throw std::runtime_error(contract::FINALIZING_ERROR);
    }

    struct HeldNetwork {
        py::object network;  // None when there is none (yet)
        py::object dtype;    // the dtype it was loaded with
    };

    // modnext and the dtype recorded with it, read one after the other with
    // nothing in between that runs Python code, so no other thread can bind a
    // network between the two reads (load_model lets the replaced network go
    // only once its records are set). `required`: no modnext raises the
    // AttributeError of reading it.
    HeldNetwork held_network(bool required = false) {
        py::object network = required ? py::object(self_.attr(contract::MODNEXT_ATTR))
                                       : py::getattr(self_, contract::MODNEXT_ATTR, py::none());
        if (network.is_none()) return {std::move(network), py::none()};
        return {std::move(network), self_.attr(contract::LOADED_DTYPE_ATTR)};
    }

    // Params(**params), the host's mapping copied first; it is never modified.
    // CONTRACT.md "parameters".
    py::object validate_params() {
        if (params_.is_none()) throw py::type_error("argument after ** must be a mapping, not NoneType");
        py::object copy = PyDict_CheckExact(params_.ptr())
                              ? steal(PyDict_Copy(params_.ptr()))
                              : steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), params_.ptr()));
        return steal(PyObject_Call(plugin_globals().params_model.ptr(), py::tuple().ptr(), copy.ptr()));
    }

    // Arrays the pixel passes don't take go through OpenCV's colour conversion,
    // which reports what is wrong with them in its own words.
    [[noreturn]] void reject_image_array() {
        cv2_.attr("cvtColor")(host_array_, cv2_.attr("COLOR_RGB2BGR"));
        std::string what = py::repr(host_array_.attr("shape")).cast<std::string>() + " " +
                           py::str(host_array_.attr("dtype")).cast<std::string>();
        throw py::type_error("image_to_np gave an array the plug-in cannot read: " + what +
                             "; expected height x width x 3 or 4 samples of uint8 (8-bit images) or float32");
    }

    // The network input: h x w x 3 float32 BGR samples 0..255 as a NumPy array.
    // Resizing happens before the channel swap (both act per channel) so the
    // full-size image is read once.
    py::object network_input() {
        const ImageView &src = image_buffer_->pixels();
        if (!needs_resize_) {
            auto input = new_array<float>(np_, src.height, src.width, 3, "float32");
            {
                GilRelease nogil;
                if (eight_bit_)
                    pixels::bgr_float_from_u8(src, input.data);
                else
                    pixels::bgr_float_from_unit<float>(src, input.data);
            }
            return input.array;
        }
        py::object small;
        py::tuple size = py::make_tuple(ref_size_, ref_size_);
        if (eight_bit_) {
            small = cv2_.attr("resize")(host_array_, size);
        } else {
            auto rgb = new_array<std::uint8_t>(np_, src.height, src.width, 3, "uint8");
            {
                GilRelease nogil;
                pixels::rgb_u8_from_unit<float>(src, rgb.data);
            }
            small = cv2_.attr("resize")(rgb.array, size);
        }
        auto view = ImageBuffer::view(small, np_);
        if (!view) throw py::type_error("unexpected result from cv2.resize");
        auto input = new_array<float>(np_, ref_size_, ref_size_, 3, "float32");
        pixels::bgr_float_from_u8(view->pixels(), input.data);
        return input.array;
    }

    // Runs the network; returns channel 0 of its output as a float32 NumPy
    // array of two axes (float16 output is widened: OpenCV can't resize it).
    py::object run_network() {
        InferenceScope inference(torch_);
        py::object out = network_(input_tensor_);
        input_tensor_ = py::object();
        int is_tensor = PyObject_IsInstance(out.ptr(), torch_.attr("Tensor").ptr());
        check(is_tensor >= 0);
        if (!is_tensor)
            throw py::type_error("the network returned " + std::string(Py_TYPE(out.ptr())->tp_name) +
                                 "; expected a height x width x channels tensor");
        if (out.attr("dim")().cast<int>() != 3)
            throw py::value_error("the network returned a tensor of shape " +
                                  py::str(py::tuple(out.attr("shape"))).cast<std::string>() +
                                  "; expected height x width x channels");
        py::object matte = out.attr("select")(2, 0).attr("detach")().attr("to")(torch_.attr("float32"));
        matte = matte.attr("contiguous")().attr("cpu")().attr("numpy")();
        inference.exit();
        return matte;
    }

    OutputKind output_kind() {
        py::object output = record_.attr("output");
        py::object members = plugin_globals().output_enum;
        if (compare(output, members.attr("LUMA_MATTE"), Py_EQ)) return OutputKind::LumaMatte;
        if (compare(output, members.attr("CUTOUT"), Py_EQ)) return OutputKind::Cutout;
        print_line(py::str(contract::INVALID_OUTPUT_LINE) + format_empty(output));
        throw py::value_error("invalid params.output value: " + format_empty(output).cast<std::string>());
    }

    // The output array at the input's size and bit depth. CONTRACT.md "output samples".
    py::object compose(py::object network_matte) {
        const ImageView &src = image_buffer_->pixels();
        const std::ptrdiff_t H = src.height, W = src.width;
        OutputKind kind = output_kind();
        py::tuple full_size = py::make_tuple(W, H);
        py::object lanczos = cv2_.attr("INTER_LANCZOS4");
        FloatPlane matte = float_plane(network_matte);
        const bool same_size = matte.height == H && matte.width == W;

        if (kind == OutputKind::LumaMatte) {
            if (needs_resize_) return resized_luma(matte, full_size);
            py::object output = luma(matte);
            // A network that changed the size: the finished matte is fitted to the image.
            if (!same_size) output = cv2_.attr("resize")(output, full_size, py::arg("interpolation") = lanczos);
            return output;
        }

        // A cut-out pixel has room for one float32, so the full-size matte is
        // resized straight into the output's memory and each pixel's float is
        // then replaced by its colour and alpha: no separate full-size plane.
        py::object output = eight_bit_ ? new_array<std::uint8_t>(np_, H, W, 4, "uint8").array
                                       : new_array<float>(np_, H, W, 4, "float32").array;
        if (needs_resize_ || !same_size) {
            py::object plane = matte_plane_in(output, H, W);
            // A network that changed the size: the matte itself is fitted to
            // the image, so the cut-out can still be composed.
            py::object resized = needs_resize_ ? cv2_.attr("resize")(matte.array, full_size, py::arg("dst") = plane)
                                               : cv2_.attr("resize")(matte.array, full_size, py::arg("dst") = plane,
                                                                     py::arg("interpolation") = lanczos);
            matte = float_plane(resized);
        }
        void *out = writable_data(output);
        {
            GilRelease nogil;
            if (eight_bit_)
                pixels::cutout_u8(src, matte.data, static_cast<std::uint8_t *>(out));
            else
                pixels::cutout_float<float>(src, matte.data, static_cast<float *>(out));
        }
        return output;
    }

    // The grey matte after a resize: like the cut-out, the full-size matte is
    // resized into the output's own memory and turned into grey pixels in
    // place. An 8-bit grey pixel (3 bytes) is smaller than a float, so its
    // array starts at 4 bytes a pixel and is shrunk in place afterwards.
    py::object resized_luma(const FloatPlane &small, py::handle full_size) {
        const std::ptrdiff_t H = image_buffer_->pixels().height, W = image_buffer_->pixels().width;
        py::object output = eight_bit_ ? np_.attr("empty")(H * W * 4, py::arg("dtype") = "uint8")
                                       : np_.attr("empty")(py::make_tuple(H, W, 3), py::arg("dtype") = "float32");
        py::object plane = matte_plane_in(output, H, W);
        FloatPlane matte = float_plane(cv2_.attr("resize")(small.array, full_size, py::arg("dst") = plane));
        void *out = writable_data(output);
        {
            GilRelease nogil;
            if (eight_bit_)
                pixels::luma_u8(matte.data, H, W, static_cast<std::uint8_t *>(out));
            else
                pixels::luma_float(matte.data, H, W, static_cast<float *>(out));
        }
        if (eight_bit_) output.attr("resize")(py::make_tuple(H, W, 3), py::arg("refcheck") = false);
        return output;
    }

    // An H x W float32 view of the first H * W floats of `output`'s memory,
    // whatever its dtype: where the full-size matte is resized to.
    static py::object matte_plane_in(py::handle output, std::ptrdiff_t H, std::ptrdiff_t W) {
        py::object floats = output.attr("reshape")(-1).attr("view")("float32");
        return floats[py::slice(0, H * W, 1)].attr("reshape")(H, W);
    }

    // The grey matte at the matte's own size, in the output's bit depth.
    py::object luma(const FloatPlane &matte) {
        if (eight_bit_) {
            auto out = new_array<std::uint8_t>(np_, matte.height, matte.width, 3, "uint8");
            {
                GilRelease nogil;
                pixels::luma_u8(matte.data, matte.height, matte.width, out.data);
            }
            return out.array;
        }
        auto out = new_array<float>(np_, matte.height, matte.width, 3, "float32");
        {
            GilRelease nogil;
            pixels::luma_float(matte.data, matte.height, matte.width, out.data);
        }
        return out.array;
    }

#define TAVELIN_DECLARE(member) py::object member;
    TAVELIN_RENDER_OBJECTS(TAVELIN_DECLARE)
#undef TAVELIN_DECLARE
    std::optional<ImageBuffer> image_buffer_;   // holds host_array_'s buffer
    bool eight_bit_ = true;
    bool needs_resize_ = false;
    long ref_size_ = 0;
};

}  // namespace

PyObject *plugin_render(PyObject *const *args) noexcept {
    return guarded<PyObject *>(nullptr, [&] {
        static const std::string qualname = std::string(contract::CLASS_NAME) + ".render";
        return runtime::make_coroutine(std::make_unique<RenderBody>(args), "render", qualname.c_str());
    });
}

}  // namespace tavelin
