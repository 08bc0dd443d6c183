"""The ``tavelin`` command: matte image files with the plug-in."""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
import warnings
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Sequence

# Only light modules here: --help, usage errors and the checks before the first
# render need neither NumPy, OpenCV nor torch (those load in parse() and run()).
from . import __version__
from .arguments import (background_arg, count_arg, device_arg, fraction_arg, megapixels_arg, outputs_arg,
                        precision_arg, radius_arg)
from .contract import DEFAULT_MAX_MEGAPIXELS, DEFAULT_RESIZE_MODE, MODE_SIZES
from .devices import DeviceError, default_threads
from .inputs import Expansion, expand_inputs
from .naming import (FILE_TARGET_SUFFIXES, FORMATS, STREAM, VIDEO_FORMATS, is_video, output_folder,
                     plan_names)
from .names import shown
from .plugin import PluginError, find_plugin_dir, how_to_get_weights, missing_weights
from .progress import LineWriter, ProgressUI

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report a command stopped by Ctrl-C
# Signals that stop a run as Ctrl-C does (cleaned up, exit status 128 + the signal).
STOP_SIGNALS = ("SIGTERM", "SIGHUP")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavelin",
        description="Separate people in images from their background (the network finds people): writes "
        "a cut-out (the image with the matte as alpha) or the matte, at the image's own size and bit depth.",
        epilog="Folders and glob patterns expand to the image files in them (by extension; outputs this "
        "tool wrote for an input beside them are skipped, and links to folders are not followed). "
        "Outputs are named <stem>.cutout.png, <stem>.matte.png and <stem>.preview.png; 32-bit float "
        "images give .tif (or .exr for OpenEXR input); --background gives <stem>.composite.<ext>; clips "
        "(.mp4, .mov, .mkv, .webm, ...) give <stem>.cutout.mov (see --video-format); two inputs with one stem (a.jpg, a.png) keep "
        "their extension (a.jpg.cutout.png). With -r and -o the folders below the input folder are "
        "mirrored under -o. Exit status: 0 when every file succeeded (or was skipped), 1 when some "
        "failed, 2 on a usage error, 130 when interrupted.",
    )
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="image or clip files, folders or glob patterns; - reads one image from standard input")
    parser.add_argument("-o", "--output-dir", metavar="DIR|FILE",
                        help="write outputs here (default: beside each input); a file name with an image "
                        "extension (out.png, out.tif, ...) is the one input's output, in that file type; "
                        "- writes the one output to standard output")
    parser.add_argument("--output", type=outputs_arg, default=("cutout",), metavar="cutout|matte|cutout,matte",
                        help="cutout: RGBA with the matte as alpha (default); matte: grey-scale matte; "
                        "cutout,matte: both, from one render")
    modes = range(len(MODE_SIZES))
    parser.add_argument("--resize-mode", type=int, choices=modes, default=DEFAULT_RESIZE_MODE,
                        metavar="{" + ",".join(map(str, modes)) + "}", help=_resize_mode_help())
    parser.add_argument("--threads", type=count_arg, metavar="N",
                        help="CPU threads for the network (default: half the cores; the rest decode and encode)")
    parser.add_argument("--device", type=device_arg, default="auto", metavar="{auto,cpu,cuda[:N]}",
                        help="compute device (default auto: CUDA when available, else CPU)")
    parser.add_argument("--precision", type=precision_arg, default="auto", metavar="{auto,fp32,fp16}",
                        help="network precision (default auto: fp16 on CUDA, fp32 on the CPU)")
    parser.add_argument("--preview", action="store_true",
                        help="also write <stem>.preview.png: the cut-out over a checkerboard")
    parser.add_argument("--decontaminate", action="store_true",
                        help="replace the cut-out's colour by the estimated foreground colour (removes halos); "
                        "previews then use a contrasting background")
    parser.add_argument("--background", type=background_arg, metavar="COLOR|IMAGE",
                        help="composite the cut-out over a colour (#rrggbb, white, ...) or an image "
                        "(cover-fitted); writes <stem>.composite.<ext>")
    parser.add_argument("--alpha-matting", nargs="?", type=count_arg, const=10, metavar="BAND",
                        help="refine the matte's edge (hair, soft edges) by closed-form matting in a band of "
                        "BAND pixels each side of it (default 10); slow: seconds per megapixel")
    mask = parser.add_argument_group("mask controls (applied to the matte, in this order)")
    mask.add_argument("--threshold", type=fraction_arg, metavar="T",
                      help="a hard matte: 1 where the matte is at least T (0..1), else 0")
    mask.add_argument("--min-area", type=count_arg, default=0, metavar="PX",
                      help="drop regions with fewer than PX solid pixels (specks)")
    mask.add_argument("--largest", action="store_true", help="keep only the largest region (one person)")
    mask.add_argument("--erode", type=count_arg, default=0, metavar="N", help="move the edge N pixels in")
    mask.add_argument("--dilate", type=count_arg, default=0, metavar="N", help="move the edge N pixels out")
    mask.add_argument("--feather", type=radius_arg, default=0.0, metavar="R", help="soften the edge over R pixels")
    parser.add_argument("--video-format", choices=VIDEO_FORMATS, default="mov",
                        help="clips: mov (ProRes 4444 with alpha; default), webm (VP9 with alpha), "
                        "mp4 (H.264 or HEVC, no alpha: mattes and composites) "
                        "or png (a folder of PNG frames, 16-bit for deeper sources)")
    parser.add_argument("--codec", choices=("h264", "hevc"), default="h264",
                        help="clips in mp4: H.264 (default) or HEVC")
    parser.add_argument("--crf", type=int, metavar="N",
                        help="clips in mp4 or webm: constant quality, lower is better (default 18 H.264, "
                        "22 HEVC, 20 VP9)")
    parser.add_argument("--bitrate", metavar="RATE", help="clips in mp4 or webm: a target bitrate (8M, 2500k)")
    parser.add_argument("--no-smooth", dest="smooth", action="store_false",
                        help="clips: keep each frame's own matte (no smoothing over time)")
    parser.add_argument("-r", "--recursive", action="store_true", help="descend into sub-folders")
    existing = parser.add_mutually_exclusive_group()
    existing.add_argument("--overwrite", action="store_true", help="replace existing outputs (inputs never are)")
    existing.add_argument("--skip-existing", action="store_true",
                          help="leave inputs whose outputs all exist untouched (counted as skipped)")
    parser.add_argument("--format", choices=tuple(FORMATS),
                        help="file type of the cut-out or matte (default: png, float images tif or exr)")
    parser.add_argument("--max-megapixels", type=megapixels_arg, default=DEFAULT_MAX_MEGAPIXELS, metavar="MP",
                        help="refuse images that declare more pixels than this, before decoding them "
                        f"(default {DEFAULT_MAX_MEGAPIXELS})")
    cluster = parser.add_argument_group("on a Ray cluster")
    cluster.add_argument("--cluster", metavar="ADDRESS",
                         help="render on Ray actors: auto, ray://HOST:PORT, or local[:N] (a Ray of N workers here)")
    cluster.add_argument("--cluster-threads", type=count_arg, default=1, metavar="N",
                         help="CPU threads (and CPUs asked of Ray) per actor (default: 1)")
    cluster.add_argument("--cluster-actors", type=count_arg, metavar="N",
                         help="actors to start (default: as many as the cluster's CPUs or GPUs allow)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress display and no summary")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the plug-in's own lines (model loading, warm-up)")
    parser.add_argument("--plugin-dir", metavar="DIR",
                        help="plug-in directory holding the Tavelin module and models/ "
                        "(default: $TAVELIN_PLUGIN_DIR, then the importable module, then this checkout's build)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _resize_mode_help() -> str:
    sides = [f"{mode} {side}" if side else f"{mode} the image's own size" for mode, side in enumerate(MODE_SIZES)]
    sides[DEFAULT_RESIZE_MODE] += " (default)"
    return "network input size: " + ", ".join(sides)


def _one_line(exc: BaseException) -> str:
    from .atomic import ImageWriteError
    from .decoding import ImageReadError, ImageTooLargeError
    from .pipeline import OutputExistsError, Skipped, WouldOverwriteInputError
    from .video import VideoReadError, VideoWriteError

    known = (ImageWriteError, OutputExistsError, WouldOverwriteInputError, FileExistsError, Skipped, VideoWriteError)
    text = str(exc).strip().splitlines()
    message = text[0] if text else ""
    if isinstance(exc, ImageTooLargeError):
        return f"cannot read image: {message} (--max-megapixels raises it)"
    if isinstance(exc, ImageReadError):
        return f"cannot read image: {message}"
    if isinstance(exc, VideoReadError):
        return f"cannot read video: {message}"
    if isinstance(exc, known) and message:
        return message
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.strerror}" + (f": {shown(exc.filename)}" if exc.filename else "")
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
    expansion: Expansion
    options: "MatteOptions"
    plugin_dir: Path | None = None
    target: Path | None = None  # -o FILE
    done: int = 0
    failed: int = 0
    skipped: int = 0
    no_person: int = 0
    interrupted: int = 0  # the exit status of a run stopped by Ctrl-C or a stop signal
    device: str = ""
    seconds: float = 0.0
    written: list[Path] = field(default_factory=list)
    clips: list = field(default_factory=list)  # a VideoResult per clip matted

    @property
    def files(self) -> list[Path]:
        return self.expansion.files

    @property
    def problems(self) -> list[str]:
        return self.expansion.problems

    def say(self, line: str) -> None:
        self.ui.write(f"tavelin: {line}")


def parse(argv: Sequence[str] | None) -> Run | int:
    """The arguments checked, the inputs expanded and named, and everything a render needs
    checked (plug-in weights, writable output folders); an exit status when there is
    nothing to run."""
    args = build_parser().parse_args(argv)
    ui = ProgressUI(quiet=True if args.quiet else None)
    say = lambda line: ui.write(f"tavelin: {line}")  # noqa: E731
    to_stdout = args.output_dir == STREAM
    if to_stdout and sys.stdout is None:
        say("standard output is closed: there is nowhere to write the image (-o -); use -o DIR")
        return EXIT_USAGE
    if STREAM in args.inputs and sys.stdin is None:
        say("standard input is closed: there is no image to read (-)")
        return EXIT_USAGE
    if to_stdout:
        if args.preview:
            say("--preview cannot go to standard output (-o -): write it to a folder")
            return EXIT_USAGE
        if sys.stdout.isatty():
            say("standard output is a terminal: redirect it to a file or a pipe, or use -o DIR")
            return EXIT_USAGE
    if args.inputs.count(STREAM) > 1:
        say("standard input (-) can be read only once")
        return EXIT_USAGE

    target = None
    if args.output_dir is not None and not to_stdout:
        named = Path(args.output_dir)
        if named.suffix.lower() in FILE_TARGET_SUFFIXES and not named.is_dir():
            target = named  # -o FILE
    expansion = expand_inputs(args.inputs, args.recursive, target.parent if target else args.output_dir)
    out_dir = Path(args.output_dir) if args.output_dir is not None and not to_stdout else None
    if target is not None:
        out_dir = target.parent
    plan_names(expansion.inputs, out_dir)
    from .mask_controls import MaskControls
    from .pipeline import MatteOptions  # NumPy and OpenCV, needed from here on

    options = MatteOptions(out_dir=STREAM if to_stdout else out_dir, output=args.output[0], also=args.output[1:],
                           resize_mode=args.resize_mode, preview=args.preview, decontaminate=args.decontaminate,
                           overwrite=args.overwrite, skip_existing=args.skip_existing, format=args.format,
                           max_pixels=int(args.max_megapixels * 1e6), background=args.background,
                           video_format=args.video_format, smooth=args.smooth, video_codec=args.codec,
                           crf=args.crf, bitrate=args.bitrate, alpha_band=args.alpha_matting,
                           mask=MaskControls(args.threshold, args.erode, args.dilate, args.feather, args.largest,
                                             args.min_area))
    plan = Run(args, ui, expansion, options, target=target)
    for problem in expansion.problems:
        plan.say(problem)
    if not args.quiet:
        for line in expansion.skip_lines():
            plan.say(line)
    if not expansion.inputs:
        plan.say("nothing to do")
        return EXIT_FAILED if expansion.problems else EXIT_USAGE
    if to_stdout and any(not item.is_stdin and is_video(item.path) for item in expansion.inputs):
        plan.say("clips cannot go to standard output (-o -): write them to a folder with -o DIR")
        return EXIT_USAGE
    if args.video_format == "mp4" and "cutout" in options.kinds:
        plan.say("mp4 holds no transparency: use --background COLOR or --output matte for an mp4, "
                 "or --video-format mov or webm for the cut-out")
        return EXIT_USAGE
    several = len(options.kinds) > 1
    if several and (target is not None or to_stdout):
        plan.say("several outputs (--output cutout,matte) go to a folder: use -o DIR")
        return EXIT_USAGE
    if target is not None and (len(expansion.inputs) != 1 or expansion.problems or args.cluster
                               or any(not item.is_stdin and is_video(item.path) for item in expansion.inputs)):
        plan.say(f"-o {shown(target)} names one image's output: give one image (or -o DIR for several)")
        return EXIT_USAGE
    if to_stdout and args.cluster:
        plan.say("--cluster writes files: use -o DIR, not -o -")
        return EXIT_USAGE
    if to_stdout and len(expansion.inputs) > 1:
        plan.say(f"-o - writes one image to standard output, but {len(expansion.inputs)} inputs were given")
        return EXIT_USAGE

    if args.alpha_matting:
        try:
            import pymatting  # noqa: F401 (is it installed here?)
        except ImportError:
            plan.say("--alpha-matting needs pymatting: pip install pymatting")
            return EXIT_USAGE
    if args.decontaminate:
        try:
            from .decontaminate import decontaminate_cutout  # noqa: F401 (is it importable here?)
        except ImportError as exc:
            plan.say(f"--decontaminate is not available here ({exc})")
            return EXIT_USAGE
        if args.output == ("matte",) and not args.preview:
            plan.say("note: --decontaminate changes cut-outs and previews, not mattes")
    if args.background is not None and args.output == ("matte",):
        plan.say("--background composites the cut-out; it does not go with --output matte")
        return EXIT_USAGE

    # Before any work: the plug-in with its weights, and every output folder writable.
    try:
        plan.plugin_dir = find_plugin_dir(args.plugin_dir)
    except PluginError as exc:
        plan.say(str(exc))
        return EXIT_USAGE
    missing = missing_weights(plan.plugin_dir, args.precision)
    if missing:
        plan.say(f"no network weights in {shown(plan.plugin_dir / 'models')} ({', '.join(missing)} missing): "
                 + how_to_get_weights(plan.plugin_dir))
        return EXIT_USAGE
    if not to_stdout and not _folders_writable(plan, out_dir):
        return EXIT_USAGE
    return plan


def _folders_writable(plan: Run, out_dir: Path | None) -> bool:
    """Each folder outputs will go to can take a new file (tried: permissions, read-only
    mounts and ACLs all count); one line for each that cannot."""
    from .atomic import ImageWriteError, check_writable

    if out_dir is not None:
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            plan.say(f"cannot create {shown(out_dir)}: {exc.strerror or exc}; choose another folder with -o DIR")
            return False
    folders = []
    for item in plan.expansion.inputs:
        folder = output_folder(item, out_dir)
        while not folder.exists() and folder != out_dir and folder.parent != folder:
            folder = folder.parent  # mirrored sub-folders are made when written
        if folder not in folders:
            folders.append(folder)
    ok = True
    for folder in folders:
        try:
            check_writable(folder)
        except ImageWriteError as exc:
            hint = "choose another folder with -o DIR" if out_dir is None else "choose another -o DIR"
            plan.say(f"{exc}; {hint}, or make it writable")
            ok = False
    return ok


def run(plan: Run) -> int | None:
    """Matte every file through one host; None, or an exit status when the plug-in cannot be used.

    Everything opened here is closed in one place, however the loop ends.
    """
    from .pipeline import Batch, Item, Skipped

    args, ui = plan.args, plan.ui
    started = time.monotonic()
    out_dir = plan.options.out_dir
    # Stills go through the overlapped batch; clips after them, each with its own
    # decode/render/encode threads.
    clips = [item for item in plan.expansion.inputs if not item.is_stdin and is_video(item.path)]
    items = [Item(item.path, output_folder(item, None if out_dir == STREAM else out_dir), item.stem, plan.target)
             for item in plan.expansion.inputs if item not in clips]
    inputs = {Path(os.path.realpath(item.path)) for item in plan.expansion.inputs if not item.is_stdin}
    stdout = sys.stdout.buffer if out_dir == STREAM else None
    stdin = sys.stdin.buffer if any(item.is_stdin for item in plan.expansion.inputs) else None
    batch = Batch(items, plan.options, inputs, stdin=stdin, stdout=stdout)

    def report(item, outcome) -> None:
        if isinstance(outcome, Skipped):
            plan.skipped += 1
        elif isinstance(outcome, BaseException):
            plan.failed += 1
            plan.say(f"{shown(item.source)}: {_one_line(outcome)}")
        else:
            plan.done += 1
            plan.written += outcome.written
            plan.no_person += not outcome.person_found
            for warning in outcome.warnings:
                plan.say(f"{shown(item.source)}: {warning}")
        bar.update(1)

    # The plug-in prints its diagnostics; they go to stderr, between the progress bars:
    # its warnings and errors always, its load lines only with --verbose.
    diagnostics = LineWriter(ui.write if args.verbose and not args.quiet else _only_problems(ui.write))
    bar = ui.file_bar(None, total=len(items) + len(clips))
    if args.cluster:
        try:
            status = _run_on_cluster(plan, batch, clips, inputs, report, bar)
        finally:
            batch.close()
            bar.close()
            ui.files_done()
        plan.seconds = time.monotonic() - started
        return status
    batch.start()  # the first file is read while torch and the plug-in load
    host = None
    try:
        with contextlib.redirect_stdout(diagnostics):
            from .host import Host  # pulls in torch, asyncio and the plug-in machinery

            import torch

            torch.set_num_threads(args.threads or default_threads())  # this command's own process

            try:
                host = Host(plan.plugin_dir, device=args.device, precision=args.precision, ui=ui)
            except (PluginError, DeviceError) as exc:
                plan.say(str(exc))
                return EXIT_USAGE
            try:
                batch.run(host, report)
                for clip in clips:
                    _run_clip(plan, host, clip, inputs, batch.claimed)
                    bar.update(1)
            except KeyboardInterrupt as exc:
                plan.interrupted = getattr(exc, "status", EXIT_INTERRUPTED)
    finally:
        batch.close()
        bar.close()
        ui.files_done()
        if host is not None:
            host.close()
        diagnostics.flush()
    plan.seconds = time.monotonic() - started
    plan.device = host.torch_tools.describe()
    return None


def _run_on_cluster(plan: Run, batch, clips, inputs, report, bar) -> int | None:
    """The run's rendering on Ray actors; naming, writing and reporting stay here."""
    from .cluster import ClipRenderer, Cluster, ClusterError, Still, run_stills

    args = plan.args
    local = args.cluster == "local" or args.cluster.startswith("local:")
    cluster = Cluster(args.cluster, str(plan.plugin_dir) if local or args.plugin_dir else None, args.device,
                      args.precision, args.cluster_threads, args.cluster_actors)
    try:
        cluster.start()
    except ClusterError as exc:
        plan.say(str(exc))
        return EXIT_USAGE
    try:
        stills = (Still(item.source, item.folder, item.stem) for item in batch.items)
        run_stills(cluster, stills, plan.options, inputs, batch.claimed, report, batch.stdin)
        for clip in clips:
            _run_clip(plan, ClipRenderer(cluster, str(clip.path)), clip, inputs, batch.claimed)
            bar.update(1)
    except KeyboardInterrupt as exc:
        plan.interrupted = getattr(exc, "status", EXIT_INTERRUPTED)
    finally:
        cluster.stop()
    plan.device = cluster.describe()
    return None


def _run_clip(plan: Run, host, item, inputs, claimed) -> None:
    """One clip of the run, with a progress bar in frames, its notes said and its result kept."""
    from .pipeline import Skipped
    from .video import matte_video

    options = plan.options
    if out_dir := options.out_dir:
        options = replace(options, out_dir=output_folder(item, out_dir))
    bar = None
    if not plan.ui.quiet:
        from tqdm import tqdm

        bar = tqdm(total=None, unit="frame", desc=item.path.name, file=plan.ui.stream, leave=False,
                   position=plan.ui.position + 1, dynamic_ncols=True)

    def on_frame(done: int, total: int) -> None:
        if bar.total != total:
            bar.total = total
        bar.update(done - bar.n)

    try:
        try:
            clip = matte_video(host, item.path, options, inputs=inputs, claimed=claimed, stem=item.stem,
                               on_frame=on_frame if bar is not None else None)
        finally:
            if bar is not None:
                bar.close()
        plan.clips.append(clip)
        for note in clip.notes:
            plan.say(f"{shown(item.path)}: {note}")
    except Skipped:
        plan.skipped += 1
    except Exception as exc:  # one bad file must not stop the run
        plan.failed += 1
        plan.say(f"{shown(item.path)}: {_one_line(exc)}")
    else:
        plan.done += 1


def summarise(plan: Run) -> int:
    """The last line of a run, and its exit status."""
    if plan.interrupted:
        how = "interrupted" if plan.interrupted == EXIT_INTERRUPTED else f"stopped by a signal ({plan.interrupted})"
        plan.say(f"{how} after {plan.done + plan.failed + plan.skipped} of {len(plan.files)} file(s)")
        return plan.interrupted
    failed = plan.failed + len(plan.problems)
    if not plan.args.quiet:
        total = len(plan.files) + len(plan.problems)
        skipped = f"{plan.skipped} skipped (outputs exist), " if plan.skipped else ""
        no_person = f", {plan.no_person} with no person found" if plan.no_person else ""
        rate = ""
        if plan.clips:
            from .video import frames_summary

            rate = ", " + frames_summary(plan.clips)
        plan.say(f"{plan.done} of {total} matted, {skipped}{failed} failed{no_person}, {plan.seconds:.1f} s "
                 f"on {plan.device}{rate}")
    return EXIT_OK if failed == 0 else EXIT_FAILED


class Stopped(KeyboardInterrupt):
    """A stop signal (SIGTERM, SIGHUP), raised where Ctrl-C would be, so that the same
    clean-up runs; ``status`` is the exit status shells expect for it."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.status = 128 + signum


def _stop(signum: int, frame) -> None:
    import signal

    for name in STOP_SIGNALS:  # one stop is enough: a second must not cut the clean-up short
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
    raise Stopped(signum)


@contextlib.contextmanager
def _stop_signals_handled():
    import signal
    import threading

    previous = {}
    if threading.current_thread() is threading.main_thread():
        for name in STOP_SIGNALS:
            number = getattr(signal, name, None)
            if number is not None and signal.getsignal(number) is not signal.SIG_IGN:
                previous[number] = signal.signal(number, _stop)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _closed_streams_kept_apart() -> None:
    """A standard stream closed by the caller (``2>&-``) gets /dev/null under its descriptor,
    so no file opened later takes the descriptor (FFmpeg and the C++ code would write
    their messages into it); a closed stderr gets a stream on it, so messages go nowhere
    instead of failing.  Closed stdin and stdout stay None: asking for them is refused."""
    for fd, name in ((0, "stdin"), (1, "stdout"), (2, "stderr")):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
            if name == "stderr" and sys.stderr is None:
                sys.stderr = open(fd, "w", closefd=False)


def main(argv: Sequence[str] | None = None) -> int:
    _closed_streams_kept_apart()
    # OpenMP's worker threads spin while they wait for work.  Beside this command's own
    # decode and encode threads, or any other busy process, the spinning took most of
    # the cores: a one-photo run took 13-16 s instead of 3.6-4.2 s on two cores.  Read
    # when torch loads, so set before the first import of it; the user's choice stands.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["serve"]:  # (a file named "serve" is ./serve)
        try:
            from .serve import main as serve
        except ImportError as exc:  # installed without its web packages
            print(f"tavelin serve: {exc.name} is not installed; pip install fastapi uvicorn", file=sys.stderr)
            return EXIT_USAGE
        return serve(arguments[1:])
    # Odd samples (NaN, infinities) are handled where they matter; NumPy's warnings about
    # them are for programmers, not for the people running the command.
    with warnings.catch_warnings(), _stop_signals_handled():
        warnings.simplefilter("ignore", RuntimeWarning)
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    try:
        plan = parse(argv)
        if isinstance(plan, int):
            return plan
        status = run(plan)
        return status if status is not None else summarise(plan)
    except KeyboardInterrupt as exc:  # Ctrl-C or a stop signal before the first file (start-up) or after the last
        sys.stderr.write("tavelin: interrupted\n")
        return getattr(exc, "status", EXIT_INTERRUPTED)
    except ModuleNotFoundError as exc:  # a package the command needs is not installed
        if exc.name is None or "." in exc.name or exc.name.startswith("tavelin"):
            raise
        package = PACKAGES.get(exc.name, exc.name)
        sys.stderr.write(f"tavelin: {exc.name} is not installed here: pip install {package} "
                         "(or reinstall tavelin, which names every package it needs)\n")
        return EXIT_USAGE


# Import names of the packages the command uses, as pip knows them.
PACKAGES = {"cv2": "opencv-python-headless", "PIL": "pillow", "av": "av", "OpenEXR": "openexr", "torch": "torch==2.13.0"}


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
