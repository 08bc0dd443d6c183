"""Faults around model loading: damaged weight files, networks that misbehave,
a progress bar that raises. The error reaches the caller, the recorded device
and precision change only once the network has been loaded, placed and
converted, the bar is closed after a failed load, and once the fault is
repaired the same plug-in object renders correctly again."""
import os
import sys
import zipfile
from typing import Optional, Tuple

import cv2
import numpy as np
import pytest
import torch
from torch import nn

from tavelin_host.contract import LOAD_STEPS, MODNEXT_ATTR
from testkit.host_double import Events, Tools, drive, new_plugin, outcome
from testkit.networks import save_networks, weight_file
from testkit.reference import assert_same_image, good_render, reference_render

STEPS = LOAD_STEPS
# how far a load got when a step failed: the records are written between steps 5 and 6,
# and a new module is kept from then on too
RECORDS_WRITTEN_FROM_STEP = 6
MODULE_REPLACED_FROM_STEP = 6  # a network that failed placement is not kept


@pytest.fixture
def loaded(tmp_path):
    """A plug-in whose network is loaded for ("cpu", float32), with a clean event log."""
    plugin_dir = save_networks(tmp_path)
    plugin, api = new_plugin()
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    api.events.items.clear()
    return plugin, api, plugin_dir


def records(plugin):
    return plugin.model_loaded_on_device, plugin.model_loaded_with_dtype


def load_events(api):
    return [e for e in api.events.items if e[0] in ("progress_bar", "close_progress_bar", "empty_cache")]


def load_via(via, plugin, api, device, dtype, tools):
    """Loads through load_model itself or through a render that must reload."""
    if via == "load_model":
        return plugin.load_model(device, dtype, tools)
    api.TorchTools.result = (device, dtype)
    api.ImageTools.array = np.zeros((2, 3, 3), np.uint8)
    return drive(plugin.render({"bit_depth": 8}, {"resize_mode": 0}, None, tools))


def render_half(plugin, api, plugin_dir, mode=0):
    rgb = np.random.default_rng(7).integers(0, 256, size=(5, 6, 4), dtype=np.uint8)
    api.TorchTools.result = ("cpu", torch.float16)
    api.ImageTools.array = rgb
    result = drive(plugin.render({"bit_depth": 8}, {"resize_mode": mode}, None, Tools(plugin_dir, Events())))
    assert_same_image(result["image"]["array"], reference_render(rgb, 8, 2, mode, half=True))


# --- damaged weight files -------------------------------------------------------------------------------------------


def spoil(path, kind):
    with open(path, "rb") as f:
        data = f.read()
    if kind == "directory":
        os.remove(path)
        os.mkdir(path)
        return
    if kind == "missing":
        os.remove(path)
        return
    with open(path, "wb") as f:
        if kind == "truncated":
            f.write(data[: len(data) // 2])
        elif kind == "random-bytes":
            f.write(np.random.default_rng(3).bytes(len(data)))
        elif kind == "state-dict":
            torch.save(nn.Linear(3, 1).state_dict(), f)
        elif kind == "plain-zip":
            with zipfile.ZipFile(f, "w") as z:
                z.writestr("archive/data.txt", "not a network")
        elif kind == "text":
            f.write(b"weights will be here soon\n")
        # "empty": nothing written


def repair(path):
    if os.path.isdir(path):
        os.rmdir(path)


FILE_FAULTS = ["missing", "truncated", "random-bytes", "state-dict", "plain-zip", "empty", "text", "directory"]


@pytest.mark.parametrize("via", ["load_model", "render"])
@pytest.mark.parametrize("kind", FILE_FAULTS)
def test_damaged_weight_file(loaded, kind, via, capsys):
    plugin, api, plugin_dir = loaded
    path = weight_file(plugin_dir, half=True)
    spoil(path, kind)
    before, module = records(plugin), plugin.modnext
    direct = outcome(lambda: torch.jit.load(path))
    assert direct[0] == "error"
    capsys.readouterr()

    with pytest.raises(Exception) as info:
        load_via(via, plugin, api, torch.device("cpu"), torch.float16, Tools(plugin_dir))
    # the loader's own error, unchanged
    assert type(info.value) is type(direct[1]) and str(info.value) == str(direct[1])
    assert records(plugin) == before and plugin.modnext is module
    bar = load_events(api)
    assert bar == [("progress_bar",) + s for s in STEPS[:4]] + [("close_progress_bar",)]
    assert "model loaded" not in capsys.readouterr().out.splitlines()

    # the network loaded before still serves its own pair, without a reload
    api.events.items.clear()
    good_render(plugin, api, plugin_dir)
    assert "progress_bar" not in api.events.names()

    repair(path)
    save_networks(plugin_dir)
    render_half(plugin, api, plugin_dir)
    assert records(plugin) == ("cpu", torch.float16)


@pytest.mark.parametrize("via", ["load_model", "render"])
@pytest.mark.parametrize("tools_fault", ["no-plugin-path", "plugin-path-none", "no-models-folder"])
def test_unusable_plugin_directory_on_a_fresh_plugin(tmp_path, tools_fault, via):
    plugin_dir = str(tmp_path)
    tools = Tools(plugin_dir)
    if tools_fault == "no-plugin-path":
        del tools.plugin_path
    elif tools_fault == "plugin-path-none":
        tools.plugin_path = None
    plugin, api = new_plugin()
    before = records(plugin)
    with pytest.raises((AttributeError, TypeError, OSError, RuntimeError, ValueError)):
        load_via(via, plugin, api, "cpu", torch.float32, tools)
    assert records(plugin) == before == ("Not loaded on any device", "Not loaded with any dtype")
    assert not hasattr(plugin, MODNEXT_ATTR)
    assert api.events.names()[-1] == "close_progress_bar" and "empty_cache" not in api.events.names()

    save_networks(plugin_dir)
    good_render(plugin, api, plugin_dir)


def test_device_that_torch_refuses(loaded):
    plugin, api, plugin_dir = loaded
    before, module = records(plugin), plugin.modnext
    with pytest.raises(RuntimeError):
        load_via("render", plugin, api, "no-such-device", torch.float32, Tools(plugin_dir))
    # the network that could not be placed is dropped: records and network still agree
    assert records(plugin) == before and plugin.modnext is module
    assert api.events.names()[-1] == "close_progress_bar"
    good_render(plugin, api, plugin_dir)


# --- networks that misbehave ----------------------------------------------------------------------------------------


class Raises(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if x.shape[0] >= 0:
            raise ValueError("the network broke down")
        return x


class Rank2(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :, 0] / 255.0


class Rank4(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return (x[:, :, 0:1] / 255.0).unsqueeze(0)


class NoChannels(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :, 0:0]


class NoRows(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[0:0] / 255.0


class PairOut(nn.Module):
    def forward(self, x: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]:
        return x / 255.0, x


class NoneOut(nn.Module):
    def forward(self, x: torch.Tensor) -> Optional[torch.Tensor]:
        return None


class IntOut(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return (x[:, :, 0:1] > 127.0).to(torch.int32)


class BoolOut(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :, 0:1] > 127.0


class DoubleOut(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return (x[:, :, 0:1] / 255.0).to(torch.float64) * 1.2 - 0.1


class NaNOut(nn.Module):
    """Blue scaled to -0.5..1.5, NaN where green is odd."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        m = x[:, :, 0:1] / 255.0 * 2.0 - 0.5
        return torch.where(torch.remainder(x[:, :, 1:2], 2.0) == 1.0, torch.full_like(m, float("nan")), m)


# network: (warm-up succeeds, a render succeeds)
NETWORKS = {
    Raises: (False, False),
    Rank2: (True, False),
    Rank4: (True, False),
    NoChannels: (True, False),
    NoRows: (True, False),
    PairOut: (True, False),
    NoneOut: (True, False),
    IntOut: (True, True),
    BoolOut: (True, True),
    DoubleOut: (True, True),
    NaNOut: (True, True),
}


@pytest.mark.parametrize("via", ["load_model", "render"])
@pytest.mark.parametrize("network", list(NETWORKS), ids=lambda n: n.__name__)
def test_misbehaving_network(loaded, network, via, capsys):
    plugin, api, plugin_dir = loaded
    warms_up, renders = NETWORKS[network]
    save_networks(plugin_dir, network())
    capsys.readouterr()

    # a load completes whatever the network does with the warm-up input
    loading = outcome(lambda: load_via(via, plugin, api, "cpu", torch.float64, Tools(plugin_dir)))
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1] == "model loaded"
    assert ("[Tavelin] Model warmup completed" in lines) == warms_up
    if not warms_up:
        warning = "\n".join(lines).split("[Tavelin] Warning: Model warmup failed: ", 1)
        assert len(warning) == 2 and "the network broke down" in warning[1]
    assert records(plugin) == ("cpu", torch.float64)
    assert load_events(api) == [("progress_bar",) + s for s in STEPS] + [("close_progress_bar",), ("empty_cache",)]
    if via == "load_model":
        assert loading == ("ok", None)

    rgb = np.random.default_rng(5).integers(0, 256, size=(6, 5, 3), dtype=np.uint8)
    for bit_depth, mode, output in ((8, 0, 2), (8, 1, 1), (16, 0, 1), (16, 1, 2)):
        array = rgb if bit_depth == 8 else rgb.astype(np.float32) / 255
        api.ImageTools.array = array
        got = outcome(lambda: drive(plugin.render({"bit_depth": bit_depth}, {"resize_mode": mode, "output": output},
                                                  None, Tools(plugin_dir))))
        if not renders:
            assert got[0] == "error"
            if network is Raises:
                assert "the network broke down" in str(got[1])
            continue
        assert got[0] == "ok", got[1]
        expected = reference_render(array, bit_depth, output, mode, half=False, network=network())
        assert_same_image(got[1]["image"]["array"], expected)
    assert torch.is_grad_enabled()

    # repaired: the host loads again, and renders are right
    save_networks(plugin_dir)
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    good_render(plugin, api, plugin_dir)
    good_render(plugin, api, plugin_dir, mode=1, output=1)


@pytest.mark.parametrize("mode", [0, 1])
@pytest.mark.parametrize("output", [1, 2])
def test_nan_matte_gives_transparent_eight_bit_alpha(loaded, mode, output):
    plugin, api, plugin_dir = loaded
    save_networks(plugin_dir, NaNOut())
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    rgb = np.random.default_rng(11).integers(0, 256, size=(9, 7, 3), dtype=np.uint8)
    rgb[..., 1] |= 1  # every pixel NaN ...
    rgb[:3, :, 1] &= 0xFE  # ... but the first three rows
    api.ImageTools.array = rgb
    out = drive(plugin.render({"bit_depth": 8}, {"resize_mode": mode, "output": output}, None,
                              Tools(plugin_dir)))["image"]["array"]
    alpha = out[:, :, 3] if output == 2 else out[:, :, 0]
    assert out.dtype == np.uint8
    # the matte at full size, as the render makes it
    net_in = rgb[:, :, ::-1].astype(np.float32)
    if mode == 1:
        net_in = cv2.resize(rgb[:, :, ::-1], (256, 256)).astype(np.float32)
    matte = NaNOut()(torch.from_numpy(np.ascontiguousarray(net_in)))[:, :, 0].numpy()
    if mode == 1:
        matte = cv2.resize(matte, (7, 9))
    nan = np.isnan(matte)
    assert nan.any() and (~nan).any()
    assert (alpha[nan] == 0).all()
    with np.errstate(invalid="ignore"):
        np.testing.assert_array_equal(alpha[~nan], (np.clip(matte[~nan], 0, 1) * np.float32(255)).astype(np.uint8))
    assert_same_image(out, reference_render(rgb, 8, output, mode, half=False, network=NaNOut()))


# --- the host's progress bar ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("via", ["load_model", "render"])
@pytest.mark.parametrize("step", range(1, 8))
def test_progress_bar_raising_at_each_step(loaded, step, via, capsys):
    plugin, api, plugin_dir = loaded
    message, percent = STEPS[step - 1]
    before, module = records(plugin), plugin.modnext
    api.ui.fail_at = percent
    capsys.readouterr()

    with pytest.raises(RuntimeError, match=f"^progress bar failed at {percent}$"):
        load_via(via, plugin, api, "cpu", torch.float16, Tools(plugin_dir))
    bar = load_events(api)
    assert bar == [("progress_bar",) + s for s in STEPS[:step]] + [("close_progress_bar",)]
    assert api.events.items[-1] == ("close_progress_bar",)  # nothing of the render ran after the failed load
    lines = capsys.readouterr().out.splitlines()
    assert "model loaded" not in lines
    assert ("[Tavelin] Model warmup completed" in lines) == (step == 7)
    if step >= RECORDS_WRITTEN_FROM_STEP:
        assert records(plugin) == ("cpu", torch.float16)
    else:
        assert records(plugin) == before
    assert (plugin.modnext is module) == (step < MODULE_REPLACED_FROM_STEP)

    api.ui.fail_at = None
    api.events.items.clear()
    render_half(plugin, api, plugin_dir, mode=1)
    reloaded = "progress_bar" in api.events.names()
    assert reloaded == (step < RECORDS_WRITTEN_FROM_STEP)
    good_render(plugin, api, plugin_dir)


def test_closing_the_bar_raising_after_a_failed_load(loaded):
    plugin, api, plugin_dir = loaded
    api.ui.fail_at = 30
    seen = []

    def close_progress_bar():
        api.events.add("close_progress_bar")
        raise OSError("the bar is gone")

    api.ui.close_progress_bar = close_progress_bar
    old_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        with pytest.raises(RuntimeError, match="progress bar failed at 30"):
            plugin.load_model("cpu", torch.float16, Tools(plugin_dir))
    finally:
        sys.unraisablehook = old_hook
    # the load's own error reaches the caller; the closing error is reported, not lost
    assert [type(u.exc_value) for u in seen] == [OSError]
    assert api.events.names()[-1] == "close_progress_bar"
    assert records(plugin) == ("cpu", torch.float32)
