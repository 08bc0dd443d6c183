"""The two network files as the plug-in loads them: layout, precision, sizes,
serialisation, and a plausible matte on the sample photo."""

import os
import re
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest
import torch

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from models import convert  # noqa: E402
from tavelin_host.contract import MODE_SIZES  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:.*torch.jit.(script|load|save).*:DeprecationWarning")

PHOTO = ROOT / "examples" / "astronaut.png"
# Boxes (rows, columns) on the 512 x 512 sample photo.
SUBJECT_BOXES = {"torso": (slice(330, 500), slice(80, 280)), "face": (slice(60, 150), slice(190, 280))}
BACKGROUND_BOXES = {"top right": (slice(0, 150), slice(380, 512)), "top left": (slice(0, 100), slice(0, 100))}


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("models")
    convert.main(["--out", str(out)])
    return out


def load(model_dir, half):
    """The plug-in's load sequence: jit.load, .to(device), .half() for float16, .eval()."""
    module = torch.jit.load(str(model_dir / (convert.FLOAT16_FILE if half else convert.FLOAT32_FILE)))
    module.to("cpu")
    if half:
        module.half()
    module.eval()
    return module


@pytest.fixture(scope="module")
def networks(model_dir):
    return {torch.float32: load(model_dir, False), torch.float16: load(model_dir, True)}


def photo_bgr():
    return cv2.imread(str(PHOTO), cv2.IMREAD_COLOR)  # OpenCV reads blue-green-red


def run(module, image_bgr, dtype):
    with torch.no_grad():
        return module(torch.Tensor(image_bgr).to(dtype))


def test_both_files_are_written(model_dir):
    assert sorted(p.name for p in model_dir.iterdir()) == sorted([convert.FLOAT32_FILE, convert.FLOAT16_FILE])


def test_conversion_is_deterministic(model_dir, tmp_path):
    # Another process with another string hash seed: TorchScript's order of a
    # module's constants follows it unless the converter pins it.
    env = dict(os.environ, PYTHONHASHSEED="1")
    subprocess.run([sys.executable, "-m", "models.convert", "--out", str(tmp_path)], cwd=ROOT, env=env, check=True,
                   stdout=subprocess.DEVNULL)
    for name in (convert.FLOAT32_FILE, convert.FLOAT16_FILE):
        assert (tmp_path / name).read_bytes() == (model_dir / name).read_bytes(), name


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("h, w", [(1, 1), (1, 17), (17, 1), (3, 1000), (37, 53), (144, 512)])
def test_output_layout_dtype_and_range(networks, dtype, h, w):
    rng = np.random.default_rng(h * 1000 + w)
    image = rng.integers(0, 256, (h, w, 3)).astype(np.float32)
    out = run(networks[dtype], image, dtype)
    assert out.shape[:2] == (h, w) and out.dim() == 3 and out.shape[2] >= 1
    assert out.dtype == dtype and out.device.type == "cpu"
    assert torch.isfinite(out).all()
    assert out.min() >= 0 and out.max() <= 1


@pytest.mark.parametrize("value", [0.0, 255.0])
def test_flat_images_give_a_valid_matte(networks, value):
    # The plug-in warms up on a 512 x 512 image of zeros.
    out = run(networks[torch.float16], np.full((512, 512, 3), value, np.float32), torch.float16)
    assert out.shape == (512, 512, 1) and torch.isfinite(out).all()
    assert out.min() >= 0 and out.max() <= 1


def test_channel_order_is_blue_green_red(networks):
    image = photo_bgr()
    straight = run(networks[torch.float32], image, torch.float32)
    swapped = run(networks[torch.float32], image[:, :, ::-1].copy(), torch.float32)
    # Swapping red and blue turns the orange suit blue: the matte must notice.
    assert (straight - swapped).abs().mean() > 1e-3
    assert straight[SUBJECT_BOXES["torso"]].mean() > swapped[SUBJECT_BOXES["torso"]].mean() - 0.05


@pytest.mark.parametrize("half", [False, True])
def test_saved_and_loaded_module_matches_the_module_it_was_saved_from(half, tmp_path):
    module = convert.build_module()
    if half:
        module = module.half()
    scripted = convert.script_module(module)
    path = tmp_path / "m.pt"
    torch.jit.save(scripted, str(path))
    loaded = torch.jit.load(str(path))
    dtype = torch.float16 if half else torch.float32
    image = torch.Tensor(photo_bgr()[::2, ::3].copy()).to(dtype)
    with torch.no_grad():
        expected = module(image)
        assert torch.equal(scripted(image), expected)
        assert torch.equal(loaded(image), expected)


def test_scripted_graph_creates_no_tensor_on_a_fixed_device():
    # Everything must follow the input onto its device (CUDA included): no tensor
    # factories and no device constants anywhere in the inlined graph.
    scripted = convert.script_module(convert.build_module())
    m = scripted.matting
    graphs = (scripted, m, m.net, m.landscape_net, m.people.detector, m.people.segmenter)  # each called alone
    methods = (m.prime, m.people.find, m.people.frame_person, m.people.fuse, m.people.prime)
    graph = "".join(str(g.inlined_graph) for g in graphs + methods)
    assert not re.search(r"aten::(zeros|ones|full|empty|arange|tensor|scalar_tensor|rand\w*)\b", graph)
    assert not re.search(r"Device = prim::Constant", graph)


def test_networks_and_the_person_stage_keep_graphs_of_their_own(networks):
    # A load compiles and optimises graphs at a cost that grows faster than their
    # size: each network is one flat method (no operator modules), and neither the
    # networks nor the person stage are inlined into the matting graph.
    m = networks[torch.float32].matting
    for net in (m.net, m.landscape_net, m.people.detector, m.people.segmenter):
        assert not list(net.children())
    graph = str(m.inlined_graph)
    assert "aten::conv2d" not in graph and "aten::grid_sampler" not in graph


def test_half_precision_agrees_with_float32(networks):
    image = photo_bgr()
    a = run(networks[torch.float32], image, torch.float32).float()
    b = run(networks[torch.float16], image, torch.float16).float()
    assert (a - b).abs().mean() < 5e-3


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("mode", [0, 1, 2, 3])
def test_sample_photo_matte_is_plausible(networks, dtype, mode):
    """The plug-in's path: stretch to the mode's square (mode 0: full size), run, resize back."""
    image = photo_bgr()
    h, w = image.shape[:2]
    ref = MODE_SIZES[mode]
    net_in = cv2.resize(image, (ref, ref)) if ref else image
    matte = run(networks[dtype], net_in, dtype)[:, :, 0:1].numpy().astype(np.float32)
    if ref:
        matte = cv2.resize(matte, (w, h))
    matte = matte.reshape(h, w)
    for name, box in SUBJECT_BOXES.items():
        assert matte[box].mean() > 0.8, name
    for name, box in BACKGROUND_BOXES.items():
        assert matte[box].mean() < 0.2, name


def test_wide_images_use_the_landscape_network(networks):
    # The lower part of the photo as a wide (16:9) picture: the square network,
    # fed it stretched, loses the torso; the landscape one keeps it.
    # Without the person stage: a torso whose head is cut off is nobody to the detector.
    crop = photo_bgr()[224:512]
    torso = (slice(100, 280), slice(60, 280))
    matte = run(convert.script_module(convert.build_module(people=False)), crop, torch.float32)[:, :, 0].numpy()
    assert matte[torso].mean() > 0.8
    assert matte[0:80, 400:512].mean() < 0.2
    square_only = convert.script_module(convert.build_module(landscape=False, people=False))
    assert run(square_only, crop, torch.float32)[:, :, 0].numpy()[torso].mean() < 0.5


def test_refinement_follows_image_edges_at_full_size():
    # At full size the refined matte's edges should sit on the photo's edges: the
    # image gradient under the matte's transition band is higher than without it.
    image = photo_bgr()
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY).astype(np.float32)
    grad = np.hypot(cv2.Sobel(grey, cv2.CV_32F, 1, 0), cv2.Sobel(grey, cv2.CV_32F, 0, 1))

    def edge_alignment(module):
        matte = run(module, image, torch.float32)[:, :, 0].numpy()
        mg = np.hypot(cv2.Sobel(matte, cv2.CV_32F, 1, 0), cv2.Sobel(matte, cv2.CV_32F, 0, 1))
        return float((mg * grad).sum() / mg.sum())

    refined = edge_alignment(convert.build_module(refine=True))
    raw = edge_alignment(convert.build_module(refine=False))
    assert refined > 1.1 * raw


def test_stage_finds_a_full_body_person_the_selfie_network_misses(networks):
    # A photographer standing full length on the rim of a skate bowl, a quarter of
    # the frame's height: the selfie network alone leaves him out entirely.
    import json

    folder = ROOT / "examples" / "people"
    name = "pexels_skatepark_small.jpg"
    boxes = json.loads((folder / "boxes.json").read_text())["photos"][name]
    image = cv2.imread(str(folder / name), cv2.IMREAD_COLOR)

    def means(module, kind):
        matte = run(module, image, torch.float32)[:, :, 0].numpy()
        return {k: float(matte[y0:y1, x0:x1].mean()) for k, (x0, y0, x1, y1) in boxes[kind].items()}

    selfie_only = means(convert.build_module(people=False), "subject")
    assert selfie_only["photographer"] < 0.2 and selfie_only["photographer shorts"] < 0.2
    assert min(means(networks[torch.float32], "subject").values()) > 0.75
    assert max(means(networks[torch.float32], "background").values()) < 0.25


@pytest.mark.parametrize("folder, name, mode", [
    ("noperson", "lomiri_dogs_at_window.jpg", 1),  # the selfie network alone cuts the dogs out
    ("noperson", "gcompris_cat.jpg", 0),
    ("noperson", "tuxpaint_gorilla.jpg", 1),  # fills the frame as a portrait would, but whole
    ("noperson", "gcompris_pencil.jpg", 2),  # the segmenter's "head and shoulders", with no hips
    ("people", "pexels_batter_standing.jpg", 1),  # full length, stretched to 256 x 256
    ("people", "pexels_batter_standing.jpg", 0),
    ("people", "pexels_skatepark_small.jpg", 2),  # a crouching skater whose face is hidden: a weak detection
])
def test_the_matte_holds_people_and_nothing_else(networks, folder, name, mode):
    import json

    image = cv2.imread(str(ROOT / "examples" / folder / name), cv2.IMREAD_COLOR)
    h, w = image.shape[:2]
    size = MODE_SIZES[mode]
    shown = cv2.resize(image, (size, size)) if size else image
    matte = cv2.resize(run(networks[torch.float32], shown, torch.float32)[:, :, 0].numpy(), (w, h))
    if folder == "noperson":
        selfie = run(convert.build_module(people=False), shown, torch.float32)[:, :, 0].numpy()
        # Something there that the selfie network takes for a subject; the pencil
        # it leaves alone, but the stage's own segmenter took it for a person.
        assert (selfie > 0.5).mean() > 0.02 or name == "gcompris_pencil.jpg"
        assert matte.max() == 0.0
        return
    boxes = json.loads((ROOT / "examples" / "people" / "boxes.json").read_text())["photos"][name]
    for kind, ok in (("subject", lambda m: m > 0.75), ("background", lambda m: m < 0.25)):
        for box, (x0, y0, x1, y1) in boxes[kind].items():
            assert ok(float(matte[y0:y1, x0:x1].mean())), box


class CountingNet(torch.nn.Module):
    """A network that counts the images it is given."""

    def __init__(self, net):
        super().__init__()
        self.net, self.images = net, 0

    def forward(self, x):
        self.images += x.shape[0]
        return self.net(x)


def test_batched_stage_finds_the_same_people_as_one_by_one_runs():
    from models.people import crop_frames, unit_rgb

    stage = convert.build_stage()
    image = cv2.imread(str(ROOT / "examples" / "people" / "pexels_basketball_group.jpg"), cv2.IMREAD_COLOR)
    bgr = torch.from_numpy(image).float().permute(2, 0, 1)[None]
    h, w = image.shape[:2]
    windows = [(0, 0, h, w), (0, 0, 600, 600), (0, w - 600, 600, 600)]
    with torch.no_grad():
        together = stage.detect_windows(bgr, windows, 0.55)
        alone = [stage.detect_windows(bgr, [window], 0.55) for window in windows]
        torch.testing.assert_close(together[0], torch.cat([s for s, _ in alone]), atol=1e-4, rtol=0)
        torch.testing.assert_close(together[1], torch.cat([c for _, c in alone]), atol=1e-2, rtol=0)
        crops = crop_frames(together[1][:, 4:6], together[1][:, 6:8], stage.crop_scale)
        assert crops.shape[0] >= 2
        source = unit_rgb(bgr)
        batch = stage.segment(source, crops, h, w)
        for i in range(crops.shape[0]):
            one = stage.segment(source, crops[i:i + 1], h, w)
            for a, b in zip(batch, one):
                torch.testing.assert_close(a[i:i + 1], b, atol=1e-3, rtol=0)
        # A close-up portrait costs the detector one image: no tiles.
        stage.detector = CountingNet(stage.detector)
        portrait = cv2.imread(str(ROOT / "examples" / "people" / "codait_portrait_man.jpg"), cv2.IMREAD_COLOR)
        stage.find(torch.from_numpy(cv2.resize(portrait, (1024, 1024))).float().permute(2, 0, 1)[None], 1024, 1024)
        assert stage.detector.images == 1


def bilinear_np(a, out_h, out_w):
    """Half-pixel-centre bilinear resize of (C, h, w), no antialiasing."""
    def axis(n_in, n_out):
        src = np.maximum((np.arange(n_out) + 0.5) * n_in / n_out - 0.5, 0.0)
        i0 = np.minimum(np.floor(src).astype(int), n_in - 1)
        return i0, np.minimum(i0 + 1, n_in - 1), src - i0
    y0, y1, ly = axis(a.shape[1], out_h)
    x0, x1, lx = axis(a.shape[2], out_w)
    rows = a[:, y0] * (1 - ly)[:, None] + a[:, y1] * ly[:, None]
    return rows[:, :, x0] * (1 - lx) + rows[:, :, x1] * lx


def area_weights_np(n_in, n_out):
    """Antialiased (triangle filter stretched by the scale) downsampling matrix, n_out x n_in."""
    scale = n_in / n_out
    m = np.zeros((n_out, n_in))
    for i in range(n_out):
        centre = scale * (i + 0.5)
        lo, hi = max(int(centre - scale + 0.5), 0), min(int(centre + scale + 0.5), n_in)
        j = np.arange(lo, hi)
        wts = np.maximum(0.0, 1.0 - np.abs((j - centre + 0.5) / scale))
        m[i, lo:hi] = wts / wts.sum()
    return m


def box_mean_np(x, r):
    """Clipped (2r+1)^2 window means of (C, h, w)."""
    def along(a, axis):
        c = np.cumsum(np.pad(a, [(0, 0)] * axis + [(1, 0)] + [(0, 0)] * (2 - axis)), axis=axis)
        n = a.shape[axis]
        hi, lo = np.minimum(np.arange(n) + r + 1, n), np.maximum(np.arange(n) - r, 0)
        s = np.take(c, hi, axis=axis) - np.take(c, lo, axis=axis)
        shape = [1, 1, 1]
        shape[axis] = n
        return s / (hi - lo).reshape(shape)
    return along(along(x, 1), 2)


def test_refinement_matches_a_numpy_guided_filter_on_a_wide_image():
    # 150 x 700: the landscape network's 144 x 256 grid, coefficients solved at
    # 110 x 512 with radius round(512 / 256) = 2, then brought up to 150 x 700.
    # Without the person-finding stage: the filtered probability is the network's own.
    module = convert.build_module(people=False)
    bgr = cv2.resize(photo_bgr(), (700, 150), interpolation=cv2.INTER_AREA).astype(np.float32)
    with torch.no_grad():
        ours = module(torch.from_numpy(bgr))[:, :, 0].numpy()
        prob = module.probability(torch.from_numpy(bgr).permute(2, 0, 1)[None], 150, 700)[0].double().numpy()
    assert prob.shape == (1, 144, 256)

    rgb = bgr[:, :, ::-1].transpose(2, 0, 1).astype(np.float64) / 255.0
    low_h, low_w, r, eps = 110, 512, 2, convert.Matting(module.net).eps
    guide = area_weights_np(150, low_h) @ rgb @ area_weights_np(700, low_w).T
    p = bilinear_np(prob, low_h, low_w)[0]
    mean_i, mean_p = box_mean_np(guide, r), box_mean_np(p[None], r)[0]
    cov = box_mean_np(guide * p, r) - mean_i * mean_p
    sigma = box_mean_np((guide[:, None] * guide[None]).reshape(9, low_h, low_w), r).reshape(3, 3, low_h, low_w)
    sigma = sigma - mean_i[:, None] * mean_i[None] + eps * np.eye(3)[:, :, None, None]
    a = np.linalg.solve(sigma.transpose(2, 3, 0, 1), cov.transpose(1, 2, 0)[..., None])[..., 0].transpose(2, 0, 1)
    b = mean_p - (a * mean_i).sum(0)
    ab = bilinear_np(box_mean_np(np.concatenate([a, b[None]]), r), 150, 700)
    expected = np.clip((ab[:3] * rgb).sum(0) + ab[3], 0.0, 1.0)
    assert 0.05 < (expected > 0.5).mean() < 0.95  # subject and background both in view
    np.testing.assert_allclose(ours, expected, atol=5e-4, rtol=0)
