// Pixel passes of a render: plain C++ over strided image buffers, no Python.
// Each pass reproduces, bit for bit, the NumPy/OpenCV expression named beside
// it, in one sweep over memory and without temporaries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavelin::pixels {

// A read-only height x width x channels view with byte strides (NumPy's layout).
struct ImageView {
    const unsigned char *data = nullptr;
    std::ptrdiff_t height = 0, width = 0, channels = 0;
    std::ptrdiff_t row_stride = 0, col_stride = 0, channel_stride = 0;

    template <typename T>
    const T &at(std::ptrdiff_t y, std::ptrdiff_t x, std::ptrdiff_t c) const {
        return *reinterpret_cast<const T *>(data + y * row_stride + x * col_stride + c * channel_stride);
    }
    // Pixels packed as T[channels] one after another within a row.
    template <typename T>
    bool packed() const {
        return channel_stride == std::ptrdiff_t(sizeof(T)) && col_stride == channels * std::ptrdiff_t(sizeof(T));
    }
    template <typename T>
    const T *row(std::ptrdiff_t y) const {
        return reinterpret_cast<const T *>(data + y * row_stride);
    }
};

// (np.clip(v, 0, 1) * 255).astype(np.uint8) for one float32 sample; NaN gives 0
// as NumPy's cast does on this hardware.
inline std::uint8_t unit_to_u8(float v) {
    v = v > 0.f ? v : 0.f;
    v = v < 1.f ? v : 1.f;
    return static_cast<std::uint8_t>(static_cast<int>(v * 255.f));
}

// Network input, 8-bit host image: torch.Tensor(cv2.cvtColor(rgb, RGB2BGR)).
// dst is height x width x 3 float32, packed.
inline void bgr_float_from_u8(const ImageView &src, float *dst) {
    const std::ptrdiff_t w = src.width;
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        float *d = dst + y * w * 3;
        if (src.packed<std::uint8_t>()) {
            const std::uint8_t *s = src.row<std::uint8_t>(y);
            const std::ptrdiff_t c = src.channels;
            for (std::ptrdiff_t x = 0; x < w; ++x) {
                d[3 * x + 0] = s[c * x + 2];
                d[3 * x + 1] = s[c * x + 1];
                d[3 * x + 2] = s[c * x + 0];
            }
        } else {
            for (std::ptrdiff_t x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) d[3 * x + k] = src.at<std::uint8_t>(y, x, 2 - k);
        }
    }
}

// Network input, non-8-bit host image at full size:
// torch.Tensor(cv2.cvtColor((np.clip(x, 0, 1) * 255).astype(np.uint8), RGB2BGR)).
template <typename T>
void bgr_float_from_unit(const ImageView &src, float *dst) {
    const std::ptrdiff_t w = src.width;
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        float *d = dst + y * w * 3;
        for (std::ptrdiff_t x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) d[3 * x + k] = unit_to_u8(static_cast<float>(src.at<T>(y, x, 2 - k)));
    }
}

// 8-bit copy of a non-8-bit host image, channel order kept:
// (np.clip(x[..., :3], 0, 1) * 255).astype(np.uint8). dst is packed h x w x 3.
template <typename T>
void rgb_u8_from_unit(const ImageView &src, std::uint8_t *dst) {
    const std::ptrdiff_t w = src.width;
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        std::uint8_t *d = dst + y * w * 3;
        if (src.packed<T>()) {
            const T *s = src.row<T>(y);
            const std::ptrdiff_t c = src.channels;
            for (std::ptrdiff_t x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) d[3 * x + k] = unit_to_u8(static_cast<float>(s[c * x + k]));
        } else {
            for (std::ptrdiff_t x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) d[3 * x + k] = unit_to_u8(static_cast<float>(src.at<T>(y, x, k)));
        }
    }
}

// 8-bit cut-out: np.dstack((rgb, (np.clip(matte, 0, 1) * 255).astype(np.uint8))).
// matte is packed height x width; dst packed height x width x 4.
inline void cutout_u8(const ImageView &src, const float *matte, std::uint8_t *dst) {
    const std::ptrdiff_t w = src.width;
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        std::uint8_t *d = dst + y * w * 4;
        const float *m = matte + y * w;
        if (src.packed<std::uint8_t>()) {
            const std::uint8_t *s = src.row<std::uint8_t>(y);
            const std::ptrdiff_t c = src.channels;
            for (std::ptrdiff_t x = 0; x < w; ++x) {
                d[4 * x + 0] = s[c * x + 0];
                d[4 * x + 1] = s[c * x + 1];
                d[4 * x + 2] = s[c * x + 2];
                d[4 * x + 3] = unit_to_u8(m[x]);
            }
        } else {
            for (std::ptrdiff_t x = 0; x < w; ++x) {
                for (int k = 0; k < 3; ++k) d[4 * x + k] = src.at<std::uint8_t>(y, x, k);
                d[4 * x + 3] = unit_to_u8(m[x]);
            }
        }
    }
}

// Float cut-out: np.dstack((x[..., :3].astype(np.float32), matte)), alpha unscaled.
template <typename T>
void cutout_float(const ImageView &src, const float *matte, float *dst) {
    const std::ptrdiff_t w = src.width;
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        float *d = dst + y * w * 4;
        const float *m = matte + y * w;
        if (src.packed<T>()) {
            const T *s = src.row<T>(y);
            const std::ptrdiff_t c = src.channels;
            for (std::ptrdiff_t x = 0; x < w; ++x) {
                d[4 * x + 0] = static_cast<float>(s[c * x + 0]);
                d[4 * x + 1] = static_cast<float>(s[c * x + 1]);
                d[4 * x + 2] = static_cast<float>(s[c * x + 2]);
                d[4 * x + 3] = m[x];
            }
        } else {
            for (std::ptrdiff_t x = 0; x < w; ++x) {
                for (int k = 0; k < 3; ++k) d[4 * x + k] = static_cast<float>(src.at<T>(y, x, k));
                d[4 * x + 3] = m[x];
            }
        }
    }
}

// 8-bit luma matte: np.repeat(alpha[:, :, None], 3, axis=2) with the 8-bit alpha above.
inline void luma_u8(const float *matte, std::ptrdiff_t height, std::ptrdiff_t width, std::uint8_t *dst) {
    for (std::ptrdiff_t i = 0; i < height * width; ++i) {
        std::uint8_t a = unit_to_u8(matte[i]);
        dst[3 * i + 0] = a;
        dst[3 * i + 1] = a;
        dst[3 * i + 2] = a;
    }
}

// Float luma matte: the matte's own values in three channels.
inline void luma_float(const float *matte, std::ptrdiff_t height, std::ptrdiff_t width, float *dst) {
    for (std::ptrdiff_t i = 0; i < height * width; ++i) {
        float a = matte[i];
        dst[3 * i + 0] = a;
        dst[3 * i + 1] = a;
        dst[3 * i + 2] = a;
    }
}

}  // namespace tavelin::pixels
