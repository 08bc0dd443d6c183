"""Review sheets for the matting network: mattes and cut-outs over a checkerboard.

    python -m models.review [--image PATH] [--out out/network_review]

For the plug-in's modes 0 (network fed the full-size image) and 1 (fed a
256 x 256 stretch, matte resized back with cv2.resize), with and without the
guided-filter refinement, writes <stem>_mode<M>_<refined|raw>_{matte,cutout}.png
and one side-by-side sheet, <stem>_sheet.png.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import cv2
import numpy as np
import torch

from .convert import build_module

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "astronaut.png"


def checkerboard(h: int, w: int, cell: int = 16) -> np.ndarray:
    yy, xx = np.mgrid[0:h, 0:w]
    board = np.where(((yy // cell) + (xx // cell)) % 2 == 0, 200, 120).astype(np.float32)
    return np.repeat(board[:, :, None], 3, axis=2)


def run_mode(module, image_bgr: np.ndarray, mode: int) -> np.ndarray:
    """The plug-in's path for one mode: H x W float32 matte at full size."""
    h, w = image_bgr.shape[:2]
    ref = [0, 256, 512, 1024][mode]
    net_in = cv2.resize(image_bgr, (ref, ref)) if ref else image_bgr
    with torch.no_grad():
        matte = module(torch.Tensor(net_in))[:, :, 0:1].numpy().astype(np.float32)
    if ref:
        matte = cv2.resize(matte, (w, h))
    return matte.reshape(h, w)


def cutout(image_bgr: np.ndarray, matte: np.ndarray) -> np.ndarray:
    a = matte[:, :, None]
    board = checkerboard(*matte.shape)
    return np.clip(image_bgr.astype(np.float32) * a + board * (1 - a), 0, 255).astype(np.uint8)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m models.review")
    p.add_argument("--image", default=str(EXAMPLE))
    p.add_argument("--out", default="out/network_review")
    args = p.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    image = cv2.imread(args.image, cv2.IMREAD_COLOR)
    stem = Path(args.image).stem
    modules = {"refined": build_module(refine=True), "raw": build_module(refine=False)}
    rows = []
    for mode in (0, 1):
        row = []
        for label, module in modules.items():
            matte = run_mode(module, image, mode)
            m8 = (matte * 255 + 0.5).astype(np.uint8)
            cut = cutout(image, matte)
            cv2.imwrite(str(out / f"{stem}_mode{mode}_{label}_matte.png"), m8)
            cv2.imwrite(str(out / f"{stem}_mode{mode}_{label}_cutout.png"), cut)
            row += [cv2.cvtColor(m8, cv2.COLOR_GRAY2BGR), cut]
        rows.append(np.hstack(row))
    cv2.imwrite(str(out / f"{stem}_sheet.png"), np.vstack(rows))
    print(f"wrote review images to {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
