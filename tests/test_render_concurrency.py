"""Many renders in flight on one plug-in, and many renders in a row."""
import asyncio
import gc
import sys
import tracemalloc

import numpy as np
import pytest
import torch
from torch import nn

from host_double import Tools, save_networks
from render_support import CUTOUT, LUMA_MATTE, drive, make_plugin_dir, new_plugin, random_rgb

pytestmark = pytest.mark.filterwarnings("ignore:.*torch.jit.(script|load).*:DeprecationWarning")


@pytest.fixture(autouse=True)
def quick_loads(monkeypatch):
    monkeypatch.setattr("time.sleep", lambda s: None)


@pytest.fixture(scope="module")
def plugin_dir(tmp_path_factory):
    return make_plugin_dir(tmp_path_factory.mktemp("plugin"), record=False)


class Trivial(nn.Module):
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :, 0:1] / 256.0


@pytest.fixture(scope="module")
def trivial_dir(tmp_path_factory):
    return save_networks(str(tmp_path_factory.mktemp("trivial")), Trivial())


def requests(n):
    rng = np.random.default_rng(7)
    out = []
    for i in range(n):
        bit_depth = (8, 16)[i % 2]
        shape = [(5, 7), (1, 9), (8, 3), (6, 6)][i % 4]
        params = {"output": (LUMA_MATTE, CUTOUT)[(i // 2) % 2], "resize_mode": (i // 4) % 2}
        out.append((random_rgb(rng, *shape, bit_depth=bit_depth), bit_depth, params))
    return out


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_gathered_renders_equal_sequential_ones(plugin_dir, dtype):
    plugin, api = new_plugin("cpu", dtype)
    work = requests(50)
    sequential = [
        drive(plugin.render({"array": a, "bit_depth": b}, p, i, Tools(plugin_dir)))["image"]["array"]
        for i, (a, b, p) in enumerate(work)
    ]
    order = []

    async def one(i, a, b, p):
        tools = Tools(plugin_dir)
        original = tools.progress

        def progress(percent):
            order.append(("suspend", i))
            return original(percent)

        tools.progress = progress
        result = await plugin.render({"array": a, "bit_depth": b}, p, i, tools)
        order.append(("done", i))
        return result["image"]["array"]

    async def host():
        return await asyncio.gather(*(one(i, *w) for i, w in enumerate(work)))

    gathered = asyncio.run(host())
    for got, want in zip(gathered, sequential):
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)
    # every render was in flight before the first finished
    assert [kind for kind, _ in order[:50]] == ["suspend"] * 50
    assert api.events.names().count("progress_bar") == 7  # one load for all of them


def test_many_renders_leak_nothing(trivial_dir):
    plugin, api = new_plugin()
    array = np.random.default_rng(1).integers(0, 256, size=(8, 8, 3), dtype=np.uint8)
    image = {"array": array, "bit_depth": 8}
    params = {"output": CUTOUT, "resize_mode": 0}
    tools = Tools(trivial_dir, yield_to_loop=False)
    instance_id = object()
    drive(plugin.render(image, params, instance_id, tools))  # loads
    api.events.items.clear()
    api.events.add = tools.events.add = lambda *event: None
    watched = [array, image, params, tools, instance_id, plugin, api.ImageTools]

    def batch(n):
        for _ in range(n):
            result = drive(plugin.render(image, params, instance_id, tools))
        return result

    batch(999)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        batch(2000)  # the interpreter's and the libraries' own caches settle
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        result = batch(7000)
        gc.collect()
        last, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert last - first < 7000 * 8  # far less than one small object per render
    np.testing.assert_array_equal(result["image"]["array"][:, :, :3], array)
    blue = array[:, :, 2].astype(np.float32)
    np.testing.assert_array_equal(result["image"]["array"][:, :, 3], (blue / 256 * 255).astype(np.uint8))
