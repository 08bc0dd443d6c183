"""Builds the matting network files from the bundled TFLite segmentation model."""
