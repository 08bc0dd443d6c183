import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN_DIR = os.environ.get("TAVELIN_TEST_PLUGIN_DIR", os.path.join(ROOT, "build", "plugin", "Tavelin"))

# The plug-in directory (module + models/), the host package and testkit, as the venv sees them.
for path in (PLUGIN_DIR, os.path.join(ROOT, "host"), ROOT):
    if path not in sys.path:
        sys.path.insert(0, path)


@pytest.fixture(scope="module", autouse=True)
def quick_loads():
    """A model load pauses 0.1 s between its first two steps; the tests skip the pause
    (module-wide, so module-scoped fixtures that load are quick too). A test that
    checks the pause records it with its own monkeypatch."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr("time.sleep", lambda seconds: None)
        yield
