"""End-to-end figures with the default network: model load and warm-up time,
renders per second at 1920x1080 for each mode, on the CPU and, where a GPU is
available, on CUDA with float16. Also compares the cost of foreground colour
estimation with a render at 1080p.

Then the network files themselves: for each file and input size, the TFLite
runtime on the sub-network the file runs for that size, the same sub-network
converted, the whole file warm, and its first call after a load (with the
plug-in's 512 x 512 warm-up); and, in a fresh process, the peak memory of a
48-megapixel mode-0 call above its input and output.
"""
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import PLUGIN_DIR, PluginRunner, as_the_plugin, image, median_time  # noqa: E402

import numpy as np  # noqa: E402
import torch  # noqa: E402

from testkit.host_double import Tools  # noqa: E402
from tavelin_host.contract import FLOAT16_WEIGHTS, FLOAT32_WEIGHTS  # noqa: E402


def load_times(runner, device, dtype):
    """load_model without its fixed 0.1 s pause, and the warm-up alone."""
    real_sleep = time.sleep
    time.sleep = lambda s: None
    try:
        t = time.perf_counter()
        runner.plugin.load_model(device, dtype, Tools(runner.plugin_dir))
        load = time.perf_counter() - t
    finally:
        time.sleep = real_sleep
    x = torch.zeros((512, 512, 3), device=device, dtype=dtype)
    with as_the_plugin():
        warm = median_time(lambda: runner.plugin.modnext(x), repeat=3, warmup=0)
    return load, warm


# Goals on this machine (2 cores): see the printed verdicts.
NET_GOAL = 1.3  # converted sub-network against the TFLite runtime
FIRST_CALL_GOAL = 1.5  # first call after a load against a warm call
BYTES_PER_PIXEL_GOAL = 32.0  # 48 MP mode 0, above input and output
SIZES = [(256, 256), (512, 512), (1080, 1920), (2160, 3840)]
FILES = [("float32", FLOAT32_WEIGHTS, torch.float32), ("float16", FLOAT16_WEIGHTS, torch.float16)]


def min_time(fn, repeat, clock=time.perf_counter):
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return min(times), statistics.median(times)


def paired_min_times(a, b, repeat):
    """Minimum times of ``a`` and ``b`` called in turn, so that load from other work hits both alike."""
    ta, tb = [], []
    for _ in range(repeat):
        ta.append(min_time(a, 1)[0])
        tb.append(min_time(b, 1)[0])
    return min(ta), min(tb)


def load_network(name, dtype):
    """The plug-in's load sequence, warm-up included."""
    module = torch.jit.load(os.path.join(PLUGIN_DIR, "models", name))
    module.to("cpu")
    if dtype == torch.float16:
        module.half()
    module.eval()
    with as_the_plugin():
        module(torch.zeros((512, 512, 3), dtype=torch.float32).to(dtype))
    return module


def tflite_timer(landscape):
    from ai_edge_litert.interpreter import Interpreter

    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from models.convert import GENERAL_MODEL, LANDSCAPE_MODEL

    interp = Interpreter(model_path=str(LANDSCAPE_MODEL if landscape else GENERAL_MODEL),
                         num_threads=torch.get_num_threads())
    interp.allocate_tensors()
    detail = interp.get_input_details()[0]
    x = np.random.default_rng(0).random(detail["shape"], dtype=np.float32)

    def run():
        interp.set_tensor(detail["index"], x)
        interp.invoke()
    return run, [int(d) for d in detail["shape"]]


def network_table():
    """One row per file and input size; times are minima over repeated calls, in ms."""
    try:
        tflite = {landscape: tflite_timer(landscape) for landscape in (False, True)}
    except ImportError:
        tflite = None
        print("\n(ai-edge-litert not installed: no TFLite column)")
    print(f"\nNetwork files on the CPU, {torch.get_num_threads()} threads (ms; minimum of repeated calls)")
    print(f"{'file':>8} {'input':>10} {'sub-net':>9} {'TFLite':>7} {'ours':>7} {'ratio':>6} "
          f"{'whole':>7} {'1st call':>9} {'1st/warm':>9} {'(CPU time)':>10}")
    worst = {"net": 0.0, "first": 0.0, "first_cpu": 0.0}
    for label, name, dtype in FILES:
        for h, w in SIZES:
            module = load_network(name, dtype)
            x = (torch.rand(h, w, 3) * 255).to(dtype)
            repeat = 5 if h * w < 4e6 else 3
            with as_the_plugin():
                t, c = time.perf_counter(), time.process_time()
                module(x)
                first, first_cpu = time.perf_counter() - t, time.process_time() - c
                whole, _ = min_time(lambda: module(x), repeat)
                whole_cpu, _ = min_time(lambda: module(x), repeat, time.process_time)
                landscape = bool(module.matting.uses_landscape(h, w))
                net = module.matting.landscape_net if landscape else module.matting.net
                shape = list(net.input_shape)
                rgb = torch.rand(shape)
                if tflite:
                    ref, ours = paired_min_times(tflite[landscape][0], lambda: net(rgb), 30)
                else:
                    ref, ours = float("nan"), min_time(lambda: net(rgb), 30)[0]
            worst["net"] = max(worst["net"], ours / ref)
            worst["first"] = max(worst["first"], first / whole)
            worst["first_cpu"] = max(worst["first_cpu"], first_cpu / whole_cpu)
            sub = f"{shape[2]}x{shape[3]}"
            print(f"{label:>8} {f'{w}x{h}':>10} {sub:>9} {ref * 1e3:>7.1f} {ours * 1e3:>7.1f} {ours / ref:>6.2f} "
                  f"{whole * 1e3:>7.1f} {first * 1e3:>9.1f} {first / whole:>9.2f} {first_cpu / whole_cpu:>10.2f}")
    print(f"converted sub-network within {NET_GOAL}x of the TFLite runtime: "
          f"{'yes' if worst['net'] <= NET_GOAL else 'no'} (worst {worst['net']:.2f}x)")
    print(f"first call after a load within {FIRST_CALL_GOAL}x of a warm call: "
          f"{'yes' if worst['first'] <= FIRST_CALL_GOAL else 'no'} (worst {worst['first']:.2f}x; "
          f"in CPU time, which other work on the machine disturbs less: {worst['first_cpu']:.2f}x)")


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(kind):
    """Runs in a fresh process: peak resident memory of one 8000 x 6000 mode-0 call above input and output."""
    h, w = 6000, 8000
    if kind == "network":
        module = load_network(FILES[0][1], torch.float32)
        image_in = torch.rand(h, w, 3).mul_(255)
        out_bytes = h * w * 4
        run = lambda: module(image_in)  # noqa: E731
        ctx = torch.no_grad
    else:
        runner = PluginRunner(PLUGIN_DIR, "cpu", torch.float32)
        runner.render(image(64, 48, 8), 8, 2, 0)  # loads the network
        image_in = image(w, h, 8)
        out_bytes = h * w * 4  # the 8-bit cut-out, RGBA
        run = lambda: runner.render(image_in, 8, 2, 0)  # noqa: E731
        ctx = torch.no_grad
    before = current_rss()
    if resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 > before:
        print(f"warning: earlier peak above the baseline ({kind})", file=sys.stderr)
    with ctx():
        t = time.perf_counter()
        out = run()
        elapsed = time.perf_counter() - t
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    del out
    print(f"{(peak - before - out_bytes) / (h * w):.1f} {elapsed:.2f}")


def memory_table():
    print("\n48-megapixel (8000 x 6000) mode-0 call, fresh process, float32 on the CPU:")
    for kind, what in (("network", "the network file alone (float32 H x W x 3 in, H x W x 1 out)"),
                       ("plugin", "a plug-in render (8-bit BGR in, 8-bit cut-out out)")):
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory", kind],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"  {what}: failed\n{proc.stderr[-2000:]}")
            continue
        per_pixel, seconds = (float(v) for v in proc.stdout.splitlines()[-1].split())
        verdict = "yes" if per_pixel <= BYTES_PER_PIXEL_GOAL else "no"
        print(f"  {what}: {per_pixel:.1f} bytes a pixel above input and output, {seconds:.1f} s "
              f"(<= {BYTES_PER_PIXEL_GOAL:.0f}: {verdict})")


def main():
    if not os.path.exists(os.path.join(PLUGIN_DIR, "models")):
        print("models not built: run `make models`")
        return 1
    configs = [("cpu", torch.float32)]
    if torch.cuda.is_available():
        configs.append(("cuda", torch.float16))
    rgb = image(1920, 1080, 8)
    render_1080 = None
    for device, dtype in configs:
        runner = PluginRunner(PLUGIN_DIR, device, dtype)
        load, warm = load_times(runner, device, dtype)
        print(f"\n{device} {dtype}: load_model {load * 1e3:.0f} ms (without the 0.1 s pause), "
              f"one 512x512 inference {warm * 1e3:.1f} ms")
        print(f"{'mode':>6} {'network input':>14} {'ms/render':>10} {'renders/s':>10}")
        for mode, label in ((0, "1920x1080"), (1, "256x256"), (2, "512x512"), (3, "1024x1024")):
            t = median_time(lambda: runner.render(rgb, 8, 2, mode), repeat=5)
            if device == "cpu" and mode == 1:
                render_1080 = t
            print(f"{mode:>6} {label:>14} {t * 1e3:>10.1f} {1 / t:>10.2f}")

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))
    from tavelin_host.decontaminate import decontaminate_cutout

    rgba = np.concatenate([rgb, np.full(rgb.shape[:2] + (1,), 128, np.uint8)], axis=2)
    t = median_time(lambda: decontaminate_cutout(rgba), repeat=3)
    verdict = "yes" if t < render_1080 else "NO"
    print(f"\nForeground estimation at 1920x1080: {t * 1e3:.0f} ms; a mode-1 render: {render_1080 * 1e3:.0f} ms; "
          f"costs less than the render: {verdict}")

    network_table()
    memory_table()
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--memory"]:
        memory_child(sys.argv[2])
        sys.exit(0)
    sys.exit(main())
