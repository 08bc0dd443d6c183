"""Checks a plug-in bundle with the interpreter that runs this script.

    python testkit/check_bundle.py dist/Tavelin

Imports the bundle's module built for this interpreter (the extension suffix
picks it), loads the network from the bundle's models/ and renders the sample
photo as a cut-out. Where this interpreter has no torch, run it with
testkit/doubles first on PYTHONPATH: the plug-in then runs on the torch double.
"""
from __future__ import annotations

import importlib.machinery
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "examples" / "astronaut.png"


def main(bundle: str) -> int:
    bundle_dir = Path(bundle).resolve()
    sys.path[:0] = [str(bundle_dir), str(ROOT)]
    import Tavelin

    module_file = Path(Tavelin.__file__)
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    if module_file.parent != bundle_dir or not module_file.name.endswith(suffix):
        print(f"bundle check: imported {module_file}, not the bundle's *{suffix}", file=sys.stderr)
        return 1

    import cv2
    import torch
    from testkit.host_double import API, Tools, drive, record

    rgb = cv2.cvtColor(cv2.imread(str(SAMPLE), cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
    plugin = Tavelin.Tavelin(API())
    params = {"output": Tavelin.OutputEnum.CUTOUT, "resize_mode": 1}
    result = drive(plugin.render(record(rgb), params, "bundle-check", Tools(str(bundle_dir))))
    cutout = result["image"]["array"]
    alpha = cutout[..., 3]
    opaque, clear = float((alpha > 200).mean()), float((alpha < 50).mean())
    ok = cutout.shape == (*rgb.shape[:2], 4) and opaque > 0.02 and clear > 0.02
    network = "torch double" if not hasattr(torch, "__version__") else f"torch {torch.__version__}"
    print(f"bundle check, Python {sys.version.split()[0]} ({network}): {module_file.name}, "
          f"{cutout.shape[1]}x{cutout.shape[0]} cut-out, {opaque:.0%} opaque, {clear:.0%} clear: "
          f"{'ok' if ok else 'FAILED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
