"""The README's pictures of the mask controls and of --alpha-matting, made with the built
plug-in from the example photos:

    .venv/bin/python docs/make_pictures.py
"""
import sys
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "build" / "plugin" / "Tavelin"), str(ROOT / "host")]

from tavelin_host.alpha_matting import refine  # noqa: E402
from tavelin_host.decoding import read_image  # noqa: E402
from tavelin_host.host import Host  # noqa: E402
from tavelin_host.mask_controls import MaskControls  # noqa: E402

CONTROLS = [("the network's matte", MaskControls()), ("--threshold 0.5", MaskControls(threshold=0.5)),
            ("--min-area 3000", MaskControls(min_area=3000)), ("--largest", MaskControls(largest=True)),
            ("--erode 6", MaskControls(erode=6)), ("--dilate 6", MaskControls(dilate=6)),
            ("--feather 10", MaskControls(feather=10))]


def tile(pixels: np.ndarray, label: str, width: int) -> np.ndarray:
    bgr = cv2.cvtColor(pixels, cv2.COLOR_GRAY2BGR) if pixels.ndim == 2 else pixels[:, :, 2::-1]
    bgr = cv2.resize(bgr, (width, round(bgr.shape[0] * width / bgr.shape[1])), interpolation=cv2.INTER_AREA)
    bar = np.full((26, width, 3), 255, np.uint8)
    cv2.putText(bar, label, (6, 18), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (0, 0, 0), 1, cv2.LINE_AA)
    return np.vstack([bar, bgr])


def main() -> None:
    with Host(quiet=True) as host:
        photo = read_image(ROOT / "examples" / "people" / "pexels_skatepark_small.jpg")
        matte = host.render_image(photo, output="matte").pixels[:, :, 0]
        tiles = [tile(photo.pixels, "the photo", 300)] + [tile(c.apply(matte), name, 300) for name, c in CONTROLS]
        sheet = np.vstack([np.hstack(tiles[:4]), np.hstack(tiles[4:])])
        cv2.imwrite(str(ROOT / "docs" / "mask_controls.jpg"), sheet, [cv2.IMWRITE_JPEG_QUALITY, 85])

        portrait = read_image(ROOT / "examples" / "people" / "codait_portrait_man.jpg")
        matte = host.render_image(portrait, output="matte").pixels[:, :, 0]
        fine = refine(portrait.pixels, matte)
        box = (slice(0, 170), slice(80, 320))  # the hair
        green = np.array([0, 200, 0], np.float32)

        def over_green(m):
            a = m[box][:, :, None].astype(np.float32) / 255
            return (portrait.pixels[box] * a + green * (1 - a)).astype(np.uint8)

        sheet = np.hstack([tile(portrait.pixels[box], "the photo", 320), tile(matte[box], "the network's matte", 320),
                           tile(fine[box], "--alpha-matting", 320), tile(over_green(matte), "cut-out", 320),
                           tile(over_green(fine), "cut-out, --alpha-matting", 320)])
        cv2.imwrite(str(ROOT / "docs" / "alpha_matting.jpg"), sheet, [cv2.IMWRITE_JPEG_QUALITY, 85])


if __name__ == "__main__":
    main()
