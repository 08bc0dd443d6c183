"""What a render must return, computed step by step with NumPy and OpenCV, as a
first Python version of the plug-in would do it. The plug-in's output must equal
this bit for bit: the tests compare against it, and the benchmark checks it on
every run and times the plug-in against it."""
import cv2
import numpy as np
import torch

from tavelin_host.contract import CUTOUT, LUMA_MATTE, MODE_SIZES

from .host_double import Events, Tools, drive


def to_u8(samples):
    """(np.clip(x, 0, 1) * 255).astype(np.uint8) with NaN read as 0, in float32."""
    x = np.clip(np.asarray(samples, dtype=np.float32), 0, 1)
    np.nan_to_num(x, copy=False, nan=0.0)
    x *= np.float32(255)
    return x.astype(np.uint8)


def reference_render(rgb, bit_depth, output, resize_mode, half=False, network=None, device="cpu"):
    """What a render of `rgb` (the array image_to_np gives) returns with `network`
    (BlueMatte, the blue channel / 255, when None); raises where a render must fail."""
    if not isinstance(rgb, np.ndarray):
        raise TypeError(f"image_to_np gave {type(rgb).__name__}, not an array")
    H, W = rgb.shape[:2]
    image_np = cv2.cvtColor(np.ascontiguousarray(rgb), cv2.COLOR_RGB2BGR)
    eight_bit = not (bit_depth != 8)  # the plug-in asks `!=`, whatever the host's object answers
    if not eight_bit:
        image_np = to_u8(image_np)
    ref_size = MODE_SIZES[int(resize_mode)]
    net_in = cv2.resize(image_np, (ref_size, ref_size)) if ref_size else image_np
    with torch.no_grad():
        tensor = torch.from_numpy(np.ascontiguousarray(net_in, dtype=np.float32)).to(device)
        if half:
            tensor = tensor.half()
        out = network(tensor) if network is not None else tensor[:, :, 0:1] / 255.0
        matte = np.ascontiguousarray(out[:, :, 0].to(torch.float32).cpu().numpy())
    if ref_size:
        matte = cv2.resize(matte, (W, H))
    elif matte.shape != (H, W) and output == CUTOUT:
        matte = cv2.resize(matte, (W, H), interpolation=cv2.INTER_LANCZOS4)
    alpha = to_u8(matte) if eight_bit else matte
    if output == LUMA_MATTE:
        out = np.repeat(alpha[:, :, np.newaxis], 3, axis=2)
    elif output == CUTOUT:
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


def good_render(plugin, api, plugin_dir, mode=0, output=CUTOUT):
    """One ordinary render through a well-behaved host (repaired after a test
    made it misbehave); checks the output exactly."""
    from .host_double import TorchTools

    api.TorchTools = TorchTools(api.events)
    api.ImageTools.to_np = api.ImageTools.from_np = None
    api.ImageTools.array = GOOD_RGB
    result = drive(plugin.render({"bit_depth": 8}, {"output": output, "resize_mode": mode}, None,
                                 Tools(plugin_dir, Events())))
    assert list(result) == ["image"]
    assert_same_image(result["image"]["array"], reference_render(GOOD_RGB, 8, output, mode))
    assert not plugin.model_loaded_with_dtype != torch.float32
    assert torch.is_grad_enabled()
