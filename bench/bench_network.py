"""End-to-end figures with the default network: model load and warm-up time,
renders per second at 1920x1080 for each mode, on the CPU and, where a GPU is
available, on CUDA with float16. Also compares the cost of foreground colour
estimation with a render at 1080p.
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import PLUGIN_DIR, PluginRunner, image, median_time  # noqa: E402

import numpy as np  # noqa: E402
import torch  # noqa: E402

from testkit.host_double import Tools  # noqa: E402


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
    with torch.no_grad():
        warm = median_time(lambda: runner.plugin.modnext(x), repeat=3, warmup=0)
    return load, warm


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
    return 0


if __name__ == "__main__":
    sys.exit(main())
