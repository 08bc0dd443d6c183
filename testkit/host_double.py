"""A recording stand-in for the media host, for tests and benchmarks of the plug-in itself.

Every call the plug-in makes on host objects lands in one shared event list,
so tests can check order as well as arguments.  Host images here are plain
dicts {"array": ndarray, "bit_depth": ...} ("records"); ImageTools can be
steered per render to hand the plug-in something else.
"""
from __future__ import annotations

import asyncio
from dataclasses import dataclass, field
from typing import Any


@dataclass
class Events:
    items: list = field(default_factory=list)

    def add(self, *event):
        self.items.append(event)

    def names(self):
        return [e[0] for e in self.items]

    def of(self, name):
        return [e[1:] for e in self.items if e[0] == name]


class UI:
    def __init__(self, events: Events):
        self.events = events
        self.fail_at = None  # a percentage at which progress_bar raises

    def progress_bar(self, message, percent):
        self.events.add("progress_bar", message, percent)
        if self.fail_at is not None and percent == self.fail_at:
            raise RuntimeError(f"progress bar failed at {percent}")

    def close_progress_bar(self):
        self.events.add("close_progress_bar")


class TorchTools:
    def __init__(self, events: Events, device="cpu", dtype=None):
        import torch

        self.events = events
        self.result: Any = (device, dtype or torch.float32)

    def get_device_dtype(self):
        self.events.add("get_device_dtype")
        return self.result


class ImageTools:
    """image_to_np hands out the record's "array", or `array` when that is set (the
    record itself is then only passed through); np_to_image wraps the array in a
    record and remembers what it got."""

    def __init__(self, events: Events):
        self.events = events
        self.array = None
        self.to_np = None  # replaces image_to_np when set
        self.from_np = None  # replaces np_to_image when set
        self.last = None  # (array, bit_depth) of the last np_to_image call

    def image_to_np(self, image):
        self.events.add("image_to_np")
        if self.to_np is not None:
            return self.to_np(image)
        return image["array"] if self.array is None else self.array

    def np_to_image(self, array, bit_depth):
        self.events.add("np_to_image", bit_depth)
        self.last = (array, bit_depth)
        if self.from_np is not None:
            return self.from_np(array, bit_depth)
        return record(array, bit_depth)


class API:
    def __init__(self, device="cpu", dtype=None):
        self.events = Events()
        self.ui = UI(self.events)
        self.TorchTools = TorchTools(self.events, device, dtype)
        self.ImageTools = ImageTools(self.events)

    def empty_cache(self):
        self.events.add("empty_cache")


class FixedTorchTools(TorchTools):
    """TorchTools answering a fixed (device, dtype) pair, without importing torch."""

    def __init__(self, events: Events, device="cpu", dtype="float32"):
        self.events = events
        self.result: Any = (device, dtype)


class TorchFreeAPI(API):
    """The same API double for runs without torch (the host's own interpreter in the build check)."""

    def __init__(self, device="cpu", dtype="float32"):
        self.events = Events()
        self.ui = UI(self.events)
        self.TorchTools = FixedTorchTools(self.events, device, dtype)
        self.ImageTools = ImageTools(self.events)


class Tools:
    """Per-render tools: `progress` returns a real awaitable that yields to the loop once."""

    def __init__(self, plugin_path, events: Events | None = None, yield_to_loop=True):
        self.plugin_path = plugin_path
        self.events = events if events is not None else Events()
        self.yield_to_loop = yield_to_loop

    def progress(self, percent):
        self.events.add("progress", percent)
        return self._progress()

    async def _progress(self):
        if self.yield_to_loop:
            await asyncio.sleep(0)
        return "progress-result"


def drive(coro):
    """Runs an awaitable to its end without an event loop; returns its result."""
    it = coro.__await__()
    try:
        while True:
            it.send(None)
    except StopIteration as stop:
        return stop.value


def record(array, bit_depth=8):
    """A host image as these doubles hand it around."""
    return {"array": array, "bit_depth": bit_depth}


def new_plugin(device="cpu", dtype=None):
    """A plug-in object constructed with a fresh API double; returns (plugin, api)."""
    import Tavelin

    api = API(device, dtype)
    return Tavelin.Tavelin(api), api


def render(plugin, api, plugin_dir, array, params, bit_depth=8, instance_id=None):
    """One render of `array` driven to its end; returns the plug-in's result."""
    return drive(plugin.render(record(array, bit_depth), params, instance_id, Tools(plugin_dir, api.events)))


_shared = {}


def shared_plugin(plugin_dir, dtype=None):
    """One loaded plug-in per weight files and precision, for tests that only look at outputs."""
    import torch

    dtype = dtype or torch.float32
    key = (plugin_dir, dtype)
    if key not in _shared:
        plugin, api = new_plugin("cpu", dtype)
        plugin.load_model("cpu", dtype, Tools(plugin_dir))
        _shared[key] = plugin, api
    plugin, api = _shared[key]
    api.events.items.clear()
    return plugin, api


def outcome(fn):
    """("ok", value) or ("error", exception) for anything derived from Exception."""
    try:
        return "ok", fn()
    except Exception as error:  # noqa: BLE001 - any Python exception is an acceptable answer
        return "error", error
