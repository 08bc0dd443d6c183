// The constants of the contract hosts observe (plugin/CONTRACT.md), each
// written once. Names match host/tavelin_host/contract.py.
#pragma once

#include <array>

namespace tavelin::contract {

// Module and class: CONTRACT.md "module".
inline constexpr const char *MODULE_NAME = "Tavelin";
inline constexpr const char *CLASS_NAME = "Tavelin";
inline constexpr const char *INTERPRETER_CHANGE_ERROR =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char *REINITIALISATION_ERROR =
    "Module 'Tavelin' has already been imported. Re-initialisation is not supported.";

// Instance attributes and the constructor's values: CONTRACT.md "attributes".
inline constexpr const char *ZEL_ATTR = "zel";
inline constexpr const char *VERSION_ATTR = "version";
inline constexpr const char *IMAGE_TOOLS_ATTR = "ImageTools";
inline constexpr const char *RENDERED_FRAMES_ATTR = "rendered_frames";
inline constexpr const char *MODEL_ATTR = "model";
inline constexpr const char *MODEL_NAME_ATTR = "model_name";
inline constexpr const char *LOADED_DEVICE_ATTR = "model_loaded_on_device";
inline constexpr const char *LOADED_DTYPE_ATTR = "model_loaded_with_dtype";
inline constexpr const char *MODNEXT_ATTR = "modnext";
inline constexpr const char *MODEL_ON_DEVICE_ATTR = "model_on_device";
inline constexpr const char *PLUGIN_VERSION = "v1.1.2";
inline constexpr const char *NOT_LOADED_DEVICE = "Not loaded on any device";
inline constexpr const char *NOT_LOADED_DTYPE = "Not loaded with any dtype";

// Render parameters: CONTRACT.md "parameters".
inline constexpr int LUMA_MATTE = 1;
inline constexpr int CUTOUT = 2;
inline constexpr int DEFAULT_RESIZE_MODE = 1;
// Network input side by resize mode; 0: the image's own size.
inline constexpr std::array<int, 4> MODE_SIZES = {0, 256, 512, 1024};

// Model loading: CONTRACT.md "load steps".
// The weight files, in MODELS_DIR below the plug-in directory (tools.plugin_path).
inline constexpr const char *MODELS_DIR = "models";
inline constexpr const char *FLOAT32_WEIGHTS = "3a8f6b2d0e9c4d7a1b5e8f2c6d0a4b91.pt";
inline constexpr const char *FLOAT16_WEIGHTS = "7d1e0c4b9a2f4e6d8c3b5a7f9e1d2c40.pt";
inline constexpr double LOAD_PAUSE_S = 0.1;
inline constexpr int WARMUP_SIZE = 512;

struct LoadStep {
    const char *message;
    int percent;
};
inline constexpr std::array<LoadStep, 7> LOAD_STEPS = {{
    {"Importing libraries...", 0},
    {"Importing libraries...", 10},
    {"Selecting model...", 20},
    {"Loading model weights...", 30},
    {"Moving model to device...", 70},
    {"Warming up model...", 90},
    {"Model loaded", 100},
}};
// Indices into LOAD_STEPS, in the order the load reports them.
enum LoadStepIndex { STEP_IMPORTING, STEP_IMPORTED, STEP_SELECTING, STEP_LOADING, STEP_MOVING, STEP_WARMING, STEP_LOADED };

// The one progress report of a render, awaited before the network runs.
inline constexpr int RENDER_PROGRESS = 60;

// A render asked for on the thread that finalises the interpreter: CONTRACT.md "render".
inline constexpr const char *FINALIZING_ERROR = "Tavelin cannot render while the interpreter is finalising";

// Printed lines: CONTRACT.md "printed lines".
inline constexpr const char *LOADING_LINE = "[Tavelin] Loading model on device: ";
inline constexpr const char *LOADING_DTYPE_PART = " (dtype: ";
inline constexpr const char *INTEL_MAC_LINE = "Detected Intel Mac, so setting torch threads to 1 to fix a crash.";
inline constexpr const char *WARMUP_DONE_LINE = "[Tavelin] Model warmup completed";
inline constexpr const char *WARMUP_FAILED_LINE = "[Tavelin] Warning: Model warmup failed: ";
inline constexpr const char *LOADED_LINE = "model loaded";
inline constexpr const char *INVALID_OUTPUT_LINE = "Error, invalid params.output value: ";

}  // namespace tavelin::contract
