"""Fine alpha on request (``--alpha-matting``): the network's matte refined in a band around
its edge by closed-form matting (pymatting), for hair and other soft edges.

The band (``band`` pixels each side of the edge, where the matte is neither sure
person nor sure background) is the trimap's unknown region; sure pixels keep their
value.  The solver works on the band's bounding box only, in float64 0..1 (float
images clipped to that range for the solve); its alpha replaces the matte in the band.
"""
from __future__ import annotations

import numpy as np

from .images import from_float, to_float

DEFAULT_BAND = 10
SURE = 0.95  # matte at least this (or at most 1 - this) is taken as known before the band is cut


def refine(image: np.ndarray, matte: np.ndarray, band: int = DEFAULT_BAND) -> np.ndarray:
    """``matte`` (H x W, any host sample type) refined against ``image`` (H x W x 3 or 4), in
    the matte's own sample type."""
    import cv2
    from pymatting import estimate_alpha_cf

    values = np.clip(np.nan_to_num(to_float(np.asarray(matte))), 0.0, 1.0).astype(np.float32)
    disc = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * band + 1, 2 * band + 1))
    person = cv2.erode((values >= SURE).astype(np.uint8), disc).astype(bool)
    background = cv2.erode((values <= 1.0 - SURE).astype(np.uint8), disc).astype(bool)
    unknown = ~(person | background)
    if not unknown.any() or not person.any():
        return matte  # nothing to refine: no edge, or no person
    rows, cols = np.nonzero(unknown)
    top, bottom = max(rows.min() - 1, 0), min(rows.max() + 2, values.shape[0])
    left, right = max(cols.min() - 1, 0), min(cols.max() + 2, values.shape[1])
    crop = (slice(top, bottom), slice(left, right))
    colour = np.clip(np.nan_to_num(to_float(np.asarray(image)[crop][:, :, :3])), 0.0, 1.0).astype(np.float64)
    trimap = np.full(unknown[crop].shape, 0.5)
    trimap[person[crop]] = 1.0
    trimap[background[crop]] = 0.0
    alpha = estimate_alpha_cf(colour, trimap)
    refined = values.copy()
    refined[crop] = np.where(unknown[crop], np.clip(alpha, 0.0, 1.0), values[crop])
    return refined if matte.dtype == np.float32 else from_float(refined, matte.dtype)
