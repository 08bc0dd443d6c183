"""Output names: one rule for stills, composites and clips (PNG sequences included), so no
two inputs of a run share an output name.

An input's outputs are ``<stem>.<tag>.<ext>`` (or the folder ``<stem>.<tag>`` of a
PNG sequence, its frames ``000001.<tag>.png`` on) in its output folder.  The stem is
the input's name without its extension; where that would meet another input's stem,
or another input's whole name, in the same output folder (``a.jpg`` and ``a.png``;
``a.png`` and ``a.png.png``), it is the whole name instead (``a.jpg.cutout.png``);
and where even whole names meet (two ``a.png`` from different folders written to one
``-o`` folder), a number follows the later ones (``a.png-2``).  Names are compared
without regard to case, as a case-insensitive file system would.

This module imports nothing heavy, so the command line can name files before NumPy loads.
"""
from __future__ import annotations

import os
from collections import Counter, defaultdict
from pathlib import Path
from typing import TYPE_CHECKING, Sequence

from .contract import OUTPUT_CODES

if TYPE_CHECKING:
    from .inputs import Input

# "-": standard input as a source, standard output as the output folder.
STREAM = "-"
STDIN_STEM = "stdin"

# Extensions read in folder and glob mode (the decoder reads these).
IMAGE_EXTENSIONS = frozenset({".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".webp", ".bmp", ".tif", ".tiff", ".exr"})
# Clips go through the video pipeline; the command line takes them beside images.
VIDEO_SUFFIXES = frozenset({
    ".mp4", ".m4v", ".mov", ".qt", ".mkv", ".webm", ".avi", ".mpg", ".mpeg", ".ts", ".mts", ".m2ts",
    ".wmv", ".flv", ".3gp", ".ogv", ".mxf", ".y4m",
})
VIDEO_FORMATS = ("mov", "webm", "mp4", "png")
MEDIA_EXTENSIONS = IMAGE_EXTENSIONS | VIDEO_SUFFIXES

# What this tool writes: <stem>.<tag><suffix>.
OUTPUT_KINDS = tuple(OUTPUT_CODES)
COMPOSITE = "composite"
OUTPUT_TAGS = (*OUTPUT_KINDS, "preview", COMPOSITE)
# Every file type an output can have (composites keep their input's type, BMP and TIFF included).
OUTPUT_SUFFIXES = (".png", ".tif", ".tiff", ".exr", ".jpg", ".jpeg", ".webp", ".bmp", ".mov", ".webm", ".mp4")
PREVIEW_SUFFIX = ".png"
# -o FILE: an output path with one of these extensions names the one image's output itself.
FILE_TARGET_SUFFIXES = (".png", ".tif", ".tiff", ".exr", ".webp", ".jpg", ".jpeg")
# --format: the container of the main output (default: by bit depth, see output_suffix).
FORMATS = {"png": ".png", "tif": ".tif", "exr": ".exr"}


def default_stem(source: Path) -> str:
    """The stem an input's outputs get when nothing else claims it: its name less the extension."""
    return source.stem if source.suffix else source.name


def short_stem(item: Input) -> str:
    return STDIN_STEM if item.is_stdin else default_stem(item.path)


def full_stem(item: Input) -> str:
    """The stem when the short one is shared: the whole name."""
    return STDIN_STEM if item.is_stdin else item.path.name


def output_folder(item: Input, out_dir: str | os.PathLike | None) -> Path:
    """Where an input's outputs go: beside it, or below ``out_dir`` as it sat below its folder."""
    if out_dir is None or str(out_dir) == STREAM:
        return Path() if item.is_stdin else item.path.parent
    return Path(out_dir) / item.subfolder


def preview_beside(target: Path) -> Path:
    """The preview of an output written to a named file: ``<its stem>.preview.png`` beside it."""
    return target.with_name(f"{target.stem}.preview{PREVIEW_SUFFIX}")


def output_suffix(bit_depth: int, source_suffix: str, format: str | None = None) -> str:
    """PNG for 8- and 16-bit images, but TIFF for 16-bit TIFFs; float images stay float: OpenEXR
    when they came from one, else TIFF.  ``format`` ("png", "tif", "exr") decides instead when given."""
    if format is not None:
        return FORMATS[format]
    if bit_depth == 16 and source_suffix.lower() in (".tif", ".tiff"):
        return ".tif"
    if bit_depth in (8, 16):
        return ".png"
    return ".exr" if source_suffix.lower() == ".exr" else ".tif"


def output_paths(
    source: str | os.PathLike, output: str, bit_depth: int, *, out_dir: str | os.PathLike | None = None,
    preview: bool = False, stem: str | None = None, format: str | None = None,
) -> dict[str, Path]:
    """``<stem>.<output><ext>`` and, with a preview, ``<stem>.preview.png``, in out_dir or beside the source.
    ``stem`` defaults to the source's name without its extension."""
    if output not in OUTPUT_KINDS:
        raise ValueError(f"output must be one of {OUTPUT_KINDS}, got {output!r}")
    source = Path(source)
    folder = Path(out_dir) if out_dir is not None else source.parent
    stem = stem or default_stem(source)
    paths = {output: folder / f"{stem}.{output}{output_suffix(bit_depth, source.suffix, format)}"}
    if preview:
        paths["preview"] = folder / f"{stem}.preview{PREVIEW_SUFFIX}"
    return paths


def composite_path(source: str | os.PathLike, bit_depth: int, out_dir: str | os.PathLike | None = None,
                   stem: str | None = None) -> Path:
    """``<stem>.composite.<ext>``: the input's own file type when it can hold the image, else as cut-outs."""
    import numpy as np

    from .encoding import WRITE_FORMATS

    source = Path(source)
    folder = Path(out_dir) if out_dir is not None else source.parent
    suffix = source.suffix.lower()
    want = {8: np.uint8, 16: np.uint16}.get(bit_depth, np.float32)
    if suffix not in WRITE_FORMATS or want not in WRITE_FORMATS[suffix]:
        suffix = output_suffix(bit_depth, suffix)
    return folder / f"{stem or default_stem(source)}.{COMPOSITE}{suffix}"


def video_output_path(
    source: str | os.PathLike, kind: str, video_format: str, out_dir: str | os.PathLike | None = None,
    stem: str | None = None,
) -> Path:
    """``<stem>.<kind>.mov`` / ``.webm`` / ``.mp4``, or the folder ``<stem>.<kind>`` of a PNG sequence
    (``stem``: as the run planned it; default the source's name less its extension)."""
    if video_format not in VIDEO_FORMATS:
        raise ValueError(f"video format must be one of {VIDEO_FORMATS}, got {video_format!r}")
    source = Path(source)
    folder = Path(out_dir) if out_dir is not None else source.parent
    suffix = "" if video_format == "png" else f".{video_format}"
    return folder / f"{stem or default_stem(source)}.{kind}{suffix}"


def frame_name(index: int, kind: str) -> str:
    """A PNG sequence's file names, ``000001.cutout.png`` on: own outputs to a folder scan."""
    return f"{index:06d}.{kind}.png"


def looks_like_output(path: Path) -> tuple[str, str] | None:
    """(folder-independent stem, tag) when the name has the shape of an output, else None."""
    name, suffix = path.name, path.suffix.lower()
    if suffix not in OUTPUT_SUFFIXES:
        return None
    stem, _, tag = name[: -len(suffix)].rpartition(".")
    return (stem, tag) if stem and tag in OUTPUT_TAGS else None


def is_video(path: str | os.PathLike) -> bool:
    return Path(path).suffix.lower() in VIDEO_SUFFIXES


def plan_names(inputs: Sequence[Input], out_dir: str | os.PathLike | None) -> None:
    """Set each input's ``stem`` so that no two inputs whose outputs go to one folder share it."""
    folders: dict[str, list[Input]] = defaultdict(list)
    for item in inputs:
        folders[os.path.abspath(output_folder(item, out_dir))].append(item)
    for items in folders.values():
        shorts = Counter(short_stem(item).casefold() for item in items)
        fulls = Counter(full_stem(item).casefold() for item in items)
        wanted = []
        for item in items:
            short, full = short_stem(item), full_stem(item)
            key = short.casefold()
            others_named_so = fulls[key] - (full.casefold() == key)
            wanted.append(short if shorts[key] == 1 and not others_named_so else full)
        taken: set[str] = set()
        reserved = {stem.casefold() for stem in wanted}
        for item, stem in zip(items, wanted):
            if stem.casefold() in taken:
                number = 2
                while f"{stem}-{number}".casefold() in taken | reserved:
                    number += 1
                stem = f"{stem}-{number}"
            taken.add(stem.casefold())
            item.stem = stem


__all__ = [
    "COMPOSITE", "FORMATS", "IMAGE_EXTENSIONS", "MEDIA_EXTENSIONS", "OUTPUT_KINDS", "OUTPUT_SUFFIXES", "OUTPUT_TAGS",
    "PREVIEW_SUFFIX", "STDIN_STEM", "STREAM", "VIDEO_FORMATS", "VIDEO_SUFFIXES", "composite_path", "default_stem",
    "frame_name", "full_stem", "is_video", "looks_like_output", "output_folder", "output_paths", "output_suffix",
    "plan_names", "short_stem", "video_output_path",
]
