"""--alpha-matting's cost: seconds per megapixel of the closed-form refinement of a real
photo's matte (the plug-in's own matte of a portrait, scaled to 1 and 2 megapixels),
after one untimed call that compiles pymatting's kernels."""
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PLUGIN_DIR = Path(os.environ.get("TAVELIN_PLUGIN_DIR", ROOT / "build" / "plugin" / "Tavelin"))
sys.path[:0] = [str(PLUGIN_DIR), str(ROOT / "host"), str(ROOT)]
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import cv2  # noqa: E402

from tavelin_host.alpha_matting import DEFAULT_BAND, refine  # noqa: E402
from tavelin_host.decoding import read_image  # noqa: E402
from tavelin_host.host import Host  # noqa: E402
from tavelin_host.images import HostImage  # noqa: E402


def main() -> None:
    photo = read_image(ROOT / "examples" / "people" / "pexels_snowboarder_backlit.jpg")
    with Host(PLUGIN_DIR, quiet=True) as host:
        rows = []
        for megapixels in (1.0, 2.0):
            scale = (megapixels * 1e6 / (photo.width * photo.height)) ** 0.5
            size = (round(photo.width * scale), round(photo.height * scale))
            image = HostImage(cv2.resize(photo.pixels, size, interpolation=cv2.INTER_CUBIC), 8)
            matte = host.render_image(image, output="matte").pixels[:, :, 0]
            if not rows:
                refine(image.pixels, matte, DEFAULT_BAND)  # compiles the kernels
            started = time.perf_counter()
            refine(image.pixels, matte, DEFAULT_BAND)
            rows.append((size, (time.perf_counter() - started) / megapixels))
    print(f"\n--alpha-matting (band {DEFAULT_BAND} px), load average {os.getloadavg()[0]:.2f}")
    for (width, height), per in rows:
        print(f"  {width} x {height}: {per:.1f} s per megapixel")


if __name__ == "__main__":
    main()
