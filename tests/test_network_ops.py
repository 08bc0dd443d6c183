"""Operator semantics: TFLite SAME padding, the transposed-convolution custom op,
the guided filter's building blocks, the detector's box merging and the unpacking
of sparse weights, each against a direct version."""

import sys
from pathlib import Path

import numpy as np
import pytest
import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from models import guided_filter  # noqa: E402
from models.layers import Conv2d, TransposeConvBias, same_padding  # noqa: E402
from models.people import NMS_IOU, box_iou, weighted_nms  # noqa: E402
from models.tflite_reader import densify  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:.*torch.jit.script.*:DeprecationWarning")


def tflite_conv(x, w, b, stride, same, depthwise):
    """x: H W C, w: O kh kw I (or 1 kh kw C for depthwise); TFLite's definition, loop over taps."""
    h, wd, c = x.shape
    kh, kw = w.shape[1:3]
    if same:
        oh, ow = -(-h // stride), -(-wd // stride)
        ph = max((oh - 1) * stride + kh - h, 0) // 2
        pw = max((ow - 1) * stride + kw - wd, 0) // 2
    else:
        oh, ow = (h - kh) // stride + 1, (wd - kw) // stride + 1
        ph = pw = 0
    out = np.zeros((oh, ow, w.shape[0] if not depthwise else c), np.float64) + b
    for oy in range(oh):
        for ox in range(ow):
            for a in range(kh):
                for bb in range(kw):
                    iy, ix = oy * stride + a - ph, ox * stride + bb - pw
                    if 0 <= iy < h and 0 <= ix < wd:
                        if depthwise:
                            out[oy, ox] += x[iy, ix] * w[0, a, bb]
                        else:
                            out[oy, ox] += w[:, a, bb, :] @ x[iy, ix]
    return out


def tflite_transpose_conv(x, w, b, stride, same):
    """x: H W I, w: O kh kw I. Each input pixel scatters into out[i*s + a - pad]."""
    h, wd, _ = x.shape
    o, kh, kw, _ = w.shape
    if same:
        oh, ow = h * stride, wd * stride
        ph = max((h - 1) * stride + kh - oh, 0) // 2
        pw = max((wd - 1) * stride + kw - ow, 0) // 2
    else:
        oh, ow = (h - 1) * stride + kh, (wd - 1) * stride + kw
        ph = pw = 0
    out = np.zeros((oh, ow, o), np.float64)
    for iy in range(h):
        for ix in range(wd):
            for a in range(kh):
                for bb in range(kw):
                    y, xx = iy * stride + a - ph, ix * stride + bb - pw
                    if 0 <= y < oh and 0 <= xx < ow:
                        out[y, xx] += w[:, a, bb, :] @ x[iy, ix]
    return out + b


def nchw(a):
    return torch.from_numpy(np.ascontiguousarray(a.transpose(2, 0, 1)[None], np.float32))


@pytest.mark.parametrize("size, kernel, stride, expected", [
    (256, 3, 2, (0, 1)),   # even input, stride 2: the extra row goes at the bottom
    (32, 5, 2, (1, 2)),
    (64, 3, 1, (1, 1)),    # stride 1: symmetric, k // 2
    (16, 5, 1, (2, 2)),
    (7, 3, 2, (1, 1)),     # odd input, stride 2: symmetric again
    (1, 5, 2, (2, 2)),
    (5, 1, 2, (0, 0)),
])
def test_same_padding(size, kernel, stride, expected):
    assert same_padding(size, kernel, stride, 1) == expected


@pytest.mark.parametrize("depthwise", [False, True])
@pytest.mark.parametrize("h, w", [(1, 1), (2, 3), (6, 6), (7, 5), (8, 9)])
@pytest.mark.parametrize("kernel, stride", [(1, 1), (3, 1), (3, 2), (5, 2)])
def test_conv_same_matches_tflite_definition(depthwise, h, w, kernel, stride):
    rng = np.random.default_rng(h * 100 + w * 10 + kernel + stride)
    c = 4
    x = rng.standard_normal((h, w, c))
    wt = rng.standard_normal((1 if depthwise else 3, kernel, kernel, c))
    b = rng.standard_normal(c if depthwise else 3)
    ref = tflite_conv(x, wt, b, stride, True, depthwise)
    torch_w = wt.transpose(3, 0, 1, 2) if depthwise else wt.transpose(0, 3, 1, 2)
    mod = torch.jit.script(Conv2d(0, torch.from_numpy(np.ascontiguousarray(torch_w, np.float32)),
                                  torch.from_numpy(b.astype(np.float32)), (stride, stride), (1, 1), True,
                                  c if depthwise else 1, 0))
    out = mod([nchw(x)])[0].permute(1, 2, 0).numpy()
    assert out.shape == ref.shape
    np.testing.assert_allclose(out, ref, atol=1e-4)


@pytest.mark.parametrize("same", [True, False])
@pytest.mark.parametrize("h, w", [(1, 1), (4, 4), (5, 3)])
@pytest.mark.parametrize("kernel, stride", [(2, 2), (3, 2), (4, 2), (1, 2), (3, 1), (2, 3)])
def test_transpose_conv_bias_matches_scatter_definition(same, h, w, kernel, stride):
    rng = np.random.default_rng(h * 7 + kernel * 3 + stride)
    x = rng.standard_normal((h, w, 3))
    wt = rng.standard_normal((2, kernel, kernel + 1, 3))  # O kh kw I, kh != kw on purpose
    b = rng.standard_normal(2)
    ref = tflite_transpose_conv(x, wt, b, stride, same)
    mod = torch.jit.script(TransposeConvBias(0, torch.from_numpy(np.ascontiguousarray(wt.transpose(3, 0, 1, 2), np.float32)),
                                             torch.from_numpy(b.astype(np.float32)), (stride, stride), same))
    out = mod([nchw(x)])[0].permute(1, 2, 0).numpy()
    assert out.shape == ref.shape
    np.testing.assert_allclose(out, ref, atol=1e-4)


def test_transpose_conv_places_each_tap_without_flipping():
    # One input pixel, 2x2 kernel, stride 2: the output block is the kernel itself, same orientation.
    w = np.array([[1.0, 2.0], [3.0, 4.0]], np.float32).reshape(1, 1, 2, 2)  # I O kh kw
    mod = TransposeConvBias(0, torch.from_numpy(w), torch.tensor([0.5]), (2, 2), True)
    out = mod([torch.ones(1, 1, 1, 1)])
    assert out[0, 0].tolist() == [[1.5, 2.5], [3.5, 4.5]]


def brute_box_mean(x, r):
    h, w = x.shape
    out = np.empty_like(x)
    for i in range(h):
        for j in range(w):
            out[i, j] = x[max(0, i - r):i + r + 1, max(0, j - r):j + r + 1].mean()
    return out


@pytest.mark.parametrize("h, w, r", [(1, 1, 3), (1, 9, 2), (9, 1, 2), (6, 7, 1), (5, 8, 4), (4, 4, 0)])
def test_box_mean_clips_the_window_at_borders(h, w, r):
    x = np.random.default_rng(h + w + r).random((h, w)).astype(np.float32)
    out = guided_filter.box_mean(torch.from_numpy(x)[None, None], r)[0, 0].numpy()
    np.testing.assert_allclose(out, brute_box_mean(x, r), atol=1e-6)


def test_guided_filter_with_flat_guide_is_a_double_box_mean():
    rng = np.random.default_rng(3)
    p = torch.from_numpy(rng.random((1, 1, 12, 10), dtype=np.float32))
    guide = torch.full((1, 3, 12, 10), 0.4)
    out = guided_filter.fast_guided_filter(guide, p, 12, 10, 2, 1e-3)
    expected = guided_filter.box_mean(guided_filter.box_mean(p, 2), 2)
    torch.testing.assert_close(out, expected, atol=1e-5, rtol=0)


def test_guided_filter_snaps_a_blurred_matte_to_the_guide_edge():
    # Guide: a red/blue step at column 37 of a 64-wide image. Matte: the same step,
    # but blurred and seen at 16 columns only; the filter must put it back on column 37.
    h, w = 8, 64
    guide = torch.zeros(1, 3, h, w)
    guide[:, 0, :, :37] = 0.9
    guide[:, 2, :, 37:] = 0.8
    cols = torch.arange(16, dtype=torch.float32)
    low = torch.sigmoid((37 / 4 - 0.5 - cols) * 1.5).expand(1, 1, 2, 16).contiguous()
    out = guided_filter.fast_guided_filter(guide, low, 2, 16, 2, 1e-4)[0, 0]
    plain = torch.nn.functional.interpolate(low, size=[h, w], mode="bilinear", align_corners=False)[0, 0]
    steps = (out[:, :-1] - out[:, 1:]).abs()
    assert (steps.argmax(dim=1) == 36).all()  # the transition sits between columns 36 and 37
    assert steps[:, 36].min() > 0.8 and out[:, :37].min() > 0.85 and out[:, 37:].max() < 0.15
    assert (plain[:, :-1] - plain[:, 1:]).abs().max() < 0.15  # the input had no such edge


def test_guided_filter_takes_float32_and_keeps_values_finite_for_large_images():
    guide = torch.rand(1, 3, 300, 2000)
    p = torch.rand(1, 1, 77, 512)
    out = guided_filter.fast_guided_filter(guide, p, 77, 512, 2, 1e-3)
    assert out.dtype == torch.float32 and out.shape == (1, 1, 300, 2000)
    assert torch.isfinite(out).all()


@pytest.mark.parametrize("weighted", [True, False])
def test_boxes_overlapping_a_little_over_the_threshold_merge(weighted):
    # Unit squares 0.48 apart: overlap 0.52, union 1.48, IoU 0.351 (just over NMS_IOU 0.3).
    coords = torch.tensor([[0.0, 0.0, 1.0, 1.0, 7.0], [0.48, 0.0, 1.0, 1.0, 9.0]])
    scores = torch.tensor([0.9, 0.6])
    iou = box_iou(coords[0, :4], coords[:, :4])
    assert iou[0].item() == pytest.approx(1.0) and iou[1].item() == pytest.approx(0.52 / 1.48, abs=1e-6)
    kept_scores, kept = weighted_nms(scores, coords, NMS_IOU, 10, weighted)
    assert kept_scores.tolist() == pytest.approx([0.9]) and kept.shape == (1, 5)
    expected = (coords * scores[:, None]).sum(0) / scores.sum() if weighted else coords[0]
    torch.testing.assert_close(kept[0], expected)


def test_a_sparse_three_by_three_kernel_unpacks_in_traversal_order():
    # One output, 3 x 3 taps, one input channel (O H W I), stored column by column:
    # levels O (dense), W (dense), H (sparse, the taps present), I (dense).
    kernel = np.array([[1, 0, 2], [0, 0, 3], [4, 0, 0]], np.float32)
    segments, indices = [0, 2, 2, 4], [0, 2, 0, 1]   # column 0: rows 0, 2; 1: none; 2: rows 0, 1
    values = np.array([1, 4, 2, 3], np.float32)
    dense = densify(values, [0, 2, 1, 3], [], [1, 3, (segments, indices), 1], (1, 3, 3, 1))
    np.testing.assert_array_equal(dense[0, :, :, 0], kernel)
