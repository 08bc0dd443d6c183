"""Steadier mattes over time, for clips.

The network sees each frame on its own, so its matte wavers from frame to
frame (noise, compression) and a person can vanish for a single frame.  Two
remedies, both here in the host (the plug-in stays stateless):

- Where the picture did not change, each matte is blended with the previous
  (smoothed) one; the weight falls to zero as the local pixel change grows,
  so anything that moves is followed at once.
- A person present in the previous matte whose region has not changed in the
  picture but is (nearly) gone from the new matte is carried over for one
  frame; a second miss in a row is believed at once (no fading out).
- A person (nearly) absent from the previous matte is taken at once where the
  new matte has them: blended in, the flat parts of a face that returns after
  a miss stayed see-through for frames while its moving edges and eyes
  followed.

Change is measured on a reduced, blurred grey copy of each frame, so sensor
noise and compression grain do not count as motion.
"""
from __future__ import annotations

import numpy as np

from .images import to_float

WORK_SIDE = 320         # long side of the grey copy that motion is measured on
CHANGE_SCALE = 0.05     # grey change (0..1) at which the blend weight reaches zero
MAX_WEIGHT = 0.8        # weight of the previous matte where nothing changed
PERSON_LEVEL = 0.5      # matte value that counts as person
MIN_PERSON = 0.002      # smallest person, as a fraction of the reduced frame
MISS_FRACTION = 0.3     # a person whose matte shrank below this fraction of itself is a miss
STILL_CHANGE = 0.03     # mean grey change under which a person's region counts as unchanged


class MatteSmoother:
    """Feed frames in order with ``update``; each call returns the steadied matte."""

    def __init__(self) -> None:
        self._grey: np.ndarray | None = None
        self._matte: np.ndarray | None = None
        self._carried = False
        self.carried_frames = 0

    def update(self, frame: np.ndarray, matte: np.ndarray) -> np.ndarray:
        """``frame``: H x W x 3+ host samples; ``matte``: H x W float32 0..1. Returns H x W float32."""
        import cv2

        matte = np.asarray(matte, np.float32)
        grey = _reduced_grey(frame)
        previous, previous_grey = self._matte, self._grey
        self._grey = grey
        if previous is None or previous.shape != matte.shape or previous_grey.shape != grey.shape:
            self._matte = matte
            self._carried = False
            return matte

        change = cv2.absdiff(grey, previous_grey)
        # A pixel counts as moving when anything near it moved: edges move into still neighbours.
        change = cv2.dilate(change, np.ones((3, 3), np.uint8))
        weight_small = np.clip(1.0 - change / np.float32(CHANGE_SCALE), 0.0, 1.0)
        weight_small *= weight_small * np.float32(MAX_WEIGHT)

        height, width = matte.shape
        missed = self._missed_people(previous, matte, change)
        carried = missed is not None and not self._carried
        if carried:
            weight_small = np.maximum(weight_small, missed)
        elif missed is not None:
            weight_small *= 1.0 - missed  # a second miss in a row: the person has gone
        appeared = _people_missing(matte, previous, change.shape[::-1])
        if appeared is not None:
            weight_small *= 1.0 - appeared
        weight = cv2.resize(weight_small, (width, height), interpolation=cv2.INTER_LINEAR)
        # matte + weight * (previous - matte), without full-size temporaries beyond one
        out = cv2.subtract(previous, matte)
        cv2.multiply(out, weight, dst=out)
        cv2.add(out, matte, dst=out)
        self._carried = carried
        self.carried_frames += int(self._carried)
        self._matte = out
        return out

    def _missed_people(self, previous: np.ndarray, matte: np.ndarray, change: np.ndarray) -> np.ndarray | None:
        """A 0/1 map (reduced size) over people of ``previous`` missing from ``matte``, or None."""
        return _people_missing(previous, matte, change.shape[::-1], change)


def _people_missing(before: np.ndarray, after: np.ndarray, small: tuple[int, int],
                    change: np.ndarray | None = None) -> np.ndarray | None:
    """A 0/1 map (size ``small``) over people of matte ``before`` (nearly) gone from matte ``after``, or None.

    With ``change``, only people whose region of the picture did not change count.
    """
    import cv2

    before = cv2.resize(before, small, interpolation=cv2.INTER_AREA) >= PERSON_LEVEL
    now = cv2.resize(after, small, interpolation=cv2.INTER_AREA) >= PERSON_LEVEL
    count, labels, stats, _ = cv2.connectedComponentsWithStats(before.astype(np.uint8), connectivity=8)
    carry = None
    min_area = MIN_PERSON * before.size
    for label in range(1, count):
        area = stats[label, cv2.CC_STAT_AREA]
        if area < min_area:
            continue
        region = labels == label
        if np.count_nonzero(now & region) >= MISS_FRACTION * area:
            continue
        if change is not None and float(change[region].mean()) > STILL_CHANGE:
            continue  # the picture changed there: the person may really have left
        if carry is None:
            carry = np.zeros(before.shape, np.float32)
        carry[region] = 1.0
    if carry is not None:
        carry = cv2.dilate(carry, np.ones((5, 5), np.uint8))  # the person's soft edge too
    return carry


def _reduced_grey(frame: np.ndarray) -> np.ndarray:
    import cv2

    rgb = np.asarray(frame)[:, :, :3]
    height, width = rgb.shape[:2]
    scale = min(1.0, WORK_SIDE / max(height, width))
    if scale < 1.0:
        size = (max(1, round(width * scale)), max(1, round(height * scale)))
        rgb = cv2.resize(rgb, size, interpolation=cv2.INTER_AREA)
    grey = cv2.cvtColor(np.ascontiguousarray(rgb), cv2.COLOR_RGB2GRAY)
    grey = to_float(grey) if grey.dtype != np.float32 else grey
    return cv2.GaussianBlur(grey, (5, 5), 0)


__all__ = ["MatteSmoother"]
