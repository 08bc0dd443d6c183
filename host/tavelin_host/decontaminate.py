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
so the cost per pixel does not depend on the box size.

Box sizes follow the paper's reference setting: a value r in ``radii`` is the
side of an r x r box window (OpenCV ``ksize``).
"""

from __future__ import annotations

import cv2
import numpy as np

__all__ = ["estimate_foreground", "decontaminate_cutout"]

# Keeps the normalising divisions finite where a box holds no foreground
# (or no background) at all; small enough not to bias real averages.
_EPS = np.float32(1e-5)


def _box(src: np.ndarray, k: int, dst: np.ndarray | None = None) -> np.ndarray:
    # BORDER_REPLICATE keeps 1-pixel-wide images and boxes larger than the
    # image well defined (every sample is still a real pixel of the image).
    return cv2.blur(src, (k, k), dst=dst, borderType=cv2.BORDER_REPLICATE)


def estimate_foreground(image: np.ndarray, alpha: np.ndarray,
                        radii=(90, 6)) -> np.ndarray:
    """Estimate the foreground colour of ``image`` under the matte ``alpha``.

    image: H x W x 3 float (any range, usually [0, 1]); alpha: H x W in [0, 1]
    (values outside are clamped).  ``radii`` are the box sizes of the
    successive passes, widest first; each pass starts from the previous
    pass's F and B_blur.  Returns a new H x W x 3 float32 array in [0, 1];
    where alpha is 1 the result is the (clipped) input colour.
    """
    image = np.asarray(image)
    alpha = np.asarray(alpha)
    if image.ndim != 3 or image.shape[2] != 3:
        raise ValueError(f"image must be H x W x 3, got shape {image.shape}")
    if alpha.shape != image.shape[:2]:
        raise ValueError(
            f"alpha shape {alpha.shape} does not match image {image.shape[:2]}")
    radii = tuple(int(r) for r in radii)
    if not radii or min(radii) < 1:
        raise ValueError(f"radii must be positive box sizes, got {radii}")

    image = np.ascontiguousarray(image, dtype=np.float32)
    alpha = np.clip(alpha, 0.0, 1.0, dtype=np.float32)
    if image.size == 0:
        return np.clip(image, 0.0, 1.0)

    # Expanding the update,
    #   F = F_blur (1 - a^2) - B_blur a (1 - a) + a I
    #     = box(a F) * w_f  -  box((1 - a) B) * w_b  +  a I
    # with per-pixel weights w_f = (1 - a^2) / box(a), w_b = a (1 - a) / box(1 - a)
    # computed on single planes.  Where a = 1 both weights vanish and F = I.
    #
    # Three-channel work uses cv2 on equal shapes (broadcasting an H x W x 1
    # array over H x W x 3 is several times slower), and every buffer is
    # allocated once: fresh large arrays cost page faults on each use.
    sum_f = np.empty_like(image)                    # box(a F), then the new F
    sum_b = np.empty_like(image)                    # box((1 - a) B)
    work = np.empty_like(image)                     # (1 - a) B, then B_blur
    weights = np.empty_like(image)                  # scratch / per-pixel weights

    keep_f = np.multiply(alpha, alpha)
    keep_b = np.subtract(alpha, keep_f)             # a (1 - a)
    np.subtract(1.0, keep_f, out=keep_f)            # 1 - a^2
    blur_a = np.empty_like(alpha)
    plane = np.empty_like(alpha)

    def spread(src):                                # one plane -> weights
        return cv2.cvtColor(src, cv2.COLOR_GRAY2RGB, dst=weights)

    a_image = cv2.multiply(spread(alpha), image)    # a I, the same every pass

    for i, k in enumerate(radii):
        _box(alpha, k, dst=blur_a)

        if i == 0:                                  # F = B = I
            _box(a_image, k, dst=sum_f)
            cv2.subtract(image, a_image, dst=work)
        else:                                       # F in sum_f, B_blur in work
            cv2.multiply(spread(alpha), sum_f, dst=weights)
            _box(weights, k, dst=sum_f)
            np.subtract(1.0, alpha, out=plane)
            cv2.multiply(work, spread(plane), dst=work)
        _box(work, k, dst=sum_b)

        np.add(blur_a, _EPS, out=plane)             # box(a)
        np.divide(keep_f, plane, out=plane)
        cv2.multiply(sum_f, spread(plane), dst=sum_f)
        np.subtract(1.0 + _EPS, blur_a, out=blur_a)  # box(1 - a)
        if i < len(radii) - 1:                      # B_blur seeds the next pass
            np.reciprocal(blur_a, out=plane)
            cv2.multiply(sum_b, spread(plane), dst=work)
        np.divide(keep_b, blur_a, out=plane)
        cv2.multiply(sum_b, spread(plane), dst=sum_b)
        cv2.subtract(sum_f, sum_b, dst=sum_f)
        cv2.add(sum_f, a_image, dst=sum_f)
        np.clip(sum_f, 0.0, 1.0, out=sum_f)
    return sum_f


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

    # cvtColor does the channel shuffles in one fast pass each.
    work = rgba if dtype in (np.uint8, np.uint16, np.float32) \
        else rgba.astype(np.float32)
    work = np.ascontiguousarray(work)
    colour = cv2.cvtColor(work, cv2.COLOR_RGBA2RGB).astype(np.float32, copy=False)
    alpha = rgba[..., 3].astype(np.float32)
    if scale != 1.0:
        inv = np.float32(1.0 / scale)
        colour *= inv
        alpha *= inv

    fg = estimate_foreground(colour, alpha)

    if dtype == np.uint8:
        fg = cv2.convertScaleAbs(fg, alpha=255.0)   # fg >= 0: rounds to nearest
    elif dtype == np.uint16:
        fg *= np.float32(scale)
        fg += np.float32(0.5)                        # fg >= 0: floor(x + .5)
        fg = fg.astype(np.uint16)
    out = cv2.cvtColor(fg, cv2.COLOR_RGB2RGBA)
    if out.dtype != dtype:                           # float64 and the like
        out = out.astype(dtype)
    out[..., 3] = rgba[..., 3]
    return out
