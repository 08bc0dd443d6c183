"""Person-finding stage: people anywhere in the frame, each segmented whole.

The selfie network sees the whole frame at 256 x 256 and is made for one
person close to the camera.  This stage finds people wherever they are and
however small or rotated, and segments each one on a crop of its own:

1. the person detector runs on the frame letterboxed (aspect kept) to
   224 x 224; its 2254 anchors are decoded and merged by weighted
   non-maximum suppression, at most ``max_people`` detections kept;
2. each detection gives a square crop around the hip centre (keypoint 0),
   of side 2.5 x |keypoint 1 - keypoint 0|, rotated so that keypoint 0 ->
   keypoint 1 points up; the full-body segmenter runs on it at 256 x 256
   (zeros outside the frame), and optionally once more on the crop that its
   own hip-centre and scale landmarks give;
3. each person's probability is warped back into the frame and fused with
   the selfie network's by a per-pixel maximum.

Crops much larger than the frame (close-ups, which the selfie network already
covers and where the coarse crop mask spills onto the background), people
too small to segment and detections the segmenter does not confirm are not
pasted.  All geometry runs in float32 whatever the networks' precision.
"""

from pathlib import Path
from typing import List, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from .layers import resize_bilinear

POSE_DIR = Path(__file__).resolve().parent / "pose"
DETECTOR_MODEL = POSE_DIR / "pose_detection.tflite"
SEGMENTER_MODEL = POSE_DIR / "pose_landmark_full.tflite"

DETECTOR_SIZE = 224
SEGMENTER_SIZE = 256
# Anchor grid of the detector: (stride, anchors per cell); the three stride-32
# layers of the SSD layout share one grid, two anchors per layer.
ANCHOR_LAYERS = ((8, 2), (16, 2), (32, 6))
MAX_PEOPLE = 6
SCORE_THRESHOLD = 0.5
NMS_IOU = 0.3
# A crop is twice the hip-to-scale-point distance, enlarged by this factor.
CROP_SCALE = 1.25
# Crops with a side beyond this multiple of the frame's long side are close-ups:
# not pasted.
MAX_CROP_RATIO = 1.5
# Smallest crop side, in pixels of the detector's 224 x 224 letterbox.
MIN_CROP_SIDE = 16.0
# Four overlapping tiles (squares of this fraction of the long side, in the
# corners) searched besides the whole frame.  On the review set they found the
# rest of groups and small people: photos passing 11 -> 13 (mode 0), 11 -> 12
# (modes 1, 2), nothing broken, for four more detector runs.
TILES = True
TILE_FRACTION = 0.6
# The segmenter's presence score a crop needs to be pasted.
PRESENCE_THRESHOLD = 0.5
# Long side of the image the crops are sampled from: a bilinear sample of a
# much larger frame would alias.
CROP_SOURCE_SIZE = 1024
# Landmarks of the full-body segmenter: 39 x (x, y, z, visibility, presence);
# 33 is the hip centre and 34 the scale point.
LANDMARK_STRIDE = 5
HIP_LANDMARK = 33
SCALE_LANDMARK = 34


def unit_rgb(bgr: torch.Tensor) -> torch.Tensor:
    """(1, 3, h, w) blue-green-red 0..255 to red-green-blue in [0, 1], one planar copy."""
    return torch.stack([bgr[:, 2], bgr[:, 1], bgr[:, 0]], 1) * (1.0 / 255.0)


def anchor_centres() -> torch.Tensor:
    """(2254, 2) anchor centres (x, y) in units of 1 / (2 * 224) of the detector input, as integers.

    Kept as integers so that .half() leaves them exact; cell (i, j) of a grid
    with stride s has its centre at ((j + 0.5) * s, (i + 0.5) * s) pixels.
    """
    rows: List[torch.Tensor] = []
    for stride, per_cell in ANCHOR_LAYERS:
        n = DETECTOR_SIZE // stride
        ys, xs = torch.meshgrid(torch.arange(n), torch.arange(n), indexing="ij")
        centre = torch.stack([(2 * xs + 1) * stride, (2 * ys + 1) * stride], -1).reshape(-1, 1, 2)
        rows.append(centre.expand(-1, per_cell, 2).reshape(-1, 2))
    return torch.cat(rows).to(torch.int32)


def box_iou(box: torch.Tensor, boxes: torch.Tensor) -> torch.Tensor:
    """IoU of one (4,) box with (N, 4) boxes, all as (centre x, centre y, w, h)."""
    x0 = torch.maximum(box[0] - box[2] / 2, boxes[:, 0] - boxes[:, 2] / 2)
    x1 = torch.minimum(box[0] + box[2] / 2, boxes[:, 0] + boxes[:, 2] / 2)
    y0 = torch.maximum(box[1] - box[3] / 2, boxes[:, 1] - boxes[:, 3] / 2)
    y1 = torch.minimum(box[1] + box[3] / 2, boxes[:, 1] + boxes[:, 3] / 2)
    inter = (x1 - x0).clamp(min=0.0) * (y1 - y0).clamp(min=0.0)
    union = box[2] * box[3] + boxes[:, 2] * boxes[:, 3] - inter
    return inter / union.clamp(min=1e-12)


def weighted_nms(scores: torch.Tensor, coords: torch.Tensor, iou: float, limit: int,
                 weighted: bool) -> Tuple[torch.Tensor, torch.Tensor]:
    """Non-maximum suppression, weighted or plain.

    scores (N,), coords (N, C) whose first four columns are the box.  The best
    remaining detection and every other one overlapping it by more than
    ``iou`` are merged into one: its score, and their score-weighted mean
    coordinates (weighted) or its own (plain).  Returns at most ``limit``
    (scores, coords), best first.
    """
    order = torch.argsort(scores, descending=True)
    scores = scores[order]
    coords = coords[order]
    kept_scores: List[torch.Tensor] = []
    kept_coords: List[torch.Tensor] = []
    while scores.shape[0] > 0 and len(kept_scores) < limit:
        overlap = box_iou(coords[0, :4], coords[:, :4])
        group = overlap > iou
        group[0:1].fill_(True)  # the best one, even with a degenerate box
        if weighted:
            w = scores[group].unsqueeze(1)
            kept_coords.append((coords[group] * w).sum(0) / w.sum())
        else:
            kept_coords.append(coords[0])
        kept_scores.append(scores[0])
        rest = ~group
        scores = scores[rest]
        coords = coords[rest]
    if len(kept_scores) == 0:
        return scores[:0], coords[:0]
    return torch.stack(kept_scores), torch.stack(kept_coords)


def crop_frames(centre: torch.Tensor, scale_point: torch.Tensor, crop_scale: float) -> torch.Tensor:
    """Square, rotated crops from (P, 2) centres and scale points (frame pixels).

    Returns (P, 5): centre x, centre y, side, and the crop's "down" axis as a
    unit vector (dx, dy) in the frame; "right" is (dy, -dx).
    """
    v = scale_point - centre
    length = torch.sqrt((v * v).sum(1)).clamp(min=1e-6)
    side = 2.0 * crop_scale * length
    down = -v / length.unsqueeze(1)
    return torch.cat([centre, side.unsqueeze(1), down], 1)


def crop_to_frame(crops: torch.Tensor, points: torch.Tensor, size: int) -> torch.Tensor:
    """(P, 2) points in crop pixels (0..size) -> frame pixels, through each crop's geometry."""
    down = crops[:, 3:5]
    right = torch.stack([down[:, 1], -down[:, 0]], 1)
    u = points[:, 0:1] / float(size) - 0.5
    v = points[:, 1:2] / float(size) - 0.5
    return crops[:, 0:2] + crops[:, 2:3] * (u * right + v * down)


def crop_theta(crops: torch.Tensor, h: int, w: int) -> torch.Tensor:
    """(P, 2, 3) affine maps from a crop's normalised coordinates to the frame's (align_corners=False)."""
    cx, cy, side, dx, dy = crops[:, 0], crops[:, 1], crops[:, 2], crops[:, 3], crops[:, 4]
    sx = side / float(w)
    sy = side / float(h)
    row0 = torch.stack([sx * dy, sx * dx, 2.0 * cx / float(w) - 1.0], 1)
    row1 = torch.stack([-sy * dx, sy * dy, 2.0 * cy / float(h) - 1.0], 1)
    return torch.stack([row0, row1], 1)


def invert_theta(theta: torch.Tensor) -> torch.Tensor:
    """Inverse of (P, 2, 3) affine maps."""
    a, b, c = theta[:, 0, 0], theta[:, 0, 1], theta[:, 0, 2]
    d, e, f = theta[:, 1, 0], theta[:, 1, 1], theta[:, 1, 2]
    det = a * e - b * d
    ia, ib, id_, ie = e / det, -b / det, -d / det, a / det
    row0 = torch.stack([ia, ib, -(ia * c + ib * f)], 1)
    row1 = torch.stack([id_, ie, -(id_ * c + ie * f)], 1)
    return torch.stack([row0, row1], 1)


class PersonStage(nn.Module):
    """Finds people in an RGB frame and fuses their segmentation into a probability map."""

    def __init__(self, detector: nn.Module, segmenter: nn.Module, max_people: int = MAX_PEOPLE,
                 passes: int = 2, score_threshold: float = SCORE_THRESHOLD,
                 presence_threshold: float = PRESENCE_THRESHOLD, max_crop_ratio: float = MAX_CROP_RATIO,
                 min_crop_side: float = MIN_CROP_SIDE, tiles: bool = TILES, tile_fraction: float = TILE_FRACTION):
        super().__init__()
        self.detector = detector
        self.segmenter = segmenter
        self.max_people = int(max_people)
        self.passes = int(passes)
        self.score_threshold = float(score_threshold)
        self.presence_threshold = float(presence_threshold)
        self.max_crop_ratio = float(max_crop_ratio)
        self.min_crop_side = float(min_crop_side)
        self.tiles = bool(tiles)
        self.tile_fraction = float(tile_fraction)
        self.detector_size = DETECTOR_SIZE
        self.segmenter_size = SEGMENTER_SIZE
        self.nms_iou = NMS_IOU
        self.crop_scale = CROP_SCALE
        self.crop_source_size = CROP_SOURCE_SIZE
        self.landmark_stride = LANDMARK_STRIDE
        self.hip_landmark = HIP_LANDMARK
        self.scale_landmark = SCALE_LANDMARK
        self.register_buffer("anchors", anchor_centres(), persistent=True)
        # Follows .half() and .to(device): the networks' precision.
        self.register_buffer("dtype_probe", torch.zeros(1), persistent=True)

    def net_dtype(self, device: torch.device) -> torch.dtype:
        # As for the selfie network: float32 on the CPU, which has no fast float16 convolutions.
        if device.type == "cpu":
            return torch.float32
        return self.dtype_probe.dtype

    def detect_in(self, bgr: torch.Tensor, y0: int, x0: int, th: int, tw: int) -> Tuple[torch.Tensor, torch.Tensor]:
        """People in the th x tw sub-frame at (y0, x0) of a (1, 3, H, W) blue-green-red frame in 0..255.

        Returns (scores (K,), coords (K, 12)) in frame pixels: the crop square
        (centre x, centre y, side, side), then keypoints 0-3 as (x, y).
        """
        size = self.detector_size
        scale = float(size) / float(max(th, tw))
        nh = min(size, max(1, int(round(th * scale))))
        nw = min(size, max(1, int(round(tw * scale))))
        top = (size - nh) // 2
        left = (size - nw) // 2
        x = unit_rgb(resize_bilinear(bgr[:, :, y0:y0 + th, x0:x0 + tw], [nh, nw], False, True)) * 2.0 - 1.0
        # The letterbox bars are mid-grey (0 in the detector's [-1, 1] range): black bars
        # lowered the scores of the people beside them.
        x = F.pad(x, [left, size - nw - left, top, size - nh - top], value=0.0)
        outs = self.detector(x.to(self.net_dtype(bgr.device)))
        raw = outs[0][0].float()
        logits = outs[1][0, :, 0].float()
        scores = torch.sigmoid(logits.clamp(-100.0, 100.0))
        keep = scores > self.score_threshold
        if not bool(keep.any()):
            return scores[:0], raw[:0]
        raw = raw[keep]
        scores = scores[keep]
        centres = self.anchors[keep].float() * 0.5  # letterbox pixels
        # Offsets are in letterbox pixels from the anchor centre; sizes are plain.
        offset = torch.cat([centres, torch.zeros_like(centres), centres.repeat(1, 4)], 1)
        coords = raw + offset
        scores, coords = weighted_nms(scores, coords, self.nms_iou, self.max_people, True)
        # Letterbox pixels -> frame pixels.
        points = coords[:, 4:12].reshape(-1, 4, 2)
        px = (points[:, :, 0] - float(left)) / scale + float(x0)
        py = (points[:, :, 1] - float(top)) / scale + float(y0)
        points = torch.stack([px, py], 2).reshape(-1, 8)
        side = 2.0 * self.crop_scale * torch.sqrt(((points[:, 2:4] - points[:, 0:2]) ** 2).sum(1))
        square = torch.stack([points[:, 0], points[:, 1], side, side], 1)
        return scores, torch.cat([square, points], 1)

    def detect(self, bgr: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]:
        """People in the whole frame and, with tiles on, in four overlapping sub-frames.

        The full frame often yields only one person of a group: the tiles show
        the detector everyone larger.  No tiles when the frame is a close-up.  Detections of all runs are merged by plain
        (not weighted) suppression on their crop squares: averaging detections
        from different runs shifted crops off their person.
        """
        h = bgr.shape[2]
        w = bgr.shape[3]
        scores, coords = self.detect_in(bgr, 0, 0, h, w)
        # A close-up (a crop far larger than the frame) is the selfie network's
        # case: its portrait gets no tiles, and so costs one detector run.
        close_up = bool((coords[:, 2] > self.max_crop_ratio * float(max(h, w))).any())
        if self.tiles and not close_up:
            tile = max(1, int(round(self.tile_fraction * float(max(h, w)))))
            th = min(h, tile)
            tw = min(w, tile)
            all_scores: List[torch.Tensor] = [scores]
            all_coords: List[torch.Tensor] = [coords]
            ys: List[int] = [0] if th == h else [0, h - th]
            xs: List[int] = [0] if tw == w else [0, w - tw]
            for y0 in ys:
                for x0 in xs:
                    s, c = self.detect_in(bgr, y0, x0, th, tw)
                    all_scores.append(s)
                    all_coords.append(c)
            scores = torch.cat(all_scores)
            coords = torch.cat(all_coords)
            if scores.shape[0] > 1:
                scores, coords = weighted_nms(scores, coords, self.nms_iou, self.max_people, False)
        return scores, coords

    def segment(self, source: torch.Tensor, crops: torch.Tensor, h: int, w: int) -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        """Run the segmenter on each crop of ``source`` (a frame of size h x w, possibly scaled).

        Returns the probability maps (P, 1, 256, 256), presence (P,) and the
        refined crops (P, 5) from the segmenter's own hip-centre and scale landmarks.
        """
        theta = crop_theta(crops, h, w)
        n = crops.shape[0]
        size = self.segmenter_size
        grid = F.affine_grid(theta, [n, 3, size, size], False)
        patches: List[torch.Tensor] = []
        for i in range(n):
            patches.append(F.grid_sample(source, grid[i:i + 1], "bilinear", "zeros", False))
        batch = torch.cat(patches, 0)
        outs = self.segmenter(batch.to(self.net_dtype(source.device)))
        landmarks = outs[0].float().reshape(n, -1, self.landmark_stride)
        presence = outs[1].float().reshape(n)
        probability = torch.sigmoid(outs[2].float())
        hip = crop_to_frame(crops, landmarks[:, self.hip_landmark, 0:2], size)
        scale_point = crop_to_frame(crops, landmarks[:, self.scale_landmark, 0:2], size)
        return probability, presence, crop_frames(hip, scale_point, self.crop_scale)

    def forward(self, bgr: torch.Tensor, prob: torch.Tensor, out_h: int, out_w: int) -> torch.Tensor:
        """The selfie probability ``prob`` fused with the people found in ``bgr``.

        bgr: (1, 3, H, W) blue-green-red in 0..255, float32, any strides; prob:
        (1, 1, h, w) float32 on any grid.  Returns ``prob`` itself when nobody
        is pasted, else (1, 1, out_h, out_w).
        """
        h = bgr.shape[2]
        w = bgr.shape[3]
        scores, coords = self.detect(bgr)
        if scores.shape[0] == 0:
            return prob
        crops = crop_frames(coords[:, 4:6], coords[:, 6:8], self.crop_scale)
        long_side = float(max(h, w))
        letterbox_scale = float(self.detector_size) / long_side
        usable = (crops[:, 2] <= self.max_crop_ratio * long_side) & (crops[:, 2] * letterbox_scale >= self.min_crop_side)
        if not bool(usable.any()):
            return prob
        crops = crops[usable]
        source = bgr
        if max(h, w) > self.crop_source_size:
            s = float(self.crop_source_size) / long_side
            source = resize_bilinear(bgr, [max(1, int(round(h * s))), max(1, int(round(w * s)))], False, True)
        source = unit_rgb(source)
        probability, presence, refined = self.segment(source, crops, h, w)
        for _ in range(1, self.passes):
            ok = (refined[:, 2] <= self.max_crop_ratio * long_side) & (refined[:, 2] * letterbox_scale >= self.min_crop_side)
            ok = ok & (presence >= self.presence_threshold)
            if bool(ok.any()):
                crops = refined[ok]
                probability, presence, refined = self.segment(source, crops, h, w)
            else:
                break
        keep = (presence >= self.presence_threshold) & (crops[:, 2] <= self.max_crop_ratio * long_side)
        if not bool(keep.any()):
            return prob
        probability = probability[keep]
        crops = crops[keep]
        # Frame -> crop for every pixel of the output grid; zeros outside the crop.
        inverse = invert_theta(crop_theta(crops, h, w))
        n = crops.shape[0]
        grid = F.affine_grid(inverse, [n, 1, out_h, out_w], False)
        pasted = F.grid_sample(probability, grid, "bilinear", "zeros", False).amax(0, keepdim=True)
        base = prob
        if base.shape[2] != out_h or base.shape[3] != out_w:
            base = resize_bilinear(base, [out_h, out_w])
        return torch.maximum(base, pasted)


class NoPeople(nn.Module):
    """Stand-in when the stage is left out: the probability unchanged."""

    def forward(self, bgr: torch.Tensor, prob: torch.Tensor, out_h: int, out_w: int) -> torch.Tensor:
        return prob


def build_stage(**options) -> PersonStage:
    from .layers import build_net
    from .tflite_reader import read_graph

    return PersonStage(build_net(read_graph(DETECTOR_MODEL)), build_net(read_graph(SEGMENTER_MODEL)), **options)
