"""``tavelin serve``: one loaded plug-in per worker process behind an HTTP API and a page.

Each request is a still through the pipeline: the body is decoded (size checked from
the header first) and the outputs encoded on worker threads, while the plug-in's
render coroutine is awaited in the server's own event loop, as a media host awaits
it.  Render slots (``--concurrency``) and a bounded wait queue decide admission: past
both, a request is answered 503 at once rather than left to time out.
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import email.parser
import email.policy
import hmac
import json
import logging
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence

from fastapi import FastAPI, Request
from fastapi.responses import FileResponse, JSONResponse, Response

from .contract import DEFAULT_MAX_MEGAPIXELS, DEFAULT_RESIZE_MODE, MODE_SIZES, VERSION
from .naming import OUTPUT_KINDS
from .pipeline import encode_outputs, post_process

PAGE = Path(__file__).resolve().parent / "web" / "index.html"
CONFIG_VARIABLE = "TAVELIN_SERVE_CONFIG"  # how the settings reach uvicorn's worker processes
OUTPUT_FORMATS = ("png", "tif", "exr", "webp")
RETRY_AFTER_SECONDS = 2
log = logging.getLogger("tavelin.serve")


@dataclass(frozen=True)
class Settings:
    host: str = "127.0.0.1"
    port: int = 8000
    device: str = "auto"
    precision: str = "auto"
    workers: int = 1
    token: str | None = None
    max_megapixels: float = DEFAULT_MAX_MEGAPIXELS
    max_body_mb: float = 50.0
    concurrency: int = 1
    queue: int = 16
    timeout: float = 60.0
    grace: float = 30.0
    plugin_dir: str | None = None


class RequestError(Exception):
    """A request answered with ``status`` and a JSON ``{"error": message}``."""

    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None):
        super().__init__(message)
        self.status, self.message, self.headers = status, message, headers or {}


# --------------------------------------------------------------------------- parameters

def matte_options(fields: dict[str, str], max_pixels: int):
    """MatteOptions from a request's query and form fields; RequestError 400 for a bad one."""
    from .background import Background, BackgroundError, parse_colour
    from .pipeline import MatteOptions

    known = {"output", "resize_mode", "decontaminate", "background", "format"}
    unknown = sorted(set(fields) - known)
    if unknown:
        raise RequestError(400, f"unknown parameter {unknown[0]!r} (known: {', '.join(sorted(known))})")
    output = fields.get("output", "cutout")
    if output not in OUTPUT_KINDS:
        raise RequestError(400, f"output must be one of {', '.join(OUTPUT_KINDS)}, got {output!r}")
    try:
        resize_mode = int(fields.get("resize_mode", DEFAULT_RESIZE_MODE))
    except ValueError:
        resize_mode = -1
    if resize_mode not in range(len(MODE_SIZES)):
        raise RequestError(400, f"resize_mode must be 0..{len(MODE_SIZES) - 1}, "
                                f"got {fields.get('resize_mode')!r}")
    decontaminate = fields.get("decontaminate", "false").lower()
    if decontaminate not in ("true", "false", "1", "0", "yes", "no", "on", "off"):
        raise RequestError(400, f"decontaminate must be true or false, got {fields['decontaminate']!r}")
    format = fields.get("format") or None
    if format is not None and format not in OUTPUT_FORMATS:
        raise RequestError(400, f"format must be one of {', '.join(OUTPUT_FORMATS)}, got {format!r}")
    background = None
    if fields.get("background"):
        # A colour only: a request never names a file on the server's disk.
        try:
            colour = parse_colour(fields["background"])
        except BackgroundError as exc:
            raise RequestError(400, str(exc)) from None
        if colour is None:
            raise RequestError(400, f"background must be a colour (#rrggbb or a name), got {fields['background']!r}")
        if output == "matte":
            raise RequestError(400, "background composites the cut-out; it does not go with output=matte")
        background = Background(colour=colour, name=fields["background"])
    return MatteOptions(output=output, resize_mode=resize_mode, decontaminate=decontaminate in ("true", "1", "yes", "on"),
                        format=format, max_pixels=max_pixels, background=background)


def multipart_parts(content_type: str, body: bytes) -> tuple[bytes | None, str, dict[str, str]]:
    """The ``file`` part (bytes and file name) and the text fields of a multipart/form-data body."""
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    if not message.is_multipart():
        raise RequestError(400, "the multipart body could not be read")
    data, name, fields = None, "", {}
    for part in message.iter_parts():
        field = part.get_param("name", header="content-disposition")
        if field is None:
            continue
        payload = part.get_payload(decode=True) or b""
        if field == "file":
            data, name = payload, Path(part.get_filename() or "").name
        else:
            fields[field] = payload.decode("utf-8", "replace")
    return data, name, fields


# --------------------------------------------------------------------------- the application

class Renders:
    """Render slots and the queue before them: ``admit`` refuses past both, at once."""

    def __init__(self, slots: int, queue: int):
        self.slots, self.queue = slots, queue
        self.semaphore = asyncio.Semaphore(slots)
        self.admitted = 0  # rendering or waiting

    @property
    def free(self) -> bool:
        return self.admitted < self.slots

    @contextlib.contextmanager
    def admit(self):
        if self.admitted >= self.slots + self.queue:
            raise RequestError(503, f"all {self.slots} render slot(s) are busy and {self.queue} request(s) wait; "
                                    "try again shortly", {"Retry-After": str(RETRY_AFTER_SECONDS)})
        self.admitted += 1
        try:
            yield
        finally:
            self.admitted -= 1


def create_app(settings: Settings | None = None):
    """The ASGI application; without ``settings`` they come from the environment (worker processes)."""
    if settings is None:
        settings = Settings(**json.loads(os.environ[CONFIG_VARIABLE]))
    if not log.handlers:  # a worker process starts with no logging set up
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(message)s"))
        log.addHandler(handler)
        log.setLevel(logging.INFO)
    state: dict[str, Any] = {"host": None, "renders": Renders(settings.concurrency, settings.queue)}
    max_body = int(settings.max_body_mb * 1024 * 1024)
    max_pixels = int(settings.max_megapixels * 1e6)

    @contextlib.asynccontextmanager
    async def lifespan(app):
        state["host"] = await asyncio.to_thread(_loaded_host, settings)
        try:
            yield
        finally:
            host, state["host"] = state["host"], None
            host.close()

    app = FastAPI(title="Tavelin", version=VERSION, lifespan=lifespan, docs_url=None, redoc_url=None,
                  description="People cut out of images by the Tavelin plug-in.")

    @app.exception_handler(RequestError)
    async def request_error(request: Request, exc: RequestError):
        return JSONResponse({"error": exc.message}, exc.status, headers=exc.headers)

    @app.middleware("http")
    async def access_log(request: Request, call_next):
        started = time.perf_counter()
        status, size = 500, "-"
        try:
            response = await call_next(request)
            status, size = response.status_code, response.headers.get("content-length", "-")
            return response
        finally:
            client = request.client.host if request.client else "-"
            stamp = time.strftime("%d/%b/%Y:%H:%M:%S %z")
            target = request.url.path + (f"?{request.url.query}" if request.url.query else "")
            log.info('%s - - [%s] "%s %s HTTP/%s" %s %s %.3f', client, stamp, request.method, target,
                     request.scope.get("http_version", "1.1"), status, size, time.perf_counter() - started)

    @app.get("/", include_in_schema=False)
    async def page():
        return FileResponse(PAGE, media_type="text/html; charset=utf-8")

    @app.get("/healthz", summary="The process is up")
    async def healthz():
        return {"status": "ok"}

    @app.get("/readyz", summary="The network is loaded and a render slot is free")
    async def readyz():
        if state["host"] is None:
            return JSONResponse({"status": "loading"}, 503, headers={"Retry-After": str(RETRY_AFTER_SECONDS)})
        if not state["renders"].free:
            return JSONResponse({"status": "busy"}, 503, headers={"Retry-After": str(RETRY_AFTER_SECONDS)})
        return {"status": "ready", "device": state["host"].torch_tools.describe()}

    @app.post("/v1/matte", summary="Cut the people out of one image", responses=_MATTE_RESPONSES,
              openapi_extra=_MATTE_REQUEST)
    async def matte(request: Request):
        _check_token(request, settings.token)
        fields = dict(request.query_params)
        with state["renders"].admit():
            body = await _body(request, max_body)
            content_type = request.headers.get("content-type", "")
            name = ""
            if content_type.startswith("multipart/form-data"):
                data, name, form = multipart_parts(content_type, body)
                if data is None:
                    raise RequestError(400, "the multipart body has no 'file' part")
                fields.update(form)
            else:
                data = body
            options = matte_options(fields, max_pixels)
            if not data:
                raise RequestError(400, "no image: send it as the request body or as the multipart 'file' part")
            host = state["host"]
            if host is None:
                raise RequestError(503, "the network is still loading", {"Retry-After": str(RETRY_AFTER_SECONDS)})
            job = await asyncio.to_thread(_decoded, data, options, name)
            job, seconds = await _rendered(host, job, options, state["renders"].semaphore, settings.timeout)
            job = await asyncio.to_thread(post_process, job, options)
            encoded = await asyncio.to_thread(encode_outputs, job, options)
        out = encoded[options.kind]
        headers = {"X-Person-Found": "true" if job.person_found else "false",
                   "X-Render-Seconds": f"{seconds:.3f}",
                   "Server-Timing": f"render;dur={seconds * 1000:.1f}",
                   "Content-Disposition": f'inline; filename="{_download_name(name, options.kind, out.suffix)}"'}
        return Response(out.data, media_type=out.media_type, headers=headers)

    @app.exception_handler(Exception)
    async def crashed(request: Request, exc: Exception):
        log.error("%s %s failed: %s: %s", request.method, request.url.path, type(exc).__name__, exc)
        return JSONResponse({"error": f"the render failed: {type(exc).__name__}: {exc}"}, 500)

    return app


def _check_token(request, token: str | None) -> None:
    if token is None:
        return
    given = request.headers.get("authorization", "")
    scheme, _, value = given.partition(" ")
    if scheme.lower() != "bearer" or not hmac.compare_digest(value.strip().encode(), token.encode()):
        raise RequestError(401, "missing or wrong token (send 'Authorization: Bearer TOKEN')",
                           {"WWW-Authenticate": "Bearer"})


async def _body(request, limit: int) -> bytes:
    """The whole body, refused (413) from its declared length or once it grows past ``limit``."""
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise RequestError(413, f"the body is {int(declared) / 2**20:.1f} MB, over the limit of "
                                f"{limit / 2**20:g} MB (--max-body-mb)")
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise RequestError(413, f"the body is over the limit of {limit / 2**20:g} MB (--max-body-mb)")
        chunks.append(chunk)
    return b"".join(chunks)


def _decoded(data: bytes, options, name: str):
    from .decoding import ImageReadError, ImageTooCostlyError, ImageTooLargeError
    from .pipeline import decode_still

    try:
        return decode_still(data, options, name)
    except (ImageTooLargeError, ImageTooCostlyError) as exc:
        raise RequestError(413, str(exc)) from None
    except ImageReadError as exc:
        raise RequestError(415, f"the body is not an image this server reads ({exc})") from None


async def _rendered(host, job, options, slots: asyncio.Semaphore, timeout: float):
    """The job rendered in a slot, and the render's seconds; RequestError 504 once ``timeout``
    has passed since the call, waiting for the slot included."""
    from .pipeline import render_async

    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    late = RequestError(504, f"the request took longer than {timeout:g} s (the server's time limit)")
    try:
        await asyncio.wait_for(slots.acquire(), timeout)
    except asyncio.TimeoutError:
        raise late from None
    try:
        started = time.perf_counter()
        job = await asyncio.wait_for(render_async(host, job, options), max(deadline - loop.time(), 0.001))
        # The render's coroutine suspends only before its network, so most of a render
        # cannot be cut short: a render that ran past the limit is refused once it is back.
        if loop.time() > deadline:
            raise late
        return job, time.perf_counter() - started
    except asyncio.TimeoutError:
        raise late from None
    finally:
        slots.release()


def _download_name(name: str, kind: str, suffix: str) -> str:
    stem = Path(name).stem if name else "image"
    stem = "".join(c if c.isalnum() or c in "-_." else "_" for c in stem) or "image"
    return f"{stem}.{kind}{suffix}"


def _loaded_host(settings: Settings):
    """The worker's plug-in, loaded and warmed up on a small image before the first request."""
    import numpy as np

    from .host import Host
    from .images import HostImage

    import torch

    from .devices import default_threads

    torch.set_num_threads(default_threads())  # the worker's own process; decoding and encoding take the rest
    host = Host(settings.plugin_dir, device=settings.device, precision=settings.precision, quiet=True)
    host.load_model()
    host.render_image(HostImage(np.zeros((64, 64, 3), np.uint8), 8))
    log.info("network loaded on %s", host.torch_tools.describe())
    return host


_MATTE_PARAMETERS = [
    {"name": "output", "in": "query", "schema": {"type": "string", "enum": list(OUTPUT_KINDS), "default": "cutout"}},
    {"name": "resize_mode", "in": "query",
     "schema": {"type": "integer", "minimum": 0, "maximum": len(MODE_SIZES) - 1, "default": DEFAULT_RESIZE_MODE}},
    {"name": "decontaminate", "in": "query", "schema": {"type": "boolean", "default": False}},
    {"name": "background", "in": "query", "description": "a colour (#rrggbb or a name) to composite over",
     "schema": {"type": "string"}},
    {"name": "format", "in": "query", "description": "default: PNG, or TIFF/OpenEXR for float images",
     "schema": {"type": "string", "enum": list(OUTPUT_FORMATS)}},
]
_MATTE_REQUEST = {
    "parameters": _MATTE_PARAMETERS,
    "requestBody": {"required": True, "content": {
        "image/*": {"schema": {"type": "string", "format": "binary"}},
        "multipart/form-data": {"schema": {"type": "object", "required": ["file"], "properties": {
            "file": {"type": "string", "format": "binary"},
            **{p["name"]: p["schema"] for p in _MATTE_PARAMETERS}}}},
    }},
}
_ERROR = {"content": {"application/json": {"schema": {"type": "object", "properties": {"error": {"type": "string"}}}}}}
_MATTE_RESPONSES = {
    200: {"description": "the cut-out, matte or composite; X-Person-Found and X-Render-Seconds say more",
          "content": {"image/png": {}, "image/tiff": {}, "image/x-exr": {}, "image/webp": {}}},
    400: {"description": "bad parameters", **_ERROR},
    401: {"description": "missing or wrong token", **_ERROR},
    413: {"description": "body or pixel count over the limit", **_ERROR},
    415: {"description": "not an image", **_ERROR},
    503: {"description": "all render slots busy and the queue full (see Retry-After)", **_ERROR},
    504: {"description": "the render took longer than the time limit", **_ERROR},
}


# --------------------------------------------------------------------------- the command

def build_parser() -> argparse.ArgumentParser:
    from .arguments import count_arg, device_arg, megapixels_arg, precision_arg

    parser = argparse.ArgumentParser(prog="tavelin serve", description=(
        "Serve the plug-in over HTTP: POST /v1/matte, a page at /, the API schema at /openapi.json."))
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default: %(default)s)")
    parser.add_argument("--device", type=device_arg, default="auto", metavar="{auto,cpu,cuda[:N]}")
    parser.add_argument("--precision", type=precision_arg, default="auto", metavar="{auto,fp32,fp16}")
    parser.add_argument("--workers", type=count_arg, default=1, metavar="N",
                        help="worker processes, each with its own loaded network (default: 1)")
    parser.add_argument("--token-file", metavar="F",
                        help="a file holding the token clients must send as 'Authorization: Bearer TOKEN'")
    parser.add_argument("--max-megapixels", type=megapixels_arg, default=DEFAULT_MAX_MEGAPIXELS, metavar="MP",
                        help="refuse images with more pixels (default: %(default)g)")
    parser.add_argument("--max-body-mb", type=float, default=50.0, metavar="MB",
                        help="refuse request bodies larger than this (default: %(default)g)")
    parser.add_argument("--concurrency", type=count_arg, default=1, metavar="N",
                        help="renders at once per worker (default: 1)")
    parser.add_argument("--queue", type=int, default=16, metavar="N",
                        help="requests that may wait for a render slot before 503 (default: %(default)s)")
    parser.add_argument("--timeout", type=float, default=60.0, metavar="S",
                        help="a render taking longer is answered 504 (default: %(default)g)")
    parser.add_argument("--grace", type=float, default=30.0, metavar="S",
                        help="on SIGTERM, how long requests in flight may finish (default: %(default)g)")
    parser.add_argument("--plugin-dir", metavar="DIR", help="the plug-in directory (default: found as for tavelin)")
    return parser


def _stopped_cleanly(server_class):
    """uvicorn's server, but a stop signal ends a graceful shutdown with status 0: uvicorn
    raises the signal again once it has shut down, which kills the process by it."""
    class Server(server_class):
        @contextlib.contextmanager
        def capture_signals(self):
            with super().capture_signals():
                yield
                self._captured_signals.clear()

    return Server


def main(argv: Sequence[str]) -> int:
    """Run the server until SIGINT or SIGTERM; 0 after a clean stop, 2 for bad arguments."""
    from .plugin import PluginError, find_plugin_dir, how_to_get_weights, missing_weights

    args = build_parser().parse_args(argv)
    say = lambda line: print(f"tavelin serve: {line}", file=sys.stderr)  # noqa: E731
    token = None
    if args.token_file:
        try:
            token = Path(args.token_file).read_text().strip()
        except OSError as exc:
            say(f"cannot read the token file {args.token_file}: {exc.strerror or exc}")
            return 2
        if not token:
            say(f"the token file {args.token_file} is empty")
            return 2
    try:
        plugin_dir = find_plugin_dir(args.plugin_dir)
    except PluginError as exc:
        say(str(exc))
        return 2
    missing = missing_weights(plugin_dir, args.precision)
    if missing:
        say(f"no network weights in {plugin_dir / 'models'} ({', '.join(missing)} missing): "
            + how_to_get_weights(plugin_dir))
        return 2
    import uvicorn

    _Server = _stopped_cleanly(uvicorn.Server)
    settings = Settings(args.host, args.port, args.device, args.precision, args.workers, token,
                        args.max_megapixels, args.max_body_mb, args.concurrency, args.queue, args.timeout,
                        args.grace, str(plugin_dir))
    os.environ[CONFIG_VARIABLE] = json.dumps(settings.__dict__)
    config = uvicorn.Config("tavelin_host.serve:create_app", factory=True, host=args.host, port=args.port,
                            workers=args.workers, access_log=False, timeout_graceful_shutdown=args.grace,
                            log_level="warning")
    try:  # the address first: a port in use is told before the network loads
        sock = config.bind_socket()
    except SystemExit:
        say(f"cannot listen on {args.host}:{args.port} (in use, or not an address of this machine)")
        return 1
    say(f"listening on http://{args.host}:{args.port}/ ({args.workers} worker(s), Ctrl-C to stop)")
    server = _Server(config)
    if args.workers > 1:
        from uvicorn.supervisors import Multiprocess

        Multiprocess(config, sockets=[sock]).run()  # each worker runs its own server
    else:
        server.run(sockets=[sock])
    return 0


__all__ = ["RequestError", "Settings", "create_app", "main", "matte_options"]
