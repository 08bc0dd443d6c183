"""Person-finding stage: people anywhere in the frame, each segmented whole,
and the evidence that decides where the matte may be opaque at all.

The selfie network sees the whole frame at 256 x 256 and is made for one
person close to the camera; it was trained on frames that always hold a
person, so on a frame without one it segments whatever stands out (a cup, a
cat, a building).  This stage finds people wherever they are and however
small or rotated, segments each one on a crop of its own, and gates the
selfie network's matte with what it found:

1. the person detector runs on the frame letterboxed (aspect kept) to
   224 x 224 and, on large frames that are not close-ups, on four
   overlapping corner tiles in one batch; its 2254 anchors are decoded and
   merged by weighted non-maximum suppression, at most ``max_people`` kept;
2. each detection gives a square crop around the hip centre (keypoint 0),
   of side 2.5 x |keypoint 1 - keypoint 0|, rotated so that keypoint 0 ->
   keypoint 1 points up; the full-body segmenter runs on all crops in one
   batch at 256 x 256 (zeros outside the frame), and a second time only on
   the crops that its own hip-centre and scale landmarks move;
3. a person is a detection the segmenter confirms: sure of a person there
   and seeing its hips at the crop's centre; a weaker detection counts only
   where the segmenter also sees the legs.  The selfie network's probability
   then counts only inside the people's crops (grown by a margin), and each
   person's own probability is warped back and fused with it by a per-pixel
   maximum.

Close-ups, where a crop is far larger than the frame, keep the selfie
network's matte everywhere: that is the case it was made for, and the coarse
crop mask would spill onto the background.  The segmenter checks that the
person reaches out of the frame, as a face or bust does; an animal filling the
frame shows it a whole body.  With nobody found the matte is empty.  All
geometry runs in float32 whatever the networks' precision.
"""

from pathlib import Path
from typing import List, Optional, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from .layers import ManyOutputs, resize_bilinear, script_alone

POSE_DIR = Path(__file__).resolve().parent / "pose"
DETECTOR_MODEL = POSE_DIR / "pose_detection.tflite"
SEGMENTER_MODEL = POSE_DIR / "pose_landmark_full.tflite"

DETECTOR_SIZE = 224
SEGMENTER_SIZE = 256
# Anchor grid of the detector: (stride, anchors per cell); the three stride-32
# layers of the SSD layout share one grid, two anchors per layer.
ANCHOR_LAYERS = ((8, 2), (16, 2), (32, 6))
MAX_PEOPLE = 6
# Detector scores a person needs, on the whole frame and on a tile.  Photos
# with nobody in them scored up to 0.51 on the frame and 0.55 on tiles (a
# temple, sliced fruit), people down to 0.52 and 0.68.
SCORE_THRESHOLD = 0.55
TILE_SCORE_THRESHOLD = 0.6
NMS_IOU = 0.3
# A crop is twice the hip-to-scale-point distance, enlarged by this factor.
CROP_SCALE = 1.25
# Crops with a side beyond this multiple of the frame's long side are close-ups:
# not pasted.
MAX_CROP_RATIO = 1.5
# A close-up keeps the selfie network's matte over the whole frame, so it takes
# a surer detection than a person elsewhere: animal faces filling the frame
# scored 0.51-0.72, the portraits of the review set 0.67-0.80.
CLOSE_UP_SCORE = 0.6
# ...but the detector's score on a face close-up wavers from frame to frame
# (0.53-0.75 on a slow tilt down a portrait stretched to a square), and a
# hard cut here made the whole matte blink off.  A close-up scored down to
# SCORE_THRESHOLD counts where the detector puts the hips below the frame (an
# upright bust: a flower had them beside it) and the segmenter, on its crop,
# is RESCUE_PRESENCE sure of a person reaching out of the frame.  On 1764
# zoomed windows of the no-person photos this let in 2 animal faces (a dog, the
# gorilla) beside the 20 (gorilla, chimpanzee, statues) the sure route takes;
# from 0.45 it let in 13, pandas among them.
# Smallest crop side, in pixels of the detector's 224 x 224 letterbox.
MIN_CROP_SIDE = 16.0
# Four overlapping tiles (squares of this fraction of the long side, in the
# corners) searched besides the whole frame.  They find the rest of groups and
# small people, but only where the frame has the pixels for it: below this
# long side a tile holds little the letterboxed frame does not, and its
# detector run costs more than the selfie network itself.
TILES = True
TILE_FRACTION = 0.6
TILE_MIN_SIDE = 768
# The segmenter's presence score (the better of its two passes) a detection
# needs to count as a person.  Castles and a pencil scored up to 0.73; the
# people of the review set at least 0.81.
PRESENCE_THRESHOLD = 0.75
# ...and the segmenter must see the hips at the crop's centre (mean visibility
# of landmarks 23 and 24, better pass): every person of the review set found
# outside close-ups had at least 0.99; a pencil taken for a head and shoulders
# 0.38-0.51.
HIP_VISIBILITY = 0.8
# A second look on the whole frame: a detection down to this score counts
# when the segmenter is sure of it and sees its legs (mean visibility of knees
# and ankles).  A crouching skater whose face is hidden scored 0.47-0.48
# (presence 0.99-1.00, legs 0.76-0.90), the photographer beside him 0.52
# (legs 0.96); a temple 0.46-0.51 (presence 0.95-1.00, legs 0.28-0.40).
RESCUE_SCORE = 0.45
RESCUE_PRESENCE = 0.95
RESCUE_LEGS = 0.6
# A close-up shows part of a person.  Where the detector puts its hips inside
# the frame, the segmenter, on the close-up's crop, must place at least this
# many of the 33 body landmarks outside the frame: a snowboarder cut at the
# knees put 6 there, a gorilla filling the frame 0-1 (its whole body inside a
# crop twice the frame).  Portraits, hips far below the frame, put 12-20.
CLOSE_UP_OUTSIDE = 4
# With no sure detection at all, the segmenter looks at the whole frame: a person
# it is this sure of (a full-length figure whose face is hidden, such as an
# astronaut behind a visor) keeps the selfie network's matte.  Dogs scored up
# to 0.97 there.
FRAME_PRESENCE_THRESHOLD = 0.98
# Landmarks of the full-body segmenter: 39 x (x, y, z, visibility, presence);
# 33 is the hip centre and 34 the scale point.
LANDMARK_STRIDE = 5
HIP_LANDMARK = 33
SCALE_LANDMARK = 34
BODY_LANDMARKS = 33
# Landmarks 23-24 are the hips, 25-28 the knees and ankles (half-open ranges).
HIPS = (23, 25)
LEGS = (25, 29)
# The second segmenter pass runs only on crops that the first pass's own
# landmarks move by more than this: centre shift (fraction of the side),
# side ratio, and turn (cosine of the angle between the two "down" axes).
REFINE_SHIFT = 0.1
REFINE_PRESENCE = 0.5
REFINE_SCALE = 1.15
REFINE_COS = 0.98
# Where the selfie network's probability counts: each person's crop square,
# its side grown by this factor, fading out over this fraction of the side.
ZONE_GROW = 3.0
ZONE_FADE = 0.1
# Long side of the grid the zone is drawn on before it is scaled up.
ZONE_GRID = 128


def unit_rgb(bgr: torch.Tensor) -> torch.Tensor:
    """(1, 3, h, w) blue-green-red 0..255 to red-green-blue in [0, 1], contiguous.

    ``bgr`` is often a channels-last view of the image: the channels are
    gathered into a planar tensor in one copy (operations that mix the two
    layouts are several times slower than either).
    """
    return torch.stack([bgr[:, 2], bgr[:, 1], bgr[:, 0]], 1).mul_(1.0 / 255.0)


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


def landmarks_outside(crops: torch.Tensor, points: torch.Tensor, size: int, h: int, w: int,
                      margin: float = 0.02) -> torch.Tensor:
    """(P,) how many of each crop's (P, N, 2) points (crop pixels) fall outside the h x w frame by more than ``margin``."""
    down = crops[:, 3:5].unsqueeze(1)
    right = torch.stack([down[:, :, 1], -down[:, :, 0]], 2)
    u = points[:, :, 0:1] / float(size) - 0.5
    v = points[:, :, 1:2] / float(size) - 0.5
    frame = crops[:, 0:2].unsqueeze(1) + crops[:, 2:3].unsqueeze(1) * (u * right + v * down)
    x = frame[:, :, 0] / float(w)
    y = frame[:, :, 1] / float(h)
    out = (x < -margin) | (x > 1.0 + margin) | (y < -margin) | (y > 1.0 + margin)
    return out.sum(1)


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


def crops_moved(a: torch.Tensor, b: torch.Tensor, shift: float, scale: float, cos: float) -> torch.Tensor:
    """(P,) whether crops ``b`` differ from crops ``a`` (both (P, 5)) by more than the given amounts."""
    side = a[:, 2].clamp(min=1e-6)
    moved = torch.sqrt(((b[:, 0:2] - a[:, 0:2]) ** 2).sum(1)) > shift * side
    ratio = b[:, 2] / side
    resized = (ratio > scale) | (ratio < 1.0 / scale)
    turned = (a[:, 3:5] * b[:, 3:5]).sum(1) < cos
    return moved | resized | turned


def crop_zone(crops: torch.Tensor, h: int, w: int, out_h: int, out_w: int, grow: float, fade: float) -> torch.Tensor:
    """(1, 1, out_h, out_w) in [0, 1]: 1 inside any crop square grown by ``grow``, fading out over ``fade`` x side.

    ``crops`` are in pixels of an h x w frame; the grid covers the same frame.
    """
    # Pixel centres in frame pixels (cumulative sums: no tensor is made on a fixed device).
    ys = (crops.new_ones([out_h]).cumsum(0) - 0.5) * (float(h) / float(out_h))
    xs = (crops.new_ones([out_w]).cumsum(0) - 0.5) * (float(w) / float(out_w))
    cx = crops[:, 0].view(-1, 1, 1)
    cy = crops[:, 1].view(-1, 1, 1)
    side = crops[:, 2].clamp(min=1e-6).view(-1, 1, 1)
    ddx = crops[:, 3].view(-1, 1, 1)
    ddy = crops[:, 4].view(-1, 1, 1)
    px = xs.view(1, 1, -1) - cx
    py = ys.view(1, -1, 1) - cy
    across = (px * ddy - py * ddx).abs() / side  # along the crop's "right" axis
    along = (px * ddx + py * ddy).abs() / side  # along its "down" axis
    inside = (0.5 * grow - torch.maximum(across, along)) / fade
    return inside.clamp(0.0, 1.0).amax(0).view(1, 1, out_h, out_w)


class PersonStage(nn.Module):
    """Finds people in a frame; gates and completes the selfie network's probability with them."""

    detector: ManyOutputs
    segmenter: ManyOutputs

    def __init__(self, detector: nn.Module, segmenter: nn.Module, max_people: int = MAX_PEOPLE,
                 passes: int = 2, score_threshold: float = SCORE_THRESHOLD,
                 tile_score_threshold: float = TILE_SCORE_THRESHOLD,
                 presence_threshold: float = PRESENCE_THRESHOLD,
                 frame_presence_threshold: float = FRAME_PRESENCE_THRESHOLD, max_crop_ratio: float = MAX_CROP_RATIO,
                 min_crop_side: float = MIN_CROP_SIDE, tiles: bool = TILES, tile_fraction: float = TILE_FRACTION,
                 tile_min_side: int = TILE_MIN_SIDE, gate: bool = True, close_up_score: float = CLOSE_UP_SCORE,
                 zone_grow: float = ZONE_GROW, hip_visibility: float = HIP_VISIBILITY,
                 rescue_score: float = RESCUE_SCORE, rescue_presence: float = RESCUE_PRESENCE,
                 rescue_legs: float = RESCUE_LEGS, close_up_outside: int = CLOSE_UP_OUTSIDE):
        super().__init__()
        self.detector = script_alone(detector)
        self.segmenter = script_alone(segmenter)
        self.max_people = int(max_people)
        self.passes = int(passes)
        self.score_threshold = float(score_threshold)
        self.tile_score_threshold = float(tile_score_threshold)
        self.presence_threshold = float(presence_threshold)
        self.frame_presence_threshold = float(frame_presence_threshold)
        self.max_crop_ratio = float(max_crop_ratio)
        self.min_crop_side = float(min_crop_side)
        self.tiles = bool(tiles)
        self.tile_fraction = float(tile_fraction)
        self.tile_min_side = int(tile_min_side)
        self.gate = bool(gate)
        self.detector_size = DETECTOR_SIZE
        self.segmenter_size = SEGMENTER_SIZE
        self.nms_iou = NMS_IOU
        self.crop_scale = CROP_SCALE
        self.landmark_stride = LANDMARK_STRIDE
        self.hip_landmark = HIP_LANDMARK
        self.scale_landmark = SCALE_LANDMARK
        self.refine_shift = REFINE_SHIFT
        self.refine_presence = REFINE_PRESENCE
        self.refine_scale = REFINE_SCALE
        self.refine_cos = REFINE_COS
        self.close_up_score = float(close_up_score)
        self.close_up_outside = int(close_up_outside)
        self.hip_visibility = float(hip_visibility)
        self.rescue_score = float(rescue_score)
        self.rescue_presence = float(rescue_presence)
        self.rescue_legs = float(rescue_legs)
        self.body_landmarks = BODY_LANDMARKS
        self.hips = HIPS
        self.legs = LEGS
        self.zone_grow = float(zone_grow)
        self.zone_fade = ZONE_FADE
        self.zone_grid = ZONE_GRID
        self.register_buffer("anchors", anchor_centres(), persistent=True)
        # Follows .half() and .to(device): the networks' precision.
        self.register_buffer("dtype_probe", torch.zeros(1), persistent=True)

    def net_dtype(self, device: torch.device) -> torch.dtype:
        # As for the selfie network: float32 on the CPU, which has no fast float16 convolutions.
        if device.type == "cpu":
            return torch.float32
        return self.dtype_probe.dtype

    def letterbox(self, bgr: torch.Tensor, y0: int, x0: int, th: int, tw: int) -> Tuple[torch.Tensor, float, int, int]:
        """The th x tw sub-frame at (y0, x0) as the detector's (1, 3, 224, 224) input; its scale and offsets."""
        size = self.detector_size
        scale = float(size) / float(max(th, tw))
        nh = min(size, max(1, int(round(th * scale))))
        nw = min(size, max(1, int(round(tw * scale))))
        top = (size - nh) // 2
        left = (size - nw) // 2
        x = unit_rgb(resize_bilinear(bgr[:, :, y0:y0 + th, x0:x0 + tw], [nh, nw], False, True)) * 2.0 - 1.0
        # The letterbox bars are mid-grey (0 in the detector's [-1, 1] range): black bars
        # lowered the scores of the people beside them.
        return F.pad(x, [left, size - nw - left, top, size - nh - top], value=0.0), scale, left, top

    def detect_windows(self, bgr: torch.Tensor, windows: List[Tuple[int, int, int, int]],
                       threshold: float, ky: float = 1.0, kx: float = 1.0) -> Tuple[torch.Tensor, torch.Tensor]:
        """People in each (y0, x0, th, tw) sub-frame of a (1, 3, H, W) blue-green-red frame in 0..255.

        The sub-frames go through the detector as one batch.  Returns (scores
        (K,), coords (K, 12)) in frame pixels: the crop square (centre x,
        centre y, side, side), then keypoints 0-3 as (x, y); each sub-frame's
        detections merged by weighted suppression, the sub-frames' not merged.
        ``bgr`` may be the frame scaled by (ky, kx): windows are in its pixels,
        the results in the frame's.
        """
        inputs: List[torch.Tensor] = []
        frames: List[Tuple[float, int, int]] = []
        for window in windows:
            x, scale, left, top = self.letterbox(bgr, window[0], window[1], window[2], window[3])
            inputs.append(x)
            frames.append((scale, left, top))
        outs = self.detector(torch.cat(inputs, 0).to(self.net_dtype(bgr.device)))
        all_scores: List[torch.Tensor] = []
        all_coords: List[torch.Tensor] = []
        for i in range(len(frames)):
            scale, left, top = frames[i]
            y0 = windows[i][0]
            x0 = windows[i][1]
            raw = outs[0][i].float()
            scores = torch.sigmoid(outs[1][i, :, 0].float().clamp(-100.0, 100.0))
            keep = scores > threshold
            if not bool(keep.any()):
                continue
            raw = raw[keep]
            scores = scores[keep]
            centres = self.anchors[keep].float() * 0.5  # letterbox pixels
            # Offsets are in letterbox pixels from the anchor centre; sizes are plain.
            offset = torch.cat([centres, torch.zeros_like(centres), centres.repeat(1, 4)], 1)
            scores, coords = weighted_nms(scores, raw + offset, self.nms_iou, self.max_people, True)
            # Letterbox pixels -> frame pixels.
            points = coords[:, 4:12].reshape(-1, 4, 2)
            px = ((points[:, :, 0] - float(left)) / scale + float(x0)) / kx
            py = ((points[:, :, 1] - float(top)) / scale + float(y0)) / ky
            points = torch.stack([px, py], 2).reshape(-1, 8)
            side = 2.0 * self.crop_scale * torch.sqrt(((points[:, 2:4] - points[:, 0:2]) ** 2).sum(1))
            all_scores.append(scores)
            all_coords.append(torch.cat([torch.stack([points[:, 0], points[:, 1], side, side], 1), points], 1))
        if len(all_scores) == 0:
            return bgr.new_zeros([0]), bgr.new_zeros([0, 12])
        return torch.cat(all_scores), torch.cat(all_coords)

    def tiles_of(self, h: int, w: int) -> List[Tuple[int, int, int, int]]:
        """Four overlapping corner squares of ``tile_fraction`` x the long side (fewer on narrow frames)."""
        tile = max(1, int(round(self.tile_fraction * float(max(h, w)))))
        th = min(h, tile)
        tw = min(w, tile)
        windows: List[Tuple[int, int, int, int]] = []
        for y0 in ([0] if th == h else [0, h - th]):
            for x0 in ([0] if tw == w else [0, w - tw]):
                windows.append((y0, x0, th, tw))
        return windows

    def close_up(self, source: torch.Tensor, crops: torch.Tensor, weak: torch.Tensor, h: int, w: int) -> bool:
        """Whether any of these (far too large) crops is a close-up of a person.

        The segmenter looks at each: a person shown in part has some of the
        body outside the frame.  An animal or a thing filling the frame shows
        the segmenter a whole body, small inside a crop twice the frame.  The
        ``weak`` detections' crops also need the segmenter sure of a person.
        """
        _, presence, _, landmarks = self.segment(source, crops, h, w)
        outside = landmarks_outside(crops, landmarks[:, :self.body_landmarks, 0:2], self.segmenter_size, h, w)
        sure = ~weak | (presence >= self.rescue_presence)
        return bool(((outside >= self.close_up_outside) & sure).any())

    def segment(self, source: torch.Tensor, crops: torch.Tensor, h: int, w: int
                ) -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]:
        """Run the segmenter on every crop of ``source`` (a frame of size h x w, possibly scaled) as one batch.

        Returns the probability maps (P, 1, 256, 256), presence (P,), the
        refined crops (P, 5) from the segmenter's own hip-centre and scale
        landmarks, and the landmarks (P, 39, 5) in crop pixels, visibility
        and presence as logits.
        """
        n = crops.shape[0]
        size = self.segmenter_size
        grid = F.affine_grid(crop_theta(crops, h, w), [n, 3, size, size], False)
        batch = F.grid_sample(source.expand(n, -1, -1, -1), grid, "bilinear", "zeros", False)
        outs = self.segmenter(batch.to(self.net_dtype(source.device)))
        landmarks = outs[0].float().reshape(n, -1, self.landmark_stride)
        presence = outs[1].float().reshape(n)
        probability = torch.sigmoid(outs[2].float())
        hip = crop_to_frame(crops, landmarks[:, self.hip_landmark, 0:2], size)
        scale_point = crop_to_frame(crops, landmarks[:, self.scale_landmark, 0:2], size)
        return probability, presence, crop_frames(hip, scale_point, self.crop_scale), landmarks

    def usable(self, crops: torch.Tensor, long_side: float) -> torch.Tensor:
        """(P,) crops neither close-ups nor too small to segment."""
        letterbox_scale = float(self.detector_size) / long_side
        return (crops[:, 2] <= self.max_crop_ratio * long_side) & (crops[:, 2] * letterbox_scale >= self.min_crop_side)

    def find(self, small: torch.Tensor, h: int, w: int) -> Tuple[bool, torch.Tensor, torch.Tensor, bool]:
        """The people in an h x w frame, given as ``small``: the frame or its scaled-down copy
        ((1, 3, h', w') blue-green-red in 0..255, float32, any strides).

        Returns (everywhere, crops (P, 5), probabilities (P, 1, 256, 256),
        undetected): ``everywhere`` when the selfie network's probability
        counts over the whole frame (a close-up, or the gate off), the people
        to paste, and whether the detector found no one at all, so that only
        ``frame_person`` can still say there is someone.  With none of these,
        the frame holds nobody.

        The detector runs on the whole frame and, on large frames that are not
        close-ups, on four overlapping tiles, in one batch: the full frame often
        yields only one person of a group, the tiles show the detector everyone
        larger.  Detections of all runs are merged by plain (not weighted)
        suppression on their crop squares: averaging detections from different
        runs shifted crops off their person.  A close-up (a sure detection whose
        crop is far larger than the frame) gets no tiles, so a portrait costs one
        detector run.
        """
        long_side = float(max(h, w))
        ky = float(small.shape[2]) / float(h)
        kx = float(small.shape[3]) / float(w)
        scores, coords = self.detect_windows(small, [(0, 0, small.shape[2], small.shape[3])], self.rescue_score, ky, kx)
        crops = crop_frames(coords[:, 4:6], coords[:, 6:8], self.crop_scale)
        source: Optional[torch.Tensor] = None
        too_large = crops[:, 2] > self.max_crop_ratio * long_side
        candidates = too_large & (scores >= self.close_up_score)
        # Hips below (or beside) the frame: a face or bust, no doubt.  Only a close-up
        # whose hips are in view costs the segmenter's look.
        hips_out = (coords[:, 4] < 0.0) | (coords[:, 4] > float(w)) | (coords[:, 5] < 0.0) | (coords[:, 5] > float(h))
        close_up = bool((candidates & hips_out).any())
        if not close_up:
            weak = too_large & ~candidates & (scores >= self.score_threshold) & (coords[:, 5] > float(h))
            look = candidates | weak
            if bool(look.any()):
                source = unit_rgb(small)
                close_up = self.close_up(source, crops[look], weak[look], h, w)
        if self.tiles and not close_up and long_side >= self.tile_min_side:
            tile_scores, tile_coords = self.detect_windows(small, self.tiles_of(small.shape[2], small.shape[3]),
                                                           self.tile_score_threshold, ky, kx)
            if tile_scores.shape[0] > 0:
                scores, coords = weighted_nms(torch.cat([scores, tile_scores]), torch.cat([coords, tile_coords]),
                                              self.nms_iou, self.max_people, False)
                crops = crop_frames(coords[:, 4:6], coords[:, 6:8], self.crop_scale)
        everywhere = close_up or not self.gate
        # Only a sure detection stops the segmenter's look at the whole frame.
        undetected = not everywhere and not bool((scores >= self.score_threshold).any())
        use = self.usable(crops, long_side)
        crops = crops[use]
        scores = scores[use]
        if crops.shape[0] == 0:
            return everywhere, crops, small.new_zeros([0, 1, self.segmenter_size, self.segmenter_size]), undetected
        if source is None:
            source = unit_rgb(small)
        probability, presence, refined, landmarks = self.segment(source, crops, h, w)
        visibility = torch.sigmoid(landmarks[:, :self.body_landmarks, 3])
        best = presence
        if self.passes > 1:
            # Again, on the crop the segmenter's own landmarks give, only where that crop moved.
            again = (presence >= self.refine_presence) & self.usable(refined, long_side)
            again = again & crops_moved(crops, refined, self.refine_shift, self.refine_scale, self.refine_cos)
            if bool(again.any()):
                crops = crops.clone()
                crops[again] = refined[again]
                p2, presence2, _, landmarks2 = self.segment(source, crops[again], h, w)
                probability[again] = p2
                best = presence.clone()
                best[again] = torch.maximum(presence[again], presence2)
                visibility = visibility.clone()
                visibility[again] = torch.maximum(visibility[again],
                                                  torch.sigmoid(landmarks2[:, :self.body_landmarks, 3]))
        hips = visibility[:, self.hips[0]:self.hips[1]].mean(1) >= self.hip_visibility
        legs = visibility[:, self.legs[0]:self.legs[1]].mean(1) >= self.rescue_legs
        sure = scores >= self.score_threshold
        keep = hips & (best >= self.presence_threshold) & (sure | (legs & (best >= self.rescue_presence)))
        return everywhere, crops[keep], probability[keep], undetected and not bool(keep.any())

    def frame_person(self, small: torch.Tensor, h: int, w: int) -> bool:
        """Whether the segmenter, looking at the whole h x w frame (given as ``small``, as to ``find``)
        upright, is sure of a person."""
        frame = small.new_zeros([1, 5])
        frame[:, 0].fill_(0.5 * float(w))
        frame[:, 1].fill_(0.5 * float(h))
        frame[:, 2].fill_(float(max(h, w)))
        frame[:, 4].fill_(1.0)
        _, presence, _, _ = self.segment(unit_rgb(small), frame, h, w)
        return bool(presence[0] >= self.frame_presence_threshold)

    def fuse(self, prob: torch.Tensor, everywhere: bool, crops: torch.Tensor, probability: torch.Tensor,
             h: int, w: int, out_h: int, out_w: int) -> torch.Tensor:
        """The selfie probability ``prob`` ((1, 1, any grid), float32) gated and completed by ``find``'s people.

        Returns ``prob`` itself when the frame is the selfie network's alone,
        else (1, 1, out_h, out_w) on the h x w frame.
        """
        if everywhere and crops.shape[0] == 0:
            return prob
        base = prob
        if base.shape[2] != out_h or base.shape[3] != out_w:
            base = resize_bilinear(base, [out_h, out_w])
        if crops.shape[0] == 0:
            return base * 0.0  # not the selfie network's frame, and nobody in it
        if not everywhere:
            s = min(1.0, float(self.zone_grid) / float(max(out_h, out_w)))
            zh = max(1, int(round(out_h * s)))
            zw = max(1, int(round(out_w * s)))
            zone = crop_zone(crops, h, w, zh, zw, self.zone_grow, self.zone_fade)
            if zh != out_h or zw != out_w:
                zone = resize_bilinear(zone, [out_h, out_w])
            base = base * zone
        # Frame -> crop for every pixel of the output grid; zeros outside the crop.
        inverse = invert_theta(crop_theta(crops, h, w))
        grid = F.affine_grid(inverse, [crops.shape[0], 1, out_h, out_w], False)
        pasted = F.grid_sample(probability, grid, "bilinear", "zeros", False).amax(0, keepdim=True)
        return torch.maximum(base, pasted)

    def prime(self, device: torch.device) -> None:
        """Runs each network once on a blank input of its own size (see ``Matting.prime``)."""
        dtype = self.net_dtype(device)
        self.detector(self.dtype_probe.new_zeros([1, 3, self.detector_size, self.detector_size], dtype=dtype))
        self.segmenter(self.dtype_probe.new_zeros([1, 3, self.segmenter_size, self.segmenter_size], dtype=dtype))


class NoPeople(nn.Module):
    """Stand-in when the stage is left out: the selfie network's probability counts everywhere."""

    def find(self, small: torch.Tensor, h: int, w: int) -> Tuple[bool, torch.Tensor, torch.Tensor, bool]:
        return True, small.new_zeros([0, 5]), small.new_zeros([0, 1, 1, 1]), False

    def frame_person(self, small: torch.Tensor, h: int, w: int) -> bool:
        return True

    def fuse(self, prob: torch.Tensor, everywhere: bool, crops: torch.Tensor, probability: torch.Tensor,
             h: int, w: int, out_h: int, out_w: int) -> torch.Tensor:
        return prob

    def prime(self, device: torch.device) -> None:
        pass


def build_stage(**options) -> PersonStage:
    from .layers import build_net
    from .tflite_reader import read_graph

    return PersonStage(build_net(read_graph(DETECTOR_MODEL)), build_net(read_graph(SEGMENTER_MODEL)), **options)
