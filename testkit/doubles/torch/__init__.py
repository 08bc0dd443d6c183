"""A NumPy-backed stand-in for the few torch calls the plug-in makes.

Only for interpreters that have no torch build here (the host's Python 3.10):
with this folder first on sys.path the plug-in imports, loads a weight file
and renders, so its own code paths run end to end. ``jit.load`` returns a
network double whose matte is each pixel's colour distance from the image's
border colour: a deterministic, image-dependent matte, not a real network.
"""
from __future__ import annotations

import contextlib
import os

import numpy as np


class dtype:
    def __init__(self, name: str, np_type):
        self.name = name
        self.np_type = np_type

    def __repr__(self) -> str:
        return f"torch.{self.name}"


float32 = dtype("float32", np.float32)
float16 = dtype("float16", np.float16)
_BY_NP = {np.dtype(np.float32): float32, np.dtype(np.float16): float16}


class device:
    def __init__(self, spec="cpu"):
        self.type = str(spec).split(":")[0]

    def __eq__(self, other):
        return isinstance(other, device) and other.type == self.type

    def __hash__(self):
        return hash(self.type)

    def __repr__(self):
        return f"device(type='{self.type}')"


class Tensor:
    def __init__(self, array: np.ndarray):
        self._array = array

    @property
    def shape(self):
        return self._array.shape

    def dim(self) -> int:
        return self._array.ndim

    @property
    def dtype(self):
        return _BY_NP.get(self._array.dtype, self._array.dtype)

    def to(self, target):
        if isinstance(target, dtype):
            return Tensor(self._array.astype(target.np_type))
        return self  # a device: everything lives on the CPU here

    def half(self):
        return Tensor(self._array.astype(np.float16))

    def float(self):
        return Tensor(self._array.astype(np.float32))

    def select(self, dim: int, index: int):
        return Tensor(np.take(self._array, index, axis=dim))

    def detach(self):
        return self

    def contiguous(self):
        return Tensor(np.ascontiguousarray(self._array))

    def cpu(self):
        return self

    def numpy(self):
        return self._array


def zeros(shape, dtype=float32, device=None):
    return Tensor(np.zeros(shape, dtype=dtype.np_type))


def from_numpy(array: np.ndarray) -> Tensor:
    return Tensor(array)


_grad_enabled = [True]


def is_grad_enabled() -> bool:
    return _grad_enabled[-1]


@contextlib.contextmanager
def _no_grad_scope():
    _grad_enabled.append(False)
    try:
        yield
    finally:
        _grad_enabled.pop()


class no_grad:
    def __enter__(self):
        self._scope = _no_grad_scope()
        return self._scope.__enter__()

    def __exit__(self, *exc):
        return self._scope.__exit__(*exc)


def set_num_threads(count: int) -> None:
    pass


class _NetworkDouble:
    def __init__(self, path: str):
        self.path = path
        self.half_precision = False

    def to(self, target):
        return self

    def half(self):
        self.half_precision = True
        return self

    def eval(self):
        return self

    def __call__(self, image: Tensor) -> Tensor:
        bgr = image._array.astype(np.float32)
        border = np.concatenate([bgr[0], bgr[-1], bgr[:, 0], bgr[:, -1]]).mean(axis=0)
        distance = np.sqrt(((bgr - border) ** 2).sum(axis=2, keepdims=True))
        return Tensor(np.clip((distance - 60.0) / 60.0, 0.0, 1.0).astype(image._array.dtype))


class _Jit:
    @staticmethod
    def load(path, map_location=None):
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise ValueError(f"The provided filename {path} does not exist")
        return _NetworkDouble(path)

    @staticmethod
    def optimized_execution(should_optimize: bool):
        return contextlib.nullcontext()


jit = _Jit()


class _Cuda:
    @staticmethod
    def is_available() -> bool:
        return False

    @staticmethod
    def empty_cache() -> None:
        pass


cuda = _Cuda()
