import os
import sys
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.dirname(os.path.abspath(__file__))
PLUGIN_DIR = os.environ.get("TAVELIN_TEST_PLUGIN_DIR", os.path.join(ROOT, "build", "plugin", "Tavelin"))

# The plug-in directory (module + models/) and the host package, as the venv sees them.
for path in (PLUGIN_DIR, os.path.join(ROOT, "host"), TESTS):
    if path not in sys.path:
        sys.path.insert(0, path)

# torch.jit.script/load announce their own deprecation; the plug-in's contract still uses them.
warnings.filterwarnings("ignore", message=r".*torch\.jit\..*deprecated", category=DeprecationWarning)
