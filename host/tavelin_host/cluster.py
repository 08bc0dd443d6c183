"""Rendering on a Ray cluster: ``tavelin ... --cluster ADDRESS`` and the Ray Data stage ``TavelinMatte``.

Each actor holds one loaded plug-in (a ``Host``).  Stills travel as their file bytes
through Ray's object store and come back as encoded outputs, so no node needs the
driver's files; the driver names, checks and writes every output with the same
all-or-none rules as a local run.  Clips stay on the driver for decoding, smoothing
and encoding; their frames go to the actors in order-tagged batches.  At most
``IN_FLIGHT_PER_ACTOR`` tasks per actor are submitted at a time, so a run over a
million inputs never holds a million tasks.  An actor that dies is restarted by Ray
and its tasks retried (``RETRIES`` times); a result is written once, when it arrives.
"""
from __future__ import annotations

import os
import time
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Sequence

import numpy as np

from .images import HostImage

IN_FLIGHT_PER_ACTOR = 2
RETRIES = 3
FRAMES_PER_BATCH = 4  # a clip's frames per task: fewer round trips, results still in order


class ClusterError(RuntimeError):
    """The cluster cannot be reached or cannot place an actor."""


@dataclass
class Rendered:
    """What an actor gives back for one still: everything the driver needs to name and write it."""

    bit_depth: int
    person_found: bool
    warnings: list[str]
    outputs: dict[str, bytes]  # by kind, encoded for the suffix its planned path has


def connect(address: str, *, actors: int | None = None) -> dict:
    """Join (or, for ``local[:N]``, start) a Ray cluster; the resources it has.  One clear
    ClusterError when it cannot be reached."""
    import ray

    local = address == "local" or address.startswith("local:")
    if not local:
        _check_reachable(address)
    if ray.is_initialized():  # the caller's own Ray (a Ray Data pipeline, a test)
        return ray.cluster_resources()
    options: dict[str, Any] = {"include_dashboard": False, "logging_level": "ERROR", "log_to_driver": False}
    if local:
        count = address.partition(":")[2]
        if count and (not count.isdigit() or int(count) < 1):
            raise ClusterError(f"--cluster local:N takes a number of workers, got {address!r}")
        options.update(num_cpus=int(count) if count else (actors or os.cpu_count() or 1))
        options["_node_ip_address"] = "127.0.0.1"
    else:
        options["address"] = address
    try:
        ray.init(**options)
    except Exception as exc:  # ConnectionError, ValueError, grpc errors: all mean "not reachable"
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise ClusterError(f"cannot reach the Ray cluster at {address}: {text}") from None
    return ray.cluster_resources()


def _check_reachable(address: str, seconds: float = 5.0) -> None:
    """A quick TCP look at HOST:PORT before Ray's own connect, which retries for minutes."""
    import socket

    if address == "auto":
        return  # Ray finds the local head itself, or says at once that there is none
    where = address.removeprefix("ray://")
    host, _, port = where.rpartition(":")
    if not host or not port.isdigit():
        raise ClusterError(f"--cluster takes auto, local[:N], HOST:PORT or ray://HOST:PORT, got {address!r}")
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=seconds).close()
    except OSError as exc:
        raise ClusterError(f"cannot reach the Ray cluster at {address}: {exc.strerror or exc}") from None


class Matter:
    """The actor: one plug-in, loaded once, rendering stills and frames."""

    def __init__(self, plugin_dir: str | None, device: str, precision: str, threads: int | None):
        os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
        import torch

        if threads:
            torch.set_num_threads(threads)  # this process is ours: the actor's share of its node
        from .host import Host

        self.host = Host(plugin_dir, device=device, precision=precision, quiet=True)
        self.host.load_model()
        self.instance_ids: dict[str, int] = {}

    def describe(self) -> str:
        return self.host.torch_tools.describe()

    def still(self, data: bytes, source: str, folder: str | None, stem: str | None, options) -> Rendered:
        from .pipeline import decode_still, encode_output, plan_paths, post_process, render

        job = post_process(render(self.host, decode_still(data, options, source), options), options)
        paths = plan_paths(Path(source), job.image.bit_depth, options, folder, stem)
        return Rendered(job.image.bit_depth, job.person_found, job.warnings,
                        {kind: encode_output(job, kind, paths[kind].suffix) for kind in job.outputs})

    def frames(self, clip: str, images: list[HostImage], output: str, resize_mode: int) -> list[HostImage]:
        instance_id = self.instance_ids.setdefault(clip, self.host.new_instance_id())
        return [self.host.render_image(image, output=output, resize_mode=resize_mode, instance_id=instance_id)
                for image in images]


@dataclass
class Cluster:
    """The actors of a run and the bounded queue of work in front of them."""

    address: str
    plugin_dir: str | None = None
    device: str = "auto"
    precision: str = "auto"
    threads: int = 1
    actors: int | None = None
    pool: list = field(default_factory=list)
    started_ray: bool = False  # Ray was started or joined for this run, and is left at its end

    def start(self) -> "Cluster":
        try:
            import ray
        except ImportError:
            raise ClusterError("--cluster needs Ray: pip install 'ray[client,data]'") from None

        self.started_ray = not ray.is_initialized()
        resources = connect(self.address, actors=self.actors)
        gpus = 1 if self.device.startswith("cuda") else 0
        count = self.actors
        if count is None:
            count = int(resources.get("GPU", 0)) if gpus else int(resources.get("CPU", 1)) // max(self.threads, 1)
        if count < 1:
            raise ClusterError(f"the cluster has no room for an actor ({resources.get('CPU', 0):g} CPUs, "
                               f"{resources.get('GPU', 0):g} GPUs; each actor asks for {self.threads} CPU(s)"
                               f"{' and 1 GPU' if gpus else ''})")
        remote = ray.remote(num_cpus=self.threads, num_gpus=gpus, max_restarts=RETRIES,
                            max_task_retries=RETRIES)(Matter)
        self.pool = [remote.remote(self.plugin_dir, self.device, self.precision, self.threads) for _ in range(count)]
        try:
            kinds = sorted(set(ray.get([actor.describe.remote() for actor in self.pool])))
        except ray.exceptions.RayError as exc:
            self.stop()
            raise ClusterError(f"the actors could not load the plug-in: {_cause(exc)}") from None
        self.description = f"{count} Ray actor(s) on {', '.join(kinds)}"
        return self

    def describe(self) -> str:
        return getattr(self, "description", f"Ray at {self.address}")

    def stop(self) -> None:
        import ray

        for actor in self.pool:
            ray.kill(actor, no_restart=True)
        self.pool = []
        if self.started_ray and ray.is_initialized():
            ray.shutdown()

    def map(self, submit: Callable[[Any, Any], Any], items: Iterable[Any]) -> Iterator[tuple[Any, Any]]:
        """(item, result or exception) for each item, as they finish; ``submit(actor, item)``
        gives the task's object ref.  Items are taken from ``items`` only as slots free up."""
        import ray

        pending: dict[Any, tuple[Any, Any]] = {}
        loads = {index: 0 for index in range(len(self.pool))}
        source = iter(items)
        exhausted = False
        try:
            while True:
                while not exhausted and len(pending) < IN_FLIGHT_PER_ACTOR * len(self.pool):
                    try:
                        item = next(source)
                    except StopIteration:
                        exhausted = True
                        break
                    index = min(loads, key=loads.get)  # the least busy actor
                    loads[index] += 1
                    pending[submit(self.pool[index], item)] = (item, index)
                if not pending:
                    return
                done, _ = ray.wait(list(pending), num_returns=1)
                item, index = pending.pop(done[0])
                loads[index] -= 1
                try:
                    outcome = ray.get(done[0])
                except ray.exceptions.RayTaskError as exc:
                    outcome = _cause_exception(exc)
                except ray.exceptions.RayError as exc:  # the actor died more often than it may restart
                    outcome = RuntimeError(f"its actor failed {RETRIES + 1} times: {_cause(exc)}")
                yield item, outcome
        finally:
            for ref in pending:  # Ctrl-C or an error: nothing further will be written
                ray.cancel(ref, force=False)


def _cause_exception(exc: BaseException) -> BaseException:
    cause = getattr(exc, "cause", None)
    return cause if isinstance(cause, BaseException) else RuntimeError(_cause(exc))


def _cause(exc: BaseException) -> str:
    cause = getattr(exc, "cause", None)
    text = str(cause if cause is not None else exc).strip()
    return text.splitlines()[-1] if text else type(exc).__name__


# --------------------------------------------------------------------------- stills of a run

@dataclass
class Still:
    """One still of a run: where it is read from and where its outputs go."""

    source: Path
    folder: str | os.PathLike | None
    stem: str | None


def run_stills(cluster: Cluster, stills: Iterable[Still], options, inputs, claimed: set,
               report: Callable[[Still, object], None], stdin=None) -> None:
    """Each still rendered on the cluster and written here, all its outputs or none;
    ``report(still, Job-like result or exception)`` as for a local batch."""
    from .decoding import read_regular_file, read_stream
    from .naming import STREAM
    from .pipeline import Job, Skipped, check_targets, outputs_exist, plan_paths
    from .atomic import write_files

    def ready(stills: Iterable[Still]) -> Iterator[tuple[Still, Any]]:
        for still in stills:  # skipped and unreadable inputs never become tasks
            try:
                if options.skip_existing and outputs_exist(still.source, options, still.folder, still.stem):
                    raise Skipped(f"{still.source}: outputs exist, skipped")
                if str(still.source) == STREAM:
                    data = read_stream(stdin, max_pixels=options.max_pixels)
                else:
                    data = read_regular_file(still.source)
            except Exception as exc:
                report(still, exc)
                continue
            yield still, data

    def submit(actor, entry):
        still, data = entry
        folder = None if still.folder is None else str(still.folder)
        return actor.still.remote(data, str(still.source), folder, still.stem, options)

    for (still, _), outcome in cluster.map(submit, ready(stills)):
        if isinstance(outcome, BaseException):
            report(still, outcome)
            continue
        try:
            paths = plan_paths(still.source, outcome.bit_depth, options, still.folder, still.stem)
            check_targets(paths, still.source, inputs, claimed, options.overwrite)
            for folder in {path.parent for path in paths.values()}:
                folder.mkdir(parents=True, exist_ok=True)
            written = write_files([(paths[kind], data) for kind, data in outcome.outputs.items()],
                                  overwrite=options.overwrite)
        except Exception as exc:
            report(still, exc)
            continue
        claimed.update(Path(os.path.realpath(path)) for path in written)
        job = Job(still.source, None, paths, person_found=outcome.person_found, warnings=outcome.warnings)
        job.written = written
        report(still, job)


class ClipRenderer:
    """A clip's renders on the cluster, for the driver's clip pipeline: frames go out
    in order-tagged batches and come back in order."""

    frames_per_batch = FRAMES_PER_BATCH

    def __init__(self, cluster: Cluster, clip: str):
        self.cluster, self.clip = cluster, clip

    def new_instance_id(self) -> int:
        return 0  # each actor keeps one instance id per clip

    def render_images(self, images: Sequence[HostImage], *, output: str, resize_mode: int,
                      instance_id: int | None = None) -> list[HostImage]:
        from .host import check_output, output_code

        size = max(1, -(-len(images) // len(self.cluster.pool)))
        batches = [list(images[start:start + size]) for start in range(0, len(images), size)]
        results: list[list[HostImage] | None] = [None] * len(batches)

        def submit(actor, tagged):
            index, batch = tagged
            return actor.frames.remote(self.clip, batch, output, resize_mode)

        for (index, _), outcome in self.cluster.map(submit, enumerate(batches)):
            if isinstance(outcome, BaseException):
                raise outcome
            results[index] = outcome
        rendered = [image for batch in results for image in batch]
        for image, result in zip(images, rendered):
            check_output(result, image, output_code(output))
        return rendered


# --------------------------------------------------------------------------- Ray Data

class TavelinMatte:
    """A Ray Data stage: ``dataset.map_batches(TavelinMatte, concurrency=N, ...)``.

    Each batch's ``image`` column (arrays of any size, uint8 / uint16 / float, grey,
    RGB or RGBA) is replaced by the outputs at each image's size and sample type: the
    cut-out (RGBA), the matte (one grey plane) or, with ``background``, the composite;
    a ``person_found`` column is added.  One instance loads the plug-in once.
    """

    def __init__(self, output: str = "cutout", resize_mode: int | None = None, *, decontaminate: bool = False,
                 background: str | None = None, plugin_dir: str | None = None, device: str = "auto",
                 precision: str = "auto", column: str = "image"):
        from .background import Background, parse_colour
        from .contract import DEFAULT_RESIZE_MODE
        from .host import Host
        from .pipeline import MatteOptions

        colour = parse_colour(background) if background is not None else None
        if background is not None and colour is None:
            raise ValueError(f"background must be a colour (#rrggbb or a name), got {background!r}")
        self.options = MatteOptions(
            output=output, resize_mode=DEFAULT_RESIZE_MODE if resize_mode is None else resize_mode,
            decontaminate=decontaminate, background=Background(colour=colour) if colour is not None else None)
        self.column = column
        self.host = Host(plugin_dir, device=device, precision=precision, quiet=True)
        self.host.load_model()

    def __call__(self, batch: dict[str, Any]) -> dict[str, Any]:
        from .pipeline import matte_array

        outputs, found = [], []
        for pixels in batch[self.column]:
            pixels = np.asarray(pixels)
            job, result = matte_array(self.host, pixels, self.options)
            outputs.append(_in_sample_type(result[self.options.kind], pixels.dtype))
            found.append(job.person_found)
        out = dict(batch)
        out[self.column] = _column(outputs)
        out["person_found"] = np.array(found)
        return out


def _in_sample_type(samples: np.ndarray, dtype: np.dtype) -> np.ndarray:
    from .images import from_float, to_float

    if samples.dtype == dtype:
        return samples
    if dtype.kind == "f":
        return to_float(samples).astype(dtype)
    return from_float(to_float(samples), dtype)


def _column(arrays: list[np.ndarray]) -> np.ndarray | list:
    """One array when every image has one shape, else a list (Ray keeps ragged columns as objects)."""
    if arrays and all(a.shape == arrays[0].shape and a.dtype == arrays[0].dtype for a in arrays):
        return np.stack(arrays)
    column = np.empty(len(arrays), dtype=object)
    column[:] = arrays
    return column


__all__ = ["Cluster", "ClusterError", "ClipRenderer", "Rendered", "Still", "TavelinMatte", "connect", "run_stills"]
