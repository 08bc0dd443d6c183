"""tavelin serve: the HTTP API end to end on a real server on 127.0.0.1, and its page in a real browser.

The servers run the built plug-in with a small network (matte = blue / 255) that first
works for as long as the blue value of the picture's first pixel says, so a request's
picture sets how long its render takes.
"""

import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
import uuid
from pathlib import Path

import cv2
import numpy as np
import pytest

from testkit.networks import SlowBlue, plugin_dir_with

ROOT = Path(__file__).resolve().parents[1]
BUILT = Path(os.environ.get("TAVELIN_TEST_PLUGIN_DIR") or ROOT / "build" / "plugin" / "Tavelin")
TOKEN = "s3cret-token"
pytestmark = pytest.mark.skipif(not any(BUILT.glob("Tavelin*.so")), reason="no built plug-in: run `make plugin`")


def environment():
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "host"), os.environ.get("PYTHONPATH", "")]))


@pytest.fixture(scope="module")
def plugin_dir(tmp_path_factory):
    return Path(plugin_dir_with(tmp_path_factory.mktemp("serve-plugin"), BUILT, SlowBlue()))


class Server:
    def __init__(self, plugin_dir, tmp_path, *options):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.log = tmp_path / f"server-{self.port}.log"
        command = [sys.executable, "-m", "tavelin_host", "serve", "--port", str(self.port),
                   "--plugin-dir", str(plugin_dir), *map(str, options)]
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=environment())
        deadline = time.monotonic() + 120
        while True:
            try:
                if self.get("/readyz")[0] == 200:
                    return
            except OSError:
                pass
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"the server did not start:\n{self.log.read_text()}")
            time.sleep(0.2)

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def request(self, path, body=None, headers=None, method=None):
        """(status, headers, body) of one request."""
        request = urllib.request.Request(self.url + path, data=body, headers=headers or {}, method=method)
        try:
            with urllib.request.urlopen(request, timeout=120) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def get(self, path):
        return self.request(path)

    def post(self, body, query="", token=TOKEN, content_type="application/octet-stream"):
        headers = {"Content-Type": content_type}
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        return self.request(f"/v1/matte{query}", body, headers)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture(scope="module")
def server(plugin_dir, tmp_path_factory):
    folder = tmp_path_factory.mktemp("serve")
    (folder / "token").write_text(TOKEN + "\n")
    running = Server(plugin_dir, folder, "--token-file", folder / "token", "--max-body-mb", 1,
                     "--max-megapixels", 1, "--concurrency", 1, "--queue", 1)
    yield running
    running.stop()


def png(pixels):
    return cv2.imencode(".png", pixels)[1].tobytes()


def picture(delay=0, height=48, width=64, seed=0):
    """A BGR picture whose first pixels' blue value is ``delay`` (the render's work)."""
    pixels = np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)
    pixels[:8, :8, 0] = delay
    return pixels


def multipart(fields, file_name, data):
    boundary = uuid.uuid4().hex
    parts = [f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode()
             for name, value in fields.items()]
    parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="file"; filename="{file_name}"\r\n'
                 f"Content-Type: application/octet-stream\r\n\r\n".encode() + data + b"\r\n")
    return b"".join(parts) + f"--{boundary}--\r\n".encode(), f"multipart/form-data; boundary={boundary}"


@pytest.mark.parametrize("case, status, message", [
    ("no token", 401, "token"),
    ("wrong token", 401, "token"),
    ("bad output", 400, "output must be one of"),
    ("bad resize mode", 400, "resize_mode must be"),
    ("a path as background", 400, "background must be a colour"),
    ("an unknown parameter", 400, "unknown parameter 'path'"),
    ("not an image", 415, "not an image"),
    ("body over the limit", 413, "over the limit"),
    ("pixels over the limit", 413, "megapixels"),
    ("multipart without a file", 400, "no 'file' part"),
])
def test_bad_requests_get_their_status_and_one_json_message(server, case, status, message):
    body, query, token, content_type = png(picture()), "", TOKEN, "image/png"
    if case == "no token":
        token = None
    elif case == "wrong token":
        token = TOKEN + "x"
    elif case == "bad output":
        query = "?output=alpha"
    elif case == "bad resize mode":
        query = "?resize_mode=9"
    elif case == "a path as background":
        query = "?background=/etc/passwd"
    elif case == "an unknown parameter":
        query = "?path=/etc/passwd"
    elif case == "not an image":
        body = b"GIF89a? no, just text"
    elif case == "body over the limit":  # refused from the declared length, before the body is sent
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        connection.putrequest("POST", "/v1/matte")
        for name, value in (("Authorization", f"Bearer {TOKEN}"), ("Content-Length", str(1024 * 1024 + 1))):
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        got, headers, answer = response.status, response.headers, response.read()
        connection.close()
    elif case == "pixels over the limit":
        body = png(np.zeros((1000, 1001, 3), np.uint8))  # small as a file, over a megapixel as an image
    elif case == "multipart without a file":
        body, content_type = multipart({"output": "matte"}, "x.png", b"")
        body = body.replace(b'name="file"', b'name="other"')
    if case != "body over the limit":
        got, headers, answer = server.post(body, query, token, content_type)
    assert got == status, answer
    assert headers["Content-Type"] == "application/json"
    assert message in json.loads(answer)["error"]
    if status == 401:
        assert headers["WWW-Authenticate"] == "Bearer"


def test_a_request_gives_what_the_command_gives(server, plugin_dir, tmp_path):
    pixels = picture(height=40, width=30)
    source = tmp_path / "photo.png"
    source.write_bytes(png(pixels))
    run = subprocess.run([sys.executable, "-m", "tavelin_host", str(source), "-o", str(tmp_path / "cli"),
                          "--plugin-dir", str(plugin_dir), "--output", "matte", "--resize-mode", "2", "-q"],
                         env=environment(), capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    status, headers, body = server.post(png(pixels), "?output=matte&resize_mode=2")
    assert status == 200 and headers["Content-Type"] == "image/png", body
    expected = cv2.imread(str(tmp_path / "cli" / "photo.matte.png"), cv2.IMREAD_UNCHANGED)
    subprocess.run([sys.executable, "-m", "tavelin_host", str(source), "-o", str(tmp_path / "cli2"),
                    "--plugin-dir", str(plugin_dir), "--resize-mode", "2", "-q"], env=environment(), timeout=300)
    cutout = cv2.imread(str(tmp_path / "cli2" / "photo.cutout.png"), cv2.IMREAD_UNCHANGED)
    assert np.array_equal(cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_UNCHANGED), expected)

    # The same as multipart, as a cut-out; and as TIFF with a background colour.
    form, content_type = multipart({"resize_mode": "2"}, "photo.png", png(pixels))
    status, headers, body = server.post(form, content_type=content_type)
    assert status == 200 and headers["X-Person-Found"] in ("true", "false")
    assert float(headers["X-Render-Seconds"]) >= 0 and 'filename="photo.cutout.png"' in headers["Content-Disposition"]
    assert np.array_equal(cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_UNCHANGED), cutout)
    status, headers, body = server.post(png(pixels), "?background=%23ff0000&format=tif&resize_mode=2")
    assert status == 200 and headers["Content-Type"] == "image/tiff"
    composite = cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_UNCHANGED)
    alpha = cutout[:, :, 3:].astype(np.float32) / 255
    red = np.array([0, 0, 255], np.float32)
    assert np.abs(composite - (cutout[:, :, :3] * alpha + red * (1 - alpha))).max() <= 1


def test_concurrent_requests_are_answered_or_turned_away_at_once(server):
    """One render slot and one place in the queue: of four requests at once, two are
    answered with their image and the others get 503 with Retry-After, never an error."""
    results = [None] * 4

    def post(index):
        results[index] = server.post(png(picture(delay=120, seed=index)), "?resize_mode=0")

    threads = [threading.Thread(target=post, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    statuses = sorted(status for status, _, _ in results)
    assert statuses.count(200) >= 2 and set(statuses) <= {200, 503}, statuses
    for index, (status, headers, body) in enumerate(results):
        if status == 503:
            assert int(headers["Retry-After"]) > 0 and "busy" in json.loads(body)["error"]
        else:
            cutout = cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_UNCHANGED)
            expected_alpha = picture(delay=120, seed=index)[:, :, 0]
            assert np.abs(cutout[:, :, 3].astype(int) - expected_alpha).max() <= 1
    assert server.get("/readyz")[0] == 200 and server.get("/healthz")[0] == 200


def test_a_slow_render_times_out_and_sigterm_lets_requests_in_flight_finish(plugin_dir, tmp_path):
    running = Server(plugin_dir, tmp_path, "--timeout", 0.2)
    try:
        status, _, body = running.post(png(picture(delay=255)), "?resize_mode=0", token=None)
        assert status == 504 and "longer than 0.2 s" in json.loads(body)["error"]

        # Back to a 60 s limit: a request in flight when SIGTERM comes is answered in full.
        running.stop()
        running = Server(plugin_dir, tmp_path)
        answer = {}
        request = threading.Thread(target=lambda: answer.update(r=running.post(png(picture(delay=200)), "?resize_mode=0", token=None)))
        request.start()
        time.sleep(0.5)
        running.process.send_signal(signal.SIGTERM)
        request.join()
        assert running.process.wait(timeout=60) == 0
        assert answer["r"][0] == 200
        log = running.log.read_text()
        assert '"POST /v1/matte?resize_mode=0 HTTP/1.1" 200 ' in log  # one access-log line per request
    finally:
        running.stop()


def chromium_driver():
    """A headless Chromium under Selenium, or the reason there is none."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None, "selenium is not installed"
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not browser or not driver:
        return None, "no chromium and chromedriver here (Debian: apt-get install chromium chromium-driver)"
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(argument)
    return (webdriver, Service(driver), options), None


def test_the_page_renders_a_chosen_file_and_downloads_the_result(server, tmp_path):
    found, reason = chromium_driver()
    if found is None:
        pytest.skip(reason)
    webdriver, service, options = found
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    source = tmp_path / "person.png"
    source.write_bytes(png(picture(height=60, width=80)))
    for attempt in range(3):  # chromedriver can be slow to answer its first call on a busy machine
        try:
            browser = webdriver.Chrome(service=service, options=options)
            break
        except Exception:
            if attempt == 2:
                raise
            time.sleep(2)
    try:
        browser.get(server.url + "/")
        browser.find_element(By.ID, "token").send_keys(TOKEN)
        browser.find_element(By.ID, "file").send_keys(str(source))
        wait = WebDriverWait(browser, 60)
        wait.until(lambda b: b.find_element(By.ID, "download").is_displayed())
        result = browser.find_element(By.ID, "result")
        assert browser.execute_script("return arguments[0].naturalWidth", result) == 80
        assert "Done" in browser.find_element(By.ID, "status").text
        browser.find_element(By.ID, "download").click()
        wait.until(lambda b: (downloads / "person.cutout.png").exists())
    finally:
        browser.quit()
    cutout = cv2.imread(str(downloads / "person.cutout.png"), cv2.IMREAD_UNCHANGED)
    assert cutout.shape == (60, 80, 4)
