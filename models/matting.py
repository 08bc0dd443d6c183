"""The module that the plug-in loads: image in, matte out.

Input: an H x W x 3 tensor of blue-green-red samples in 0..255 (float32, or
float16 after ``.half()``), any H, W >= 1, no batch axis.  Output: H x W x 1
in the input's dtype and on its device, the matte (coverage in [0, 1]) in
channel 0.
"""

from typing import List, Optional

import torch
from torch import nn

from . import guided_filter
from .layers import ImageToMatte, OneOutput, PersonFinder, resize_bilinear, script_alone
from .people import NoPeople, unit_rgb

# Guided-filter radius in pixels of the network's output grid: at 2 or 4 the
# filter left a glow of partial coverage a pixel or two outside hair and cheek;
# at 1 the outline stays on the image's own edge.
REFINE_RADIUS = 1.0
# Regularisation on the guide's colour variance (colours in [0, 1]): 1e-2
# smeared coverage onto the background beside the face, 1e-4 looked the same
# as 1e-3 but starts to copy texture where the matte is unsure.
REFINE_EPS = 1e-3
# Long side of the grid the filter's coefficients are solved on; they are then
# applied to the guide at its own resolution (the "fast" guided filter).
REFINE_WORK_SIZE = 512
# Inputs at least this much wider than tall go to the 144 x 256 landscape
# network.  On wide crops and pads of the sample photo it beat the square
# network from about 3:2 on (mean IoU 0.90 against 0.73 at 1.51, 0.87 against
# 0.65 at 1.60); at 4:3 the square network was still better (0.94 against 0.90).
LANDSCAPE_MIN_ASPECT = 1.5
# Long side of the copy of a large frame that every network input and the guided
# filter's guide are sampled from.  A bilinear sample of a much larger frame
# would alias; an antialiased pass over a 1920 x 1080 frame cost 13-28 ms on one
# thread, and the copy is one such pass where the selfie input, the guide and
# the person stage each made their own.
SOURCE_SIZE = 1024
# With no person detected, a selfie probability that stays below this everywhere
# is taken as no subject at all, without asking the segmenter: the same coverage
# below which the host reports "no person found".
SUBJECT_SEEN = 0.9


class Matting(nn.Module):
    net: OneOutput
    landscape_net: OneOutput
    people: PersonFinder

    def __init__(self, net: nn.Module, landscape_net: Optional[nn.Module] = None, refine: bool = True,
                 radius: float = REFINE_RADIUS, eps: float = REFINE_EPS, work_size: int = REFINE_WORK_SIZE,
                 landscape_min_aspect: float = LANDSCAPE_MIN_ASPECT, people: Optional[nn.Module] = None):
        super().__init__()
        # people: finds the people in the image, gates and completes the probability with them.
        # Typed as an interface, it is scripted as a module of its own and each of its methods
        # keeps a graph and an executor of its own: the executor's passes cost more than
        # linearly in a graph's size, and the stage is most of this module's code.
        self.people = people if people is not None else NoPeople()
        shape: List[int] = list(net.input_shape)
        self.net_h = int(shape[2])
        self.net_w = int(shape[3])
        self.has_landscape = landscape_net is not None
        if landscape_net is None:
            landscape_net = net
            self.land_h = self.net_h
            self.land_w = self.net_w
        else:
            land_shape: List[int] = list(landscape_net.input_shape)
            self.land_h = int(land_shape[2])
            self.land_w = int(land_shape[3])
        self.net = script_alone(net)
        self.landscape_net = self.net if landscape_net is net else script_alone(landscape_net)
        self.landscape_min_aspect = float(landscape_min_aspect)
        self.refine = refine
        self.radius = float(radius)
        self.eps = float(eps)
        self.work_size = int(work_size)
        self.subject_seen = SUBJECT_SEEN
        self.source_size = SOURCE_SIZE
        # Follows .half() and .to(device): tells probability() the weights' precision.
        self.register_buffer("dtype_probe", torch.zeros(1), persistent=True)

    def uses_landscape(self, h: int, w: int) -> bool:
        return self.has_landscape and float(w) >= self.landscape_min_aspect * float(h)

    def net_dtype(self, device: torch.device) -> torch.dtype:
        # The CPU has no fast float16 convolutions: there the network runs in float32
        # whatever its weights' precision; elsewhere it runs in the weights' precision.
        if device.type == "cpu":
            return torch.float32
        return self.dtype_probe.dtype

    def probability(self, small: torch.Tensor, h: int, w: int) -> torch.Tensor:
        """Network probability (1, 1, n_h, n_w), float32, for an h x w frame given as ``small``:
        (1, 3, h', w') blue-green-red in 0..255, the frame or its scaled copy.

        ``small`` may be any strided view: only the small network input is copied out of it.
        """
        dtype = self.net_dtype(small.device)
        landscape = self.uses_landscape(h, w)
        net = self.landscape_net if landscape else self.net
        size = [self.land_h, self.land_w] if landscape else [self.net_h, self.net_w]
        x = unit_rgb(resize_bilinear(small, size, False, True)).clamp(0.0, 1.0).to(dtype)
        return net.forward(x).float()

    def forward(self, image: torch.Tensor) -> torch.Tensor:
        if image.dim() != 3 or image.shape[2] != 3:
            raise ValueError("expected an H x W x 3 image")
        h = image.shape[0]
        w = image.shape[1]
        # The image as (1, 3, H, W) without a copy; blue-green-red, 0..255.
        bgr = image.float().permute(2, 0, 1).unsqueeze(0)
        small = scaled_copy(bgr, self.source_size)
        everywhere, crops, person_probability, undetected = self.people.find(small, h, w)
        if not everywhere and crops.shape[0] == 0 and not undetected:
            # Nobody in the picture: nothing of it is the subject.
            return image.new_zeros([h, w, 1])
        prob = self.probability(small, h, w)
        if undetected:
            # No detection at all.  The segmenter's look at the whole frame (a person
            # whose face is hidden) is only worth its cost where the selfie network
            # sees a subject.
            if float(prob.max()) < self.subject_seen or not self.people.frame_person(small, h, w):
                return image.new_zeros([h, w, 1])
            everywhere = True
        if self.refine:
            long_side = max(h, w)
            scale = min(1.0, float(self.work_size) / float(long_side))
            low_h = max(1, int(round(h * scale)))
            low_w = max(1, int(round(w * scale)))
            grid = max(prob.shape[2], prob.shape[3])
            r = max(1, int(round(self.radius * float(max(low_h, low_w)) / float(grid))))
            prob = self.people.fuse(prob, everywhere, crops, person_probability, h, w, low_h, low_w)
            # The guide comes from the copy, which is at least its size unless work_size
            # is set above source_size.
            source = small if small.shape[2] >= low_h and small.shape[3] >= low_w else bgr
            if low_h != source.shape[2] or low_w != source.shape[3]:
                guide_low = unit_rgb(resize_bilinear(source, [low_h, low_w], False, True))
            else:
                guide_low = unit_rgb(source)
            if prob.shape[2] != low_h or prob.shape[3] != low_w:
                prob = resize_bilinear(prob, [low_h, low_w])
            a, b = guided_filter.guided_coefficients(guide_low, prob, r, self.eps)
            # The coefficients act on red-green-blue in [0, 1]: turned to act on the
            # image's own blue-green-red 0..255 samples, it is never copied at full size.
            ab = torch.cat([a.flip(1) * (1.0 / 255.0), b], 1)
            matte = guided_filter.apply_coefficients(ab, bgr)
        else:
            matte = resize_bilinear(self.people.fuse(prob, everywhere, crops, person_probability, h, w, h, w),
                                    [h, w])[0].permute(1, 2, 0)
        return matte.clamp_(0.0, 1.0).to(image.dtype)

    @torch.jit.export
    def prime(self, device: torch.device) -> None:
        """Runs every network once on a blank input of its own size, and the person stage's fusion
        once on one small crop.

        Each network, and each method of the person stage, has an executor of its
        own, which builds its plan on the first call: this pays for it now,
        whichever of them the warm-up's image reaches (its blank frame holds
        nobody, so it never runs the selfie networks or fuses).
        """
        dtype = self.net_dtype(device)
        self.net(self.dtype_probe.new_zeros([1, 3, self.net_h, self.net_w], dtype=dtype))
        self.landscape_net(self.dtype_probe.new_zeros([1, 3, self.land_h, self.land_w], dtype=dtype))
        self.people.prime(device)
        prob = self.dtype_probe.new_zeros([1, 1, 4, 4], dtype=torch.float32)
        crop = self.dtype_probe.new_zeros([1, 5], dtype=torch.float32)
        crop[:, 0:3].fill_(2.0)  # centre (2, 2), side 2, upright
        crop[:, 4].fill_(1.0)
        self.people.fuse(prob, False, crop, prob, 4, 4, 4, 4)


def scaled_copy(bgr: torch.Tensor, size: int) -> torch.Tensor:
    """``bgr`` ((1, 3, H, W)) with its long side brought down to ``size`` when larger (antialiased);
    else ``bgr`` itself."""
    h = bgr.shape[2]
    w = bgr.shape[3]
    if max(h, w) <= size:
        return bgr
    s = float(size) / float(max(h, w))
    return resize_bilinear(bgr, [max(1, int(round(h * s))), max(1, int(round(w * s)))], False, True)


class Primed(nn.Module):
    """The file's top-level module: ``matting``, primed on the first call.

    Called through an interface, ``matting`` is not inlined here and has an
    executor of its own, and so does each of its networks: the first call (the
    plug-in's warm-up) runs every network once before ``matting`` itself, so
    the first render after a load finds every graph's plan built whatever the
    warm-up's image reached.  That is for the plug-in's way of calling the
    file, with TorchScript's graph optimisation off, where each graph runs as
    compiled.  A caller that leaves it on has each graph profiled on its first
    call and rebuilt on its second, which its first renders then pay for: the
    rebuilt graphs run no faster.
    """

    matting: ImageToMatte

    def __init__(self, matting: nn.Module):
        super().__init__()
        # Scripted on its own first: scripting through the interface would look
        # for the interface's methods on every submodule too.
        self.matting = torch.jit.script(matting)
        self.primed = False

    def forward(self, image: torch.Tensor) -> torch.Tensor:
        if not self.primed:
            self.primed = True
            self.matting.prime(image.device)
        return self.matting(image)
