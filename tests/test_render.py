"""render: parameters, the device query and reload test, the network input,
and the composed output compared exactly with a NumPy/OpenCV computation."""
import asyncio
import re
import types
from collections.abc import Mapping

import cv2
import numpy as np
import pydantic
import pytest
import torch

import Tavelin
from testkit.host_double import Tools, drive, new_plugin, render, shared_plugin
from testkit.networks import load_reference_net, make_plugin_dir, random_rgb
from tavelin_host.contract import CUTOUT, LUMA_MATTE
from testkit.reference import reference_render

pytestmark = [
    pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning"),
]


@pytest.fixture(scope="module")
def dirs(tmp_path_factory):
    return {
        kind: make_plugin_dir(tmp_path_factory.mktemp(kind), **options)
        for kind, options in {
            "smooth": {},
            "over": {"kind": "over"},
            "shrink": {"shrink": True},
            "raising": {"raise_at_512": True},
        }.items()
    }


@pytest.fixture(autouse=True)
def thread_limit_not_applied(monkeypatch):
    monkeypatch.setattr(torch, "set_num_threads", lambda n: None)


_reference_nets = {}


def reference_net(plugin_dir, dtype):
    key = (plugin_dir, dtype)
    if key not in _reference_nets:
        _reference_nets[key] = load_reference_net(plugin_dir, dtype)
    return _reference_nets[key]


def rgb_image(h=6, w=9, seed=0, bit_depth=8, channels=3):
    return random_rgb(np.random.default_rng(seed), h, w, bit_depth, channels)


# --- loading from render -------------------------------------------------------------------------------------------


def test_first_render_loads_with_host_pair_and_tools_before_conversion(dirs):
    device = torch.device("cpu")
    plugin, api = new_plugin(device, torch.float32)
    calls = []

    def load_model(*args, **kwargs):
        calls.append((args, kwargs))
        return Tavelin.Tavelin.load_model(plugin, *args, **kwargs)

    plugin.load_model = load_model
    tools = Tools(dirs["smooth"], api.events)
    result = drive(plugin.render({"array": rgb_image(), "bit_depth": 8}, {}, None, tools))
    assert calls == [((device, torch.float32, tools), {})]
    assert calls[0][0][0] is device and calls[0][0][2] is tools
    names = api.events.names()
    assert names == ["get_device_dtype"] + ["progress_bar"] * 7 + ["close_progress_bar", "empty_cache",
                                                                   "image_to_np", "progress", "np_to_image"]
    assert api.events.of("progress") == [(60,)]
    assert list(result) == ["image"]


def test_reload_only_when_the_pair_changes(dirs):
    plugin, api = new_plugin()
    array = rgb_image()
    render(plugin, api, dirs["smooth"], array, {})
    first = plugin.modnext
    api.events.items.clear()
    render(plugin, api, dirs["smooth"], array, {})
    assert api.events.names() == ["get_device_dtype", "image_to_np", "progress", "np_to_image"]
    assert plugin.modnext is first
    api.TorchTools.result = ("cpu", torch.float16)
    api.events.items.clear()
    render(plugin, api, dirs["smooth"], array, {})
    assert api.events.names().count("progress_bar") == 7
    assert plugin.modnext is not first and plugin.modnext.tag == 16
    assert plugin.model_loaded_with_dtype is torch.float16


class Device(str):
    """A device name that logs how it is compared."""

    log = []

    def __ne__(self, other):
        Device.log.append(("device !=", str(other)))
        return str.__ne__(self, other)


class RecordedDtype:
    """Stands for the recorded dtype; logs the comparison made against it."""

    def __init__(self, dtype):
        self.dtype = dtype

    def __ne__(self, other):
        Device.log.append(("dtype !=", other))
        return other != self.dtype

    __eq__ = None


@pytest.mark.parametrize(
    "recorded_device, expected_log, reloads",
    [
        ("cpu", [("device !=", "cpu"), ("dtype !=", torch.float32)], False),
        ("elsewhere", [("device !=", "elsewhere")], True),
    ],
)
def test_reload_test_compares_device_first(dirs, recorded_device, expected_log, reloads):
    plugin, api = new_plugin(Device("cpu"), torch.float32)
    render(plugin, api, dirs["smooth"], rgb_image(), {})
    plugin.model_loaded_on_device = recorded_device
    plugin.model_loaded_with_dtype = RecordedDtype(torch.float32)
    api.events.items.clear()
    Device.log.clear()
    render(plugin, api, dirs["smooth"], rgb_image(), {})
    assert Device.log[: len(expected_log)] == expected_log
    assert ("progress_bar" in api.events.names()) == reloads


# --- the network input ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "params, side",
    [
        ({"resize_mode": 0}, None),
        ({"resize_mode": 1}, 256),
        ({}, 256),
        ({"resize_mode": 2}, 512),
        ({"resize_mode": "3"}, 1024),
        ({"resize_mode": 2.7}, 512),
        ({"resize_mode": -1}, 1024),
        ({"resize_mode": -3}, 256),
        ({"resize_mode": -4}, None),
        ({"resize_mode": True}, 256),
    ],
)
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_network_input_size_and_dtype(dirs, params, side, dtype):
    plugin, api = shared_plugin(dirs["smooth"], dtype)
    array = rgb_image(5, 11)
    out = render(plugin, api, dirs["smooth"], array, params)["image"]["array"]
    seen = plugin.modnext.seen[-1]
    assert tuple(seen.shape) == ((5, 11, 3) if side is None else (side, side, 3))
    assert seen.dtype == dtype
    assert plugin.modnext.grad[-1] is False
    assert out.shape == (5, 11, 4)


@pytest.mark.parametrize(
    "mode, error",
    [(4, IndexError), (-5, IndexError), ("two", ValueError), (None, TypeError), ("2.5", ValueError)],
)
def test_bad_resize_mode_fails_before_the_network(dirs, mode, error):
    plugin, api = shared_plugin(dirs["smooth"])
    runs = len(plugin.modnext.seen)
    api.events.items.clear()
    with pytest.raises(error):
        render(plugin, api, dirs["smooth"], rgb_image(), {"resize_mode": mode})
    assert len(plugin.modnext.seen) == runs
    assert api.events.names() == ["get_device_dtype", "image_to_np"]


@pytest.mark.parametrize("bit_depth", [8, 8.0])
@pytest.mark.parametrize("channels", [3, 4])
def test_eight_bit_input_reaches_network_as_bgr(dirs, bit_depth, channels):
    plugin, api = shared_plugin(dirs["smooth"])
    array = rgb_image(4, 7, channels=channels)
    result = render(plugin, api, dirs["smooth"], array, {"resize_mode": 0}, bit_depth=bit_depth)
    seen = plugin.modnext.seen[-1]
    assert torch.equal(seen, torch.Tensor(np.ascontiguousarray(array[:, :, 2::-1])))
    assert api.events.of("np_to_image") == [(bit_depth,)]
    assert type(result["image"]["bit_depth"]) is type(bit_depth)
    assert result["image"]["array"].dtype == np.uint8


def test_fourth_channel_takes_no_part(dirs):
    plugin, api = shared_plugin(dirs["smooth"])
    array = rgb_image(6, 6, channels=4)
    other = array.copy()
    other[:, :, 3] = 255 - other[:, :, 3]
    for mode in (0, 1):
        a = render(plugin, api, dirs["smooth"], array, {"resize_mode": mode})["image"]["array"]
        b = render(plugin, api, dirs["smooth"], other, {"resize_mode": mode})["image"]["array"]
        np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(a[:, :, :3], array[:, :, :3])


@pytest.mark.parametrize("bit_depth", [16, 32, 16.0])
def test_non_eight_bit_samples_to_network(dirs, bit_depth):
    plugin, api = shared_plugin(dirs["smooth"])
    samples = np.array([0.0, 0.5, 1.0, 0.999, 1 / 255, 1.5, 2.0, 300.0, -0.25, -1.0], np.float32)
    expected = np.array([0, 127, 255, 254, 1, 255, 255, 255, 0, 0], np.float32)  # never wraps
    array = np.stack([samples, samples[::-1], np.roll(samples, 3)], axis=1)[np.newaxis].copy()
    render(plugin, api, dirs["smooth"], array, {"resize_mode": 0}, bit_depth=bit_depth)
    seen = plugin.modnext.seen[-1].numpy()
    np.testing.assert_array_equal(seen[0, :, 2], expected)
    np.testing.assert_array_equal(seen[0, :, 1], expected[::-1])
    np.testing.assert_array_equal(seen[0, :, 0], np.roll(expected, 3))


@pytest.mark.parametrize("dtype, bit_depth", [(np.uint16, 16), (np.uint8, 16), (np.uint16, 32.0)])
def test_integer_samples_for_a_non_eight_bit_image_are_refused(dirs, dtype, bit_depth):
    # Read as samples in [0, 1], nearly every pixel saturated and the cut-out's colours came out as 0..65535.
    plugin, api = shared_plugin(dirs["smooth"])
    array = np.full((4, 5, 3), 200, dtype)
    text = f"image_to_np gave {np.dtype(dtype).name} samples for a {bit_depth}-bit image; expected float32 samples in [0, 1]"
    with pytest.raises(TypeError, match=re.escape(text)):
        render(plugin, api, dirs["smooth"], array, {"resize_mode": 0}, bit_depth=bit_depth)
    assert "np_to_image" not in api.events.names()


# --- parameters ----------------------------------------------------------------------------------------------------


def test_none_params_fail_before_the_host_is_queried(dirs):
    plugin, api = shared_plugin(dirs["smooth"])
    coro = plugin.render({"array": rgb_image(), "bit_depth": 8}, None, None, Tools(dirs["smooth"], api.events))
    with pytest.raises(TypeError, match="argument after \\*\\* must be a mapping, not NoneType"):
        drive(coro)
    assert api.events.items == []


class PlainMapping(Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


@pytest.mark.parametrize(
    "params",
    [
        {"output": 1, "resize_mode": 0},
        types.MappingProxyType({"output": 1, "resize_mode": 0}),
        PlainMapping({"output": 1, "resize_mode": 0}),
        [("output", 1), ("resize_mode", 0)],
        (("output", Tavelin.OutputEnum.LUMA_MATTE), ("resize_mode", 0), ("ignored", 5)),
        iter([("output", 1), ("resize_mode", 0)]),
    ],
    ids=["dict", "mappingproxy", "mapping", "pairs", "tuple-pairs", "iterator"],
)
def test_other_mappings_and_pairs(dirs, params):
    plugin, api = shared_plugin(dirs["smooth"])
    out = render(plugin, api, dirs["smooth"], rgb_image(), params)["image"]["array"]
    assert out.shape == (6, 9, 3)
    assert tuple(plugin.modnext.seen[-1].shape) == (6, 9, 3)


def test_host_params_are_not_modified(dirs):
    plugin, api = shared_plugin(dirs["smooth"])
    mode = 0
    params = {"output": 2, "resize_mode": mode, "extra": [1]}
    snapshot = dict(params)
    image = {"array": rgb_image(), "bit_depth": 8, "name": "x"}
    image_snapshot = dict(image)
    drive(plugin.render(image, params, None, Tools(dirs["smooth"], api.events)))
    assert params == snapshot and all(params[k] is snapshot[k] for k in params)
    assert image.keys() == image_snapshot.keys() and all(image[k] is image_snapshot[k] for k in image)


@pytest.mark.parametrize("params", [5, [1, 2], [("output",)]])
def test_params_dict_rejects(dirs, params):
    plugin, api = shared_plugin(dirs["smooth"])
    with pytest.raises(Exception) as direct:
        dict(params)
    with pytest.raises(type(direct.value), match="^" + __import__("re").escape(str(direct.value)) + "$"):
        render(plugin, api, dirs["smooth"], rgb_image(), params)
    assert api.events.items == []


@pytest.mark.parametrize("output", [0, 3, "cut"])
def test_invalid_output_fails_validation_before_any_work(dirs, output):
    plugin, api = shared_plugin(dirs["smooth"])
    with pytest.raises(pydantic.ValidationError):
        render(plugin, api, dirs["smooth"], rgb_image(), {"output": output})
    assert api.events.items == []


def test_missing_bit_depth_after_reload_and_conversion(dirs):
    plugin, api = new_plugin()
    with pytest.raises(KeyError) as raised:
        drive(plugin.render({"array": rgb_image()}, {}, None, Tools(dirs["smooth"], api.events)))
    assert raised.value.args == ("bit_depth",)
    assert api.events.names()[-3:] == ["close_progress_bar", "empty_cache", "image_to_np"]


@pytest.mark.parametrize("instance_id", [None, 0, "abc", object()])
def test_instance_id_is_ignored(dirs, instance_id):
    plugin, api = shared_plugin(dirs["smooth"])
    array = rgb_image()
    a = render(plugin, api, dirs["smooth"], array, {}, instance_id=instance_id)["image"]["array"]
    b = render(plugin, api, dirs["smooth"], array, {}, instance_id=12345)["image"]["array"]
    np.testing.assert_array_equal(a, b)


def test_invalid_output_value_after_validation_is_reported(dirs, monkeypatch, capsys):
    plugin, api = shared_plugin(dirs["smooth"])
    original_init = Tavelin.Params.__init__

    def init(self, **data):
        original_init(self, **data)
        self.__dict__["output"] = 7

    monkeypatch.setattr(Tavelin.Params, "__init__", init)
    api.events.items.clear()
    with pytest.raises(ValueError, match=r"^invalid params\.output value: 7$"):
        render(plugin, api, dirs["smooth"], rgb_image(), {})
    assert "Error, invalid params.output value: 7" in capsys.readouterr().out.splitlines()
    assert "np_to_image" not in api.events.names()


# --- the output ----------------------------------------------------------------------------------------------------


def check_render(plugin_dir, array, bit_depth, mode, output, dtype):
    plugin, api = shared_plugin(plugin_dir, dtype)
    result = render(plugin, api, plugin_dir, array, {"output": output, "resize_mode": mode}, bit_depth=bit_depth)
    assert list(result) == ["image"]
    got = result["image"]["array"]
    want = reference_render(array, bit_depth, output, mode, half=dtype is torch.float16,
                            network=reference_net(plugin_dir, dtype))
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
    assert api.events.of("np_to_image") == [(bit_depth,)]
    return got


@pytest.mark.parametrize(
    "mode, shape",
    [(mode, shape) for mode in (0, 1) for shape in [(6, 9), (1, 7), (8, 1), (1, 1)]] + [(2, (5, 8)), (3, (1, 6))],
)
@pytest.mark.parametrize("output", [LUMA_MATTE, CUTOUT])
@pytest.mark.parametrize("bit_depth", [8, 16])
@pytest.mark.parametrize("kind", ["smooth", "over"])
def test_output_matches_formulas(dirs, kind, bit_depth, output, mode, shape):
    array = rgb_image(*shape, seed=shape[0] * 31 + shape[1], bit_depth=bit_depth)
    if kind == "over" and bit_depth == 8:
        array[0, 0, 1] = 13  # a NaN in the matte
    got = check_render(dirs[kind], array, bit_depth, mode, output, torch.float32)
    assert got.shape[:2] == shape
    assert got.shape[2] == (3 if output == LUMA_MATTE else 4)


@pytest.mark.parametrize("mode", [0, 1, 3])
@pytest.mark.parametrize("output", [LUMA_MATTE, CUTOUT])
@pytest.mark.parametrize("bit_depth", [8, 32])
def test_half_precision_output(dirs, bit_depth, output, mode):
    # float16 with a resize needs the matte widened before OpenCV sees it
    check_render(dirs["smooth"], rgb_image(7, 5, bit_depth=bit_depth), bit_depth, mode, output, torch.float16)


@pytest.mark.parametrize("mode", [0, 1])
@pytest.mark.parametrize("output", [LUMA_MATTE, CUTOUT])
@pytest.mark.parametrize("bit_depth", [8, 16])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_size_changing_network(dirs, dtype, bit_depth, output, mode):
    got = check_render(dirs["shrink"], rgb_image(10, 14, bit_depth=bit_depth), bit_depth, mode, output, dtype)
    assert got.shape[:2] == (10, 14)


@pytest.mark.parametrize("output", [LUMA_MATTE, CUTOUT])
@pytest.mark.parametrize("bit_depth", [8, 16])
def test_large_image_renders_exactly(dirs, bit_depth, output):
    # large enough for the pixel passes to split their rows between threads
    array = rgb_image(641, 723, seed=11, bit_depth=bit_depth)
    for mode in (0, 1):
        check_render(dirs["smooth"], array, bit_depth, mode, output, torch.float32)


def test_eight_bit_alpha_truncates_and_clips(dirs):
    # over-range network: matte = 2 B / 255 - 0.5
    blue = np.array([0, 63, 64, 127, 128, 191, 192, 255], np.uint8)
    array = np.zeros((1, blue.size, 3), np.uint8)
    array[0, :, 2] = blue
    plugin, api = shared_plugin(dirs["over"])
    out = render(plugin, api, dirs["over"], array, {"output": LUMA_MATTE, "resize_mode": 0})["image"]["array"]
    matte = blue.astype(np.float32) / np.float32(255.0) * np.float32(2.0) - np.float32(0.5)
    np.testing.assert_array_equal(out[0, :, 0], (np.clip(matte, 0, 1) * 255).astype(np.uint8))
    assert out[0, 0, 0] == 0 and out[0, -1, 0] == 255  # -0.5 and 1.5 do not wrap


def test_float_cutout_keeps_host_colour(dirs):
    array = np.array([[[0.123456, 0.5000001, 0.99999], [1.75, -0.5, 1e-7]]], np.float32)
    plugin, api = shared_plugin(dirs["smooth"])
    out = render(plugin, api, dirs["smooth"], array, {"output": CUTOUT, "resize_mode": 0}, bit_depth=16)
    np.testing.assert_array_equal(out["image"]["array"][:, :, :3], array)


@pytest.mark.parametrize("bit_depth", [8, 16])
@pytest.mark.parametrize("layout", ["fortran", "reversed", "rgba", "rgba-view", "strided"])
def test_host_array_layouts(dirs, layout, bit_depth):
    base = rgb_image(9, 12, seed=3, bit_depth=bit_depth, channels=4)
    array = {
        "fortran": np.asfortranarray(base[:, :, :3]),
        "reversed": base[::-1, ::-1, :3],
        "rgba": base,
        "rgba-view": base[:, :, :3],
        "strided": base[::2, ::3, 2::-1],
    }[layout]
    for mode in (0, 1):
        for output in (LUMA_MATTE, CUTOUT):
            check_render(dirs["smooth"], array, bit_depth, mode, output, torch.float32)


# --- D5: no-grad scope and the network taken before the suspension ----------------------------------------------


def test_other_coroutines_keep_gradient_mode_during_suspension(dirs):
    plugin, api = shared_plugin(dirs["smooth"])
    plugin.load_model("cpu", torch.float32, Tools(dirs["smooth"]))
    seen = []

    async def other():
        for _ in range(3):
            seen.append((torch.is_grad_enabled(), torch._C._get_graph_executor_optimize()))
            await asyncio.sleep(0)

    async def main():
        image = {"array": rgb_image(), "bit_depth": 8}
        return await asyncio.gather(plugin.render(image, {}, None, Tools(dirs["smooth"])), other())

    asyncio.run(main())
    assert seen == [(True, True)] * 3
    assert plugin.modnext.grad[-1] is False
    assert torch.is_grad_enabled() and torch._C._get_graph_executor_optimize()


def test_reload_during_suspension_keeps_the_render_on_its_network(dirs):
    plugin, api = new_plugin("cpu", torch.float16)
    array = rgb_image(6, 6, bit_depth=8)
    half = render(plugin, api, dirs["smooth"], array, {"resize_mode": 1})["image"]["array"]
    coro = plugin.render({"array": array, "bit_depth": 8}, {"resize_mode": 1}, None, Tools(dirs["smooth"]))
    coro.send(None)  # suspended on the progress report, half input ready
    api.TorchTools.result = ("cpu", torch.float32)
    render(plugin, api, dirs["smooth"], array, {"resize_mode": 1})
    assert plugin.model_loaded_with_dtype is torch.float32
    np.testing.assert_array_equal(drive(coro)["image"]["array"], half)


@pytest.mark.parametrize("when", ["image-converts", "own-load-ends"])
def test_reload_elsewhere_keeps_input_and_network_in_one_precision(dirs, when):
    """Another thread may bind the other precision between this render's check of the
    records and its input: while the image converts (the GIL is released), or while the
    render's own load warms up or reports. The render's input takes the precision of the
    network it holds (the half network that matched; the full one bound over its own)."""
    array = rgb_image(6, 6, bit_depth=8)
    want = {}
    for dtype in (torch.float16, torch.float32):
        plugin, api = new_plugin("cpu", dtype)
        want[dtype] = render(plugin, api, dirs["smooth"], array, {"resize_mode": 1})["image"]["array"]
    plugin, api = new_plugin("cpu", torch.float16)
    reloads = []

    def reload_elsewhere():
        reloads.append(True)
        plugin.load_model("cpu", torch.float32, Tools(dirs["smooth"]))

    if when == "image-converts":
        render(plugin, api, dirs["smooth"], array, {"resize_mode": 1})

        def image_to_np(image):
            api.ImageTools.to_np = None
            reload_elsewhere()
            return image["array"]

        api.ImageTools.to_np = image_to_np
    else:
        progress_bar = api.ui.progress_bar

        def last_step_reloads(message, percent):
            progress_bar(message, percent)
            if percent == 100 and not reloads:
                reload_elsewhere()

        api.ui.progress_bar = last_step_reloads
    got = render(plugin, api, dirs["smooth"], array, {"resize_mode": 1})["image"]["array"]
    assert reloads and plugin.model_loaded_with_dtype is torch.float32
    np.testing.assert_array_equal(got, want[torch.float16 if when == "image-converts" else torch.float32])


# --- host objects that misbehave -----------------------------------------------------------------------------------


def unpack_error(value):
    try:
        a, b = value
    except Exception as e:  # noqa: BLE001
        return e
    raise AssertionError("unpacked")


@pytest.mark.parametrize(
    "make",
    [
        lambda: ("cpu", torch.float32, None),
        lambda: ("cpu",),
        lambda: [],
        lambda: ["cpu", torch.float32, 1, 2],
        lambda: iter(["cpu"]),
        lambda: (x for x in ["cpu", torch.float32, None]),
        lambda: 42,
        lambda: None,
    ],
    ids=["three", "one", "empty-list", "four-list", "short-iterator", "long-generator", "int", "none"],
)
def test_device_query_unpacking_errors(dirs, make):
    plugin, api = new_plugin()
    api.TorchTools.result = None
    api.TorchTools.get_device_dtype = make
    want = unpack_error(make())
    with pytest.raises(type(want)) as raised:
        render(plugin, api, dirs["smooth"], rgb_image(), {})
    assert str(raised.value) == str(want)
    assert api.events.items == []


@pytest.mark.parametrize("value", [["cpu", torch.float32], iter(["cpu", torch.float32]), {"cpu": 1, torch.float32: 2}])
def test_device_query_other_iterables(dirs, value):
    plugin, api = new_plugin()
    api.TorchTools.get_device_dtype = lambda: value
    render(plugin, api, dirs["smooth"], rgb_image(), {})
    assert plugin.model_loaded_on_device == "cpu" and plugin.model_loaded_with_dtype is torch.float32


class HostFailure(Exception):
    pass


def fail(*args, **kwargs):
    raise HostFailure("host says no")


@pytest.mark.parametrize("where", ["get_device_dtype", "image_to_np", "np_to_image", "progress"])
def test_host_errors_propagate_unchanged(dirs, where):
    plugin, api = new_plugin()
    plugin.load_model("cpu", torch.float32, Tools(dirs["smooth"]))
    runs = len(plugin.modnext.seen)
    tools = Tools(dirs["smooth"], api.events)
    target = {"get_device_dtype": api.TorchTools, "image_to_np": api.ImageTools, "np_to_image": api.ImageTools,
              "progress": tools}[where]
    setattr(target, where, fail)
    with pytest.raises(HostFailure, match="host says no"):
        drive(plugin.render({"array": rgb_image(), "bit_depth": 8}, {}, None, tools))
    assert len(plugin.modnext.seen) == runs + (1 if where == "np_to_image" else 0)
    assert torch.is_grad_enabled() and torch._C._get_graph_executor_optimize()


@pytest.mark.parametrize(
    "array",
    [np.zeros((4, 4, 2), np.uint8), np.zeros((4, 4, 5), np.uint8), np.zeros((4, 4, 3), np.float64),
     np.zeros((4, 4, 3), np.int32), np.zeros((0, 4, 3), np.uint8)],
    ids=["two-channels", "five-channels", "float64", "int32", "empty"],
)
def test_arrays_the_colour_conversion_rejects(dirs, array):
    plugin, api = shared_plugin(dirs["smooth"])
    with pytest.raises(cv2.error):
        cv2.cvtColor(array, cv2.COLOR_RGB2BGR)
    with pytest.raises(cv2.error):
        render(plugin, api, dirs["smooth"], array, {}, bit_depth=16)
    assert "progress" not in api.events.names()


@pytest.mark.parametrize("array", [np.zeros((4, 5), np.uint8), np.zeros((4, 5, 1), np.float32)], ids=["2d", "1"])
def test_one_channel_arrays_are_refused(dirs, array):
    plugin, api = shared_plugin(dirs["smooth"])
    with pytest.raises(TypeError, match="image_to_np gave an array"):
        render(plugin, api, dirs["smooth"], array, {}, bit_depth=8 if array.dtype == np.uint8 else 16)
    assert "progress" not in api.events.names()
