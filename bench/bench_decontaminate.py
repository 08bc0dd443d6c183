"""Time of decontaminate_cutout per megapixel at 1080p and 4K.

    python bench/bench_decontaminate.py
"""

import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from tavelin_host.decontaminate import decontaminate_cutout  # noqa: E402

SIZES = [("1080p", 1920, 1080), ("4K", 3840, 2160)]
DTYPES = [np.uint8, np.float32]


def _cutout(width, height, dtype, seed=0):
    # Content does not change the cost (every step is data-independent), but
    # give it a realistic mix of opaque, transparent and soft pixels anyway.
    rng = np.random.default_rng(seed)
    rgba = rng.random((height, width, 4), dtype=np.float32)
    yy, xx = np.mgrid[0:height, 0:width]
    r = np.hypot((xx - width / 2) / width, (yy - height / 2) / height)
    rgba[..., 3] = np.clip((0.35 - r) * 20 + 0.3 * (rgba[..., 3] - 0.5), 0, 1)
    if dtype == np.uint8:
        return np.rint(rgba * 255).astype(np.uint8)
    return rgba.astype(dtype)


def run(repeats=7):
    """Median wall and CPU time of decontaminate_cutout per size and dtype.

    CPU time (all threads of this process) is reported beside wall time so
    that runs on a machine shared with other work can still be compared.
    """
    rows = []
    for label, width, height in SIZES:
        for dtype in DTYPES:
            rgba = _cutout(width, height, dtype)
            decontaminate_cutout(rgba)                      # warm-up
            times, cpu = [], []
            for _ in range(repeats):
                t0, c0 = time.perf_counter(), time.process_time()
                decontaminate_cutout(rgba)
                times.append(time.perf_counter() - t0)
                cpu.append(time.process_time() - c0)
            ms = statistics.median(times) * 1e3
            cpu_ms = statistics.median(cpu) * 1e3
            mp = width * height / 1e6
            rows.append({
                "bench": "decontaminate_cutout",
                "size": label,
                "width": width,
                "height": height,
                "dtype": np.dtype(dtype).name,
                "runs": repeats,
                "ms": round(ms, 2),
                "ms_per_mp": round(ms / mp, 2),
                "cpu_ms": round(cpu_ms, 2),
                "cpu_ms_per_mp": round(cpu_ms / mp, 2),
            })
    return rows


def main():
    rows = run()
    print(f"{'size':<6} {'dtype':<8} {'ms':>9} {'ms/MP':>8} {'cpu ms':>9} {'cpu/MP':>8}")
    for row in rows:
        print(f"{row['size']:<6} {row['dtype']:<8} {row['ms']:>9.1f} {row['ms_per_mp']:>8.1f}"
              f" {row['cpu_ms']:>9.1f} {row['cpu_ms_per_mp']:>8.1f}")


if __name__ == "__main__":
    main()
