"""Small TorchScript matting networks and an independent NumPy/OpenCV
computation of what a render must return, for the model-loading and render
tests."""

import os
from typing import List

import cv2
import numpy as np
import torch
from torch import nn

from host_double import API, Tools, drive, save_networks  # noqa: F401 (re-exported)

SIZES = [0, 256, 512, 1024]
LUMA_MATTE, CUTOUT = 1, 2


class Net(nn.Module):
    """An h x w x 3 BGR 0..255 input to an h x w x 2 output whose channel 0 is the matte.

    kind "smooth": matte = sigmoid of a linear function of B, G, R (values in (0, 1)).
    kind "over": matte = 2 B / 255 - 0.5 (values from -0.5 to 1.5), NaN where G is 13.
    shrink: the output has half the input's height and width.
    raise_at_512: the network refuses a 512 x 512 input (the warm-up).
    Every call records a copy of its input and the gradient mode it ran under,
    and refuses an input whose dtype differs from its own.
    """

    seen: List[torch.Tensor]
    grad: List[bool]

    def __init__(self, tag: int = 0, kind: str = "smooth", shrink: bool = False, raise_at_512: bool = False,
                 record: bool = True):
        super().__init__()
        self.w = nn.Parameter(torch.tensor([0.011, -0.007, 0.005]))
        self.b = nn.Parameter(torch.tensor(-0.4))
        self.tag = tag
        self.over = kind == "over"
        self.shrink = shrink
        self.raise_at_512 = raise_at_512
        self.record = record
        self.seen = []
        self.grad = []

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.record:
            self.seen.append(x.detach().clone())
            self.grad.append(torch.is_grad_enabled())
        if x.dtype != self.w.dtype:
            raise RuntimeError("input dtype does not match the network's")
        if self.raise_at_512 and x.shape[0] == 512 and x.shape[1] == 512:
            raise ValueError("this network takes no 512 x 512 input")
        if self.over:
            m = x[:, :, 0] / 255.0 * 2.0 - 0.5
            m = torch.where(x[:, :, 1] == 13.0, torch.full_like(m, float("nan")), m)
        else:
            m = torch.sigmoid(x[:, :, 0] * self.w[0] + x[:, :, 1] * self.w[1] + x[:, :, 2] * self.w[2] + self.b)
        out = torch.stack([m, 1.0 - m], dim=2)
        if self.shrink:
            out = out[::2, ::2]
        return out


def make_plugin_dir(path, **net_options):
    """Both weight files; the full-precision file's network has tag 32, the half file's tag 16."""
    save_networks(str(path), Net(tag=32, **net_options), Net(tag=16, **net_options))
    return str(path)


def load_reference_net(plugin_dir, dtype):
    from host_double import FULL_MODEL, HALF_MODEL

    net = torch.jit.load(os.path.join(plugin_dir, "models", HALF_MODEL if dtype is torch.float16 else FULL_MODEL))
    if dtype is torch.float16:
        net.half()
    net.eval()
    net.record = False
    return net


_shared = {}


def shared_plugin(plugin_dir, dtype=torch.float32):
    """One loaded plug-in per weight files and precision, for tests that only look at outputs."""
    key = (plugin_dir, dtype)
    if key not in _shared:
        plugin, api = new_plugin("cpu", dtype)
        plugin.load_model("cpu", dtype, Tools(plugin_dir))
        _shared[key] = plugin, api
    plugin, api = _shared[key]
    api.events.items.clear()
    return plugin, api


def new_plugin(device="cpu", dtype=torch.float32):
    import Tavelin

    api = API(device, dtype)
    return Tavelin.Tavelin(api), api


def render(plugin, api, plugin_dir, array, params, bit_depth=8, instance_id=None):
    image = {"array": array, "bit_depth": bit_depth}
    return drive(plugin.render(image, params, instance_id, Tools(plugin_dir, api.events)))


def expected_output(net, rgb, bit_depth, resize_mode, output, dtype):
    """What a render returns, computed step by step with NumPy and OpenCV."""
    H, W = rgb.shape[:2]
    image_np = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)
    if bit_depth != 8:
        image_np = (np.clip(image_np, 0, 1) * 255).astype(np.uint8)
    ref_size = SIZES[int(resize_mode)]
    needs_resize = ref_size != 0
    net_in = cv2.resize(image_np, (ref_size, ref_size)) if needs_resize else image_np
    tensor = torch.Tensor(net_in)
    if dtype is torch.float16:
        tensor = tensor.half()
    with torch.no_grad():
        matte = net(tensor)[:, :, 0:1].detach().cpu().numpy().astype(np.float32)
    if needs_resize:
        matte = np.expand_dims(cv2.resize(matte, (W, H)), axis=2)
    elif matte.shape[:2] != (H, W) and output == CUTOUT:
        matte = np.expand_dims(cv2.resize(matte, (W, H), interpolation=cv2.INTER_LANCZOS4), axis=2)
    if bit_depth == 8:
        alpha = (np.clip(matte, 0, 1) * 255).astype(np.uint8)[:, :, 0]
        colour = cv2.cvtColor(image_np, cv2.COLOR_BGR2RGB)
    else:
        alpha = matte.astype(np.float32)[:, :, 0]
        colour = rgb[:, :, :3].astype(np.float32)
    if output == LUMA_MATTE:
        out = np.repeat(alpha[:, :, np.newaxis], 3, axis=2)
    else:
        out = np.dstack((colour, alpha))
    if out.shape[:2] != (H, W):
        out = cv2.resize(out, (W, H), interpolation=cv2.INTER_LANCZOS4)
    return out


def random_rgb(rng, h, w, bit_depth=8, channels=3):
    if bit_depth == 8:
        return rng.integers(0, 256, size=(h, w, channels), dtype=np.uint8)
    return rng.random((h, w, channels), dtype=np.float32)
