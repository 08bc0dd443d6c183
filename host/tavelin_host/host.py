"""The render step: the stand-in media host's API object, per-call tools, and rendering."""
from __future__ import annotations

import asyncio
import itertools
import os
from typing import Any, Callable, Mapping

import numpy as np

from .contract import CUTOUT, DEFAULT_RESIZE_MODE, MODE_SIZES, OUTPUT_CODES
from .devices import TorchTools, empty_cache
from .images import HostImage, ImageTools
from .plugin import load_plugin
from .postprocess import finish
from .progress import ProgressUI


class HostAPI:
    """The API object the plug-in is constructed with."""

    def __init__(self, ui: ProgressUI, torch_tools: TorchTools, image_tools: ImageTools | None = None):
        self.ui = ui
        self.TorchTools = torch_tools
        self.ImageTools = image_tools if image_tools is not None else ImageTools()

    def empty_cache(self) -> None:
        empty_cache()


class Tools:
    """The per-call tools object: the plug-in directory and a progress report."""

    def __init__(self, plugin_path: str, on_progress: Callable[[int], None] | None = None):
        self.plugin_path = plugin_path
        self.percent = 0
        self._on_progress = on_progress

    async def progress(self, percent: int) -> None:
        self.percent = int(percent)
        if self._on_progress is not None:
            self._on_progress(self.percent)
        await asyncio.sleep(0)


def output_code(output: str | int) -> int:
    if isinstance(output, str):
        try:
            return OUTPUT_CODES[output.lower()]
        except KeyError:
            raise ValueError(f"output must be one of {sorted(OUTPUT_CODES)}, got {output!r}") from None
    if output not in OUTPUT_CODES.values():
        raise ValueError(f"output must be 1 (matte) or 2 (cutout), got {output!r}")
    return int(output)


def check_resize_mode(resize_mode: int) -> int:
    if resize_mode not in range(len(MODE_SIZES)):
        raise ValueError(f"resize mode must be 0..{len(MODE_SIZES) - 1}, got {resize_mode!r}")
    return int(resize_mode)


class Host:
    """Loads the plug-in once and renders images through it.

    >>> host = Host()                                  # finds build/plugin/Tavelin etc.
    >>> cutout = host.matte_image(read_image("a.jpg"))  # HostImage, RGBA
    """

    def __init__(
        self,
        plugin_dir: str | os.PathLike | None = None,
        *,
        device: str = "auto",
        precision: str = "auto",
        quiet: bool | None = None,
        ui: ProgressUI | None = None,
    ):
        self.torch_tools = TorchTools(device, precision)
        self.torch_tools.resolve()  # an impossible device fails here, before the plug-in is touched
        self.module, self.plugin_dir = load_plugin(plugin_dir)
        self.ui = ui if ui is not None else ProgressUI(quiet)
        self.api = HostAPI(self.ui, self.torch_tools)
        self.plugin = self.module.Tavelin(self.api)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._ids = itertools.count(1)

    # -- plumbing ---------------------------------------------------------------

    @property
    def device(self) -> Any:
        return self.torch_tools.resolve()[0]

    @property
    def dtype(self) -> Any:
        return self.torch_tools.resolve()[1]

    def tools(self, on_progress: Callable[[int], None] | None = None) -> Tools:
        return Tools(str(self.plugin_dir), on_progress)

    def load_model(self) -> None:
        """Load the network now for the policy's device and precision (render does it on demand)."""
        device, dtype = self.torch_tools.resolve()
        self.plugin.load_model(device, dtype, self.tools())

    def _run(self, coroutine: Any) -> Any:
        if self._loop is None or self._loop.is_closed():
            self._loop = asyncio.new_event_loop()
        return self._loop.run_until_complete(coroutine)

    def close(self) -> None:
        self.ui.close_progress_bar()
        if self._loop is not None and not self._loop.is_closed():
            self._loop.close()
        self._loop = None

    def __enter__(self) -> "Host":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # -- rendering --------------------------------------------------------------

    def new_instance_id(self) -> int:
        """A fresh instance id; a clip keeps one for all its frames."""
        return next(self._ids)

    async def render_async(
        self, image: Mapping, params: Mapping[str, Any], on_progress: Callable[[int], None] | None = None,
        instance_id: int | None = None,
    ) -> HostImage:
        """Await the plug-in's render with a fresh tools object; returns the output host image."""
        if instance_id is None:
            instance_id = self.new_instance_id()
        result = await self.plugin.render(image, dict(params), instance_id, self.tools(on_progress))
        if not isinstance(result, Mapping) or "image" not in result:
            raise RuntimeError(f"the plug-in returned {type(result).__name__}, not {{'image': ...}}")
        out = result["image"]
        if not isinstance(out, HostImage):
            raise RuntimeError(f"the plug-in returned {type(out).__name__} as its image")
        return out

    def render(
        self, image: Mapping, params: Mapping[str, Any] | None = None,
        on_progress: Callable[[int], None] | None = None, instance_id: int | None = None,
    ) -> HostImage:
        """Render one host image with raw plug-in parameters ({"output": 1|2, "resize_mode": 0..3})."""
        return self._run(self.render_async(image, params or {}, on_progress, instance_id))

    async def render_image_async(self, image: HostImage, *, output: str | int = "cutout",
                                 resize_mode: int = DEFAULT_RESIZE_MODE, instance_id: int | None = None) -> HostImage:
        """The plug-in's own output for ``image``, checked: nothing of the post-process step applied.
        Awaited in the caller's event loop (a server's), so the plug-in's coroutine runs there."""
        params = {"output": output_code(output), "resize_mode": check_resize_mode(resize_mode)}
        result = await self.render_async(image, params, instance_id=instance_id)
        check_output(result, image, params["output"])
        return result

    def render_image(self, image: HostImage, *, output: str | int = "cutout", resize_mode: int = DEFAULT_RESIZE_MODE,
                     instance_id: int | None = None) -> HostImage:
        """``render_image_async`` on the host's own event loop."""
        return self._run(self.render_image_async(image, output=output, resize_mode=resize_mode,
                                                 instance_id=instance_id))

    def render_images(self, images, *, output: str | int = "cutout", resize_mode: int = DEFAULT_RESIZE_MODE,
                      instance_id: int | None = None) -> list[HostImage]:
        """``render_image`` for each image, in order (a clip's batch of frames)."""
        return [self.render_image(image, output=output, resize_mode=resize_mode, instance_id=instance_id)
                for image in images]

    def matte_image(
        self,
        image: HostImage | np.ndarray,
        *,
        output: str | int = "cutout",
        resize_mode: int = DEFAULT_RESIZE_MODE,
        decontaminate: bool = False,
    ) -> HostImage:
        """Matte one image.

        ``image``: a host image, or an array (uint8 / uint16 / float, RGB or RGBA).
        Returns a host image at the input's size and bit depth: RGBA for
        "cutout" (alpha: the matte times the input's own alpha), a
        three-channel grey matte for "matte".  ``decontaminate`` replaces a
        cut-out's colour by the estimated foreground colour.
        """
        if not isinstance(image, HostImage):
            image = HostImage.from_array(image)
        result = self.render_image(image, output=output, resize_mode=resize_mode)
        if output_code(output) == CUTOUT and (decontaminate or image.channels == 4):
            cutout = finish(image, result, "cutout", decontaminate=decontaminate)["cutout"]
            result = HostImage(cutout, result.bit_depth)
        return result

def check_output(result: HostImage, image: HostImage, output: int) -> None:
    """The plug-in's output must have the input's size and bit depth and the kind's channels."""
    want_channels = 4 if output == CUTOUT else 3
    if (result.height, result.width) != (image.height, image.width):
        raise RuntimeError(
            f"the plug-in returned {result.width}x{result.height} for a {image.width}x{image.height} image"
        )
    if result.channels != want_channels or result.bit_depth != image.bit_depth:
        raise RuntimeError(
            f"the plug-in returned {result.channels} channels at {result.bit_depth} bits, "
            f"expected {want_channels} at {image.bit_depth}"
        )

