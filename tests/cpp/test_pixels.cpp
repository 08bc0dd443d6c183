// Unit tests of the pixel passes against direct per-sample formulas, on packed
// and strided layouts, from single pixels to full HD.
#include "pixels.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace tavelin::pixels;

static int failures = 0;
#define EXPECT(cond, ...)                                   \
    do {                                                    \
        if (!(cond)) {                                      \
            ++failures;                                     \
            std::fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__); \
            std::fprintf(stderr, __VA_ARGS__);              \
            std::fprintf(stderr, "\n");                     \
        }                                                   \
    } while (0)

// The reference: NumPy's float32 arithmetic, one sample at a time.
static std::uint8_t reference_u8(float v) {
    if (std::isnan(v)) return 0;
    float c = std::fmin(std::fmax(v, 0.f), 1.f);
    float scaled = c * 255.f;
    return static_cast<std::uint8_t>(std::trunc(scaled));
}

template <typename T>
struct Image {
    std::ptrdiff_t h, w, c;
    std::vector<T> data;
    bool transposed;  // stored column-major over (y, x): a non-packed layout
    Image(std::ptrdiff_t h_, std::ptrdiff_t w_, std::ptrdiff_t c_, bool t) : h(h_), w(w_), c(c_), data(h_ * w_ * c_), transposed(t) {}
    T &at(std::ptrdiff_t y, std::ptrdiff_t x, std::ptrdiff_t k) {
        return transposed ? data[(x * h + y) * c + k] : data[(y * w + x) * c + k];
    }
    ImageView view() const {
        ImageView v;
        v.data = reinterpret_cast<const unsigned char *>(data.data());
        v.height = h;
        v.width = w;
        v.channels = c;
        v.channel_stride = sizeof(T);
        if (transposed) {
            v.row_stride = c * sizeof(T);
            v.col_stride = h * c * sizeof(T);
        } else {
            v.col_stride = c * sizeof(T);
            v.row_stride = w * c * sizeof(T);
        }
        return v;
    }
};

static std::mt19937 rng(7);

static void fill_unit(Image<float> &img) {
    std::uniform_real_distribution<float> d(-0.25f, 1.25f);
    for (auto &v : img.data) v = d(rng);
    img.data[0] = std::numeric_limits<float>::quiet_NaN();
    if (img.data.size() > 3) {
        img.data[1] = 1.0f;
        img.data[2] = 0.5f;
        img.data[3] = 0.999f;
    }
}

static void test_unit_to_u8() {
    const float cases[][2] = {{0.f, 0}, {0.5f, 127}, {1.f, 255}, {0.999f, 254}, {-3.f, 0}, {7.f, 255}};
    for (auto &c : cases) EXPECT(unit_to_u8(c[0]) == c[1], "unit_to_u8(%g)", c[0]);
    EXPECT(unit_to_u8(std::numeric_limits<float>::quiet_NaN()) == 0, "NaN");
    for (int i = 0; i < 100000; ++i) {
        float v = std::uniform_real_distribution<float>(-0.1f, 1.1f)(rng);
        EXPECT(unit_to_u8(v) == reference_u8(v), "sample %a", v);
    }
}

static void test_shapes(std::ptrdiff_t h, std::ptrdiff_t w) {
    for (int channels : {3, 4}) {
        for (bool transposed : {false, true}) {
            Image<std::uint8_t> u8(h, w, channels, transposed);
            for (auto &v : u8.data) v = static_cast<std::uint8_t>(rng());
            Image<float> f(h, w, channels, transposed);
            fill_unit(f);
            std::vector<float> matte(h * w);
            for (auto &m : matte) m = std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng);
            matte[0] = std::numeric_limits<float>::quiet_NaN();

            std::vector<float> input(h * w * 3);
            bgr_float_from_u8(u8.view(), input.data());
            std::vector<float> input_unit(h * w * 3);
            bgr_float_from_unit<float>(f.view(), input_unit.data());
            std::vector<std::uint8_t> rgb(h * w * 3);
            rgb_u8_from_unit<float>(f.view(), rgb.data());
            std::vector<std::uint8_t> cut8(h * w * 4);
            cutout_u8(u8.view(), matte.data(), cut8.data());
            std::vector<float> cutf(h * w * 4);
            cutout_float<float>(f.view(), matte.data(), cutf.data());
            // The matte may also lie in the output's own memory (its first bytes).
            std::vector<std::uint8_t> cut8_inplace(h * w * 4);
            std::memcpy(cut8_inplace.data(), matte.data(), matte.size() * sizeof(float));
            cutout_u8(u8.view(), reinterpret_cast<const float *>(cut8_inplace.data()), cut8_inplace.data());
            std::vector<float> cutf_inplace(h * w * 4);
            std::memcpy(cutf_inplace.data(), matte.data(), matte.size() * sizeof(float));
            cutout_float<float>(f.view(), cutf_inplace.data(), cutf_inplace.data());
            EXPECT(cut8_inplace == cut8, "%td x %td x %d: in-place 8-bit cut-out differs", h, w, channels);
            EXPECT(std::memcmp(cutf_inplace.data(), cutf.data(), cutf.size() * sizeof(float)) == 0,
                   "%td x %td x %d: in-place float cut-out differs", h, w, channels);
            std::vector<std::uint8_t> luma8_inplace(h * w * 4);
            std::memcpy(luma8_inplace.data(), matte.data(), matte.size() * sizeof(float));
            luma_u8(reinterpret_cast<const float *>(luma8_inplace.data()), h, w, luma8_inplace.data());
            luma8_inplace.resize(h * w * 3);
            std::vector<float> lumaf_inplace(h * w * 3);
            std::memcpy(lumaf_inplace.data(), matte.data(), matte.size() * sizeof(float));
            luma_float(lumaf_inplace.data(), h, w, lumaf_inplace.data());
            std::vector<std::uint8_t> luma8(h * w * 3);
            luma_u8(matte.data(), h, w, luma8.data());
            std::vector<float> lumaf(h * w * 3);
            luma_float(matte.data(), h, w, lumaf.data());

            std::vector<float> lumaf_check(h * w * 3);
            luma_float(matte.data(), h, w, lumaf_check.data());
            std::vector<std::uint8_t> luma8_check(h * w * 3);
            luma_u8(matte.data(), h, w, luma8_check.data());
            EXPECT(luma8_inplace == luma8_check, "%td x %td: in-place 8-bit luma differs", h, w);
            EXPECT(std::memcmp(lumaf_inplace.data(), lumaf_check.data(), lumaf_check.size() * sizeof(float)) == 0,
                   "%td x %td: in-place float luma differs", h, w);
            int bad = 0;
            for (std::ptrdiff_t y = 0; y < h; ++y)
                for (std::ptrdiff_t x = 0; x < w; ++x) {
                    std::ptrdiff_t i = y * w + x;
                    std::uint8_t a = reference_u8(matte[i]);
                    for (int k = 0; k < 3; ++k) {
                        bad += input[3 * i + k] != float(u8.at(y, x, 2 - k));
                        bad += input_unit[3 * i + k] != float(reference_u8(f.at(y, x, 2 - k)));
                        bad += rgb[3 * i + k] != reference_u8(f.at(y, x, k));
                        bad += cut8[4 * i + k] != u8.at(y, x, k);
                        bad += std::memcmp(&cutf[4 * i + k], &f.at(y, x, k), sizeof(float)) != 0;
                        bad += luma8[3 * i + k] != a;
                        bad += std::memcmp(&lumaf[3 * i + k], &matte[i], sizeof(float)) != 0;
                    }
                    bad += cut8[4 * i + 3] != a;
                    bad += std::memcmp(&cutf[4 * i + 3], &matte[i], sizeof(float)) != 0;
                }
            EXPECT(bad == 0, "%td x %td x %d transposed=%d: %d mismatches", h, w, channels, int(transposed), bad);
        }
    }
}

int main() {
    test_unit_to_u8();
    for (auto hw : {std::pair<int, int>{1, 1}, {1, 17}, {19, 1}, {5, 7}, {64, 33}, {1080, 1921}})
        test_shapes(hw.first, hw.second);
    std::printf("test_pixels: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
