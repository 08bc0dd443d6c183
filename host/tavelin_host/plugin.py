"""Finding and importing the plug-in the way a media host does.

A plug-in directory holds the extension module ``Tavelin`` (for example
``Tavelin.cpython-311-x86_64-linux-gnu.so``) and a ``models/`` folder with
the weight files.  The module exists once per process: when ``Tavelin`` is
already imported it is reused, whichever directory it came from.
"""
from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
from pathlib import Path
from types import ModuleType

from .contract import FLOAT16_WEIGHTS, FLOAT32_WEIGHTS, MODELS_DIR, MODULE_NAME

ENV_VAR = "TAVELIN_PLUGIN_DIR"
_CHECKOUT = Path(__file__).resolve().parents[2]
# Where a source checkout keeps a built plug-in, in order of preference.
CHECKOUT_CANDIDATES = (_CHECKOUT / "build" / "plugin" / MODULE_NAME, _CHECKOUT / "dist" / MODULE_NAME)


class PluginError(RuntimeError):
    """No usable plug-in directory, or the module failed to import."""


def how_to_get_weights(plugin_dir: Path | str) -> str:
    """What to do when a plug-in directory has no network weights."""
    return (f"reinstall the package (`pip install .` builds them into it), build them in a source checkout "
            f"with `make models` (then --plugin-dir build/plugin/{MODULE_NAME}), or pass --plugin-dir DIR "
            "of a plug-in bundle")


# Where an installed wheel keeps the module and its weights (a package of our own name).
INSTALLED_PACKAGE = "tavelin_plugin"


def installed_plugin_dir() -> Path | None:
    """The installed package's folder, when it holds the module and its weights."""
    try:
        spec = importlib.util.find_spec(INSTALLED_PACKAGE)
    except (ImportError, ValueError):
        return None
    for location in getattr(spec, "submodule_search_locations", None) or []:
        if is_plugin_dir(Path(location)):
            return Path(location).resolve()
    return None


def missing_weights(plugin_dir: Path, precision: str = "auto") -> list[str]:
    """The weight files a run with ``precision`` ("auto", "fp32", "fp16") needs and ``plugin_dir`` lacks
    ("auto": one of the two is enough, the device decides which)."""
    wanted = {"fp32": [FLOAT32_WEIGHTS], "fp16": [FLOAT16_WEIGHTS]}.get(precision, [FLOAT32_WEIGHTS, FLOAT16_WEIGHTS])
    missing = [name for name in wanted if not (plugin_dir / MODELS_DIR / name).is_file()]
    return missing if len(missing) == len(wanted) else []


def module_file(plugin_dir: Path) -> Path | None:
    """The importable ``Tavelin`` file in ``plugin_dir``: an extension module, else Python source."""
    for suffix in (*importlib.machinery.EXTENSION_SUFFIXES, *importlib.machinery.SOURCE_SUFFIXES):
        candidate = plugin_dir / f"{MODULE_NAME}{suffix}"
        if candidate.is_file():
            return candidate
    return None


def is_plugin_dir(path: Path) -> bool:
    return path.is_dir() and (path / MODELS_DIR).is_dir() and module_file(path) is not None


def find_plugin_dir(plugin_dir: str | os.PathLike | None = None) -> Path:
    """The plug-in directory to use.

    In order: ``plugin_dir``; the environment variable TAVELIN_PLUGIN_DIR; the
    installed package (``pip install .``); the folder of an importable ``Tavelin``
    module with ``models/`` beside it; a
    build in this source checkout (build/plugin/Tavelin, then dist/Tavelin).
    An explicit directory (argument or environment) must be a plug-in
    directory; it is an error otherwise.
    """
    for explicit, origin in ((plugin_dir, "plug-in directory"), (os.environ.get(ENV_VAR) or None, ENV_VAR)):
        if explicit is None:
            continue
        path = Path(explicit).expanduser().resolve()
        if not path.is_dir():
            raise PluginError(f"{origin} {path} does not exist")
        if module_file(path) is None:
            raise PluginError(f"{origin} {path} holds no {MODULE_NAME} module")
        if not (path / MODELS_DIR).is_dir():
            raise PluginError(f"{origin} {path} has no {MODELS_DIR}/ folder (run `make models`)")
        return path

    installed = installed_plugin_dir()
    if installed is not None:
        return installed

    loaded = sys.modules.get(MODULE_NAME)
    origin = getattr(loaded, "__file__", None) if loaded is not None else None
    if origin is None:
        try:
            spec = importlib.util.find_spec(MODULE_NAME)
        except (ImportError, ValueError):
            spec = None
        origin = spec.origin if spec is not None else None
    without_models = None
    if origin:
        path = Path(origin).resolve().parent
        if (path / MODELS_DIR).is_dir():
            return path
        without_models = path

    for path in CHECKOUT_CANDIDATES:
        if is_plugin_dir(path):
            return path
    if without_models is not None:  # e.g. installed with pip: the module, no weights
        raise PluginError(f"the {MODULE_NAME} module in {without_models} has no network weights beside it: "
                          + how_to_get_weights(without_models))
    raise PluginError(
        f"no plug-in found: pass --plugin-dir, set {ENV_VAR}, or build one with `make plugin models`"
    )


def load_plugin(plugin_dir: str | os.PathLike | None = None) -> tuple[ModuleType, Path]:
    """Import the plug-in module (once per process) and return it with its directory."""
    path = find_plugin_dir(plugin_dir)
    module = sys.modules.get(MODULE_NAME)
    if module is not None:
        return module, path
    source = module_file(path)
    if source is None:
        # Resolved through an importable module whose file is elsewhere than path.
        raise PluginError(f"{path} holds no {MODULE_NAME} module")
    spec = importlib.util.spec_from_file_location(MODULE_NAME, source)
    if spec is None or spec.loader is None:
        raise PluginError(f"cannot import {source}")
    module = None
    try:
        module = importlib.util.module_from_spec(spec)
        sys.modules[MODULE_NAME] = module
        spec.loader.exec_module(module)
    except Exception as exc:
        if module is not None and sys.modules.get(MODULE_NAME) is module:
            del sys.modules[MODULE_NAME]
        raise PluginError(f"importing {source} failed: {type(exc).__name__}: {exc}") from exc
    return sys.modules.get(MODULE_NAME, module), path
