"""Person-finding stage: people anywhere in the frame, each segmented whole."""

from pathlib import Path

POSE_DIR = Path(__file__).resolve().parent / "pose"
DETECTOR_MODEL = POSE_DIR / "pose_detection.tflite"
SEGMENTER_MODEL = POSE_DIR / "pose_landmark_full.tflite"
