// NumPy arrays seen through the buffer protocol, for the pixel passes: the
// image buffer a render reads, new output arrays, float planes.
#pragma once

#include "../runtime/boundary.hpp"
#include "pixels.hpp"

#include <optional>

namespace tavelin {

enum class SampleType { U8, U16, F32 };

// The buffer of an image array the pixel passes can read directly: a NumPy
// array of height x width x 3 or 4 samples (uint8, uint16 or float32, native
// order, any strides; a render takes uint8 for 8-bit images and float32
// otherwise). Holds the buffer for its lifetime.
class ImageBuffer {
  public:
    static std::optional<ImageBuffer> view(py::handle array, py::handle np);
    ImageBuffer(ImageBuffer &&other) noexcept;
    ImageBuffer &operator=(ImageBuffer &&) = delete;
    ImageBuffer(const ImageBuffer &) = delete;
    ~ImageBuffer();

    const pixels::ImageView &pixels() const { return view_; }
    SampleType type() const { return type_; }

  private:
    ImageBuffer() = default;
    Py_buffer buffer_{};
    bool held_ = false;
    pixels::ImageView view_;
    SampleType type_ = SampleType::U8;
};

// A new C-contiguous array of the given shape and NumPy dtype name, with a
// pointer to its first element.
template <typename T>
struct NewArray {
    py::object array;
    T *data;
};
template <typename T>
NewArray<T> new_array(py::handle np, std::ptrdiff_t h, std::ptrdiff_t w, std::ptrdiff_t c, const char *dtype);

// The first byte of a writable C-contiguous array.
void *writable_data(py::handle array);

// The data of a C-contiguous float32 array with two axes, e.g. a matte.
struct FloatPlane {
    py::object array;
    const float *data;
    std::ptrdiff_t height, width;
};
FloatPlane float_plane(py::object array);

}  // namespace tavelin
