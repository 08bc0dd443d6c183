"""Where a load of the network file goes, and whether the warm-up leaves the first render at full speed.

For the float32 file: torch.jit.load, then the first call's work done piece
by piece on a freshly loaded file (each network's priming call, the person
stage's fusion primed on a small crop, then the matting graph's call on the
warm-up's 512 x 512 zeros), against the whole first call on another fresh
load.  Every call runs as the plug-in makes it: without
gradients and with TorchScript's graph optimisation off (CONTRACT.md
"network calls").  Then the first render after that warm-up against a warm
render, at 256 x 256 and 1920 x 1080 (goal: within 1.5x).  These run on one
thread, best of 3 fresh loads, timed in the thread's CPU time: on one thread
that is the wall time of a quiet machine, and a busy one (other processes
taking turns on the cores) inflates it far less.  Last, the plug-in's own
load_model through the host double, in a fresh process that has already
imported torch (goal: <= 1.2 s on a quiet machine), wall time, with torch's
default threads as the plug-in runs it, and with one.

    bench_load.py [--against PLUGIN_DIR]

--against times another plug-in directory's weight files (those of an older
build, say) in the same run, each load of one beside a load of the other,
and prints the two side by side with their ratio.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.dirname(os.path.abspath(__file__))]

import cv2  # noqa: E402
import torch  # noqa: E402
from common import PLUGIN_DIR, as_the_plugin  # noqa: E402

from tavelin_host.contract import FLOAT32_WEIGHTS, MODELS_DIR  # noqa: E402

WARMUP_SIZE = 512  # the plug-in's warm-up input, zeros
LOADS = 3
GOAL_FIRST_RATIO = 1.5
GOAL_LOAD_MODEL_S = 1.2
PERSON = os.path.join(ROOT, "examples", "people", "pexels_batter_standing.jpg")

LOAD_MODEL_CHILD = r"""
import sys, time
import torch
threads = int(sys.argv[1])
if threads:
    torch.set_num_threads(threads)
sys.path[:0] = sys.argv[2:]
from testkit.host_double import Tools, new_plugin
plugin, api = new_plugin("cpu", torch.float32)
started = time.perf_counter()
plugin.load_model("cpu", torch.float32, Tools(sys.argv[2]))
print(time.perf_counter() - started, torch.get_num_threads())
"""


def model_path(plugin_dir):
    return os.path.join(plugin_dir, MODELS_DIR, FLOAT32_WEIGHTS)


def once(fn):
    started = time.thread_time()
    fn()
    return time.thread_time() - started


def loaded(path):
    started = time.thread_time()
    m = torch.jit.load(path).eval()
    return m, time.thread_time() - started


def pieces(path):
    """{piece: seconds} on one freshly loaded file, in the order the warm-up runs them."""
    m, load_s = loaded(path)
    matting, people = m.matting, m.matting.people
    inputs = (("selfie net", matting.net, (1, 3, matting.net_h, matting.net_w)),
              ("landscape net", matting.landscape_net, (1, 3, matting.land_h, matting.land_w)),
              ("person detector", people.detector, (1, 3, people.detector_size, people.detector_size)),
              ("person segmenter", people.segmenter, (1, 3, people.segmenter_size, people.segmenter_size)))
    out = {"torch.jit.load": load_s}
    z = torch.zeros(WARMUP_SIZE, WARMUP_SIZE, 3)
    with as_the_plugin():
        for name, net, shape in inputs:
            x = torch.zeros(shape)
            out[f"{name}, priming call"] = once(lambda: net(x))
        prob = torch.zeros(1, 1, 4, 4)
        crop = torch.tensor([[2.0, 2.0, 2.0, 0.0, 1.0]])
        out["person stage fusion, priming call"] = once(lambda: people.fuse(prob, False, crop, prob, 4, 4, 4, 4))
        out["matting graph, 1st call"] = once(lambda: matting(z))
        out["(a 2nd matting call, warm)"] = once(lambda: matting(z))
    summed = sum(v for k, v in out.items() if k != "torch.jit.load" and not k.startswith("("))
    out["the pieces of the first call, summed"] = summed
    return out


def whole_first_call(path):
    """{name: seconds} of a fresh load and its whole first call (the plug-in's warm-up)."""
    m, load_s = loaded(path)
    z = torch.zeros(WARMUP_SIZE, WARMUP_SIZE, 3)
    with as_the_plugin():
        warm_up = once(lambda: m(z))
    return {"the whole first call (the warm-up)": warm_up, "load + warm-up": load_s + warm_up}


def first_and_warm(path, image):
    """(first render after the warm-up, best warm render) on a fresh load."""
    m, _ = loaded(path)
    x = torch.Tensor(image)
    with as_the_plugin():
        m(torch.zeros(WARMUP_SIZE, WARMUP_SIZE, 3))
        first = once(lambda: m(x))
        warm = min(once(lambda: m(x)) for _ in range(5))
    return first, warm


def load_model_seconds(threads, plugin_dir):
    """(seconds, threads torch used) of the plug-in's load_model in a fresh process, torch already imported."""
    run = subprocess.run([sys.executable, "-c", LOAD_MODEL_CHILD, str(threads), plugin_dir,
                          os.path.join(ROOT, "host"), ROOT], capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit(f"load_model failed: {run.stderr}")
    seconds, used = run.stdout.split()[-2:]
    return float(seconds), int(used)


def best_of(measure, dirs, rounds):
    """{dir: {name: best seconds}}, each round measuring every directory once, one after another."""
    runs = {d: [] for d in dirs}
    for _ in range(rounds):
        for d in dirs:
            runs[d].append(measure(d))
    return {d: {name: min(r[name] for r in runs[d]) for name in runs[d][0]} for d in dirs}


def row(name, values, unit_ms=True):
    cells = [f"{v * 1e3:9.1f}" if unit_ms else f"{v:9.2f}" for v in values]
    ratio = f"{values[0] / values[1]:7.2f}" if len(values) > 1 and values[1] > 0 else ""
    return f"  {name:40s}{''.join(cells)} {ratio}".rstrip()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="another plug-in directory, timed in the same run")
    args = parser.parse_args(argv)
    dirs = [PLUGIN_DIR] + ([os.path.abspath(args.against)] if args.against else [])
    for d in dirs:
        if not os.path.exists(model_path(d)):
            print(f"no weight files in {d}: run `make models`")
            return 1
    torch.set_num_threads(1)
    print(f"load average (1, 5, 15 min): {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    head = "       ms" + ("  against  ratio" if args.against else "")
    if args.against:
        print(f"ms: {dirs[0]}\nagainst: {dirs[1]}")

    parts = best_of(lambda d: pieces(model_path(d)), dirs, LOADS)
    whole = best_of(lambda d: whole_first_call(model_path(d)), dirs, LOADS)
    print(f"\nLoading {FLOAT32_WEIGHTS} (float32, CPU, 1 thread, thread CPU time), best of {LOADS} fresh loads")
    print(f"  {'':40s}{head}")
    for name in parts[dirs[0]]:
        print(row(name, [parts[d].get(name, 0.0) for d in dirs]))
    for name in whole[dirs[0]]:
        print(row(name, [whole[d][name] for d in dirs]))

    print(f"\nFirst render after the warm-up against a warm one (one person, 1 thread, thread CPU time; {LOADS} "
          "fresh loads: best first, best warm (5 a load), median of each load's first / its own warm)")
    print(f"{'input':>10} {'first ms':>9} {'warm ms':>8} {'ratio':>6} {'goal':>7}  met")
    original = cv2.imread(PERSON)
    for w, h in ((256, 256), (1920, 1080)):
        image = cv2.resize(original, (w, h), interpolation=cv2.INTER_AREA)
        results = [first_and_warm(model_path(PLUGIN_DIR), image) for _ in range(LOADS)]
        first = min(r[0] for r in results)
        warm = min(r[1] for r in results)
        # Each load's ratio pairs times taken moments apart, which a busy machine skews least.
        ratio = statistics.median(r[0] / r[1] for r in results)
        print(f"{f'{w}x{h}':>10} {first * 1e3:9.1f} {warm * 1e3:8.1f} {ratio:6.2f} {f'<= {GOAL_FIRST_RATIO:g}x':>7}  "
              f"{'yes' if ratio <= GOAL_FIRST_RATIO else 'NO'}")

    print("\nThe plug-in's load_model (host double, fresh process, torch imported first, wall time), best of 3")
    print(f"  {'':40s}{'        s' + ('  against  ratio' if args.against else '')}")
    for threads, label in ((0, "default threads (as the plug-in)"), (1, "1 thread")):
        seconds = best_of(lambda d: {"s": load_model_seconds(threads, d)[0]}, dirs, 3)
        values = [seconds[d]["s"] for d in dirs]
        line = row(label, values, unit_ms=False)
        if threads == 0:
            line += f"   goal <= {GOAL_LOAD_MODEL_S:g} s: {'yes' if values[0] <= GOAL_LOAD_MODEL_S else 'NO'}"
        print(line)
    print(f"\nload average (1, 5, 15 min): {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
