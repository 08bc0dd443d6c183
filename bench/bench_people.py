"""Cost of the person-finding stage inside the network file.

The float32 .pt as the plug-in loads it, against the same network built
without the stage, on photos with 0, 1 and 4 people at 256 x 256 (mode 1)
and 1920 x 1080 (mode 0); then the stage's two networks against the TFLite
runtime running the same files (detector per run, segmenter per pass) with
one person at mode 1.  One thread, as the plug-in runs on this platform.
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.dirname(os.path.abspath(__file__))]

import cv2  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402
from common import timings  # noqa: E402

PLUGIN_MODELS = os.path.join(ROOT, "build", "plugin", "Tavelin", "models")
PEOPLE = os.path.join(ROOT, "examples", "people")
# Mode 1 with one person: the stage's networks may take at most this many
# times the TFLite runtime's time for the same runs.
GOAL_RATIO = 2.0


def photo(name, w, h):
    return cv2.resize(cv2.imread(os.path.join(PEOPLE, name)), (w, h), interpolation=cv2.INTER_AREA)


def scenes(w, h):
    """BGR images with 0, 1 and 4 people and a close-up portrait, w x h (stretched, as the plug-in's modes do)."""
    hw, hh = w // 2, h // 2
    four = np.vstack([np.hstack([photo("pexels_batter_standing.jpg", hw, hh), photo("pexels_pitcher_profile.jpg", w - hw, hh)]),
                      np.hstack([photo("pexels_tennis_man_fence.jpg", hw, h - hh),
                                 photo("pexels_snowboarder_backlit.jpg", w - hw, h - hh)])])
    return {"0": photo("noperson_colonnade.jpg", w, h), "1": photo("pexels_batter_standing.jpg", w, h), "4": four,
            "portrait": photo("codait_portrait_man.jpg", w, h)}


def best_time(fn, repeat=5, warmup=2):
    return min(timings(fn, repeat, warmup))


def people_found(module, image):
    bgr = torch.from_numpy(image).float().permute(2, 0, 1)[None]
    with torch.no_grad():
        scores, _ = module.people.detect(bgr)
    return int(scores.shape[0])


def tflite_times(threads):
    from ai_edge_litert.interpreter import Interpreter

    from models.people import DETECTOR_MODEL, SEGMENTER_MODEL

    out = {}
    for key, path in (("detector", DETECTOR_MODEL), ("segmenter", SEGMENTER_MODEL)):
        interp = Interpreter(model_path=str(path), num_threads=threads)
        interp.allocate_tensors()
        detail = interp.get_input_details()[0]
        interp.set_tensor(detail["index"], np.random.default_rng(0).random(detail["shape"], dtype=np.float32))
        out[key] = best_time(interp.invoke, repeat=20, warmup=3)
    return out


def main():
    from models.convert import FLOAT32_FILE, build_module, script_module

    path = os.path.join(PLUGIN_MODELS, FLOAT32_FILE)
    if not os.path.exists(path):
        print("models not built: run `make models`")
        return 1
    torch.set_num_threads(1)
    with_stage = torch.jit.load(path).eval()
    selfie_only = script_module(build_module(people=False)).eval()
    eager = build_module()  # for counting the people the stage finds

    print("\nWhole network file (float32, CPU, 1 thread), best of 5:")
    print(f"{'input':>10} {'people':>8} {'found':>6} {'selfie only ms':>15} {'with stage ms':>14} {'ratio':>6}")
    for w, h in ((256, 256), (1920, 1080)):
        for n, image in scenes(w, h).items():
            x = torch.Tensor(image)
            with torch.no_grad():
                base = best_time(lambda: selfie_only(x))
                full = best_time(lambda: with_stage(x))
            print(f"{f'{w}x{h}':>10} {n:>8} {people_found(eager, image):>6} {base * 1e3:>15.1f} "
                  f"{full * 1e3:>14.1f} {full / base:>6.2f}")

    # The stage's networks alone, against the TFLite runtime on the same files.
    stage = with_stage.matting.people
    det_in = torch.rand(1, 3, 224, 224) * 2 - 1
    seg_in = torch.rand(1, 3, 256, 256)
    with torch.no_grad():
        det = best_time(lambda: stage.detector(det_in), repeat=10)
        seg = best_time(lambda: stage.segmenter(seg_in), repeat=10)
    try:
        ref = tflite_times(1)
    except ImportError:
        print("\nTFLite runtime (ai-edge-litert) not installed: no comparison")
        return 0
    runs = 5 if bool(stage.tiles) else 1
    passes = int(stage.passes)
    ours = runs * det + passes * seg
    theirs = runs * ref["detector"] + passes * ref["segmenter"]
    print(f"\nOne person at mode 1: {runs} detector run(s), {passes} segmenter pass(es); 1 thread, best times")
    print(f"  detector   torch {det * 1e3:6.1f} ms   TFLite {ref['detector'] * 1e3:6.1f} ms   x{det / ref['detector']:.2f}")
    print(f"  segmenter  torch {seg * 1e3:6.1f} ms   TFLite {ref['segmenter'] * 1e3:6.1f} ms   x{seg / ref['segmenter']:.2f}")
    verdict = "yes" if ours <= GOAL_RATIO * theirs else "NO"
    print(f"  together   torch {ours * 1e3:6.1f} ms   TFLite {theirs * 1e3:6.1f} ms   x{ours / theirs:.2f}"
          f"   within {GOAL_RATIO:g}x: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
