"""Cost of the person-finding stage inside the network file.

The float32 .pt as the plug-in loads it, against the same network built
without the stage, on photos with 0, 1 and 4 people (and a close-up portrait)
at 256 x 256 (mode 1) and 1920 x 1080 (mode 0), each row beside its goal;
then the stage's two networks against the TFLite runtime doing the same runs
the stage does for one person at mode 1 (the images counted on an eager
build); then how many detector and segmenter images the stage runs on the
review photos in each resize mode, which shows where the tiles come in;
last, where a 1920 x 1080 frame's time goes, step by step.
One thread, float32, CPU; times are the best of several runs in the thread's
CPU time (which a shared machine's other processes inflate far less than
wall time), the file called as the plug-in calls it.
"""
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.dirname(os.path.abspath(__file__))]

import cv2  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402
from torch import nn  # noqa: E402
from common import as_the_plugin, timings  # noqa: E402

from models.matting import SOURCE_SIZE, scaled_copy  # noqa: E402

PLUGIN_MODELS = os.path.join(ROOT, "build", "plugin", "Tavelin", "models")
PEOPLE = os.path.join(ROOT, "examples", "people")
# Whole file, best of 5, milliseconds: (long side, people) -> goal.
GOALS_MS = {(256, "0"): 30, (256, "1"): 70, (256, "4"): 120, (1920, "0"): 70, (1920, "1"): 100, (1920, "4"): 150}
# Mode 1 with one person: the stage's networks may take at most this many
# times the TFLite runtime's time for the same runs.
GOAL_RATIO = 1.3
# The plug-in's resize modes: 0 keeps the photo's size, the others stretch it to a square.
MODE_SIZES = (0, 256, 512, 1024)


def photo(name, w, h):
    return cv2.resize(cv2.imread(os.path.join(PEOPLE, name)), (w, h), interpolation=cv2.INTER_AREA)


def fitted(name, w, h, background):
    """The photo scaled to fit w x h with its aspect kept, centred on ``background`` (w x h)."""
    image = cv2.imread(os.path.join(PEOPLE, name))
    s = min(w / image.shape[1], h / image.shape[0])
    pw, ph = max(1, round(image.shape[1] * s)), max(1, round(image.shape[0] * s))
    out = background.copy()
    x0, y0 = (w - pw) // 2, (h - ph) // 2
    out[y0:y0 + ph, x0:x0 + pw] = cv2.resize(image, (pw, ph), interpolation=cv2.INTER_AREA)
    return out


def scenes(w, h):
    """BGR images with 0, 1 and 4 people and a close-up portrait, w x h.

    Square frames stretch the photos, as the plug-in's modes 1-3 do.  A wide
    frame is what a camera gives: the photos keep their aspect, on the
    colonnade (no person) as background; stretched to 16:9 the batter was too
    broad for the detector and the frame held nobody.
    """
    hw, hh = w // 2, h // 2
    if w == h:
        place = photo
    else:
        def place(name, pw, ph):
            return fitted(name, pw, ph, photo("noperson_colonnade.jpg", pw, ph))
    four = np.vstack([np.hstack([place("pexels_batter_standing.jpg", hw, hh), place("pexels_pitcher_profile.jpg", w - hw, hh)]),
                      np.hstack([place("pexels_tennis_man_fence.jpg", hw, h - hh),
                                 place("pexels_snowboarder_backlit.jpg", w - hw, h - hh)])])
    return {"0": photo("noperson_colonnade.jpg", w, h), "1": place("pexels_batter_standing.jpg", w, h), "4": four,
            "portrait": photo("codait_portrait_man.jpg", w, h)}


def best_time(fn, repeat=9, warmup=2):
    # One thread, run in this thread (TFLite's too): its CPU time is the wall time of a quiet machine.
    return min(timings(fn, repeat, warmup, time.thread_time))


class Counting(nn.Module):
    """Passes calls on to ``net`` and records each call's batch."""

    def __init__(self, net):
        super().__init__()
        self.net = net
        self.batches = []

    def forward(self, x):
        self.batches.append(tuple(x.shape))
        return self.net(x)


def counted(stage):
    """The eager stage's networks wrapped in counters (possible in eager mode only); returns them."""
    if not isinstance(stage.detector, Counting):
        stage.detector = Counting(stage.detector)
        stage.segmenter = Counting(stage.segmenter)
    stage.detector.batches.clear()
    stage.segmenter.batches.clear()
    return stage.detector, stage.segmenter


def find(stage, image):
    """(found, detector batches, segmenter batches) of the eager stage on a BGR image.

    With no detection the segmenter's look at the whole frame is counted too, though
    the network file skips it where the selfie network sees no subject at all.
    """
    det, seg = counted(stage)
    bgr = torch.from_numpy(image).float().permute(2, 0, 1)[None]
    h, w = image.shape[:2]
    with torch.no_grad():
        small = scaled_copy(bgr, SOURCE_SIZE)
        everywhere, crops, _, undetected = stage.find(small, h, w)
        if undetected and stage.frame_person(small, h, w):
            everywhere = True
    found = f"{crops.shape[0]}{'+all' if everywhere else ''}"
    return found, list(det.batches), list(seg.batches)


def images(batches):
    return sum(b[0] for b in batches)


def tflite_runs(threads):
    """{network: a call running it once} in the TFLite runtime."""
    from ai_edge_litert.interpreter import Interpreter

    from models.people import DETECTOR_MODEL, SEGMENTER_MODEL

    out = {}
    for key, path in (("detector", DETECTOR_MODEL), ("segmenter", SEGMENTER_MODEL)):
        interp = Interpreter(model_path=str(path), num_threads=threads)
        interp.allocate_tensors()
        detail = interp.get_input_details()[0]
        interp.set_tensor(detail["index"], np.random.default_rng(0).random(detail["shape"], dtype=np.float32))
        out[key] = interp.invoke
    return out


def whole_file(with_stage, selfie_only, stage):
    print("\nWhole network file (float32, CPU, 1 thread), best of 9; goals on the stage's column")
    print(f"{'input':>10} {'people':>8} {'found':>6} {'selfie only ms':>15} {'with stage ms':>14} {'ratio':>6}"
          f" {'goal ms':>8}  met")
    for w, h in ((256, 256), (1920, 1080)):
        for n, image in scenes(w, h).items():
            x = torch.Tensor(image)
            with as_the_plugin():
                base = best_time(lambda: selfie_only(x))
                full = best_time(lambda: with_stage(x))
            goal = GOALS_MS.get((w, n))
            verdict = "" if goal is None else ("yes" if full * 1e3 <= goal else "NO")
            print(f"{f'{w}x{h}':>10} {n:>8} {find(stage, image)[0]:>6} {base * 1e3:>15.1f} "
                  f"{full * 1e3:>14.1f} {full / base:>6.2f} {'-' if goal is None else f'<= {goal}':>8}  {verdict}")


def against_tflite(with_stage, stage):
    """The stage's scripted networks (from the file) on the batches the stage runs for one person at mode 1."""
    _, det_batches, seg_batches = find(stage, scenes(256, 256)["1"])
    people = with_stage.matting.people
    rng = torch.Generator().manual_seed(0)
    try:
        tflite = tflite_runs(1)
    except ImportError:
        print("\nTFLite runtime (ai-edge-litert) not installed: no comparison")
        return
    ours, theirs = {}, {}
    with as_the_plugin():
        for key, net, batches in (("detector", people.detector, det_batches),
                                  ("segmenter", people.segmenter, seg_batches)):
            inputs = [torch.rand(shape, generator=rng) for shape in batches]
            # TFLite's files take one image: a batch of k is k runs.
            runs = [tflite[key]] * images(batches)
            # Taken in turns, so that a shared machine's slow spells fall on both.
            ours[key], theirs[key] = 1e9, 1e9
            for turn in range(15):
                warmup = 2 if turn == 0 else 0
                ours[key] = min(ours[key], best_time(lambda: [net(x) for x in inputs], repeat=1, warmup=warmup))
                theirs[key] = min(theirs[key], best_time(lambda: [run() for run in runs], repeat=1, warmup=warmup))
    print(f"\nOne person at mode 1 (256 x 256): detector batches {[b[0] for b in det_batches]}, "
          f"segmenter batches {[b[0] for b in seg_batches]}; 1 thread, best of 15 turns each")
    for key in ("detector", "segmenter"):
        print(f"  {key:<10} torch {ours[key] * 1e3:6.1f} ms   TFLite {theirs[key] * 1e3:6.1f} ms   "
              f"x{ours[key] / theirs[key]:.2f}")
    a, b = sum(ours.values()), sum(theirs.values())
    print(f"  {'together':<10} torch {a * 1e3:6.1f} ms   TFLite {b * 1e3:6.1f} ms   x{a / b:.2f}"
          f"   goal <= {GOAL_RATIO:g}x: {'yes' if a <= GOAL_RATIO * b else 'NO'}")


def runs_per_mode(stage):
    names = sorted(n for n in os.listdir(PEOPLE) if n.endswith(".jpg"))
    print("\nImages the stage ran on the review photos, detector/segmenter (found people; +all: selfie matte everywhere)")
    head = " ".join(f"{'mode %d (%s)' % (m, s or 'own'):>18}" for m, s in enumerate(MODE_SIZES))
    print(f"{'photo':<32} {'own size':>10} {head}")
    totals = [[0, 0] for _ in MODE_SIZES]
    for name in names:
        original = cv2.imread(os.path.join(PEOPLE, name))
        h, w = original.shape[:2]
        cells = []
        for m, size in enumerate(MODE_SIZES):
            image = original if size == 0 else cv2.resize(original, (size, size))
            found, det, seg = find(stage, image)
            totals[m][0] += images(det)
            totals[m][1] += images(seg)
            cells.append(f"{images(det)}/{images(seg)} ({found})")
        print(f"{name[:-4][:32]:<32} {f'{w}x{h}':>10} " + " ".join(f"{c:>18}" for c in cells))
    print(f"{'total':<32} {'':>10} " + " ".join(f"{f'{d}/{s}':>18}" for d, s in totals))


def breakdown(w=1920, h=1080):
    """Where a w x h frame's time goes: the eager module's steps, each timed where it is called.

    Eager, so the steps can be wrapped; the file runs the same steps scripted.
    Per scene: the step's time per frame (best of 5 frames), and the whole frame.
    """

    from models import guided_filter, matting
    from models.convert import build_module

    module = build_module()
    stage = module.people
    spent = {}

    def timed(owner, name, label):
        inner = getattr(owner, name)

        def call(*args):
            start = time.perf_counter()
            out = inner(*args)
            spent[label] = spent.get(label, 0.0) + time.perf_counter() - start
            return out
        setattr(owner, name, call)

    class Timed(nn.Module):
        def __init__(self, net, label):
            super().__init__()
            self.net, self.label = net, label

        def forward(self, x):
            start = time.perf_counter()
            out = self.net(x)
            spent[self.label] = spent.get(self.label, 0.0) + time.perf_counter() - start
            return out

    timed(stage, "letterbox", "detector resize")
    stage.detector = Timed(stage.detector, "detector")
    timed(matting, "scaled_copy", "scaled copy")
    stage.segmenter = Timed(stage.segmenter, "segmenter")
    timed(module, "probability", "selfie (resize + net)")
    timed(stage, "fuse", "zone and paste")
    timed(guided_filter, "guided_coefficients", "guided filter solve")
    timed(guided_filter, "apply_coefficients", "guided filter apply")
    labels = ["scaled copy", "detector resize", "detector", "segmenter", "selfie (resize + net)",
              "zone and paste", "guided filter solve", "guided filter apply"]
    print(f"\nWhere the time goes at {w} x {h} (eager module, 1 thread, ms per frame, the frame with the best total of 5)")
    print(f"{'people':>8} " + " ".join(f"{label[:12]:>12}" for label in labels) + f" {'other':>8} {'total':>8}")
    for n, image in scenes(w, h).items():
        x = torch.Tensor(image)
        best = None
        with torch.no_grad():
            for i in range(7):
                spent.clear()
                start = time.perf_counter()
                module(x)
                total = time.perf_counter() - start
                if i >= 2 and (best is None or total < best[0]):
                    best = (total, dict(spent))
        total, steps = best
        other = total - sum(steps.values())
        print(f"{n:>8} " + " ".join(f"{steps.get(label, 0.0) * 1e3:12.1f}" for label in labels)
              + f" {other * 1e3:8.1f} {total * 1e3:8.1f}")


def main():
    from models.convert import FLOAT32_FILE, build_module, script_module

    path = os.path.join(PLUGIN_MODELS, FLOAT32_FILE)
    if not os.path.exists(path):
        print("models not built: run `make models`")
        return 1
    torch.set_num_threads(1)
    with_stage = torch.jit.load(path).eval()
    selfie_only = script_module(build_module(people=False)).eval()
    stage = build_module().people  # eager: its networks can be wrapped to count what runs
    print(f"load average (1, 5, 15 min): {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    whole_file(with_stage, selfie_only, stage)
    against_tflite(with_stage, stage)
    runs_per_mode(stage)
    breakdown()
    print(f"\nload average (1, 5, 15 min): {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
