// Buffer-protocol access to NumPy arrays: image buffers, new arrays, float planes.
#include "image_arrays.hpp"

#include <cstring>

namespace tavelin {

using runtime::check;

namespace {

std::optional<SampleType> sample_type(const Py_buffer &b) {
    if (!b.format) return std::nullopt;
    const char *f = b.format;
    if (*f == '=' || *f == '@') ++f;  // native order, explicit
    if (std::strcmp(f, "B") == 0 && b.itemsize == 1) return SampleType::U8;
    if (std::strcmp(f, "H") == 0 && b.itemsize == 2) return SampleType::U16;
    if (std::strcmp(f, "f") == 0 && b.itemsize == 4) return SampleType::F32;
    return std::nullopt;
}

}  // namespace

void *writable_data(py::handle array) {
    Py_buffer b;
    check(PyObject_GetBuffer(array.ptr(), &b, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) == 0);
    void *p = b.buf;
    // NumPy never moves an array's data while the array is alive.
    PyBuffer_Release(&b);
    return p;
}

std::optional<ImageBuffer> ImageBuffer::view(py::handle array, py::handle np) {
    int is_array = PyObject_IsInstance(array.ptr(), np.attr("ndarray").ptr());
    check(is_array >= 0);
    if (!is_array) return std::nullopt;
    ImageBuffer img;
    if (PyObject_GetBuffer(array.ptr(), &img.buffer_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    img.held_ = true;
    const Py_buffer &b = img.buffer_;
    auto type = sample_type(b);
    if (!type || b.ndim != 3 || b.shape[0] < 1 || b.shape[1] < 1 || (b.shape[2] != 3 && b.shape[2] != 4))
        return std::nullopt;
    img.type_ = *type;
    img.view_.data = static_cast<const unsigned char *>(b.buf);
    img.view_.height = b.shape[0];
    img.view_.width = b.shape[1];
    img.view_.channels = b.shape[2];
    img.view_.row_stride = b.strides[0];
    img.view_.col_stride = b.strides[1];
    img.view_.channel_stride = b.strides[2];
    return std::optional<ImageBuffer>(std::move(img));
}

ImageBuffer::ImageBuffer(ImageBuffer &&other) noexcept
    : buffer_(other.buffer_), held_(other.held_), view_(other.view_), type_(other.type_) {
    other.held_ = false;
}

ImageBuffer::~ImageBuffer() {
    if (held_) PyBuffer_Release(&buffer_);
}

template <typename T>
NewArray<T> new_array(py::handle np, std::ptrdiff_t h, std::ptrdiff_t w, std::ptrdiff_t c, const char *dtype) {
    py::tuple shape = c > 0 ? py::tuple(py::make_tuple(h, w, c)) : py::tuple(py::make_tuple(h, w));
    py::object array = np.attr("empty")(shape, py::arg("dtype") = dtype);
    T *data = static_cast<T *>(writable_data(array));
    return {std::move(array), data};
}

template NewArray<float> new_array<float>(py::handle, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, const char *);
template NewArray<std::uint8_t> new_array<std::uint8_t>(py::handle, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t,
                                                        const char *);

FloatPlane float_plane(py::object array) {
    Py_buffer b;
    check(PyObject_GetBuffer(array.ptr(), &b, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0);
    bool ok = b.ndim == 2 && b.itemsize == 4 && sample_type(b) == SampleType::F32;
    FloatPlane plane{array, static_cast<const float *>(b.buf), ok ? b.shape[0] : 0, ok ? b.shape[1] : 0};
    PyBuffer_Release(&b);
    if (!ok) throw py::type_error("expected a two-dimensional float32 matte");
    return plane;
}

}  // namespace tavelin
