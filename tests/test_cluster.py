"""Rendering on Ray: a run on the cluster against the same run here, an actor killed
mid-run, a clip, the Ray Data stage, an unreachable cluster.  One local Ray (2 CPUs,
no dashboard, on 127.0.0.1) serves the module; the plug-in renders with small networks.
"""

import os
from pathlib import Path

import cv2
import numpy as np
import pytest

ray = pytest.importorskip("ray")

from tavelin_host import cli  # noqa: E402
from tavelin_host.cluster import ClipRenderer, Cluster, Still, TavelinMatte, run_stills  # noqa: E402
from tavelin_host.host import Host  # noqa: E402
from tavelin_host.pipeline import MatteOptions  # noqa: E402
from tavelin_host.video import matte_video  # noqa: E402
from testkit.networks import SlowBlue, plugin_dir_with  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BUILT = Path(os.environ.get("TAVELIN_TEST_PLUGIN_DIR") or ROOT / "build" / "plugin" / "Tavelin")
pytestmark = pytest.mark.skipif(not any(BUILT.glob("Tavelin*.so")), reason="no built plug-in: run `make plugin`")


@pytest.fixture(scope="module")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1", logging_level="ERROR",
             log_to_driver=False)
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def plugin_dir(tmp_path_factory):
    return plugin_dir_with(tmp_path_factory.mktemp("cluster-plugin"), BUILT, SlowBlue())


def photos(folder, count, delay=0, size=(40, 56)):
    rng = np.random.default_rng(1)
    folder.mkdir(parents=True, exist_ok=True)
    for index in range(count):
        pixels = rng.integers(0, 256, (*size, 3), dtype=np.uint8)
        pixels[:8, :8, 0] = delay  # the slow network's work per render
        cv2.imwrite(str(folder / f"p{index}.png"), pixels)
    return sorted(folder.iterdir())


def test_a_folder_on_the_cluster_gives_the_same_files_as_here(local_ray, plugin_dir, tmp_path, capsys):
    folder = tmp_path / "in"
    photos(folder / "sub", 3)
    cv2.imwrite(str(folder / "broken.png"), np.zeros((4, 4, 3), np.uint8))
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    common = [str(folder), "-r", "--preview", "--plugin-dir", plugin_dir]
    assert cli.main([*common, "-o", str(tmp_path / "here")]) == 1
    here = capsys.readouterr().err
    assert cli.main([*common, "-o", str(tmp_path / "there"), "--cluster", "local:2"]) == 1
    there = capsys.readouterr().err
    files = sorted(p.relative_to(tmp_path / "here") for p in (tmp_path / "here").rglob("*") if p.is_file())
    assert len(files) == 6 and files == sorted(p.relative_to(tmp_path / "there")
                                                for p in (tmp_path / "there").rglob("*") if p.is_file())
    for name in files:
        assert (tmp_path / "here" / name).read_bytes() == (tmp_path / "there" / name).read_bytes(), name
    # The same messages and summary counts; the device line names the actors.
    assert [line for line in here.splitlines() if "broken.png" in line] == \
        [line for line in there.splitlines() if "broken.png" in line]
    assert "3 of 4 matted, 1 failed" in there and "Ray actor(s) on cpu" in there
    # Everything there already: skipped on the cluster as here, without a task.
    assert cli.main([*common, "-o", str(tmp_path / "there"), "--cluster", "local:2", "--skip-existing"]) == 1
    assert "3 skipped (outputs exist)" in capsys.readouterr().err


def test_an_actor_killed_mid_run_still_gives_every_output_once(local_ray, plugin_dir, tmp_path):
    sources = photos(tmp_path / "in", 6, delay=40)
    options = MatteOptions(out_dir=tmp_path / "out", resize_mode=0)
    cluster = Cluster("local:2", plugin_dir, actors=2).start()
    outcomes = []

    def report(still, outcome):
        if not outcomes:  # the first result back: the other actor is mid-render
            ray.kill(cluster.pool[1], no_restart=False)
            ray.kill(cluster.pool[0], no_restart=False)
        outcomes.append((still.source.name, outcome))

    try:
        run_stills(cluster, [Still(s, tmp_path / "out", None) for s in sources], options, set(), set(), report)
    finally:
        cluster.stop()
    assert sorted(name for name, _ in outcomes) == [s.name for s in sources]
    assert all(not isinstance(outcome, BaseException) for _, outcome in outcomes), outcomes
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(f"p{i}.cutout.png" for i in range(6))
    for source in sources:  # each output whole and right: matte = blue / 255
        cutout = cv2.imread(str(tmp_path / "out" / f"{source.stem}.cutout.png"), cv2.IMREAD_UNCHANGED)
        assert np.abs(cutout[:, :, 3].astype(int) - cv2.imread(str(source))[:, :, 0]).max() <= 1


def test_a_clip_on_the_cluster_is_the_clip_rendered_here(local_ray, plugin_dir, tmp_path):
    from test_video import picture_frames, write_clip

    clip = tmp_path / "clip.mkv"
    write_clip(clip, picture_frames(count=9), "ffv1", "yuv444p", audio=False)
    with Host(plugin_dir, quiet=True) as host:
        matte_video(host, clip, MatteOptions(out_dir=tmp_path / "here", output="matte", video_format="png",
                                             resize_mode=0))
    cluster = Cluster("local:2", plugin_dir, actors=2).start()
    try:
        result = matte_video(ClipRenderer(cluster, str(clip)), clip,
                             MatteOptions(out_dir=tmp_path / "there", output="matte", video_format="png",
                                          resize_mode=0))
    finally:
        cluster.stop()
    assert result.frames == 9
    here = sorted((tmp_path / "here").rglob("*.png"))
    there = sorted((tmp_path / "there").rglob("*.png"))
    assert [p.name for p in here] == [p.name for p in there] and len(here) == 9
    for a, b in zip(here, there):
        assert np.abs(cv2.imread(str(a), -1).astype(int) - cv2.imread(str(b), -1)).max() <= 1, a.name


def test_the_ray_data_stage_mattes_batches_at_each_images_size_and_depth(local_ray, plugin_dir):
    rng = np.random.default_rng(2)
    images = [rng.integers(0, 65536, size, dtype=np.uint16) for size in ((20, 30, 3), (24, 18, 3), (20, 30, 3))]
    for image in images:
        image[:8, :8, 2] = 0  # no slow work
    dataset = ray.data.from_items([{"image": image, "name": str(i)} for i, image in enumerate(images)])
    rows = dataset.map_batches(TavelinMatte, concurrency=1, batch_size=2, batch_format="numpy", fn_constructor_kwargs={
        "output": "matte", "resize_mode": 0, "plugin_dir": plugin_dir}).take_all()
    rows.sort(key=lambda row: row["name"])
    for row, image in zip(rows, images):
        matte = np.asarray(row["image"])
        assert matte.shape == image.shape[:2] and matte.dtype == np.uint16
        assert np.abs(matte.astype(int) - image[:, :, 2]).max() <= 257  # blue (RGB in), seen by the network in 8 bits
        assert row["person_found"] == (image[:, :, 2].max() >= 0.9 * 65535)


def test_an_unreachable_cluster_is_one_line_before_any_work(tmp_path, capsys):
    source = photos(tmp_path / "in", 1)[0]
    assert cli.main([str(source), "--cluster", "127.0.0.1:1", "-o", str(tmp_path / "out")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "cannot reach the Ray cluster at 127.0.0.1:1" in err
    assert not (tmp_path / "out").exists() or not os.listdir(tmp_path / "out")
