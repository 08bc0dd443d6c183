"""Matting files: output naming, previews, and one file end to end."""
from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Collection, MutableSet

import numpy as np

from .image_io import file_samples, read_image, write_image
from .images import from_float, to_float

if TYPE_CHECKING:
    from .background import Background
    from .host import Host

OUTPUT_KINDS = ("cutout", "matte")
OUTPUT_TAGS = (*OUTPUT_KINDS, "preview", "composite")
PREVIEW_SUFFIX = ".png"

# Background colours for decontaminated previews: the one farthest from the
# photo's own background is used, so leftover fringes stand out.
CONTRAST_COLOURS = np.array(
    [[1.0, 0.0, 1.0], [0.0, 1.0, 0.0], [0.0, 0.35, 1.0], [1.0, 0.5, 0.0], [1.0, 1.0, 1.0], [0.0, 0.0, 0.0]],
    dtype=np.float32,
)


class OutputExistsError(FileExistsError):
    """An output file is already there (and --overwrite was not given)."""


class WouldOverwriteInputError(Exception):
    """An output name is the name of an input of this run."""


def output_suffix(bit_depth: int, source_suffix: str) -> str:
    """PNG for 8- and 16-bit images; float images stay float: OpenEXR when they came from one, else TIFF."""
    if bit_depth in (8, 16):
        return ".png"
    return ".exr" if source_suffix.lower() == ".exr" else ".tif"


def output_paths(
    source: str | os.PathLike, output: str, bit_depth: int, *, out_dir: str | os.PathLike | None = None,
    preview: bool = False,
) -> dict[str, Path]:
    """``<stem>.<output><ext>`` and, with a preview, ``<stem>.preview.png``, in out_dir or beside the source."""
    if output not in OUTPUT_KINDS:
        raise ValueError(f"output must be one of {OUTPUT_KINDS}, got {output!r}")
    source = Path(source)
    folder = Path(out_dir) if out_dir is not None else source.parent
    stem = source.stem if source.suffix else source.name
    paths = {output: folder / f"{stem}.{output}{output_suffix(bit_depth, source.suffix)}"}
    if preview:
        paths["preview"] = folder / f"{stem}.preview{PREVIEW_SUFFIX}"
    return paths


def is_own_output(path: Path) -> bool:
    """Whether a file name looks like one this tool writes (``x.cutout.png`` and the like)."""
    parts = path.name.split(".")
    return len(parts) >= 3 and parts[-2] in OUTPUT_TAGS


def checkerboard(height: int, width: int, square: int | None = None) -> np.ndarray:
    """Light grey and white squares, float32 H x W x 3."""
    square = square or max(8, min(height, width) // 24)
    rows = (np.arange(height) // square)[:, None]
    cols = (np.arange(width) // square)[None, :]
    board = np.where((rows + cols) % 2 == 0, 1.0, 0.8).astype(np.float32)
    return np.repeat(board[:, :, None], 3, axis=2)


def contrasting_colour(rgb: np.ndarray, alpha: np.ndarray) -> np.ndarray:
    """The palette colour farthest from the alpha-weighted mean background colour of ``rgb``."""
    weight = np.clip(1.0 - alpha, 0.0, 1.0)
    total = float(weight.sum())
    if total < 1e-6:
        mean = rgb.reshape(-1, 3).mean(axis=0)
    else:
        mean = (rgb * weight[:, :, None]).reshape(-1, 3).sum(axis=0) / total
    distances = np.linalg.norm(CONTRAST_COLOURS - mean[None, :], axis=1)
    return CONTRAST_COLOURS[int(np.argmax(distances))]


def preview_image(cutout: np.ndarray, *, background: np.ndarray | None = None) -> np.ndarray:
    """The cut-out composited over a checkerboard (or a solid colour), as 8-bit RGB."""
    values = np.clip(to_float(np.asarray(cutout)), 0.0, 1.0)
    colour, alpha = values[:, :, :3], values[:, :, 3:4]
    height, width = values.shape[:2]
    if background is None:
        back = checkerboard(height, width)
    else:
        back = np.broadcast_to(np.asarray(background, np.float32).reshape(1, 1, 3), (height, width, 3))
    return from_float(colour * alpha + back * (1.0 - alpha), np.uint8)


def _check_targets(
    paths: dict[str, Path], source: Path, inputs: Collection[Path], claimed: Collection[Path], overwrite: bool,
) -> None:
    for path in paths.values():
        real = Path(os.path.realpath(path))
        if real == Path(os.path.realpath(source)) or real in inputs:
            raise WouldOverwriteInputError(f"{path} is an input; it is never overwritten")
        if real in claimed:
            raise OutputExistsError(f"{path} was already written for another input of this run")
        if not overwrite and os.path.lexists(path):
            raise OutputExistsError(f"{path} already exists (use --overwrite to replace it)")


def matte_file(
    host: "Host",
    source: str | os.PathLike,
    *,
    out_dir: str | os.PathLike | None = None,
    output: str = "cutout",
    resize_mode: int = 1,
    preview: bool = False,
    decontaminate: bool = False,
    overwrite: bool = False,
    inputs: Collection[Path] = (),
    claimed: MutableSet[Path] | None = None,
    background: "Background | None" = None,
) -> list[Path]:
    """Read ``source``, matte it, write the output (and preview); returns the paths written.

    ``inputs`` are real paths that must never be written; ``claimed`` collects
    the real paths written so far in a run, so two inputs never share an output.
    With a ``background`` the output is the cut-out composited over it,
    ``<stem>.composite.<ext>``.
    """
    source = Path(source)
    claimed = claimed if claimed is not None else set()
    image = read_image(source)
    if background is not None:
        output = "cutout"  # composited over the background, under its own name
    paths = output_paths(source, output, image.bit_depth, out_dir=out_dir, preview=preview)
    if background is not None:
        from .background import composite_path

        paths[output] = composite_path(source, image.bit_depth, out_dir)
    _check_targets(paths, source, inputs, claimed, overwrite)
    if out_dir is not None:
        Path(out_dir).mkdir(parents=True, exist_ok=True)

    result = host.matte_image(image, output=output, resize_mode=resize_mode, decontaminate=decontaminate)

    written: list[Path] = []
    target = paths[output]
    pixels = result.pixels[:, :, 0] if output == "matte" else result.pixels
    if background is not None:
        pixels = background.composite(result.pixels, image.bit_depth)
    write_image(target, file_samples(pixels, image.bit_depth, target.suffix), overwrite=overwrite)
    claimed.add(Path(os.path.realpath(target)))
    written.append(target)

    if preview:
        if output == "cutout":
            cutout = result.pixels
        else:
            cutout = np.dstack([image.pixels[:, :, :3], result.pixels[:, :, :1]])
            if decontaminate:
                from .host import decontaminated

                cutout = decontaminated(cutout)
        background = None
        if decontaminate:
            values = to_float(cutout)
            background = contrasting_colour(to_float(image.pixels[:, :, :3]), values[:, :, 3])
        target = paths["preview"]
        write_image(target, preview_image(cutout, background=background), overwrite=overwrite)
        claimed.add(Path(os.path.realpath(target)))
        written.append(target)
    return written


__all__ = [
    "OutputExistsError", "WouldOverwriteInputError", "checkerboard", "contrasting_colour",
    "is_own_output", "matte_file", "output_paths", "output_suffix", "preview_image",
]
