"""The render steps written plainly with NumPy and OpenCV, as a first Python
version of the plug-in would do them. The plug-in's output must equal this bit
for bit; the benchmark checks that on every run.
"""
import cv2
import numpy as np
import torch

SIZES = [0, 256, 512, 1024]


def render(network, rgb, bit_depth, output, resize_mode, device="cpu", half=False):
    """rgb: the host array (RGB or RGBA). output: 1 luma matte, 2 cut-out."""
    image_np = cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)
    if bit_depth != 8:
        image_np = (np.clip(image_np, 0, 1) * 255).astype(np.uint8)
    ref_size = SIZES[int(resize_mode)]
    needs_resize = ref_size != 0
    if needs_resize:
        resized_image_np = cv2.resize(image_np, (ref_size, ref_size))
    with torch.no_grad():
        image_tensor = torch.Tensor(resized_image_np if needs_resize else image_np).to(device)
        if half:
            image_tensor = image_tensor.half()
        matte = network(image_tensor)
        matte = matte[:, :, 0:1].detach().float().cpu().numpy()
    h, w = image_np.shape[:2]
    if needs_resize:
        matte = np.expand_dims(cv2.resize(matte, (w, h)), axis=2)
    elif matte.shape[:2] != (h, w) and output == 2:
        matte = np.expand_dims(cv2.resize(matte, (w, h), interpolation=cv2.INTER_LANCZOS4), axis=2)
    if bit_depth == 8:
        alpha_channel = (np.clip(matte, 0, 1) * 255).astype(np.uint8)[:, :, 0]
    else:
        alpha_channel = matte.astype(np.float32)[:, :, 0]
    if output == 1:
        output_image = np.repeat(alpha_channel[:, :, np.newaxis], 3, axis=2)
    else:
        if bit_depth == 8:
            image_rgb = cv2.cvtColor(image_np, cv2.COLOR_BGR2RGB)
        else:
            image_rgb = rgb[:, :, :3].astype(np.float32)
        output_image = np.dstack((image_rgb, alpha_channel))
    if output_image.shape[:2] != (h, w):
        output_image = cv2.resize(output_image, (w, h), interpolation=cv2.INTER_LANCZOS4)
    return output_image
