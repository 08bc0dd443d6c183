"""tavelin serve under load: 1920 x 1080 JPEGs posted by 1, 4 and 16 concurrent clients
(requests/s, p50 and p99 latency, errors), beside a warm render plus encode in this
process and one `tavelin` call per image (the whole process, as a script would run it).

Goals: one warm request within 1.2x of a warm in-process render plus encode; 16
concurrent clients served without an error (the server runs with a queue deep enough
for them; a client past it would get 503 and retry).
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PLUGIN_DIR = Path(os.environ.get("TAVELIN_PLUGIN_DIR", ROOT / "build" / "plugin" / "Tavelin"))
sys.path[:0] = [str(PLUGIN_DIR), str(ROOT / "host"), str(ROOT), str(ROOT / "bench")]

from bench_cli import make_photos  # noqa: E402

GOAL_WARM_RATIO = 1.2
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # as the command and the server set it
CLIENTS = (1, 4, 16)
REQUESTS_EACH = 3


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def post(url: str, body: bytes) -> tuple[int, float]:
    started = time.perf_counter()
    request = urllib.request.Request(url, data=body, headers={"Content-Type": "image/jpeg"})
    try:
        with urllib.request.urlopen(request, timeout=600) as response:
            response.read()
            status = response.status
    except urllib.error.HTTPError as error:
        status = error.code
    return status, time.perf_counter() - started


def load(url: str, bodies: list[bytes], clients: int) -> dict:
    latencies, statuses, lock = [], [], threading.Lock()

    def client(index: int) -> None:
        for k in range(REQUESTS_EACH):
            status, seconds = post(url, bodies[(index * REQUESTS_EACH + k) % len(bodies)])
            with lock:
                statuses.append(status)
                latencies.append(seconds)

    started = time.perf_counter()
    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.perf_counter() - started
    latencies.sort()
    return {"rps": len(latencies) / wall, "p50": statistics.median(latencies),
            "p99": latencies[min(len(latencies) - 1, round(0.99 * (len(latencies) - 1)))],
            "errors": sum(status != 200 for status in statuses)}


def warm_in_process(photo: Path, repeat: int = 5) -> float:
    """Median seconds of decode + render + post-process + encode of one photo, warm, in this process."""
    from tavelin_host.host import Host
    from tavelin_host.pipeline import MatteOptions, matte_bytes

    data, options = photo.read_bytes(), MatteOptions()
    with Host(PLUGIN_DIR, quiet=True) as host:
        matte_bytes(host, data, options, photo.name)
        times = []
        for _ in range(repeat):
            started = time.perf_counter()
            matte_bytes(host, data, options, photo.name)
            times.append(time.perf_counter() - started)
    return statistics.median(times)


def main() -> None:
    folder = Path(tempfile.mkdtemp(prefix="tavelin-bench-serve-"))
    photos = make_photos(folder)
    bodies = [photo.read_bytes() for photo in photos]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "tavelin_host", "serve", "--port", str(port), "--plugin-dir",
                               str(PLUGIN_DIR), "--queue", "32"], env=env, stderr=subprocess.DEVNULL)
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 180
        while True:
            try:
                with urllib.request.urlopen(url + "/readyz", timeout=5) as response:
                    if response.status == 200:
                        break
            except OSError:
                pass
            if server.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("the server did not start")
            time.sleep(0.2)
        post(url + "/v1/matte", bodies[0])  # first request: nothing left to warm, but keep the rows alike
        rows = [(clients, load(url + "/v1/matte", bodies, clients)) for clients in CLIENTS]
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=120)
    warm = warm_in_process(photos[0])
    one_request = rows[0][1]["p50"]

    command = [sys.executable, "-m", "tavelin_host", str(photos[0]), "-o", str(folder / "cli"), "-q", "--overwrite",
               "--plugin-dir", str(PLUGIN_DIR)]
    started = time.perf_counter()
    for _ in range(3):
        subprocess.run(command, env=env, check=True, stderr=subprocess.DEVNULL)
    per_call = (time.perf_counter() - started) / 3

    print(f"\ntavelin serve, 1920 x 1080 JPEG -> cut-out PNG, {REQUESTS_EACH} requests per client, "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"{'clients':>8} {'req/s':>7} {'p50 s':>7} {'p99 s':>7} {'errors':>7}")
    for clients, row in rows:
        print(f"{clients:>8} {row['rps']:>7.2f} {row['p50']:>7.3f} {row['p99']:>7.3f} {row['errors']:>7}")
    print(f"{'one tavelin call per image':<34} {1 / per_call:>7.2f} img/s ({per_call:.2f} s each)")
    ratio = one_request / warm
    print(f"{'warm request / in-process render+encode':<42} {ratio:.2f}x ({one_request:.3f} s / {warm:.3f} s), "
          f"goal <= {GOAL_WARM_RATIO}x: {'met' if ratio <= GOAL_WARM_RATIO else 'NOT met'}")
    errors = rows[-1][1]["errors"]
    print(f"{'16 clients without an error':<42} {errors} errors: {'met' if errors == 0 else 'NOT met'}")


if __name__ == "__main__":
    main()
