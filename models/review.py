"""Review sheets for the matting network: mattes and cut-outs over a checkerboard,
and the scored review set of photos of people.

    python -m models.review [--image PATH] [--out out/network_review]
                            [--people DIR] [--people-out out/people_review]
                            [--noperson DIR] [--noperson-out out/noperson_review] [--modes 0 1 2 3]

For the plug-in's modes 0 (network fed the full-size image) and 1 (fed a
256 x 256 stretch, matte resized back with cv2.resize), with and without the
guided-filter refinement, writes <stem>_mode<M>_<refined|raw>_{matte,cutout}.png
and one side-by-side sheet, <stem>_sheet.png.

Then, for every photo of the review set (examples/people, boxes in its
boxes.json) and every mode, mattes it with the selfie network alone and with
the person-finding stage, scores the boxes (a photo passes when every box
inside a person has mean coverage >= 0.75 and every background box <= 0.25),
prints the table and writes <stem>_mode<M>_<selfie|people>.png mattes and a
<stem>_sheet.png (photo with its boxes; per mode: selfie matte, stage matte)
to the people output folder.

Last, for every photo of the no-person set (examples/noperson: nobody in
them) and every mode, mattes it with the selfie network alone and with the
stage; a row passes when no matte pixel reaches 0.9 and under 0.5 % of the
pixels are above 0.5.  Prints that table and writes the mattes.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import cv2
import numpy as np
import torch

from .convert import build_module
from tavelin_host.contract import MODE_SIZES

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "astronaut.png"
PEOPLE = Path(__file__).resolve().parent.parent / "examples" / "people"
NOPERSON = Path(__file__).resolve().parent.parent / "examples" / "noperson"
EMPTY_MAX = 0.9  # no pixel of a no-person matte may reach this
EMPTY_SHARE = 0.005  # and under this share of its pixels may be above 0.5
SUBJECT_MIN = 0.75  # mean coverage a box inside a person needs
BACKGROUND_MAX = 0.25  # mean coverage a background box may have


def checkerboard(h: int, w: int, cell: int = 16) -> np.ndarray:
    yy, xx = np.mgrid[0:h, 0:w]
    board = np.where(((yy // cell) + (xx // cell)) % 2 == 0, 200, 120).astype(np.float32)
    return np.repeat(board[:, :, None], 3, axis=2)


def run_mode(module, image_bgr: np.ndarray, mode: int) -> np.ndarray:
    """The plug-in's path for one mode: H x W float32 matte at full size."""
    h, w = image_bgr.shape[:2]
    ref = MODE_SIZES[mode]
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


def score(matte: np.ndarray, boxes: dict) -> tuple[bool, list[str]]:
    """Whether the matte passes the photo's boxes, and the boxes it fails (with their means)."""
    failed = []
    for kind in ("subject", "background"):
        for name, (x0, y0, x1, y1) in boxes[kind].items():
            mean = float(matte[y0:y1, x0:x1].mean())
            if (kind == "subject" and mean < SUBJECT_MIN) or (kind == "background" and mean > BACKGROUND_MAX):
                failed.append(f"{name} {mean:.2f}")
    return not failed, failed


def review_people(folder: Path, out: Path, modes: list[int], modules: dict | None = None) -> dict:
    """Score every photo in ``folder`` in every mode, selfie network alone against the stage."""
    import json

    out.mkdir(parents=True, exist_ok=True)
    photos = json.loads((folder / "boxes.json").read_text())["photos"]
    modules = modules or {"selfie": build_module(people=False), "people": build_module(people=True)}
    results = {}
    for name, boxes in sorted(photos.items()):
        image = cv2.imread(str(folder / name), cv2.IMREAD_COLOR)
        stem = Path(name).stem
        shown = image.copy()
        for kind, colour in (("subject", (0, 200, 0)), ("background", (0, 0, 230))):
            for x0, y0, x1, y1 in boxes[kind].values():
                cv2.rectangle(shown, (x0, y0), (x1 - 1, y1 - 1), colour, 3)
        rows = []
        for mode in modes:
            row = [shown]
            for label, module in modules.items():
                matte = run_mode(module, image, mode)
                m8 = (matte * 255 + 0.5).astype(np.uint8)
                cv2.imwrite(str(out / f"{stem}_mode{mode}_{label}.png"), m8)
                results[(name, mode, label)] = score(matte, boxes)
                row.append(cv2.cvtColor(m8, cv2.COLOR_GRAY2BGR))
            rows.append(np.hstack(row))
        sheet = np.vstack(rows)
        scale = min(1.0, 1800.0 / sheet.shape[1])
        cv2.imwrite(str(out / f"{stem}_sheet.png"), cv2.resize(sheet, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA))
    print_table(sorted(photos), modes, results)
    print_failures(sorted(photos), modes, results)
    print(f"wrote review mattes and sheets to {out}")
    return results


def empty_score(matte: np.ndarray) -> tuple[bool, str]:
    """Whether a no-person matte passes, and its largest value and share above 0.5."""
    peak = float(matte.max())
    share = float((matte > 0.5).mean())
    return peak < EMPTY_MAX and share < EMPTY_SHARE, f"max {peak:.2f}, {100 * share:.1f} % > 0.5"


def review_noperson(folder: Path, out: Path, modes: list[int], modules: dict | None = None) -> dict:
    """Every photo in ``folder`` (nobody in them) in every mode: the matte must stay empty."""
    out.mkdir(parents=True, exist_ok=True)
    modules = modules or {"selfie": build_module(people=False), "people": build_module(people=True)}
    names = sorted(p.name for p in folder.iterdir() if p.suffix.lower() in (".jpg", ".jpeg", ".png"))
    results = {}
    for name in names:
        image = cv2.imread(str(folder / name), cv2.IMREAD_COLOR)
        for mode in modes:
            for label, module in modules.items():
                matte = run_mode(module, image, mode)
                cv2.imwrite(str(out / f"{Path(name).stem}_mode{mode}_{label}.png"), (matte * 255 + 0.5).astype(np.uint8))
                results[(name, mode, label)] = empty_score(matte)
    print(f"\nno-person set: a row passes with no pixel >= {EMPTY_MAX} and under {100 * EMPTY_SHARE:g} % above 0.5")
    print_table(names, modes, results, column=38, detail=True)
    print(f"wrote no-person mattes to {out}")
    return results


def print_table(names: list[str], modes: list[int], results: dict, column: int = 24, detail: bool = False) -> None:
    """Photos by mode, selfie network alone -> with the stage; with ``detail``, the stage's
    own note on each photo and the share passing."""
    cell = {True: "pass", False: "FAIL"}
    width = max(len(Path(n).stem) for n in names)
    print(f"\n{'photo':<{width}}  " + "  ".join(f"{f'mode {m}: selfie -> people':<{column}}" for m in modes))
    for name in names:
        cells = []
        for m in modes:
            a = results[(name, m, "selfie")][0]
            b, note = results[(name, m, "people")]
            mark = "  (broke)" if a and not b else ("  (fixed)" if b and not a else "")
            if detail:
                mark = f" ({note})"
            cells.append(f"{cell[a] + ' -> ' + cell[b] + mark:<{column}}")
        print(f"{Path(name).stem:<{width}}  " + "  ".join(cells))
    totals = []
    for m in modes:
        a = sum(results[(n, m, "selfie")][0] for n in names)
        b = sum(results[(n, m, "people")][0] for n in names)
        share = f" ({100 * b / len(names):.0f} %)" if detail else ""
        totals.append(f"{f'{a} -> {b} of {len(names)}{share}':<{column}}")
    print(f"{'passing':<{width}}  " + "  ".join(totals))


def print_failures(names: list[str], modes: list[int], results: dict) -> None:
    print("\nstill failing with the stage (box, mean coverage):")
    for name in names:
        for m in modes:
            ok, failed = results[(name, m, "people")]
            if not ok:
                print(f"  {Path(name).stem} mode {m}: " + ", ".join(failed))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m models.review")
    p.add_argument("--image", default=str(EXAMPLE))
    p.add_argument("--out", default="out/network_review")
    p.add_argument("--people", default=str(PEOPLE), help="review set: photos and boxes.json ('' to skip)")
    p.add_argument("--people-out", default="out/people_review")
    p.add_argument("--noperson", default=str(NOPERSON), help="photos with nobody in them ('' to skip)")
    p.add_argument("--noperson-out", default="out/noperson_review")
    p.add_argument("--modes", type=int, nargs="+", default=[0, 1, 2, 3])
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
    if args.people:
        review_people(Path(args.people), Path(args.people_out), args.modes)
    if args.noperson:
        review_noperson(Path(args.noperson), Path(args.noperson_out), args.modes)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
