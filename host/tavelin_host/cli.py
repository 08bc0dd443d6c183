"""The ``tavelin`` command: matte image files with the plug-in."""
from __future__ import annotations

import argparse
import contextlib
import glob
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Sequence

from . import __version__
from .devices import DeviceError, parse_device, parse_precision
from .image_io import ImageReadError, ImageWriteError
from .contract import MODE_SIZES
from .pipeline import (
    OUTPUT_KINDS, MatteOptions, OutputExistsError, WouldOverwriteInputError, is_own_output, run_file,
)
from .plugin import PluginError
from .progress import LineWriter, ProgressUI
from .video import VIDEO_FORMATS, VideoReadError, VideoWriteError, is_video

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report a command stopped by Ctrl-C
GLOB_CHARS = frozenset("*?[")
DEFAULT_RESIZE_MODE = 1


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavelin",
        description="Separate the subject of images from their background: writes a cut-out "
        "(the image with the matte as alpha) or the matte, at the image's own size and bit depth.",
        epilog="Folders and glob patterns expand to the files in them (their own outputs, "
        "*.cutout.*, *.matte.* and *.preview.*, excepted). Outputs are named <stem>.cutout.png, "
        "<stem>.matte.png and <stem>.preview.png; 32-bit float images give .tif (or .exr for "
        "OpenEXR input); --background gives <stem>.composite.<ext>. Clips (.mp4, .mov, .mkv, .webm, ...) "
        "give <stem>.cutout.mov (see --video-format). "
        "Exit status: 0 when every file succeeded, 1 when some failed, 2 on a usage error.",
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="image or clip files, folders or glob patterns")
    parser.add_argument("-o", "--output-dir", metavar="DIR", help="write outputs here (default: beside each input)")
    parser.add_argument("--output", choices=OUTPUT_KINDS, default="cutout",
                        help="cutout: RGBA with the matte as alpha (default); matte: grey-scale matte")
    modes = range(len(MODE_SIZES))
    parser.add_argument("--resize-mode", type=int, choices=modes, default=DEFAULT_RESIZE_MODE,
                        metavar="{" + ",".join(map(str, modes)) + "}", help=_resize_mode_help())
    parser.add_argument("--device", type=_device_arg, default="auto", metavar="{auto,cpu,cuda[:N]}",
                        help="compute device (default auto: CUDA when available, else CPU)")
    parser.add_argument("--precision", type=_precision_arg, default="auto", metavar="{auto,fp32,fp16}",
                        help="network precision (default auto: fp16 on CUDA, fp32 on the CPU)")
    parser.add_argument("--preview", action="store_true",
                        help="also write <stem>.preview.png: the cut-out over a checkerboard")
    parser.add_argument("--decontaminate", action="store_true",
                        help="replace the cut-out's colour by the estimated foreground colour (removes halos); "
                        "previews then use a contrasting background")
    parser.add_argument("--background", type=_background_arg, metavar="COLOR|IMAGE",
                        help="composite the cut-out over a colour (#rrggbb, white, ...) or an image "
                        "(cover-fitted); writes <stem>.composite.<ext>")
    parser.add_argument("--video-format", choices=VIDEO_FORMATS, default="mov",
                        help="clips: mov (ProRes 4444 with alpha; default), webm (VP9 with alpha) "
                        "or png (a folder of PNG frames, 16-bit for deeper sources)")
    parser.add_argument("--no-smooth", dest="smooth", action="store_false",
                        help="clips: keep each frame's own matte (no smoothing over time)")
    parser.add_argument("-r", "--recursive", action="store_true", help="descend into sub-folders")
    parser.add_argument("--overwrite", action="store_true", help="replace existing outputs (inputs never are)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress display and no summary")
    parser.add_argument("--plugin-dir", metavar="DIR",
                        help="plug-in directory holding the Tavelin module and models/ "
                        "(default: $TAVELIN_PLUGIN_DIR, then the importable module, then this checkout's build)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _resize_mode_help() -> str:
    sides = [f"{mode} {side}" if side else f"{mode} the image's own size" for mode, side in enumerate(MODE_SIZES)]
    sides[DEFAULT_RESIZE_MODE] += " (default)"
    return "network input size: " + ", ".join(sides)


def _device_arg(value: str) -> str:
    try:
        return parse_device(value)
    except DeviceError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _background_arg(value: str):
    from .background import Background, BackgroundError

    try:
        return Background.parse(value)
    except BackgroundError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _precision_arg(value: str) -> str:
    try:
        return parse_precision(value)
    except DeviceError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _files_in(folder: Path, recursive: bool) -> list[Path]:
    walker = folder.rglob("*") if recursive else folder.iterdir()
    found = []
    for path in walker:
        relative = path.relative_to(folder).parts
        if any(part.startswith(".") for part in relative):
            continue
        if path.is_file() and not is_own_output(path):
            found.append(path)
    return sorted(found)


def expand_inputs(patterns: Sequence[str], recursive: bool) -> tuple[list[Path], list[str]]:
    """Files to process, in order and without repeats, and one message per argument that names nothing."""
    files: list[Path] = []
    problems: list[str] = []
    for pattern in patterns:
        if any(ch in pattern for ch in GLOB_CHARS) and not os.path.lexists(pattern):
            matches = sorted(glob.glob(pattern, recursive=recursive))
            if not matches:
                problems.append(f"{pattern}: no file matches")
            for match in matches:
                path = Path(match)
                if path.is_dir():
                    files.extend(_files_in(path, recursive))
                elif path.is_file() and not is_own_output(path):
                    files.append(path)
            continue
        path = Path(pattern)
        if path.is_dir():
            listed = _files_in(path, recursive)
            if not listed:
                problems.append(f"{pattern}: no files in this folder")
            files.extend(listed)
        elif path.exists():
            files.append(path)  # named explicitly: taken whatever its name
        else:
            problems.append(f"{pattern}: no such file or folder")
    seen: set[str] = set()
    unique = []
    for path in files:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            unique.append(path)
    return unique, problems


def _one_line(exc: BaseException) -> str:
    known = (ImageReadError, ImageWriteError, OutputExistsError, WouldOverwriteInputError, FileExistsError,
             VideoWriteError)
    text = str(exc).strip().splitlines()
    message = text[0] if text else ""
    if isinstance(exc, ImageReadError):
        return f"cannot read image: {message}"
    if isinstance(exc, VideoReadError):
        return f"cannot read video: {message}"
    if isinstance(exc, known) and message:
        return message
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.strerror}" + (f": {exc.filename}" if exc.filename else "")
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _only_problems(emit):
    def filtered(line: str) -> None:
        if "Warning" in line or "Error" in line:
            emit(line)

    return filtered


@dataclass
class Run:
    """One invocation: what parse() made of the arguments, and what run() did."""

    args: argparse.Namespace
    ui: ProgressUI
    files: list[Path]
    problems: list[str]
    options: MatteOptions
    done: int = 0
    failed: int = 0
    interrupted: bool = False
    device: str = ""
    seconds: float = 0.0
    clips: list = field(default_factory=list)  # a VideoResult per clip matted

    def say(self, line: str) -> None:
        self.ui.write(f"tavelin: {line}")


def parse(argv: Sequence[str] | None) -> Run | int:
    """The arguments checked and the inputs expanded; an exit status when there is nothing to run."""
    args = build_parser().parse_args(argv)
    ui = ProgressUI(quiet=True if args.quiet else None)
    files, problems = expand_inputs(args.inputs, args.recursive)
    out_dir = Path(args.output_dir) if args.output_dir is not None else None
    options = MatteOptions(out_dir=out_dir, output=args.output, resize_mode=args.resize_mode, preview=args.preview,
                           decontaminate=args.decontaminate, overwrite=args.overwrite, background=args.background)
    plan = Run(args, ui, files, problems, options)
    for problem in problems:
        plan.say(problem)
    if not files:
        plan.say("nothing to do")
        return EXIT_FAILED if problems else EXIT_USAGE

    if args.decontaminate:
        try:
            from .decontaminate import decontaminate_cutout  # noqa: F401 (is it importable here?)
        except ImportError as exc:
            plan.say(f"--decontaminate is not available here ({exc})")
            return EXIT_USAGE
        if args.output == "matte" and not args.preview:
            plan.say("note: --decontaminate changes cut-outs and previews, not mattes")
    if args.background is not None and args.output == "matte":
        plan.say("--background composites the cut-out; it does not go with --output matte")
        return EXIT_USAGE

    if out_dir is not None:
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            plan.say(f"cannot create {out_dir}: {exc.strerror or exc}")
            return EXIT_USAGE
    return plan


def run(plan: Run) -> int | None:
    """Matte every file through one host; None, or an exit status when the plug-in cannot be used.

    Everything opened here is closed in one place, however the loop ends.
    """
    from .host import Host  # pulls in asyncio and the plug-in machinery: not needed for --help

    args, ui = plan.args, plan.ui
    started = time.monotonic()
    # The plug-in prints its diagnostics; they go to stderr, between the progress bars
    # (with --quiet only its warnings and errors).
    diagnostics = LineWriter(ui.write if not args.quiet else _only_problems(ui.write))
    with contextlib.redirect_stdout(diagnostics):
        try:
            host = Host(args.plugin_dir, device=args.device, precision=args.precision, ui=ui)
        except (PluginError, DeviceError) as exc:
            plan.say(str(exc))
            return EXIT_USAGE

        inputs = {Path(os.path.realpath(path)) for path in plan.files}
        claimed: set[Path] = set()
        bar = ui.file_bar(plan.files, total=len(plan.files))
        try:
            for path in bar:
                bar.set_postfix_str(path.name, refresh=True)
                try:
                    if is_video(path):
                        from .video import run_clip

                        run_clip(plan, host, path, inputs, claimed)
                    else:
                        run_file(host, path, plan.options, inputs, claimed)
                except Exception as exc:  # one bad file must not stop the run
                    plan.failed += 1
                    plan.say(f"{path}: {_one_line(exc)}")
                else:
                    plan.done += 1
        except KeyboardInterrupt:
            plan.interrupted = True
        finally:
            bar.close()
            ui.files_done()
            host.close()
            diagnostics.flush()
    plan.seconds = time.monotonic() - started
    plan.device = host.torch_tools.describe()
    return None


def summarise(plan: Run) -> int:
    """The last line of a run, and its exit status."""
    if plan.interrupted:
        plan.say(f"interrupted after {plan.done + plan.failed} of {len(plan.files)} file(s)")
        return EXIT_INTERRUPTED
    failed = plan.failed + len(plan.problems)
    if not plan.args.quiet:
        total = len(plan.files) + len(plan.problems)
        rate = ""
        if plan.clips:
            from .video import frames_summary

            rate = ", " + frames_summary(plan.clips)
        plan.say(f"{plan.done} of {total} matted, {failed} failed, {plan.seconds:.1f} s on {plan.device}{rate}")
    return EXIT_OK if failed == 0 else EXIT_FAILED


def main(argv: Sequence[str] | None = None) -> int:
    plan = parse(argv)
    if isinstance(plan, int):
        return plan
    status = run(plan)
    return status if status is not None else summarise(plan)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
