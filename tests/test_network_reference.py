"""The rebuilt network against a real TFLite runtime, tensor by tensor."""

import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
import torch

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from models.convert import GENERAL_MODEL, LANDSCAPE_MODEL  # noqa: E402
from models.layers import build_net  # noqa: E402
from models.tflite_reader import read_graph  # noqa: E402

litert = pytest.importorskip("ai_edge_litert.interpreter", reason="needs the TFLite runtime ai-edge-litert")

pytestmark = [pytest.mark.filterwarnings("ignore:.*experimental_preserve_all_tensors"),
              pytest.mark.filterwarnings("ignore:.*torch.jit.script.*:DeprecationWarning")]

MODELS = {"general": GENERAL_MODEL, "landscape": LANDSCAPE_MODEL}


def photo(h, w):
    rgb = cv2.cvtColor(cv2.imread(str(ROOT / "examples" / "astronaut.png")), cv2.COLOR_BGR2RGB)
    return cv2.resize(rgb, (w, h), interpolation=cv2.INTER_AREA).astype(np.float32)[None] / 255.0


def inputs(kind, h, w):
    rng = np.random.default_rng(7)
    if kind == "photo":
        return photo(h, w)
    if kind == "photo_flipped":  # a person on the other side, with a darker exposure
        return photo(h, w)[:, :, ::-1].copy() * 0.6
    return rng.random((1, h, w, 3), dtype=np.float32)


@pytest.fixture(scope="module", params=sorted(MODELS))
def model(request):
    path = MODELS[request.param]
    graph = read_graph(path)
    slots = {}
    net = torch.jit.script(build_net(graph, slots).eval())
    interp = litert.Interpreter(model_path=str(path), experimental_preserve_all_tensors=True)
    interp.allocate_tensors()
    return graph, slots, net, interp


def run_both(model, kind):
    graph, slots, net, interp = model
    _, h, w, _ = graph.tensors[graph.inputs[0]].shape
    x = inputs(kind, h, w)
    interp.set_tensor(interp.get_input_details()[0]["index"], x)
    interp.invoke()
    vals = [torch.from_numpy(x).permute(0, 3, 1, 2)]
    with torch.no_grad():
        for op in net.ops:
            vals.append(op(vals))
    return graph, slots, interp, vals


@pytest.mark.parametrize("kind", ["photo", "photo_flipped", "random"])
def test_every_tensor_matches_the_runtime(model, kind):
    graph, slots, interp, vals = run_both(model, kind)
    # Convolution outputs that only feed an activation are folded away: no slot.
    kept = [op.outputs[0] for op in graph.operators if op.outputs[0] in slots]
    assert len(kept) > len(graph.operators) // 2
    for t in kept:
        ref = interp.get_tensor(t)
        ours = vals[slots[t]].permute(0, 2, 3, 1).numpy()
        assert ours.shape == ref.shape, graph.tensors[t].name
        scale = 1.0 + np.abs(ref).max()
        assert np.abs(ours - ref).max() <= 1e-4 * scale, graph.tensors[t].name


@pytest.mark.parametrize("kind", ["photo", "photo_flipped", "random"])
def test_probability_matches_the_runtime(model, kind):
    graph, slots, interp, vals = run_both(model, kind)
    out = graph.outputs[0]
    ref = interp.get_tensor(out)
    ours = vals[slots[out]].permute(0, 2, 3, 1).numpy()
    diff = float(np.abs(ours - ref).max())
    print(f"max |probability difference| = {diff:.3g}")
    assert diff < 2e-4
    if kind == "photo":  # the photo has both subject and background in it
        assert (ref > 0.9).mean() > 0.2 and (ref < 0.1).mean() > 0.2


def test_half_precision_network_stays_close(model):
    graph, slots, interp, _ = run_both(model, "photo")
    ref = interp.get_tensor(graph.outputs[0])
    _, h, w, _ = graph.tensors[graph.inputs[0]].shape
    x = torch.from_numpy(photo(h, w)).permute(0, 3, 1, 2)
    half = torch.jit.script(build_net(graph).eval()).half()
    with torch.no_grad():
        ours = half(x.half()).float().permute(0, 2, 3, 1).numpy()
    assert np.abs(ours - ref).mean() < 2e-3
    assert np.abs(ours - ref).max() < 0.1
