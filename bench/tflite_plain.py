"""Plain cut-outs with the TFLite runtime, the yardstick for the tavelin command's batch time.

    python bench/tflite_plain.py IN_DIR OUT_DIR
"""
import os
import sys

import cv2
import numpy as np
from ai_edge_litert.interpreter import Interpreter

MODEL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                     "models", "selfie_segmentation", "selfie_segmentation.tflite")
src, dst = sys.argv[1:3]
os.makedirs(dst, exist_ok=True)
interp = Interpreter(model_path=MODEL, num_threads=1)
interp.allocate_tensors()
inp, out = interp.get_input_details()[0]["index"], interp.get_output_details()[0]["index"]
for name in sorted(os.listdir(src)):
    if not name.lower().endswith((".jpg", ".jpeg")):
        continue
    bgr = cv2.imread(os.path.join(src, name))
    rgb = cv2.cvtColor(cv2.resize(bgr, (256, 256)), cv2.COLOR_BGR2RGB).astype(np.float32) / 255.0
    interp.set_tensor(inp, rgb[None])
    interp.invoke()
    mask = cv2.resize(interp.get_tensor(out)[0, :, :, 0], (bgr.shape[1], bgr.shape[0]))
    alpha = (np.clip(mask, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)
    cv2.imwrite(os.path.join(dst, os.path.splitext(name)[0] + ".png"), np.dstack([bgr, alpha]))
