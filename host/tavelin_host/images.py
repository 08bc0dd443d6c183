"""The host's image record and the ImageTools object handed to the plug-in.

A host image keeps its pixels in the form the plug-in expects from
``image_to_np``: RGB or RGBA, ``uint8`` 0..255 when the bit depth is 8,
``float32`` nominally in [0, 1] otherwise (32-bit float may exceed 1).
"""
from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, replace
from typing import Any, Iterator

import numpy as np

BIT_DEPTHS = (8, 16, 32)


def _check_bit_depth(bit_depth: Any) -> int:
    try:
        depth = int(bit_depth)
    except (TypeError, ValueError):
        raise ValueError(f"bit depth must be one of {BIT_DEPTHS}, got {bit_depth!r}") from None
    if depth != bit_depth or depth not in BIT_DEPTHS:
        raise ValueError(f"bit depth must be one of {BIT_DEPTHS}, got {bit_depth!r}")
    return depth


def to_float(array: np.ndarray) -> np.ndarray:
    """Samples of any supported type as float32, 0..1 for integer types."""
    if array.dtype == np.uint8:
        return array.astype(np.float32) / np.float32(255.0)
    if array.dtype == np.uint16:
        return array.astype(np.float32) / np.float32(65535.0)
    if np.issubdtype(array.dtype, np.floating):
        return array.astype(np.float32, copy=False)
    raise TypeError(f"unsupported sample type {array.dtype}")


def from_float(array: np.ndarray, dtype: Any) -> np.ndarray:
    """float samples in [0, 1] to ``dtype`` (uint8, uint16 or float32), rounding and clipping integers."""
    dtype = np.dtype(dtype)
    if dtype == np.float32:
        return array.astype(np.float32, copy=False)
    top = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 65535.0}.get(dtype)
    if top is None:
        raise TypeError(f"unsupported sample type {dtype}")
    scaled = np.nan_to_num(array.astype(np.float32, copy=False), nan=0.0) * np.float32(top)
    return np.clip(np.rint(scaled), 0, top).astype(dtype)


@dataclass(frozen=True)
class ImageInfo:
    """What an image file says about its pixels besides the samples; outputs carry it on.

    ``icc_profile``: the embedded colour profile; ``dpi``: (horizontal, vertical)
    pixels per inch; ``exif``: the EXIF block (TIFF structure, without the JPEG
    "Exif" prefix), its orientation already set to normal because the pixels
    were turned on reading; ``frames``: pages or frames in the file, of which
    only the first is read; ``notes``: what of the file could not be read, a
    line each for the user; ``half``: the file stored half floats.
    """

    icc_profile: bytes | None = None
    dpi: tuple[float, float] | None = None
    exif: bytes | None = None
    frames: int = 1
    notes: tuple[str, ...] = ()
    half: bool = False  # an OpenEXR file of half floats: its float outputs are written as half again

    def without_profile(self) -> "ImageInfo":
        return replace(self, icc_profile=None)


NO_INFO = ImageInfo()


def host_dtype(bit_depth: int) -> np.dtype:
    return np.dtype(np.uint8) if bit_depth == 8 else np.dtype(np.float32)


class HostImage(Mapping):
    """An image record as the host hands it around: a read-only mapping.

    Keys: "pixels" (H x W x C array, C = 3 or 4, or H x W x 1 / H x W for
    grey), "bit_depth" (8, 16 or 32), "width", "height", "channels".  The
    file's colour profile, resolution and EXIF ride along as ``info``, outside
    the mapping: the plug-in never sees them.
    """

    __slots__ = ("_fields", "info")

    def __init__(self, pixels: np.ndarray, bit_depth: int = 8, *, info: ImageInfo = NO_INFO):
        depth = _check_bit_depth(bit_depth)
        pixels = np.asarray(pixels)
        if pixels.ndim == 2:
            pixels = pixels[:, :, np.newaxis]
        if pixels.ndim != 3 or pixels.shape[2] not in (1, 3, 4):
            raise ValueError(f"pixels must be H x W x 1, 3 or 4, got shape {pixels.shape}")
        if pixels.shape[0] == 0 or pixels.shape[1] == 0:
            raise ValueError("image is empty")
        want = host_dtype(depth)
        if pixels.dtype != want:
            raise TypeError(f"a {depth}-bit host image holds {want} samples, got {pixels.dtype}")
        pixels = pixels.view()
        pixels.flags.writeable = False
        self._fields = {
            "pixels": pixels,
            "bit_depth": depth,
            "width": pixels.shape[1],
            "height": pixels.shape[0],
            "channels": pixels.shape[2],
        }
        self.info = info

    @classmethod
    def from_array(cls, array: np.ndarray, bit_depth: int | None = None, *,
                   info: ImageInfo = NO_INFO) -> "HostImage":
        """Build a record from uint8, uint16 or float samples, converting to the host's form.

        Without ``bit_depth`` it follows the samples: uint8 -> 8, uint16 -> 16, float -> 32.
        """
        array = np.asarray(array)
        if bit_depth is None:
            bit_depth = {np.dtype(np.uint8): 8, np.dtype(np.uint16): 16}.get(array.dtype, 32)
        depth = _check_bit_depth(bit_depth)
        want = host_dtype(depth)
        if array.dtype != want:
            array = from_float(to_float(array), want)
        return cls(array, depth, info=info)

    def __getitem__(self, key: str) -> Any:
        return self._fields[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._fields)

    def __len__(self) -> int:
        return len(self._fields)

    @property
    def pixels(self) -> np.ndarray:
        return self._fields["pixels"]

    @property
    def bit_depth(self) -> int:
        return self._fields["bit_depth"]

    @property
    def width(self) -> int:
        return self._fields["width"]

    @property
    def height(self) -> int:
        return self._fields["height"]

    @property
    def channels(self) -> int:
        return self._fields["channels"]

    def as_float(self) -> np.ndarray:
        return to_float(self.pixels)

    def __repr__(self) -> str:
        return f"HostImage({self.width}x{self.height}x{self.channels}, {self.bit_depth}-bit)"


class ImageTools:
    """Conversions between host images and NumPy arrays, as the plug-in calls them."""

    @staticmethod
    def image_to_np(image: Mapping) -> np.ndarray:
        pixels = image["pixels"]
        if pixels.shape[2] == 1:
            pixels = np.repeat(pixels, 3, axis=2)
            pixels.flags.writeable = False
        return pixels

    @staticmethod
    def np_to_image(array: np.ndarray, bit_depth: int = 8) -> HostImage:
        return HostImage.from_array(array, bit_depth)
