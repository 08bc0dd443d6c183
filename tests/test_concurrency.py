"""Many renders in flight on one plug-in object, gathered or with cancellations at
random points, on both asyncio Task implementations; and two plug-in objects
rendering on two threads, each thread with its own event loop. Outputs equal those
of sequential renders; nothing is left never awaited or raised unraisably."""
import asyncio
import gc
import os
import random
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest
import torch
from torch import nn

from testkit.host_double import Events, Tools, drive, new_plugin
from testkit.networks import make_plugin_dir, random_rgb, save_networks
from tavelin_host.contract import CUTOUT, LUMA_MATTE
from testkit.reference import assert_same_image, reference_render

TASKS = {"c-task": asyncio.tasks._CTask, "py-task": asyncio.tasks._PyTask}
IN_FLIGHT = 200


class CountingBlue(nn.Module):
    """matte = blue / 255, counting its calls and the calls made with gradients on."""

    calls: int
    with_grad: int

    def __init__(self):
        super().__init__()
        self.calls = 0
        self.with_grad = 0

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        self.calls += 1
        if torch.is_grad_enabled():
            self.with_grad += 1
        return x[:, :, 0:1] / 255.0


@pytest.fixture(scope="module")
def plugin_dir(tmp_path_factory):
    return save_networks(tmp_path_factory.mktemp("concurrency"), CountingBlue())


@pytest.fixture
def strict():
    """Every warning is an error; unraisable exceptions (a coroutine never awaited
    under this filter is one) are collected and must not occur."""
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            warnings.filterwarnings("ignore", message=r".*torch\.jit\..*deprecated", category=DeprecationWarning)
            yield
            gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert not seen, [f"{u.exc_type.__name__}: {u.exc_value} ({u.object!r})" for u in seen]


def make_cases(n, seed):
    """n small render requests: (image record, params) pairs."""
    rng = np.random.default_rng(seed)
    cases = []
    for _ in range(n):
        h, w = rng.integers(1, 13, size=2)
        channels = int(rng.choice([3, 4]))
        bit_depth = int(rng.choice([8, 16]))
        if bit_depth == 8:
            array = rng.integers(0, 256, size=(h, w, channels), dtype=np.uint8)
        else:
            array = rng.random((h, w, channels), dtype=np.float32)
        params = {"output": int(rng.choice([1, 2])), "resize_mode": int(rng.choice([0, 0, 0, 1]))}
        cases.append(({"array": array, "bit_depth": bit_depth}, params))
    return cases


def new_rig(plugin_dir):
    plugin, api = new_plugin()
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    api.events.items.clear()
    return plugin, api


def sequential(plugin, plugin_dir, cases):
    return [drive(plugin.render(image, params, None, Tools(plugin_dir, Events())))["image"]["array"]
            for image, params in cases]


@pytest.fixture(scope="module")
def expected(plugin_dir):
    """Cases with the outputs of sequential renders, checked against the reference computation."""
    cases = make_cases(IN_FLIGHT, seed=2024)
    plugin, _ = new_rig(plugin_dir)
    outputs = sequential(plugin, plugin_dir, cases)
    for (image, params), out in zip(cases, outputs):
        assert_same_image(out, reference_render(image["array"], image["bit_depth"], params["output"],
                                                params["resize_mode"], half=False))
    return cases, outputs


class GatedTools(Tools):
    """progress(60) waits on a future that the test resolves (or never does)."""

    def __init__(self, plugin_dir, index, gates):
        super().__init__(plugin_dir, Events())
        self.index = index
        self.gates = gates

    def progress(self, percent):
        return self._wait(percent)

    async def _wait(self, percent):
        gate = asyncio.get_running_loop().create_future()
        self.gates[self.index] = gate
        return await gate


CANCEL_AT = ["never"] * 5 + ["before-start", "while-waiting", "after-wake-up", "after-done"]


async def in_flight(plugin, plugin_dir, cases, plan, rng):
    loop = asyncio.get_running_loop()
    gates = {}
    tasks = []
    for i, (image, params) in enumerate(cases):
        tasks.append(loop.create_task(plugin.render(image, params, i, GatedTools(plugin_dir, i, gates))))
        if plan[i] == "before-start":
            tasks[i].cancel()
    started = [i for i in range(len(cases)) if plan[i] != "before-start"]
    for _ in range(10):
        await asyncio.sleep(0)
    assert sorted(gates) == started  # every render that started waits on its progress report
    assert torch.is_grad_enabled()  # ... and none left gradients off for the rest of the loop

    for i in started:
        if plan[i] == "while-waiting":
            tasks[i].cancel()
    order = [i for i in started if plan[i] != "while-waiting"]
    rng.shuffle(order)
    for i in order:
        gates[i].set_result("progress-done")
        if plan[i] == "after-wake-up":
            tasks[i].cancel()
        if rng.random() < 0.3:
            await asyncio.sleep(0)
    for _ in range(5):
        await asyncio.sleep(0)
    for i in started:
        if plan[i] == "after-done":
            assert tasks[i].done()
            tasks[i].cancel()
    return await asyncio.gather(*tasks, return_exceptions=True), gates


def run_loop(task_class, main):
    loop = asyncio.new_event_loop()
    loop.set_task_factory(lambda loop, coro, **kw: task_class(coro, loop=loop, **kw))
    try:
        return loop.run_until_complete(main())
    finally:
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.close()


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("task", list(TASKS))
def test_many_renders_in_flight_with_cancellations(plugin_dir, expected, strict, task, seed):
    cases, outputs = expected
    plugin, api = new_rig(plugin_dir)
    rng = random.Random(seed)
    plan = [rng.choice(CANCEL_AT) for _ in cases]
    calls = plugin.modnext.calls

    results, gates = run_loop(TASKS[task], lambda: in_flight(plugin, plugin_dir, cases, plan, rng))

    for i, result in enumerate(results):
        if plan[i] in ("never", "after-done"):
            assert list(result) == ["image"], result
            assert_same_image(result["image"]["array"], outputs[i])
        else:
            assert isinstance(result, asyncio.CancelledError), (plan[i], result)
        if plan[i] == "while-waiting":
            assert gates[i].cancelled()  # the cancellation reached the host's awaitable
    # cancelled renders never ran the network; none ran it with gradients on
    assert plugin.modnext.calls - calls == sum(p in ("never", "after-done") for p in plan)
    assert plugin.modnext.with_grad == 0
    assert torch.is_grad_enabled()
    assert "progress_bar" not in api.events.names()  # no reload: the pair never changed


def test_two_plugins_on_two_threads(plugin_dir, expected, strict):
    cases, outputs = expected
    barrier = threading.Barrier(2)
    results, errors = {}, []

    async def all_at_once(plugin):
        return await asyncio.gather(*(plugin.render(image, params, None, Tools(plugin_dir, Events()))
                                      for image, params in cases))

    def worker(name, task_class):
        try:
            plugin, _ = new_rig(plugin_dir)
            barrier.wait(timeout=60)
            results[name] = [run_loop(task_class, lambda: all_at_once(plugin)) for _ in range(2)]
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            errors.append(error)
            barrier.abort()

    threads = [threading.Thread(target=worker, args=(name, cls)) for name, cls in TASKS.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]
    for name in TASKS:
        for run in results[name]:
            for result, out in zip(run, outputs):
                assert_same_image(result["image"]["array"], out)
    assert torch.is_grad_enabled()


@pytest.fixture(scope="module")
def smooth_dir(tmp_path_factory):
    return make_plugin_dir(tmp_path_factory.mktemp("smooth"), record=False)


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
def test_gathered_renders_equal_sequential_ones(smooth_dir, dtype):
    plugin, api = new_plugin("cpu", dtype)
    work = requests(50)
    sequential = [
        drive(plugin.render({"array": a, "bit_depth": b}, p, i, Tools(smooth_dir)))["image"]["array"]
        for i, (a, b, p) in enumerate(work)
    ]
    order = []

    async def one(i, a, b, p):
        tools = Tools(smooth_dir)
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


AT_EXIT = {
    # The main thread returns while a daemon thread's render is in a pixel pass without the
    # GIL; re-taking it during finalisation once aborted the process ("terminate called").
    "daemon-thread": """
        import threading
        import numpy as np
        from testkit.host_double import Tools, new_plugin

        plugin, api = new_plugin()
        plugin.model_loaded_on_device, plugin.model_loaded_with_dtype = api.TorchTools.result
        in_pass = threading.Event()


        class Image(dict):
            def __getitem__(self, key):
                if key == "bit_depth":  # read just before the first pixel pass
                    in_pass.set()
                return super().__getitem__(key)


        image = Image(array=np.full((5000, 5000, 3), 0.5, np.float32), bit_depth=32)
        coro = plugin.render(image, {"resize_mode": 1}, None, Tools("."))
        threading.Thread(target=coro.send, args=(None,), daemon=True).start()
        in_pass.wait()
        """,
    # Renders driven by a finaliser that the collection at exit runs on the main thread, one
    # new and one resumed: the first once waited for ever in its first pass without the GIL.
    "finalising-thread": """
        import numpy as np
        from testkit.host_double import Tools, drive, new_plugin

        plugin, api = new_plugin()
        plugin.model_loaded_on_device, plugin.model_loaded_with_dtype = api.TorchTools.result
        plugin.modnext = lambda tensor: tensor[..., :1] / 255
        image = {"array": np.zeros((4, 5, 3), np.uint8), "bit_depth": 8}


        class RendersAtExit:
            def __del__(self):
                for coro in (plugin.render(image, {"resize_mode": 0}, None, Tools(".")), suspended):
                    try:
                        drive(coro)
                    except RuntimeError as error:
                        print(error)


        suspended = plugin.render(image, {}, None, Tools("."))
        suspended.send(None)
        garbage = RendersAtExit()
        garbage.cycle = garbage
        del garbage
        """,
}


@pytest.mark.parametrize("thread", list(AT_EXIT))
def test_a_render_when_the_interpreter_exits_ends_quietly(thread):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(AT_EXIT[thread])], capture_output=True, text=True,
                          env=env, timeout=300)
    assert proc.returncode == 0 and "terminate" not in proc.stderr, proc.stderr[-3000:]
    if thread == "finalising-thread":
        assert proc.stdout.splitlines() == ["Tavelin cannot render while the interpreter is finalising"] * 2
