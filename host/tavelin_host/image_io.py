"""Reading and writing image files at their own bit depth.

Formats: PNG, JPEG, WebP, BMP (OpenCV), TIFF (tifffile) and OpenEXR
(OpenEXR bindings).  8-bit files read as uint8, 16-bit as float32 0..1,
floating-point files as float32.  EXIF orientation is applied on reading,
so pixels come out the way a viewer shows them.

Every write goes to a temporary file in the destination folder and is then
moved into place, so a failed or interrupted write never leaves a partial
file under the destination name.
"""
from __future__ import annotations

import io
import os
import secrets
import tempfile
import warnings
from pathlib import Path
from typing import Callable

import cv2
import numpy as np

from .images import HostImage, from_float, to_float

EXR_MAGIC = b"\x76\x2f\x31\x01"
TIFF_MAGICS = (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+")

# Extensions the writer knows, and the sample types each can store.
WRITE_FORMATS = {
    ".png": (np.uint8, np.uint16),
    ".jpg": (np.uint8,),
    ".jpeg": (np.uint8,),
    ".webp": (np.uint8,),
    ".bmp": (np.uint8,),
    ".tif": (np.uint8, np.uint16, np.float32),
    ".tiff": (np.uint8, np.uint16, np.float32),
    ".exr": (np.float32,),
}
READ_EXTENSIONS = frozenset(WRITE_FORMATS) | {".jpe", ".jfif"}

class ImageReadError(Exception):
    """The file is not an image this host can read, or it is damaged."""


class ImageWriteError(Exception):
    """The image could not be written."""


# --------------------------------------------------------------------------- reading


def read_image(path: str | os.PathLike) -> HostImage:
    """Read an image file into a host image (RGB or RGBA), orientation applied."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except IsADirectoryError:
        raise ImageReadError("is a folder, not an image") from None
    except OSError as exc:
        raise ImageReadError(exc.strerror or str(exc)) from None
    if not data:
        raise ImageReadError("empty file")
    if data.startswith(EXR_MAGIC):
        pixels, orientation = _read_exr(path), 1
    elif data.startswith(TIFF_MAGICS):
        pixels, orientation = _read_tiff(data)
    else:
        try:
            pixels, orientation = _read_opencv(data)
        except ImageReadError:
            if path.suffix.lower() in READ_EXTENSIONS:
                raise ImageReadError("damaged, or an image type that cannot be read") from None
            raise ImageReadError("not an image") from None
    pixels = apply_orientation(pixels, orientation)
    return HostImage.from_array(np.ascontiguousarray(pixels), _bit_depth_of(pixels))


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


def _read_opencv(data: bytes) -> tuple[np.ndarray, int]:
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
    return _to_rgb(pixels, bgr=True), _exif_orientation(data)


def _exif_orientation(data: bytes) -> int:
    """The EXIF orientation tag of a JPEG, PNG or WebP file (1 when absent)."""
    try:
        from PIL import Image

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with Image.open(io.BytesIO(data)) as image:
                value = image.getexif().get(0x0112, 1)
    except Exception:
        return 1
    return value if isinstance(value, int) and 1 <= value <= 8 else 1


def _read_tiff(data: bytes) -> tuple[np.ndarray, int]:
    import tifffile

    try:
        with tifffile.TiffFile(io.BytesIO(data)) as tif:
            page = tif.pages.first
            pixels = page.asarray()
            axes = page.axes
            photometric = int(page.photometric)
            extrasamples = tuple(page.extrasamples or ())
            orientation_tag = page.tags.get("Orientation")
            orientation = int(orientation_tag.value) if orientation_tag is not None else 1
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
    return rgb, orientation


def _unpremultiply(rgba: np.ndarray) -> np.ndarray:
    values = to_float(rgba)
    alpha = values[:, :, 3:4]
    with np.errstate(divide="ignore", invalid="ignore"):
        colour = np.where(alpha > 0, values[:, :, :3] / alpha, 0.0)
    if rgba.dtype != np.float32:
        colour = np.clip(colour, 0.0, 1.0)
    out = np.concatenate([colour, alpha], axis=2)
    return from_float(out, rgba.dtype)


def _read_exr(path: Path) -> np.ndarray:
    import OpenEXR

    try:
        with OpenEXR.File(str(path), separate_channels=True) as exr:
            channels = {name: channel.pixels for name, channel in exr.channels().items()}
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
    if "A" in channels:
        planes.append(plane("A"))
    return np.dstack(planes)


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


# --------------------------------------------------------------------------- writing


def encode_image(pixels: np.ndarray, suffix: str) -> bytes:
    """Encode H x W (grey), H x W x 3 (RGB) or H x W x 4 (RGBA) samples in the format of ``suffix``.

    The sample type decides the stored bit depth: uint8, uint16 or float32.
    """
    suffix = suffix.lower()
    allowed = WRITE_FORMATS.get(suffix)
    if allowed is None:
        raise ImageWriteError(f"no writer for {suffix!r} files")
    pixels = np.asarray(pixels)
    if pixels.ndim == 3 and pixels.shape[2] == 1:
        pixels = pixels[:, :, 0]
    if pixels.ndim not in (2, 3) or (pixels.ndim == 3 and pixels.shape[2] not in (3, 4)):
        raise ImageWriteError(f"cannot write samples of shape {pixels.shape}")
    if pixels.dtype.type not in allowed:
        raise ImageWriteError(f"{suffix} files cannot hold {pixels.dtype} samples")
    channels = 1 if pixels.ndim == 2 else pixels.shape[2]
    if suffix in (".jpg", ".jpeg") and channels == 4:
        raise ImageWriteError("JPEG files have no alpha channel")
    if suffix == ".exr":
        return _encode_exr(pixels)
    if suffix in (".tif", ".tiff"):
        return _encode_tiff(pixels)
    bgr = pixels if channels == 1 else pixels[:, :, [2, 1, 0, 3][:channels]]
    params: list[int] = []
    if suffix == ".webp":
        params = [cv2.IMWRITE_WEBP_QUALITY, 101]  # lossless
    elif suffix in (".jpg", ".jpeg"):
        params = [cv2.IMWRITE_JPEG_QUALITY, 95]
    ok, encoded = cv2.imencode(suffix, np.ascontiguousarray(bgr), params)
    if not ok:
        raise ImageWriteError(f"the {suffix} encoder failed")
    return encoded.tobytes()


def _encode_tiff(pixels: np.ndarray) -> bytes:
    import tifffile

    buffer = io.BytesIO()
    kwargs = {"photometric": "minisblack" if pixels.ndim == 2 else "rgb", "compression": "zlib"}
    if pixels.ndim == 3 and pixels.shape[2] == 4:
        kwargs["extrasamples"] = ["unassalpha"]
    if pixels.dtype == np.float32:
        kwargs["predictor"] = False
    tifffile.imwrite(buffer, np.ascontiguousarray(pixels), **kwargs)
    return buffer.getvalue()


def _encode_exr(pixels: np.ndarray) -> bytes:
    import OpenEXR

    if pixels.ndim == 2:
        channels = {"Y": np.ascontiguousarray(pixels)}
    else:
        names = "RGBA"[: pixels.shape[2]]
        channels = {name: np.ascontiguousarray(pixels[:, :, i]) for i, name in enumerate(names)}
    header = {"compression": OpenEXR.ZIP_COMPRESSION, "type": OpenEXR.scanlineimage}
    fd, tmp = tempfile.mkstemp(suffix=".exr")
    os.close(fd)
    try:
        with OpenEXR.File(header, channels) as exr:
            exr.write(tmp)
        return Path(tmp).read_bytes()
    except Exception as exc:
        raise ImageWriteError(f"the OpenEXR encoder failed ({exc})") from None
    finally:
        os.unlink(tmp)


def atomic_write(path: str | os.PathLike, produce: Callable[[], bytes] | bytes, *, overwrite: bool = False) -> Path:
    """Write bytes to ``path`` through a temporary file in the same folder.

    ``produce`` may be the bytes or a callable returning them; it runs before
    anything is created.  Without ``overwrite`` an existing file is an error,
    also when it appears while the data is being written.
    """
    path = Path(path)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(f"{path} already exists")
    data = produce() if callable(produce) else produce
    fd, tmp = _create_temporary(path)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        if overwrite:
            os.replace(tmp, path)
        else:
            _link_exclusive(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    return path


def _link_exclusive(tmp: str, path: Path) -> None:
    """Move tmp to path, failing if path exists (no window where a file would be replaced)."""
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise FileExistsError(f"{path} already exists") from None
    except OSError:
        # File systems without hard links: check, then rename.
        if os.path.lexists(path):
            raise FileExistsError(f"{path} already exists") from None
        os.replace(tmp, path)
        return
    os.unlink(tmp)


def _create_temporary(path: Path) -> tuple[int, str]:
    """A new, empty hidden file beside ``path``, opened for writing.

    Created exclusively with mode 0o666, so the process umask applies as for any
    file the user writes (mkstemp's 0o600 would need the umask read, which can
    only be done by changing it).
    """
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    for name in ("O_NOFOLLOW", "O_CLOEXEC", "O_BINARY"):  # as mkstemp opens its files
        flags |= getattr(os, name, 0)
    for _ in range(100):
        tmp = str(path.parent / f".{path.name}.{secrets.token_hex(4)}.part")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {path}")


def write_image(path: str | os.PathLike, pixels: np.ndarray, *, overwrite: bool = False) -> Path:
    """Encode ``pixels`` by the file's extension and write them atomically."""
    path = Path(path)
    return atomic_write(path, lambda: encode_image(pixels, path.suffix), overwrite=overwrite)


def file_samples(image_or_pixels: HostImage | np.ndarray, bit_depth: int, suffix: str) -> np.ndarray:
    """Host samples (uint8, or float32 0..1) converted to what a file of ``suffix`` at ``bit_depth`` stores."""
    pixels = image_or_pixels.pixels if isinstance(image_or_pixels, HostImage) else np.asarray(image_or_pixels)
    suffix = suffix.lower()
    if suffix == ".exr":
        want = np.float32
    elif bit_depth == 8:
        want = np.uint8
    elif bit_depth == 16 or suffix not in (".tif", ".tiff"):
        want = np.uint16 if np.uint16 in WRITE_FORMATS[suffix] else np.uint8
    else:
        want = np.float32
    if pixels.dtype == want:
        return pixels
    return from_float(to_float(pixels), want)
