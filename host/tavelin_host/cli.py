"""The ``tavelin`` command: matte image files with the plug-in."""
from __future__ import annotations

import argparse
import contextlib
import glob
import os
import sys
import time
from pathlib import Path
from typing import Sequence

from . import __version__
from .devices import DeviceError, parse_device, parse_precision
from .image_io import ImageReadError, ImageWriteError
from .jobs import OutputExistsError, WouldOverwriteInputError, is_own_output, matte_file
from .plugin import PluginError
from .progress import LineWriter, ProgressUI
from .video import VIDEO_FORMATS, VideoReadError, VideoWriteError, is_video

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
GLOB_CHARS = frozenset("*?[")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavelin",
        description="Separate the subject of images from their background: writes a cut-out "
        "(the image with the matte as alpha) or the matte, at the image's own size and bit depth.",
        epilog="Folders and glob patterns expand to the files in them (their own outputs, "
        "*.cutout.*, *.matte.* and *.preview.*, excepted). Outputs are named <stem>.cutout.png, "
        "<stem>.matte.png and <stem>.preview.png; 32-bit float images give .tif (or .exr for "
        "OpenEXR input). Exit status: 0 when every file succeeded, 1 when some failed, 2 on a usage error.",
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="image files, folders or glob patterns")
    parser.add_argument("-o", "--output-dir", metavar="DIR", help="write outputs here (default: beside each input)")
    parser.add_argument("--output", choices=("cutout", "matte"), default="cutout",
                        help="cutout: RGBA with the matte as alpha (default); matte: grey-scale matte")
    parser.add_argument("--resize-mode", type=int, choices=range(4), default=1, metavar="{0,1,2,3}",
                        help="network input size: 0 the image's own size, 1 256 (default), 2 512, 3 1024")
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


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    ui = ProgressUI(quiet=True if args.quiet else None)

    def say(line: str) -> None:
        ui.write(f"tavelin: {line}")

    files, problems = expand_inputs(args.inputs, args.recursive)
    for problem in problems:
        say(problem)
    if not files:
        say("nothing to do")
        return EXIT_FAILED if problems else EXIT_USAGE

    if args.decontaminate:
        try:
            from .decontaminate import decontaminate_cutout  # noqa: F401
        except ImportError as exc:
            say(f"--decontaminate is not available here ({exc})")
            return EXIT_USAGE
        if args.output == "matte" and not args.preview:
            say("note: --decontaminate changes cut-outs and previews, not mattes")
    if args.background is not None and args.output == "matte":
        say("--background composites the cut-out; it does not go with --output matte")
        return EXIT_USAGE

    out_dir = None
    if args.output_dir is not None:
        out_dir = Path(args.output_dir)
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            say(f"cannot create {out_dir}: {exc.strerror or exc}")
            return EXIT_USAGE

    from .host import Host

    started = time.monotonic()
    # The plug-in prints its diagnostics; they go to stderr, between the progress bars
    # (with --quiet only its warnings and errors).
    diagnostics = LineWriter(ui.write if not args.quiet else _only_problems(ui.write))
    with contextlib.redirect_stdout(diagnostics):
        try:
            host = Host(args.plugin_dir, device=args.device, precision=args.precision, ui=ui)
        except (PluginError, DeviceError) as exc:
            say(str(exc))
            return EXIT_USAGE

        inputs = {Path(os.path.realpath(path)) for path in files}
        claimed: set[Path] = set()
        done = failed = 0
        clips = []
        bar = ui.file_bar(files, total=len(files))
        try:
            for path in bar:
                bar.set_postfix_str(path.name, refresh=True)
                try:
                    if is_video(path):
                        from .video import matte_video_shown

                        clip = matte_video_shown(
                            ui, host, path, out_dir=out_dir, output=args.output, resize_mode=args.resize_mode,
                            decontaminate=args.decontaminate, overwrite=args.overwrite,
                            video_format=args.video_format, smooth=args.smooth, background=args.background,
                            inputs=inputs, claimed=claimed,
                        )
                        clips.append(clip)
                        for note in clip.notes:
                            say(f"{path}: {note}")
                    else:
                        matte_file(
                            host, path, out_dir=out_dir, output=args.output, resize_mode=args.resize_mode,
                            preview=args.preview, decontaminate=args.decontaminate, overwrite=args.overwrite,
                            inputs=inputs, claimed=claimed, background=args.background,
                        )
                except Exception as exc:  # one bad file must not stop the run
                    failed += 1
                    say(f"{path}: {_one_line(exc)}")
                else:
                    done += 1
        except KeyboardInterrupt:
            bar.close()
            ui.files_done()
            say(f"interrupted after {done + failed} of {len(files)} file(s)")
            return 130
        finally:
            bar.close()
            ui.files_done()
            host.close()
            diagnostics.flush()

    failed += len(problems)
    if not args.quiet:
        elapsed = time.monotonic() - started
        total = len(files) + len(problems)
        rate = ""
        if clips:
            from .video import frames_summary

            rate = ", " + frames_summary(clips)
        say(f"{done} of {total} matted, {failed} failed, {elapsed:.1f} s on {host.torch_tools.describe()}{rate}")
    return EXIT_OK if failed == 0 else EXIT_FAILED


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
