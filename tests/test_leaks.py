"""The plug-in's methods called many times over, failing or rendering: no references
or memory left behind."""
import gc
import os
import sys
import tracemalloc

import pytest

import Tavelin
from testkit.host_double import Tools, TorchFreeAPI

Plugin = Tavelin.Tavelin
ITERATIONS = 10_000


class Arg:
    """A distinct object per argument position, so each reference count is checked."""

    def __init__(self, name):
        self.name = name


class Setup:
    def __init__(self):
        self.api = TorchFreeAPI()
        self.plugin = Plugin(self.api)
        self.a, self.b, self.c, self.d, self.e = (Arg(n) for n in "abcde")
        self.tools = Tools("/nowhere")
        self.image = {"bit_depth": 8}
        self.bad_params = {"output": 3}
        self.no_image_tools = TorchFreeAPI()
        del self.no_image_tools.ImageTools

    def passed(self):
        return [self.plugin, self.api, self.a, self.b, self.c, self.d, self.e, self.tools, self.image,
                self.bad_params, self.no_image_tools]


def send_failing(coro):
    """Runs a coroutine that fails before its first suspension."""
    try:
        coro.send(None)
    finally:
        coro.close()


def host_raises(s):
    # the device query is the first host call of an awaited render
    def get_device_dtype():
        raise LookupError("no device")

    s.api.TorchTools.get_device_dtype = get_device_dtype
    return lambda: send_failing(s.plugin.render(s.image, {}, s.c, s.tools))


def type_f_call(f, *args, **kwargs):
    return type(f).__call__(f, *args, **kwargs)


CALLS = {
    # kind: (needs torch, expected exception, factory of the one failing call)
    "load_model-missing": (False, TypeError, lambda s: lambda: s.plugin.load_model(s.a, s.b)),
    "load_model-surplus": (False, TypeError, lambda s: lambda: s.plugin.load_model(s.a, s.b, s.c, s.d)),
    "load_model-unknown-keyword": (False, TypeError, lambda s: lambda: s.plugin.load_model(s.a, s.b, s.c, x=s.d)),
    "load_model-duplicate": (False, TypeError, lambda s: lambda: s.plugin.load_model(s.a, s.b, s.c, device=s.d)),
    "load_model-keyword-missing": (False, TypeError, lambda s: lambda: s.plugin.load_model(tools=s.a, device=s.b)),
    "load_model-non-string-keyword": (
        False, TypeError,
        lambda s: lambda: type_f_call(vars(Plugin)["load_model"], s.plugin, s.a, s.b, s.c, **{1: s.d}),
    ),
    "render-missing": (False, TypeError, lambda s: lambda: s.plugin.render(s.a, s.b, s.c)),
    "render-surplus": (False, TypeError, lambda s: lambda: s.plugin.render(s.a, s.b, s.c, s.d, s.e)),
    "render-unknown-keyword": (False, TypeError, lambda s: lambda: s.plugin.render(s.a, s.b, s.c, s.d, x=s.e)),
    "render-duplicate": (False, TypeError, lambda s: lambda: s.plugin.render(s.a, s.b, s.c, s.d, image=s.e)),
    "init-missing": (False, TypeError, lambda s: lambda: Plugin()),
    "init-surplus": (False, TypeError, lambda s: lambda: Plugin(s.a, s.b)),
    "init-unknown-keyword": (False, TypeError, lambda s: lambda: Plugin(s.api, x=s.a)),
    "init-no-image-tools": (False, AttributeError, lambda s: lambda: Plugin(s.no_image_tools)),
    "unload-surplus": (False, TypeError, lambda s: lambda: s.plugin.unload(s.a)),
    "render-params-none": (
        False, TypeError, lambda s: lambda: send_failing(s.plugin.render(s.image, None, s.c, s.tools)),
    ),
    "render-params-invalid": (
        False, Exception, lambda s: lambda: send_failing(s.plugin.render(s.image, s.bad_params, s.c, s.tools)),
    ),
    "render-host-raises": (True, LookupError, host_raises),
}


def run(call, expected, n):
    for _ in range(n):
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError("the call did not fail")


def traced_after(call, expected, n):
    gc.collect()
    run(call, expected, n)
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


@pytest.mark.parametrize("kind", list(CALLS))
def test_failing_calls_leave_nothing_behind(kind):
    needs_torch, expected, factory = CALLS[kind]
    if needs_torch:
        pytest.importorskip("torch")
    s = Setup()
    call = factory(s)
    run(call, expected, 200)  # warm-up: lazy imports, caches, interned strings
    attributes = dict(vars(s.plugin))
    gc.collect()
    counts = [sys.getrefcount(o) for o in s.passed()]

    tracemalloc.start()
    try:
        first = traced_after(call, expected, ITERATIONS // 5)
        second = traced_after(call, expected, ITERATIONS - ITERATIONS // 5)
    finally:
        tracemalloc.stop()

    gc.collect()
    assert [sys.getrefcount(o) for o in s.passed()] == counts
    # 8,000 further calls: even one leaked small object per call would show as tens of kilobytes
    assert second - first < 16 * 1024, f"traced memory grew by {second - first} bytes"
    assert vars(s.plugin) == attributes
    assert s.api.events.items == [] and s.tools.events.items == []


def test_successful_binding_leaves_nothing_behind():
    # The coroutine made by a good call holds its arguments until it goes away.
    s = Setup()
    s.plugin.render(s.a, s.b, s.c, s.d).close()
    gc.collect()
    counts = [sys.getrefcount(o) for o in s.passed()]
    for _ in range(ITERATIONS):
        s.plugin.render(s.a, s.b, s.c, s.d).close()
        s.plugin.render(image=s.a, params=s.b, instance_id=s.c, tools=s.d).close()
        s.plugin.unload()
        Plugin.unload(s.plugin)
    gc.collect()
    assert [sys.getrefcount(o) for o in s.passed()] == counts


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="resident size read from /proc")
@pytest.mark.skipif(bool(os.environ.get("TAVELIN_SANITIZED")),
                    reason="the address sanitizer keeps freed memory in quarantine; LeakSanitizer checks leaks there")
def test_resident_memory_is_steady():
    # Native allocations escape tracemalloc; the resident size catches a per-call leak of those.
    s = Setup()
    calls = [(factory(s), expected) for needs_torch, expected, factory in CALLS.values() if not needs_torch]
    for call, expected in calls:
        run(call, expected, 500)
    gc.collect()
    before = rss_bytes()
    for call, expected in calls:
        run(call, expected, 3000)
    gc.collect()
    grown = rss_bytes() - before
    # 3,000 calls of each of 17 kinds: a 64-byte leak per call would be over 3 MB
    assert grown < 2 * 1024 * 1024, f"resident size grew by {grown} bytes"


@pytest.fixture(scope="module")
def trivial_dir(tmp_path_factory):
    from torch import nn

    from testkit.networks import save_networks

    class Trivial(nn.Module):
        def forward(self, x):
            return x[:, :, 0:1] / 256.0

    return save_networks(str(tmp_path_factory.mktemp("trivial")), Trivial())


def test_many_renders_leak_nothing(trivial_dir):
    import numpy as np

    from testkit.host_double import drive, new_plugin
    from tavelin_host.contract import CUTOUT

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
