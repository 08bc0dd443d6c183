"""Host objects the plug-in calls, plug-in discovery, output naming, previews, input expansion."""

import asyncio
import io
import sys
import types
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from tavelin_host import plugin as plugin_mod  # noqa: E402
from tavelin_host.inputs import expand_inputs  # noqa: E402
from tavelin_host.naming import looks_like_output, output_folder, output_paths, plan_names  # noqa: E402
from tavelin_host.names import shown  # noqa: E402
from tavelin_host.devices import DeviceError, TorchTools  # noqa: E402
from tavelin_host.host import Tools, check_output  # noqa: E402
from tavelin_host.images import HostImage, ImageTools  # noqa: E402
from tavelin_host.postprocess import checkerboard, contrasting_colour, preview_image  # noqa: E402
from tavelin_host.progress import ProgressUI  # noqa: E402

torch = pytest.importorskip("torch")


# --------------------------------------------------------------------------- image record and ImageTools


@pytest.mark.parametrize("pixels,bit_depth,error", [
    (np.zeros((2, 2, 3), np.float32), 8, TypeError),    # 8-bit images hold uint8
    (np.zeros((2, 2, 3), np.uint8), 16, TypeError),     # deeper ones hold float32
    (np.zeros((2, 2, 3), np.uint8), 12, ValueError),
    (np.zeros((2, 2, 2), np.uint8), 8, ValueError),
    (np.zeros((0, 2, 3), np.uint8), 8, ValueError),
])
def test_host_image_rejects_inconsistent_records(pixels, bit_depth, error):
    with pytest.raises(error):
        HostImage(pixels, bit_depth)


def test_host_image_is_a_read_only_mapping_with_bit_depth():
    source = np.zeros((3, 5, 4), np.uint8)
    image = HostImage(source, 8)
    assert image["bit_depth"] == 8 and (image["width"], image["height"], image["channels"]) == (5, 3, 4)
    assert set(image) == {"pixels", "bit_depth", "width", "height", "channels"}
    with pytest.raises(ValueError):
        ImageTools.image_to_np(image)[0, 0, 0] = 1
    source[0, 0, 0] = 9  # the caller's array stays writable


@pytest.mark.parametrize("array,bit_depth,dtype,first", [
    (np.full((2, 2, 3), 0.5, np.float32), 16, np.float32, 0.5),
    (np.full((2, 2, 3), 0.5, np.float32), 32, np.float32, 0.5),
    (np.full((2, 2, 3), 2.0, np.float32), 32, np.float32, 2.0),   # 32-bit float may exceed 1
    (np.full((2, 2, 4), 128, np.uint8), 8, np.uint8, 128),
    (np.full((2, 2, 4), 1.0, np.float32), 8, np.uint8, 255),
    (np.full((2, 2, 3), 65535, np.uint16), 16, np.float32, 1.0),
])
def test_np_to_image_stores_the_host_sample_type(array, bit_depth, dtype, first):
    image = ImageTools.np_to_image(array, bit_depth=bit_depth)
    assert image["bit_depth"] == bit_depth
    assert image.pixels.dtype == dtype and image.pixels.shape == array.shape
    assert image.pixels[0, 0, 0] == pytest.approx(first)


@pytest.mark.parametrize("output,channels,ok", [(2, 4, True), (1, 3, True), (2, 3, False), (1, 4, False)])
def test_check_output_wants_the_kind_channels_and_input_geometry(output, channels, ok):
    source = HostImage(np.zeros((4, 6, 3), np.uint8), 8)
    result = HostImage(np.zeros((4, 6, channels), np.uint8), 8)
    if ok:
        check_output(result, source, output)
    else:
        with pytest.raises(RuntimeError):
            check_output(result, source, output)
    with pytest.raises(RuntimeError):
        check_output(HostImage(np.zeros((6, 4, channels), np.uint8), 8), source, output)


# --------------------------------------------------------------------------- device policy


HALF_ON_CPU = "cpu / fp32 (fp16 asked; the CPU runs float32)"  # the network computes in float32 there


@pytest.mark.parametrize("device,precision,expected,described", [
    ("cpu", "auto", ("cpu", torch.float32), "cpu / fp32"),
    ("cpu", "fp16", ("cpu", torch.float16), HALF_ON_CPU),
    ("cpu", "float32", ("cpu", torch.float32), "cpu / fp32"),
    ("CPU", "half", ("cpu", torch.float16), HALF_ON_CPU),
])
def test_device_policy_on_the_cpu(device, precision, expected, described):
    tools = TorchTools(device, precision)
    got_device, got_dtype = tools.get_device_dtype()
    assert (str(got_device), got_dtype) == expected
    assert isinstance(got_device, torch.device)
    assert tools.describe() == described


def test_auto_policy_follows_the_machine():
    device, dtype = TorchTools().get_device_dtype()
    if torch.cuda.is_available():
        assert (device.type, dtype) == ("cuda", torch.float16)
    else:
        assert (device.type, dtype) == ("cpu", torch.float32)


@pytest.mark.skipif(torch.cuda.is_available(), reason="this machine has CUDA")
@pytest.mark.parametrize("device", ["cuda", "cuda:1"])
def test_cuda_without_cuda_is_refused(device):
    with pytest.raises(DeviceError, match="CUDA"):
        TorchTools(device).get_device_dtype()


# --------------------------------------------------------------------------- progress and tools


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_is_quiet_off_a_terminal_and_draws_on_one():
    off = io.StringIO()
    ui = ProgressUI(stream=off)
    ui.progress_bar("Loading model weights...", 30)
    ui.close_progress_bar()
    assert ui.quiet and off.getvalue() == ""
    assert ui.history == [("Loading model weights...", 30)]

    on = Terminal()
    ui = ProgressUI(stream=on)
    for message, percent in [("Importing libraries...", 0), ("Warming up model...", 90), ("Model loaded", 100)]:
        ui.progress_bar(message, percent)
    ui.close_progress_bar()
    assert not ui.quiet
    assert "Warming up model..." in on.getvalue() and "100%" in on.getvalue()
    assert ProgressUI(quiet=True, stream=Terminal()).quiet


def test_tools_progress_is_awaitable_and_reported():
    seen = []
    tools = Tools("/plugins/Tavelin", seen.append)
    assert tools.plugin_path == "/plugins/Tavelin"
    asyncio.run(tools.progress(60))
    assert seen == [60] and tools.percent == 60


# --------------------------------------------------------------------------- plug-in discovery


def make_plugin_dir(root: Path, models=True) -> Path:
    root.mkdir(parents=True)
    (root / "Tavelin.py").write_text("")  # located, never imported by discovery
    if models:
        (root / "models").mkdir()
    return root


@pytest.fixture
def no_default_plugin(monkeypatch):
    monkeypatch.delenv(plugin_mod.ENV_VAR, raising=False)
    monkeypatch.setattr(plugin_mod, "CHECKOUT_CANDIDATES", ())
    monkeypatch.delitem(sys.modules, "Tavelin", raising=False)
    monkeypatch.setattr(plugin_mod.importlib.util, "find_spec", lambda name: None)


def test_plugin_dir_order_argument_then_environment_then_checkout(tmp_path, monkeypatch, no_default_plugin):
    explicit = make_plugin_dir(tmp_path / "explicit")
    from_env = make_plugin_dir(tmp_path / "env")
    built = make_plugin_dir(tmp_path / "build")
    monkeypatch.setattr(plugin_mod, "CHECKOUT_CANDIDATES", (tmp_path / "absent", built))
    assert plugin_mod.find_plugin_dir() == built
    monkeypatch.setenv(plugin_mod.ENV_VAR, str(from_env))
    assert plugin_mod.find_plugin_dir() == from_env
    assert plugin_mod.find_plugin_dir(explicit) == explicit


def test_plugin_dir_of_an_importable_module_needs_models_beside_it(tmp_path, monkeypatch, no_default_plugin):
    bare = make_plugin_dir(tmp_path / "bare", models=False)
    spec = types.SimpleNamespace(origin=str(bare / "Tavelin.py"))
    monkeypatch.setattr(plugin_mod.importlib.util, "find_spec", lambda name: spec)
    # what a pip-installed package meets (the wheel has no weights): what to run, on one line
    with pytest.raises(plugin_mod.PluginError, match=r"has no network weights.*`make models`") as error:
        plugin_mod.find_plugin_dir()
    assert "\n" not in str(error.value)
    (bare / "models").mkdir()
    assert plugin_mod.find_plugin_dir() == bare


@pytest.mark.parametrize("layout,message", [("missing", "does not exist"), ("empty", "holds no Tavelin"),
                                            ("no-models", "no models/")])
def test_explicit_plugin_dir_must_be_complete(tmp_path, no_default_plugin, layout, message):
    path = tmp_path / "p"
    if layout == "empty":
        path.mkdir()
    elif layout == "no-models":
        make_plugin_dir(path, models=False)
    with pytest.raises(plugin_mod.PluginError, match=message):
        plugin_mod.find_plugin_dir(path)


def test_an_imported_module_is_reused_not_imported_again(tmp_path, monkeypatch, no_default_plugin):
    path = make_plugin_dir(tmp_path / "p")
    (path / "Tavelin.py").write_text("raise RuntimeError('imported a second time')\n")
    already = types.ModuleType("Tavelin")
    monkeypatch.setitem(sys.modules, "Tavelin", already)
    module, found = plugin_mod.load_plugin(path)
    assert module is already and found == path


def test_failed_import_leaves_no_half_module_behind(tmp_path, no_default_plugin):
    path = make_plugin_dir(tmp_path / "p")
    (path / "Tavelin.py").write_text("raise RuntimeError('broken build')\n")
    with pytest.raises(plugin_mod.PluginError, match="broken build"):
        plugin_mod.load_plugin(path)
    assert "Tavelin" not in sys.modules


# --------------------------------------------------------------------------- naming, previews, inputs


@pytest.mark.parametrize("source,output,depth,preview,expected", [
    ("a/photo.jpg", "cutout", 8, False, ["photo.cutout.png"]),
    ("a/photo.jpg", "matte", 8, True, ["photo.matte.png", "photo.preview.png"]),
    ("a/scan.tiff", "cutout", 16, False, ["scan.cutout.tif"]),
    ("a/plate.exr", "cutout", 32, True, ["plate.cutout.exr", "plate.preview.png"]),
    ("a/plate.tif", "matte", 32, False, ["plate.matte.tif"]),
    ("a/my.photo.v2.png", "cutout", 8, False, ["my.photo.v2.cutout.png"]),
    ("a/noext", "cutout", 8, False, ["noext.cutout.png"]),
])
def test_output_names(source, output, depth, preview, expected):
    paths = output_paths(source, output, depth, preview=preview)
    assert [p.name for p in paths.values()] == expected
    assert all(p.parent == Path("a") for p in paths.values())
    assert all(p.parent == Path("out") for p in output_paths(source, output, depth, out_dir="out").values())


@pytest.mark.parametrize("name,own", [("x.cutout.png", True), ("x.composite.bmp", True), ("x.matte.tif", True), ("x.preview.png", True),
                                      ("cutout.png", False), ("x.png", False), ("x.cutout", False)])
def test_own_outputs_are_recognised(name, own):
    assert (looks_like_output(Path(name)) is not None) is own


def test_preview_composites_over_a_checkerboard():
    cutout = np.zeros((48, 48, 4), np.uint8)
    cutout[:, :24] = (200, 10, 10, 255)        # opaque subject on the left
    cutout[:, 24:] = (0, 255, 0, 0)            # transparent, still carrying green
    preview = preview_image(cutout)
    assert preview.dtype == np.uint8 and preview.shape == (48, 48, 3)
    assert (preview[:, :24] == (200, 10, 10)).all()
    board = (checkerboard(48, 48) * 255).round().astype(np.uint8)
    np.testing.assert_array_equal(preview[:, 24:], board[:, 24:])
    assert len(np.unique(preview[:, 24:, 0])) == 2


def test_float_preview_is_clipped_and_uses_a_solid_background():
    cutout = np.zeros((4, 4, 4), np.float32)
    cutout[..., :3] = 3.0
    cutout[..., 3] = 0.5
    preview = preview_image(cutout, background=np.array([0.0, 0.0, 0.0], np.float32))
    assert (preview == 128).all()


@pytest.mark.parametrize("background,expected", [((0.1, 0.9, 0.1), (1.0, 0.0, 1.0)), ((1.0, 1.0, 1.0), (0.0, 0.0, 0.0)),
                                                 ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))])
def test_decontaminated_previews_use_a_contrasting_background(background, expected):
    rgb = np.empty((8, 8, 3), np.float32)
    rgb[:] = background
    rgb[2:6, 2:6] = (0.5, 0.4, 0.3)              # the subject does not vote
    alpha = np.zeros((8, 8), np.float32)
    alpha[2:6, 2:6] = 1.0
    np.testing.assert_array_equal(contrasting_colour(rgb, alpha), expected)


def two_people(dtype):
    """A soft-edged matte: a large figure and a small one, plus a speck."""
    import cv2

    matte = np.zeros((80, 120), np.float32)
    cv2.circle(matte, (40, 40), 25, 1.0, -1)
    cv2.circle(matte, (95, 40), 8, 1.0, -1)
    matte[70, 5] = 0.8
    matte = cv2.GaussianBlur(matte, (0, 0), 2)
    return (matte * 255 + 0.5).astype(np.uint8) if dtype == np.uint8 else matte


def soft(matte):
    return int(((matte > 0.05) & (matte < 0.95)).sum())


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
@pytest.mark.parametrize("control, check", [
    ({"threshold": 0.5}, lambda before, after: set(np.unique(after)) <= {0.0, 1.0} and
        abs((after == 1).sum() - (before >= 0.5).sum()) == 0),
    ({"min_area": 20}, lambda before, after: after[70, 5] == 0 and after[40, 95] > 0.9 and after[40, 40] > 0.9),
    ({"largest": True}, lambda before, after: after[40, 95] == 0 and after[40, 40] > 0.9 and after[70, 5] == 0),
    ({"erode": 3}, lambda before, after: (after >= 0.5).sum() < (before >= 0.5).sum() and after[40, 40] > 0.9),
    ({"dilate": 3}, lambda before, after: (after >= 0.5).sum() > (before >= 0.5).sum()),
    ({"feather": 6}, lambda before, after: soft(after) > 1.5 * soft(before) and after[40, 40] > 0.9),
])
def test_mask_controls_change_the_matte_as_named_in_its_sample_type(control, check, dtype):
    from tavelin_host.images import to_float
    from tavelin_host.mask_controls import MaskControls

    matte = two_people(dtype)
    after = MaskControls(**control).apply(matte)
    assert after.dtype == matte.dtype and after.shape == matte.shape
    assert check(to_float(matte), to_float(after))


def test_expand_inputs(tmp_path):
    (tmp_path / "b.png").write_bytes(b"x")
    (tmp_path / "a.jpg").write_bytes(b"x")
    (tmp_path / "notes.txt").write_bytes(b"x")
    (tmp_path / "a.cutout.png").write_bytes(b"x")      # an earlier run's output for a.jpg beside it
    (tmp_path / "own.matte.jpg").write_bytes(b"x")     # the user's own file: not a name this tool writes
    (tmp_path / "gone.cutout.png").write_bytes(b"x")   # no input of that stem here: the user's too
    (tmp_path / ".hidden.png").write_bytes(b"x")
    sub = tmp_path / "sub"
    sub.mkdir()
    (sub / "c.png").write_bytes(b"x")
    names = lambda found: [p.relative_to(tmp_path).as_posix() for p in found.files]  # noqa: E731

    found = expand_inputs([str(tmp_path)], recursive=False)
    assert names(found) == ["a.jpg", "b.png", "gone.cutout.png", "own.matte.jpg"] and found.problems == []
    assert found.skip_lines() == [
        f"skipped 1 (not an image type by extension): {tmp_path / 'notes.txt'}",
        f"skipped 1 (written by tavelin for an input beside them): {tmp_path / 'a.cutout.png'}",
    ]
    found = expand_inputs([str(tmp_path)], recursive=True)
    assert names(found) == ["a.jpg", "b.png", "gone.cutout.png", "own.matte.jpg", "sub/c.png"]
    found = expand_inputs([str(tmp_path / "*.png"), str(tmp_path / "b.png")], recursive=False)
    assert names(found) == ["b.png", "gone.cutout.png"]   # repeats dropped; a.jpg's output still known
    found = expand_inputs([str(tmp_path / "a.cutout.png"), str(tmp_path / "notes.txt")], recursive=False)
    assert names(found) == ["a.cutout.png", "notes.txt"]  # named explicitly: taken
    found = expand_inputs([str(tmp_path / "missing.png"), str(tmp_path / "*.gif")], recursive=False)
    assert found.files == [] and len(found.problems) == 2


def test_walks_never_follow_links_to_folders_or_take_a_file_twice(tmp_path):
    import os

    loops = tmp_path / "loops"
    (loops / "deep").mkdir(parents=True)
    (loops / "a.png").write_bytes(b"x")
    (loops / "deep" / "b.png").write_bytes(b"x")
    (loops / "self").symlink_to(".")                  # each of these made the old walk endless
    (loops / "deep" / "up").symlink_to("..")
    (loops / "alias.png").symlink_to("a.png")         # the same file under another name
    os.mkfifo(loops / "pipe.png")                     # not a regular file: never read
    for patterns in ([str(loops / "**")], [str(loops)], [str(loops / "*")], [str(loops / "**" / "*.png")]):
        found = expand_inputs(patterns, recursive=True)
        assert sorted(p.relative_to(loops).as_posix() for p in found.files) == ["a.png", "deep/b.png"], patterns


def test_outputs_mirror_the_input_tree_and_keep_the_extension_when_names_meet(tmp_path):
    from tavelin_host.inputs import Input
    from tavelin_host.naming import is_video, video_output_path

    for name in ("day1/IMG_1.jpg", "day2/IMG_1.jpg", "a.jpg", "a.png", "a.png.png", "b.tif", "c.mp4", "c.avi",
                 "c.cutout/000001.cutout.png", "c.avi.matte/000002.matte.png"):  # frames of earlier clip runs
        (tmp_path / "shots" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "shots" / name).write_bytes(b"x")
    out = tmp_path / "out"
    found = expand_inputs([str(tmp_path / "shots")], recursive=True, out_dir=out)
    assert found.skip_lines() == [f"skipped 2 (written by tavelin for an input beside them): "
                                  f"{tmp_path}/shots/c.avi.matte/000002.matte.png, {tmp_path}/shots/c.cutout/000001.cutout.png"]
    plan_names(found.inputs, out)
    # one rule for stills and clips: a.png's whole name is not taken again by a.png.png
    planned = sorted((output_folder(item, out) / item.stem).relative_to(out).as_posix() for item in found.inputs)
    assert planned == ["a.jpg", "a.png", "a.png.png", "b", "c.avi", "c.mp4", "day1/IMG_1", "day2/IMG_1"]
    clips = {video_output_path(item.path, "cutout", "mov", out, item.stem).name
             for item in found.inputs if is_video(item.path)}
    assert clips == {"c.avi.cutout.mov", "c.mp4.cutout.mov"}
    plan_names(found.inputs, None)  # beside the inputs: only a.jpg and a.png meet
    assert sorted(item.stem for item in found.inputs) == ["IMG_1", "IMG_1", "a.jpg", "a.png", "a.png.png", "b",
                                                          "c.avi", "c.mp4"]
    same_name = [Input(tmp_path / "shots" / "day1" / "IMG_1.jpg"), Input(tmp_path / "shots" / "day2" / "IMG_1.jpg")]
    plan_names(same_name, out)  # named one by one, both to out/: even whole names meet
    assert [item.stem for item in same_name] == ["IMG_1.jpg", "IMG_1.jpg-2"]
    # a later run skips what the first wrote under -o, and only that
    (out / "day1").mkdir(parents=True)
    (out / "day1" / "IMG_1.cutout.png").write_bytes(b"x")
    (out / "day1" / "other.cutout.png").write_bytes(b"x")
    again = expand_inputs([str(tmp_path / "shots"), str(out)], recursive=True, out_dir=out)
    assert (out / "day1" / "IMG_1.cutout.png") not in again.files
    assert (out / "day1" / "other.cutout.png") in again.files


@pytest.mark.parametrize("name,expected", [
    ("plain name.png", "plain name.png"),
    ("two\nlines.png", "two\\nlines.png"),
    ("back\\slash", "back\\\\slash"),
    ("tab\there\x1b[31m", "tab\\there\\033[31m"),
    ("bad\udcffbyte", "bad\\377byte"),                  # a non-UTF-8 byte on disk
    ("right\u202eleft", "right\\342\\200\\256left"),     # an invisible direction override
])
def test_names_in_messages_are_escaped_onto_one_line(name, expected):
    assert shown(name) == expected
