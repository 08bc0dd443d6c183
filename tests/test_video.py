"""Clips through the real plug-in: every output format, nothing left behind on interruption, and the
host's matte smoothing (steadier on still pictures, no lag on moving ones, one-frame misses carried)."""

import os
import signal
import subprocess
import sys
import threading
import time
from fractions import Fraction
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "host"))

av = pytest.importorskip("av")

from tavelin_host.decoding import read_image  # noqa: E402
from tavelin_host.smoothing import MatteSmoother  # noqa: E402
from testkit.metrics import matte_flicker, matte_lag  # noqa: E402
from tavelin_host.naming import frame_name  # noqa: E402
from tavelin_host.video import matte_video  # noqa: E402
from test_cli import PLUGIN_DIR, needs_plugin  # noqa: E402

W, H, FRAMES, RATE = 64, 48, 8, 25
ROTATION = 90          # stored 64 x 48, shown 48 x 64
SAR = Fraction(4, 3)


def picture_frames(count=FRAMES, shift=0.0, noise=3.0, seed=0):
    """The sample photo (a person) small, optionally panning, with fresh noise per frame; stored orientation."""
    photo = read_image(ROOT / "examples" / "astronaut.png").pixels[:, :, :3]
    base = cv2.resize(np.ascontiguousarray(photo), (H + 16, W + 12), interpolation=cv2.INTER_AREA).astype(np.float32)
    rng = np.random.default_rng(seed)
    frames = []
    for i in range(count):
        m = np.float32([[1, 0, -8 + shift * i], [0, 1, -6]])
        upright = cv2.warpAffine(base, m, (H, W), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT)
        noisy = np.clip(upright + rng.normal(0, noise, upright.shape), 0, 255).astype(np.uint8)
        frames.append(np.ascontiguousarray(np.rot90(noisy, -1)))  # shown upright through the rotation
    return frames


def write_clip(path, frames, codec="libx264", pix_fmt="yuv420p", audio=True, deep=False, options=None):
    with av.open(str(path), "w", options=options) as container:
        video = container.add_stream(codec, rate=RATE)
        video.width, video.height, video.pix_fmt = frames[0].shape[1], frames[0].shape[0], pix_fmt
        video.codec_context.sample_aspect_ratio = SAR
        video.set_display_rotation(ROTATION)
        sound = container.add_stream("aac", rate=48000) if audio else None
        for i, rgb in enumerate(frames):
            frame = (av.VideoFrame.from_ndarray(rgb.astype(np.uint16) * 257, format="rgb48le") if deep
                     else av.VideoFrame.from_ndarray(rgb, format="rgb24"))
            frame.pts, frame.time_base = i, Fraction(1, RATE)
            for packet in video.encode(frame):
                container.mux(packet)
        for packet in video.encode(None):
            container.mux(packet)
        if sound is not None:
            tone = (0.2 * np.sin(np.arange(48000 * FRAMES // RATE) / 9)).astype(np.float32)[None]
            for start in range(0, tone.shape[1], 1024):
                chunk = av.AudioFrame.from_ndarray(np.ascontiguousarray(tone[:, start:start + 1024]),
                                                   format="flt", layout="mono")
                chunk.sample_rate, chunk.pts = 48000, start
                for packet in sound.encode(chunk):
                    container.mux(packet)
            for packet in sound.encode(None):
                container.mux(packet)
    return path


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    frames = picture_frames()
    return {
        "h264": write_clip(folder / "walk.mp4", frames),
        "deep": write_clip(folder / "deep.mov", frames, "prores_aw", "yuv422p10le", audio=False, deep=True),
        "long": write_clip(folder / "long.mp4", picture_frames(40), audio=False),
    }


@pytest.fixture(scope="module")
def host():
    from tavelin_host import Host

    with Host(PLUGIN_DIR, device="cpu", quiet=True) as shared:
        yield shared


def decoded(path):
    """(frames as RGBA arrays, the video stream's facts, audio codec names) as FFmpeg reads them back."""
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        facts = dict(rate=stream.average_rate, sar=stream.sample_aspect_ratio)
        audio = [s.codec_context.name for s in container.streams.audio]
        # VP9 keeps alpha in a side channel that only libvpx decodes.
        decoder = av.CodecContext.create("libvpx-vp9", "r") if stream.codec_context.name == "vp9" else None
        frames, rotations = [], set()
        for packet in container.demux(stream):
            # (the empty packet at the end flushes frames a codec with B-frames holds back)
            for frame in (decoder.decode(packet) if packet.size else []) if decoder else packet.decode():
                frames.append(frame.to_ndarray(format="rgba"))
                facts["pix_fmt"] = frame.format.name
        if decoder is None:
            container.seek(0)
            rotations = {f.rotation for f in container.decode(video=0)}
    return frames, dict(facts, rotations=rotations), audio


def audio_packets(path):
    """(count, total duration in the stream's time base) of a file's audio packets."""
    with av.open(str(path)) as container:
        sizes = [(packet.duration or 0) for packet in container.demux(audio=0) if packet.size]
    return len(sizes), sum(sizes)


def has_person(alpha):
    return alpha.max() > 200 and alpha.min() < 50 and 0.1 < (alpha > 127).mean() < 0.9


CASES = {  # id: (clip, video_format, output, background)
    "prores-4444": ("h264", "mov", "cutout", None),
    "vp9-alpha": ("h264", "webm", "cutout", None),
    "png-16bit": ("deep", "png", "cutout", None),
    "png-matte": ("h264", "png", "matte", None),
    "matte-video": ("h264", "mov", "matte", None),
    "composite": ("h264", "mov", "cutout", "#0000ff"),
    "mp4-composite": ("h264", "mp4", "cutout", "#0000ff"),
}


@needs_plugin
@pytest.mark.parametrize("case", list(CASES))
def test_each_output_format_keeps_frames_timing_geometry_and_alpha(case, clips, host, tmp_path):
    from tavelin_host.background import Background

    clip, video_format, output, background = CASES[case]
    result = matte_video(host, clips[clip], out_dir=tmp_path, output=output, video_format=video_format,
                         background=Background.parse(background) if background else None)
    assert result.frames == FRAMES
    [target] = result.paths
    assert [p.name for p in tmp_path.iterdir()] == [target.name], "only the output, no temporary files"

    if video_format == "png":
        files = sorted(target.iterdir())
        kind = "matte" if output == "matte" else "cutout"
        assert [f.name for f in files] == [frame_name(i, kind) for i in range(1, FRAMES + 1)]
        stored = [cv2.imread(str(f), cv2.IMREAD_UNCHANGED) for f in files]
        want = (np.uint16, (W, H, 4)) if clip == "deep" else (np.uint8, (W, H))  # upright: 48 wide, 64 tall
        assert all(s.dtype == want[0] and s.shape == want[1] for s in stored)
        alphas = [s[:, :, 3] >> 8 if s.ndim == 3 else s for s in stored]
        assert all(has_person(a) for a in alphas)
        return

    frames, facts, audio = decoded(target)
    assert len(frames) == FRAMES and facts["rate"] == RATE
    assert frames[0].shape[:2] == (H, W)
    if video_format in ("mov", "mp4"):
        assert facts["rotations"] == {ROTATION} and audio == ["aac"] and facts["sar"] == SAR
        assert audio_packets(target) == audio_packets(clips[clip])  # none lost before the first frame
    else:  # WebM holds no AAC (converted to Opus), and PyAV cannot give it the pixel aspect: both are said
        notes = " ".join(result.notes)
        assert "audio converted from aac to Opus" in notes and "pixel aspect 4:3 not kept" in notes
        assert audio == ["opus"] and audio_packets(target)[0] >= audio_packets(clips[clip])[0]
    has_alpha = "a" in facts["pix_fmt"].replace("yuv", "")
    assert has_alpha == (output == "cutout" and background is None)
    if has_alpha:
        assert all(has_person(f[:, :, 3]) for f in frames)
    elif background:
        blue = np.all(np.abs(frames[0][:, :, :3].astype(int) - (0, 0, 255)) < 40, axis=2)
        assert 0.1 < blue.mean() < 0.9  # the background shows around the person
    else:  # a grey matte
        grey = frames[0][:, :, :3].astype(int)
        assert np.abs(grey[:, :, 0] - grey[:, :, 2]).max() <= 4 and has_person(frames[0][:, :, 1])


@needs_plugin
def test_several_outputs_of_a_clip_equal_separate_runs(clips, host, tmp_path):
    from tavelin_host.pipeline import MatteOptions

    for kinds in (("cutout",), ("matte",), ("cutout", "matte")):
        options = MatteOptions(out_dir=tmp_path / "+".join(kinds), output=kinds[0], also=kinds[1:],
                               video_format="png")
        result = matte_video(host, clips["h264"], options)
        assert [p.name for p in result.paths] == [f"walk.{kind}" for kind in kinds]
    for kind in ("cutout", "matte"):
        alone, both = tmp_path / kind / f"walk.{kind}", tmp_path / "cutout+matte" / f"walk.{kind}"
        assert [p.read_bytes() for p in sorted(alone.iterdir())] == [p.read_bytes() for p in sorted(both.iterdir())]


@needs_plugin
def test_each_clip_is_one_instance_rendered_frame_by_frame(clips, host, tmp_path, monkeypatch):
    calls = []

    class Recording:
        def __init__(self, plugin):
            self._plugin = plugin

        def render(self, image, params, instance_id, tools):
            calls.append((instance_id, image["width"], image["height"]))
            return self._plugin.render(image, params, instance_id, tools)

    monkeypatch.setattr(host, "plugin", Recording(host.plugin))
    for name in ("h264", "deep"):
        matte_video(host, clips[name], out_dir=tmp_path / name, video_format="png")
    ids = [call[0] for call in calls]
    assert len(ids) == 2 * FRAMES and len(set(ids[:FRAMES])) == 1 and len(set(ids)) == 2
    assert {call[1:] for call in calls} == {(H, W)}  # rendered upright


@needs_plugin
@pytest.mark.parametrize("video_format", ["mov", "png"])
@pytest.mark.parametrize("fault", [KeyboardInterrupt, RuntimeError, FileExistsError])
def test_an_interrupted_or_failed_clip_leaves_nothing(fault, video_format, clips, host, tmp_path):
    """... and a file that appears at the clip's target during the run is kept, the clip failing."""
    target = tmp_path / ("long.cutout" + ("" if video_format == "png" else f".{video_format}"))

    def stop_at_third(done, total):
        if done == 3:
            if fault is FileExistsError:
                target.write_bytes(b"not ours")
            else:
                raise fault("stop")

    before = {t.name for t in threading.enumerate()}
    with pytest.raises(fault):
        matte_video(host, clips["long"], out_dir=tmp_path, video_format=video_format, on_frame=stop_at_third)
    if fault is FileExistsError:
        assert list(tmp_path.iterdir()) == [target] and target.read_bytes() == b"not ours"
    else:
        assert list(tmp_path.iterdir()) == []
    assert {t.name for t in threading.enumerate()} <= before, "decode/encode threads still running"


@needs_plugin
@pytest.mark.parametrize("stop,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_ctrl_c_in_tavelin_exits_130_without_output(clips, tmp_path, stop, status):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))
    command = [sys.executable, "-m", "tavelin_host", clips["long"], "-o", tmp_path, "--plugin-dir", PLUGIN_DIR]
    process = subprocess.Popen(list(map(str, command)), env=env, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not list(tmp_path.glob(".*.part")) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    process.send_signal(stop)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == status, stderr
    assert list(tmp_path.iterdir()) == []


@needs_plugin
def test_clips_in_a_run_are_named_skipped_limited_and_reported_as_stills_are(clips, tmp_path, capsys):
    import shutil

    from tavelin_host import cli

    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    odd = "a\x1b[31m"  # an escape sequence in the name must not reach the terminal
    for suffix in (".mp4", ".avi"):  # one stem, two clips: two outputs
        shutil.copy(clips["h264"], folder / f"{odd}{suffix}")
    args = [str(folder), "-o", str(out), "--video-format", "webm", "--plugin-dir", str(PLUGIN_DIR)]
    assert cli.main(args) == 0
    err = capsys.readouterr().err
    assert sorted(os.listdir(out)) == [f"{odd}.avi.cutout.webm", f"{odd}.mp4.cutout.webm"]
    assert "\x1b" not in err and "a\\033[31m.mp4: audio converted from aac to Opus" in err

    assert cli.main([*args, "--skip-existing"]) == 0  # outputs there: skipped, not failed
    assert "0 of 2 matted, 2 skipped (outputs exist), 0 failed" in capsys.readouterr().err

    assert cli.main([*args[:2], str(tmp_path / "small"), *args[3:], "--max-megapixels", "0.001"]) == 1
    assert "3072 pixels a frame" not in (err := capsys.readouterr().err)
    assert "64 x 48 pixels a frame (0.0031 megapixels) is over the limit of 0.001 megapixels" in err
    assert not (tmp_path / "small").exists() or not os.listdir(tmp_path / "small")


@needs_plugin
@pytest.mark.parametrize("case", ["odd width", "cut short", "cut in its first frames", "file too large"])
def test_awkward_clips_are_written_or_reported_truthfully(case, host, tmp_path, monkeypatch):
    import errno

    from tavelin_host import video
    from tavelin_host.video import VideoWriteError

    out = tmp_path / "out"
    if case == "odd width":  # ProRes through the encoder that takes it; 4096 x 4096 would need it too
        frames = [cv2.resize(f, (321, 241)) for f in picture_frames(3)]
        result = matte_video(host, write_clip(tmp_path / "odd.mkv", frames, "ffv1", "yuv444p", audio=False),
                             out_dir=out)
        decoded_frames, _, _ = decoded(result.paths[0])
        assert len(decoded_frames) == 3 and decoded_frames[0].shape == (241, 321, 4)
        assert video.encoding_for("mov", True, 4096, 4096).codec == "prores_ks"
        assert video.encoding_for("mov", True, 1920, 1080).codec == "prores_aw"  # the fast one where it works
    elif case.startswith("cut"):  # a clip that declares 20 frames, cut in its 12th frame (or in its first ones)
        whole = write_clip(tmp_path / "whole.mp4", picture_frames(20), audio=False, options={"movflags": "faststart"})
        with av.open(str(whole)) as container:
            packets = sorted((p.pos, p.size) for p in container.demux(video=0) if p.size)
        end = packets[11][0] + 3 if case == "cut short" else whole.stat().st_size * 6 // 10
        cut = tmp_path / "cut.mp4"
        cut.write_bytes(whole.read_bytes()[:end])
        if case == "cut in its first frames":  # decoding stopped on an error: a failure, with the count
            with pytest.raises(video.VideoReadError, match=r"frames? of the 20 the clip declares read\)"):
                matte_video(host, cut, out_dir=out, video_format="png")
            return
        result = matte_video(host, cut, out_dir=out, video_format="png")
        assert 0 < result.frames < 20
        assert f"only {result.frames} of the 20 frames the clip declares could be read: it ends early" in result.notes
    else:  # the file size limit (ulimit -f) reached while the clip is written
        def too_large(self, pixels, pts):
            raise OSError(errno.EFBIG, "File too large", str(self.temp))

        monkeypatch.setattr(video._Writer, "frame", too_large)
        with pytest.raises(VideoWriteError) as raised:
            matte_video(host, write_clip(tmp_path / "a.mp4", picture_frames(2), audio=False), out_dir=out)
        assert str(raised.value) == f"cannot write {out / 'a.cutout.mov'}: File too large"
        assert os.listdir(out) == []


@needs_plugin
def test_smoothing_steadies_the_real_matte_of_a_still_clip(host, tmp_path):
    """The same noisy still clip with and without smoothing, through the plug-in, as PNG mattes."""
    # losslessly coded, so the noise reaches the network as it would from a camera
    clip = write_clip(tmp_path / "still.mkv", picture_frames(noise=4.0), "ffv1", "yuv444p", audio=False)
    flicker = {}
    for smooth in (False, True):
        result = matte_video(host, clip, out_dir=tmp_path / str(smooth), output="matte", video_format="png",
                             smooth=smooth)
        mattes = [cv2.imread(str(p), cv2.IMREAD_UNCHANGED) / 255.0 for p in sorted(result.paths[0].iterdir())]
        flicker[smooth] = matte_flicker(mattes)
    assert flicker[False] > 0
    assert flicker[True] <= 0.5 * flicker[False]


def close_up_tilt(count=24, size=(240, 320), seed=0):
    """A slow tilt down a head-and-shoulders portrait, with noise per frame; and a box on the face in each frame."""
    photo = cv2.imread(str(ROOT / "examples" / "people" / "ccby_portrait_suit.jpg"))[:, :, ::-1]
    width, height = size
    window_w = 0.8 * photo.shape[1]
    window_h = window_w * height / width
    x0, scale = (photo.shape[1] - window_w) / 2, width / window_w
    rng = np.random.default_rng(seed)
    frames, faces = [], []
    for i in range(count):  # the lower half of the tilt, where the detector's score wavers most
        y0 = (photo.shape[0] - window_h) * (0.45 + 0.55 * i / (count - 1))
        m = np.float32([[scale, 0, -x0 * scale], [0, scale, -y0 * scale]])
        picture = cv2.warpAffine(photo, m, size, flags=cv2.INTER_AREA)
        noisy = np.clip(picture + rng.normal(0, 3.0, picture.shape), 0, 255).astype(np.uint8)
        frames.append(np.ascontiguousarray(np.rot90(noisy, -1)))  # shown upright through write_clip's rotation
        faces.append(tuple(int(round(v)) for v in ((190 - x0) * scale, (200 - y0) * scale,
                                                     (310 - x0) * scale, (360 - y0) * scale)))
    return frames, faces


@needs_plugin
def test_a_face_close_up_stays_opaque_through_a_slow_tilt(host, tmp_path):
    """The face's coverage in every frame is at least 90 % of its median: no frame blinks off or fades."""
    frames, faces = close_up_tilt()
    clip = write_clip(tmp_path / "tilt.mkv", frames, "ffv1", "yuv444p", audio=False)
    result = matte_video(host, clip, out_dir=tmp_path, output="matte", video_format="png")
    mattes = [cv2.imread(str(p), cv2.IMREAD_UNCHANGED) / 255.0 for p in sorted(result.paths[0].iterdir())]
    coverage = np.array([m[y0:y1, x0:x1].mean() for m, (x0, y0, x1, y1) in zip(mattes, faces)])
    assert np.median(coverage) > 0.9
    assert coverage.min() >= 0.9 * np.median(coverage), np.round(coverage, 2)


def still_scene(count, noise, seed=1):
    """Frames of a still scene with noise, and a person's matte (soft-edged disc) for it."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:60, 0:80]
    person = np.clip(12.0 - np.hypot(yy - 30, xx - 40), 0, 4) / 4  # soft 4-px edge
    picture = np.where(person[:, :, None] > 0.5, 200.0, 60.0) * np.ones(3)
    frames = [np.clip(picture + rng.normal(0, noise, picture.shape), 0, 255).astype(np.uint8) for _ in range(count)]
    return frames, person.astype(np.float32), rng


@pytest.mark.parametrize("scene", ["still", "moving edge", "one-frame miss", "two-frame miss"])
def test_smoothing_over_time(scene):
    if scene == "still":  # the network's matte wavers at the edge: smoothing at least halves it
        frames, person, rng = still_scene(12, noise=3.0)
        raw = [np.clip(person + rng.normal(0, 0.1, person.shape) * (person > 0) * (person < 1), 0, 1)
               .astype(np.float32) for _ in frames]
        smoother = MatteSmoother()
        smooth = [smoother.update(f, m) for f, m in zip(frames, raw)]
        assert matte_flicker(smooth) <= 0.5 * matte_flicker(raw)
    elif scene == "moving edge":  # a bright bar moving 2 px a frame: the matte keeps up with it
        xx = np.arange(80)[None, :].repeat(60, axis=0)
        raw, frames = [], []
        for t in range(10):
            bar = np.clip((30 + 2 * t) - xx, 0, 1).astype(np.float32)
            raw.append(bar)
            frames.append(np.repeat((60 + 140 * bar)[:, :, None], 3, axis=2).astype(np.uint8))
        smoother = MatteSmoother()
        smooth = [smoother.update(f, m) for f, m in zip(frames, raw)]
        assert abs(matte_lag(smooth, raw)) < 0.05
        assert max(np.abs(s - r).max() for s, r in zip(smooth, raw)) < 0.1
    else:  # the network loses the person for one frame (or two) of a still picture
        frames, person, _ = still_scene(6, noise=1.0)
        empty = np.zeros_like(person)
        misses = {3} if scene == "one-frame miss" else {3, 4}
        raw = [empty if t in misses else person for t in range(6)]
        smoother = MatteSmoother()
        smooth = [smoother.update(f, m) for f, m in zip(frames, raw)]
        kept = (smooth[3] > 0.5).sum() / (person > 0.5).sum()
        assert kept > 0.9, "the person is carried through one missed frame"
        if scene == "two-frame miss":
            assert (smooth[4] > 0.5).sum() < 0.5 * (person > 0.5).sum(), "a second miss in a row is believed"
            assert (smooth[5] > 0.5).sum() > 0.9 * (person > 0.5).sum(), "a person who returns is taken at once"
