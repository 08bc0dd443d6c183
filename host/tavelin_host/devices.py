"""Device and precision policy: the host's TorchTools.

auto: CUDA with float16 when a CUDA device is available, else the CPU with
float32.  Either half can be pinned: ``device`` "cpu", "cuda" or "cuda:N";
``precision`` "fp32" or "fp16".  An automatic precision follows the device
(float16 on CUDA, float32 on the CPU).  The network itself computes in
float32 on the CPU whatever it is loaded as (the CPU has no fast float16
convolutions), so ``describe`` reports fp32 there.
"""
from __future__ import annotations

import os

import re
import sys
from typing import Any

DEVICE_CHOICES = ("auto", "cpu", "cuda", "cuda:N")
PRECISION_CHOICES = ("auto", "fp32", "fp16")
_PRECISION_ALIASES = {
    "auto": "auto",
    "fp32": "fp32", "float32": "fp32", "float": "fp32", "single": "fp32",
    "fp16": "fp16", "float16": "fp16", "half": "fp16",
}


class DeviceError(ValueError):
    """The requested device or precision cannot be used here."""


def parse_device(device: str) -> str:
    device = str(device).strip().lower()
    if device in ("auto", "cpu", "cuda") or re.fullmatch(r"cuda:\d+", device):
        return device
    raise DeviceError(f"unknown device {device!r}: use auto, cpu, cuda or cuda:N")


def parse_precision(precision: str) -> str:
    value = _PRECISION_ALIASES.get(str(precision).strip().lower())
    if value is None:
        raise DeviceError(f"unknown precision {precision!r}: use auto, fp32 or fp16")
    return value


class TorchTools:
    """Answers the plug-in's ``get_device_dtype()`` with a fixed, validated choice."""

    def __init__(self, device: str = "auto", precision: str = "auto"):
        self.requested_device = parse_device(device)
        self.requested_precision = parse_precision(precision)
        self._resolved: tuple[Any, Any] | None = None

    def resolve(self) -> tuple[Any, Any]:
        """(torch.device, torch dtype), checked against the machine once."""
        if self._resolved is None:
            import torch

            device = self.requested_device
            if device == "auto":
                device = "cuda" if torch.cuda.is_available() else "cpu"
            if device.startswith("cuda"):
                if not torch.cuda.is_available():
                    raise DeviceError(f"device {device!r} requested, but CUDA is not available")
                index = int(device.split(":")[1]) if ":" in device else 0
                if index >= torch.cuda.device_count():
                    raise DeviceError(
                        f"device {device!r} requested, but only {torch.cuda.device_count()} CUDA device(s) exist"
                    )
            precision = self.requested_precision
            if precision == "auto":
                precision = "fp16" if device.startswith("cuda") else "fp32"
            dtype = torch.float16 if precision == "fp16" else torch.float32
            self._resolved = (torch.device(device), dtype)
        return self._resolved

    def get_device_dtype(self) -> tuple[Any, Any]:
        return self.resolve()

    def describe(self) -> str:
        """What ran, for the summary line: "cuda / fp16", "cpu / fp32", and on the
        CPU with float16 asked "cpu / fp32 (fp16 asked; the CPU runs float32)"."""
        device, dtype = self.resolve()
        half = str(dtype) == "torch.float16"
        if half and getattr(device, "type", str(device)) == "cpu":
            return f"{device} / fp32 (fp16 asked; the CPU runs float32)"
        return f"{device} / {'fp16' if half else 'fp32'}"


def empty_cache() -> None:
    """Release cached accelerator memory, where there is an accelerator."""
    torch = sys.modules.get("torch")
    if torch is not None and torch.cuda.is_available():
        torch.cuda.empty_cache()


def default_threads() -> int:
    """Network threads for this command's own process: half the cores, the rest decoding and
    encoding beside it.  On 2 cores a clip ran at 15.2 fps with 1 network thread against
    12.0 with 2, and beside a process busy on one core at 14.6 fps against 1.3 (a thread
    pool as wide as the cores waits on whichever of its threads lost its core)."""
    return max(1, (os.cpu_count() or 2) // 2)
