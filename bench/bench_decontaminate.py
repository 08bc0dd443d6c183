"""Time of decontaminate_cutout per megapixel at 1080p and 4K.

    python bench/bench_decontaminate.py
"""

import statistics
import sys
import time
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from tavelin_host.decontaminate import decontaminate_cutout  # noqa: E402

SIZES = [("1080p", 1920, 1080), ("4K", 3840, 2160)]
DTYPES = [np.uint8, np.float32]
MATTES = ["band", "soft"]


def _matte(width, height, kind, rng):
    """A photo-like matte ("band") or the worst case, soft everywhere ("soft").

    "band": an opaque head-and-shoulders shape, transparent around it, with a
    soft edge a few pixels wide and thin anti-aliased strands, so only a few
    per cent of pixels have 0 < alpha < 1, as in a real portrait's matte.
    """
    if kind == "soft":
        return rng.uniform(0.02, 0.98, (height, width)).astype(np.float32)
    canvas = np.zeros((height, width), np.uint8)
    cx, cy = width // 2, int(height * 0.55)
    cv2.ellipse(canvas, (cx, cy), (width // 7, height // 4), 0, 0, 360, 255, -1, cv2.LINE_AA)
    cv2.ellipse(canvas, (cx, height), (width // 3, height // 3), 0, 0, 360, 255, -1,
                cv2.LINE_AA)
    for _ in range(40):
        t = rng.uniform(np.pi * 1.1, np.pi * 1.9)
        x, y = cx + width / 7 * np.cos(t), cy + height / 4 * np.sin(t)
        heading, pts = t, []
        for _ in range(30):
            pts.append((x, y))
            heading += rng.normal(0, 0.15)
            x, y = x + 4 * np.cos(heading), y + 4 * np.sin(heading)
        cv2.polylines(canvas, [np.round(pts).astype(np.int32)], False, 255, 1, cv2.LINE_AA)
    alpha = cv2.GaussianBlur(canvas.astype(np.float32) / 255, (0, 0), 1.5)
    alpha[alpha < 0.004] = 0.0
    alpha[alpha > 0.996] = 1.0
    return alpha


def _cutout(width, height, dtype, kind="band", seed=0):
    rng = np.random.default_rng(seed)
    rgba = rng.random((height, width, 4), dtype=np.float32)
    rgba[..., 3] = _matte(width, height, kind, rng)
    if dtype == np.uint8:
        return np.rint(rgba * 255).astype(np.uint8)
    return rgba.astype(dtype)


def run(repeats=7):
    """Median wall and CPU time of decontaminate_cutout per size, matte and dtype.

    CPU time (all threads of this process) is reported beside wall time so
    that runs on a machine shared with other work can still be compared.
    """
    rows = []
    for label, width, height in SIZES:
        for dtype, matte in [(d, m) for m in MATTES for d in DTYPES]:
            rgba = _cutout(width, height, dtype, matte)
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
                "matte": matte,
                "runs": repeats,
                "ms": round(ms, 2),
                "ms_per_mp": round(ms / mp, 2),
                "cpu_ms": round(cpu_ms, 2),
                "cpu_ms_per_mp": round(cpu_ms / mp, 2),
            })
    return rows


def main():
    rows = run()
    print(f"{'size':<6} {'matte':<6} {'dtype':<8} {'ms':>9} {'ms/MP':>8} {'cpu ms':>9} {'cpu/MP':>8}")
    for row in rows:
        print(f"{row['size']:<6} {row['matte']:<6} {row['dtype']:<8} {row['ms']:>9.1f} {row['ms_per_mp']:>8.1f}"
              f" {row['cpu_ms']:>9.1f} {row['cpu_ms_per_mp']:>8.1f}")


if __name__ == "__main__":
    main()
