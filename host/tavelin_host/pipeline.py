"""Matting files, one pipeline: read -> render -> post-process -> write.

A still and each frame of a clip take the same options (``MatteOptions``) and the same
post-process (``finish_frame``); a clip only adds decoding, smoothing and encoding
(video).  Callers that hold images in memory rather than files (a server, a cluster
worker) use ``decode_still`` / ``still_from_array``, ``render`` or ``render_async`` and
``encode_outputs``, or ``matte_bytes`` / ``matte_array`` for all of it at once.

Each step is one function over a ``Job`` (one input file and its outputs), so a
batch can run the steps of different files side by side: ``Batch`` reads the
next file and post-processes and writes the previous one on two I/O threads
while the current one renders on the calling thread (the plug-in itself only
ever runs there); ``matte_file`` runs them in a row. Reading lives in decoding,
writing in encoding and atomic, rendering in host, post-processing in
postprocess; this module names the outputs and keeps a run from overwriting its
inputs or its own outputs. The outputs of one input are written together: all of them or none.
"""
from __future__ import annotations

import os
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO, Callable, Collection, MutableSet, Protocol, Sequence

import numpy as np

from .contract import DEFAULT_MAX_PIXELS, DEFAULT_RESIZE_MODE
from .atomic import write_files, write_stream
from .decoding import decode_image, read_image, read_stream
from .encoding import encode_image, file_samples
from .images import HostImage
from .mask_controls import MaskControls
from .names import shown
from .naming import FORMATS, PREVIEW_SUFFIX, STREAM, composite_path, output_paths, output_suffix, preview_beside
from .postprocess import finish, person_found

if TYPE_CHECKING:
    from .background import Background


class Renderer(Protocol):
    """What the pipeline needs of a host: one image rendered and checked (``Host`` is one)."""

    def render_image(self, image: HostImage, *, output: str | int = ..., resize_mode: int = ...,
                     instance_id: int | None = ...) -> HostImage: ...

    async def render_image_async(self, image: HostImage, *, output: str | int = ..., resize_mode: int = ...,
                                 instance_id: int | None = ...) -> HostImage: ...

    def render_images(self, images: Sequence[HostImage], *, output: str | int = ..., resize_mode: int = ...,
                      instance_id: int | None = ...) -> list[HostImage]: ...

    def new_instance_id(self) -> int: ...


class OutputExistsError(FileExistsError):
    """An output file is already there (and --overwrite was not given)."""


class WouldOverwriteInputError(Exception):
    """An output name is the name of an input of this run."""


def check_targets(
    paths: dict[str, Path], source: Path, inputs: Collection[Path], claimed: Collection[Path], overwrite: bool,
) -> None:
    for path in paths.values():
        real = Path(os.path.realpath(path))
        if real == Path(os.path.realpath(source)) or real in inputs:
            raise WouldOverwriteInputError(f"{shown(path)} is an input; it is never overwritten")
        if real in claimed:
            raise OutputExistsError(f"{shown(path)} was already written for another input of this run")
        if not overwrite and os.path.lexists(path):
            raise OutputExistsError(f"{shown(path)} already exists (use --overwrite to replace it, "
                                    "--skip-existing to leave it)")


@dataclass(frozen=True)
class MatteOptions:
    """What to make of each file of a run (the CLI's options)."""

    out_dir: str | os.PathLike | None = None
    output: str = "cutout"
    resize_mode: int = DEFAULT_RESIZE_MODE
    preview: bool = False
    decontaminate: bool = False
    overwrite: bool = False
    skip_existing: bool = False
    format: str | None = None
    max_pixels: int | None = DEFAULT_MAX_PIXELS
    background: "Background | None" = None  # composite the cut-out over it, as <stem>.composite.<ext>
    alpha_band: int | None = None  # refine the matte's edge over this many pixels each side (--alpha-matting)
    mask: MaskControls = MaskControls()  # threshold, specks, largest region, edge moved and feathered
    video_format: str = "mov"  # clips: mov, webm, mp4 or png (a PNG sequence)
    video_codec: str = "h264"  # clips in mp4: h264 or hevc
    crf: int | None = None      # clips in mp4 and webm: constant quality (lower is better)
    bitrate: str | None = None  # clips in mp4 and webm: a target bitrate instead (8M, 2500k)
    smooth: bool = True        # clips: steady the matte from frame to frame
    also: tuple[str, ...] = ()  # more outputs of the same render ("matte" beside a cut-out, or the reverse)

    @property
    def kinds(self) -> tuple[str, ...]:
        """Every output to write, the main one first; with a background the cut-out is composited."""
        asked = dict.fromkeys((self.output, *self.also))
        return tuple("composite" if kind == "cutout" and self.background is not None else kind for kind in asked)

    @property
    def rendered(self) -> str:
        """The output kind asked of the plug-in: a cut-out whenever one is made (a matte comes with it)."""
        return "cutout" if self.background is not None or "cutout" in (self.output, *self.also) else "matte"

    @property
    def kind(self) -> str:
        """The main output: "cutout", "matte" or "composite"."""
        return self.kinds[0]


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


class Skipped(Exception):
    """The input's outputs are all there already (--skip-existing)."""


def read(source: str | os.PathLike, options: MatteOptions, inputs: Collection[Path] = (),
         claimed: MutableSet[Path] | None = None, *, folder: str | os.PathLike | None = None,
         stem: str | None = None, stdin: BinaryIO | None = None, target: Path | None = None) -> Job:
    """Read ``source`` and name its outputs (in ``folder``, default options.out_dir or beside
    the source; ``stem`` default from the source), refusing names that are inputs or already
    taken, and claiming them in ``claimed``. ``stdin``: the stream to read for "-"."""
    source = Path(source)
    folder = folder if folder is not None else options.out_dir
    if options.skip_existing and (os.path.lexists(target) if target is not None
                                  else outputs_exist(source, options, folder, stem)):
        raise Skipped(f"{shown(source)}: outputs exist, skipped")
    if str(source) == STREAM and stdin is not None:
        image = decode_image(read_stream(stdin, max_pixels=options.max_pixels), max_pixels=options.max_pixels)
    else:
        image = read_image(source, max_pixels=options.max_pixels)
    paths = plan_paths(source, image.bit_depth, options, folder, stem)
    if target is not None:  # -o FILE: the main output there, its file type from its name
        paths = {options.kind: target, **({"preview": preview_beside(target)} if options.preview else {})}
    if str(options.out_dir) != STREAM:
        check_targets(paths, source, inputs, claimed if claimed is not None else (), options.overwrite)
        if claimed is not None:
            claimed.update(Path(os.path.realpath(path)) for path in paths.values())
    job = _still(source, image)
    job.paths = paths
    return job


def plan_paths(source: Path, bit_depth: int, options: MatteOptions, folder, stem: str | None) -> dict[str, Path]:
    """Where each output of ``source`` goes, by kind (a pure function of its arguments)."""
    paths = {}
    for kind in options.kinds:
        if kind == "composite":
            paths[kind] = composite_path(source, bit_depth, folder, stem=stem)
        else:
            paths[kind] = output_paths(source, kind, bit_depth, out_dir=folder, stem=stem, format=options.format)[kind]
    if options.preview:
        paths["preview"] = output_paths(source, options.rendered, bit_depth, out_dir=folder, preview=True,
                                        stem=stem)["preview"]
    return paths


def outputs_exist(source: Path, options: MatteOptions, folder, stem: str | None) -> bool:
    """Whether every output the options ask for is there, whatever bit depth named it."""
    planned = [plan_paths(source, depth, options, folder, stem) for depth in (8, 16, 32)]
    return all(any(os.path.lexists(paths[kind]) for paths in planned) for kind in planned[0])


def render(host: Renderer, job: Job, options: MatteOptions) -> Job:
    job.result = host.render_image(job.image, output=options.rendered, resize_mode=options.resize_mode)
    return job


async def render_async(host: Renderer, job: Job, options: MatteOptions) -> Job:
    """``render`` awaited in the caller's event loop."""
    job.result = await host.render_image_async(job.image, output=options.rendered, resize_mode=options.resize_mode)
    return job


def finish_frame(image: HostImage, result: HostImage, options: MatteOptions,
                 matte: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """The samples of each output of one still or clip frame, keyed by kind ("cutout",
    "matte" or "composite", and "preview"): the render's matte, or ``matte`` in its place
    (a clip's smoothed one, in the render's sample type), its edge refined on request, the
    mask controls applied, post-processed and composited."""
    if options.alpha_band or options.mask:
        if matte is None:
            matte = result.pixels[:, :, 3 if result.channels == 4 else 0]
        if options.alpha_band:
            from .alpha_matting import refine

            matte = refine(image.pixels, matte, options.alpha_band)
        if options.mask:
            matte = options.mask.apply(matte)
    if matte is not None:
        pixels = np.array(result.pixels)
        if result.channels == 4:
            pixels[:, :, 3] = matte
        else:
            pixels[:, :, :] = matte[:, :, None]
        result = HostImage(pixels, result.bit_depth)
    outputs = finish(image, result, options.rendered, decontaminate=options.decontaminate, preview=options.preview)
    kinds = options.kinds
    if "matte" in kinds and "matte" not in outputs:
        outputs["matte"] = result.pixels[:, :, 3]  # the matte of a cut-out render: its alpha
    if options.background is not None:
        outputs["composite"] = options.background.composite(outputs.pop("cutout"), image.bit_depth)
    return {kind: outputs[kind] for kind in (*kinds, *(("preview",) if options.preview else ()))}


def post_process(job: Job, options: MatteOptions) -> Job:
    job.person_found = person_found(job.result.pixels)
    if not job.person_found:
        job.warnings.append("no person found")
    job.outputs = finish_frame(job.image, job.result, options)
    return job


def write(job: Job, options: MatteOptions, claimed: MutableSet[Path] | None = None,
          stdout: BinaryIO | None = None) -> list[Path]:
    """Write the outputs in the input's bit depth, all of them or none; returns the paths written.
    With out_dir "-" the main output goes to ``stdout`` instead (and nothing else is written)."""
    def encoder(kind: str, target: Path) -> Callable[[], bytes]:
        return lambda: encode_output(job, kind, target.suffix)

    if str(options.out_dir) == STREAM and stdout is not None:
        write_stream(stdout, encode_output(job, options.kind, job.paths[options.kind].suffix))
        return []
    for folder in {path.parent for path in job.paths.values()}:
        folder.mkdir(parents=True, exist_ok=True)
    written = write_files([(job.paths[kind], encoder(kind, job.paths[kind])) for kind in job.outputs],
                          overwrite=options.overwrite)
    if claimed is not None:
        claimed.update(Path(os.path.realpath(path)) for path in written)
    job.written = written
    return written


def encode_output(job: Job, kind: str, suffix: str) -> bytes:
    """One finished output as the bytes of a ``suffix`` file, at the input's bit depth with its metadata."""
    pixels = job.outputs[kind]
    info = job.image.info
    if kind != "preview":
        pixels = file_samples(pixels, job.image.bit_depth, suffix)
    elif job.image.bit_depth == 32:
        info = info.without_profile()  # a float image's preview is plain sRGB, whatever the file's profile
    return encode_image(pixels, suffix, info)


# --------------------------------------------------------------------------- images in memory

MEDIA_TYPES = {".png": "image/png", ".tif": "image/tiff", ".exr": "image/x-exr", ".webp": "image/webp",
               ".jpg": "image/jpeg"}
# What an in-memory output may be encoded as (a file's name decides it in a run).
ENCODED_FORMATS = {**FORMATS, "webp": ".webp"}


@dataclass(frozen=True)
class Encoded:
    """One output as file bytes."""

    data: bytes
    suffix: str

    @property
    def media_type(self) -> str:
        return MEDIA_TYPES[self.suffix]


def decode_still(data: bytes, options: MatteOptions, name: str = "") -> Job:
    """A job for an image held as file bytes (any format a run reads; ``name``'s extension helps
    tell it), refused over ``options.max_pixels`` from its header, before it is decoded."""
    image = decode_image(data, Path(name).suffix, max_pixels=options.max_pixels)
    return _still(Path(name or STREAM), image)


def still_from_array(pixels: np.ndarray, bit_depth: int | None = None) -> Job:
    """A job for an array (uint8, uint16 or float; grey, RGB or RGBA) at its own bit depth."""
    pixels = np.asarray(pixels)
    if pixels.ndim == 2 or (pixels.ndim == 3 and pixels.shape[2] == 1):
        pixels = np.repeat(pixels.reshape(*pixels.shape[:2], 1), 3, axis=2)
    return _still(Path(STREAM), HostImage.from_array(pixels, bit_depth))


def _still(source: Path, image: HostImage) -> Job:
    job = Job(source, image, {}, warnings=list(image.info.notes))
    if image.info.frames > 1:
        job.warnings.append(f"{image.info.frames} pages or frames: only the first was used")
    return job


def encode_outputs(job: Job, options: MatteOptions) -> dict[str, Encoded]:
    """Each finished output of ``job`` encoded: the main one as ``options.format`` ("png",
    "tif", "exr", "webp"; default by bit depth, as for files), a preview as PNG."""
    if options.format is not None and options.format not in ENCODED_FORMATS:
        raise ValueError(f"format must be one of {', '.join(ENCODED_FORMATS)}, got {options.format!r}")
    main = ENCODED_FORMATS[options.format] if options.format else output_suffix(job.image.bit_depth, job.source.suffix)
    encoded = {}
    for kind in job.outputs:
        suffix = PREVIEW_SUFFIX if kind == "preview" else main
        encoded[kind] = Encoded(encode_output(job, kind, suffix), suffix)
    return encoded


def matte_bytes(host: Renderer, data: bytes, options: MatteOptions, name: str = "") -> tuple[Job, dict[str, Encoded]]:
    """Decode, render, post-process and encode one image held as bytes (see ``decode_still``)."""
    job = post_process(render(host, decode_still(data, options, name), options), options)
    return job, encode_outputs(job, options)


def matte_array(host: Renderer, pixels: np.ndarray, options: MatteOptions,
                bit_depth: int | None = None) -> tuple[Job, dict[str, np.ndarray]]:
    """Render and post-process one array (see ``still_from_array``); the job (``person_found``,
    ``warnings``) and its outputs as samples at its bit depth: the cut-out RGBA, the matte one
    grey plane, a composite RGB."""
    job = post_process(render(host, still_from_array(pixels, bit_depth), options), options)
    return job, {kind: file_samples(out, job.image.bit_depth, ".tif") if kind != "preview" else out
                 for kind, out in job.outputs.items()}


# --------------------------------------------------------------------------- files

def matte_file(
    host: Renderer,
    source: str | os.PathLike,
    *,
    out_dir: str | os.PathLike | None = None,
    output: str = "cutout",
    resize_mode: int = DEFAULT_RESIZE_MODE,
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
    options = MatteOptions(out_dir, output, resize_mode, preview, decontaminate, overwrite, background=background)
    return run_file(host, source, options, inputs, claimed if claimed is not None else set()).written


def run_file(host: Renderer, source: str | os.PathLike, options: MatteOptions, inputs: Collection[Path],
             claimed: MutableSet[Path]) -> Job:
    """The four steps for one file, in a row; the finished job (``job.written``, ``job.warnings``)."""
    job = post_process(render(host, read(source, options, inputs, claimed), options), options)
    write(job, options, claimed)
    return job


@dataclass
class Item:
    """One input of a batch: the file and where its outputs go."""

    source: Path
    folder: str | os.PathLike | None = None
    stem: str | None = None
    target: Path | None = None  # -o FILE: the main output's own path


class Batch:
    """Runs the pipeline over many files with the I/O overlapped: while one file renders
    on the calling thread, the next is read on one thread and the previous one
    post-processed and written on another. Results are reported in input order through
    ``report(item, outcome)``: the finished Job (``written``, ``warnings``), or the exception
    that stopped the file.

    ``start()`` may run before the plug-in is loaded, so the first read overlaps the load.
    On Ctrl-C the files being written are finished (their outputs are complete) and
    reported before KeyboardInterrupt goes on; files not yet written leave nothing behind.
    """

    # Encoding a 1920 x 1080 PNG takes longer than rendering it in the default mode, so
    # two outputs are encoded at once (the encoder is single-threaded and frees the GIL).
    WRITERS = 2

    def __init__(self, items: Sequence[Item], options: MatteOptions, inputs: Collection[Path] = (), *,
                 stdin: BinaryIO | None = None, stdout: BinaryIO | None = None):
        self.items, self.options, self.inputs = list(items), options, inputs
        self.stdin, self.stdout = stdin, stdout
        self.claimed: set[Path] = set()
        self._reader = ThreadPoolExecutor(1, thread_name_prefix="tavelin-read")
        self._writer = ThreadPoolExecutor(self.WRITERS, thread_name_prefix="tavelin-write")
        self._reads: dict[int, Future] = {}

    def _read(self, index: int) -> Future | None:
        if index >= len(self.items):
            return None
        if index not in self._reads:
            item = self.items[index]
            self._reads[index] = self._reader.submit(
                read, item.source, self.options, self.inputs, self.claimed, folder=item.folder, stem=item.stem,
                stdin=self.stdin, target=item.target)
        return self._reads[index]

    def start(self) -> None:
        self._read(0)

    def _finish(self, job: Job) -> Job:
        job = post_process(job, self.options)
        write(job, self.options, self.claimed, self.stdout)
        return job

    def run(self, host: Renderer, report: Callable[[Item, object], None]) -> None:
        """Render every item (on this thread), reporting each; call close() afterwards."""
        writing: deque[tuple[Item, Future]] = deque()
        try:
            for index, item in enumerate(self.items):
                pending = self._read(index)
                self._read(index + 1)
                try:
                    job = pending.result()
                    render(host, job, self.options)
                except Exception as exc:  # one bad file must not stop the run
                    while writing:  # earlier files first
                        self._report_write(*writing[0], report)
                        writing.popleft()
                    report(item, exc)
                    continue
                finally:
                    del self._reads[index]
                writing.append((item, self._writer.submit(self._finish, job)))
                del job
                while len(writing) > self.WRITERS:
                    self._report_write(*writing[0], report)
                    writing.popleft()
            while writing:
                self._report_write(*writing[0], report)
                writing.popleft()
        finally:
            for future in self._reads.values():
                future.cancel()
            while writing:  # let the writes in flight complete: all their outputs, or none
                self._report_write(*writing[0], report)
                writing.popleft()

    def close(self) -> None:
        """Stop the I/O threads (a read in flight is finished and dropped)."""
        for future in self._reads.values():
            future.cancel()
        self._reads.clear()
        self._reader.shutdown(wait=True, cancel_futures=True)
        self._writer.shutdown(wait=True)

    @staticmethod
    def _report_write(item: Item, future: Future, report: Callable[[Item, object], None]) -> None:
        try:
            outcome = future.result()
        except Exception as exc:
            outcome = exc
        report(item, outcome)


__all__ = [
    "Batch", "Encoded", "Item", "Job", "MatteOptions", "OutputExistsError", "Skipped", "WouldOverwriteInputError",
    "Renderer", "check_targets", "decode_still", "encode_output", "encode_outputs", "finish_frame", "matte_array",
    "matte_bytes", "matte_file", "outputs_exist", "plan_paths", "post_process", "read", "render", "render_async",
    "run_file", "still_from_array", "write",
]
