"""The post-process step: from a render's result to the pixels of each output.

Decontamination (the cut-out's colour replaced by the estimated foreground
colour) runs here and nowhere else, and previews are composed here.
"""
from __future__ import annotations

import numpy as np

from .images import HostImage, from_float, to_float

# Background colours for decontaminated previews: the one farthest from the
# photo's own background is used, so leftover fringes stand out.
CONTRAST_COLOURS = np.array(
    [[1.0, 0.0, 1.0], [0.0, 1.0, 0.0], [0.0, 0.35, 1.0], [1.0, 0.5, 0.0], [1.0, 1.0, 1.0], [0.0, 0.0, 0.0]],
    dtype=np.float32,
)


def finish(image: HostImage, result: HostImage, output: str, *, decontaminate: bool = False,
           preview: bool = False) -> dict[str, np.ndarray]:
    """The samples of each output kind from the render of ``image``: ``output``
    ("cutout": RGBA, "matte": one grey plane) and, with ``preview``, "preview"
    (8-bit RGB). ``decontaminate`` changes the cut-out's colour, and so previews."""
    cutout = None
    if output == "cutout":
        cutout = result.pixels
    elif preview:
        cutout = np.dstack([image.pixels[:, :, :3], result.pixels[:, :, :1]])
    if decontaminate and cutout is not None:
        cutout = decontaminated(cutout)
    outputs = {output: cutout if output == "cutout" else result.pixels[:, :, 0]}
    if preview:
        background = None
        if decontaminate:
            background = contrasting_colour(to_float(image.pixels[:, :, :3]), to_float(cutout)[:, :, 3])
        outputs["preview"] = preview_image(cutout, background=background)
    return outputs


def decontaminated(rgba: np.ndarray) -> np.ndarray:
    """A cut-out with estimated foreground colour (alpha unchanged), in the host's sample type."""
    from .decontaminate import decontaminate_cutout

    pixels = np.array(rgba)  # writable copy: the record's own samples are read-only
    out = np.asarray(decontaminate_cutout(pixels))
    if out.shape != pixels.shape:
        raise RuntimeError(f"decontamination returned shape {out.shape} for {pixels.shape}")
    if out.dtype != pixels.dtype:
        out = from_float(to_float(out), pixels.dtype)
    return out


def checkerboard(height: int, width: int, square: int | None = None) -> np.ndarray:
    """Light grey and white squares, float32 H x W x 3."""
    square = square or max(8, min(height, width) // 24)
    rows = (np.arange(height) // square)[:, None]
    cols = (np.arange(width) // square)[None, :]
    board = np.where((rows + cols) % 2 == 0, 1.0, 0.8).astype(np.float32)
    return np.repeat(board[:, :, None], 3, axis=2)


def contrasting_colour(rgb: np.ndarray, alpha: np.ndarray) -> np.ndarray:
    """The palette colour farthest from the alpha-weighted mean background colour of ``rgb``."""
    weight = np.clip(1.0 - alpha, 0.0, 1.0)
    total = float(weight.sum())
    if total < 1e-6:
        mean = rgb.reshape(-1, 3).mean(axis=0)
    else:
        mean = (rgb * weight[:, :, None]).reshape(-1, 3).sum(axis=0) / total
    distances = np.linalg.norm(CONTRAST_COLOURS - mean[None, :], axis=1)
    return CONTRAST_COLOURS[int(np.argmax(distances))]


def preview_image(cutout: np.ndarray, *, background: np.ndarray | None = None) -> np.ndarray:
    """The cut-out composited over a checkerboard (or a solid colour), as 8-bit RGB."""
    values = np.clip(to_float(np.asarray(cutout)), 0.0, 1.0)
    colour, alpha = values[:, :, :3], values[:, :, 3:4]
    height, width = values.shape[:2]
    if background is None:
        back = checkerboard(height, width)
    else:
        back = np.broadcast_to(np.asarray(background, np.float32).reshape(1, 1, 3), (height, width, 3))
    return from_float(colour * alpha + back * (1.0 - alpha), np.uint8)
