"""A recording stand-in for the media host, for tests of the plug-in itself.

Every call the plug-in makes on host objects lands in one shared event list,
so tests can check order as well as arguments.
"""
from __future__ import annotations

import asyncio
import os
from dataclasses import dataclass, field
from typing import Any

# The seven progress steps of a model load, in order.
LOAD_STEPS = [
    ("Importing libraries...", 0),
    ("Importing libraries...", 10),
    ("Selecting model...", 20),
    ("Loading model weights...", 30),
    ("Moving model to device...", 70),
    ("Warming up model...", 90),
    ("Model loaded", 100),
]

FULL_MODEL = "3a8f6b2d0e9c4d7a1b5e8f2c6d0a4b91.pt"
HALF_MODEL = "7d1e0c4b9a2f4e6d8c3b5a7f9e1d2c40.pt"


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
    """Host images are dicts {"array": ndarray, "bit_depth": ...}."""

    def __init__(self, events: Events):
        self.events = events

    def image_to_np(self, image):
        self.events.add("image_to_np")
        return image["array"]

    def np_to_image(self, array, bit_depth):
        self.events.add("np_to_image", bit_depth)
        return {"array": array, "bit_depth": bit_depth}


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


def host_image(array, bit_depth=8):
    return {"array": array, "bit_depth": bit_depth}


def save_networks(plugin_dir, module, half_module=None):
    """Scripts `module` and writes it as both weight files under plugin_dir/models."""
    import torch

    models = os.path.join(plugin_dir, "models")
    os.makedirs(models, exist_ok=True)
    scripted = torch.jit.script(module)
    scripted.save(os.path.join(models, FULL_MODEL))
    (torch.jit.script(half_module) if half_module is not None else scripted).save(os.path.join(models, HALF_MODEL))
    return plugin_dir
