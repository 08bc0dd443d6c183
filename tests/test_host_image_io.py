"""Image files: round trips per format and bit depth, orientation, damaged input, atomic writes."""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from tavelin_host import atomic, decoding, encoding  # noqa: E402
from tavelin_host.atomic import ImageWriteError  # noqa: E402
from tavelin_host.decoding import ImageReadError, apply_orientation, read_image  # noqa: E402
from tavelin_host.encoding import encode_image, file_samples, write_image  # noqa: E402
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
    # EXR colour is stored premultiplied: multiplying by alpha and dividing back rounds in the last bit
    rtol = 3e-7 if suffix == ".exr" and channels == 4 else 0
    np.testing.assert_allclose(to_float(image.pixels), expected, rtol=rtol, atol=0)


def test_sixteen_bit_samples_keep_their_precision(tmp_path):
    ramp = np.arange(0, 65536, 257 * 3 + 1, dtype=np.uint16)[None, :].repeat(2, 0)
    image = read_image(write_image(tmp_path / "r.png", ramp))
    np.testing.assert_array_equal(image.pixels[:, :, 0], ramp / np.float32(65535))
    # and back to a 16-bit file without loss
    again = file_samples(image.pixels[:, :, 0], 16, ".png")
    np.testing.assert_array_equal(again, ramp)


def test_half_float_exr_reads_as_32_bit(tmp_path):
    import OpenEXR

    planes = {c: (RNG.random((6, 5)) * 4 + 0.25).astype(np.float16) for c in "RGBA"}
    planes["A"][0, 0] = 0                       # light with no surface: its colour must stay
    path = tmp_path / "h.exr"
    with OpenEXR.File({"type": OpenEXR.scanlineimage}, dict(planes)) as exr:
        exr.write(str(path))
    image = read_image(path)
    assert image.bit_depth == 32 and image.pixels.shape == (6, 5, 4)
    np.testing.assert_array_equal(image.pixels[:, :, 3], planes["A"].astype(np.float32))
    np.testing.assert_array_equal(image.pixels[0, 0, :3], [planes[c][0, 0] for c in "RGB"])
    # and written back as half floats, as it came
    out = tmp_path / "again.exr"
    out.write_bytes(encode_image(image.pixels, ".exr", image.info))
    with OpenEXR.File(str(out), separate_channels=True) as exr:
        assert {c.pixels.dtype for c in exr.channels().values()} == {np.dtype(np.float16)}


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
    source.save(path, format=fmt, exif=exif.tobytes(), **({"quality": 100} if fmt == "JPEG" else {"lossless": True} if fmt == "WEBP" else {"dpi": (300, 150)}))
    with Image.open(path) as opened:
        expected = np.asarray(ImageOps.exif_transpose(opened).convert("RGB")).astype(int)
    image = read_image(path)
    got = image.pixels.astype(int)
    assert got.shape == expected.shape
    assert np.abs(got - expected).max() <= (40 if fmt == "JPEG" else 0)
    if fmt == "PNG":  # a quarter turn (5 to 8) swaps the resolution's axes as well
        assert np.allclose(image.info.dpi, (150, 300) if orientation >= 5 else (300, 150), atol=0.05)


@pytest.mark.parametrize("orientation", [5, 6, 7, 9])
def test_tiff_orientation_tag_is_honoured(tmp_path, caplog, orientation):
    import tifffile

    stored = samples(np.uint16, 3, (4, 7))
    path = tmp_path / "o.tif"
    tifffile.imwrite(path, stored, photometric="rgb", extratags=[(274, "H", 1, orientation, True)],
                     resolution=(300, 150))
    image = read_image(path)
    if orientation == 9:  # no such orientation: as stored, axes not swapped, and nothing logged
        np.testing.assert_array_equal(image.pixels, to_float(stored))
        assert image.info.dpi == (300, 150) and not caplog.records
        return
    np.testing.assert_array_equal(image.pixels, to_float(apply_orientation(stored, orientation)))
    assert (image.height, image.width) == (7, 4)
    assert image.info.dpi == (150, 300)  # turned a quarter: the resolution's axes swap too


@pytest.mark.parametrize("failure", ["over Pillow's own pixel limit", "Pillow fails"])
def test_metadata_is_read_for_any_size_and_a_failure_to_read_it_is_said(tmp_path, monkeypatch, failure):
    from PIL import Image

    source = Image.fromarray(samples(np.uint8, 3, (12, 20)))
    exif = source.getexif()
    exif[0x0112] = 6
    path = tmp_path / "big.jpg"
    source.save(path, exif=exif.tobytes(), dpi=(300, 300))
    if failure == "Pillow fails":
        monkeypatch.setattr(Image, "open", lambda *args, **kwargs: (_ for _ in ()).throw(OSError("broken header")))
        image = read_image(path)
        assert image.info.notes == ("metadata not read (broken header): orientation, colour profile, resolution "
                                    "and EXIF not kept",)
        return
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 50)  # as if the picture were over 179 megapixels
    image = read_image(path)
    assert (image.height, image.width) == (20, 12) and image.info.dpi == (300, 300) and image.info.notes == ()
    assert Image.MAX_IMAGE_PIXELS == 50


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_grey_png_transparency_becomes_alpha(tmp_path, dtype):
    import struct
    import zlib

    grey = samples(dtype, 1)
    key = int(grey[2, 3])
    png = write_image(tmp_path / "g.png", grey).read_bytes()
    body = b"tRNS" + struct.pack(">H", key)
    chunk = struct.pack(">I", 2) + body + struct.pack(">I", zlib.crc32(body))
    path = tmp_path / "keyed.png"
    path.write_bytes(png[:33] + chunk + png[33:])  # right after the header chunk
    image = read_image(path)
    assert image.channels == 4
    np.testing.assert_array_equal(image.pixels[:, :, 3] == 0, grey == key)
    assert image.pixels[:, :, 3].min() == 0 and to_float(image.pixels[:, :, 3]).max() == 1


def test_grey_with_alpha_becomes_rgba(tmp_path):
    import tifffile

    grey_alpha = samples(np.uint8, 2)
    path = tmp_path / "ga.tif"
    tifffile.imwrite(path, grey_alpha, photometric="minisblack", extrasamples=["unassalpha"])
    image = read_image(path)
    assert image.channels == 4
    np.testing.assert_array_equal(image.pixels[:, :, 2], grey_alpha[:, :, 0])
    np.testing.assert_array_equal(image.pixels[:, :, 3], grey_alpha[:, :, 1])


@pytest.mark.parametrize("suffix,dtype,premultiplied", [
    (".exr", np.float32, True), (".tif", np.float32, False), (".tif", np.uint16, False), (".png", np.uint8, False),
])
def test_alpha_is_stored_as_each_format_expects(tmp_path, suffix, dtype, premultiplied):
    # OpenEXR colour is premultiplied (compositing programs read it so); TIFF and PNG hold
    # straight colour, TIFF saying so in ExtraSamples; every one reads back straight.
    import OpenEXR
    import tifffile

    written = samples(dtype, 4)
    path = write_image(tmp_path / f"a{suffix}", written)
    if suffix == ".exr":
        with OpenEXR.File(str(path), separate_channels=True) as exr:
            stored = np.dstack([np.array(exr.channels()[c].pixels) for c in "RGBA"])
    elif suffix == ".tif":
        with tifffile.TiffFile(path) as tif:
            stored = tif.pages.first.asarray()
            assert tif.pages.first.extrasamples == (2,)  # unassociated alpha
    else:
        stored = encoding.cv2.cvtColor(encoding.cv2.imread(str(path), -1), encoding.cv2.COLOR_BGRA2RGBA)
    expected = written.astype(np.float64)
    if premultiplied:
        expected[:, :, :3] *= expected[:, :, 3:]
    np.testing.assert_allclose(stored, expected, rtol=1e-6)
    np.testing.assert_allclose(to_float(read_image(path).pixels), to_float(written), rtol=3e-7)


@pytest.mark.parametrize("suffix,dtype,carried", [
    (".png", np.uint8, {"icc", "dpi", "exif"}), (".png", np.uint16, {"icc", "dpi", "exif"}),
    (".jpg", np.uint8, {"icc", "dpi", "exif"}), (".webp", np.uint8, {"icc", "exif"}),
    (".tif", np.float32, {"icc", "dpi"}), (".exr", np.float32, {"dpi"}),
])
def test_profile_resolution_and_exif_are_carried_where_a_format_holds_them(tmp_path, suffix, dtype, carried):
    from PIL import Image

    from tavelin_host.images import ImageInfo

    profile = read_image(Path(__file__).resolve().parents[1] / "examples" / "astronaut.png").info.icc_profile
    exif = Image.Exif()
    exif[0x0112] = 6                                      # turned a quarter on reading
    exif[0x010F] = "Maker"
    path = tmp_path / f"a{suffix}"
    write_image(path, samples(dtype, 3, (16, 24)), info=ImageInfo(profile, (300.0, 150.0), exif.tobytes()[6:]))
    info = read_image(path).info
    assert info.icc_profile == (profile if "icc" in carried else None)
    if "dpi" in carried:  # with the EXIF orientation read back, the picture turns and its axes swap
        assert np.allclose(info.dpi, (150, 300) if "exif" in carried else (300, 150), atol=0.05)
    assert (info.exif is not None) == ("exif" in carried)
    if suffix in (".png", ".jpg", ".webp"):               # and what another reader makes of the file
        with Image.open(path) as image:
            assert image.info.get("icc_profile") == profile
            assert image.getexif()[0x0112] == 6 and image.getexif()[0x010F] == "Maker"
    if "exif" in carried:                                 # written after turning: normal from then on
        again = file_samples(read_image(path).pixels, 16 if dtype == np.uint16 else 8, suffix)
        assert read_image(write_image(tmp_path / f"b{suffix}", again, info=info)).width == 16
        with Image.open(tmp_path / f"b{suffix}") as image:
            assert image.getexif()[0x0112] == 1 and image.getexif()[0x010F] == "Maker"


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
        encode = encoding.encode_image

        def encode_while_another_writes(pixels, suffix, *info):
            target.write_bytes(b"original")
            return encode(pixels, suffix, *info)

        monkeypatch.setattr(encoding, "encode_image", encode_while_another_writes)
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

    monkeypatch.setattr(atomic.os, "fdopen", lambda fd, mode: HalfWriter(real_fdopen(fd, mode)))
    with pytest.raises(type(exc)):
        write_image(target, samples(np.float32, 4, (64, 64)), overwrite=True)
    assert sorted(os.listdir(tmp_path)) == (["out.tif"] if preexisting else [])
    if preexisting:
        assert target.read_bytes() == b"previous output"


def test_encoder_failure_creates_nothing(tmp_path, monkeypatch):
    def broken(pixels, suffix, *info):
        raise ImageWriteError("encoder crashed")

    monkeypatch.setattr(encoding, "encode_image", broken)
    with pytest.raises(ImageWriteError):
        write_image(tmp_path / "x.png", samples(np.uint8, 3))
    assert os.listdir(tmp_path) == []


def test_written_file_gets_ordinary_permissions(tmp_path):
    path = write_image(tmp_path / "p.png", samples(np.uint8, 3))
    mask = os.umask(0)
    os.umask(mask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~mask


def test_a_name_of_246_bytes_can_be_written(tmp_path):
    # the temporary name must not be longer than the final one (255 bytes is the usual limit)
    target = tmp_path / ("n" * 242 + ".png")
    assert len(target.name.encode()) == 246
    write_image(target, samples(np.uint8, 3))
    assert os.listdir(tmp_path) == [target.name]


@pytest.mark.parametrize("fails", ["disk-full", "ctrl-c"])
@pytest.mark.parametrize("preexisting", [False, True])
def test_a_group_of_outputs_is_written_whole_or_not_at_all(tmp_path, monkeypatch, fails, preexisting):
    # a cut-out and its preview: a failure at the preview must not leave the cut-out behind
    cutout, preview = tmp_path / "a.cutout.png", tmp_path / "a.preview.png"
    if preexisting:
        cutout.write_bytes(b"old cut-out")
        preview.write_bytes(b"old preview")
    # the second move into place fails: os.replace with --overwrite, the exclusive link without
    where, name = (atomic.os, "replace") if preexisting else (atomic, "link_exclusive")
    real = getattr(where, name)
    error = OSError(28, "No space left on device") if fails == "disk-full" else KeyboardInterrupt()
    calls = []

    def second_move_fails(source, path):
        calls.append(path)
        if len(calls) == 2:
            raise error
        return real(source, path)

    monkeypatch.setattr(where, name, second_move_fails)
    files = [(cutout, b"new cut-out"), (preview, b"new preview")]
    with pytest.raises(type(error)):
        atomic.write_files(files, overwrite=preexisting)
    assert sorted(os.listdir(tmp_path)) == (["a.cutout.png", "a.preview.png"] if preexisting else [])
    if preexisting:
        assert cutout.read_bytes() == b"old cut-out" and preview.read_bytes() == b"old preview"
    monkeypatch.undo()
    atomic.write_files(files, overwrite=preexisting)  # a retry works
    assert cutout.read_bytes() == b"new cut-out" and sorted(os.listdir(tmp_path)) == ["a.cutout.png", "a.preview.png"]


def test_write_errors_name_the_output_not_the_temporary_file(tmp_path, monkeypatch):
    real_open = os.open

    def no_permission(path, *args, **kwargs):
        if Path(path).parent == tmp_path:
            raise PermissionError(13, "Permission denied", str(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(atomic.os, "open", no_permission)
    with pytest.raises(PermissionError) as error:
        write_image(tmp_path / "x.png", samples(np.uint8, 3))
    assert error.value.filename == str(tmp_path / "x.png")
    with pytest.raises(ImageWriteError, match=f"^cannot write in {tmp_path}: Permission denied$"):
        atomic.check_writable(tmp_path)


# --------------------------------------------------------------------------- what is never decoded


def test_only_regular_files_are_read(tmp_path):
    fifo = tmp_path / "pipe.png"
    os.mkfifo(fifo)  # no writer: opening it for reading would wait for ever
    for path in (fifo, "/dev/zero"):  # /dev/zero would be read until memory runs out
        with pytest.raises(ImageReadError, match="not a regular file"):
            read_image(path)


def _bomb_tiff(path, width, height):
    """A small TIFF whose header declares width x height pixels."""
    import tifffile

    tifffile.imwrite(path, np.zeros((8, 8), np.uint8), compression="zlib")
    with tifffile.TiffFile(path, mode="r+b") as tif:
        tif.pages.first.tags["ImageWidth"].overwrite(width)
        tif.pages.first.tags["ImageLength"].overwrite(height)
    return path


@pytest.mark.parametrize("suffix", [".png", ".jpg", ".webp", ".bmp", ".tif", ".exr"])
def test_declared_size_is_checked_before_decoding(tmp_path, monkeypatch, suffix):
    import cv2
    import tifffile

    pixels = samples(np.float32 if suffix == ".exr" else np.uint8, 3, (30, 40))
    path = write_image(tmp_path / f"x{suffix}", pixels) if suffix != ".jpg" else tmp_path / "x.jpg"
    if suffix == ".jpg":  # with an EXIF block before the frame header, as cameras write
        from PIL import Image

        exif = Image.Exif()
        exif[0x0112] = 1
        Image.fromarray(pixels).save(path, exif=exif.tobytes())
    assert read_image(path, max_pixels=1200).width == 40  # at the limit: read

    def never(*args, **kwargs):
        raise AssertionError("decoded before the size was checked")

    monkeypatch.setattr(cv2, "imdecode", never)
    monkeypatch.setattr(tifffile.TiffPage, "asarray", never)
    with pytest.raises(decoding.ImageTooLargeError, match=r"40 x 30 pixels \(0.0012 megapixels\) is over the "
                                                          r"limit of 0.0012 megapixels"):
        read_image(path, max_pixels=1199)


@pytest.mark.parametrize("layout", ["huge tiles", "volume", "200 samples per pixel", "50 EXR channels"])
def test_files_that_decode_far_larger_than_they_declare_are_refused(tmp_path, monkeypatch, layout):
    import OpenEXR
    import tifffile

    path = tmp_path / ("x.exr" if "EXR" in layout else "x.tif")
    if layout == "huge tiles":
        tifffile.imwrite(path, np.zeros((16, 16), np.uint8), tile=(16, 16), compression="zlib")
        with tifffile.TiffFile(path, mode="r+b") as tif:
            tif.pages.first.tags["TileWidth"].overwrite(8192)
            tif.pages.first.tags["TileLength"].overwrite(8192)
    elif layout == "volume":
        tifffile.imwrite(path, np.zeros((64, 16, 16), np.uint8), volumetric=True, tile=(64, 16, 16))
    elif layout == "200 samples per pixel":
        tifffile.imwrite(path, np.zeros((16, 16, 200), np.uint8), photometric="minisblack", planarconfig="contig")
    else:
        with OpenEXR.File({"type": OpenEXR.scanlineimage},
                          {f"c{i:02d}": np.zeros((16, 16), np.float32) for i in range(50)}) as exr:
            exr.write(str(path))
    fine = write_image(tmp_path / f"fine{path.suffix}", samples(np.float32, 4, (16, 16)))

    def never(*args, **kwargs):
        raise AssertionError("decoded before its cost was checked")

    # A 16 x 16 picture may take 32 bytes a pixel; the floor for small pictures is left out here.
    monkeypatch.setattr(decoding, "DECODE_BYTES_FLOOR", 0)
    assert read_image(fine).channels == 4
    monkeypatch.setattr(tifffile.TiffPage, "asarray", never)
    with pytest.raises(decoding.ImageReadError, match=r"decoding would take .* for a 16 x 16 picture"):
        read_image(path)


def test_a_decompression_bomb_is_refused_at_the_default_limit(tmp_path):
    bomb = _bomb_tiff(tmp_path / "bomb.tif", 40000, 40000)  # 1600 megapixels in a file of a few hundred bytes
    assert bomb.stat().st_size < 1000
    with pytest.raises(decoding.ImageTooLargeError, match="over the limit of 300 megapixels"):
        read_image(bomb)
