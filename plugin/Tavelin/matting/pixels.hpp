// Pixel passes of a render: plain C++ over strided image buffers, no Python.
// Each pass reproduces, bit for bit, the NumPy/OpenCV expression named beside
// it, in one sweep over memory and without temporaries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

// The 8-bit passes convert the matte a run at a time into a small buffer: that
// loop vectorises (max, min, multiply, truncating convert), and the loops that
// interleave the bytes then move whole pixels as 32-bit words.
constexpr std::ptrdiff_t kRun = 512;

inline void alpha_run(const float *matte, std::ptrdiff_t n, std::uint8_t *alpha) {
    std::ptrdiff_t i = 0;
#if defined(__SSE2__)
    // maxps(NaN, 0) gives 0, like unit_to_u8; the packs never saturate (0..255).
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.f), scale = _mm_set1_ps(255.f);
    for (; i + 16 <= n; i += 16) {
        __m128i q[4];
        for (int k = 0; k < 4; ++k) {
            __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(matte + i + 4 * k), zero), one);
            q[k] = _mm_cvttps_epi32(_mm_mul_ps(v, scale));
        }
        __m128i words = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(alpha + i), words);
    }
#endif
    for (; i < n; ++i) alpha[i] = unit_to_u8(matte[i]);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pixel words assume little-endian byte order");

inline std::uint32_t load_word(const std::uint8_t *p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}
inline void store_word(std::uint8_t *p, std::uint32_t w) { std::memcpy(p, &w, 4); }

// One row of a non-8-bit image as 8-bit samples, (np.clip(x, 0, 1) * 255)
// .astype(np.uint8). Packed float32 rows go through the vectorised run with
// all their channels; other rows are converted sample by sample. Returns the
// channel count of the bytes written to `out` (room for 4 * width).
template <typename T>
std::ptrdiff_t unit_row_to_u8(const ImageView &src, std::ptrdiff_t y, std::uint8_t *out) {
    if constexpr (std::is_same_v<T, float>) {
        if (src.packed<float>()) {
            alpha_run(src.row<float>(y), src.channels * src.width, out);
            return src.channels;
        }
    }
    for (std::ptrdiff_t x = 0; x < src.width; ++x)
        for (int k = 0; k < 3; ++k) out[3 * x + k] = unit_to_u8(static_cast<float>(src.at<T>(y, x, k)));
    return 3;
}

// Network input, non-8-bit host image at full size:
// torch.Tensor(cv2.cvtColor((np.clip(x, 0, 1) * 255).astype(np.uint8), RGB2BGR)).
template <typename T>
void bgr_float_from_unit(const ImageView &src, float *dst) {
    const std::ptrdiff_t w = src.width;
    std::vector<std::uint8_t> row(static_cast<size_t>(4 * w));
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        const std::ptrdiff_t c = unit_row_to_u8<T>(src, y, row.data());
        float *d = dst + y * w * 3;
        for (std::ptrdiff_t x = 0; x < w; ++x) {
            d[3 * x + 0] = row[c * x + 2];
            d[3 * x + 1] = row[c * x + 1];
            d[3 * x + 2] = row[c * x + 0];
        }
    }
}

// 8-bit copy of a non-8-bit host image, channel order kept:
// (np.clip(x[..., :3], 0, 1) * 255).astype(np.uint8). dst is packed h x w x 3.
template <typename T>
void rgb_u8_from_unit(const ImageView &src, std::uint8_t *dst) {
    const std::ptrdiff_t w = src.width;
    std::vector<std::uint8_t> row(static_cast<size_t>(4 * w));
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        std::uint8_t *d = dst + y * w * 3;
        if (unit_row_to_u8<T>(src, y, row.data()) == 3) {
            std::memcpy(d, row.data(), static_cast<size_t>(3 * w));
        } else {
            for (std::ptrdiff_t x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) d[3 * x + k] = row[4 * x + k];
        }
    }
}

// n pixels of C packed 8-bit channels (RGB or RGBA) plus n alpha bytes into
// RGBA words. A word read at an RGB pixel spills into the next pixel, so the
// caller leaves the last pixel of a row to the byte-wise loop.
template <int C>
inline void rgba_words(const std::uint8_t *__restrict src, const std::uint8_t *__restrict alpha, std::ptrdiff_t n,
                       std::uint8_t *__restrict dst) {
    for (std::ptrdiff_t j = 0; j < n; ++j)
        store_word(dst + 4 * j, (load_word(src + C * j) & 0x00FFFFFFu) | (std::uint32_t(alpha[j]) << 24));
}

// 8-bit cut-out: np.dstack((rgb, (np.clip(matte, 0, 1) * 255).astype(np.uint8))).
// matte is packed height x width; dst packed height x width x 4.
inline void cutout_u8(const ImageView &src, const float *matte, std::uint8_t *dst) {
    const std::ptrdiff_t w = src.width;
    const bool packed = src.packed<std::uint8_t>();
    const std::ptrdiff_t c = src.channels;
    std::uint8_t alpha[kRun];
    for (std::ptrdiff_t y = 0; y < src.height; ++y) {
        std::uint8_t *d = dst + y * w * 4;
        const float *m = matte + y * w;
        const std::uint8_t *s = src.row<std::uint8_t>(y);
        for (std::ptrdiff_t x0 = 0; x0 < w; x0 += kRun) {
            const std::ptrdiff_t n = std::min(kRun, w - x0);
            alpha_run(m + x0, n, alpha);
            std::ptrdiff_t j = 0;
            if (packed) {
                j = (c == 4 || x0 + n < w) ? n : n - 1;
                if (c == 4)
                    rgba_words<4>(s + 4 * x0, alpha, j, d + 4 * x0);
                else
                    rgba_words<3>(s + 3 * x0, alpha, j, d + 4 * x0);
            }
            for (; j < n; ++j) {
                const std::ptrdiff_t x = x0 + j;
                for (int k = 0; k < 3; ++k) d[4 * x + k] = src.at<std::uint8_t>(y, x, k);
                d[4 * x + 3] = alpha[j];
            }
        }
    }
}

// Float cut-out: np.dstack((x[..., :3].astype(np.float32), matte)), alpha unscaled.
// Runs from the last pixel to the first, so the matte may lie in the first
// quarter of dst itself: pixel i's four floats cover matte entries i..4i+3,
// and those after i have been read by then.
template <typename T>
void cutout_float(const ImageView &src, const float *matte, float *dst) {
    const std::ptrdiff_t w = src.width;
    const bool packed = src.packed<T>();
    for (std::ptrdiff_t y = src.height - 1; y >= 0; --y) {
        float *d = dst + y * w * 4;
        const float *m = matte + y * w;
        const T *s = src.row<T>(y);
        const std::ptrdiff_t c = src.channels;
        for (std::ptrdiff_t x = w - 1; x >= 0; --x) {
            const float a = m[x];
            float rgb[3];
            for (int k = 0; k < 3; ++k) rgb[k] = static_cast<float>(packed ? s[c * x + k] : src.at<T>(y, x, k));
            d[4 * x + 0] = rgb[0];
            d[4 * x + 1] = rgb[1];
            d[4 * x + 2] = rgb[2];
            d[4 * x + 3] = a;
        }
    }
}

// n grey pixels of three equal bytes, written as overlapping words.
inline void grey_words(const std::uint8_t *__restrict alpha, std::ptrdiff_t n, std::uint8_t *__restrict dst) {
    for (std::ptrdiff_t j = 0; j < n; ++j) store_word(dst + 3 * j, std::uint32_t(alpha[j]) * 0x00010101u);
}

// 8-bit luma matte: np.repeat(alpha[:, :, None], 3, axis=2) with the 8-bit alpha above.
// The matte may lie at the start of dst itself: each run of the matte is read
// before its grey pixels, which sit at lower addresses, are written.
inline void luma_u8(const float *matte, std::ptrdiff_t height, std::ptrdiff_t width, std::uint8_t *dst) {
    const std::ptrdiff_t total = height * width;
    std::uint8_t alpha[kRun];
    for (std::ptrdiff_t i0 = 0; i0 < total; i0 += kRun) {
        const std::ptrdiff_t n = std::min(kRun, total - i0);
        alpha_run(matte + i0, n, alpha);
        // Each word also writes the next pixel's first byte, which that pixel
        // then overwrites; the very last pixel is written byte by byte.
        const std::ptrdiff_t words = i0 + n < total ? n : n - 1;
        grey_words(alpha, words, dst + 3 * i0);
        for (std::ptrdiff_t j = words; j < n; ++j) {
            std::uint8_t *d = dst + 3 * (i0 + j);
            d[0] = d[1] = d[2] = alpha[j];
        }
    }
}

// Float luma matte: the matte's own values in three channels. Runs from the
// last pixel to the first, so the matte may lie in the first third of dst.
inline void luma_float(const float *matte, std::ptrdiff_t height, std::ptrdiff_t width, float *dst) {
    for (std::ptrdiff_t i = height * width - 1; i >= 0; --i) {
        const float a = matte[i];
        dst[3 * i + 0] = a;
        dst[3 * i + 1] = a;
        dst[3 * i + 2] = a;
    }
}

}  // namespace tavelin::pixels
