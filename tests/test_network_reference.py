"""The rebuilt networks against a real TFLite runtime, tensor by tensor: the two
selfie segmenters, the person detector and the full-body segmenter."""

import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
import torch

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from models.convert import GENERAL_MODEL, LANDSCAPE_MODEL  # noqa: E402
from models.layers import build_net, flat_net  # noqa: E402
from models.people import DETECTOR_MODEL, SEGMENTER_MODEL  # noqa: E402
from models.tflite_reader import read_graph  # noqa: E402

litert = pytest.importorskip("ai_edge_litert.interpreter", reason="needs the TFLite runtime ai-edge-litert")

pytestmark = [pytest.mark.filterwarnings("ignore:.*experimental_preserve_all_tensors"),
              pytest.mark.filterwarnings("ignore:.*torch.jit.script.*:DeprecationWarning")]

MODELS = {"general": GENERAL_MODEL, "landscape": LANDSCAPE_MODEL,
          "detector": DETECTOR_MODEL, "full_body": SEGMENTER_MODEL}
# The detector takes RGB in [-1, 1], the others in [0, 1].
SIGNED_INPUT = {"detector"}
# Outputs that are probabilities, or logits compared as probabilities (sigmoid):
# (output position, is logit).  Other outputs (boxes, landmarks) compare as they are.
PROBABILITIES = {"general": [(0, False)], "landscape": [(0, False)],
                 "detector": [(1, True)], "full_body": [(1, False), (2, True)]}
# Every tensor agrees within 1e-4 of its range, each operator fed the runtime's
# own inputs ("isolated") and, except in the deeper full-body graph, also run
# as a whole ("chained").  That graph has ill-conditioned layers where even a
# float64 rebuild drifts from the runtime by 6e-4 and a ReLU6 at its limit
# flips, so there the whole run is checked at its outputs only.
CHAINED = {"general", "landscape", "detector"}
# Largest |probability difference| at the outputs; the full-body graph's drift
# (above) moves single pixels of its segmentation near the 0.5 boundary; the
# mean difference stays below 1e-5 everywhere.
PROBABILITY_TOLERANCE = {"general": 2e-4, "landscape": 2e-4, "detector": 2e-4, "full_body": 1e-2}


def photo(h, w):
    rgb = cv2.cvtColor(cv2.imread(str(ROOT / "examples" / "astronaut.png")), cv2.COLOR_BGR2RGB)
    return cv2.resize(rgb, (w, h), interpolation=cv2.INTER_AREA).astype(np.float32)[None] / 255.0


def inputs(name, kind, h, w):
    rng = np.random.default_rng(7)
    if kind == "photo":
        x = photo(h, w)
    elif kind == "photo_flipped":  # a person on the other side, with a darker exposure
        x = photo(h, w)[:, :, ::-1].copy() * 0.6
    else:
        x = rng.random((1, h, w, 3), dtype=np.float32)
    return x * 2.0 - 1.0 if name in SIGNED_INPUT else x


def nhwc(t):
    """One of our tensors in the file's layout (four-axis tensors travel as NCHW)."""
    return (t.permute(0, 2, 3, 1) if t.dim() == 4 else t).numpy()


@pytest.fixture(scope="module", params=sorted(MODELS))
def model(request):
    path = MODELS[request.param]
    graph = read_graph(path)
    slots = {}
    net = torch.jit.script(build_net(graph, slots).eval())
    interp = litert.Interpreter(model_path=str(path), experimental_preserve_all_tensors=True)
    interp.allocate_tensors()
    return request.param, graph, slots, net, interp


def run_both(model, kind):
    name, graph, slots, net, interp = model
    _, h, w, _ = graph.tensors[graph.inputs[0]].shape
    x = inputs(name, kind, h, w)
    interp.set_tensor(interp.get_input_details()[0]["index"], x)
    interp.invoke()
    vals = [torch.from_numpy(x).permute(0, 3, 1, 2)]
    with torch.no_grad():
        for op in net.ops:
            vals.append(op(vals))
    return graph, slots, interp, vals


def as_probability(a, is_logit):
    return 1.0 / (1.0 + np.exp(-np.clip(a, -80, 80))) if is_logit else a


@pytest.mark.parametrize("kind", ["photo", "photo_flipped", "random"])
@pytest.mark.parametrize("feed", ["chained", "isolated"])
def test_every_tensor_matches_the_runtime(model, kind, feed):
    graph, slots, interp, vals = run_both(model, kind)
    net = model[3]
    if feed == "chained" and model[0] not in CHAINED:
        pytest.skip("checked operator by operator and at the outputs")
    # Convolution outputs that only feed an activation are folded away: no slot.
    kept = [op.outputs[0] for op in graph.operators if op.outputs[0] in slots]
    assert len(kept) > len(graph.operators) // 2
    if feed == "isolated":  # every operator gets the runtime's own values of its inputs
        for t in kept + [graph.inputs[0]]:
            ref = torch.from_numpy(np.array(interp.get_tensor(t)))
            vals[slots[t]] = ref.permute(0, 3, 1, 2) if ref.dim() == 4 else ref
    for t in kept:
        ref = interp.get_tensor(t)
        if feed == "isolated":
            with torch.no_grad():
                ours = nhwc(net.ops[slots[t] - 1](vals))
        else:
            ours = nhwc(vals[slots[t]])
        assert ours.shape == ref.shape, graph.tensors[t].name
        scale = 1.0 + np.abs(ref).max()
        assert np.abs(ours - ref).max() <= 1e-4 * scale, graph.tensors[t].name


@pytest.mark.parametrize("kind", ["photo", "photo_flipped", "random"])
def test_outputs_match_the_runtime(model, kind):
    graph, slots, interp, vals = run_both(model, kind)
    name, net = model[0], model[3]
    x = vals[0]
    with torch.no_grad():
        outs = net(x)
    outs = [outs] if isinstance(outs, torch.Tensor) else list(outs)
    assert len(outs) == len(graph.outputs)
    probabilities = dict(PROBABILITIES[name])
    for i, t in enumerate(graph.outputs):
        ref = interp.get_tensor(t)
        ours = nhwc(outs[i])
        assert ours.shape == ref.shape, graph.tensors[t].name
        if i in probabilities:
            logit = probabilities[i]
            error = np.abs(as_probability(ours, logit) - as_probability(ref, logit))
            diff = float(error.max())
            print(f"{graph.tensors[t].name}: max |probability difference| = {diff:.3g}, mean {error.mean():.3g}")
            assert diff < PROBABILITY_TOLERANCE[name], graph.tensors[t].name
            assert error.mean() < 1e-5, graph.tensors[t].name
        else:
            assert np.abs(ours - ref).max() <= 1e-4 * (1.0 + np.abs(ref).max()), graph.tensors[t].name
    if kind == "photo" and name in ("general", "landscape"):  # subject and background both in it
        ref = interp.get_tensor(graph.outputs[0])
        assert (ref > 0.9).mean() > 0.2 and (ref < 0.1).mean() > 0.2


def test_half_precision_network_stays_close(model):
    name = model[0]
    graph, slots, interp, vals = run_both(model, "photo")
    half = torch.jit.script(build_net(graph).eval()).half()
    with torch.no_grad():
        outs = half(vals[0].half())
    outs = [outs] if isinstance(outs, torch.Tensor) else list(outs)
    for i, logit in PROBABILITIES[name]:
        ref = as_probability(interp.get_tensor(graph.outputs[i]), logit)
        ours = as_probability(nhwc(outs[i].float()), logit)
        error = np.abs(ours - ref)
        if ref.size > 1:  # a map
            assert error.mean() < 2e-3
        if name in CHAINED or ref.size == 1:
            assert error.max() < 0.1
        else:  # the drift of the deep graph (above), larger in float16: a few boundary pixels
            assert (error > 0.1).mean() < 1e-3


@pytest.mark.parametrize("half", [False, True])
def test_flat_network_runs_the_same_operations(model, half):
    # What the files hold: each network as one generated forward.  It must give
    # exactly the operator modules' results, on a batch, and with half-precision
    # weights on a float32 input (the CPU path of the float16 file).
    name, graph, slots, net, interp = model
    module = build_net(graph).eval()
    flat = torch.jit.script(flat_net(module))
    ops = torch.jit.script(module)
    if half:
        flat, ops = flat.half(), ops.half()
    x = torch.from_numpy(np.concatenate([inputs(name, kind, *net.input_shape[2:]) for kind in ("photo", "random")]))
    x = x.permute(0, 3, 1, 2)
    threads = torch.get_num_threads()
    try:
        for n in (threads, 1):  # one thread picks other kernels, where the two must still agree
            torch.set_num_threads(n)
            with torch.no_grad():
                expected, actual = ops(x), flat(x)
            expected = [expected] if isinstance(expected, torch.Tensor) else list(expected)
            actual = [actual] if isinstance(actual, torch.Tensor) else list(actual)
            assert len(actual) == len(expected)
            for a, e in zip(actual, expected):
                assert a.dtype == e.dtype and a.shape == e.shape and torch.equal(a, e)
    finally:
        torch.set_num_threads(threads)
