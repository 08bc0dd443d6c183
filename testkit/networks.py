"""Small TorchScript matting networks written as the plug-in's two weight files,
for the tests and the benchmarks."""

import os
import warnings
from typing import List

import numpy as np
import torch
from torch import nn

from tavelin_host.contract import FLOAT16_WEIGHTS, FLOAT32_WEIGHTS, MODELS_DIR


class BlueMatte(nn.Module):
    """matte = blue / 255: the network sees BGR, so that is input channel 0."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :, 0:1] / 255.0


class SlowBlue(nn.Module):
    """BlueMatte that first works for a while: as many 768 x 768 matrix products as the
    blue value (0..255) of the input's first pixel, so a request's picture sets its render time."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        work = torch.ones(768, 768, dtype=x.dtype, device=x.device)
        for _ in range(int(x[0, 0, 0].item())):
            work = torch.mm(work, work) / 768.0
        return x[:, :, 0:1] / 255.0 + 0.0 * work[0, 0]


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


def script(module):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return torch.jit.script(module)


def save_networks(plugin_dir, module=None, half_module=None):
    """Scripts `module` (BlueMatte by default) and writes it as both weight files under
    plugin_dir/models (`half_module` as the half-precision file when given); returns
    plugin_dir as a string."""
    os.makedirs(os.path.join(str(plugin_dir), MODELS_DIR), exist_ok=True)
    full = script(module if module is not None else BlueMatte())
    full.save(weight_file(plugin_dir, half=False))
    (script(half_module) if half_module is not None else full).save(weight_file(plugin_dir, half=True))
    return str(plugin_dir)


def plugin_dir_with(folder, built, module=None):
    """A plug-in folder holding the built extension module (linked from ``built``) and
    ``module`` (BlueMatte by default) as both weight files, for runs in other processes."""
    from pathlib import Path

    for extension in Path(built).glob("Tavelin*.so"):
        (Path(folder) / extension.name).symlink_to(extension)
    return save_networks(folder, module)


def weight_file(plugin_dir, half):
    return os.path.join(str(plugin_dir), MODELS_DIR, FLOAT16_WEIGHTS if half else FLOAT32_WEIGHTS)


def make_plugin_dir(path, **net_options):
    """Both weight files; the full-precision file's network has tag 32, the half file's tag 16."""
    return save_networks(path, Net(tag=32, **net_options), Net(tag=16, **net_options))


def load_reference_net(plugin_dir, dtype):
    """The network of a weight file, loaded as the plug-in loads it, for computing expected outputs."""
    net = torch.jit.load(weight_file(plugin_dir, dtype is torch.float16))
    if dtype is torch.float16:
        net.half()
    net.eval()
    net.record = False
    return net


def random_rgb(rng, h, w, bit_depth=8, channels=3):
    if bit_depth == 8:
        return rng.integers(0, 256, size=(h, w, channels), dtype=np.uint8)
    return rng.random((h, w, channels), dtype=np.float32)
