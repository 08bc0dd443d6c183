"""Fast guided filter (He, Sun and Tang; He and Sun 2015) with a colour guide.

Everything here runs in float32 whatever the caller's precision: the box means
of products such as I*I lose too much in float16.  All functions are
TorchScript-compatible and create no tensors of their own, so they follow the
device of their inputs.
"""

from typing import Tuple

import torch
import torch.nn.functional as F

from .layers import resize_bilinear


def box_mean(x: torch.Tensor, r: int) -> torch.Tensor:
    """Mean over the (2r+1) x (2r+1) window around each pixel, cut off at the borders.

    A clipped window's count is the product of its row and column counts, so
    the two separable passes give the exact clipped mean.
    """
    if r <= 0:
        return x
    k = 2 * r + 1
    x = F.avg_pool2d(x, [k, 1], [1, 1], [r, 0], False, False)
    return F.avg_pool2d(x, [1, k], [1, 1], [0, r], False, False)


def guided_coefficients(guide: torch.Tensor, src: torch.Tensor, r: int, eps: float) -> Tuple[torch.Tensor, torch.Tensor]:
    """Box-averaged coefficients (A, b) of the local model src ~ A . guide + b.

    guide: (N, 3, H, W), src: (N, 1, H, W), both float32.  Returns A (N, 3, H, W)
    and b (N, 1, H, W).
    """
    mean_i = box_mean(guide, r)
    mean_p = box_mean(src, r)
    cov_ip = box_mean(guide * src, r) - mean_i * mean_p

    r_, g_, b_ = guide[:, 0:1], guide[:, 1:2], guide[:, 2:3]
    products = torch.cat([r_ * r_, r_ * g_, r_ * b_, g_ * g_, g_ * b_, b_ * b_], 1)
    m = box_mean(products, r)
    mr, mg, mb = mean_i[:, 0:1], mean_i[:, 1:2], mean_i[:, 2:3]
    s_rr = m[:, 0:1] - mr * mr + eps
    s_rg = m[:, 1:2] - mr * mg
    s_rb = m[:, 2:3] - mr * mb
    s_gg = m[:, 3:4] - mg * mg + eps
    s_gb = m[:, 4:5] - mg * mb
    s_bb = m[:, 5:6] - mb * mb + eps

    # Inverse of the symmetric 3x3 (Sigma + eps U) by cofactors.
    c_rr = s_gg * s_bb - s_gb * s_gb
    c_rg = s_gb * s_rb - s_rg * s_bb
    c_rb = s_rg * s_gb - s_gg * s_rb
    c_gg = s_rr * s_bb - s_rb * s_rb
    c_gb = s_rb * s_rg - s_rr * s_gb
    c_bb = s_rr * s_gg - s_rg * s_rg
    det = s_rr * c_rr + s_rg * c_rg + s_rb * c_rb

    cr, cg, cb = cov_ip[:, 0:1], cov_ip[:, 1:2], cov_ip[:, 2:3]
    a_r = (c_rr * cr + c_rg * cg + c_rb * cb) / det
    a_g = (c_rg * cr + c_gg * cg + c_gb * cb) / det
    a_b = (c_rb * cr + c_gb * cg + c_bb * cb) / det
    a = torch.cat([a_r, a_g, a_b], 1)
    b = mean_p - (a * mean_i).sum(1, keepdim=True)
    return box_mean(a, r), box_mean(b, r)


def fast_guided_filter(guide: torch.Tensor, src_low: torch.Tensor, low_h: int, low_w: int,
                       r: int, eps: float) -> torch.Tensor:
    """Filter ``src_low`` (given at low_h x low_w) guided by the full-size ``guide``.

    The coefficients are solved at low_h x low_w (radius r there), brought up
    bilinearly and applied to the full-resolution guide, so the output's
    edges follow the guide at its own resolution.
    """
    h = guide.shape[2]
    w = guide.shape[3]
    if low_h != h or low_w != w:
        guide_low = resize_bilinear(guide, [low_h, low_w], False, True)
    else:
        guide_low = guide
    if src_low.shape[2] != low_h or src_low.shape[3] != low_w:
        src_low = resize_bilinear(src_low, [low_h, low_w])
    a, b = guided_coefficients(guide_low, src_low, r, eps)
    if low_h != h or low_w != w:
        a = resize_bilinear(a, [h, w])
        b = resize_bilinear(b, [h, w])
    return (a * guide).sum(1, keepdim=True) + b
