"""A stand-in media host for the Tavelin matting plug-in, and the ``tavelin`` command.

    from tavelin_host import Host, read_image, write_image
    with Host() as host:                            # plug-in found as the CLI finds it
        cutout = host.matte_image(read_image("photo.jpg"), output="cutout")
        write_image("photo.cutout.png", cutout.pixels)

or, in one step, ``matte_file(host, "photo.jpg", preview=True)``.
"""
from __future__ import annotations

from .contract import VERSION as __version__

# Each public name and the module that defines it. They load on first use, so
# importing the package (or only its contract) pulls in neither NumPy nor OpenCV.
_HOMES = {
    "DeviceError": "devices", "TorchTools": "devices",
    "ImageReadError": "decoding", "read_image": "decoding",
    "ImageWriteError": "atomic", "write_image": "encoding",
    "HostImage": "images", "ImageTools": "images",
    "PluginError": "plugin", "find_plugin_dir": "plugin", "load_plugin": "plugin",
    "Host": "host",
    "matte_file": "pipeline",
}

__all__ = sorted([*_HOMES, "__version__"])


def __getattr__(name: str):
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(f".{home}", __name__), name)
