"""Command-line value types shared by ``tavelin`` and ``tavelin serve``: each parses one
option's text or raises argparse's error with a line saying what was wanted."""
from __future__ import annotations

import argparse
import math

from .devices import DeviceError, parse_device, parse_precision
from .naming import OUTPUT_KINDS


def device_arg(value: str) -> str:
    try:
        return parse_device(value)
    except DeviceError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def background_arg(value: str):
    from .background import Background, BackgroundError

    try:
        return Background.parse(value)
    except BackgroundError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def precision_arg(value: str) -> str:
    try:
        return parse_precision(value)
    except DeviceError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def outputs_arg(value: str) -> tuple[str, ...]:
    kinds = tuple(dict.fromkeys(part.strip() for part in value.split(",")))
    wrong = [kind for kind in kinds if kind not in OUTPUT_KINDS]
    if wrong or not kinds:
        raise argparse.ArgumentTypeError(f"invalid choice: {value!r} (choose cutout, matte or cutout,matte)")
    return kinds


def number_arg(kind: type, allowed, wanted: str):
    """An argparse type: ``kind(value)`` where ``allowed(number)``, else "must be ``wanted``"."""
    def parse(value: str):
        try:
            number = kind(value)
        except ValueError:
            number = None
        if number is None or not allowed(number):
            raise argparse.ArgumentTypeError(f"must be {wanted}: {value!r}")
        return number

    return parse


fraction_arg = number_arg(float, lambda n: 0.0 <= n <= 1.0, "a number from 0 to 1")
radius_arg = number_arg(float, lambda n: 0.0 < n <= 1000.0, "a radius in pixels, above 0")
count_arg = number_arg(int, lambda n: n >= 1, "a whole number, 1 or more")


def megapixels_arg(value: str) -> float:
    try:
        megapixels = float(value)
    except ValueError:
        megapixels = -1.0
    # inf (or 1e400, which parses as inf) has no pixel count to compare with
    if not (megapixels > 0 and math.isfinite(megapixels)):
        raise argparse.ArgumentTypeError(f"not a finite positive number of megapixels: {value!r}")
    return megapixels
