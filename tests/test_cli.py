"""The tavelin command run as a subprocess, and the Python API, on the built plug-in."""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "host"))

from tavelin_host.image_io import read_image, write_image  # noqa: E402


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
    errors = [line for line in run.stderr.splitlines() if line.startswith("tavelin: ") and "matted" not in line]
    assert sorted(Path(line.split(": ")[1]).name for line in errors) == ["broken.png", "notes.txt"]
    assert "5 of 7 matted, 2 failed" in run.stderr
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
def test_background_image_is_cover_cropped_and_shows_where_the_cutout_is_clear(tmp_path, bit_depth):
    from tavelin_host.background import Background
    from tavelin_host.images import HostImage

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
])
def test_usage_errors_exit_2(tmp_path, args, message):
    run = tavelin(tmp_path, *args)
    assert run.returncode == 2 and message in run.stderr


def test_missing_plugin_and_missing_inputs_are_reported(tmp_path):
    image = write_image(tmp_path / "a.png", np.zeros((4, 4, 3), np.uint8))
    run = tavelin(image, "--plugin-dir", tmp_path / "nowhere")
    assert run.returncode == 2 and "does not exist" in run.stderr
    run = tavelin(tmp_path / "absent.png")
    assert run.returncode == 1 and "no such file" in run.stderr
    assert os.listdir(tmp_path) == ["a.png"]


@needs_plugin
def test_python_api_renders_through_the_plugin(tmp_path):
    from tavelin_host import Host, HostImage

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
        written = host.matte_file(source, out_dir=tmp_path / "new" / "folder", output="matte", preview=True)
        assert [p.name for p in written] == ["in.matte.png", "in.preview.png"]
        assert raw(written[0]).shape == (30, 50)


@needs_plugin
def test_ctrl_c_stops_the_run_with_status_130(tmp_path, monkeypatch, capsys):
    import signal

    from tavelin_host import cli, pipeline

    sources = [write_image(tmp_path / f"{name}.png", np.zeros((20, 30, 3), np.uint8)) for name in "ab"]
    read = pipeline.read_image

    def read_after_ctrl_c(path):
        if Path(path).name == "b.png":
            signal.raise_signal(signal.SIGINT)  # what the terminal sends on Ctrl-C
        return read(path)

    monkeypatch.setattr(pipeline, "read_image", read_after_ctrl_c)
    out = tmp_path / "out"
    status = cli.main([*map(str, sources), "-o", str(out), "--plugin-dir", str(PLUGIN_DIR)])
    assert status == 130
    assert "tavelin: interrupted after 1 of 2 file(s)" in capsys.readouterr().err.splitlines()
    assert os.listdir(out) == ["a.cutout.png"]
