"""TFLite operators as TorchScript-friendly modules, and the graph that runs them.

Activations travel in NCHW layout; the TFLite file is NHWC, so every constant
and axis is converted once here, at build time.  Each operator module reads
its inputs from a list of earlier results (slot 0 holds the graph input) and
returns one tensor; ``TFLiteNet`` appends each result to that list in the
file's execution order.
"""

from __future__ import annotations

import linecache
import math
import warnings
from typing import Dict, List, Optional, Tuple

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn

from .tflite_reader import Graph, Operator



with warnings.catch_warnings():
    # Deprecated along with the rest of TorchScript, which is the files' format.
    warnings.simplefilter("ignore", DeprecationWarning)

    @torch.jit.interface
    class OneOutput(nn.Module):
        def forward(self, x: torch.Tensor) -> torch.Tensor:
            pass

    @torch.jit.interface
    class ManyOutputs(nn.Module):
        def forward(self, x: torch.Tensor) -> List[torch.Tensor]:
            pass

    @torch.jit.interface
    class PersonFinder(nn.Module):
        """The person stage as ``matting.Matting`` calls it (``people.PersonStage``, ``people.NoPeople``)."""

        def find(self, small: torch.Tensor, h: int, w: int) -> Tuple[bool, torch.Tensor, torch.Tensor, bool]:
            pass

        def frame_person(self, small: torch.Tensor, h: int, w: int) -> bool:
            pass

        def fuse(self, prob: torch.Tensor, everywhere: bool, crops: torch.Tensor, probability: torch.Tensor,
                 h: int, w: int, out_h: int, out_w: int) -> torch.Tensor:
            pass

        def prime(self, device: torch.device) -> None:
            pass

    @torch.jit.interface
    class ImageToMatte(nn.Module):
        """The matting module as ``matting.Primed`` calls it."""

        def forward(self, image: torch.Tensor) -> torch.Tensor:
            pass

        def prime(self, device: torch.device) -> None:
            pass


def script_alone(net: nn.Module) -> nn.Module:
    """``net`` scripted on its own, to be held through ``OneOutput`` or ``ManyOutputs``.

    Called through an interface, a scripted network is not inlined into its
    caller: it keeps a graph, and an executor, of its own.  TorchScript
    profiles and optimises three such graphs several times faster than one
    graph that inlines all three networks and the code around them.  A
    ``TFLiteNet`` or ``MultiOutputNet`` is scripted as its ``flat_net``.
    """
    if isinstance(net, torch.jit.ScriptModule):
        return net
    if isinstance(net, (TFLiteNet, MultiOutputNet)):
        net = flat_net(net)
    return torch.jit.script(net)

def same_padding(size: int, kernel: int, stride: int, dilation: int) -> Tuple[int, int]:
    """TFLite SAME padding along one axis: (before, after); an odd pixel goes after."""
    out = (size + stride - 1) // stride
    effective = (kernel - 1) * dilation + 1
    total = max((out - 1) * stride + effective - size, 0)
    return total // 2, total - total // 2


def resize_bilinear(x: torch.Tensor, size: List[int], align_corners: bool = False,
                    antialias: bool = False) -> torch.Tensor:
    """Bilinear resize of an NCHW tensor; align_corners=False is half-pixel centres.

    The same as F.interpolate(mode="bilinear"), calling the kernels directly:
    F.interpolate brings its whole mode dispatch into every scripted call site,
    which makes the graph many times larger and slower to optimise.
    """
    if antialias:
        return torch._C._nn._upsample_bilinear2d_aa(x, size, align_corners, None)
    return torch._C._nn.upsample_bilinear2d(x, size, align_corners, None)


def _activation(x: torch.Tensor, kind: int) -> torch.Tensor:
    # kind: 0 none, 1 relu, 2 relu_n1_to_1, 3 relu6, 4 tanh, 5 hard swish, 6 logistic
    if kind == 1:
        return torch.relu(x)
    if kind == 2:
        return torch.clamp(x, -1.0, 1.0)
    if kind == 3:
        return torch.clamp(x, 0.0, 6.0)
    if kind == 4:
        return torch.tanh(x)
    if kind == 5:
        return torch._C._nn.hardswish(x)
    if kind == 6:
        return torch.sigmoid(x)
    return x


def _activation_(x: torch.Tensor, kind: int) -> torch.Tensor:
    """_activation in place, for a tensor that nothing else holds yet."""
    if kind == 1:
        return torch.relu_(x)
    if kind == 2:
        return torch.clamp_(x, -1.0, 1.0)
    if kind == 3:
        return torch.clamp_(x, 0.0, 6.0)
    if kind == 4:
        return torch.tanh_(x)
    if kind == 5:
        return torch._C._nn.hardswish_(x)
    if kind == 6:
        return torch.sigmoid_(x)
    return x


_ACTIVATION_CODES = {"NONE": 0, "RELU": 1, "RELU_N1_TO_1": 2, "RELU6": 3, "TANH": 4}
# A 1 x 1 convolution on a feature map of at least this many pixels goes to
# oneDNN on the CPU.  Left to choose, one thread runs 1 x 1 convolutions as a
# matrix product that copies the channels-last input to planar and back: on
# large, thin maps that took 1.3-7x oneDNN's time (8 channels at 256 x 256:
# 1.35 against 0.20 ms, 144 -> 24 at 56 x 56: 0.36 against 0.28); on small,
# deep maps the product was the faster (144 -> 864 at 8 x 8: 0.19 against 0.24).
ONEDNN_MIN_PIXELS = 56 * 56
# Stand-alone activation operators that fold into the convolution before them.
_FOLDABLE_ACTIVATIONS = {"RELU": 1, "RELU6": 3, "TANH": 4, "HARD_SWISH": 5, "LOGISTIC": 6}


class Conv2d(nn.Module):
    """CONV_2D and DEPTHWISE_CONV_2D (groups == channels) with TFLite padding.

    ``padding`` (top, bottom, left, right), when the input size is known at
    build time, fixes the SAME padding then: an even split goes into the
    convolution itself.  An odd pixel after (TFLite's stride-2 layers on even
    sizes) is, for a depthwise convolution, a kernel one tap larger with a
    zero first tap, padded evenly: cheaper than a padded copy of the input.
    A full convolution, whose cost grows with its kernel, pads its input by
    the fixed amounts.  Without ``padding``, SAME padding is worked out from
    each input's size.
    """

    __constants__ = ["src", "stride", "dilation", "same", "groups", "activation", "conv_padding", "pad", "onednn"]
    pad: List[int]

    def __init__(self, src: int, weight: torch.Tensor, bias: torch.Tensor, stride, dilation,
                 same: bool, groups: int, activation: int, padding: Optional[Tuple[int, int, int, int]] = None,
                 onednn: bool = False):
        super().__init__()
        self.src = src
        self.onednn = onednn  # sent to oneDNN on the CPU (ONEDNN_MIN_PIXELS)
        self.stride: List[int] = [int(stride[0]), int(stride[1])]
        self.dilation: List[int] = [int(dilation[0]), int(dilation[1])]
        self.groups = groups
        self.activation = activation
        self.conv_padding: List[int] = [0, 0]  # the convolution's own (even) padding
        self.pad = []  # F.pad amounts (left, right, top, bottom) before it, if any
        if same and padding is not None:
            top, bottom, left, right = (int(p) for p in padding)
            rows = _even_padding(top, bottom, self.dilation[0])
            cols = _even_padding(left, right, self.dilation[1])
            if top == bottom and left == right:
                self.conv_padding = [top, left]
            elif groups > 1 and rows is not None and cols is not None:
                weight = F.pad(weight, [cols[0], 0, rows[0], 0])
                self.conv_padding = [rows[1], cols[1]]
            else:
                self.pad = [left, right, top, bottom]
            same = False
        self.same = same
        self.weight = nn.Parameter(weight, requires_grad=False)
        self.bias = nn.Parameter(bias, requires_grad=False)

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        x = vals[self.src]
        if self.same:
            top, bottom = same_padding(x.shape[2], self.weight.shape[2], self.stride[0], self.dilation[0])
            left, right = same_padding(x.shape[3], self.weight.shape[3], self.stride[1], self.dilation[1])
            if top + bottom + left + right > 0:
                x = F.pad(x, [left, right, top, bottom])
        elif len(self.pad) > 0:
            x = F.pad(x, self.pad)
        y = _conv2d(x, self.weight.to(x.dtype), self.bias.to(x.dtype), self.stride, self.conv_padding,
                    self.dilation, self.groups, self.onednn)
        return _activation_(y, self.activation)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        x = v[self.src]
        if self.same:
            code.line(f"{out} = _same_pad({x}, {self.weight.shape[2]}, {self.weight.shape[3]}, {self.stride}, "
                      f"{self.dilation}, 0.0)")
            x = out
        elif len(self.pad) > 0:
            code.line(f"{out} = F.pad({x}, {self.pad})")
            x = out
        args = (f"{x}, {code.cast(self.weight, x)}, {code.cast(self.bias, x)}, {self.stride}, "
                f"{self.conv_padding}, {self.dilation}, {self.groups}")
        code.line(f"{out} = _conv2d({args}, True)" if self.onednn else f"{out} = F.conv2d({args})")
        code.activation(out, self.activation, True)


def _even_padding(before: int, after: int, dilation: int) -> Optional[Tuple[int, int]]:
    """(zero taps to put before the kernel, even padding) equal to padding (before, after), or None."""
    if before == after:
        return 0, before
    if after == before + 1 and dilation == 1:
        return 1, after
    return None


class TransposeConvBias(nn.Module):
    """The custom operator Convolution2DTransposeBias.

    A transposed convolution (no kernel flip: input pixel (i, j) adds
    ``x[i, j] * w[:, a, b]`` to output pixel (s*i + a - pad, s*j + b - pad)),
    then a per-channel bias.  With SAME padding the output is ``s * in`` and
    ``max(K - s, 0)`` rows/columns are cut from the full result, the smaller
    half at the start; with VALID the full ``s * (in - 1) + K`` result is kept.
    """

    __constants__ = ["src", "stride", "same", "shuffle"]

    def __init__(self, src: int, weight: torch.Tensor, bias: torch.Tensor, stride, same: bool):
        super().__init__()
        self.src = src
        self.stride: List[int] = [int(stride[0]), int(stride[1])]
        self.same = same
        # A square kernel as large as the stride writes each output pixel once:
        # then it is a matrix product to (out * k * k) values a pixel, each
        # k x k block of the output read off them.
        kh, kw = weight.shape[2], weight.shape[3]
        self.shuffle = kh == kw == self.stride[0] == self.stride[1]
        if self.shuffle:
            n_in, n_out = weight.shape[0], weight.shape[1]
            weight = weight.permute(1, 2, 3, 0).reshape(n_out * kh * kw, n_in).contiguous()
            bias = bias.repeat_interleave(kh * kw)
        self.weight = nn.Parameter(weight, requires_grad=False)  # (in, out, kh, kw), or (out * k * k, in)
        self.bias = nn.Parameter(bias, requires_grad=False)

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        x = vals[self.src]
        if self.shuffle:
            # Value o*k*k + a*k + b of a pixel is tap (a, b) of output channel o.
            # (A 1x1 convolution and F.pixel_shuffle do the same, slower here.)
            k = self.stride[0]
            n, h, w = x.shape[0], x.shape[2], x.shape[3]
            y = F.linear(x.permute(0, 2, 3, 1), self.weight.to(x.dtype), self.bias.to(x.dtype))
            y = y.view(n, h, w, -1, k, k).permute(0, 3, 1, 4, 2, 5)
            return y.reshape(n, y.shape[1], h * k, w * k)
        y = F.conv_transpose2d(x, self.weight.to(x.dtype), None, self.stride)
        if self.same:
            kh = self.weight.shape[2]
            kw = self.weight.shape[3]
            out_h = x.shape[2] * self.stride[0]
            out_w = x.shape[3] * self.stride[1]
            top = max(kh - self.stride[0], 0) // 2
            left = max(kw - self.stride[1], 0) // 2
            # A kernel smaller than the stride leaves uncovered rows/columns: pad them.
            y = F.pad(y, [0, max(out_w + left - y.shape[3], 0), 0, max(out_h + top - y.shape[2], 0)])
            y = y[:, :, top:top + out_h, left:left + out_w]
        return y + self.bias.to(x.dtype).view(1, -1, 1, 1)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        x = v[self.src]
        w = code.cast(self.weight, x)
        b = code.cast(self.bias, x)
        if self.shuffle:
            k = self.stride[0]
            code.line(f"{out} = F.linear({x}.permute(0, 2, 3, 1), {w}, {b})")
            code.line(f"{out} = {out}.view({x}.shape[0], {x}.shape[2], {x}.shape[3], -1, {k}, {k})"
                      ".permute(0, 3, 1, 4, 2, 5)")
            code.line(f"{out} = {out}.reshape({x}.shape[0], {out}.shape[1], {x}.shape[2] * {k}, {x}.shape[3] * {k})")
            return
        code.line(f"{out} = F.conv_transpose2d({x}, {w}, None, {self.stride})")
        if self.same:
            code.line(f"{out} = _transpose_same_crop({x}, {out}, {self.weight.shape[2]}, {self.weight.shape[3]}, "
                      f"{self.stride})")
        code.line(f"{out} = {out} + {b}.view(1, -1, 1, 1)")


class Binary(nn.Module):
    """ADD and MUL with broadcasting and a fused activation."""

    __constants__ = ["a", "b", "multiply", "activation"]

    def __init__(self, a: int, b: int, multiply: bool, activation: int):
        super().__init__()
        self.a = a
        self.b = b
        self.multiply = multiply
        self.activation = activation

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        if self.multiply:
            y = vals[self.a] * vals[self.b]
        else:
            y = vals[self.a] + vals[self.b]
        return _activation(y, self.activation)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = {v[self.a]} {'*' if self.multiply else '+'} {v[self.b]}")
        code.activation(out, self.activation, True)  # on the sum's own fresh tensor


class Unary(nn.Module):
    """RELU, RELU6, HARD_SWISH, LOGISTIC, TANH."""

    __constants__ = ["src", "kind"]

    def __init__(self, src: int, kind: str):
        super().__init__()
        self.src = src
        self.kind = kind

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        x = vals[self.src]
        if self.kind == "RELU":
            return torch.relu(x)
        if self.kind == "RELU6":
            return torch.clamp(x, 0.0, 6.0)
        if self.kind == "HARD_SWISH":
            return torch._C._nn.hardswish(x)
        if self.kind == "LOGISTIC":
            return torch.sigmoid(x)
        return torch.tanh(x)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        kinds = {"RELU": 1, "RELU6": 3, "HARD_SWISH": 5, "LOGISTIC": 6}
        code.line(f"{out} = {v[self.src]}")
        code.activation(out, kinds.get(self.kind, 4), False)


class AvgPool(nn.Module):
    """AVERAGE_POOL_2D with VALID padding (what these files use)."""

    __constants__ = ["src", "kernel", "stride", "activation"]

    def __init__(self, src: int, kernel, stride, activation: int):
        super().__init__()
        self.src = src
        self.kernel: List[int] = [int(kernel[0]), int(kernel[1])]
        self.stride: List[int] = [int(stride[0]), int(stride[1])]
        self.activation = activation

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        return _activation(F.avg_pool2d(vals[self.src], self.kernel, self.stride), self.activation)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = F.avg_pool2d({v[self.src]}, {self.kernel}, {self.stride})")
        code.activation(out, self.activation, False)


class Mean(nn.Module):
    __constants__ = ["src", "dims", "keep_dims"]
    def __init__(self, src: int, dims: List[int], keep_dims: bool):
        super().__init__()
        self.src = src
        self.dims = dims
        self.keep_dims = keep_dims

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        return torch.mean(vals[self.src], self.dims, self.keep_dims)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = torch.mean({v[self.src]}, {self.dims}, {self.keep_dims})")


class ResizeBilinear(nn.Module):
    """RESIZE_BILINEAR; half_pixel_centers is torch's align_corners=False."""

    __constants__ = ["src", "size", "align_corners"]

    def __init__(self, src: int, size, align_corners: bool):
        super().__init__()
        self.src = src
        self.size: List[int] = [int(size[0]), int(size[1])]
        self.align_corners = align_corners

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        return resize_bilinear(vals[self.src], self.size, self.align_corners)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = torch._C._nn.upsample_bilinear2d({v[self.src]}, {self.size}, {self.align_corners}, None)")


class Constant(nn.Module):
    """A constant operand of an element-wise operator, already in NCHW."""

    def __init__(self, value: torch.Tensor):
        super().__init__()
        self.value = nn.Parameter(value, requires_grad=False)

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        return self.value.to(vals[0].dtype)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = {code.cast(self.value, v[0])}")


class TFLiteNet(nn.Module):
    """Runs the operators in order. Input and output are NCHW.

    The computation runs in the input's dtype; weights are cast to it when
    they differ (a half-precision network can thus run in float32 on the CPU).
    """

    def __init__(self, ops: List[nn.Module], out_slot: int, input_shape: List[int]):
        super().__init__()
        self.ops = nn.ModuleList(ops)
        self.out_slot = out_slot
        self.input_shape = input_shape  # NCHW, as the file declares it

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        vals: List[torch.Tensor] = [x.contiguous(memory_format=torch.channels_last)]
        for op in self.ops:
            vals.append(op(vals))
        return vals[self.out_slot]


class Pad(nn.Module):
    """PAD with zeros; ``pads`` is F.pad's list for the NCHW tensor (last axis first)."""

    __constants__ = ["src", "pads"]

    def __init__(self, src: int, pads: List[int]):
        super().__init__()
        self.src = src
        self.pads = pads

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        return F.pad(vals[self.src], self.pads)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = F.pad({v[self.src]}, {self.pads})")


class MaxPool(nn.Module):
    """MAX_POOL_2D; SAME padding never lets a padded cell win (padded with -inf)."""

    __constants__ = ["src", "kernel", "stride", "same", "activation"]

    def __init__(self, src: int, kernel, stride, same: bool, activation: int):
        super().__init__()
        self.src = src
        self.kernel: List[int] = [int(kernel[0]), int(kernel[1])]
        self.stride: List[int] = [int(stride[0]), int(stride[1])]
        self.same = same
        self.activation = activation

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        x = vals[self.src]
        if self.same:
            top, bottom = same_padding(x.shape[2], self.kernel[0], self.stride[0], 1)
            left, right = same_padding(x.shape[3], self.kernel[1], self.stride[1], 1)
            if top + bottom + left + right > 0:
                x = F.pad(x, [left, right, top, bottom], value=float("-inf"))
        return _activation(F.max_pool2d(x, self.kernel, self.stride), self.activation)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        x = v[self.src]
        if self.same:
            code.line(f"{out} = _same_pad({x}, {self.kernel[0]}, {self.kernel[1]}, {self.stride}, [1, 1], "
                      "float(\"-inf\"))")
            x = out
        code.line(f"{out} = torch.max_pool2d({x}, {self.kernel}, {self.stride}, [0, 0], [1, 1], False)")
        code.activation(out, self.activation, False)


class Reshape(nn.Module):
    """RESHAPE in TFLite's element order, which is channel-last.

    Four-axis tensors travel as NCHW here, so they go back to NHWC before the
    elements are regrouped, and a four-axis result is brought to NCHW again.
    """

    __constants__ = ["src", "shape", "from_nchw", "to_nchw"]

    def __init__(self, src: int, shape: List[int], from_nchw: bool, to_nchw: bool):
        super().__init__()
        self.src = src
        self.shape = shape  # the TFLite (channel-last) shape; -1 allowed
        self.from_nchw = from_nchw
        self.to_nchw = to_nchw

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        x = vals[self.src]
        if self.from_nchw:
            x = x.permute(0, 2, 3, 1)
        shape = list(self.shape)
        shape[0] = x.shape[0]  # the batch follows the input
        y = x.reshape(shape)
        if self.to_nchw:
            y = y.permute(0, 3, 1, 2)
        return y

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        x = v[self.src]
        if self.from_nchw:
            code.line(f"{out} = {x}.permute(0, 2, 3, 1)")
            x = out
        shape = ", ".join(str(int(d)) for d in self.shape[1:])
        code.line(f"{out} = {x}.reshape([{x}.shape[0], {shape}])")
        if self.to_nchw:
            code.line(f"{out} = {out}.permute(0, 3, 1, 2)")


class DepthToSpace(nn.Module):
    """DEPTH_TO_SPACE: input channel (i * b + j) * C + c goes to pixel offset (i, j), channel c.

    PyTorch's pixel_shuffle takes channel c * b * b + i * b + j instead.
    """

    __constants__ = ["src", "block"]

    def __init__(self, src: int, block: int):
        super().__init__()
        self.src = src
        self.block = block

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        x = vals[self.src]
        n, c, h, w = x.shape[0], x.shape[1], x.shape[2], x.shape[3]
        b = self.block
        out_c = c // (b * b)
        y = x.reshape(n, b, b, out_c, h, w).permute(0, 3, 4, 1, 5, 2)
        return y.reshape(n, out_c, h * b, w * b)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        x = v[self.src]
        b = self.block
        code.line(f"{out} = {x}.reshape({x}.shape[0], {b}, {b}, {x}.shape[1] // {b * b}, {x}.shape[2], {x}.shape[3])"
                  ".permute(0, 3, 4, 1, 5, 2)")
        code.line(f"{out} = {out}.reshape({x}.shape[0], {x}.shape[1] // {b * b}, {x}.shape[2] * {b}, "
                  f"{x}.shape[3] * {b})")


class Concat(nn.Module):
    """CONCATENATION along an axis already mapped to this tensor's layout."""

    __constants__ = ["srcs", "axis", "activation"]

    def __init__(self, srcs: List[int], axis: int, activation: int):
        super().__init__()
        self.srcs = srcs
        self.axis = axis
        self.activation = activation

    def forward(self, vals: List[torch.Tensor]) -> torch.Tensor:
        parts: List[torch.Tensor] = []
        for i in self.srcs:
            parts.append(vals[i])
        return _activation(torch.cat(parts, self.axis), self.activation)

    def source(self, code: "FlatSource", v: List[str], out: str) -> None:
        code.line(f"{out} = torch.cat([{', '.join(v[i] for i in self.srcs)}], {self.axis})")
        code.activation(out, self.activation, False)


class MultiOutputNet(nn.Module):
    """A graph with several outputs: runs like TFLiteNet and returns them all, in file order.

    Four-axis outputs are NCHW, all others keep the file's shape.
    """

    def __init__(self, ops: List[nn.Module], out_slots: List[int], input_shape: List[int]):
        super().__init__()
        self.ops = nn.ModuleList(ops)
        self.out_slots = out_slots
        self.input_shape = input_shape

    def forward(self, x: torch.Tensor) -> List[torch.Tensor]:
        vals: List[torch.Tensor] = [x]
        for op in self.ops:
            vals.append(op(vals))
        outs: List[torch.Tensor] = []
        for i in self.out_slots:
            outs.append(vals[i])
        return outs


def _same_pad(x: torch.Tensor, kh: int, kw: int, stride: List[int], dilation: List[int],
              value: float) -> torch.Tensor:
    """``x`` padded for TFLite SAME padding worked out from its own size (padded with ``value``)."""
    top, bottom = same_padding(x.shape[2], kh, stride[0], dilation[0])
    left, right = same_padding(x.shape[3], kw, stride[1], dilation[1])
    if top + bottom + left + right > 0:
        return F.pad(x, [left, right, top, bottom], value=value)
    return x


def _transpose_same_crop(x: torch.Tensor, y: torch.Tensor, kh: int, kw: int, stride: List[int]) -> torch.Tensor:
    """A transposed convolution's full result ``y`` cut (or padded) to SAME padding's ``stride`` x ``x``."""
    out_h = x.shape[2] * stride[0]
    out_w = x.shape[3] * stride[1]
    top = max(kh - stride[0], 0) // 2
    left = max(kw - stride[1], 0) // 2
    y = F.pad(y, [0, max(out_w + left - y.shape[3], 0), 0, max(out_h + top - y.shape[2], 0)])
    return y[:, :, top:top + out_h, left:left + out_w]


class FlatSource:
    """The lines of a flat ``forward`` and the tensors they read, as ``flat_net`` builds them."""

    _ACTIVATIONS = {1: "torch.relu({})", 2: "torch.clamp({}, -1.0, 1.0)", 3: "torch.clamp({}, 0.0, 6.0)",
                    4: "torch.tanh({})", 5: "torch._C._nn.hardswish({})", 6: "torch.sigmoid({})"}
    _IN_PLACE = {1: "torch.relu_({})", 2: "torch.clamp_({}, -1.0, 1.0)", 3: "torch.clamp_({}, 0.0, 6.0)",
                 4: "torch.tanh_({})", 5: "torch._C._nn.hardswish_({})", 6: "torch.sigmoid_({})"}

    def __init__(self):
        self.lines: List[str] = []
        self.tensors: List[torch.Tensor] = []
        self._names: Dict[int, str] = {}

    def line(self, text: str) -> None:
        self.lines.append(text)

    def cast(self, tensor: torch.Tensor, like: str) -> str:
        """An attribute holding ``tensor``, in the dtype of the value named ``like``.

        Every value has the input's dtype, read once into ``dt``: one node less
        a tensor in the graph than asking each value.
        """
        if id(tensor) not in self._names:
            self._names[id(tensor)] = f"p{len(self.tensors)}"
            self.tensors.append(tensor)
        return f"self.{self._names[id(tensor)]}.to(dt)"

    def activation(self, name: str, kind: int, in_place: bool) -> None:
        if kind != 0:
            self.line(f"{name} = " + (self._IN_PLACE if in_place else self._ACTIVATIONS)[kind].format(name))


class FlatNet(nn.Module):
    """A network as one generated ``forward`` (see ``flat_net``); its tensors are attributes p0, p1, ..."""

    def __init__(self, tensors: List[torch.Tensor], input_shape: List[int]):
        super().__init__()
        for i, t in enumerate(tensors):
            self.register_parameter(f"p{i}", nn.Parameter(t.detach(), requires_grad=False))
        self.input_shape = input_shape


_flat_count = 0


def flat_net(net: nn.Module) -> FlatNet:
    """``net`` (a ``TFLiteNet`` or ``MultiOutputNet``) as one straight-line ``forward``, the same operations in
    the same order.

    Every operator's constants are literals and its tensors attributes of one
    module: TorchScript compiles one method instead of a module type per
    operator, and the executor's graph has no list of results to carry, so a
    load compiles and optimises it several times faster.  Each value is freed
    after its last use.
    """
    global _flat_count
    code = FlatSource()
    code.line("dt = x.dtype")
    names = ["x"]
    multi = isinstance(net, MultiOutputNet)
    if not multi:
        code.line("x = x.contiguous(memory_format=torch.channels_last)")
    for i, op in enumerate(net.ops):
        names.append(f"v{i + 1}")
        op.source(code, names, names[-1])
    if multi:
        returns, result = "List[torch.Tensor]", "[" + ", ".join(names[i] for i in net.out_slots) + "]"
    else:
        returns, result = "torch.Tensor", names[net.out_slot]
    _flat_count += 1
    filename = f"<flat network {_flat_count}>"
    text = "\n".join([f"def forward(self, x: torch.Tensor) -> {returns}:"] +
                     ["    " + line for line in code.lines] + [f"    return {result}", ""])
    # TorchScript reads a method's source through linecache.
    linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
    scope = {"torch": torch, "F": F, "List": List, "_same_pad": _same_pad,
             "_transpose_same_crop": _transpose_same_crop, "_conv2d": _conv2d}
    exec(compile(text, filename, "exec", dont_inherit=True), scope)
    cls = type(f"Flat{type(net).__name__}", (FlatNet,), {"forward": scope["forward"], "__module__": __name__})
    return cls(code.tensors, list(net.input_shape))


def _conv2d(x: torch.Tensor, weight: torch.Tensor, bias: torch.Tensor, stride: List[int], padding: List[int],
            dilation: List[int], groups: int, onednn: bool) -> torch.Tensor:
    """F.conv2d, sent to oneDNN where ``onednn`` (see ``ONEDNN_MIN_PIXELS``) and the input is float32 on the CPU."""
    if onednn and x.device.type == "cpu" and x.dtype == torch.float32:
        return torch.mkldnn_convolution(x, weight, bias, padding, stride, dilation, groups)
    return F.conv2d(x, weight, bias, stride, padding, dilation, groups)


def _nhwc_to_nchw(a: np.ndarray) -> np.ndarray:
    return a.transpose(0, 3, 1, 2) if a.ndim == 4 else a


def _t(a: np.ndarray) -> torch.Tensor:
    return torch.from_numpy(np.ascontiguousarray(a, dtype=np.float32))


def build_net(graph: Graph, slots: Optional[Dict[int, int]] = None) -> nn.Module:
    """Rebuild ``graph`` (one NHWC float input) as a ``TFLiteNet``, or a
    ``MultiOutputNet`` when it has several outputs.

    ``slots``, when given, is filled with tensor index -> position of that
    tensor in the list ``TFLiteNet`` builds while it runs.  A convolution's
    output that only feeds an activation operator is not kept: the activation
    is folded into the convolution, and that tensor has no slot.
    """
    if len(graph.inputs) != 1:
        raise NotImplementedError("only graphs with one input are supported")
    if slots is None:
        slots = {}
    slots.clear()
    slots[graph.inputs[0]] = 0
    ops: List[nn.Module] = []

    def slot(index: int) -> int:
        if index in slots:
            return slots[index]
        if graph.tensors[index].data is not None:  # constant operand
            ops.append(Constant(_t(_nhwc_to_nchw(graph.const(index)))))
            slots[index] = len(ops)
            return slots[index]
        raise ValueError(f"tensor {graph.tensors[index].name!r} is used before it is produced")

    folded = _foldable_activations(graph)
    pads = _foldable_pads(graph)
    for i, op in enumerate(graph.operators):
        if i in folded.values() or i in pads.values():
            continue
        activation = graph.operators[folded[i]].kind if i in folded else None
        if i in pads:
            ops.append(_build_padded_conv(op, graph.operators[pads[i]], graph, slot, activation))
        else:
            ops.append(_build_op(op, graph, slot, activation))
        if i in folded:
            slots[graph.operators[folded[i]].outputs[0]] = len(ops)
        else:
            slots[op.outputs[0]] = len(ops)

    shape = graph.tensors[graph.inputs[0]].shape
    input_shape = [shape[0], shape[3], shape[1], shape[2]]
    if len(graph.outputs) > 1:
        net: nn.Module = MultiOutputNet(ops, [slots[o] for o in graph.outputs], input_shape)
    else:
        net = TFLiteNet(ops, slots[graph.outputs[0]], input_shape)
    # Channels-last is what the CPU's convolution kernels are fastest on here
    # (and what tensor cores want); .to() and .half() keep the layout.
    return net.to(memory_format=torch.channels_last)


def _sole_producers(graph: Graph) -> Dict[int, int]:
    """Tensor index -> index of the operator producing it, for tensors that exactly one operator reads
    and that are not graph outputs: what can be folded into its reader."""
    readers: Dict[int, int] = {}
    producer: Dict[int, int] = {}
    for i, op in enumerate(graph.operators):
        for t in op.inputs:
            readers[t] = readers.get(t, 0) + 1
        for t in op.outputs:
            producer[t] = i
    return {t: i for t, i in producer.items() if readers.get(t) == 1 and t not in graph.outputs}


def _foldable_activations(graph: Graph) -> Dict[int, int]:
    """Convolution operator index -> index of the activation operator folded into it.

    Folded: a stand-alone activation whose input is the output of a
    convolution with no activation of its own that nothing else reads.
    """
    producer_of = _sole_producers(graph)
    folded: Dict[int, int] = {}
    for i, op in enumerate(graph.operators):
        if op.kind not in _FOLDABLE_ACTIVATIONS:
            continue
        j = producer_of.get(op.inputs[0])
        if j is None:
            continue
        conv = graph.operators[j]
        if conv.kind in ("CONV_2D", "DEPTHWISE_CONV_2D") and conv.options["activation"] == "NONE" and j not in folded:
            folded[j] = i
    return folded


def _foldable_pads(graph: Graph) -> Dict[int, int]:
    """Convolution operator index -> index of the PAD operator folded into its own padding.

    Folded: zero padding, the same before and after on each spatial axis and
    none on the others, read only by one VALID convolution.  A padded copy of
    the input costs about what the convolution itself does.
    """
    producer_of = _sole_producers(graph)
    folded: Dict[int, int] = {}
    for i, op in enumerate(graph.operators):
        if op.kind not in ("CONV_2D", "DEPTHWISE_CONV_2D") or op.options["padding"] != "VALID":
            continue
        j = producer_of.get(op.inputs[0])
        if j is None or graph.operators[j].kind != "PAD":
            continue
        pad = graph.const(graph.operators[j].inputs[1]).astype(np.int64)  # (4, 2), NHWC
        if pad.shape == (4, 2) and not pad[0].any() and not pad[3].any() and pad[1, 0] == pad[1, 1] \
                and pad[2, 0] == pad[2, 1]:
            folded[i] = j
    return folded


def _build_padded_conv(op: Operator, pad_op: Operator, graph: Graph, slot, activation: Optional[str]) -> nn.Module:
    """The convolution ``op`` reading PAD ``pad_op``'s input, the padding its own (see ``_foldable_pads``)."""
    pad = graph.const(pad_op.inputs[1]).astype(np.int64)
    # Built as a SAME convolution whose padding is given: the PAD's amounts.
    padded = Operator(op.kind, [pad_op.inputs[0]] + list(op.inputs[1:]), list(op.outputs),
                      dict(op.options, padding="SAME"))
    return _build_op(padded, graph, slot, activation, (int(pad[1, 0]), int(pad[1, 1]), int(pad[2, 0]), int(pad[2, 1])))


def _static_same_padding(graph: Graph, op: Operator, kh: int, kw: int) -> Optional[Tuple[int, int, int, int]]:
    """SAME padding (top, bottom, left, right) for the input size the file declares, if it declares one."""
    shape = graph.tensors[op.inputs[0]].shape
    if len(shape) != 4 or min(shape[1], shape[2]) <= 0:
        return None
    o = op.options
    top, bottom = same_padding(shape[1], kh, o["stride"][0], o["dilation"][0])
    left, right = same_padding(shape[2], kw, o["stride"][1], o["dilation"][1])
    return top, bottom, left, right


def _build_op(op: Operator, graph: Graph, slot, activation: Optional[str] = None,
              padding: Optional[Tuple[int, int, int, int]] = None) -> nn.Module:
    o = op.options
    k = op.kind
    if k in ("CONV_2D", "DEPTHWISE_CONV_2D"):
        act = _FOLDABLE_ACTIVATIONS[activation] if activation else _ACTIVATION_CODES[o["activation"]]
        if k == "CONV_2D":
            w = graph.const(op.inputs[1]).transpose(0, 3, 1, 2)  # OHWI -> OIHW
            groups = 1
        else:
            w = graph.const(op.inputs[1]).transpose(3, 0, 1, 2)  # 1, H, W, C * multiplier -> C*m, 1, H, W
            groups = graph.tensors[op.inputs[0]].shape[3]
        b = graph.const(op.inputs[2]) if len(op.inputs) > 2 and op.inputs[2] >= 0 else np.zeros(w.shape[0], np.float32)
        same = o["padding"] == "SAME"
        if same and padding is None:
            padding = _static_same_padding(graph, op, w.shape[2], w.shape[3])
        shape = graph.tensors[op.inputs[0]].shape  # NHWC
        # Files are written where they run (the converter is part of the build): a torch built
        # without oneDNN gets none of these.
        onednn = w.shape[2] == w.shape[3] == 1 and groups == 1 and len(shape) == 4 \
            and shape[1] * shape[2] >= ONEDNN_MIN_PIXELS and torch.backends.mkldnn.is_available()
        return Conv2d(slot(op.inputs[0]), _t(w), _t(b), o["stride"], o["dilation"], same, groups, act, padding,
                      onednn)
    if k == "Convolution2DTransposeBias":
        w = graph.const(op.inputs[1])  # OHWI
        return TransposeConvBias(slot(op.inputs[0]), _t(w.transpose(3, 0, 1, 2)), _t(graph.const(op.inputs[2])),
                                 o["stride"], o["padding"] == "SAME")
    if k in ("ADD", "MUL"):
        return Binary(slot(op.inputs[0]), slot(op.inputs[1]), k == "MUL", _ACTIVATION_CODES[o["activation"]])
    if k in ("RELU", "RELU6", "HARD_SWISH", "LOGISTIC", "TANH"):
        return Unary(slot(op.inputs[0]), k)
    if k == "AVERAGE_POOL_2D":
        if o["padding"] != "VALID":
            raise NotImplementedError("AVERAGE_POOL_2D with SAME padding")
        return AvgPool(slot(op.inputs[0]), o["filter"], o["stride"], _ACTIVATION_CODES[o["activation"]])
    if k == "MEAN":
        rank = len(graph.tensors[op.inputs[0]].shape)
        axes = [int(a) % rank for a in np.atleast_1d(graph.const(op.inputs[1]))]
        nchw = [0, 2, 3, 1] if rank == 4 else list(range(rank))
        return Mean(slot(op.inputs[0]), sorted(nchw[a] for a in axes), o["keep_dims"])
    if k == "RESIZE_BILINEAR":
        if not o["align_corners"] and not o["half_pixel_centers"]:
            raise NotImplementedError("RESIZE_BILINEAR without half_pixel_centers or align_corners")
        return ResizeBilinear(slot(op.inputs[0]), graph.const(op.inputs[1]), o["align_corners"])
    extra = _build_layout_op(op, graph, slot)
    if extra is not None:
        return extra
    raise NotImplementedError(f"operator {k}")


# NHWC axis -> NCHW axis, for four-axis tensors.
_NCHW_AXIS = [0, 2, 3, 1]


def _build_layout_op(op: Operator, graph: Graph, slot) -> Optional[nn.Module]:
    """Operators that move or regroup elements: PAD, RESHAPE, DEPTH_TO_SPACE,
    CONCATENATION, and MAX_POOL_2D."""
    o = op.options
    k = op.kind
    in_shape = graph.tensors[op.inputs[0]].shape
    if k == "PAD":
        pads = graph.const(op.inputs[1]).astype(np.int64)  # (rank, 2), file axis order
        if len(in_shape) == 4:
            pads = pads[[0, 3, 1, 2]]
        flat: List[int] = []
        for before, after in pads[::-1]:  # F.pad starts at the last axis
            flat += [int(before), int(after)]
        return Pad(slot(op.inputs[0]), flat)
    if k == "RESHAPE":
        out_shape = [int(d) for d in graph.tensors[op.outputs[0]].shape]
        return Reshape(slot(op.inputs[0]), out_shape, len(in_shape) == 4, len(out_shape) == 4)
    if k == "DEPTH_TO_SPACE":
        return DepthToSpace(slot(op.inputs[0]), int(o["block_size"]))
    if k == "CONCATENATION":
        rank = len(in_shape)
        axis = int(o["axis"]) % rank
        if rank == 4:
            axis = _NCHW_AXIS[axis]
        return Concat([slot(i) for i in op.inputs], axis, _ACTIVATION_CODES[o["activation"]])
    if k == "MAX_POOL_2D":
        return MaxPool(slot(op.inputs[0]), o["filter"], o["stride"], o["padding"] == "SAME",
                       _ACTIVATION_CODES[o["activation"]])
    return None
