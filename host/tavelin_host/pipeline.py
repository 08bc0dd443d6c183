"""Matting files, one pipeline: read -> render -> post-process -> write.

Each step is one function over a ``Job`` (one input file and its outputs), so a
batch can run the steps of different files side by side (read the next file
and write the previous one while the current one renders); ``matte_file`` runs
them in a row. Reading and writing live in image_io, rendering in host,
post-processing in postprocess; this module names the outputs and keeps a run
from overwriting its inputs or its own outputs.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Collection, MutableSet

import numpy as np

from .contract import OUTPUT_CODES
from .image_io import file_samples, read_image, write_image
from .images import HostImage
from .postprocess import finish

if TYPE_CHECKING:
    from .background import Background
    from .host import Host

OUTPUT_KINDS = tuple(OUTPUT_CODES)
OUTPUT_TAGS = (*OUTPUT_KINDS, "preview", "composite")
PREVIEW_SUFFIX = ".png"


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


@dataclass(frozen=True)
class MatteOptions:
    """What to make of each file of a run (the CLI's options)."""

    out_dir: str | os.PathLike | None = None
    output: str = "cutout"
    resize_mode: int = 1
    preview: bool = False
    decontaminate: bool = False
    overwrite: bool = False
    background: "Background | None" = None  # composite the cut-out over it, as <stem>.composite.<ext>

    @property
    def rendered(self) -> str:
        """The output kind asked of the plug-in: a composite starts as a cut-out."""
        return "cutout" if self.background is not None else self.output


@dataclass
class Job:
    """One input file on its way through the pipeline."""

    source: Path
    image: HostImage
    paths: dict[str, Path]
    result: HostImage | None = None
    outputs: dict[str, np.ndarray] = field(default_factory=dict)


def read(source: str | os.PathLike, options: MatteOptions, inputs: Collection[Path] = (),
         claimed: Collection[Path] = ()) -> Job:
    """Read ``source`` and name its outputs, refusing names that are inputs or already
    taken; the output folder is made here, before any work is spent on the file."""
    source = Path(source)
    image = read_image(source)
    paths = output_paths(source, options.rendered, image.bit_depth, out_dir=options.out_dir, preview=options.preview)
    if options.background is not None:
        from .background import composite_path

        paths["composite"] = composite_path(source, image.bit_depth, options.out_dir)
        del paths["cutout"]
    _check_targets(paths, source, inputs, claimed, options.overwrite)
    if options.out_dir is not None:
        Path(options.out_dir).mkdir(parents=True, exist_ok=True)
    return Job(source, image, paths)


def render(host: "Host", job: Job, options: MatteOptions) -> Job:
    job.result = host.matte_image(job.image, output=options.rendered, resize_mode=options.resize_mode)
    return job


def post_process(job: Job, options: MatteOptions) -> Job:
    job.outputs = finish(job.image, job.result, options.rendered, decontaminate=options.decontaminate,
                         preview=options.preview)
    if options.background is not None:
        job.outputs["composite"] = options.background.composite(job.outputs.pop("cutout"), job.image.bit_depth)
    return job


def write(job: Job, options: MatteOptions, claimed: MutableSet[Path]) -> list[Path]:
    """Write each output atomically, in the input's bit depth; returns the paths written."""
    written: list[Path] = []
    for kind, pixels in job.outputs.items():
        target = job.paths[kind]
        if kind != "preview":
            pixels = file_samples(pixels, job.image.bit_depth, target.suffix)
        write_image(target, pixels, overwrite=options.overwrite)
        claimed.add(Path(os.path.realpath(target)))
        written.append(target)
    return written


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
    With a ``background`` the output is the cut-out over it, ``<stem>.composite.<ext>``.
    """
    options = MatteOptions(out_dir, output, resize_mode, preview, decontaminate, overwrite, background)
    return run_file(host, source, options, inputs, claimed if claimed is not None else set())


def run_file(host: "Host", source: str | os.PathLike, options: MatteOptions, inputs: Collection[Path],
             claimed: MutableSet[Path]) -> list[Path]:
    """The four steps for one file, in a row."""
    job = read(source, options, inputs, claimed)
    return write(post_process(render(host, job, options), options), options, claimed)


__all__ = [
    "Job", "MatteOptions", "OutputExistsError", "WouldOverwriteInputError", "is_own_output", "matte_file",
    "output_paths", "output_suffix", "post_process", "read", "render", "run_file", "write",
]
