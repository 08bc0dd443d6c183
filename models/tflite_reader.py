"""Reads a TFLite flatbuffer into plain Python records.

Only what the converter needs is kept: the tensors of the first subgraph (shape,
element type, constant data), its operators in execution order with their
decoded options, and the graph's inputs and outputs.  Constant tensors that are
produced by DEQUANTIZE from float16 data are folded into float32 constants, and
sparse constants (unpacked by DENSIFY in the file) are stored dense, so the rest
of the converter never sees DEQUANTIZE or DENSIFY.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import tflite

_BUILTIN_NAMES = {v: k for k, v in vars(tflite.BuiltinOperator).items() if not k.startswith("_")}
_NUMPY_TYPES = {
    tflite.TensorType.FLOAT32: np.float32,
    tflite.TensorType.FLOAT16: np.float16,
    tflite.TensorType.INT32: np.int32,
    tflite.TensorType.INT64: np.int64,
    tflite.TensorType.UINT8: np.uint8,
    tflite.TensorType.INT8: np.int8,
}
_PADDING = {tflite.Padding.SAME: "SAME", tflite.Padding.VALID: "VALID"}
_ACTIVATION = {
    tflite.ActivationFunctionType.NONE: "NONE",
    tflite.ActivationFunctionType.RELU: "RELU",
    tflite.ActivationFunctionType.RELU_N1_TO_1: "RELU_N1_TO_1",
    tflite.ActivationFunctionType.RELU6: "RELU6",
    tflite.ActivationFunctionType.TANH: "TANH",
}
# TfLitePadding as laid out in the C struct that custom operators receive.
_C_PADDING = {1: "SAME", 2: "VALID"}


@dataclass
class Tensor:
    index: int
    name: str
    shape: tuple[int, ...]
    dtype: type
    data: np.ndarray | None = None  # constant value, already in `shape`


@dataclass
class Operator:
    kind: str  # builtin name such as "CONV_2D", or the custom code
    inputs: list[int]  # tensor indices; -1 for an omitted optional input
    outputs: list[int]
    options: dict = field(default_factory=dict)


@dataclass
class Graph:
    tensors: list[Tensor]
    operators: list[Operator]
    inputs: list[int]
    outputs: list[int]

    def const(self, index: int) -> np.ndarray:
        data = self.tensors[index].data
        if data is None:
            raise ValueError(f"tensor {self.tensors[index].name!r} is not a constant")
        return data


def _options(op, cls):
    table = op.BuiltinOptions()
    opts = cls()
    opts.Init(table.Bytes, table.Pos)
    return opts


def _decode_options(kind: str, op) -> dict:
    if kind == "CONV_2D":
        o = _options(op, tflite.Conv2DOptions)
        return dict(padding=_PADDING[o.Padding()], stride=(o.StrideH(), o.StrideW()),
                    dilation=(o.DilationHFactor(), o.DilationWFactor()),
                    activation=_ACTIVATION[o.FusedActivationFunction()])
    if kind == "DEPTHWISE_CONV_2D":
        o = _options(op, tflite.DepthwiseConv2DOptions)
        return dict(padding=_PADDING[o.Padding()], stride=(o.StrideH(), o.StrideW()),
                    dilation=(o.DilationHFactor(), o.DilationWFactor()),
                    depth_multiplier=o.DepthMultiplier(),
                    activation=_ACTIVATION[o.FusedActivationFunction()])
    if kind in ("AVERAGE_POOL_2D", "MAX_POOL_2D"):
        o = _options(op, tflite.Pool2DOptions)
        return dict(padding=_PADDING[o.Padding()], stride=(o.StrideH(), o.StrideW()),
                    filter=(o.FilterHeight(), o.FilterWidth()),
                    activation=_ACTIVATION[o.FusedActivationFunction()])
    if kind == "ADD":
        o = _options(op, tflite.AddOptions)
        return dict(activation=_ACTIVATION[o.FusedActivationFunction()])
    if kind == "MUL":
        o = _options(op, tflite.MulOptions)
        return dict(activation=_ACTIVATION[o.FusedActivationFunction()])
    if kind == "MEAN":
        o = _options(op, tflite.ReducerOptions)
        return dict(keep_dims=bool(o.KeepDims()))
    if kind == "RESIZE_BILINEAR":
        o = _options(op, tflite.ResizeBilinearOptions)
        return dict(align_corners=bool(o.AlignCorners()), half_pixel_centers=bool(o.HalfPixelCenters()))
    if kind == "CONCATENATION":
        o = _options(op, tflite.ConcatenationOptions)
        return dict(axis=o.Axis(), activation=_ACTIVATION[o.FusedActivationFunction()])
    if kind == "DEPTH_TO_SPACE":
        o = _options(op, tflite.DepthToSpaceOptions)
        return dict(block_size=o.BlockSize())
    if kind == "Convolution2DTransposeBias":
        # The custom options are the raw bytes of TfLiteTransposeConvParams:
        # int32 padding, int32 stride_width, int32 stride_height.
        raw = op.CustomOptionsAsNumpy().tobytes()
        padding, stride_w, stride_h = struct.unpack("<3i", raw[:12])
        return dict(padding=_C_PADDING[padding], stride=(stride_h, stride_w))
    return {}


def _densify(values: np.ndarray, sparsity, shape: tuple[int, ...]) -> np.ndarray:
    """Unpack a sparse constant (TFLite's SparsityParameters) into a dense array of ``shape``."""
    levels: list = []
    for level in range(sparsity.TraversalOrderLength()):
        meta = sparsity.DimMetadata(level)
        if meta.Format() == tflite.DimensionType.DENSE:
            levels.append(int(meta.DenseSize()))
        else:
            levels.append((_index_vector(meta.ArraySegments(), meta.ArraySegmentsType()),
                           _index_vector(meta.ArrayIndices(), meta.ArrayIndicesType())))
    order = [int(d) for d in sparsity.TraversalOrderAsNumpy()]
    block_map = [int(d) for d in sparsity.BlockMapAsNumpy()] if sparsity.BlockMapLength() else []
    return densify(values, order, block_map, levels, shape)


def densify(values: np.ndarray, order: list[int], block_map: list[int], levels: list,
            shape: tuple[int, ...]) -> np.ndarray:
    """Unpack sparse values into a dense array of ``shape``.

    ``levels`` in traversal order (``order`` names each one's dimension): a DENSE
    level is its size and enumerates all its positions; a SPARSE_CSR level is
    (segments, indices) and holds only the positions listed between its segment
    bounds.  The stored values come in exactly that nested order.  Levels beyond
    the tensor's rank are blocks of the dimension that ``block_map`` names.
    """
    rank = len(shape)
    idx = np.zeros(1, np.int64)  # position of each partial path within its level
    coords: list[np.ndarray] = []  # per level: the coordinate of each partial path
    sizes = []
    for level in levels:
        if isinstance(level, int):
            n = level
            sizes.append(n)
            coords = [np.repeat(c, n) for c in coords] + [np.tile(np.arange(n), len(idx))]
            idx = (idx[:, None] * n + np.arange(n)).ravel()
        else:
            segments, indices = (np.asarray(v, np.int64) for v in level)
            starts, ends = segments[idx], segments[idx + 1]
            counts = ends - starts
            positions = np.concatenate([np.arange(a, b) for a, b in zip(starts, ends)]) if len(idx) else idx
            coords = [np.repeat(c, counts) for c in coords] + [indices[positions]]
            idx = positions.astype(np.int64)
            sizes.append(None)
    if len(idx) != values.size:
        raise ValueError(f"sparse tensor: {values.size} values for {len(idx)} positions")
    full = [c.astype(np.int64) for c in coords[:rank]]
    dense_coords: list[np.ndarray] = [np.zeros(0)] * rank
    for level in range(rank):
        dense_coords[order[level]] = full[level]
    for k, dim in enumerate(block_map):
        level = rank + k
        block = sizes[level]
        if block is None:
            raise NotImplementedError("sparse block dimension")
        dense_coords[dim] = dense_coords[dim] * block + coords[level]
    out = np.zeros(shape, values.dtype)
    out[tuple(dense_coords)] = values.ravel()
    return out


def _index_vector(vector, kind) -> np.ndarray:
    cls = {tflite.SparseIndexVector.Int32Vector: tflite.Int32Vector,
           tflite.SparseIndexVector.Uint16Vector: tflite.Uint16Vector,
           tflite.SparseIndexVector.Uint8Vector: tflite.Uint8Vector}[kind]
    v = cls()
    v.Init(vector.Bytes, vector.Pos)
    return v.ValuesAsNumpy().astype(np.int64)


def read_graph(path: str | Path) -> Graph:
    buf = Path(path).read_bytes()
    model = tflite.Model.GetRootAsModel(buf, 0)
    if model.SubgraphsLength() != 1:
        raise ValueError(f"{path}: expected one subgraph, found {model.SubgraphsLength()}")
    sub = model.Subgraphs(0)

    codes = []
    for i in range(model.OperatorCodesLength()):
        oc = model.OperatorCodes(i)
        code = max(oc.BuiltinCode(), oc.DeprecatedBuiltinCode())
        codes.append(oc.CustomCode().decode() if code == tflite.BuiltinOperator.CUSTOM else _BUILTIN_NAMES[code])

    tensors = []
    for i in range(sub.TensorsLength()):
        t = sub.Tensors(i)
        shape = tuple(int(s) for s in t.ShapeAsNumpy()) if t.ShapeLength() else ()
        dtype = _NUMPY_TYPES[t.Type()]
        data = None
        b = model.Buffers(t.Buffer())
        if b is not None and b.DataLength() > 0:
            values = b.DataAsNumpy().view(dtype)
            if t.Sparsity() is not None:
                data = _densify(values, t.Sparsity(), shape)
            else:
                data = values.reshape(shape).copy()
        tensors.append(Tensor(i, t.Name().decode(), shape, dtype, data))

    operators = []
    for i in range(sub.OperatorsLength()):
        op = sub.Operators(i)
        kind = codes[op.OpcodeIndex()]
        ins = [int(j) for j in op.InputsAsNumpy()]
        outs = [int(j) for j in op.OutputsAsNumpy()]
        if kind == "DENSIFY" and tensors[ins[0]].data is not None:
            tensors[outs[0]].data = tensors[ins[0]].data  # already stored dense
            continue
        if kind == "DEQUANTIZE" and tensors[ins[0]].data is not None:
            src = tensors[ins[0]]
            if src.dtype is not np.float16:
                raise NotImplementedError(f"DEQUANTIZE of {src.dtype.__name__} data ({src.name})")
            tensors[outs[0]].data = src.data.astype(np.float32)
            continue
        operators.append(Operator(kind, ins, outs, _decode_options(kind, op)))

    return Graph(tensors, operators,
                 [int(j) for j in sub.InputsAsNumpy()], [int(j) for j in sub.OutputsAsNumpy()])
