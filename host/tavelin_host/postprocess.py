"""The post-process step: from a render's result to the pixels of each output.

A cut-out's alpha is the matte times the input's own alpha (pixels already
transparent in the input stay so).  Decontamination (the cut-out's colour
replaced by the estimated foreground colour) runs here and nowhere else, and
previews are composed here: float images hold linear light, so their
previews are encoded for the screen (sRGB) while every other output keeps
the input's values.
"""
from __future__ import annotations

import numpy as np

from .images import HostImage, from_float, to_float

# A matte with no pixel at least this sure is taken as "no person in the picture":
# with the bundled network pictures of people reach 0.99 and more, pictures
# without anyone stay below 0.9.
PERSON_COVERAGE = 0.9

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
        cutout = with_input_alpha(result.pixels, image.pixels)
    elif preview:
        cutout = with_input_alpha(np.dstack([image.pixels[:, :, :3], result.pixels[:, :, :1]]), image.pixels)
    if decontaminate and cutout is not None:
        cutout = decontaminated(cutout)
    outputs = {output: cutout if output == "cutout" else result.pixels[:, :, 0]}
    if preview:
        linear = image.bit_depth == 32
        background = None
        if decontaminate:
            colour = to_float(image.pixels[:, :, :3])
            background = contrasting_colour(srgb_encoded(colour) if linear else colour, to_float(cutout)[:, :, 3])
        outputs["preview"] = preview_image(cutout, background=background, linear=linear)
    return outputs


def with_input_alpha(cutout: np.ndarray, source: np.ndarray) -> np.ndarray:
    """The cut-out with alpha = matte x the source's own alpha, when the source has one."""
    if source.ndim != 3 or source.shape[2] != 4:
        return cutout
    out = np.array(cutout)
    if out.dtype == np.uint8:  # rounded product of two 0..255 values
        product = out[:, :, 3].astype(np.uint32) * source[:, :, 3] + 128
        out[:, :, 3] = ((product + (product >> 8)) >> 8).astype(np.uint8)
    else:
        out[:, :, 3] *= to_float(source[:, :, 3])
    return out


def person_found(rendered: np.ndarray) -> bool:
    """Whether a render's matte (the alpha of a cut-out, or a grey matte) is sure of some pixel."""
    matte = rendered[:, :, 3] if rendered.shape[2] == 4 else rendered[:, :, 0]
    return bool(np.nanmax(to_float(matte), initial=0.0) >= PERSON_COVERAGE)


def srgb_encoded(linear: np.ndarray) -> np.ndarray:
    """Linear light 0..1 to sRGB-encoded values 0..1 (the standard piecewise curve)."""
    x = np.clip(linear, 0.0, 1.0)
    return np.where(x <= 0.0031308, x * 12.92, 1.055 * np.power(x, 1 / 2.4) - 0.055).astype(np.float32)


def srgb_decoded(encoded: np.ndarray) -> np.ndarray:
    x = np.clip(np.asarray(encoded, np.float32), 0.0, 1.0)
    return np.where(x <= 0.04045, x / 12.92, np.power((x + 0.055) / 1.055, 2.4)).astype(np.float32)


def decontaminated(rgba: np.ndarray) -> np.ndarray:
    """A cut-out with estimated foreground colour (alpha unchanged), in the host's sample type."""
    from .decontaminate import decontaminate_cutout

    pixels = np.array(rgba)  # writable copy: the record's own samples are read-only
    # A NaN or infinite sample would spread through every box average to the whole
    # picture: such pixels are left out of the estimate and keep their own values.
    broken = None
    if pixels.dtype.kind == "f":
        broken = ~np.isfinite(pixels).all(axis=2)
        if broken.any():
            pixels[broken] = 0
        else:
            broken = None
    out = np.asarray(decontaminate_cutout(pixels))
    if out.shape != pixels.shape:
        raise RuntimeError(f"decontamination returned shape {out.shape} for {pixels.shape}")
    if out.dtype != pixels.dtype:
        out = from_float(to_float(out), pixels.dtype)
    if broken is not None:
        out = np.array(out)
        out[broken] = np.asarray(rgba)[broken]
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


def preview_image(cutout: np.ndarray, *, background: np.ndarray | None = None, linear: bool = False) -> np.ndarray:
    """The cut-out composited over a checkerboard (or a solid colour, given as the
    screen shows it), as 8-bit RGB.  ``linear``: the cut-out holds linear light;
    it is composited as such and the result encoded for the screen."""
    values = np.clip(to_float(np.asarray(cutout)), 0.0, 1.0)
    colour, alpha = values[:, :, :3], values[:, :, 3:4]
    height, width = values.shape[:2]
    if background is None:
        back = checkerboard(height, width)
    else:
        back = np.broadcast_to(np.asarray(background, np.float32).reshape(1, 1, 3), (height, width, 3))
    if linear:
        return from_float(srgb_encoded(colour * alpha + srgb_decoded(back) * (1.0 - alpha)), np.uint8)
    return from_float(colour * alpha + back * (1.0 - alpha), np.uint8)
