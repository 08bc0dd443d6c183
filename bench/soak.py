"""Leak soak: many renders and failing calls on one plug-in object.

Runs a fixed mix of good renders, wrong calls, bad inputs, a failing host and
cancelled renders on one plug-in with a tiny image and a trivial network. Every
--every iterations it prints the resident memory, the number of objects the
garbage collector tracks and the total reference count of the objects handed
to the plug-in. Exits non-zero when the resident memory grows by more than
--max-growth-mib between the baseline sample (iteration 20,000, or half-way in
a shorter run) and the last one, or when any reference count changed.

    python bench/soak.py                      # 100,000 iterations
    python bench/soak.py --iterations 20000   # a short run
"""
import argparse
import asyncio
import gc
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import trivial_plugin_dir  # noqa: E402  (also puts the plug-in and testkit on sys.path)

import numpy as np  # noqa: E402
import torch  # noqa: E402
from testkit.host_double import drive  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE
    except OSError:  # no procfs: the peak is the best there is
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class UI:
    def progress_bar(self, message, percent):
        pass

    def close_progress_bar(self):
        pass


class TorchTools:
    def __init__(self):
        self.fail = False

    def get_device_dtype(self):
        if self.fail:
            raise LookupError("no device")
        return "cpu", torch.float32


class ImageTools:
    def __init__(self):
        self.fail = False

    def image_to_np(self, image):
        return image["array"]

    def np_to_image(self, array, bit_depth):
        if self.fail:
            raise MemoryError("no room for the image")
        return {"array": array, "bit_depth": bit_depth}


class API:
    def __init__(self):
        self.ui = UI()
        self.TorchTools = TorchTools()
        self.ImageTools = ImageTools()

    def empty_cache(self):
        pass


class Tools:
    def __init__(self, plugin_path, fail=False):
        self.plugin_path = plugin_path
        self.fail = fail

    def progress(self, percent):
        if self.fail:
            raise OSError("progress refused")
        return self._step()

    async def _step(self):
        await asyncio.sleep(0)


class Soak:
    def __init__(self, plugin_dir):
        import Tavelin

        rng = np.random.default_rng(0)
        self.api = API()
        self.plugin = Tavelin.Tavelin(self.api)
        self.tools = Tools(plugin_dir)
        self.failing_tools = Tools(plugin_dir, fail=True)
        self.image8 = {"array": rng.integers(0, 256, (4, 5, 3), dtype=np.uint8), "bit_depth": 8}
        self.image16 = {"array": rng.random((5, 4, 4), dtype=np.float32), "bit_depth": 16}
        self.bad_images = [
            {"array": rng.random((4, 5, 3)), "bit_depth": 16},  # float64
            {"array": np.zeros((4, 5), np.uint8), "bit_depth": 8},  # one channel
            {"array": np.zeros((0, 5, 3), np.uint8), "bit_depth": 8},  # empty
            {"array": [[1, 2, 3]], "bit_depth": 8},  # not an array
            {"array": rng.integers(0, 256, (4, 5, 3), dtype=np.uint8)},  # no bit depth
        ]
        self.cutout = {"output": 2, "resize_mode": 0}
        self.matte = {"output": 1, "resize_mode": 1}
        self.bad_params = {"output": 3}
        self.bad_mode = {"resize_mode": "x"}
        self.instance = object()
        self.loop = asyncio.new_event_loop()
        self.operations = [
            self.render_cutout, self.render_matte, self.wrong_arity, self.params_none, self.bad_params_call,
            self.bad_array, self.host_raises, self.progress_raises, self.output_refused, self.cancelled_at_await,
            self.closed_at_await, self.closed_unstarted, self.render_cutout, self.task_cancelled,
        ]

    def inputs(self):
        """Every object of ours that the plug-in sees."""
        objects = [self.plugin, self.api, self.api.ui, self.api.TorchTools, self.api.ImageTools, self.tools,
                   self.failing_tools, self.image8, self.image16, self.cutout, self.matte, self.bad_params,
                   self.bad_mode, self.instance]
        objects += [self.image8["array"], self.image16["array"]]
        for image in self.bad_images:
            objects += [image, image["array"]]
        return objects

    def refcount_total(self):
        gc.collect()
        return sum(sys.getrefcount(o) for o in self.inputs())

    # -- the mix --------------------------------------------------------------------------------------------------

    def render(self, image, params, tools=None):
        return drive(self.plugin.render(image, params, self.instance, tools or self.tools))

    def render_cutout(self, i):
        out = self.render(self.image8, self.cutout)["image"]["array"]
        assert out.shape == (4, 5, 4) and out.dtype == np.uint8

    def render_matte(self, i):
        out = self.render(self.image16, self.matte)["image"]["array"]
        assert out.shape == (5, 4, 3) and out.dtype == np.float32

    def wrong_arity(self, i):
        for call in (lambda: self.plugin.render(self.image8, self.cutout, self.instance),
                     lambda: self.plugin.render(self.image8, self.cutout, self.instance, self.tools, None),
                     lambda: self.plugin.render(self.image8, self.cutout, self.instance, tools=self.tools,
                                                image=self.image8),
                     lambda: self.plugin.load_model("cpu", torch.float32),
                     lambda: self.plugin.load_model("cpu", torch.float32, self.tools, extra=1),
                     lambda: self.plugin.unload(self.instance)):
            expect_failure(call, TypeError)

    def params_none(self, i):
        expect_failure(lambda: self.render(self.image8, None), TypeError)

    def bad_params_call(self, i):
        expect_failure(lambda: self.render(self.image8, self.bad_params if i % 2 else self.bad_mode), Exception)

    def bad_array(self, i):
        image = self.bad_images[(i // len(self.operations)) % len(self.bad_images)]
        expect_failure(lambda: self.render(image, self.cutout), Exception)

    def host_raises(self, i):
        self.api.TorchTools.fail = True
        try:
            expect_failure(lambda: self.render(self.image8, self.cutout), LookupError)
        finally:
            self.api.TorchTools.fail = False

    def progress_raises(self, i):
        expect_failure(lambda: self.render(self.image8, self.cutout, self.failing_tools), OSError)

    def output_refused(self, i):
        self.api.ImageTools.fail = True
        try:
            expect_failure(lambda: self.render(self.image16, self.cutout), MemoryError)
        finally:
            self.api.ImageTools.fail = False

    def cancelled_at_await(self, i):
        coro = self.plugin.render(self.image8, self.cutout, self.instance, self.tools)
        coro.send(None)
        expect_failure(lambda: coro.throw(asyncio.CancelledError()), asyncio.CancelledError)

    def closed_at_await(self, i):
        coro = self.plugin.render(self.image16, self.matte, self.instance, self.tools)
        coro.send(None)
        coro.close()

    def closed_unstarted(self, i):
        self.plugin.render(self.image8, self.cutout, self.instance, self.tools).close()

    def task_cancelled(self, i):
        async def main():
            task = asyncio.ensure_future(self.plugin.render(self.image8, self.cutout, self.instance, self.tools))
            await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                return
            raise AssertionError("the render was not cancelled")

        self.loop.run_until_complete(main())

    def step(self, i):
        self.operations[i % len(self.operations)](i)


def expect_failure(call, expected):
    try:
        call()
    except expected:
        return
    raise AssertionError(f"{call} did not fail with {expected.__name__}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--every", type=int, default=10_000, help="iterations between samples")
    parser.add_argument("--baseline", type=int, default=20_000,
                        help="iteration of the baseline sample (half-way when the run is shorter)")
    parser.add_argument("--max-growth-mib", type=float, default=4.0)
    parser.add_argument("--warmup", type=int, default=1_000)
    args = parser.parse_args(argv)

    import builtins
    import contextlib
    import io

    soak = Soak(trivial_plugin_dir())
    with contextlib.redirect_stdout(io.StringIO()):  # the load's console lines
        soak.render_cutout(0)
    for i in range(args.warmup):
        soak.step(i)
    builtins.print(f"soak: {args.iterations} iterations, {len(soak.operations)} operations in the mix")

    baseline_at = args.baseline if args.baseline < args.iterations else (args.iterations // 2 // args.every) * args.every
    samples = {}
    start = time.perf_counter()
    for i in range(args.iterations + 1):
        if i % args.every == 0 or i == args.iterations:
            refs = soak.refcount_total()
            rss = rss_bytes()
            samples[i] = (rss, refs)
            print(f"{i:>8}  rss {rss / 2 ** 20:9.2f} MiB  gc objects {len(gc.get_objects()):>8}  "
                  f"refcount total {refs:>6}  {time.perf_counter() - start:7.1f} s", flush=True)
        if i < args.iterations:
            soak.step(i)
    soak.loop.close()

    first_refs = samples[0][1]
    last = max(samples)
    growth = samples[last][0] - samples[baseline_at][0]
    failed = False
    if any(refs != first_refs for _, refs in samples.values()):
        print(f"FAIL: reference counts of the inputs changed: {[refs for _, refs in samples.values()]}")
        failed = True
    if growth > args.max_growth_mib * 2 ** 20:
        print(f"FAIL: resident memory grew by {growth / 2 ** 20:.2f} MiB from iteration {baseline_at} to {last}")
        failed = True
    if not failed:
        print(f"ok: resident memory {growth / 2 ** 20:+.2f} MiB from iteration {baseline_at} to {last}; "
              "reference counts unchanged")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
