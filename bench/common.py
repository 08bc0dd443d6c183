"""Shared pieces of the benchmarks: a minimal host, test images, timing."""
import asyncio
import contextlib
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN_DIR = os.environ.get("TAVELIN_PLUGIN_DIR", os.path.join(ROOT, "build", "plugin", "Tavelin"))
for p in (PLUGIN_DIR, os.path.join(ROOT, "host"), ROOT):
    if p not in sys.path:
        sys.path.insert(0, p)

import numpy as np  # noqa: E402
import torch  # noqa: E402

from testkit.host_double import API, Tools, record  # noqa: E402
from testkit.networks import save_networks  # noqa: E402


class TrivialNet(torch.nn.Module):
    """Almost no work: the matte is the blue channel scaled to [0, 1]."""

    def forward(self, x):
        return x[:, :, :1] * (1.0 / 255.0)


def trivial_plugin_dir():
    d = tempfile.mkdtemp(prefix="tavelin-bench-")
    return save_networks(d, TrivialNet())


def as_the_plugin():
    """The scope the plug-in calls its network in: no gradients, TorchScript's graph optimisation off."""
    scope = contextlib.ExitStack()
    scope.enter_context(torch.no_grad())
    scope.enter_context(torch.jit.optimized_execution(False))
    return scope


def image(width, height, bit_depth, channels=3, seed=0):
    rng = np.random.default_rng(seed)
    if bit_depth == 8:
        return rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
    return rng.random((height, width, channels), dtype=np.float32)


def timings(fn, repeat=5, warmup=1, clock=time.perf_counter):
    """Seconds for each of ``repeat`` calls of ``fn``, after ``warmup`` untimed ones.

    ``clock=time.thread_time`` times one-thread work in the calling thread's CPU
    time, which other processes on a shared machine inflate far less.
    """
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return times


def median_time(fn, repeat=5, warmup=1):
    return statistics.median(timings(fn, repeat, warmup))


class PluginRunner:
    """Constructs the plug-in once and awaits render like a host does."""

    def __init__(self, plugin_dir, device="cpu", dtype=None):
        import Tavelin

        self.plugin_dir = plugin_dir
        self.api = API(device, dtype)
        self.plugin = Tavelin.Tavelin(self.api)
        self.loop = asyncio.new_event_loop()

    def render(self, array, bit_depth, output, mode):
        tools = Tools(self.plugin_dir, yield_to_loop=False)
        coro = self.plugin.render(record(array, bit_depth), {"output": output, "resize_mode": mode}, None, tools)
        result = self.loop.run_until_complete(coro)
        self.api.events.items.clear()
        return result["image"]["array"]
