"""The wheel as a user installs it: built, installed into a fresh venv, run on a photo,
uninstalled with nothing of ours left.  Minutes of work (the extension compiled, the
weights converted, torch installed into the venv): `make test-wheel` runs it."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.skipif(os.environ.get("TAVELIN_WHEEL_TEST") != "1",
                                reason="minutes long: run with `make test-wheel`")


def run(*command, **kwargs):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=1800, **kwargs)
    assert done.returncode == 0, done.stderr[-2000:]
    return done


def test_the_wheel_installs_runs_and_uninstalls_without_a_trace(tmp_path):
    run(sys.executable, "-m", "pip", "wheel", ROOT, "--no-build-isolation", "--no-deps", "-q", "-w", tmp_path / "dist")
    [wheel] = (tmp_path / "dist").glob("tavelin-*.whl")
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", wheel)
    purelib = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").stdout.strip())
    ours = lambda: sorted(p.name for p in purelib.iterdir() if p.name.lower().startswith(("tavelin", "models")))  # noqa: E731
    assert ours() == ["tavelin-" + wheel.name.split("-")[1] + ".dist-info", "tavelin_host", "tavelin_plugin"]

    photo = ROOT / "examples" / "astronaut.png"
    done = run(venv / "bin" / "tavelin", photo, "-o", tmp_path / "out", cwd=tmp_path)
    assert "1 of 1 matted" in done.stderr
    assert (tmp_path / "out" / "astronaut.cutout.png").stat().st_size > 0

    run(python, "-m", "pip", "uninstall", "-y", "-q", "tavelin")
    assert ours() == [] and not (venv / "bin" / "tavelin").exists()
