"""Pieces shared by the hardening tests and the soak run: a trivial matting
network, a host whose every call can be made to misbehave, an independent
NumPy/OpenCV computation of a render's output, and coroutine drivers."""
import os
import warnings

import cv2
import numpy as np
import torch
from torch import nn

from host_double import API, FULL_MODEL, HALF_MODEL, Events, Tools, drive  # noqa: F401 (re-exported)

SIZES = [0, 256, 512, 1024]


class BlueMatte(nn.Module):
    """matte = blue / 255: the network sees BGR, so that is input channel 0."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x[:, :, 0:1] / 255.0


def script(module):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return torch.jit.script(module)


def write_networks(plugin_dir, module=None, half_module=None):
    """Both weight files under plugin_dir/models; returns plugin_dir as a string."""
    models = os.path.join(str(plugin_dir), "models")
    os.makedirs(models, exist_ok=True)
    full = script(module if module is not None else BlueMatte())
    full.save(os.path.join(models, FULL_MODEL))
    (script(half_module) if half_module is not None else full).save(os.path.join(models, HALF_MODEL))
    return str(plugin_dir)


def weight_file(plugin_dir, half):
    return os.path.join(str(plugin_dir), "models", HALF_MODEL if half else FULL_MODEL)


class ImageTools:
    """image_to_np hands out whatever `array` holds (the record itself is only
    passed through); np_to_image wraps the array and records the bit depth it got."""

    def __init__(self, events):
        self.events = events
        self.array = None
        self.to_np = None  # replaces image_to_np when set
        self.from_np = None  # replaces np_to_image when set
        self.last = None  # (array, bit_depth) of the last np_to_image call

    def image_to_np(self, image):
        self.events.add("image_to_np")
        if self.to_np is not None:
            return self.to_np(image)
        return self.array

    def np_to_image(self, array, bit_depth):
        self.events.add("np_to_image", bit_depth)
        self.last = (array, bit_depth)
        if self.from_np is not None:
            return self.from_np(array, bit_depth)
        return {"array": array, "bit_depth": bit_depth}


def new_host(device="cpu", dtype=torch.float32):
    """A recording API double whose ImageTools can be steered per render."""
    api = API(device, dtype)
    api.ImageTools = ImageTools(api.events)
    api.good_torch_tools = api.TorchTools
    return api


def new_plugin(api):
    import Tavelin

    return Tavelin.Tavelin(api)


def outcome(fn):
    """("ok", value) or ("error", exception) for anything derived from Exception."""
    try:
        return "ok", fn()
    except Exception as error:  # noqa: BLE001 - any Python exception is an acceptable answer
        return "error", error


def to_u8(samples):
    """(np.clip(x, 0, 1) * 255).astype(np.uint8) with NaN read as 0, in float32."""
    x = np.nan_to_num(np.asarray(samples, dtype=np.float32), nan=0.0)
    return (np.clip(x, 0, 1) * np.float32(255)).astype(np.uint8)


def reference_render(rgb, bit_depth, output, resize_mode, half, network=None):
    """What a render of `rgb` returns with the BlueMatte network (or `network`
    on a tensor), computed step by step; raises where a render must fail."""
    if not isinstance(rgb, np.ndarray):
        raise TypeError(f"image_to_np gave {type(rgb).__name__}, not an array")
    H, W = rgb.shape[:2]
    image_np = cv2.cvtColor(np.ascontiguousarray(rgb), cv2.COLOR_RGB2BGR)
    eight_bit = not (bit_depth != 8)
    if not eight_bit:
        image_np = to_u8(image_np)
    ref_size = SIZES[int(resize_mode)]
    net_in = cv2.resize(image_np, (ref_size, ref_size)) if ref_size else image_np
    tensor = torch.from_numpy(np.ascontiguousarray(net_in, dtype=np.float32))
    if half:
        tensor = tensor.half()
    with torch.no_grad():
        out = network(tensor) if network is not None else tensor[:, :, 0:1] / 255.0
    matte = np.ascontiguousarray(out[:, :, 0].to(torch.float32).numpy())
    if ref_size:
        matte = cv2.resize(matte, (W, H))
    elif matte.shape != (H, W) and output == 2:
        matte = cv2.resize(matte, (W, H), interpolation=cv2.INTER_LANCZOS4)
    alpha = to_u8(matte) if eight_bit else matte
    if output == 1:
        out = np.repeat(alpha[:, :, np.newaxis], 3, axis=2)
    elif output == 2:
        colour = cv2.cvtColor(image_np, cv2.COLOR_BGR2RGB) if eight_bit else rgb[:, :, :3].astype(np.float32)
        out = np.dstack((colour, alpha))
    else:
        raise ValueError(f"invalid output {output!r}")
    if out.shape[:2] != (H, W):
        out = cv2.resize(out, (W, H), interpolation=cv2.INTER_LANCZOS4)
    return out


def assert_same_image(actual, expected):
    assert isinstance(actual, np.ndarray)
    assert actual.dtype == expected.dtype, (actual.dtype, expected.dtype)
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    np.testing.assert_array_equal(actual, expected)


GOOD_RGB = np.random.default_rng(1234).integers(0, 256, size=(7, 5, 3), dtype=np.uint8)


def good_render(plugin, api, plugin_dir, mode=0, output=2):
    """One ordinary render through a well-behaved host; checks the output exactly."""
    api.TorchTools = api.good_torch_tools
    api.TorchTools.result = ("cpu", torch.float32)
    api.ImageTools.to_np = api.ImageTools.from_np = None
    api.ImageTools.array = GOOD_RGB
    result = drive(plugin.render({"bit_depth": 8}, {"output": output, "resize_mode": mode}, None,
                                 Tools(plugin_dir, Events())))
    assert list(result) == ["image"]
    assert_same_image(result["image"]["array"], reference_render(GOOD_RGB, 8, output, mode, half=False))
    assert not plugin.model_loaded_with_dtype != torch.float32
    assert torch.is_grad_enabled()
