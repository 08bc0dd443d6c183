"""Clips: every frame through the plug-in, out as alpha video, a grey matte video or a PNG sequence.

Three threads overlap the work: one decodes (PyAV, which bundles FFmpeg),
the calling thread renders each frame through the plug-in as the host does
(one plug-in object, ``render`` awaited per frame, one instance id for the
whole clip), and one encodes and writes.  Audio packets travel with the
frames and are copied unchanged into containers that can hold them.

Outputs appear only when complete: a container is written to a hidden
temporary file and a PNG sequence to a hidden temporary folder in the
destination, then renamed; an error or Ctrl-C removes them.
"""
from __future__ import annotations

import contextlib
import os
import queue
import shutil
import threading
import time
from dataclasses import dataclass, field, replace
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Collection, MutableSet

import numpy as np

from .atomic import create_temporary, place, temporary_folder
from .images import HostImage, from_float, host_dtype, to_float
from .naming import frame_name, video_output_path
from .names import shown

if TYPE_CHECKING:
    from .pipeline import MatteOptions, Renderer

QUEUE_FRAMES = 4          # frames in flight between two stages
POLL_SECONDS = 0.1        # how often a blocked stage looks for a stop request
END = object()            # end of the stream between stages
VIDEO_RANGE = 1           # FFmpeg's AVCOL_RANGE_MPEG: luma 16..235 (64..940 at 10 bits), as editors expect


class VideoReadError(Exception):
    """The file is not a clip FFmpeg can decode, or it is damaged."""


class VideoWriteError(Exception):
    """The clip could not be encoded or written."""


@dataclass(frozen=True)
class Encoding:
    """How one kind of output is stored: FFmpeg muxer, codec, pixel format, options."""

    container: str
    suffix: str
    codec: str
    pix_fmt: str
    profile: str | None = None
    options: dict = field(default_factory=dict)


_VP9 = {"crf": "20", "b": "0", "deadline": "good", "cpu-used": "4", "row-mt": "1", "auto-alt-ref": "0"}
ENCODINGS = {
    # ProRes 4444 carries alpha and is what editors import; 422 HQ for opaque pictures.  FFmpeg's
    # prores_aw encoder: about three times the speed of prores_ks, and it runs on frame threads.
    ("mov", True): Encoding("mov", ".mov", "prores_aw", "yuva444p10le", "4444", {"vendor": "apl0"}),
    ("mov", False): Encoding("mov", ".mov", "prores_aw", "yuv422p10le", "HQ", {"vendor": "apl0"}),
    ("webm", True): Encoding("webm", ".webm", "libvpx-vp9", "yuva420p", None, _VP9),
    ("webm", False): Encoding("webm", ".webm", "libvpx-vp9", "yuv420p", None, _VP9),
    # A file to share: H.264 (or HEVC, tagged hvc1 so Apple players take it), 4:2:0, no alpha.
    ("mp4", False): Encoding("mp4", ".mp4", "libx264", "yuv420p", None, {"crf": "18", "preset": "medium"}),
}
HEVC = Encoding("mp4", ".mp4", "libx265", "yuv420p", None,
                {"crf": "22", "preset": "medium", "x265-params": "log-level=error"})
# Audio a container cannot hold as it is gets converted: WebM holds Opus, MP4 AAC.
AUDIO_FOR = {"webm": ("libopus", 48000), "mp4": ("aac", None), "mov": ("aac", None)}
# prores_aw refuses odd widths, and its 4444 profile fails on frames of 65,535 macroblocks
# and more (4096 x 4096 and up); prores_ks, a third of its speed, takes both.
PRORES_AW_MOST_BLOCKS = 65280  # 4096 x 4080, the largest tried to work


def encoding_for(video_format: str, alpha: bool, width: int, height: int, codec: str = "h264",
                 crf: int | None = None, bitrate: str | None = None) -> Encoding:
    """How a clip of ``width`` x ``height`` (as stored) is encoded; ``codec`` ("h264" or "hevc"),
    ``crf`` and ``bitrate`` (as FFmpeg takes it: 8M, 2500k) for MP4 and WebM."""
    if video_format == "mp4":
        if alpha:
            raise VideoWriteError("mp4 holds no transparency: write the cut-out as mov or webm, or give a "
                                  "--background (or --output matte) for an mp4")
        if width % 2 or height % 2:
            raise VideoWriteError(f"H.264 and HEVC in mp4 need an even width and height, not {width} x {height}: "
                                  "use mov or webm")
    encoding = HEVC if video_format == "mp4" and codec == "hevc" else ENCODINGS[(video_format, alpha)]
    if video_format in ("mp4", "webm") and (crf is not None or bitrate is not None):
        options = dict(encoding.options)
        if crf is not None:
            options["crf"] = str(crf)
        if bitrate is not None:
            options["b"] = bitrate
            if crf is None:
                options.pop("crf", None)  # a bitrate alone: rate-controlled, not constant quality
        encoding = replace(encoding, options=options)
    if encoding.codec == "prores_aw":
        blocks = -(-width // 16) * -(-height // 16)
        if width % 2 or (alpha and blocks > PRORES_AW_MOST_BLOCKS):
            encoding = Encoding(encoding.container, encoding.suffix, "prores_ks", encoding.pix_fmt, encoding.profile,
                                dict(encoding.options))
    return encoding


@dataclass
class ClipInfo:
    """What the decoder found in a clip."""

    width: int                  # as stored
    height: int
    rotation: int               # display rotation, degrees counter-clockwise (0, 90, 180, -90)
    rate: Fraction
    time_base: Fraction
    frames: int                 # best estimate, for progress only
    declared_frames: int        # the count the container states, 0 when it states none
    deep: bool                  # more than 8 bits per sample
    sample_aspect_ratio: Fraction | None
    colour: dict                # colorspace, color_primaries, color_trc of the source
    audio: list                 # the audio streams (PyAV stream objects of the probe container)

    @property
    def bit_depth(self) -> int:
        return 16 if self.deep else 8


@dataclass
class VideoResult:
    """What a clip gave: the output, its frames, and the seconds they took (after the first frame,
    whose render includes loading the network)."""

    paths: list[Path]
    frames: int
    seconds: float
    notes: list[str]
    timed_frames: int = 0

    @property
    def fps(self) -> float:
        return self.timed_frames / self.seconds if self.seconds > 0 else 0.0


# --------------------------------------------------------------------------- naming


# --------------------------------------------------------------------------- reading


def _open_input(path: Path) -> Any:
    import av

    try:
        container = av.open(str(path), "r")
    except (av.FFmpegError, OSError, UnicodeDecodeError) as exc:
        raise VideoReadError(_ffmpeg_message(exc) or "not a clip that can be read") from None
    if not container.streams.video:
        container.close()
        raise VideoReadError("no video stream")
    return container


def probe(container: Any) -> ClipInfo:
    stream = container.streams.video[0]
    ctx = stream.codec_context
    rate = stream.average_rate or stream.guessed_rate or stream.base_rate or Fraction(25)
    time_base = stream.time_base or Fraction(1, 90000)
    frames = stream.frames
    if not frames and stream.duration:
        frames = round(stream.duration * time_base * rate)
    if not frames and container.duration:
        frames = round(container.duration / 1_000_000 * rate)
    fmt = ctx.format
    deep = fmt is not None and max((c.bits for c in fmt.components), default=8) > 8
    colour = {name: getattr(ctx, name, 0) for name in ("colorspace", "color_primaries", "color_trc")}
    return ClipInfo(
        width=ctx.width, height=ctx.height, rotation=0, rate=Fraction(rate), time_base=Fraction(time_base),
        frames=int(frames or 0), declared_frames=int(stream.frames or 0), deep=deep, sample_aspect_ratio=stream.sample_aspect_ratio or None,
        colour=colour, audio=list(container.streams.audio),
    )


def _upright(pixels: np.ndarray, rotation: int) -> np.ndarray:
    turns = (rotation // 90) % 4
    return np.rot90(pixels, turns) if turns else pixels


def _stored(pixels: np.ndarray, rotation: int) -> np.ndarray:
    turns = (rotation // 90) % 4
    return np.ascontiguousarray(np.rot90(pixels, -turns)) if turns else pixels


def _frame_pixels(frame: Any, deep: bool) -> np.ndarray:
    """Host samples of a decoded frame, upright: uint8 RGB, or float32 0..1 RGB for deep sources."""
    kwargs = {"src_color_range": frame.color_range} if frame.color_range else {}
    if deep:
        pixels = to_float(frame.to_ndarray(format="rgb48le", **kwargs))
    else:
        pixels = frame.to_ndarray(format="rgb24", **kwargs)
    return np.ascontiguousarray(_upright(pixels, frame.rotation or 0))


# --------------------------------------------------------------------------- the pipeline


class _Stage(threading.Thread):
    """A worker thread whose failure is kept for the caller to raise."""

    def __init__(self, name: str, work: Callable[[], None]):
        super().__init__(name=name, daemon=True)
        self._work = work
        self.error: BaseException | None = None
        self.queue: queue.Queue | None = None  # what the stage reads or fills

    def run(self) -> None:
        try:
            self._work()
        except BaseException as exc:  # handed to the rendering thread
            self.error = exc


def _put(q: queue.Queue, item: Any, stop: threading.Event, consumer: _Stage | None = None) -> bool:
    """Queue ``item``; False once a stop is requested; a consumer's failure is raised here."""
    while not stop.is_set():
        try:
            q.put(item, timeout=POLL_SECONDS)
            return True
        except queue.Full:
            if consumer is not None and consumer.error is not None:
                raise consumer.error
    return False


def _get(q: queue.Queue, stop: threading.Event, producer: _Stage | None = None) -> Any:
    """The next item, or END on a stop request; a producer's failure is raised here."""
    while True:
        try:
            return q.get(timeout=POLL_SECONDS)
        except queue.Empty:
            if stop.is_set():
                return END
            if producer is not None and not producer.is_alive():
                if producer.error is not None:
                    raise producer.error
                return END


class _Writer:
    """Encodes frames into a container (in a temporary file) or PNG files (in a temporary folder)."""

    def __init__(self, target: Path, video_format: str, kind: str, info: ClipInfo, audio: list, notes: list[str],
                 codec: str = "h264", crf: int | None = None, bitrate: str | None = None):
        self.target = target
        self.video_format = video_format
        self.kind = kind
        self.info = info
        self.notes = notes
        self.frames = 0
        self.container = None
        self.temp: Path | None = None
        self.audio_map: dict = {}
        self.transcoders: dict = {}  # source stream index -> its audio converted for this container
        if video_format == "png":
            try:
                with _stop_signals_held():
                    self.temp = temporary_folder(target)
            except BaseException:
                self.discard()
                raise
            if audio:
                notes.append("audio not kept: a PNG sequence has no sound")
            return
        import av

        self._early_audio: list = []
        try:
            # The temporary is made and recorded with stop signals held back: a Ctrl-C
            # or SIGTERM in between would leave a file that nothing knows to remove.
            with _stop_signals_held():
                fd, temp = create_temporary(target)
                self.temp = Path(temp)
                os.close(fd)
            self.encoding = encoding_for(video_format, kind == "cutout", info.width, info.height, codec, crf, bitrate)
            self.container = av.open(temp, "w", format=self.encoding.container)
            self.stream = self._video_stream()
            for source in audio:
                name = source.codec_context.name if source.codec_context else "this"
                if name in _HELD_AS_IS.get(video_format, (name,)):
                    try:
                        self.audio_map[source.index] = self.container.add_stream_from_template(source)
                        continue
                    except (ValueError, av.FFmpegError):
                        pass
                try:
                    self.transcoders[source.index] = _AudioConverter(self.container, source, *AUDIO_FOR[video_format])
                    self.audio_map[source.index] = self.transcoders[source.index].stream
                    notes.append(f"audio converted from {name} to {self.transcoders[source.index].name}: "
                                 f"{video_format} cannot hold {name}")
                except (KeyError, ValueError, av.FFmpegError):
                    notes.append(f"audio not kept: {video_format} cannot hold {name} audio")
        except BaseException:
            self.discard()
            raise

    def _video_stream(self) -> Any:
        info, enc = self.info, self.encoding
        stream = self.container.add_stream(enc.codec, rate=info.rate, options=dict(enc.options))
        stream.width, stream.height = info.width, info.height
        stream.pix_fmt = enc.pix_fmt
        if enc.profile:
            stream.profile = enc.profile
        if enc.codec == "libx265":
            stream.codec_context.codec_tag = "hvc1"
        stream.time_base = info.time_base
        stream.codec_context.time_base = info.time_base
        stream.codec_context.thread_type = "AUTO"
        stream.codec_context.thread_count = 0
        if info.sample_aspect_ratio:
            stream.codec_context.sample_aspect_ratio = info.sample_aspect_ratio
            if enc.container == "webm" and info.sample_aspect_ratio != 1:
                # Matroska takes the aspect from the stream record, which PyAV cannot set.
                sar = info.sample_aspect_ratio
                self.notes.append(f"pixel aspect {sar.numerator}:{sar.denominator} not kept: webm output has square pixels")
        # The source's colour description carries over; samples are written in video range.
        for name, value in info.colour.items():
            if value:
                try:
                    setattr(stream.codec_context, name, value)
                except (AttributeError, ValueError, TypeError):
                    pass
        stream.codec_context.color_range = VIDEO_RANGE
        return stream

    def audio(self, packet: Any) -> None:
        out = self.audio_map.get(packet.stream_index)
        if out is None or packet.dts is None:
            return
        converter = self.transcoders.get(packet.stream_index)
        packets = converter.convert(packet) if converter is not None else [packet]
        for packet in packets:
            packet.stream = out
            if self.frames == 0:
                self._early_audio.append(packet)  # the header waits for the first frame's rotation
            else:
                self.container.mux(packet)

    def frame(self, pixels: np.ndarray, pts: int | None) -> None:
        self.frames += 1
        if self.frames == 1 and self.container is not None:
            if self.info.rotation:
                self.stream.set_display_rotation(self.info.rotation)
            self._encode(pixels, pts)
            for packet in self._early_audio:
                self.container.mux(packet)
            self._early_audio.clear()
            return
        if self.video_format == "png":
            from .encoding import encode_image

            deep = self.info.deep
            samples = from_float(to_float(pixels), np.uint16) if deep and pixels.dtype != np.uint16 else pixels
            data = encode_image(samples, ".png")
            (self.temp / frame_name(self.frames, self.kind)).write_bytes(data)
            return
        self._encode(pixels, pts)

    def _encode(self, pixels: np.ndarray, pts: int | None) -> None:
        import av

        pixels = _stored(pixels, self.info.rotation)
        frame = av.VideoFrame.from_ndarray(*_av_samples(pixels))
        frame.pts = pts
        frame.time_base = self.info.time_base
        colorspace = self.info.colour.get("colorspace") or None
        frame = frame.reformat(format=self.encoding.pix_fmt, dst_colorspace=colorspace, dst_color_range=VIDEO_RANGE)
        for packet in self.stream.encode(frame):
            self.container.mux(packet)

    def finish(self) -> None:
        if self.container is not None:
            for packet in self.stream.encode(None):
                self.container.mux(packet)
            for converter in self.transcoders.values():
                for packet in converter.convert(None):
                    self.container.mux(packet)
            self.container.close()
            self.container = None

    def discard(self) -> None:
        if self.container is not None:
            try:
                self.container.close()
            except Exception:
                pass
            self.container = None
        if self.temp is None:
            return
        if self.temp.is_dir():
            shutil.rmtree(self.temp, ignore_errors=True)
        else:
            try:
                self.temp.unlink()
            except FileNotFoundError:
                pass

    def publish(self, overwrite: bool) -> None:
        """Move the finished output to its name (never over an existing one unless ``overwrite``)."""
        place(self.temp, self.target, overwrite)


# Audio codecs each container takes as they are (others are converted; mov takes most).
_HELD_AS_IS = {"webm": ("opus", "vorbis"), "mp4": ("aac", "mp3", "alac", "ac3", "eac3", "opus", "flac")}


class _AudioConverter:
    """One audio stream decoded and encoded again for a container that cannot hold it,
    its timing kept from the source's (Opus runs at 48 kHz; AAC at the source's rate)."""

    def __init__(self, container: Any, source: Any, codec: str, rate: int | None):
        import av

        context = source.codec_context
        rate = rate or context.sample_rate or 48000
        self.stream = container.add_stream(codec, rate=rate)
        layout = context.layout.name if context.layout and context.layout.nb_channels <= 2 else "stereo"
        self.stream.layout = layout
        self.name = "Opus" if codec == "libopus" else codec.upper()
        self.decoder = av.CodecContext.create(context.name, "r")
        if context.extradata:
            self.decoder.extradata = context.extradata
        self.decoder.sample_rate, self.decoder.layout = context.sample_rate, context.layout
        self.resampler = av.AudioResampler(format=self.stream.codec_context.format, layout=layout, rate=rate)
        self.time_base = source.time_base
        self.rate = rate
        self.next_pts: int | None = None

    def convert(self, packet: Any) -> list:
        """The packets ``packet`` encodes to (None: the last ones)."""
        from fractions import Fraction

        frames = self.decoder.decode(packet)
        out = []
        for frame in [*frames, *([None] if packet is None else [])]:
            for piece in self.resampler.resample(frame):
                if self.next_pts is None:  # the first sound keeps its place against the pictures
                    start = frame.pts if frame is not None and frame.pts is not None else 0
                    self.next_pts = round(start * self.time_base * self.rate)
                piece.pts, piece.time_base = self.next_pts, Fraction(1, self.rate)
                self.next_pts += piece.samples
                out.extend(self.stream.encode(piece))
        if packet is None:
            out.extend(self.stream.encode(None))
        return out


class _Writers:
    """One writer per output of a clip (a cut-out and its matte, say), fed by one encode
    stage; each gets the audio, and they are published together: all of them or none."""

    def __init__(self) -> None:
        self.writers: dict[str, _Writer] = {}

    @property
    def audio_map(self) -> dict:
        return {index: True for writer in self.writers.values() for index in writer.audio_map}

    def audio(self, packet: Any) -> None:
        writers = list(self.writers.values())
        # Muxing hands a packet's data over, so every writer but the first gets a copy.
        for writer, copy in zip(writers, [packet, *(_packet_copy(packet) for _ in writers[1:])]):
            writer.audio(copy)

    def frame(self, outputs: dict, pts: int | None) -> None:
        for kind, writer in self.writers.items():
            writer.frame(outputs[kind], pts)

    def finish(self) -> None:
        for writer in self.writers.values():
            writer.finish()

    def discard(self) -> None:
        for writer in self.writers.values():
            writer.discard()

    def publish(self, overwrite: bool) -> None:
        placed = []
        try:
            for writer in self.writers.values():
                writer.publish(overwrite)
                placed.append(writer.target)
        except BaseException:
            if not overwrite:  # the ones already in place were new: they go again
                for target in placed:
                    shutil.rmtree(target, ignore_errors=True) if target.is_dir() else target.unlink(missing_ok=True)
            raise


def _packet_copy(packet: Any) -> Any:
    import av

    copy = av.Packet(bytes(packet))
    copy.pts, copy.dts, copy.duration, copy.time_base = packet.pts, packet.dts, packet.duration, packet.time_base
    copy.stream = packet.stream
    return copy


@contextlib.contextmanager
def _stop_signals_held():
    """Ctrl-C and the stop signals wait (on the main thread) until the block is done."""
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_sigmask"):
        yield
        return
    held = {getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _av_samples(pixels: np.ndarray) -> tuple[np.ndarray, str]:
    """An array and its PyAV format name: grey, RGB or RGBA, 8 or 16 bits."""
    if pixels.dtype != np.uint8 and pixels.dtype != np.uint16:
        pixels = from_float(to_float(pixels), np.uint16)
    if pixels.ndim == 3 and pixels.shape[2] == 1:
        pixels = pixels[:, :, 0]
    deep = pixels.dtype == np.uint16
    if pixels.ndim == 2:
        return np.ascontiguousarray(pixels), "gray16le" if deep else "gray"
    names = {3: ("rgb24", "rgb48le"), 4: ("rgba", "rgba64le")}[pixels.shape[2]]
    return np.ascontiguousarray(pixels), names[deep]


def _ffmpeg_message(exc: BaseException) -> str:
    text = getattr(exc, "strerror", None) or str(exc)
    return text.strip().splitlines()[0] if text.strip() else ""


def matte_video(
    host: "Renderer",
    source: str | os.PathLike,
    options: "MatteOptions | None" = None,
    *,
    inputs: Collection[Path] = (),
    claimed: MutableSet[Path] | None = None,
    on_frame: Callable[[int, int], None] | None = None,
    stem: str | None = None,
    **fields: Any,
) -> VideoResult:
    """Matte every frame of ``source`` and write one output; returns what was written and how fast.

    ``options`` (or, without them, MatteOptions ``fields``) as for a still: the output
    "cutout" (alpha video) or "matte" (grey video), or with a background "composite"
    (an ordinary video), in ``video_format``; frames over ``max_pixels`` are refused; with
    ``skip_existing`` an output already there raises pipeline.Skipped.  Each frame is
    finished as a still is; previews are for stills only.  ``on_frame(done, total)`` is
    called after each rendered frame (total is an estimate, 0 when unknown).  ``stem``
    names the output (see naming).
    """
    from .pipeline import MatteOptions, Skipped, check_targets

    if options is None:
        options = MatteOptions(**fields)
    elif fields:
        raise TypeError(f"options and {', '.join(fields)} given together")
    options = replace(options, preview=False)
    source = Path(source)
    claimed = claimed if claimed is not None else set()
    out_dir = options.out_dir
    if not set(options.kinds) <= {"cutout", "matte", "composite"}:
        raise ValueError(f"output must be cutout or matte, got {options.output!r}")
    targets = {kind: video_output_path(source, kind, options.video_format, out_dir, stem) for kind in options.kinds}
    if options.skip_existing and all(os.path.lexists(target) for target in targets.values()):
        raise Skipped(f"{', '.join(shown(target) for target in targets.values())} exist(s)")

    probe_container = _open_input(source)
    stop = threading.Event()
    stages: list[_Stage] = []
    writer: _Writers | None = None
    # One try from here on: whatever stops the run (an error, Ctrl-C at any point) removes
    # the temporary output and leaves no thread behind.
    try:
        info = probe(probe_container)
        _check_frame_size(info.width, info.height, options.max_pixels)
        check_targets(targets, source, inputs, claimed, options.overwrite)
        if out_dir is not None:
            Path(out_dir).mkdir(parents=True, exist_ok=True)
        notes: list[str] = []
        writer = _Writers()
        for kind, target in targets.items():  # listed as made, so a failure discards those made before
            writer.writers[kind] = _Writer(target, options.video_format, kind, info, info.audio,
                                           notes if not writer.writers else [], options.video_codec,
                                           options.crf, options.bitrate)
        reader, encoder = _start_stages(probe_container, writer, info, stop, stages, options.max_pixels)
        frames, seconds, smoother = _render_frames(host, reader, encoder, info, stop, options, on_frame)
        encoder.join()
        if encoder.error is not None:
            raise encoder.error
        writer.publish(options.overwrite)
    except BaseException as exc:
        stop.set()
        for stage in stages:
            if stage.is_alive():
                stage.join()
        if not stages:
            probe_container.close()
        if writer is not None:
            writer.discard()
            for one in writer.writers.values():
                about_output = _naming_the_output(exc, one.temp, one.target) if one.temp is not None else None
                if about_output is not None:
                    raise about_output from None
        raise
    claimed.update(Path(os.path.realpath(target)) for target in targets.values())
    if frames < info.declared_frames:
        notes.append(f"only {frames} of the {info.declared_frames} frames the clip declares could be read: "
                     "it ends early")
    if smoother is not None and smoother.carried_frames:
        notes.append(f"a person was carried through {smoother.carried_frames} one-frame miss(es)")
    return VideoResult(list(targets.values()), frames, seconds, notes, max(frames - 1, 0))


def _naming_the_output(exc: BaseException, temp: Path, target: Path) -> VideoWriteError | None:
    """An error about the hidden temporary output (a full disk, a file size limit) told
    about the output the user asked for; None when it is about something else."""
    text, hidden = str(exc), str(temp)
    filename = getattr(exc, "filename", None)
    if not (isinstance(filename, str) and filename.startswith(hidden)) and hidden not in text:
        return None
    reason = getattr(exc, "strerror", None) or _ffmpeg_message(exc).replace(hidden, str(target))
    where = str(target) + (filename[len(hidden):] if isinstance(filename, str) and filename.startswith(hidden) else "")
    return VideoWriteError(f"cannot write {shown(where)}: {reason}")


def _check_frame_size(width: int, height: int, max_pixels: int | None) -> None:
    if max_pixels is not None and width * height > max_pixels:
        from .decoding import megapixels

        raise VideoReadError(f"{width} x {height} pixels a frame ({megapixels(width * height)} megapixels) is over "
                             f"the limit of {megapixels(max_pixels)} megapixels (--max-megapixels raises it)")


def _start_stages(container: Any, writer: _Writer, info: ClipInfo, stop: threading.Event,
                  stages: list[_Stage], max_pixels: int | None = None) -> tuple[_Stage, _Stage]:
    """The decoding and encoding threads, started; ``stages`` lists them as soon as they exist."""
    decoded: queue.Queue = queue.Queue(QUEUE_FRAMES)
    rendered: queue.Queue = queue.Queue(QUEUE_FRAMES)
    audio_indices = set(writer.audio_map)

    def decode() -> None:
        import av

        decoded_frames = 0
        try:
            streams = [container.streams.video[0], *(s for s in container.streams.audio if s.index in audio_indices)]
            streams[0].thread_type = "AUTO"
            for packet in _demuxed(container, streams, lambda: decoded_frames, info):
                if stop.is_set():
                    return
                if packet.stream.type == "audio":
                    if not _put(decoded, ("audio", packet), stop):
                        return
                    continue
                try:
                    frames = packet.decode()
                except av.FFmpegError as exc:
                    where = f"near {packet.pts}" if packet.pts is not None else "at its end"
                    raise VideoReadError(f"damaged {where}: {_ffmpeg_message(exc)} "
                                         f"({_frames_read(decoded_frames, info)})") from None
                for frame in frames:
                    decoded_frames += 1
                    _check_frame_size(frame.width, frame.height, max_pixels)  # a frame may grow mid-clip
                    item = ("frame", _frame_pixels(frame, info.deep), frame.pts, frame.rotation or 0)
                    if not _put(decoded, item, stop):
                        return
            _put(decoded, END, stop)
        finally:
            container.close()

    def encode() -> None:
        while True:
            item = _get(rendered, stop)
            if item is END:
                if not stop.is_set():
                    writer.finish()
                return
            if item[0] == "audio":
                writer.audio(item[1])
            else:
                writer.frame(item[1], item[2])

    reader = _Stage("tavelin-decode", decode)
    encoder = _Stage("tavelin-encode", encode)
    reader.queue, encoder.queue = decoded, rendered
    for stage in (reader, encoder):
        stages.append(stage)
        stage.start()
    return reader, encoder


def _frames_read(count: int, info: ClipInfo) -> str:
    declared = f" of the {info.declared_frames} the clip declares" if info.declared_frames else ""
    return f"{count} frame{'s' if count != 1 else ''}{declared} read"


def _demuxed(container: Any, streams: list, decoded: Callable[[], int], info: ClipInfo):
    """The container's packets; a read error (a file cut short in a frame, say) is told as
    such with the frames read so far, whatever error number FFmpeg's reader gave."""
    import av

    packets = container.demux(streams)
    while True:
        try:
            packet = next(packets)
        except StopIteration:
            return
        except av.FFmpegError as exc:
            raise VideoReadError(f"damaged or cut short after {_frames_read(decoded(), info)} "
                                 f"({_ffmpeg_message(exc)})") from None
        yield packet


def _render_frames(host: "Renderer", reader: _Stage, encoder: _Stage, info: ClipInfo, stop: threading.Event,
                   options: "MatteOptions", on_frame: Callable[[int, int], None] | None):
    """Render every decoded frame, finish it as a still is (the smoothed matte in place of
    the rendered one) and pass the output on; returns (frames, seconds after the first
    frame, the smoother or None)."""
    from .pipeline import finish_frame
    from .smoothing import MatteSmoother

    instance_id = host.new_instance_id()  # one clip, one instance
    smoother = MatteSmoother() if options.smooth else None
    dtype = host_dtype(info.bit_depth)
    step = max(1, round(1 / (info.rate * info.time_base)))
    frames, started, last_pts = 0, time.perf_counter(), None
    batch_size = getattr(host, "frames_per_batch", 1)  # a cluster takes frames in batches
    batch: list[tuple[HostImage, np.ndarray, int]] = []

    def flush() -> bool:
        nonlocal frames, started
        images = [image for image, _, _ in batch]
        results = host.render_images(images, output=options.rendered, resize_mode=options.resize_mode,
                                     instance_id=instance_id)
        for (image, pixels, pts), result in zip(batch, results):
            matte = None
            if smoother is not None:
                plane = result.pixels[:, :, 3 if result.channels == 4 else 0]
                matte = from_float(smoother.update(pixels, to_float(plane)), dtype)
            outputs = finish_frame(image, result, options, matte)
            if not _put(encoder.queue, ("frame", outputs, pts), stop, encoder):
                return False
            frames += 1
            if frames == 1:
                started = time.perf_counter()  # the first render also loads and compiles the network
            if on_frame is not None:
                on_frame(frames, max(info.frames, frames))
        batch.clear()
        return True

    decoded = 0
    while True:
        item = _get(reader.queue, stop, reader)
        if item is END:
            break
        if item[0] == "audio":
            _put(encoder.queue, item, stop, encoder)
            continue
        _, pixels, pts, rotation = item
        if decoded == 0:
            info.rotation = rotation  # the writer reads it with the first frame
            shape = pixels.shape
        elif pixels.shape != shape:
            raise VideoReadError(f"the frame size changes from {shape[1]} x {shape[0]} to {pixels.shape[1]} x "
                                 f"{pixels.shape[0]} at frame {decoded + 1}: clips of one size only")
        decoded += 1
        pts = pts if pts is not None else (last_pts + step if last_pts is not None else 0)
        last_pts = pts
        batch.append((HostImage(pixels, info.bit_depth), pixels, pts))
        if len(batch) >= batch_size and not flush():
            break
    if batch and reader.error is None and not stop.is_set():
        flush()
    if reader.error is not None:
        raise reader.error
    if frames == 0:
        raise VideoReadError("no frames could be decoded")
    _put(encoder.queue, END, stop, encoder)
    return frames, (time.perf_counter() - started if frames > 1 else 0.0), smoother


def frames_summary(results: list[VideoResult]) -> str:
    """``240 frames at 8.1 fps`` over the clips of a run."""
    frames = sum(r.frames for r in results)
    timed, seconds = sum(r.timed_frames for r in results), sum(r.seconds for r in results)
    rate = f" at {timed / seconds:.1f} fps" if timed and seconds > 0 else ""
    return f"{frames} frame{'s' if frames != 1 else ''}{rate}"


__all__ = [
    "ENCODINGS", "VideoReadError", "VideoResult", "VideoWriteError",
    "matte_video",
]
