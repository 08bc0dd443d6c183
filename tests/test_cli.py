"""The tavelin command run as a subprocess, and the Python API, on the built plug-in."""

import hashlib
import io
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "host"))

from tavelin_host.decoding import read_image  # noqa: E402
from tavelin_host.encoding import write_image  # noqa: E402
from tavelin_host.contract import WEIGHT_FILES  # noqa: E402


def built_plugin_dir():
    path = Path(os.environ.get("TAVELIN_TEST_PLUGIN_DIR") or ROOT / "build" / "plugin" / "Tavelin")
    has_module = any(path.glob("Tavelin*.so")) or (path / "Tavelin.py").is_file()
    return path if has_module and any((path / "models").glob("*.pt")) else None


PLUGIN_DIR = built_plugin_dir()
needs_plugin = pytest.mark.skipif(
    PLUGIN_DIR is None, reason="no built plug-in with models: run `make plugin models` (build/plugin/Tavelin/models/*.pt)"
)


def tavelin(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))
    command = [sys.executable, "-m", "tavelin_host", *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd, timeout=300)


def raw(path):
    """What a file stores: samples exactly as written, no orientation or conversion."""
    if path.suffix in (".exr", ".tif"):
        return read_image(path).pixels if path.suffix == ".exr" else __import__("tifffile").imread(path)
    return cv2.imread(str(path), cv2.IMREAD_UNCHANGED)


def digest(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(folder.iterdir()) if p.is_file()}


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    """A folder of mixed inputs; returns it with the expected (height, width) of each image."""
    from PIL import Image

    folder = tmp_path_factory.mktemp("photos")
    rng = np.random.default_rng(3)
    yy, xx = np.mgrid[0:40, 0:64]
    subject = ((yy - 20) ** 2 + (xx - 32) ** 2 < 15 ** 2)
    base = np.where(subject[:, :, None], (230, 180, 140), (40, 160, 60)).astype(np.uint8)

    rotated = Image.fromarray(base)                   # stored 64 wide, shown 40 wide (EXIF 6)
    exif = rotated.getexif()
    exif[0x0112] = 6
    rotated.save(folder / "portrait.jpg", quality=95, exif=exif.tobytes())
    write_image(folder / "deep.png", (base.astype(np.uint16) * 257)[:, :48])
    rgba = np.dstack([base, np.full((40, 64), 255, np.uint8)])
    rgba[:5, :5, 3] = 0
    write_image(folder / "layer.png", rgba)
    write_image(folder / "plate.exr", base.astype(np.float32) / 255 * 1.5)
    write_image(folder / "scan.tif", np.dstack([base.astype(np.float32) / 255, rng.random((40, 64), np.float32)]))
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(rng.integers(0, 256, 200, dtype=np.uint8)))
    (folder / "notes.txt").write_text("not a picture\n")
    sizes = {"portrait": (64, 40), "deep": (40, 48), "layer": (40, 64), "plate": (40, 64), "scan": (40, 64)}
    return folder, sizes


@pytest.fixture(scope="module")
def mixed_run(photos, tmp_path_factory):
    """One run over the whole folder: (process result, output folder, input digests before)."""
    folder, _ = photos
    before = digest(folder)
    out = tmp_path_factory.mktemp("mixed") / "out"
    return tavelin(folder, "-o", out, "--preview", "--plugin-dir", PLUGIN_DIR), out, before


@needs_plugin
def test_a_mixed_folder_is_matted_and_bad_files_are_reported(photos, mixed_run):
    folder, sizes = photos
    run, out, before = mixed_run
    assert run.returncode == 1, run.stderr
    lines = [line for line in run.stderr.splitlines() if line.startswith("tavelin: ") and "matted" not in line]
    skipped = [line for line in lines if "skipped" in line]
    errors = [line for line in lines if line not in skipped and not line.endswith(": no person found")]
    assert sorted(Path(line.split(": ")[1]).name for line in errors) == ["broken.png"]  # shapes, not people
    assert skipped == [f"tavelin: skipped 1 (not an image type by extension): {folder / 'notes.txt'}"]
    assert "5 of 6 matted, 1 failed, 5 with no person found" in run.stderr
    assert "[Tavelin]" not in run.stderr  # the plug-in's load lines only with --verbose
    assert digest(folder) == before, "inputs changed"

    expected = {  # name: (dtype, channels)
        "portrait.cutout.png": (np.uint8, 4), "deep.cutout.png": (np.uint16, 4), "layer.cutout.png": (np.uint8, 4),
        "plate.cutout.exr": (np.float32, 4), "scan.cutout.tif": (np.float32, 4),
    }
    previews = {f"{stem}.preview.png" for stem in sizes}
    assert {p.name for p in out.iterdir()} == set(expected) | previews
    for name, (dtype, channels) in expected.items():
        stored = raw(out / name)
        assert stored.dtype == dtype, name
        assert stored.shape == (*sizes[name.split(".")[0]], channels), name
    for name in previews:
        stored = raw(out / name)
        assert stored.dtype == np.uint8 and stored.shape == (*sizes[name.split(".")[0]], 3), name

    # A cut-out keeps the input's colour, upright and in RGB order; only alpha is new.
    source = read_image(folder / "portrait.jpg").pixels
    cutout = read_image(out / "portrait.cutout.png").pixels
    np.testing.assert_array_equal(cutout[:, :, :3], source)
    deep = read_image(out / "deep.cutout.png").pixels
    np.testing.assert_allclose(deep[:, :, :3], read_image(folder / "deep.png").pixels, atol=1 / 255 + 1e-6)


@needs_plugin
def test_mattes_are_grey_images_at_the_input_bit_depth(photos, tmp_path):
    folder, sizes = photos
    run = tavelin(folder / "deep.png", folder / "scan.tif", folder / "portrait.jpg", "-o", tmp_path,
                  "--output", "matte", "--resize-mode", "0", "--plugin-dir", PLUGIN_DIR, "--quiet")
    assert run.returncode == 0, run.stderr
    assert "matted" not in run.stderr and "model loaded" not in run.stderr  # --quiet: no summary, no chatter
    for name, dtype in [("deep.matte.png", np.uint16), ("scan.matte.tif", np.float32), ("portrait.matte.png", np.uint8)]:
        stored = raw(tmp_path / name)
        assert stored.dtype == dtype and stored.shape == sizes[name.split(".")[0]], name


@needs_plugin
def test_outputs_are_kept_unless_overwrite_and_inputs_never_overwritten(photos, tmp_path):
    folder, _ = photos
    work = tmp_path / "w"
    work.mkdir()
    for name in ("portrait.jpg", "layer.png"):
        (work / name).write_bytes((folder / name).read_bytes())
    (work / "layer.cutout.png").write_bytes((folder / "layer.png").read_bytes())  # an input with an output's name
    (work / "portrait.cutout.png").write_bytes(b"an earlier result")

    run = tavelin(work / "portrait.jpg", work / "layer.png", work / "layer.cutout.png", "--overwrite",
                  "--plugin-dir", PLUGIN_DIR)
    assert run.returncode == 1
    assert "is an input" in run.stderr
    assert (work / "layer.cutout.png").read_bytes() == (folder / "layer.png").read_bytes()
    assert read_image(work / "portrait.cutout.png").channels == 4      # replaced, as asked

    replaced = (work / "portrait.cutout.png").read_bytes()
    run = tavelin(work / "portrait.jpg", "--plugin-dir", PLUGIN_DIR)
    assert run.returncode == 1 and "already exists" in run.stderr
    assert (work / "portrait.cutout.png").read_bytes() == replaced
    assert not [p for p in work.iterdir() if p.name.startswith(".")], "temporary files left behind"


@needs_plugin
def test_decontaminated_cutout_keeps_alpha(photos, mixed_run, tmp_path):
    folder, _ = photos
    _, plain, _ = mixed_run
    run = tavelin(folder / "layer.png", folder / "plate.exr", "-o", tmp_path, "--decontaminate", "--preview",
                  "--plugin-dir", PLUGIN_DIR)
    assert run.returncode == 0, run.stderr
    for name in ("layer.cutout.png", "plate.cutout.exr"):
        before, after = raw(plain / name), raw(tmp_path / name)
        assert after.dtype == before.dtype
        np.testing.assert_array_equal(before[:, :, 3], after[:, :, 3])
    assert (tmp_path / "layer.preview.png").is_file()
    # over the contrasting background, not the checkerboard of the plain preview
    assert not np.array_equal(raw(tmp_path / "layer.preview.png"), raw(plain / "layer.preview.png"))


@pytest.fixture(scope="module")
def portraits(tmp_path_factory):
    """The sample portrait as users bring it, and two runs over it.

    layer.png / deep.png: 8- and 16-bit RGBA, the right third made transparent and a
    band half so, stored turned a quarter (EXIF orientation 6) with the file's sRGB
    profile and 300 x 150 DPI; hdr.tif: linear float light, the suit lit up to 12;
    plate.exr: linear float RGBA; pages.tif / frames.webp: two pages / two frames;
    empty.png: a flat grey picture with no one in it.  Returns the input folder and
    the two runs, (process, output folder), both with fp16 asked on the CPU: with
    --decontaminate --preview, and with --output matte.
    """
    import tifffile
    from PIL import Image

    from tavelin_host.images import ImageInfo, to_float

    folder = tmp_path_factory.mktemp("portraits")
    source = read_image(ROOT / "examples" / "astronaut.png")
    upright = cv2.resize(source.pixels, (192, 192), interpolation=cv2.INTER_AREA)
    alpha = np.full((192, 192), 255, np.uint8)
    alpha[:, 128:] = 0
    alpha[:, 112:128] = 128
    exif = Image.Exif()
    exif[0x0112] = 6
    info = ImageInfo(source.info.icc_profile, (300.0, 150.0), exif.tobytes()[6:])
    stored = np.rot90(np.dstack([upright, alpha]))  # orientation 6 turns it back upright
    write_image(folder / "layer.png", stored, info=info)
    write_image(folder / "deep.png", stored.astype(np.uint16) * 257, info=info)
    light = to_float(upright)
    linear = np.where(light <= 0.04045, light / 12.92, ((light + 0.055) / 1.055) ** 2.4).astype(np.float32)
    hdr = linear.copy()
    hdr[110:150, 50:110] *= 12                       # the suit, well inside the person
    write_image(folder / "hdr.tif", hdr)
    write_image(folder / "plate.exr", np.dstack([linear, to_float(alpha)]))
    tifffile.imwrite(folder / "pages.tif", np.stack([upright, upright[::-1]]), photometric="rgb")
    Image.fromarray(upright).save(folder / "frames.webp", save_all=True, lossless=True, duration=100,
                                  append_images=[Image.fromarray(upright[::-1])])
    write_image(folder / "empty.png", np.full((64, 64, 3), 128, np.uint8))

    runs = {}
    for name, args in [("cutouts", ["--decontaminate", "--preview"]), ("mattes", ["--output", "matte"])]:
        out = tmp_path_factory.mktemp(name)
        runs[name] = tavelin(folder, "-o", out, *args, "--device", "cpu", "--precision", "fp16",
                             "--plugin-dir", PLUGIN_DIR), out
    return folder, runs


@needs_plugin
def test_cutouts_keep_transparency_and_hdr_and_previews_show_float_light(portraits):
    import tifffile

    folder, runs = portraits
    (run, cut), (_, mattes) = runs["cutouts"], runs["mattes"]
    assert run.returncode == 0, run.stderr

    # alpha = matte x the input's own alpha, at every bit depth
    for stem, suffix in [("layer", ".png"), ("deep", ".png"), ("plate", ".exr")]:
        own = read_image(folder / f"{stem}{suffix}").pixels[:, :, 3]
        matte, alpha = raw(mattes / f"{stem}.matte{suffix}"), read_image(cut / f"{stem}.cutout{suffix}").pixels[:, :, 3]
        if alpha.dtype == np.uint8:
            expected = np.rint(matte.astype(np.float64) * own / 255).astype(np.uint8)
            np.testing.assert_array_equal(alpha, expected, err_msg=stem)
        else:
            matte = matte[:, :, 0] if matte.ndim == 3 else matte / np.float32(65535)
            np.testing.assert_allclose(alpha, matte * own, atol=1e-6 if suffix == ".exr" else 1 / 65535, err_msg=stem)
        assert alpha[:, 130:].max() == 0, stem                 # made transparent in the input: stays so
        assert to_float_max(alpha[:, :100]) > 0.9, stem         # the person is still there

    # --decontaminate keeps light above 1 where the person is opaque
    source, cutout = read_image(folder / "hdr.tif").pixels, read_image(cut / "hdr.cutout.tif").pixels
    opaque = cutout[:, :, 3] == 1.0
    assert cutout[:, :, :3][opaque].max() > 10
    np.testing.assert_array_equal(cutout[:, :, :3][opaque], source[opaque])

    # straight colour in a TIFF that says so (ExtraSamples: unassociated alpha)
    with tifffile.TiffFile(cut / "hdr.cutout.tif") as tif:
        assert tif.pages.first.extrasamples == (2,)
        np.testing.assert_array_equal(tif.pages.first.asarray(), cutout)

    # a float picture's preview is encoded for the screen (sRGB), not shown as linear numbers
    preview, plate = raw(cut / "plate.preview.png"), read_image(cut / "plate.cutout.exr").pixels
    solid = (plate[:, :, 3] == 1.0) & (plate[:, :, :3].max(axis=2) < 1)
    assert solid.sum() > 100
    shown = cv2.cvtColor(preview, cv2.COLOR_BGR2RGB)[solid].astype(np.float32) / 255
    c = plate[:, :, :3][solid]
    encoded = np.where(c <= 0.0031308, c * 12.92, 1.055 * c ** (1 / 2.4) - 0.055)
    assert np.abs(shown - encoded).max() <= 1 / 255 + 1e-6


def to_float_max(samples):
    return samples.max() / (255 if samples.dtype == np.uint8 else 1)


@needs_plugin
def test_outputs_carry_profile_resolution_and_upright_exif(portraits):
    from PIL import Image

    folder, runs = portraits
    (_, cut), (_, mattes) = runs["cutouts"], runs["mattes"]
    profile = read_image(ROOT / "examples" / "astronaut.png").info.icc_profile
    for path, has_profile in [(cut / "layer.cutout.png", True), (cut / "deep.cutout.png", True),
                              (cut / "layer.preview.png", True), (mattes / "layer.matte.png", False)]:
        with Image.open(path) as image:
            assert image.info.get("icc_profile") == (profile if has_profile else None), path.name
            assert np.allclose(image.info["dpi"], (150, 300), atol=0.05), path.name  # turned: axes swapped
            assert image.getexif()[0x0112] == 1, path.name
    source = read_image(folder / "layer.png").pixels
    np.testing.assert_array_equal(read_image(cut / "layer.cutout.png").pixels[:, :, 3] > 0,
                                  read_image(mattes / "layer.matte.png").pixels[:, :, 0] * (source[:, :, 3] > 0) > 0)
    # a float picture's preview is plain sRGB whatever its file said; grey mattes carry no RGB profile
    with Image.open(cut / "plate.preview.png") as image:
        assert "icc_profile" not in image.info


@needs_plugin
def test_people_pages_and_precision_are_reported_as_they_are(portraits):
    folder, runs = portraits
    for name, (run, _) in runs.items():
        assert run.returncode == 0, run.stderr
        lines = run.stderr.splitlines()
        assert [line for line in lines if "no person found" in line and "matted" not in line] == [
            f"tavelin: {folder / 'empty.png'}: no person found"], name
        assert "7 of 7 matted, 0 failed, 1 with no person found" in run.stderr, name
        for multiple in ("pages.tif", "frames.webp"):
            assert f"tavelin: {folder / multiple}: 2 pages or frames: only the first was used" in lines, name
        assert "on cpu / fp32 (fp16 asked; the CPU runs float32)" in run.stderr, name
    assert "Separate people" in " ".join(tavelin("--help").stdout.split())


@needs_plugin
def test_background_composites_the_cutout_at_the_input_bit_depth(photos, mixed_run, tmp_path):
    folder, sizes = photos
    _, plain, _ = mixed_run
    run = tavelin(folder / "portrait.jpg", folder / "deep.png", folder / "layer.png", "-o", tmp_path,
                  "--background", "#ff0000", "--plugin-dir", PLUGIN_DIR)
    assert run.returncode == 0, run.stderr
    red = np.array([1.0, 0.0, 0.0])
    for name, dtype, tolerance in [("portrait.composite.jpg", np.uint8, 0.03),  # a JPEG stays a JPEG
                                   ("deep.composite.png", np.uint16, 1e-4), ("layer.composite.png", np.uint8, 0.003)]:
        stem = name.split(".")[0]
        stored = raw(tmp_path / name)
        assert stored.dtype == dtype and stored.shape == (*sizes[stem], 3), name
        cutout = read_image(plain / f"{stem}.cutout.png").as_float()
        expected = cutout[:, :, :3] * cutout[:, :, 3:] + red * (1 - cutout[:, :, 3:])
        assert np.abs(read_image(tmp_path / name).as_float() - expected).mean() < tolerance, name
    assert not (tmp_path / "portrait.cutout.png").exists()


@pytest.mark.parametrize("bit_depth", [8, 32])
def test_background_image_is_cover_cropped_and_shows_where_the_cutout_is_clear(tmp_path, monkeypatch, bit_depth):
    from tavelin_host.background import Background
    from tavelin_host.images import HostImage

    # the middle is cut before scaling: a 1 x 1000 strip behind a 1000 x 1 picture never grows to 1000 x 10^6
    resize = cv2.resize

    def small_resize(src, dsize, *args, **kwargs):
        assert src.size <= 3000 and dsize[0] * dsize[1] <= 1000, (src.shape, dsize)
        return resize(src, dsize, *args, **kwargs)

    monkeypatch.setattr(cv2, "resize", small_resize)
    strip = Background(picture=HostImage.from_array(np.linspace(0, 1, 1000, dtype=np.float32)[:, None, None]
                                                    .repeat(3, axis=2), bit_depth))
    assert strip.plate(1, 1000, np.float32).shape == (1, 1000, 3)

    # 40 x 20 picture, red rising left to right: covering 10 x 10 takes its middle half at half size
    ramp = np.zeros((20, 40, 3), np.uint8)
    ramp[:, :, 0] = np.arange(40) * 6
    write_image(tmp_path / "ramp.png", ramp)
    background = Background.parse(str(tmp_path / "ramp.png"))
    cutout = np.zeros((10, 10, 4), np.float32)
    cutout[:, 5:] = (2.5, 0.5, 0.25, 1.0)  # opaque right half; float colour above 1
    image = HostImage.from_array(cutout, bit_depth)
    out = background.composite(image.pixels, bit_depth)
    assert out.dtype == image.pixels.dtype and out.shape == (10, 10, 3)
    values = out.astype(np.float32) / (255 if bit_depth == 8 else 1)
    np.testing.assert_allclose(values[:, 5:], np.broadcast_to(image.as_float()[:, 5:, :3], (10, 5, 3)), atol=1e-6)
    shown = values[0, :5, 0] * 255 / 6  # the picture's own column numbers under the clear half
    assert 9 <= shown[0] <= 12 and np.all(np.diff(shown) > 1.5)


@pytest.mark.parametrize("args,message", [
    (["--resize-mode", "5"], "invalid choice"),
    (["--device", "gpu"], "unknown device"),
    (["--precision", "bf16"], "unknown precision"),
    (["--background", "#12345z"], "is not a colour"),
    (["--background", "nowhere.png"], "neither a colour"),
    (["--background", "#-1-1-1"], "is not a colour"),
    (["--background", "#+f+f+f"], "is not a colour"),
    (["--background", "# 1 2 3"], "is not a colour"),
    (["--max-megapixels", "inf"], "not a finite positive number"),
    (["--max-megapixels", "1e400"], "not a finite positive number"),
    (["clip.mp4", "-o", "-"], "clips cannot go to standard output (-o -)"),
    (["-o", "out.png"], "names one image's output"),
    (["--threshold", "2"], "from 0 to 1"),
])
def test_usage_errors_exit_2(tmp_path, args, message):
    (tmp_path / "clip.mp4").write_bytes(b"")
    run = tavelin(tmp_path, *args, cwd=tmp_path)
    assert run.returncode == 2 and message in run.stderr
    assert "Traceback" not in run.stderr


@needs_plugin
def test_several_outputs_of_one_render_equal_separate_runs(photos, tmp_path):
    folder, _ = photos
    for kinds in ("cutout", "matte", "cutout,matte"):
        tavelin(folder, "-o", tmp_path / kinds, "--output", kinds, "--preview", "-q", "--plugin-dir", PLUGIN_DIR)
    both = digest(tmp_path / "cutout,matte")
    assert both == {**digest(tmp_path / "cutout"), **digest(tmp_path / "matte")} and len(both) == 5 * 3


@needs_plugin
def test_an_output_file_named_with_o_is_written_exactly_there(photos, tmp_path):
    source = photos[0] / "deep.png"
    run = tavelin(source, "-o", tmp_path / "new" / "result.tif", "--output", "matte", "--preview", "-q")
    assert run.returncode == 0, run.stderr
    assert sorted(p.name for p in (tmp_path / "new").iterdir()) == ["result.preview.png", "result.tif"]
    assert raw(tmp_path / "new" / "result.tif").shape == raw(source).shape[:2]  # a TIFF, as named
    run = tavelin(source, "-o", tmp_path / "new" / "result.tif", "--output", "matte", "-q")
    assert run.returncode == 1 and "already exists" in run.stderr


def test_a_missing_package_is_one_line(tmp_path):
    image = write_image(tmp_path / "a.png", np.zeros((4, 4, 3), np.uint8))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))
    code = ("import sys; sys.modules['torch'] = None; from tavelin_host.cli import main; "
            f"sys.exit(main([{str(image)!r}, '-o', {str(tmp_path / 'out')!r}]))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 2 and "Traceback" not in run.stderr
    assert run.stderr.strip().splitlines()[-1] == ("tavelin: torch is not installed here: pip install torch==2.13.0 "
                                                   "(or reinstall tavelin, which names every package it needs)")


def test_missing_plugin_and_missing_inputs_are_reported(tmp_path):
    image = write_image(tmp_path / "a.png", np.zeros((4, 4, 3), np.uint8))
    run = tavelin(image, "--plugin-dir", tmp_path / "nowhere")
    assert run.returncode == 2 and "does not exist" in run.stderr
    run = tavelin(tmp_path / "absent.png")
    assert run.returncode == 1 and "no such file" in run.stderr
    assert os.listdir(tmp_path) == ["a.png"]


@needs_plugin
def test_python_api_renders_through_the_plugin(tmp_path):
    from tavelin_host import Host, HostImage, matte_file

    image = np.zeros((30, 50, 3), np.uint8)
    image[8:22, 15:35] = (250, 240, 230)
    with Host(PLUGIN_DIR, device="cpu", quiet=True) as host:
        cutout = host.matte_image(image)
        assert isinstance(cutout, HostImage) and cutout.pixels.shape == (30, 50, 4)
        np.testing.assert_array_equal(cutout.pixels[:, :, :3], image)
        loads = [step for step in host.ui.history if step == ("Model loaded", 100)]
        assert len(loads) == 1
        matte = host.matte_image(image.astype(np.float32) / 255, output="matte", resize_mode=2)
        assert matte.bit_depth == 32 and matte.pixels.shape == (30, 50, 3)
        assert len([step for step in host.ui.history if step == ("Model loaded", 100)]) == 1  # no reload
        source = write_image(tmp_path / "in.png", image)
        written = matte_file(host, source, out_dir=tmp_path / "new" / "folder", output="matte", preview=True)
        assert [p.name for p in written] == ["in.matte.png", "in.preview.png"]
        assert raw(written[0]).shape == (30, 50)


@needs_plugin
@pytest.mark.parametrize("name,status,said", [("SIGINT", 130, "interrupted"), ("SIGTERM", 143, "stopped by a signal (143)"),
                                              ("SIGHUP", 129, "stopped by a signal (129)")])
def test_ctrl_c_stops_the_run_with_status_130(tmp_path, monkeypatch, capsys, name, status, said):
    import signal

    from tavelin_host import cli, pipeline

    sources = [write_image(tmp_path / f"{name}.png", np.zeros((20, 30, 3), np.uint8)) for name in "ab"]
    render = pipeline.render

    def render_after_ctrl_c(host, job, options):
        if job.source.name == "b.png":  # while b renders, a is being written on the I/O thread
            signal.raise_signal(getattr(signal, name))  # Ctrl-C, or a stop from the system or the terminal
        return render(host, job, options)

    def as_ctrl_c(signum, frame):  # were the command not to take the signal, it must not end the test run
        raise KeyboardInterrupt

    monkeypatch.setattr(pipeline, "render", render_after_ctrl_c)
    out = tmp_path / "out"
    number = getattr(signal, name)
    before = signal.signal(number, as_ctrl_c) if name != "SIGINT" else None
    try:
        assert cli.main([*map(str, sources), "-o", str(out), "--plugin-dir", str(PLUGIN_DIR)]) == status
        assert signal.getsignal(number) is (as_ctrl_c if name != "SIGINT" else signal.default_int_handler)
    finally:
        if before is not None:
            signal.signal(number, before)
    assert f"tavelin: {said} after 1 of 2 file(s)" in capsys.readouterr().err.splitlines()
    assert os.listdir(out) == ["a.cutout.png"]


# --------------------------------------------------------------------------- hostile inputs, pipes, reruns


@needs_plugin
def test_files_that_must_not_be_decoded_get_one_line_each(tmp_path):
    from test_host_image_io import _bomb_tiff

    fifo = tmp_path / "pipe.png"
    os.mkfifo(fifo)                                           # no writer: must not block
    bomb = _bomb_tiff(tmp_path / "bomb.tif", 40000, 40000)    # 1600 megapixels declared
    odd = tmp_path / "bad\nname.png"
    odd.write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    long_name = write_image(tmp_path / ("n" * 235 + ".png"), np.zeros((20, 30, 3), np.uint8))
    absent = tmp_path / "absent.png"                          # an argument problem counts as a failure
    run = tavelin("/dev/zero", fifo, bomb, odd, long_name, absent, "--plugin-dir", PLUGIN_DIR)
    assert run.returncode == 1, run.stderr
    lines = run.stderr.splitlines()
    assert f"tavelin: /dev/zero: cannot read image: not a regular file (a device, pipe or socket), not read" in lines
    assert f"tavelin: {fifo}: cannot read image: not a regular file (a device, pipe or socket), not read" in lines
    assert (f"tavelin: {bomb}: cannot read image: 40000 x 40000 pixels (1600 megapixels) is over the limit of "
            "300 megapixels (--max-megapixels raises it)") in lines
    assert f"tavelin: {tmp_path}/bad\\nname.png: cannot read image: damaged, or an image type that cannot be read" in lines
    assert f"tavelin: {absent}: no such file or folder" in lines, lines
    assert "1 of 6 matted, 5 failed" in lines[-1], lines
    assert (tmp_path / ("n" * 235 + ".cutout.png")).is_file()  # a 246-byte name


@needs_plugin
def test_pipes_mirrored_folders_and_reruns(tmp_path):
    source = write_image(tmp_path / "x.png", np.full((24, 32, 3), 200, np.uint8))
    piped = subprocess.run(
        [sys.executable, "-m", "tavelin_host", "-", "-o", "-", "--format", "tif", "--plugin-dir", str(PLUGIN_DIR)],
        input=source.read_bytes(), capture_output=True, timeout=300,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")])))
    assert piped.returncode == 0, piped.stderr
    assert b"matted" in piped.stderr                              # logs on stderr, only the image on stdout
    assert __import__("tifffile").imread(io.BytesIO(piped.stdout)).shape == (24, 32, 4)
    composite = subprocess.run(
        [sys.executable, "-m", "tavelin_host", "-", "-o", "-", "--background", "white", "--plugin-dir", str(PLUGIN_DIR)],
        input=source.read_bytes(), capture_output=True, timeout=300,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")])))
    assert composite.returncode == 0, composite.stderr
    assert cv2.imdecode(np.frombuffer(composite.stdout, np.uint8), cv2.IMREAD_UNCHANGED).shape == (24, 32, 3)
    assert sorted(os.listdir(tmp_path)) == ["x.png"]

    shots = tmp_path / "shots"
    for name in ("day1/IMG_1.jpg", "day2/IMG_1.jpg", "a.jpg", "a.png"):
        (shots / name).parent.mkdir(parents=True, exist_ok=True)
        cv2.imwrite(str(shots / name), np.full((16, 16, 3), 90, np.uint8))
    out = tmp_path / "out"
    first = tavelin(shots, "-r", "-o", out, "--plugin-dir", PLUGIN_DIR)
    assert first.returncode == 0, first.stderr
    written = sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file())
    assert written == ["a.jpg.cutout.png", "a.png.cutout.png", "day1/IMG_1.cutout.png", "day2/IMG_1.cutout.png"]
    before = {name: (out / name).read_bytes() for name in written}
    again = tavelin(shots, "-r", "-o", out, "--skip-existing", "--plugin-dir", PLUGIN_DIR)
    assert again.returncode == 0, again.stderr
    assert "0 of 4 matted, 4 skipped (outputs exist), 0 failed" in again.stderr
    assert {name: (out / name).read_bytes() for name in written} == before


class Endless(io.RawIOBase):
    """Standard input that never ends: ``head``, then zeros, failing the test past ``most`` bytes."""

    def __init__(self, head=b"", most=100 << 20):
        self.head, self.most, self.given = head, most, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        assert self.given < self.most, "standard input read on and on"
        size = len(buffer)
        chunk = (self.head[:size] + bytes(size))[:size]
        self.head = self.head[size:]
        buffer[:size] = chunk
        self.given += size
        return size


@pytest.mark.parametrize("head,message", [
    (b"", "not an image"),                                             # cat /dev/zero | tavelin -
    (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x9c\x40\x00\x00\x9c\x40\x08\x02\x00\x00\x00",
     "40000 x 40000 pixels"),                                           # a header over the limit
    (b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x10\x00\x00\x00\x10\x08\x02\x00\x00\x00",
     "larger than any image within the limit of 1 megapixels"),         # a small header, then no end
])
def test_standard_input_is_checked_as_it_arrives(head, message):
    from tavelin_host.decoding import ImageReadError
    from tavelin_host.pipeline import MatteOptions, read

    stdin = io.BufferedReader(Endless(head))
    with pytest.raises(ImageReadError, match=message):
        read("-", MatteOptions(out_dir="-", max_pixels=1_000_000), stdin=stdin)


@needs_plugin
@pytest.mark.parametrize("case", ["reader goes away", "stdout closed", "stdin closed", "stderr closed"])
def test_standard_streams_that_go_away_give_one_clear_outcome(tmp_path, case):
    source = write_image(tmp_path / "x.png", np.random.default_rng(1).integers(0, 256, (600, 800, 3), np.uint8))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))
    command = [sys.executable, "-m", "tavelin_host", "--plugin-dir", str(PLUGIN_DIR)]
    if case == "reader goes away":  # after 64 KiB of a 1.4 MB image
        with open(source, "rb") as stdin:
            process = subprocess.Popen([*command, "-", "-o", "-"], stdin=stdin, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, env=env)
            process.stdout.read(65536)
            process.stdout.close()
            stderr = process.stderr.read().decode()
            status = process.wait(timeout=300)
        assert status == 1, stderr
        assert stderr.count("standard output was closed before the image was written in full") == 1, stderr
        assert "0 of 1 matted, 1 failed" in stderr and "Traceback" not in stderr and "Exception" not in stderr
        return
    closing = {"stdout closed": ">&-", "stdin closed": "<&-", "stderr closed": "2>&-"}[case]
    args = {"stdout closed": [str(source), "-o", "-"], "stdin closed": ["-", "-o", str(tmp_path)],
            "stderr closed": [str(source)]}[case]
    run = subprocess.run(["bash", "-c", f'exec "$@" {closing}', "bash", *command, *args], capture_output=True,
                         text=True, env=env, timeout=300)
    if case == "stderr closed":  # nothing to say it on: the exit status and the output tell
        assert run.returncode == 0 and (tmp_path / "x.cutout.png").is_file()
        return
    assert run.returncode == 2 and len(run.stderr.splitlines()) == 1, run.stderr
    assert f"standard {case.split()[0].replace('std', '')}put is closed" in run.stderr


@pytest.mark.parametrize("existing,background", [("a.composite.jpg", "white"), ("a.cutout.png", None)])
def test_skip_existing_looks_for_the_outputs_asked_for(tmp_path, existing, background):
    from tavelin_host.background import Background
    from tavelin_host.pipeline import MatteOptions, Skipped, read

    source = tmp_path / "a.jpg"
    cv2.imwrite(str(source), np.zeros((8, 8, 3), np.uint8))
    (tmp_path / existing).write_bytes(b"an earlier output")
    options = MatteOptions(skip_existing=True, background=Background.parse(background) if background else None)
    with pytest.raises(Skipped):
        read(source, options)


@pytest.fixture
def no_render(monkeypatch):
    """Fails the test if the plug-in would be loaded: checks must come first."""
    from tavelin_host import host

    def refuse(*args, **kwargs):
        raise AssertionError("the plug-in was loaded before the checks")

    monkeypatch.setattr(host, "Host", refuse)


@pytest.mark.parametrize("setup", ["weights-missing", "folder-not-writable", "output-under-a-file"])
def test_unusable_setups_are_refused_before_any_render(tmp_path, monkeypatch, capsys, no_render, setup):
    from tavelin_host import atomic, cli

    image = write_image(tmp_path / "a.png", np.zeros((4, 4, 3), np.uint8))
    plugin = tmp_path / "plugin"
    (plugin / "models").mkdir(parents=True)
    (plugin / "Tavelin.py").write_text("")
    out = tmp_path / "out"
    if setup != "weights-missing":
        for name in WEIGHT_FILES:
            (plugin / "models" / name).write_bytes(b"")
    if setup == "folder-not-writable":  # as a folder without write permission, whoever runs the test
        out.mkdir()
        real_open = os.open

        def denied(path, *args, **kwargs):
            if Path(path).parent == out:
                raise PermissionError(13, "Permission denied", str(path))
            return real_open(path, *args, **kwargs)

        monkeypatch.setattr(atomic.os, "open", denied)
    if setup == "output-under-a-file":
        out = image / "out"
    status = cli.main([str(image), "-o", str(out), "--plugin-dir", str(plugin)])
    lines = capsys.readouterr().err.splitlines()
    assert status == 2 and len(lines) == 1, lines
    expected = {"weights-missing": "`make models`", "folder-not-writable": f"cannot write in {out}: Permission denied",
                "output-under-a-file": f"cannot create {out}"}[setup]
    assert expected in lines[0] and ".part" not in lines[0]


@pytest.mark.parametrize("when", ["expanding inputs", "loading the plug-in"])
def test_ctrl_c_during_start_up_exits_130_with_one_line(tmp_path, monkeypatch, capsys, when):
    import signal

    from tavelin_host import cli, host

    def ctrl_c(*args, **kwargs):
        signal.raise_signal(signal.SIGINT)

    image = write_image(tmp_path / "a.png", np.zeros((4, 4, 3), np.uint8))
    monkeypatch.setattr(*((cli, "expand_inputs", ctrl_c) if when == "expanding inputs" else (host, "Host", ctrl_c)))
    status = cli.main([str(image), "--plugin-dir", str(PLUGIN_DIR or tmp_path)])
    assert status == 130
    assert capsys.readouterr().err.splitlines() == ["tavelin: interrupted"]


@needs_plugin
def test_an_input_gets_all_its_outputs_or_none_and_a_retry_works(tmp_path, monkeypatch, capsys):
    from tavelin_host import atomic, cli

    source = write_image(tmp_path / "a.png", np.zeros((20, 30, 3), np.uint8))
    out = tmp_path / "out"
    link = atomic.link_exclusive

    def disk_full_at_the_preview(tmp, path):
        if path.name == "a.preview.png":
            raise OSError(28, "No space left on device")
        return link(tmp, path)

    monkeypatch.setattr(atomic, "link_exclusive", disk_full_at_the_preview)
    args = [str(source), "-o", str(out), "--preview", "--plugin-dir", str(PLUGIN_DIR)]
    assert cli.main(args) == 1
    assert f"tavelin: {source}: No space left on device" in capsys.readouterr().err.splitlines()
    assert os.listdir(out) == []
    monkeypatch.undo()
    assert cli.main(args) == 0
    assert sorted(os.listdir(out)) == ["a.cutout.png", "a.preview.png"]


def readme_blocks():
    """The README's shell and Python code blocks, each as (language, text), id'd by line."""
    import re
    import textwrap

    text = (ROOT / "README.md").read_text()
    blocks = []
    for match in re.finditer(r"^( *)```(\w+)\n(.*?)^\1```", text, flags=re.S | re.M):
        language, body = match.group(2), textwrap.dedent(match.group(3))
        if language in ("sh", "python"):
            line = text.count("\n", 0, match.start()) + 1
            blocks.append(pytest.param(language, body, id=f"README.md:{line}"))
    return blocks


# Lines that build the checkout itself (make targets, the converter): CI runs those.
BUILD_COMMANDS = ("make ", "python -m models.convert")


@needs_plugin
@pytest.mark.parametrize("language, body", readme_blocks())
def test_readme_code_blocks_run_as_written(language, body, tmp_path):
    """Each block runs in a fresh folder holding the files it names, with .venv and
    build/plugin/Tavelin as in a checkout."""
    from test_video import picture_frames, write_clip

    small = cv2.resize(cv2.imread(str(ROOT / "examples" / "astronaut.png")), (96, 96), interpolation=cv2.INTER_AREA)
    for name in ("photo.jpg", "photo.png", "shots/day1/IMG_1.jpg", "shots/day2/IMG_1.jpg"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        cv2.imwrite(str(tmp_path / name), small)
    write_image(tmp_path / "scan.tif", small[:, :, ::-1].astype(np.uint16) * 257)
    write_image(tmp_path / "panorama.tif", np.concatenate([small, small], axis=1)[:, :, ::-1])
    write_clip(tmp_path / "interview.mp4", picture_frames(count=4), audio=False)
    (tmp_path / ".venv").symlink_to(Path(sys.executable).parents[1])
    (tmp_path / "build" / "plugin").mkdir(parents=True)
    (tmp_path / "build" / "plugin" / "Tavelin").symlink_to(PLUGIN_DIR)

    env = dict(os.environ, TAVELIN_PLUGIN_DIR=str(PLUGIN_DIR), PATH=f"{Path(sys.executable).parent}{os.pathsep}"
               f"{os.environ['PATH']}")
    if language == "python":
        command = [sys.executable, "-c", body]
    else:
        lines = [line for line in body.splitlines() if not line.lstrip().startswith(BUILD_COMMANDS)]
        command = ["bash", "-euo", "pipefail", "-c", "\n".join(lines)]
    run = subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
