"""What a host observes of the Tavelin plug-in, as constants for the stand-in host,
the tests and the benchmarks.

The plug-in's C++ header plugin/Tavelin/matting/contract.hpp holds the same
values and plugin/CONTRACT.md says why each one is kept; change them together.
This module imports nothing, so anything (the Makefile included) can read it.
"""

# The package's version; the plug-in object's `version` attribute is PLUGIN_VERSION.
VERSION = "1.1.2"
PLUGIN_VERSION = f"v{VERSION}"

# The extension module, and the plug-in object's attribute holding the loaded network.
MODULE_NAME = "Tavelin"
MODNEXT_ATTR = "modnext"

# The weight files, in MODELS_DIR below the plug-in directory: the float32 network
# and the one loaded for float16.
MODELS_DIR = "models"
FLOAT32_WEIGHTS = "3a8f6b2d0e9c4d7a1b5e8f2c6d0a4b91.pt"
FLOAT16_WEIGHTS = "7d1e0c4b9a2f4e6d8c3b5a7f9e1d2c40.pt"
WEIGHT_FILES = (FLOAT32_WEIGHTS, FLOAT16_WEIGHTS)

# The network's input side for each resize mode (the index); 0: the image's own size.
MODE_SIZES = (0, 256, 512, 1024)

# The resize mode a render gets when none is given (the plug-in's own parameter default).
DEFAULT_RESIZE_MODE = 1

# The most pixels an image read by the stand-in host may declare unless the caller allows
# more: 300 megapixels, about 1.2 GB as 8-bit RGBA and 4.8 GB as float.
DEFAULT_MAX_PIXELS = 300_000_000
DEFAULT_MAX_MEGAPIXELS = DEFAULT_MAX_PIXELS // 1_000_000

# Output codes (the members of the plug-in's OutputEnum), by the names the host gives them.
LUMA_MATTE = 1
CUTOUT = 2
OUTPUT_CODES = {"cutout": CUTOUT, "matte": LUMA_MATTE}

# A model load's progress steps on the host's bar, in order: (message, percent).
LOAD_STEPS = (
    ("Importing libraries...", 0),
    ("Importing libraries...", 10),
    ("Selecting model...", 20),
    ("Loading model weights...", 30),
    ("Moving model to device...", 70),
    ("Warming up model...", 90),
    ("Model loaded", 100),
)

if __name__ == "__main__":  # for the Makefile: the weight file names
    print(*WEIGHT_FILES)
