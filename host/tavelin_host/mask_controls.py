"""What users of background removers reach for after the network: a hard threshold,
specks dropped, only the largest person kept, the edge moved in or out, and feathered.

Applied to the rendered matte (a clip's after smoothing) before anything is made of it,
so cut-outs, mattes, composites and previews agree.  The matte is worked on as float
0..1 and given back in its own sample type.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .images import from_float, to_float

# Pixels of a region counted as person for its area (--min-area, --largest); the region
# itself reaches out to its faint edge, which goes with it.
SOLID = 0.5
FAINT = 0.02


@dataclass(frozen=True)
class MaskControls:
    threshold: float | None = None  # matte >= threshold: 1, else 0
    erode: int = 0                  # pixels the edge moves in
    dilate: int = 0                 # pixels the edge moves out
    feather: float = 0.0            # blur radius of the edge, pixels
    largest: bool = False           # keep only the largest region
    min_area: int = 0               # drop regions with fewer solid pixels

    def __bool__(self) -> bool:
        return (self.threshold is not None or self.erode > 0 or self.dilate > 0 or self.feather > 0
                or self.largest or self.min_area > 0)

    def apply(self, matte: np.ndarray) -> np.ndarray:
        """``matte`` (H x W, any host sample type) with the controls applied, in its own sample type."""
        import cv2

        values = np.nan_to_num(to_float(np.asarray(matte)), nan=0.0).astype(np.float32)
        if self.threshold is not None:
            values = (values >= self.threshold).astype(np.float32)
        if self.largest or self.min_area > 0:
            values = self._regions_kept(values)
        if self.erode > 0:
            values = cv2.erode(values, _disc(self.erode))
        if self.dilate > 0:
            values = cv2.dilate(values, _disc(self.dilate))
        if self.feather > 0:
            values = cv2.GaussianBlur(values, (0, 0), sigmaX=self.feather / 2, borderType=cv2.BORDER_REPLICATE)
        values = np.clip(values, 0.0, 1.0)
        return values if matte.dtype == np.float32 else from_float(values, matte.dtype)

    def _regions_kept(self, values: np.ndarray) -> np.ndarray:
        import cv2

        count, labels = cv2.connectedComponents((values > FAINT).astype(np.uint8), connectivity=8)
        if count <= 1:
            return values
        areas = np.bincount(labels[values >= SOLID], minlength=count)
        areas[0] = 0
        keep = areas >= max(self.min_area, 1)
        if self.largest and areas.max() > 0:
            keep &= areas == areas.max()
        keep[0] = False
        return np.where(keep[labels], values, np.float32(0.0))


def _disc(radius: int) -> np.ndarray:
    import cv2

    return cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * radius + 1, 2 * radius + 1))
