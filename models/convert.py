"""Write the plug-in's two TorchScript network files.

    python -m models.convert --out DIR

DIR/3a8f6b2d0e9c4d7a1b5e8f2c6d0a4b91.pt is the float32 network;
DIR/7d1e0c4b9a2f4e6d8c3b5a7f9e1d2c40.pt is the same network stored in half
precision (the plug-in loads it for float16 and calls .half() on it anyway).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

import torch

from .matting import Matting, Primed
from .layers import build_net
from .people import build_stage
from .tflite_reader import read_graph

MODEL_DIR = Path(__file__).resolve().parent / "selfie_segmentation"
GENERAL_MODEL = MODEL_DIR / "selfie_segmentation.tflite"
LANDSCAPE_MODEL = MODEL_DIR / "selfie_segmentation_landscape.tflite"
from tavelin_host.contract import FLOAT16_WEIGHTS as FLOAT16_FILE, FLOAT32_WEIGHTS as FLOAT32_FILE


def build_module(refine: bool = True, landscape: bool = True, people: bool = True) -> Matting:
    net = build_net(read_graph(GENERAL_MODEL))
    landscape_net = build_net(read_graph(LANDSCAPE_MODEL)) if landscape else None
    stage = build_stage() if people else None
    return Matting(net, landscape_net, refine=refine, people=stage).eval()


def script_module(module: Matting) -> torch.jit.ScriptModule:
    """The module as the files hold it: ``module`` scripted, primed on its first call (see ``Primed``)."""
    return torch.jit.script(Primed(module))


def write_models(out_dir: str | os.PathLike) -> list[Path]:
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    if os.environ.get("PYTHONHASHSEED") != "0":
        # TorchScript writes a module's constants in the iteration order of a
        # Python set of their names, which follows the process's string hash
        # seed: the files are written from a process with the seed fixed, so
        # that every run gives the same bytes.
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run([sys.executable, "-m", "models.convert", "--out", str(out_dir.resolve())],
                       env=env, cwd=str(Path(__file__).resolve().parents[1]), check=True, stdout=subprocess.DEVNULL)
        return [out_dir / FLOAT32_FILE, out_dir / FLOAT16_FILE]
    written = []
    for name, half in ((FLOAT32_FILE, False), (FLOAT16_FILE, True)):
        module = build_module()
        if half:
            module = module.half()
        path = out_dir / name
        tmp = path.with_suffix(".tmp")
        # torch.jit.save writes the same bytes for the same module (no timestamps;
        # the archive's serialisation id is a checksum of its records).
        torch.jit.save(script_module(module), str(tmp))
        os.replace(tmp, path)
        written.append(path)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m models.convert", description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="directory for the two .pt files")
    args = parser.parse_args(argv)
    for path in write_models(args.out):
        print(f"wrote {path} ({path.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
