"""A stand-in media host for the Tavelin matting plug-in, and the ``tavelin`` command.

    from tavelin_host import Host, read_image, write_image
    with Host() as host:                            # plug-in found as the CLI finds it
        cutout = host.matte_image(read_image("photo.jpg"), output="cutout")
        write_image("photo.cutout.png", cutout.pixels)

or, in one step, ``host.matte_file("photo.jpg", preview=True)``.
"""
from __future__ import annotations

__version__ = "1.1.2"

from .devices import DeviceError, TorchTools
from .image_io import ImageReadError, ImageWriteError, read_image, write_image
from .images import HostImage, ImageTools
from .plugin import PluginError, find_plugin_dir, load_plugin

__all__ = [
    "DeviceError", "Host", "HostImage", "ImageReadError", "ImageTools", "ImageWriteError", "PluginError",
    "TorchTools", "__version__", "find_plugin_dir", "load_plugin", "matte_file", "read_image", "write_image",
]


def __getattr__(name: str):
    # Host and matte_file pull in asyncio and the plug-in machinery; load them on first use.
    if name == "Host":
        from .host import Host

        return Host
    if name == "matte_file":
        from .jobs import matte_file

        return matte_file
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
