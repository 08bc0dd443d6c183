"""tavelin on Ray: images per second for 1 and 2 actors on this machine beside the local
run (twenty 1920 x 1080 JPEGs to cut-out PNGs, actors started and warm), and the
driver's own CPU per image, measured with a network that does almost nothing, so the
images per second one driver can feed are 1 / that.
"""
import os
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PLUGIN_DIR = Path(os.environ.get("TAVELIN_PLUGIN_DIR", ROOT / "build" / "plugin" / "Tavelin"))
sys.path[:0] = [str(PLUGIN_DIR), str(ROOT / "host"), str(ROOT), str(ROOT / "bench")]
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import ray  # noqa: E402

from bench_cli import make_photos  # noqa: E402
from tavelin_host.cluster import Cluster, Still, run_stills  # noqa: E402
from tavelin_host.pipeline import Batch, Item, MatteOptions  # noqa: E402
from testkit.networks import plugin_dir_with  # noqa: E402
from common import TrivialNet  # noqa: E402


def on_cluster(plugin_dir, photos, out: Path, actors: int) -> tuple[float, float]:
    """(images per second, driver CPU seconds per image) with ``actors`` warm actors."""
    cluster = Cluster("local:2", str(plugin_dir), actors=actors).start()
    try:
        options = MatteOptions(out_dir=out, overwrite=True)
        failures = []
        report = lambda still, outcome: isinstance(outcome, BaseException) and failures.append(outcome)  # noqa: E731
        run_stills(cluster, [Still(photos[0], out, "warm")], options, set(), set(), report)
        cpu, started = time.process_time(), time.perf_counter()
        run_stills(cluster, [Still(p, out, None) for p in photos], options, set(), set(), report)
        wall, cpu = time.perf_counter() - started, time.process_time() - cpu
        if failures:
            raise SystemExit(f"the cluster run failed: {failures[0]}")
    finally:
        cluster.stop()
    return len(photos) / wall, cpu / len(photos)


def here(photos, out: Path) -> float:
    from tavelin_host.host import Host

    options = MatteOptions(out_dir=out, overwrite=True)
    with Host(PLUGIN_DIR, quiet=True) as host:
        host.render_image(__import__("tavelin_host.decoding").decoding.read_image(photos[0]))
        batch = Batch([Item(p, out) for p in photos], options)
        started = time.perf_counter()
        batch.run(host, lambda item, outcome: None)
        batch.close()
        return len(photos) / (time.perf_counter() - started)


def main() -> None:
    folder = Path(tempfile.mkdtemp(prefix="tavelin-bench-cluster-"))
    photos = make_photos(folder)
    stub = plugin_dir_with(Path(tempfile.mkdtemp(prefix="tavelin-bench-stub-")), PLUGIN_DIR, TrivialNet())
    ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1", logging_level="ERROR",
             log_to_driver=False)
    try:
        rows = [(f"{n} actor(s)", *on_cluster(PLUGIN_DIR, photos, folder / f"out{n}", n)) for n in (1, 2)]
        _, stub_cpu = on_cluster(stub, photos, folder / "stub", 2)
    finally:
        ray.shutdown()
    local = here(photos, folder / "here")
    print(f"\ntavelin on Ray, {len(photos)} x 1920 x 1080 JPEG -> cut-out PNG, 2 cores, "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"{'':<14} {'images/s':>9} {'driver CPU/image':>17}")
    print(f"{'local run':<14} {local:>9.2f} {'':>17}")
    for name, rate, cpu in rows:
        print(f"{name:<14} {rate:>9.2f} {cpu * 1000:>14.1f} ms")
    print(f"driver CPU per image with a stub network: {stub_cpu * 1000:.1f} ms, "
          f"so one driver feeds about {1 / stub_cpu:.0f} images/s")


if __name__ == "__main__":
    main()
