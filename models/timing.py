"""Time per call of the network files, as the plug-in runs them.

    python -m models.timing [--repeat N]

Builds both files in memory, loads them the way the plug-in does (float16:
.half() and a float16 input), warms up on a 512 x 512 zero image, then times
whole calls at 256 x 256 (modes 1) and 512 x 512 (mode 0 on a 512 image) and
the bare network on its 256 x 256 input.  Prints min and median in ms.
"""

from __future__ import annotations

import argparse
import io
import statistics
import time

import torch

from .convert import build_module, script_module


def _timed(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return min(times), statistics.median(times)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m models.timing")
    p.add_argument("--repeat", type=int, default=20)
    args = p.parse_args(argv)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    for half in (False, True):
        buf = io.BytesIO()
        module = build_module()
        torch.jit.save(script_module(module.half() if half else module), buf)
        buf.seek(0)
        loaded = torch.jit.load(buf)
        if half:
            loaded.half()
        loaded.eval()
        dtype = torch.float16 if half else torch.float32
        with torch.no_grad():
            loaded(torch.zeros(512, 512, 3, dtype=dtype))
            for size in (256, 512):
                x = (torch.rand(size, size, 3) * 255).to(dtype)
                for _ in range(3):  # the executor specialises on the first calls of a new shape
                    loaded(x)
                lo, med = _timed(lambda: loaded(x), args.repeat)
                print(f"{str(dtype):14s} whole call {size}x{size}: min {lo:7.1f} ms, median {med:7.1f} ms")
            rgb = torch.rand(1, 3, 256, 256)
            lo, med = _timed(lambda: loaded.matting.net(rgb), args.repeat)
            print(f"{str(dtype):14s} network alone 256x256 (float32 on CPU): min {lo:7.1f} ms, median {med:7.1f} ms")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
