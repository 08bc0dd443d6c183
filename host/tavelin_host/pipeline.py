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
from .postprocess import finish, person_found

if TYPE_CHECKING:
    from .host import Host

OUTPUT_KINDS = tuple(OUTPUT_CODES)
OUTPUT_TAGS = (*OUTPUT_KINDS, "preview")
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


@dataclass
class Job:
    """One input file on its way through the pipeline."""

    source: Path
    image: HostImage
    paths: dict[str, Path]
    result: HostImage | None = None
    outputs: dict[str, np.ndarray] = field(default_factory=dict)
    person_found: bool = True
    warnings: list[str] = field(default_factory=list)  # one line each, for the user
    written: list[Path] = field(default_factory=list)


def read(source: str | os.PathLike, options: MatteOptions, inputs: Collection[Path] = (),
         claimed: Collection[Path] = ()) -> Job:
    """Read ``source`` and name its outputs, refusing names that are inputs or already
    taken; the output folder is made here, before any work is spent on the file."""
    source = Path(source)
    image = read_image(source)
    paths = output_paths(source, options.output, image.bit_depth, out_dir=options.out_dir, preview=options.preview)
    _check_targets(paths, source, inputs, claimed, options.overwrite)
    if options.out_dir is not None:
        Path(options.out_dir).mkdir(parents=True, exist_ok=True)
    job = Job(source, image, paths)
    if image.info.frames > 1:
        job.warnings.append(f"{image.info.frames} pages or frames: only the first was used")
    return job


def render(host: "Host", job: Job, options: MatteOptions) -> Job:
    job.result = host.render_image(job.image, output=options.output, resize_mode=options.resize_mode)
    return job


def post_process(job: Job, options: MatteOptions) -> Job:
    job.person_found = person_found(job.result.pixels)
    if not job.person_found:
        job.warnings.append("no person found")
    job.outputs = finish(job.image, job.result, options.output, decontaminate=options.decontaminate,
                         preview=options.preview)
    return job


def write(job: Job, options: MatteOptions, claimed: MutableSet[Path]) -> list[Path]:
    """Write each output atomically, in the input's bit depth; returns the paths written."""
    written: list[Path] = []
    for kind, pixels in job.outputs.items():
        target = job.paths[kind]
        info = job.image.info
        if kind != "preview":
            pixels = file_samples(pixels, job.image.bit_depth, target.suffix)
        elif job.image.bit_depth == 32:
            info = info.without_profile()  # a float image's preview is plain sRGB, whatever the file's profile
        write_image(target, pixels, overwrite=options.overwrite, info=info)
        claimed.add(Path(os.path.realpath(target)))
        written.append(target)
    job.written = written
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
) -> list[Path]:
    """Read ``source``, matte it, write the output (and preview); returns the paths written.

    ``inputs`` are real paths that must never be written; ``claimed`` collects
    the real paths written so far in a run, so two inputs never share an output.
    """
    options = MatteOptions(out_dir, output, resize_mode, preview, decontaminate, overwrite)
    return run_file(host, source, options, inputs, claimed if claimed is not None else set()).written


def run_file(host: "Host", source: str | os.PathLike, options: MatteOptions, inputs: Collection[Path],
             claimed: MutableSet[Path]) -> Job:
    """The four steps for one file, in a row; the finished job (``job.written``, ``job.warnings``)."""
    job = post_process(render(host, read(source, options, inputs, claimed), options), options)
    write(job, options, claimed)
    return job


__all__ = [
    "Job", "MatteOptions", "OutputExistsError", "WouldOverwriteInputError", "is_own_output", "matte_file",
    "output_paths", "output_suffix", "post_process", "read", "render", "run_file", "write",
]
