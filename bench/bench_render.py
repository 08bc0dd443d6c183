"""Render overhead of the plug-in against the plain NumPy/OpenCV reference render.

Overhead = render time minus network time, with a trivial network, so what is
left is the pixel work around the network. Every row also checks that the
plug-in's output is bit-identical to the reference's.
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import PluginRunner, TrivialNet, image, median_time, trivial_plugin_dir  # noqa: E402

from tavelin_host.contract import CUTOUT, LUMA_MATTE, MODE_SIZES  # noqa: E402
from testkit.reference import reference_render  # noqa: E402

import torch  # noqa: E402

IMAGE_SIZES = [(1920, 1080), (3840, 2160)]
GOAL = {8: 1 / 4, 16: 1 / 3}


def bytes_moved(w, h, bit_depth, output, mode):
    """Bytes the pixel passes must read and write at full size, at the least."""
    sample = 1 if bit_depth == 8 else 4
    read = w * h * 3 * sample
    out_channels = 4 if output == CUTOUT else 3
    written = w * h * out_channels * sample + w * h * 4  # output + full-size matte
    if mode == 0:
        written += w * h * 3 * 4  # float32 network input at full size
    return read + written


def memcpy_bandwidth(nbytes):
    src = np.ones(nbytes, dtype=np.uint8)
    dst = np.empty_like(src)
    t = median_time(lambda: np.copyto(dst, src), repeat=5)
    return 2 * nbytes / t


def overhead_rows(repeat):
    runner = PluginRunner(trivial_plugin_dir())
    net = torch.jit.script(TrivialNet())
    rows = []
    for w, h in IMAGE_SIZES:
        for bit_depth in (8, 16):
            rgb = image(w, h, bit_depth)
            for output in (CUTOUT, LUMA_MATTE):
                for mode in (1, 0):
                    side = (h, w) if mode == 0 else (MODE_SIZES[mode],) * 2
                    x = torch.zeros((*side, 3))
                    net_time = median_time(lambda: net(x), repeat=15, warmup=5)
                    ours = runner.render(rgb, bit_depth, output, mode)
                    ref = reference_render(rgb, bit_depth, output, mode, network=net)
                    identical = ours.dtype == ref.dtype and ours.shape == ref.shape and np.array_equal(ours, ref)
                    reps = repeat if w * h < 4e6 else max(3, repeat // 2)
                    t_plugin = median_time(lambda: runner.render(rgb, bit_depth, output, mode), repeat=reps)
                    t_base = median_time(lambda: reference_render(rgb, bit_depth, output, mode, network=net), repeat=reps)
                    o_plugin = max(t_plugin - net_time, 1e-9)
                    o_base = max(t_base - net_time, 1e-9)
                    moved = bytes_moved(w, h, bit_depth, output, mode)
                    rows.append(dict(size=f"{w}x{h}", bits=bit_depth, output="CUTOUT" if output == CUTOUT else "LUMA",
                                     mode=mode, base_ms=o_base * 1e3, ours_ms=o_plugin * 1e3,
                                     ratio=o_plugin / o_base, goal=GOAL[bit_depth],
                                     ok=o_plugin / o_base <= GOAL[bit_depth] and identical,
                                     gbps=moved / o_plugin / 1e9, identical=identical, bytes=moved))
    return rows


def peak_memory_row(mode):
    """Runs one 3840x2160 render in a fresh process; numpy's traced peak above
    the input and output arrays, in full-size float32 planes."""
    code = f"""
import sys, tracemalloc, json
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from common import PluginRunner, image, trivial_plugin_dir
r = PluginRunner(trivial_plugin_dir())
r.render(image(64, 48, 8), 8, {CUTOUT}, {mode})
rgb = image(3840, 2160, 8)
tracemalloc.start()
base = tracemalloc.get_traced_memory()[0]
out = r.render(rgb, 8, {CUTOUT}, {mode})
cur, peak = tracemalloc.get_traced_memory()
print(json.dumps(dict(extra=peak - base - out.nbytes)))
"""
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    extra = json.loads(res.stdout.strip().splitlines()[-1])["extra"]
    return extra / (3840 * 2160 * 4)


def scaling_rows(repeat):
    runner = PluginRunner(trivial_plugin_dir())
    net = torch.jit.script(TrivialNet())
    x = torch.zeros((256, 256, 3))
    net_time = median_time(lambda: net(x), repeat=15, warmup=5)
    rows = []
    for w, h in [(640, 400), (1280, 800), (1920, 1080), (3840, 2160), (7680, 4320)]:
        rgb = image(w, h, 8)
        t = median_time(lambda: runner.render(rgb, 8, CUTOUT, 1), repeat=repeat) - net_time
        rows.append(dict(mp=w * h / 1e6, ms=t * 1e3, ms_per_mp=t * 1e3 / (w * h / 1e6)))
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args(argv)
    torch.set_num_threads(os.cpu_count() or 1)

    rows = overhead_rows(args.repeat)
    bw = memcpy_bandwidth(64 << 20)
    print(f"\nRender overhead (render - network, trivial network); memcpy bandwidth {bw / 1e9:.1f} GB/s")
    print(f"{'size':>10} {'bits':>4} {'output':>6} {'mode':>4} {'baseline ms':>11} {'plug-in ms':>10} "
          f"{'ratio':>6} {'goal':>6} {'GB/s':>6} {'%memcpy':>7} {'identical':>9} {'holds':>5}")
    for r in rows:
        print(f"{r['size']:>10} {r['bits']:>4} {r['output']:>6} {r['mode']:>4} {r['base_ms']:>11.2f} "
              f"{r['ours_ms']:>10.2f} {r['ratio']:>6.3f} {r['goal']:>6.3f} {r['gbps']:>6.2f} "
              f"{100 * r['gbps'] * 1e9 / bw:>6.0f}% {str(r['identical']):>9} {'yes' if r['ok'] else 'NO':>5}")

    print("\nPeak memory of a 3840x2160 8-bit CUTOUT render above input and output (numpy allocations)")
    for mode, goal in ((1, 1.0), (0, None)):
        planes = peak_memory_row(mode)
        verdict = ("yes" if planes <= goal else "NO") if goal else "(network input is 3 planes at full size)"
        print(f"  mode {mode}: {planes:.2f} float32 planes; goal <= 1: {verdict}")

    print("\nScaling (8-bit CUTOUT, mode 1): overhead per megapixel")
    for r in scaling_rows(max(3, args.repeat // 2)):
        print(f"  {r['mp']:6.2f} MP  {r['ms']:8.2f} ms  {r['ms_per_mp']:6.2f} ms/MP")
    held = sum(r["ok"] for r in rows)
    print(f"\nOverhead goals held in {held} of {len(rows)} rows; outputs bit-identical in "
          f"{sum(r['identical'] for r in rows)} of {len(rows)}")
    # Timings are reported, not enforced; a differing output is a fault.
    return 0 if all(r["identical"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
