"""Compositing a cut-out over a solid colour or a picture (``--background``).

One background serves a whole run: stills and every frame of a clip.  The
plate (the background at an output's size and sample type) is built once
per size and kept.  Compositing happens at the image's own bit depth: 8-bit
cut-outs blend in uint8, 16-bit and float cut-outs in float32, so float
colours above 1 survive.
"""
from __future__ import annotations

from pathlib import Path

import numpy as np

from .images import HostImage, from_float, host_dtype, to_float

COLOUR_NAMES = {
    "white": (255, 255, 255),
    "black": (0, 0, 0),
    "grey": (128, 128, 128),
    "gray": (128, 128, 128),
    "red": (255, 0, 0),
    "green": (0, 255, 0),
    "blue": (0, 0, 255),
}
# File types a composite keeps from its input (no alpha needed, so JPEG is fine).
HEX_DIGITS = frozenset("0123456789abcdef")


class BackgroundError(ValueError):
    """Neither a colour nor a readable image."""


def parse_colour(text: str) -> np.ndarray | None:
    """``#rrggbb``, ``#rgb`` or a colour name as float32 RGB 0..1; None when ``text`` is no colour."""
    value = text.strip().lower()
    if value in COLOUR_NAMES:
        return np.array(COLOUR_NAMES[value], np.float32) / np.float32(255)
    if value.startswith("#") and len(value) in (4, 7):
        digits = value[1:]
        # int() alone would take signs, spaces and non-ASCII digits ('#-1-1-1', '# 1 2 3')
        if not all(c in HEX_DIGITS for c in digits):
            raise BackgroundError(f"{text!r} is not a colour (#rrggbb)")
        if len(digits) == 3:
            digits = "".join(c * 2 for c in digits)
        rgb = [int(digits[i:i + 2], 16) for i in (0, 2, 4)]
        return np.array(rgb, np.float32) / np.float32(255)
    if value.startswith("#"):
        raise BackgroundError(f"{text!r} is not a colour (#rrggbb)")
    return None


class Background:
    """A solid colour or a picture, fitted to each image by cover-crop."""

    def __init__(self, colour: np.ndarray | None = None, picture: HostImage | None = None, name: str = ""):
        if (colour is None) == (picture is None):
            raise ValueError("a background is a colour or a picture")
        self.colour = colour
        self.picture = picture
        self.name = name
        self._plates: dict[tuple[int, int, str], np.ndarray] = {}

    @classmethod
    def parse(cls, text: str) -> "Background":
        """A colour (``#rrggbb``, ``white``...) or the path of an image file."""
        colour = parse_colour(text)
        if colour is not None:
            return cls(colour=colour, name=text)
        path = Path(text)
        if not path.is_file():
            raise BackgroundError(f"{text!r} is neither a colour (#rrggbb, white, ...) nor an image file")
        from .decoding import ImageReadError, read_image

        try:
            picture = read_image(path)
        except ImageReadError as exc:
            raise BackgroundError(f"{text}: cannot read image: {exc}") from None
        return cls(picture=picture, name=path.name)

    def plate(self, height: int, width: int, dtype: np.dtype) -> np.ndarray:
        """The background at ``height`` x ``width`` as RGB samples of ``dtype`` (cached per size)."""
        dtype = np.dtype(dtype)
        key = (height, width, dtype.str)
        plate = self._plates.get(key)
        if plate is None:
            if self.colour is not None:
                values = np.broadcast_to(self.colour.reshape(1, 1, 3), (height, width, 3))
            else:
                values = cover_crop(self.picture.as_float()[:, :, :3], height, width)
            plate = np.ascontiguousarray(from_float(values, dtype))
            plate.flags.writeable = False
            self._plates[key] = plate
        return plate

    def composite(self, cutout: np.ndarray, bit_depth: int) -> np.ndarray:
        """RGB host samples: ``cutout`` (RGBA host samples, straight alpha) over this background."""
        import cv2

        cutout = np.asarray(cutout)
        height, width = cutout.shape[:2]
        dtype = host_dtype(bit_depth)
        if cutout.dtype != dtype:
            cutout = from_float(to_float(cutout), dtype)
        colour = np.ascontiguousarray(cutout[:, :, :3])
        plate = self.plate(height, width, dtype)
        if dtype == np.uint8:
            weight = to_float(cutout[:, :, 3])
            # blendLinear rounds to uint8 itself (its weights sum to 1 here)
            return cv2.blendLinear(colour, plate, weight, np.float32(1.0) - weight)
        alpha = np.clip(cutout[:, :, 3:4], 0.0, 1.0)
        return plate + alpha * (colour - plate)  # float colour above 1 stays


def cover_crop(values: np.ndarray, height: int, width: int) -> np.ndarray:
    """``values`` (H x W x 3 float32) scaled to cover ``height`` x ``width``, the middle kept.

    The middle is cut from the source first and only that part is scaled: scaling the
    whole picture first would cost the full scaled size (a 1 x 1000 strip covering a
    1000 x 1 picture would become 1000 x 10^6).
    """
    import cv2

    src_h, src_w = values.shape[:2]
    scale = max(width / src_w, height / src_h)
    crop_w = min(src_w, max(1, round(width / scale)))
    crop_h = min(src_h, max(1, round(height / scale)))
    top, left = (src_h - crop_h) // 2, (src_w - crop_w) // 2
    middle = np.ascontiguousarray(values[top:top + crop_h, left:left + crop_w])
    shrinking = crop_w > width
    return cv2.resize(middle, (width, height), interpolation=cv2.INTER_AREA if shrinking else cv2.INTER_LINEAR)


__all__ = ["Background", "BackgroundError", "cover_crop", "parse_colour"]
