"""Reading image files at their own bit depth, every size limit checked.

Formats: PNG, JPEG, WebP, BMP (OpenCV), TIFF (tifffile) and OpenEXR
(OpenEXR bindings).  8-bit files read as uint8, 16-bit as float32 0..1,
floating-point files as float32.  EXIF orientation is applied on reading,
so pixels come out the way a viewer shows them.

Only regular files are read (never a device or a pipe named as a file), and
the size an image declares in its header is checked against a limit before
any pixel is decoded, so a small file cannot ask for gigabytes.

Colour is straight (not multiplied by alpha) in memory; OpenEXR's
premultiplied colour is divided by its alpha.  The colour profile,
resolution and EXIF block of a file are read into the image's ``info``.
"""
from __future__ import annotations

import io
import logging
import os
import stat
import struct
import threading
import warnings
from dataclasses import replace
from pathlib import Path
from typing import BinaryIO

import cv2
import numpy as np

from .contract import DEFAULT_MAX_PIXELS
from .images import NO_INFO, HostImage, ImageInfo, from_float, to_float
from .naming import IMAGE_EXTENSIONS

EXR_MAGIC = b"\x76\x2f\x31\x01"
TIFF_MAGICS = (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+")

# What a decode may allocate: 32 bytes per declared pixel (eight float samples) plus
# a floor for small pictures.  A file that would need more (huge tiles, a volume,
# hundreds of samples per pixel or channels) is refused, so a small file cannot take
# gigabytes while declaring a small width x height.
DECODE_BYTES_PER_PIXEL = 32
DECODE_BYTES_FLOOR = 16 << 20

# tifffile logs what it finds odd in a file (an unknown orientation value, say) through
# the logging module, which would print it on the terminal; what matters is reported here.
logging.getLogger("tifffile").setLevel(logging.ERROR)

# Pillow only reads metadata here; its own pixel limit would raise for pictures
# already checked against ours, so it is lifted while a header is read.
_PILLOW_LIMIT_LOCK = threading.Lock()


class ImageReadError(Exception):
    """The file is not an image this host can read, or it is damaged."""


class ImageTooLargeError(ImageReadError):
    """The image declares more pixels than the reader's limit."""

    def __init__(self, width: int, height: int, max_pixels: int, message: str | None = None):
        self.width, self.height, self.max_pixels = width, height, max_pixels
        super().__init__(message or (
            f"{width} x {height} pixels ({megapixels(width * height)} megapixels) is over the limit of "
            f"{megapixels(max_pixels)} megapixels"
        ))


def megapixels(pixels: int | float) -> str:
    """A pixel count in megapixels, as precise as a message needs: 1600, 2.1, 0.0006."""
    value = pixels / 1e6
    if value >= 100:
        return f"{value:.0f}"
    if value >= 1:
        return f"{value:.3g}"
    return f"{value:.2g}"


class ImageTooCostlyError(ImageReadError):
    """Decoding the image would take far more memory than its declared size needs."""



def read_image(path: str | os.PathLike, *, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> HostImage:
    """Read an image file into a host image (RGB or RGBA), orientation applied.

    ``max_pixels``: the most pixels an image may declare (None: no limit).
    """
    path = Path(path)
    return decode_image(read_regular_file(path), path.suffix, max_pixels=max_pixels)


def read_regular_file(path: str | os.PathLike) -> bytes:
    """The bytes of a regular file; devices, pipes and sockets are refused without reading.

    The file is opened non-blocking, so a FIFO without a writer cannot stall the open.
    """
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    try:
        fd = os.open(path, flags)
    except IsADirectoryError:
        raise ImageReadError("is a folder, not an image") from None
    except OSError as exc:
        raise ImageReadError(exc.strerror or str(exc)) from None
    with os.fdopen(fd, "rb") as handle:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise ImageReadError("is a folder, not an image")
        if not stat.S_ISREG(mode):
            raise ImageReadError("not a regular file (a device, pipe or socket), not read")
        try:
            return handle.read()
        except OSError as exc:
            raise ImageReadError(exc.strerror or str(exc)) from None


# Standard input is read in pieces of this size at most, so its header is checked early.
STREAM_CHUNK = 1 << 16
KNOWN_MAGICS = (b"\x89PNG\r\n\x1a\n", b"\xff\xd8", b"RIFF", b"BM", EXR_MAGIC, *TIFF_MAGICS)


def read_stream(stream: BinaryIO, *, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> bytes:
    """The bytes of one image file from a stream (standard input), checked as they arrive:
    data that is no image, or a header declaring more than ``max_pixels``, stops the
    reading at once, and so does more data than any image within the limit can hold
    (``cat /dev/zero`` would otherwise be read until memory runs out)."""
    most = None if max_pixels is None else DECODE_BYTES_PER_PIXEL * max_pixels + DECODE_BYTES_FLOOR
    read = getattr(stream, "read1", stream.read)
    data = bytearray()
    checked = False
    while True:
        try:
            chunk = read(STREAM_CHUNK)
        except OSError as exc:
            raise ImageReadError(exc.strerror or str(exc)) from None
        if not chunk:
            return bytes(data)
        data += chunk
        if not checked:
            checked = _header_checked(bytes(data[:STREAM_CHUNK]), max_pixels)
        if most is not None and len(data) > most:
            raise ImageTooLargeError(0, 0, max_pixels, f"more than {most / 1e6:.0f} MB of data: larger than any "
                                     f"image within the limit of {megapixels(max_pixels)} megapixels")


def _header_checked(head: bytes, max_pixels: int | None) -> bool:
    """Whether the start of a file has been checked (raises when it is refused); False
    while more bytes are needed to tell."""
    if len(head) < 32:
        return False
    if not head.startswith(KNOWN_MAGICS):
        raise ImageReadError("not an image")
    if head.startswith((EXR_MAGIC, *TIFF_MAGICS)):
        return True  # their readers check the size, and the byte limit bounds what is read
    size = declared_size(head)
    if size is None:
        return len(head) >= STREAM_CHUNK  # a JPEG header may run long; the decoder judges it
    _check_size(*size, max_pixels)
    return True


def decode_image(data: bytes, suffix: str = "", *, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> HostImage:
    """Decode the bytes of an image file (``suffix``: its extension, for the error text)."""
    if not data:
        raise ImageReadError("empty file")
    if data.startswith(EXR_MAGIC):
        (pixels, info), orientation = _read_exr(data, max_pixels), 1
    elif data.startswith(TIFF_MAGICS):
        pixels, orientation, info = _read_tiff(data, max_pixels)
    else:
        size = declared_size(data)
        if size is None:
            if suffix.lower() in IMAGE_EXTENSIONS:
                raise ImageReadError("damaged, or an image type that cannot be read")
            raise ImageReadError("not an image")
        _check_size(*size, max_pixels)
        try:
            pixels, orientation, info = _read_opencv(data)
        except ImageReadError:
            raise ImageReadError("damaged, or an image type that cannot be read") from None
    pixels = apply_orientation(pixels, orientation)
    if orientation >= 5 and info.dpi is not None:  # turned a quarter: the axes swap
        info = replace(info, dpi=info.dpi[::-1])
    return HostImage.from_array(np.ascontiguousarray(pixels), _bit_depth_of(pixels), info=info)


def _check_size(width: int, height: int, max_pixels: int | None) -> None:
    if max_pixels is not None and width * height > max_pixels:
        raise ImageTooLargeError(width, height, max_pixels)


def _check_decode_cost(needed: int, width: int, height: int, why: str) -> None:
    """Refuse a decode that would allocate ``needed`` bytes for a ``width`` x ``height`` picture
    when that is far beyond what such a picture takes (``why``: what makes it so large)."""
    allowed = DECODE_BYTES_PER_PIXEL * width * height + DECODE_BYTES_FLOOR
    if needed > allowed:
        raise ImageTooCostlyError(
            f"decoding would take {needed / 1e6:.0f} MB for a {width} x {height} picture ({why}): not read")


def declared_size(data: bytes) -> tuple[int, int] | None:
    """(width, height) from the header of a PNG, JPEG, WebP or BMP file; None for anything else
    (or a header too damaged to say). Only these formats go on to the decoder."""
    try:
        if data.startswith(b"\x89PNG\r\n\x1a\n") and data[12:16] == b"IHDR":
            return struct.unpack(">II", data[16:24])
        if data.startswith(b"\xff\xd8"):
            return _jpeg_size(data)
        if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
            return _webp_size(data)
        if data[:2] == b"BM" and len(data) >= 26:
            header_size = struct.unpack("<I", data[14:18])[0]
            if header_size == 12:  # the old OS/2 header: 16-bit sides
                return struct.unpack("<HH", data[18:22])
            width, height = struct.unpack("<ii", data[18:26])
            return abs(width), abs(height)  # a negative height means top-down rows
    except struct.error:
        return None
    return None


def _jpeg_size(data: bytes) -> tuple[int, int] | None:
    """The size in the first start-of-frame segment, walking the segments by their lengths."""
    position = 2
    while position + 4 <= len(data):
        if data[position] != 0xFF:
            return None
        marker = data[position + 1]
        if marker == 0xFF:  # fill byte
            position += 1
            continue
        if marker in (0x01, *range(0xD0, 0xD8)):  # segments without a length
            position += 2
            continue
        length = struct.unpack(">H", data[position + 2:position + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[position + 5:position + 9])
            return width, height
        position += 2 + length
    return None


def _webp_size(data: bytes) -> tuple[int, int] | None:
    chunk = data[12:16]
    if chunk == b"VP8X":
        return 1 + int.from_bytes(data[24:27], "little"), 1 + int.from_bytes(data[27:30], "little")
    if chunk == b"VP8L":
        bits = int.from_bytes(data[21:25], "little")
        return 1 + (bits & 0x3FFF), 1 + ((bits >> 14) & 0x3FFF)
    if chunk == b"VP8 ":
        width, height = struct.unpack("<HH", data[26:30])
        return width & 0x3FFF, height & 0x3FFF
    return None


def _bit_depth_of(pixels: np.ndarray) -> int:
    if pixels.dtype == np.uint8:
        return 8
    if pixels.dtype == np.uint16:
        return 16
    return 32


def _normalise_samples(pixels: np.ndarray) -> np.ndarray:
    """uint8 / uint16 kept; floats to float32; other integer types rejected."""
    if pixels.dtype in (np.uint8, np.uint16, np.float32):
        return pixels
    if pixels.dtype == np.bool_:
        return pixels.astype(np.uint8) * np.uint8(255)
    if np.issubdtype(pixels.dtype, np.floating):
        return pixels.astype(np.float32)
    raise ImageReadError(f"unsupported sample type {pixels.dtype}")


def _to_rgb(pixels: np.ndarray, bgr: bool) -> np.ndarray:
    """Grey, grey+alpha, RGB(A) or BGR(A) to RGB or RGBA."""
    if pixels.ndim == 2:
        pixels = pixels[:, :, np.newaxis]
    channels = pixels.shape[2]
    if channels == 1:
        return np.repeat(pixels, 3, axis=2)
    if channels == 2:
        return np.concatenate([np.repeat(pixels[:, :, :1], 3, axis=2), pixels[:, :, 1:2]], axis=2)
    if channels in (3, 4):
        return pixels[:, :, [2, 1, 0, 3][:channels]] if bgr else pixels
    raise ImageReadError(f"unsupported channel count {channels}")


def _read_opencv(data: bytes) -> tuple[np.ndarray, int, ImageInfo]:
    buffer = np.frombuffer(data, np.uint8)
    # Undecodable data is reported by the caller; keep OpenCV's own logger quiet meanwhile.
    logging = cv2.utils.logging
    level = logging.getLogLevel()
    logging.setLogLevel(logging.LOG_LEVEL_SILENT)
    try:
        pixels = cv2.imdecode(buffer, cv2.IMREAD_UNCHANGED)
    except cv2.error:
        pixels = None
    finally:
        logging.setLogLevel(level)
    if pixels is None or pixels.size == 0:
        raise ImageReadError("undecodable")
    pixels = _normalise_samples(pixels)
    if pixels.ndim == 2 and data.startswith(b"\x89PNG"):
        pixels = _grey_key_alpha(pixels, data)
    return (_to_rgb(pixels, bgr=True), *_file_info(data))


def _grey_key_alpha(grey: np.ndarray, png: bytes) -> np.ndarray:
    """Grey PNG samples with the file's transparent grey value (tRNS) made an alpha channel:
    OpenCV keeps tRNS for palette and RGB pictures, but drops it for grey ones."""
    bit_depth = colour_type = key = None
    position = 8
    while position + 8 <= len(png):
        length, kind = struct.unpack(">I4s", png[position:position + 8])
        body = png[position + 8:position + 8 + length]
        if kind == b"IHDR" and len(body) >= 10:
            bit_depth, colour_type = body[8], body[9]
        elif kind == b"tRNS" and len(body) >= 2:
            key = struct.unpack(">H", body[:2])[0]
        elif kind in (b"IDAT", b"IEND"):
            break
        position += 12 + length
    GREY = 0
    if key is None or colour_type != GREY or not bit_depth:
        return grey
    if bit_depth < 8:  # OpenCV widens 1, 2 and 4-bit grey to 8 bits by repeating the bits
        key = key * (255 // ((1 << bit_depth) - 1))
    top = 65535 if grey.dtype == np.uint16 else 255
    alpha = np.where(grey == key, 0, top).astype(grey.dtype)
    return np.dstack([grey, alpha])


def _file_info(data: bytes) -> tuple[int, ImageInfo]:
    """The EXIF orientation (1 when absent) and the info of a JPEG, PNG or WebP file.

    Pillow reads only the headers here; the pixels come from OpenCV.
    """
    from PIL import UnidentifiedImageError

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with _pillow_open(data) as image:
                value = image.getexif().get(0x0112, 1)
                icc = image.info.get("icc_profile") or None
                dpi = image.info.get("dpi")
                exif = image.info.get("exif") or None
                # Animation frames; a JPEG's further pictures (MPO: depth maps, previews) are not pages.
                frames = int(getattr(image, "n_frames", 1) or 1) if image.format in ("PNG", "WEBP", "GIF") else 1
    except UnidentifiedImageError:
        return 1, NO_INFO  # a file Pillow does not know holds nothing it could read
    except Exception as exc:
        reason = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        return 1, ImageInfo(notes=(f"metadata not read ({reason}): orientation, colour profile, resolution and "
                                   "EXIF not kept",))
    orientation = value if isinstance(value, int) and 1 <= value <= 8 else 1
    if isinstance(exif, bytes):
        exif = _normal_orientation(exif.removeprefix(b"Exif\x00\x00"))
    else:
        exif = None
    return orientation, ImageInfo(icc if isinstance(icc, bytes) else None, _valid_dpi(dpi), exif, max(frames, 1))


def _pillow_open(data: bytes):
    """Pillow's image object for ``data`` without Pillow's own pixel limit (ours was checked)."""
    from PIL import Image

    with _PILLOW_LIMIT_LOCK:
        limit = Image.MAX_IMAGE_PIXELS
        Image.MAX_IMAGE_PIXELS = None
        try:
            return Image.open(io.BytesIO(data))
        finally:
            Image.MAX_IMAGE_PIXELS = limit


def _valid_dpi(dpi) -> tuple[float, float] | None:
    try:
        x, y = (float(v) for v in dpi)
    except (TypeError, ValueError):
        return None
    return (x, y) if x > 0 and y > 0 and np.isfinite(x) and np.isfinite(y) else None


def _normal_orientation(exif: bytes) -> bytes:
    """The EXIF block with its orientation entry set to 1 (normal); everything else kept byte for byte."""
    if len(exif) < 8 or exif[:2] not in (b"II", b"MM"):
        return exif
    order = "<" if exif[:2] == b"II" else ">"
    out = bytearray(exif)
    (ifd,) = struct.unpack_from(order + "I", out, 4)
    if ifd + 2 > len(out):
        return exif
    (count,) = struct.unpack_from(order + "H", out, ifd)
    for entry in range(ifd + 2, min(ifd + 2 + 12 * count, len(out) - 11), 12):
        tag, kind, n = struct.unpack_from(order + "HHI", out, entry)
        SHORT = 3
        if tag == 0x0112 and kind == SHORT and n == 1:
            struct.pack_into(order + "H", out, entry + 8, 1)
    return bytes(out)


def _read_tiff(data: bytes, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> tuple[np.ndarray, int, ImageInfo]:
    import tifffile

    try:
        with tifffile.TiffFile(io.BytesIO(data)) as tif:
            page = tif.pages.first
            _check_size(int(page.imagewidth), int(page.imagelength), max_pixels)
            _check_tiff_cost(page)
            pixels = page.asarray()
            axes = page.axes
            photometric = int(page.photometric)
            extrasamples = tuple(page.extrasamples or ())
            orientation_tag = page.tags.get("Orientation")
            orientation = int(orientation_tag.value) if orientation_tag is not None else 1
            orientation = orientation if 1 <= orientation <= 8 else 1  # unknown values: as stored
            info = _tiff_info(tif, page)
    except ImageReadError:
        raise
    except Exception as exc:
        raise ImageReadError(f"not a readable TIFF ({exc})") from None

    # Bring the samples to Y x X x S.
    if "S" in axes and axes.index("S") < axes.index("Y"):
        pixels = np.moveaxis(pixels, axes.index("S"), -1)
        axes = axes.replace("S", "") + "S"
    keep = [a for a in axes if a in "YXS"]
    if len(keep) != len(axes):  # extra leading axes (planes, depth): the first of each
        index = tuple(slice(None) if a in "YXS" else 0 for a in axes)
        pixels = pixels[index]
    pixels = _normalise_samples(pixels)

    MINISWHITE, MINISBLACK, RGB, PALETTE, YCBCR = 0, 1, 2, 3, 6
    if photometric == PALETTE:
        raise ImageReadError("palette TIFF files are not supported")
    if photometric not in (MINISWHITE, MINISBLACK, RGB, YCBCR):
        raise ImageReadError(f"unsupported TIFF colour model (photometric {photometric})")
    if pixels.ndim == 3 and pixels.shape[2] > 4:
        pixels = pixels[:, :, :4]
    if photometric == MINISWHITE:
        grey = pixels if pixels.ndim == 2 else pixels[:, :, 0]
        top = {np.dtype(np.uint8): 255, np.dtype(np.uint16): 65535}.get(grey.dtype)
        inverted = (top - grey).astype(grey.dtype) if top else (1.0 - grey).astype(np.float32)
        pixels = inverted if pixels.ndim == 2 else np.dstack([inverted, pixels[:, :, 1:]])
    rgb = _to_rgb(pixels, bgr=False)
    ASSOCALPHA = 1
    if rgb.shape[2] == 4 and extrasamples[:1] == (ASSOCALPHA,):
        rgb = _unpremultiply(rgb)
    return rgb, orientation, info


def _check_tiff_cost(page) -> None:
    """The first page's decode against its width x height: tifffile allocates the whole
    page (every depth plane and sample) and a buffer per tile being decoded."""
    width, height = int(page.imagewidth), int(page.imagelength)
    depth, samples = int(page.imagedepth or 1), int(page.samplesperpixel or 1)
    itemsize = page.dtype.itemsize if page.dtype is not None else 8
    needed = depth * height * width * samples * itemsize
    why = []
    if depth > 1:
        why.append(f"{depth} planes deep")
    if samples > 4:
        why.append(f"{samples} samples per pixel")
    if page.is_tiled:
        tile = int(page.tiledepth or 1) * int(page.tilelength) * int(page.tilewidth) * samples * itemsize
        needed += tile * min(len(page.dataoffsets), os.cpu_count() or 1)
        if int(page.tilelength) * int(page.tilewidth) > width * height:
            why.append(f"{page.tilewidth} x {page.tilelength} tiles")
    _check_decode_cost(needed, width, height, ", ".join(why) or "its layout")


def _tiff_info(tif, page) -> ImageInfo:
    """Colour profile, resolution and page count of a TIFF (reduced-size pages, thumbnails, not counted)."""
    profile = page.tags.get("InterColorProfile")
    icc = bytes(profile.value) if profile is not None and isinstance(profile.value, (bytes, bytearray)) else None
    dpi = None
    unit = page.tags.get("ResolutionUnit")
    per_inch = {2: 1.0, 3: 2.54}.get(int(unit.value) if unit is not None else 2)
    x, y = page.tags.get("XResolution"), page.tags.get("YResolution")
    if per_inch and x is not None and y is not None:
        try:
            dpi = _valid_dpi([v.value[0] / v.value[1] * per_inch for v in (x, y)])
        except (TypeError, ZeroDivisionError, IndexError):
            dpi = None
    frames = sum(1 for p in tif.pages if not getattr(p, "is_reduced", False))
    return ImageInfo(icc, dpi, None, max(frames, 1))


def _unpremultiply(rgba: np.ndarray) -> np.ndarray:
    values = to_float(rgba)
    alpha = values[:, :, 3:4]
    with np.errstate(divide="ignore", invalid="ignore"):
        colour = np.where(alpha > 0, values[:, :, :3] / alpha, 0.0)
    if rgba.dtype != np.float32:
        colour = np.clip(colour, 0.0, 1.0)
    out = np.concatenate([colour, alpha], axis=2)
    return from_float(out, rgba.dtype)


def _read_exr(data: bytes, max_pixels: int | None = DEFAULT_MAX_PIXELS) -> tuple[np.ndarray, ImageInfo]:
    """RGB(A) with straight colour: an EXR's premultiplied colour is divided by its alpha."""
    import OpenEXR

    try:
        with OpenEXR.File(io.BytesIO(data), header_only=True) as exr:
            low, high = exr.header()["dataWindow"]
            parts = [(part.header["dataWindow"], len(part.header.get("channels", ()))) for part in exr.parts]
        width, height = int(high[0]) - int(low[0]) + 1, int(high[1]) - int(low[1]) + 1
        _check_size(width, height, max_pixels)
        # Every channel of every part is decoded, 4 bytes a sample at most.
        needed = sum(4 * channels * (int(b[0]) - int(a[0]) + 1) * (int(b[1]) - int(a[1]) + 1)
                     for (a, b), channels in parts)
        count = sum(channels for _, channels in parts)
        _check_decode_cost(needed, width, height, f"{count} channels" + (f" in {len(parts)} parts"
                                                                         if len(parts) > 1 else ""))
        with OpenEXR.File(io.BytesIO(data), separate_channels=True) as exr:
            channels = {name: channel.pixels for name, channel in exr.channels().items()}
            dpi = _exr_dpi(exr.header())  # the header empties when the file closes
    except ImageReadError:
        raise
    except Exception as exc:
        raise ImageReadError(f"not a readable OpenEXR file ({exc})") from None

    def plane(name: str) -> np.ndarray:
        return np.asarray(channels[name], dtype=np.float32)

    if all(c in channels for c in "RGB"):
        planes = [plane(c) for c in "RGB"]
    elif "Y" in channels:
        planes = [plane("Y")] * 3
    elif channels:
        first = sorted(channels)[0]
        planes = [plane(first)] * 3
    else:
        raise ImageReadError("OpenEXR file without channels")
    info = ImageInfo(dpi=dpi, half=all(np.asarray(c).dtype == np.float16 for c in channels.values()))
    if "A" not in channels:
        return np.dstack(planes), info
    alpha = plane("A")
    with np.errstate(divide="ignore", invalid="ignore"):
        # Where alpha is 0 a premultiplied file can still hold colour (light, not
        # surface): it is kept as it is rather than lost to a division by zero.
        planes = [np.where(alpha != 0, p / alpha, p).astype(np.float32) for p in planes]
    return np.dstack([*planes, alpha]), info


def _exr_dpi(header: dict) -> tuple[float, float] | None:
    try:
        x = float(header["xDensity"])
        return _valid_dpi((x, x * float(header.get("pixelAspectRatio", 1.0))))
    except (KeyError, TypeError, ValueError):
        return None


def apply_orientation(pixels: np.ndarray, orientation: int) -> np.ndarray:
    """Turn stored pixels (H x W [x C]) into display orientation (EXIF values 1..8)."""
    if orientation == 2:
        return pixels[:, ::-1]
    if orientation == 3:
        return pixels[::-1, ::-1]
    if orientation == 4:
        return pixels[::-1]
    if orientation == 5:
        return np.swapaxes(pixels, 0, 1)
    if orientation == 6:
        return np.swapaxes(pixels, 0, 1)[:, ::-1]
    if orientation == 7:
        return np.swapaxes(pixels, 0, 1)[::-1, ::-1]
    if orientation == 8:
        return np.swapaxes(pixels, 0, 1)[::-1]
    return pixels
