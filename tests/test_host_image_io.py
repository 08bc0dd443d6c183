"""Image files: round trips per format and bit depth, orientation, damaged input, atomic writes."""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from tavelin_host import image_io  # noqa: E402
from tavelin_host.image_io import (  # noqa: E402
    ImageReadError, ImageWriteError, apply_orientation, file_samples, read_image, write_image,
)
from tavelin_host.images import to_float  # noqa: E402

RNG = np.random.default_rng(7)


def samples(dtype, channels, shape=(9, 13)):
    full = shape if channels == 1 else (*shape, channels)
    if dtype == np.uint8:
        return RNG.integers(0, 256, full, dtype=np.uint8)
    if dtype == np.uint16:
        return RNG.integers(0, 65536, full, dtype=np.uint16)
    return (RNG.random(full) * 1.5).astype(np.float32)  # float files may exceed 1


LOSSLESS = [
    (".png", np.uint8, 8), (".png", np.uint16, 16),
    (".tif", np.uint8, 8), (".tif", np.uint16, 16), (".tif", np.float32, 32),
    (".exr", np.float32, 32), (".webp", np.uint8, 8), (".bmp", np.uint8, 8),
]


@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("suffix,dtype,depth", LOSSLESS)
def test_lossless_round_trip_keeps_samples_and_bit_depth(tmp_path, suffix, dtype, depth, channels):
    written = samples(dtype, channels)
    if suffix == ".webp" and channels == 4:
        written[:, :, 3] |= 1  # the WebP encoder drops the colour of fully transparent pixels
    path = write_image(tmp_path / f"x{suffix}", written)
    image = read_image(path)
    assert image.bit_depth == depth
    assert (image.height, image.width) == written.shape[:2]
    assert image.channels == (4 if channels == 4 else 3)
    assert image.pixels.dtype == (np.uint8 if depth == 8 else np.float32)
    expected = to_float(written)
    if channels == 1:
        expected = np.repeat(expected[:, :, None], 3, axis=2)
    np.testing.assert_array_equal(to_float(image.pixels), expected)


def test_sixteen_bit_samples_keep_their_precision(tmp_path):
    ramp = np.arange(0, 65536, 257 * 3 + 1, dtype=np.uint16)[None, :].repeat(2, 0)
    image = read_image(write_image(tmp_path / "r.png", ramp))
    np.testing.assert_array_equal(image.pixels[:, :, 0], ramp / np.float32(65535))
    # and back to a 16-bit file without loss
    again = file_samples(image.pixels[:, :, 0], 16, ".png")
    np.testing.assert_array_equal(again, ramp)


def test_half_float_exr_reads_as_32_bit(tmp_path):
    import OpenEXR

    planes = {c: (RNG.random((6, 5)) * 4).astype(np.float16) for c in "RGBA"}
    path = tmp_path / "h.exr"
    with OpenEXR.File({"type": OpenEXR.scanlineimage}, dict(planes)) as exr:
        exr.write(str(path))
    image = read_image(path)
    assert image.bit_depth == 32 and image.pixels.shape == (6, 5, 4)
    np.testing.assert_array_equal(image.pixels[:, :, 3], planes["A"].astype(np.float32))


@pytest.mark.parametrize("orientation", range(1, 9))
@pytest.mark.parametrize("fmt", ["PNG", "JPEG", "WEBP"])
def test_exif_orientation_matches_a_viewer(tmp_path, fmt, orientation):
    from PIL import Image, ImageOps

    stored = np.zeros((12, 20, 3), np.uint8)
    stored[:4, :6] = (255, 0, 0)      # marks the stored top-left corner
    stored[-3:, -5:] = (0, 0, 255)    # and the bottom-right one
    source = Image.fromarray(stored)
    exif = source.getexif()
    exif[0x0112] = orientation
    path = tmp_path / f"o.{fmt.lower()}"
    source.save(path, format=fmt, exif=exif.tobytes(), **({"quality": 100} if fmt == "JPEG" else {"lossless": True} if fmt == "WEBP" else {}))
    with Image.open(path) as opened:
        expected = np.asarray(ImageOps.exif_transpose(opened).convert("RGB")).astype(int)
    got = read_image(path).pixels.astype(int)
    assert got.shape == expected.shape
    assert np.abs(got - expected).max() <= (40 if fmt == "JPEG" else 0)


def test_tiff_orientation_tag_is_honoured(tmp_path):
    import tifffile

    stored = samples(np.uint16, 3, (4, 7))
    path = tmp_path / "o.tif"
    tifffile.imwrite(path, stored, photometric="rgb", extratags=[(274, "H", 1, 6, True)])
    image = read_image(path)
    np.testing.assert_array_equal(image.pixels, to_float(apply_orientation(stored, 6)))
    assert (image.height, image.width) == (7, 4)


def test_grey_with_alpha_becomes_rgba(tmp_path):
    import tifffile

    grey_alpha = samples(np.uint8, 2)
    path = tmp_path / "ga.tif"
    tifffile.imwrite(path, grey_alpha, photometric="minisblack", extrasamples=["unassalpha"])
    image = read_image(path)
    assert image.channels == 4
    np.testing.assert_array_equal(image.pixels[:, :, 2], grey_alpha[:, :, 0])
    np.testing.assert_array_equal(image.pixels[:, :, 3], grey_alpha[:, :, 1])


@pytest.mark.parametrize("name,data,message", [
    ("broken.png", b"\x89PNG\r\n\x1a\n" + b"\0" * 40, "damaged"),
    ("broken.tif", b"II*\x00" + b"\xff" * 20, "TIFF"),
    ("broken.exr", b"\x76\x2f\x31\x01" + b"\x02" * 30, "OpenEXR"),
    ("notes.txt", b"plain text, not pixels\n", "not an image"),
    ("empty.jpg", b"", "empty"),
])
def test_unreadable_files_raise_read_error(tmp_path, name, data, message):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(ImageReadError, match=message):
        read_image(path)


def test_truncated_png_is_rejected(tmp_path):
    good = write_image(tmp_path / "good.png", samples(np.uint8, 3, (40, 40))).read_bytes()
    (tmp_path / "cut.png").write_bytes(good[: len(good) // 2])
    with pytest.raises(ImageReadError):
        read_image(tmp_path / "cut.png")


@pytest.mark.parametrize("name,pixels", [
    ("a.jpg", samples(np.uint8, 4)),         # JPEG has no alpha
    ("a.png", samples(np.float32, 3)),       # PNG holds no floats
    ("a.exr", samples(np.uint8, 3)),         # EXR holds floats only
    ("a.gif", samples(np.uint8, 3)),         # no writer
    ("a.png", np.zeros((4, 4, 2), np.uint8)),
])
def test_writer_refuses_what_a_format_cannot_hold(tmp_path, name, pixels):
    with pytest.raises(ImageWriteError):
        write_image(tmp_path / name, pixels)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("bit_depth,suffix,dtype", [
    (8, ".png", np.uint8), (16, ".png", np.uint16), (32, ".png", np.uint16),
    (16, ".tif", np.uint16), (32, ".tif", np.float32), (8, ".exr", np.float32), (32, ".exr", np.float32),
])
def test_file_samples_store_the_bit_depth_a_format_allows(bit_depth, suffix, dtype):
    host = np.full((2, 2, 4), 255, np.uint8) if bit_depth == 8 else np.full((2, 2, 4), 1.0, np.float32)
    out = file_samples(host, bit_depth, suffix)
    assert out.dtype == dtype
    assert to_float(out).min() == 1.0


# --------------------------------------------------------------------------- atomic writes


@pytest.mark.parametrize("appears", ["before", "while-encoding"])
def test_existing_file_is_kept_without_overwrite(tmp_path, monkeypatch, appears):
    # "while-encoding": another writer creates the file after the first check; the
    # final move must still refuse to replace it
    target = tmp_path / "keep.png"
    if appears == "before":
        target.write_bytes(b"original")
    else:
        encode = image_io.encode_image

        def encode_while_another_writes(pixels, suffix):
            target.write_bytes(b"original")
            return encode(pixels, suffix)

        monkeypatch.setattr(image_io, "encode_image", encode_while_another_writes)
    with pytest.raises(FileExistsError):
        write_image(target, samples(np.uint8, 3))
    assert target.read_bytes() == b"original"
    assert os.listdir(tmp_path) == ["keep.png"]
    write_image(target, samples(np.uint8, 3), overwrite=True)
    assert read_image(target).width == 13


@pytest.mark.parametrize("exc", [OSError("disk full"), KeyboardInterrupt()])
@pytest.mark.parametrize("preexisting", [False, True])
def test_interrupted_write_leaves_no_partial_file(tmp_path, monkeypatch, exc, preexisting):
    target = tmp_path / "out.tif"
    if preexisting:
        target.write_bytes(b"previous output")
    real_fdopen = os.fdopen

    class HalfWriter:
        """Writes half of the data, then fails as a full disk or Ctrl-C would."""

        def __init__(self, handle):
            self.handle = handle

        def __enter__(self):
            return self

        def __exit__(self, *args):
            self.handle.close()

        def write(self, data):
            self.handle.write(data[: len(data) // 2])
            self.handle.flush()
            raise exc

    monkeypatch.setattr(image_io.os, "fdopen", lambda fd, mode: HalfWriter(real_fdopen(fd, mode)))
    with pytest.raises(type(exc)):
        write_image(target, samples(np.float32, 4, (64, 64)), overwrite=True)
    assert sorted(os.listdir(tmp_path)) == (["out.tif"] if preexisting else [])
    if preexisting:
        assert target.read_bytes() == b"previous output"


def test_encoder_failure_creates_nothing(tmp_path, monkeypatch):
    def broken(pixels, suffix):
        raise ImageWriteError("encoder crashed")

    monkeypatch.setattr(image_io, "encode_image", broken)
    with pytest.raises(ImageWriteError):
        write_image(tmp_path / "x.png", samples(np.uint8, 3))
    assert os.listdir(tmp_path) == []


def test_written_file_gets_ordinary_permissions(tmp_path):
    path = write_image(tmp_path / "p.png", samples(np.uint8, 3))
    mask = os.umask(0)
    os.umask(mask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~mask
