"""The tavelin command's throughput: twenty 1920 x 1080 JPEGs (cut-outs, default mode)
and one image end to end, each the whole process as a user starts it, then where
the time of one file goes (read, render, post-process + encode, write) and what a
start-up costs (Python and imports, the plug-in and network load).  The twenty
are also cut out by a plain TFLite script (tflite_plain.py: selfie network,
resize, RGBA PNG), as a whole process in the same run, as the yardstick.

Goals on a 2-core machine: <= 2.0 s for one image end to end; the twenty in
<= 2x the plain TFLite script's time.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PLUGIN_DIR = Path(os.environ.get("TAVELIN_PLUGIN_DIR", ROOT / "build" / "plugin" / "Tavelin"))
sys.path[:0] = [str(PLUGIN_DIR), str(ROOT / "host"), str(ROOT)]

import cv2  # noqa: E402
import numpy as np  # noqa: E402

COUNT, WIDTH, HEIGHT = 20, 1920, 1080
GOAL_ONE, GOAL_PLAIN_RATIO = 2.0, 2.0


def make_photos(folder: Path) -> list[Path]:
    """Twenty different 1920 x 1080 JPEGs of the sample photo (shifted, with sensor-like noise)."""
    base = cv2.resize(cv2.imread(str(ROOT / "examples" / "astronaut.png")), (WIDTH + 64, HEIGHT + 64),
                      interpolation=cv2.INTER_CUBIC)
    rng = np.random.default_rng(0)
    paths = []
    for index in range(COUNT):
        dx, dy = rng.integers(0, 64, 2)
        photo = base[dy:dy + HEIGHT, dx:dx + WIDTH].astype(np.int16) + rng.integers(-4, 5, (HEIGHT, WIDTH, 3))
        path = folder / f"IMG_{index:04d}.jpg"
        cv2.imwrite(str(path), np.clip(photo, 0, 255).astype(np.uint8), [cv2.IMWRITE_JPEG_QUALITY, 92])
        paths.append(path)
    return paths


def tavelin_seconds(*args: str) -> tuple[float, float]:
    """(wall seconds, CPU seconds) of one tavelin process; CPU time is what a busy machine
    inflates least (wall time also waits for other processes' turns on the cores)."""
    command = [str(ROOT / ".venv" / "bin" / "python"), "-m", "tavelin_host", *args, "--quiet", "--overwrite",
               "--plugin-dir", str(PLUGIN_DIR)]
    env = dict(os.environ, PYTHONPATH=str(ROOT / "host"))
    cpu_before = _children_cpu()
    started = time.perf_counter()
    run = subprocess.run(command, capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - started
    if run.returncode != 0:
        raise SystemExit(f"tavelin failed ({run.returncode}): {run.stderr}")
    return seconds, _children_cpu() - cpu_before


def plain_seconds(folder: Path, out: Path) -> tuple[float, float]:
    """(wall seconds, CPU seconds) of one tflite_plain.py process over ``folder``."""
    command = [str(ROOT / ".venv" / "bin" / "python"), str(ROOT / "bench" / "tflite_plain.py"), str(folder), str(out)]
    cpu_before = _children_cpu()
    started = time.perf_counter()
    run = subprocess.run(command, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if run.returncode != 0:
        raise SystemExit(f"tflite_plain.py failed ({run.returncode}): {run.stderr}")
    return seconds, _children_cpu() - cpu_before


def _children_cpu() -> float:
    import resource

    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def stages(photos: list[Path], out: Path) -> dict[str, float]:
    """One process's start-up and per-file steps, timed one after another (no overlap)."""
    times: dict[str, list[float]] = {}

    def timed(name, action, *args, **kwargs):
        started = time.perf_counter()
        result = action(*args, **kwargs)
        times.setdefault(name, []).append(time.perf_counter() - started)
        return result

    code = "import time; t = time.perf_counter(); import torch; print(time.perf_counter() - t)"
    torch_import = min(float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout)
                       for _ in range(2))
    from tavelin_host.host import Host
    from tavelin_host.pipeline import MatteOptions, post_process, read, render, write
    from tavelin_host.encoding import encode_image, file_samples

    options = MatteOptions(out_dir=out, overwrite=True)
    with Host(PLUGIN_DIR, device="cpu", quiet=True) as host:
        timed("plug-in import and network load", host.load_model)
        for photo in photos[:6]:
            job = timed("read (JPEG decode)", read, photo, options)
            timed("render (network, mode 1)", render, host, job, options)
            timed("post-process", post_process, job, options)
            pixels = file_samples(job.outputs["cutout"], 8, ".png")
            timed("PNG encode", encode_image, pixels, ".png")
            timed("write (encode + fsync + rename)", write, job, options)
    result = {name: statistics.median(values[1:] if len(values) > 2 else values) for name, values in times.items()}
    result["torch import (own process)"] = torch_import
    return result


def import_costs(photo: Path, out: Path) -> list[tuple[str, float]]:
    """(module, seconds) of the top-level imports of one tavelin process on ``photo`` (-X importtime),
    largest first: what the start-up spends before and beside the network load."""
    command = [str(ROOT / ".venv" / "bin" / "python"), "-X", "importtime", "-m", "tavelin_host", str(photo),
               "-o", str(out), "--quiet", "--overwrite", "--plugin-dir", str(PLUGIN_DIR)]
    run = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(ROOT / "host")))
    costs = []
    for line in run.stderr.splitlines():
        # "import time: self [us] | cumulative | name", nesting shown by the name's indent.
        parts = line.split("|")
        if line.startswith("import time:") and len(parts) == 3 and parts[1].strip().isdigit() \
                and not parts[2].startswith("  "):
            costs.append((parts[2].strip(), int(parts[1]) / 1e6))
    return sorted(costs, key=lambda c: -c[1])


def _cpu_pressure() -> float | None:
    try:
        first = Path("/proc/pressure/cpu").read_text().split()
        return float(first[1].split("=")[1])  # "some avg10=..."
    except (OSError, IndexError, ValueError):
        return None


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="tavelin-bench-cli-") as tmp:
        folder, out = Path(tmp) / "photos", Path(tmp) / "out"
        folder.mkdir()
        photos = make_photos(folder)
        # Best of 2; the first run also warms the file cache.  The twenty run once, to keep
        # the script within two minutes on a busy machine.
        one, one_cpu = min(tavelin_seconds(str(photos[0]), "-o", str(out)) for _ in range(2))
        twenty, twenty_cpu = tavelin_seconds(str(folder), "-o", str(out))
        plain, plain_cpu = min(plain_seconds(folder, Path(tmp) / "plain") for _ in range(2))
        steady = (COUNT - 1) / max(twenty - one, 1e-9)
        parts = stages(photos, Path(tmp) / "stages")
        imports = import_costs(photos[0], out)
        pressure = _cpu_pressure()

    print(f"\nload average (1, 5, 15 min): {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    print(f"tavelin, {COUNT} JPEGs of {WIDTH} x {HEIGHT}, cut-outs, resize mode 1, CPU")
    print(f"{'what':44s} {'reached':>12s} {'goal':>10s}")
    print("(whole processes: one image best of 2, twenty once, the plain script best of 2)")
    print(f"{'one image end to end':44s} {one:10.2f} s {'<= %.1f s' % GOAL_ONE:>10s}  {'met' if one <= GOAL_ONE else 'NOT met'}")
    print(f"{'twenty images, whole run':44s} {twenty:10.2f} s")
    print(f"{'twenty images, plain TFLite script':44s} {plain:10.2f} s")
    ratio = twenty / plain
    print(f"{'twenty images, tavelin / plain TFLite':44s} {ratio:10.2f} x {'<= %.0fx' % GOAL_PLAIN_RATIO:>10s}  "
          f"{'met' if ratio <= GOAL_PLAIN_RATIO else 'NOT met'}")
    print(f"{'images a second, whole run':44s} {COUNT / twenty:10.2f} /s")
    print(f"{'images a second, after start-up':44s} {steady:10.2f} /s")
    print(f"{'CPU time: one image / twenty':44s} {one_cpu:6.2f} s / {twenty_cpu:.2f} s "
          f"({(twenty_cpu - one_cpu) / (COUNT - 1) * 1000:.0f} ms of CPU an image after start-up)")
    print(f"{'CPU time: plain TFLite script, twenty':44s} {plain_cpu:6.2f} s")
    if pressure is not None:
        print(f"(CPU pressure during the run: other processes waited {pressure:.0f} % of the time; "
              "wall times are inflated by that much contention)")
    print("\nwhere the time goes (medians, one step at a time; a batch overlaps read and write with render)")
    for name, seconds in parts.items():
        print(f"  {name:44s} {seconds * 1000:8.1f} ms")
    print(f"\na tavelin process's imports (-X importtime, top level, {sum(c for _, c in imports) * 1000:.0f} ms in all), "
          "the largest")
    for name, seconds in imports[:6]:
        print(f"  {name:44s} {seconds * 1000:8.1f} ms")


if __name__ == "__main__":
    main()
