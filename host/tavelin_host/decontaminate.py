"""Foreground colour estimation for cut-outs ("decontamination").

Along hair and other soft edges a cut-out's colour is the observed mix
I = a F + (1 - a) B, so it still carries the old background B.  This module
estimates the pure foreground colour F with the blur-fusion estimator of
Forte & Pitie ("Approximate Fast Foreground Colour Estimation", ICIP 2021):

    F_blur = box(a F) / box(a)          B_blur = box((1 - a) B) / box(1 - a)
    F      = F_blur + a (I - a F_blur - (1 - a) B_blur)

run twice, first with a wide box (90) to get reliable colour from far away,
then with a narrow one (6) seeded with the first pass's F and B_blur, which
restores local colour detail.  Every blur is OpenCV's constant-time box filter,
so the cost per pixel does not depend on the box size.  On large images the
wide pass runs on an image shrunk up to 8 times (its result is smooth at that
scale anyway), and the narrow pass then reuses that smooth B_blur directly;
both stay within a few thousandths of the full-resolution formula on average.

Real mattes are 0 or 1 almost everywhere.  Where alpha is 1 the estimate is
the image itself, and where a narrow box sees no alpha > 0 it is 0, so the
full-resolution work runs only on tiles near soft alpha (with a margin that
keeps every box sum as in the whole frame), and gives the same numbers.

Box sizes follow the paper's reference setting: a value k in ``box_sizes`` is
the side of a k x k box window (OpenCV ``ksize``).
"""

from __future__ import annotations

import cv2
import numpy as np

__all__ = ["estimate_foreground", "decontaminate_cutout"]

# Keeps the normalising divisions finite where a box holds no foreground
# (or no background) at all; small enough not to bias real averages.
_EPS = np.float32(1e-5)

# The two passes' box sizes, wide then narrow (the paper's reference setting).
BOX_SIZES = (90, 6)


def _box(src: np.ndarray, k, dst: np.ndarray | None = None) -> np.ndarray:
    # BORDER_REPLICATE keeps 1-pixel-wide images and boxes larger than the
    # image well defined (every sample is still a real pixel of the image).
    ksize = (k, k) if isinstance(k, int) else k
    return cv2.blur(src, ksize, dst=dst, borderType=cv2.BORDER_REPLICATE)


# A wide box is evaluated on an image shrunk by this factor (at most), so that
# the shrunk box still spans about _REDUCED_BOX cells.  Averages over 90 x 90
# windows hardly change when the window edges snap to 8-pixel cells, and the
# result is smooth, so bilinear upsampling loses next to nothing; the full
# resolution work is then one area-downsampling and one upsampling.
_MAX_REDUCTION = 8
_REDUCED_BOX = 11


def _reduction(k: int, h: int, w: int) -> int:
    """Shrink factor for a box of size k on an h x w image (1: full resolution).

    Only boxes several times wider than the shrink are worth it, and only
    when the box fits in the image (larger boxes on tiny images are cheap and
    dominated by the border rule, which shrinking would change).
    """
    s = min(k // _REDUCED_BOX, _MAX_REDUCTION)
    return s if s >= 4 and k <= min(h, w) else 1


def _reduced_ksize(k: int, s: int, h: int, w: int):
    lh, lw = _reduced_shape(s, h, w)
    # Odd sizes keep the shrunk box centred, like the full-size one.
    return (max(1, round(k * lw / w)) | 1, max(1, round(k * lh / h)) | 1)


def _reduced_shape(s: int, h: int, w: int):
    return max(1, round(h / s)), max(1, round(w / s))


def _foreground_planes(image: np.ndarray, alpha: np.ndarray, box_sizes) -> np.ndarray:
    """The estimator on colour planes, full-resolution work limited to the soft band.

    Same arguments and result as ``_foreground_whole``, to float rounding.
    """
    h, w = alpha.shape
    if len(box_sizes) == 2:
        s = _reduction(box_sizes[0], h, w)
        if s > 1 and _reduction(box_sizes[1], h, w) == 1 and box_sizes[1] <= s:
            return _foreground_banded(image, alpha, box_sizes[0], box_sizes[1], s)
    return _foreground_whole(image, alpha, box_sizes)


# Tiles of this side are classified as opaque, transparent or worth computing.
_TILE = 64
# Above this share of tiles to compute, the whole-frame computation is cheaper.
_MAX_BAND_SHARE = 0.6


def _tile_sums(mask: np.ndarray, t: int, m: int):
    """Per t x t tile, how many mask pixels are set in the tile grown by m."""
    h, w = mask.shape
    ii = cv2.integral(cv2.min(mask, 1), sdepth=cv2.CV_32S)
    ys = np.arange(0, h, t)
    xs = np.arange(0, w, t)
    y0 = np.maximum(ys - m, 0)[:, None]
    y1 = np.minimum(ys + t + m, h)[:, None]
    x0 = np.maximum(xs - m, 0)[None, :]
    x1 = np.minimum(xs + t + m, w)[None, :]
    return ii[y1, x1] - ii[y0, x1] - ii[y1, x0] + ii[y0, x0]


def _foreground_banded(image, alpha, k_wide, k, s):
    """Two passes, the narrow one (k <= s) run only on tiles near soft alpha.

    Where alpha is 1 the update reduces exactly to the (clipped) image, and
    where a narrow box holds no alpha > 0 at all, F_blur (the result at
    alpha 0) is 0.  Everything else, with a margin of the box radius so the
    box sums match the whole-frame ones, runs the usual formula on spans of
    neighbouring tiles.
    """
    parts = _banded_parts(image, alpha, k_wide, k, s)
    if parts is None:
        return _foreground_whole(image, alpha, (k_wide, k))
    clear, windows = parts
    out = np.clip(image, 0.0, 1.0)
    for y0, y1, x0, x1 in clear:
        out[:, y0:y1, x0:x1] = 0.0
    for (y0, y1, x0, x1), fg in windows:
        out[:, y0:y1, x0:x1] = fg
    return out


def _banded_parts(image, alpha, k_wide, k, s):
    """The banded computation in pieces, or None where the band is too wide.

    Returns the rectangles (y0, y1, x0, x1) whose result is 0, and an
    iterator of (rectangle, 3 x h x w estimate) for the soft band; the result
    is the clipped image everywhere else.
    """
    h, w = alpha.shape
    t, m = _TILE, k // 2 + 1
    opaque = _tile_sums(cv2.compare(alpha, 1.0, cv2.CMP_LT), t, 0) == 0
    empty = _tile_sums(cv2.compare(alpha, 0.0, cv2.CMP_GT), t, m) == 0
    work = ~(opaque | empty)
    if work.mean() > _MAX_BAND_SHARE:
        return None

    # Wide pass at 1/s scale, exactly as the whole-frame computation does it.
    lh, lw = _reduced_shape(s, h, w)

    def shrink(p):
        return cv2.resize(p, (lw, lh), interpolation=cv2.INTER_AREA)

    a_plane = np.empty((h, w), np.float32)             # a I, one colour at a time
    low_af = [shrink(cv2.multiply(p, alpha, dst=a_plane)) for p in image]
    del a_plane
    low_a = shrink(alpha)
    low_bb = [shrink(p) - q for p, q in zip(image, low_af)]
    ks = _reduced_ksize(k_wide, s, h, w)
    low_fw = _box(low_a, ks) + _EPS
    low_bw = (1.0 + _EPS) - _box(low_a, ks)
    low_f = [_box(q, ks) / low_fw for q in low_af]
    low_b = [_box(q, ks) / low_bw for q in low_bb]
    low = np.stack(low_f + low_b)
    if lh * s == h and lw * s == w:
        grow = _cropped_grow(low, s)
    else:            # the scale is not a whole number: grow the whole frame
        whole = np.empty((6, h, w), np.float32)
        for c in range(6):
            cv2.resize(low[c], (w, h), dst=whole[c], interpolation=cv2.INTER_LINEAR)

        def grow(win):
            return whole[(slice(None), *win)]

    def rectangles(flags):
        for ty, row in enumerate(flags):
            for tx0, tx1 in _runs(row):
                yield ty * t, min((ty + 1) * t, h), tx0 * t, min(tx1 * t, w)

    def windows():
        for y0, y1, x0, x1 in rectangles(work):
            gy0, gy1 = max(y0 - m, 0), min(y1 + m, h)
            gx0, gx1 = max(x0 - m, 0), min(x1 + m, w)
            win = (slice(gy0, gy1), slice(gx0, gx1))
            wide = grow(win)
            fg = _narrow_window(image[(slice(None), *win)], alpha[win],
                                wide[:3], wide[3:], k)
            yield (y0, y1, x0, x1), fg[:, y0 - gy0:y1 - gy0, x0 - gx0:x1 - gx0]

    return list(rectangles(empty)), windows()


def _cropped_grow(low, s):
    """Bilinear s-fold growth of the planes ``low``, one window at a time.

    With a whole-number scale every output pixel samples the same two cells
    with the same weights whether the whole frame or a crop (one cell wider
    than the window on each side) is grown, so windows match the whole frame.
    """
    lh, lw = low.shape[1:]

    def grow(win):
        (y0, y1), (x0, x1) = [(sl.start, sl.stop) for sl in win]
        cy0, cx0 = max(y0 // s - 1, 0), max(x0 // s - 1, 0)
        cy1, cx1 = min(-(-y1 // s) + 1, lh), min(-(-x1 // s) + 1, lw)
        size = ((cx1 - cx0) * s, (cy1 - cy0) * s)
        rows = slice(y0 - cy0 * s, y1 - cy0 * s)
        cols = slice(x0 - cx0 * s, x1 - cx0 * s)
        return np.stack([cv2.resize(p[cy0:cy1, cx0:cx1], size,
                                    interpolation=cv2.INTER_LINEAR)[rows, cols]
                         for p in low])

    return grow


def _runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    d = np.diff(np.concatenate(([0], flags.view(np.int8), [0])))
    return zip(np.flatnonzero(d == 1), np.flatnonzero(d == -1))


def _narrow_window(image, alpha, f_blur, b_blur, k):
    """Both updates on one window, in the whole-frame computation's order."""
    a_image = np.multiply(image, alpha)
    keep_f = np.multiply(alpha, alpha)
    keep_b = np.subtract(alpha, keep_f)
    np.subtract(1.0, keep_f, out=keep_f)
    g = np.multiply(b_blur, keep_b)
    np.subtract(a_image, g, out=g)
    fg = np.multiply(f_blur, keep_f)
    fg += g
    np.clip(fg, 0.0, 1.0, out=fg)
    sum_a = _box(np.ascontiguousarray(alpha), k)
    np.multiply(fg, alpha, out=fg)
    f2 = np.empty(fg.shape, np.float32)
    for c in range(3):
        _box(fg[c], k, dst=f2[c])
    f2 /= sum_a + _EPS
    f2 *= keep_f
    f2 += g
    np.clip(f2, 0.0, 1.0, out=f2)
    return f2


def _foreground_whole(image: np.ndarray, alpha: np.ndarray, box_sizes) -> np.ndarray:
    """The estimator on colour planes: image 3 x H x W, alpha H x W, float32.

    Returns 3 x H x W float32 in [0, 1].  Planes (rather than interleaved
    pixels) let NumPy apply per-pixel weights to all three colours with plain
    broadcasting at full speed, and feed OpenCV single-plane arrays.
    """
    h, w = alpha.shape
    shape = image.shape
    # Expanding the update,
    #   F = F_blur (1 - a^2) - B_blur a (1 - a) + a I  =  F_blur keep_f + g
    # with g = a I - B_blur keep_b.  Where a = 1 both weights vanish: F = I.
    a_image = np.multiply(image, alpha)                  # a I, every pass
    keep_f = np.multiply(alpha, alpha)
    keep_b = np.subtract(alpha, keep_f)                  # a (1 - a)
    np.subtract(1.0, keep_f, out=keep_f)                 # 1 - a^2
    not_a = None                                          # 1 - a, if needed

    # Few, reused buffers: every fresh full-size array costs page faults.
    fg = image                                            # current F
    bg = image                                            # current B
    smooth = 0            # > 0: bg is an upsampled 1/smooth-scale estimate
    f_blur = np.empty(shape, np.float32)                  # F_blur, then F
    scratch = np.empty(shape, np.float32)
    g = np.empty(shape, np.float32)
    for k in box_sizes:
        s = _reduction(k, h, w)
        if s > 1:
            lh, lw = _reduced_shape(s, h, w)

            def shrink(p):
                return cv2.resize(p, (lw, lh), interpolation=cv2.INTER_AREA)

            def grow(p, dst):
                return cv2.resize(p, (w, h), dst=dst, interpolation=cv2.INTER_LINEAR)

            low_a = shrink(alpha)
            if fg is image:
                low_af = [shrink(p) for p in a_image]
            else:
                np.multiply(fg, alpha, out=scratch)
                low_af = [shrink(p) for p in scratch]
            if bg is image:           # area means are linear: (1-a)I = I - aI
                low_bb = [shrink(p) - q for p, q in zip(image, low_af)]
            else:
                if not_a is None:
                    not_a = np.subtract(1.0, alpha)
                np.multiply(bg, not_a, out=scratch)
                low_bb = [shrink(p) for p in scratch]
            ks = _reduced_ksize(k, s, h, w)
            low_fw = _box(low_a, ks) + _EPS
            low_bw = (1.0 + _EPS) - _box(low_a, ks)
            b_blur = np.empty(shape, np.float32)
            for c in range(3):
                grow(_box(low_af[c], ks) / low_fw, f_blur[c])
                grow(_box(low_bb[c], ks) / low_bw, b_blur[c])
            smooth = s
        else:
            sum_a = _box(alpha, k)
            np.multiply(fg, alpha, out=scratch)           # fg is not needed after
            for c in range(3):
                _box(scratch[c], k, dst=f_blur[c])
            f_blur /= sum_a + _EPS
            if smooth and k <= smooth:
                # bg is linear across each s-pixel cell, so its weighted mean
                # over a box no wider than a cell is bg itself, to well
                # under 1/255 (see tests): skip three full-size blurs.
                b_blur = bg
            else:
                if not_a is None:
                    not_a = np.subtract(1.0, alpha)
                np.multiply(bg, not_a, out=scratch)
                b_blur = np.empty(shape, np.float32)
                for c in range(3):
                    _box(scratch[c], k, dst=b_blur[c])
                b_blur /= (1.0 + _EPS) - sum_a
            smooth = 0
        if b_blur is not bg or fg is image:               # else g is unchanged
            np.multiply(b_blur, keep_b, out=g)
            np.subtract(a_image, g, out=g)
        f_blur *= keep_f
        f_blur += g
        np.clip(f_blur, 0.0, 1.0, out=f_blur)
        bg = b_blur
        fg = f_blur
    return fg


def estimate_foreground(image: np.ndarray, alpha: np.ndarray,
                        box_sizes=BOX_SIZES) -> np.ndarray:
    """Estimate the foreground colour of ``image`` under the matte ``alpha``.

    image: H x W x 3 float (any range, usually [0, 1]); alpha: H x W in [0, 1]
    (values outside are clamped).  ``box_sizes`` are the sides of the boxes of
    the successive passes, widest first; each pass starts from the previous
    pass's F and B_blur.  Returns a new H x W x 3 float32 array in [0, 1];
    where alpha is 1 the result is the (clipped) input colour.
    """
    image, alpha, box_sizes = _checked(image, alpha, box_sizes)
    if image.size == 0:
        return np.clip(image, 0.0, 1.0).astype(np.float32)
    planes = np.ascontiguousarray(image.transpose(2, 0, 1), dtype=np.float32)
    alpha = np.clip(alpha, 0.0, 1.0, dtype=np.float32)
    fg = _foreground_planes(planes, alpha, box_sizes)
    return np.ascontiguousarray(fg.transpose(1, 2, 0))


def _checked(image, alpha, box_sizes):
    image = np.asarray(image)
    alpha = np.asarray(alpha)
    if image.ndim != 3 or image.shape[2] != 3:
        raise ValueError(f"image must be H x W x 3, got shape {image.shape}")
    if alpha.shape != image.shape[:2]:
        raise ValueError(
            f"alpha shape {alpha.shape} does not match image {image.shape[:2]}")
    box_sizes = tuple(int(k) for k in box_sizes)
    if not box_sizes or min(box_sizes) < 1:
        raise ValueError(f"box sizes must be positive, got {box_sizes}")
    return image, alpha, box_sizes


def decontaminate_cutout(rgba: np.ndarray) -> np.ndarray:
    """Replace a cut-out's colour by its estimated foreground colour.

    rgba: H x W x 4, uint8 / uint16 (full integer range) or float (0..1; colour
    may exceed 1 for high-dynamic-range input).  Returns a new array of the same
    shape and dtype: colour is the estimate, clipped to the valid range and
    rounded to nearest for integer types; alpha is copied bit for bit.
    """
    rgba = np.asarray(rgba)
    if rgba.ndim != 3 or rgba.shape[2] != 4:
        raise ValueError(f"cut-out must be H x W x 4 RGBA, got shape {rgba.shape}")
    dtype = rgba.dtype
    if dtype in (np.uint8, np.uint16):
        scale = float(np.iinfo(dtype).max)
    elif np.issubdtype(dtype, np.floating):
        scale = 1.0
    else:
        raise TypeError(f"unsupported cut-out dtype {dtype}")
    if rgba.size == 0:
        return rgba.copy()

    # One pass per plane converts, scales and de-interleaves; bytes are split
    # first (OpenCV's split beats strided reads of them; wider types gain nothing).
    inv = np.float32(1.0 / scale)
    planes = np.empty((4, *rgba.shape[:2]), np.float32)
    channels = cv2.split(rgba) if dtype == np.uint8 else [rgba[..., c] for c in range(4)]
    for c in range(4):
        np.multiply(channels[c], inv, out=planes[c], dtype=np.float32)
    alpha = planes[3]
    np.clip(alpha, 0.0, 1.0, out=alpha)
    if dtype in (np.uint8, np.uint16):
        parts = _banded_cutout_parts(planes[:3], alpha)
        if parts is not None:
            # Opaque tiles keep their colour exactly (the estimate there is the
            # image, which rounds back to the same integers): only the clear
            # tiles and the soft band are written.
            clear, windows = parts
            out = rgba.copy()
            for y0, y1, x0, x1 in clear:
                out[y0:y1, x0:x1, :3] = 0
            for (y0, y1, x0, x1), fg in windows:
                out[y0:y1, x0:x1, :3] = cv2.merge(_to_integers(fg, dtype, scale))
            return out
    fg = _foreground_planes(planes[:3], alpha, BOX_SIZES)
    colour = _to_integers(fg, dtype, scale) if dtype in (np.uint8, np.uint16) \
        else [p.astype(dtype, copy=False) for p in fg]
    # The original alpha plane goes back untouched (bit for bit).
    if dtype in (np.uint8, np.uint16, np.float32):
        return cv2.merge([*colour, np.ascontiguousarray(rgba[..., 3])])
    return np.dstack([*colour, rgba[..., 3]])


def _banded_cutout_parts(image, alpha):
    h, w = alpha.shape
    wide, narrow = BOX_SIZES
    s = _reduction(wide, h, w)
    return _banded_parts(image, alpha, wide, narrow, s) if s >= narrow else None


def _to_integers(fg, dtype, scale):
    """Colour planes in [0, 1] to rounded integers of the cut-out's type."""
    if dtype == np.uint8:
        return [cv2.convertScaleAbs(p, alpha=255.0) for p in fg]  # fg >= 0: rounds
    fg = fg * np.float32(scale)
    fg += np.float32(0.5)                            # fg >= 0: floor(x + .5)
    return [p.astype(np.uint16) for p in fg]
