"""Fast guided filter (He, Sun and Tang; He and Sun 2015) with a colour guide.

Everything here runs in float32 whatever the caller's precision: the box means
of products such as I*I lose too much in float16.  All functions are
TorchScript-compatible and create tensors only from their inputs, so they
follow the device of their inputs.

The filter's cost is in two places: the coefficients, solved on a grid of at
most a few hundred pixels a side, and their application at the guide's own
resolution.  The first is kept to a few dozen operations on stacked channels
(one box pass for all the statistics, the 3 x 3 inverse with channel rolls);
the second runs in strips of rows, so a full-size image never needs more than
a strip's worth of coefficients at a time.
"""

from typing import Tuple

import torch

from .layers import resize_bilinear

def _box_sum_along(x: torch.Tensor, r: int, dim: int, out: torch.Tensor) -> torch.Tensor:
    """Sum over the 2r+1 neighbours along ``dim``, the window clipped at the borders, into ``out``."""
    n = x.shape[dim]
    out.copy_(x)
    for d in range(1, min(r, n - 1) + 1):
        out.narrow(dim, d, n - d).add_(x.narrow(dim, 0, n - d))
        out.narrow(dim, 0, n - d).add_(x.narrow(dim, d, n - d))
    return out


def _to_mean_along(s: torch.Tensor, r: int, dim: int) -> torch.Tensor:
    """Box sums along ``dim`` to means, in place."""
    n = s.shape[dim]
    k = 2 * r + 1
    s.mul_(1.0 / float(k))
    # The first and last r rows (or columns) have windows cut off by a border:
    # they count fewer pixels.
    head = min(r, n)
    for i in list(range(head)) + list(range(max(n - r, head), n)):
        count = min(i + r, n - 1) - max(i - r, 0) + 1
        s.narrow(dim, i, 1).mul_(float(k) / float(count))
    return s


def box_mean_(x: torch.Tensor, r: int) -> torch.Tensor:
    """box_mean in place: ``x`` is overwritten by its box mean (one temporary of its size)."""
    if r <= 0:
        return x
    rows = _to_mean_along(_box_sum_along(x, r, 2, torch.empty_like(x)), r, 2)
    return _to_mean_along(_box_sum_along(rows, r, 3, x), r, 3)


def box_mean(x: torch.Tensor, r: int) -> torch.Tensor:
    """Mean over the (2r+1) x (2r+1) window around each pixel, cut off at the borders.

    A clipped window's count is the product of its row and column counts, so
    the two separable passes give the exact clipped mean.
    """
    if r <= 0:
        return x
    return box_mean_(x.clone(), r)


def guided_coefficients(guide: torch.Tensor, src: torch.Tensor, r: int, eps: float) -> Tuple[torch.Tensor, torch.Tensor]:
    """Box-averaged coefficients (A, b) of the local model src ~ A . guide + b.

    guide: (N, 3, H, W), src: (N, 1, H, W), both float32.  Returns A (N, 3, H, W)
    and b (N, 1, H, W).

    Channel triples are kept together: ``d`` holds the variances (rr, gg, bb)
    and ``o`` the covariances (rg, gb, br), so rolling a triple by one or two
    channels lines up the terms of the 3 x 3 cofactors.  Results are built in
    place where they can be: at a 512 x 512 grid each fresh full-grid tensor
    costs about as much in page faults as in arithmetic.
    """
    stats = torch.cat([guide, src, guide, guide, guide], 1)
    stats[:, 4:7].mul_(src)
    stats[:, 7:10].mul_(guide)
    stats[:, 10:13].mul_(guide.roll(-1, 1))  # (r, g, b) * (g, b, r)
    stats = box_mean_(stats, r)
    mean_i = stats[:, 0:3]
    mean_p = stats[:, 3:4]
    cov_ip = torch.addcmul(stats[:, 4:7], mean_i, mean_p, value=-1.0)
    d = torch.addcmul(stats[:, 7:10], mean_i, mean_i, value=-1.0).add_(eps)
    o = torch.addcmul(stats[:, 10:13], mean_i, mean_i.roll(-1, 1), value=-1.0)

    # Inverse of the symmetric 3x3 (Sigma + eps U) by cofactors.
    d2 = d.roll(-2, 1)
    o1 = o.roll(-1, 1)
    c_diag = torch.mul(d.roll(-1, 1), d2).addcmul_(o1, o1, value=-1.0)  # c_rr, c_gg, c_bb
    c_off = torch.mul(o1, o.roll(-2, 1)).addcmul_(o, d2, value=-1.0)  # c_rg, c_gb, c_br
    det = torch.mul(d[:, 0:1], c_diag[:, 0:1]).addcmul_(o[:, 0:1], c_off[:, 0:1]).addcmul_(o[:, 2:3], c_off[:, 2:3])
    ab = torch.cat([cov_ip, mean_p], 1)
    a = ab[:, 0:3]
    # a = C cov_ip / det, written over cov_ip's copy in ``ab``; then b beside it.
    a.mul_(c_diag).addcmul_(c_off, cov_ip.roll(-1, 1)).addcmul_(c_off.roll(1, 1), cov_ip.roll(1, 1)).div_(det)
    ab[:, 3:4].sub_((a * mean_i).sum(1, keepdim=True))
    ab = box_mean_(ab, r)
    return ab[:, 0:3], ab[:, 3:4]


def apply_coefficients(ab: torch.Tensor, guide: torch.Tensor, strip_pixels: int = 262144) -> torch.Tensor:
    """sum_c A_c * guide_c + b at the guide's resolution, as (H, W, 1) float32.

    ``ab`` is (1, 4, h, w), A in channels 0-2 and b in channel 3, at any grid
    size: it is brought up bilinearly (half-pixel centres) to ``guide``'s
    (1, 3, H, W), which may be any strided view (an H x W x 3 image
    permuted, say).  Rows are done in strips, the coefficients brought up
    along the height once for all and along the width strip by strip.
    The default strip of 2^18 pixels keeps a strip's temporaries to a few
    megabytes and is large enough that the per-strip overhead is lost in the
    arithmetic.
    """
    h = guide.shape[2]
    w = guide.shape[3]
    same_size = ab.shape[2] == h and ab.shape[3] == w
    if not same_size:
        ab = resize_bilinear(ab, [h, ab.shape[3]])
    rows = max(1, strip_pixels // w)
    if h <= rows:
        return _apply_strip(ab, guide, same_size).permute(1, 2, 0)
    out = torch.empty_like(guide[0, 0:1], dtype=torch.float32).permute(1, 2, 0)
    for y0 in range(0, h, rows):
        y1 = min(h, y0 + rows)
        out[y0:y1] = _apply_strip(ab[:, :, y0:y1], guide[:, :, y0:y1], same_size).permute(1, 2, 0)
    return out


def _apply_strip(ab: torch.Tensor, guide: torch.Tensor, same_size: bool) -> torch.Tensor:
    """One strip of apply_coefficients, as (1, rows, W); ``ab`` already at the strip's height."""
    if not same_size:
        # Along the width only: the linear kernel on rows is a third faster than the
        # bilinear one with an identity height, and gives the same values.
        c = ab.shape[1]
        rows = ab.shape[2]
        ab = torch._C._nn.upsample_linear1d(ab.reshape(1, c * rows, ab.shape[3]), [guide.shape[3]], False, None)
        ab = ab.view(1, c, rows, guide.shape[3])
    g = guide.float()
    s = torch.addcmul(ab[:, 3:4], ab[:, 0:1], g[:, 0:1])
    return s.addcmul_(ab[:, 1:2], g[:, 1:2]).addcmul_(ab[:, 2:3], g[:, 2:3])[0]


def fast_guided_filter(guide: torch.Tensor, src_low: torch.Tensor, low_h: int, low_w: int,
                       r: int, eps: float) -> torch.Tensor:
    """Filter ``src_low`` (given at low_h x low_w) guided by the full-size ``guide``.

    The coefficients are solved at low_h x low_w (radius r there), brought up
    bilinearly and applied to the full-resolution guide, so the output's
    edges follow the guide at its own resolution.  Returns (1, 1, H, W).
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
    return apply_coefficients(torch.cat([a, b], 1), guide).permute(2, 0, 1).unsqueeze(0)
