"""How steady and how prompt a sequence of mattes is: the measures the clip tests and the
clip benchmark judge the host's smoothing by."""
from __future__ import annotations

import numpy as np


def matte_flicker(mattes: list[np.ndarray], region: np.ndarray | None = None) -> float:
    """Mean absolute frame-to-frame change of a sequence of mattes (inside ``region`` when given)."""
    total, count = 0.0, 0
    for before, after in zip(mattes, mattes[1:]):
        diff = np.abs(after.astype(np.float32) - before.astype(np.float32))
        if region is not None:
            diff = diff[region]
        total += float(diff.sum())
        count += diff.size
    return total / max(count, 1)


def matte_lag(mattes: list[np.ndarray], reference: list[np.ndarray]) -> float:
    """How many frames ``mattes`` trail ``reference`` (a sequence that follows the motion).

    A matte that lags by a fraction L of a frame looks like
    ``(1 - L) * reference[t] + L * reference[t - 1]``; L is fitted by least
    squares over the whole sequence.
    """
    numerator = denominator = 0.0
    for t in range(1, len(mattes)):
        step = reference[t - 1].astype(np.float32) - reference[t].astype(np.float32)
        error = mattes[t].astype(np.float32) - reference[t].astype(np.float32)
        numerator += float((error * step).sum())
        denominator += float((step * step).sum())
    return numerator / denominator if denominator > 0 else 0.0
