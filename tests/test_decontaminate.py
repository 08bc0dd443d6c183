"""Foreground colour estimation: accuracy on known composites, I/O contract."""

import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from tavelin_host import decontaminate  # noqa: E402
from tavelin_host.decontaminate import decontaminate_cutout, estimate_foreground  # noqa: E402

BACKGROUNDS = {
    "green": (0.10, 0.85, 0.15),
    "grey": (0.50, 0.50, 0.50),
    "red": (0.90, 0.08, 0.10),
    "blue": (0.05, 0.20, 0.95),
}


def hair_matte(h, w, rng):
    """An opaque head-like blob with a soft edge and thin curly strands.

    Strands are drawn anti-aliased at 4x and area-downsampled, so they cover
    pixels partially, then softened slightly to fall off like real hair.
    """
    s = 4
    canvas = np.zeros((h * s, w * s), np.uint8)
    cx, cy = w * s // 2, int(h * s * 0.85)
    axes = (int(w * s * 0.30), int(h * s * 0.45))
    cv2.ellipse(canvas, (cx, cy), axes, 0, 0, 360, 255, -1, cv2.LINE_AA)
    for _ in range(70):
        t = rng.uniform(np.pi * 1.05, np.pi * 1.95)      # start on the upper rim
        x = cx + axes[0] * np.cos(t)
        y = cy + axes[1] * np.sin(t)
        heading = t + rng.normal(0, 0.3)
        curl = rng.normal(0, 0.06)
        pts = []
        for _ in range(rng.integers(25, 60)):
            pts.append((x, y))
            heading += curl + rng.normal(0, 0.08)
            x += 6 * s * np.cos(heading) / 4
            y += 6 * s * np.sin(heading) / 4
        pts = np.round(np.array(pts)).astype(np.int32)
        cv2.polylines(canvas, [pts], False, 255, int(rng.integers(2, 7)), cv2.LINE_AA)
    alpha = cv2.resize(canvas.astype(np.float32) / 255, (w, h),
                       interpolation=cv2.INTER_AREA)
    alpha = cv2.GaussianBlur(alpha, (0, 0), 0.6)
    return np.clip(alpha, 0, 1)


def composite(bg_name, seed, h=180, w=240):
    """Known (I, F, B, alpha) with smooth F and B, I = alpha F + (1 - alpha) B."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32) / max(h, w)
    ph = rng.uniform(0, 2 * np.pi, 3)
    fg = np.stack([0.55 + 0.12 * np.sin(4 * xx + ph[0]),
                   0.38 + 0.10 * np.cos(3 * yy + ph[1]),
                   0.22 + 0.08 * np.sin(3 * (xx + yy) + ph[2])], axis=-1)
    bg = np.asarray(BACKGROUNDS[bg_name], np.float32) \
        + 0.06 * np.sin(2 * xx + 3 * yy + ph[0])[..., None]
    fg = np.clip(fg, 0, 1).astype(np.float32)
    bg = np.clip(bg, 0, 1).astype(np.float32)
    alpha = hair_matte(h, w, rng)
    image = alpha[..., None] * fg + (1 - alpha[..., None]) * bg
    return image.astype(np.float32), fg, bg, alpha.astype(np.float32)


def to_cutout(image, alpha, dtype):
    rgba = np.dstack([image, alpha])
    if dtype == np.uint8:
        return np.rint(rgba * 255).astype(np.uint8)
    return rgba.astype(dtype)


def as_unit(rgba):
    rgba = rgba.astype(np.float32)
    return rgba / 255 if rgba.max() > 1.5 else rgba


def reference_foreground(image, alpha, box_sizes):
    """The estimator written directly from its formula, broadcasting and all."""
    a = alpha[..., None].astype(np.float64)
    image = image.astype(np.float64)
    fg, bg = image, image

    def box(x, k):
        return cv2.blur(x, (k, k), borderType=cv2.BORDER_REPLICATE)

    for k in box_sizes:
        blur_a = box(a[..., 0], k)[..., None]
        f_blur = box(fg * a, k) / (blur_a + 1e-5)
        b_blur = box(bg * (1 - a), k) / ((1 - blur_a) + 1e-5)
        fg = np.clip(f_blur + a * (image - a * f_blur - (1 - a) * b_blur), 0, 1)
        bg = b_blur
    return fg


@pytest.mark.parametrize("dtype", [np.float32, np.uint8])
@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("bg_name", sorted(BACKGROUNDS))
def test_soft_edges_lose_background_colour(bg_name, seed, dtype):
    image, fg_true, _, alpha = composite(bg_name, seed)
    rgba = to_cutout(image, alpha, dtype)
    out = decontaminate_cutout(rgba)

    a = as_unit(rgba)[..., 3]
    band = (a > 0.05) & (a < 0.95)
    assert band.sum() > 2000, "composite has too little soft edge to judge"
    observed = as_unit(rgba)[..., :3][band]
    estimate = as_unit(out)[..., :3][band]
    truth = fg_true[band]
    mse_in = np.mean((observed - truth) ** 2)
    mse_out = np.mean((estimate - truth) ** 2)
    assert mse_out <= 0.5 * mse_in, f"MSE {mse_out:.5f} vs input {mse_in:.5f}"


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_contract_shape_dtype_alpha_and_opaque_colour(dtype):
    image, _, _, alpha = composite("green", 3, h=90, w=120)
    if dtype == np.uint16:
        rgba = np.rint(np.dstack([image, alpha]) * 65535).astype(np.uint16)
        unit = 65535
    else:
        rgba = to_cutout(image, alpha, dtype)
        unit = 255 if dtype == np.uint8 else 1
    before = rgba.copy()
    out = decontaminate_cutout(rgba)

    assert out.shape == rgba.shape and out.dtype == rgba.dtype
    np.testing.assert_array_equal(rgba, before)             # input untouched
    assert out[..., 3].tobytes() == rgba[..., 3].tobytes()  # alpha bit-exact
    opaque = rgba[..., 3] == rgba[..., 3].max()
    assert opaque.sum() > 1000
    diff = np.abs(out[..., :3].astype(np.float64) - rgba[..., :3]) / unit
    assert diff[opaque].max() <= 1 / 255


@pytest.mark.parametrize("box_sizes", [(90, 6), (15,), (31, 7, 3), (1,)])
def test_matches_direct_formula(box_sizes):
    rng = np.random.default_rng(7)
    image = rng.random((37, 53, 3), dtype=np.float32) * 1.2 - 0.1
    alpha = rng.random((37, 53), dtype=np.float32)
    alpha[rng.random(alpha.shape) < 0.3] = 1.0
    alpha[rng.random(alpha.shape) < 0.3] = 0.0
    got = estimate_foreground(image, alpha, box_sizes)
    assert got.dtype == np.float32 and got.shape == image.shape
    np.testing.assert_allclose(got, reference_foreground(image, alpha, box_sizes),
                               atol=2e-4)


@pytest.mark.parametrize("shape", [(1, 1), (1, 9), (9, 1), (2, 3), (5, 200)])
@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_tiny_images_and_boxes_larger_than_image(shape, dtype):
    rng = np.random.default_rng(sum(shape))
    rgba = to_cutout(rng.random((*shape, 3)), rng.random(shape), dtype)
    out = decontaminate_cutout(rgba)
    assert out.shape == rgba.shape and out.dtype == rgba.dtype
    assert np.isfinite(out.astype(np.float64)).all()
    assert out[..., 3].tobytes() == rgba[..., 3].tobytes()


@pytest.mark.parametrize("fill", [0.0, 1.0])
def test_constant_matte(fill):
    rng = np.random.default_rng(5)
    image = rng.random((40, 60, 3), dtype=np.float32)
    got = estimate_foreground(image, np.full((40, 60), fill, np.float32))
    assert np.isfinite(got).all()
    if fill == 1.0:
        np.testing.assert_allclose(got, image, atol=1e-6)
    else:  # nothing to recover: stays in range, no division blow-up
        assert got.min() >= 0 and got.max() <= 1


@pytest.mark.parametrize("gain", [3.0, 12.0])
def test_high_dynamic_range_colour_is_kept_alpha_kept(gain):
    # Float colour above 1 (HDR) is not clipped: opaque pixels keep their values
    # exactly, soft ones get the same estimate as at normal range, scaled up.
    image, _, _, alpha = composite("red", 4, h=60, w=80)
    rgba = np.dstack([image, alpha]).astype(np.float32)
    rgba[0, 0, 3] = np.float32(1e-30)
    bright = rgba.copy()
    bright[..., :3] *= np.float32(gain)
    out = decontaminate_cutout(bright)
    assert out[..., 3].tobytes() == bright[..., 3].tobytes()
    opaque = alpha >= 1.0
    assert opaque.any() and out[..., :3].max() > 1
    np.testing.assert_array_equal(out[opaque][:, :3], bright[opaque][:, :3])
    soft = (alpha > 0.05) & (alpha < 0.95)
    normal = decontaminate_cutout(rgba)
    np.testing.assert_allclose(out[soft][:, :3] / gain, normal[soft][:, :3], atol=1e-3)
    assert out[..., :3].min() >= 0


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_a_non_finite_sample_stays_where_it_is(value):
    # One odd sample in a float picture must not turn every box average, and so the
    # whole cut-out, into NaN; NumPy's warnings about it are not for the user either.
    import warnings

    from tavelin_host.postprocess import decontaminated

    image, _, _, alpha = composite("green", 2, h=60, w=80)
    rgba = np.dstack([image, alpha]).astype(np.float32)
    rgba[30, 40, 0] = value
    rgba[10, 10, 3] = value
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = decontaminated(rgba)
    broken = np.zeros((60, 80), bool)
    broken[30, 40] = broken[10, 10] = True
    assert np.isfinite(out[~broken]).all()
    np.testing.assert_array_equal(out[broken], rgba[broken])
    clean = rgba.copy()
    clean[broken] = 0
    far = np.ones((60, 80), bool)
    far[:20, :20] = far[20:41, 30:51] = False
    np.testing.assert_allclose(out[far], decontaminated(clean)[far], atol=0.02)


@pytest.mark.parametrize("args, error", [
    ((np.zeros((4, 4, 3), np.uint8),), ValueError),
    ((np.zeros((4, 4, 4), np.int32),), TypeError),
    ((np.zeros((4, 4), np.float32),), ValueError),
])
def test_rejects_bad_cutouts(args, error):
    with pytest.raises(error):
        decontaminate_cutout(*args)


def test_rejects_mismatched_matte_and_bad_box_sizes():
    with pytest.raises(ValueError):
        estimate_foreground(np.zeros((4, 5, 3), np.float32), np.zeros((5, 4), np.float32))
    with pytest.raises(ValueError):
        estimate_foreground(np.zeros((4, 5, 3), np.float32), np.zeros((4, 5), np.float32),
                            box_sizes=(0,))


@pytest.mark.parametrize("bg_name", ["green", "blue"])
@pytest.mark.parametrize("h, w", [(360, 480), (203, 317)])
def test_reduced_resolution_wide_pass_agrees_with_direct_formula(bg_name, h, w):
    # Boxes of 90 on images this size run the wide pass on a shrunk image and
    # skip the narrow background blur; both must stay close to the direct,
    # full-resolution computation where the colour shows (alpha > 0.05):
    # 0.002 on average, 0.06 at worst (a few faint pixels, where F_blur rests
    # on little foreground), and no worse in the soft band than the direct
    # result by more than 10% of its MSE.
    image, fg_true, _, alpha = composite(bg_name, 2, h=h, w=w)
    got = estimate_foreground(image, alpha)
    ref = reference_foreground(image, alpha, (90, 6))
    diff = np.abs(got - ref)[alpha > 0.05]
    assert diff.mean() <= 0.002 and diff.max() <= 0.06
    band = (alpha > 0.05) & (alpha < 0.95)
    mse_got = np.mean((got[band] - fg_true[band]) ** 2)
    mse_ref = np.mean((ref[band] - fg_true[band]) ** 2)
    assert mse_got <= 1.1 * mse_ref


def edge_matte(h, w, soft, seed):
    """Hard 0/1 blocks plus sparse soft pixels on and beside tile edges.

    soft: "none" (hard edges only), "edges" (soft pixels on the rows and
    columns around every tile boundary and the image border) or "scattered"
    (a few random soft pixels, some barely soft, elsewhere).
    """
    rng = np.random.default_rng(seed)
    alpha = np.zeros((h, w), np.float32)
    for _ in range(6):
        y, x = rng.integers(0, h), rng.integers(0, w)
        alpha[y:y + rng.integers(5, h), x:x + rng.integers(5, w)] = 1.0
    t = decontaminate._TILE
    alpha[t:2 * t, t // 2:t] = 1.0        # opaque up to a tile edge, clear beyond
    alpha[t:2 * t, t:2 * t] = 0.0
    if soft == "none":
        return alpha
    if soft == "edges":
        lines = sorted({0, 1, h - 1} | {i + d for i in range(t, h, t) for d in (-5, -1, 0, 4)})
        cols = sorted({0, w - 2, w - 1} | {i + d for i in range(t, w, t) for d in (-4, 0, 3)})
        for y in lines:
            pick = rng.choice(w, size=3, replace=False)
            alpha[min(y, h - 1), pick] = rng.uniform(0.01, 0.99, 3)
        for x in cols:
            pick = rng.choice(h, size=3, replace=False)
            alpha[pick, min(x, w - 1)] = rng.uniform(0.01, 0.99, 3)
    if soft == "scattered":
        n = h * w // 4000 + 2              # leaves whole tiles opaque and clear
        values = rng.choice([1e-7, 1e-3, 0.5, 0.999, 0.9999999], n)   # barely soft too
        alpha[rng.integers(0, h, n), rng.integers(0, w, n)] = values
    return alpha


@pytest.mark.parametrize("soft", ["none", "edges", "scattered"])
@pytest.mark.parametrize("h, w", [(256, 384), (192, 130), (181, 250), (90, 97), (131, 90)])
def test_band_only_work_equals_whole_frame(monkeypatch, h, w, soft):
    # Whole-number (256 x 384) and fractional shrink scales, tiles cut by the
    # border, and images just big enough for the shrunk wide pass.
    monkeypatch.setattr(decontaminate, "_MAX_BAND_SHARE", 1.0)   # never fall back
    rng = np.random.default_rng(h * w)
    image = rng.random((3, h, w), dtype=np.float32) * 1.2 - 0.1
    alpha = edge_matte(h, w, soft, seed=h + w)
    banded = decontaminate._foreground_planes(image.copy(), alpha.copy(), (90, 6))
    whole = decontaminate._foreground_whole(image.copy(), alpha.copy(), (90, 6))
    assert banded.dtype == np.float32 and banded.shape == image.shape
    np.testing.assert_allclose(banded, whole, rtol=0, atol=1e-6)


@pytest.mark.parametrize("matte", ["band", "all soft", "all opaque", "all clear", "tiny"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_cutout_equals_whole_frame_computation(monkeypatch, matte, dtype):
    h, w = (3, 7) if matte == "tiny" else (200, 264)
    rng = np.random.default_rng(11)
    image = rng.random((h, w, 3), dtype=np.float32)
    alpha = {"band": lambda: edge_matte(h, w, "scattered", 3),
             "all soft": lambda: rng.uniform(0.01, 0.99, (h, w)),
             "all opaque": lambda: np.ones((h, w)),
             "all clear": lambda: np.zeros((h, w)),
             "tiny": lambda: rng.random((h, w))}[matte]()
    if dtype == np.uint16:
        rgba = np.rint(np.dstack([image, alpha]) * 65535).astype(np.uint16)
    else:
        rgba = to_cutout(image, alpha, dtype)
    got = decontaminate_cutout(rgba)
    monkeypatch.setattr(decontaminate, "_foreground_planes", decontaminate._foreground_whole)
    monkeypatch.setattr(decontaminate, "_banded_cutout_parts", lambda *args: None)
    want = decontaminate_cutout(rgba)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-6)   # integers: exact
    assert got[..., 3].tobytes() == rgba[..., 3].tobytes()


@pytest.mark.parametrize("window", [(0, 5, 0, 9), (3, 70, 61, 200), (13, 14, 100, 101),
                                    (120, 160, 190, 200), (0, 160, 0, 200)])
def test_window_growth_equals_whole_frame_growth(window):
    y0, y1, x0, x1 = window
    low = np.random.default_rng(1).random((2, 20, 25), dtype=np.float32)
    whole = np.stack([cv2.resize(p, (200, 160), interpolation=cv2.INTER_LINEAR) for p in low])
    got = decontaminate._cropped_grow(low, 8)((slice(y0, y1), slice(x0, x1)))
    np.testing.assert_array_equal(got, whole[:, y0:y1, x0:x1])
