"""The render coroutine object against the protocol of native coroutines:
send/throw/close, __await__, event loops and both Task kinds, the warning
for a coroutine never awaited, garbage collection and cancellation."""
import asyncio
import gc
import inspect
import json
import os
import subprocess
import sys
import types
import warnings
import weakref

import numpy as np
import pytest
import torch

from testkit.host_double import Tools, drive, new_plugin, shared_plugin
from testkit.networks import make_plugin_dir

SENTINEL = object()


@pytest.fixture(scope="module")
def plugin_dir(tmp_path_factory):
    return make_plugin_dir(tmp_path_factory.mktemp("plugin"))


@pytest.fixture
def plugin(plugin_dir):
    """A loaded plug-in of its own (its host objects may be changed by the test)."""
    loaded, _ = shared_plugin(plugin_dir)
    plugin, api = new_plugin()
    plugin.modnext = loaded.modnext
    plugin.model_loaded_on_device = "cpu"
    plugin.model_loaded_with_dtype = torch.float32
    plugin.api = api
    return plugin


def image(h=4, w=5):
    return {"array": np.arange(h * w * 3, dtype=np.uint8).reshape(h, w, 3), "bit_depth": 8}


class Inner:
    """The iterator behind a progress report: yields `value` once, then returns `result`.

    Records what reaches it. `on_throw`: "handle" yields "handled" instead of
    raising; "return" finishes with result "after-throw"; otherwise the
    exception is raised again.
    """

    def __init__(self, value=SENTINEL, result="progress-result", on_throw=None, closable=True):
        self.value, self.result, self.on_throw, self.closable = value, result, on_throw, closable
        self.log = []
        self.yielded = False

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.log.append(("send", value))
        if not self.yielded:
            self.yielded = True
            return self.value
        raise StopIteration(self.result)

    def throw(self, exc, *rest):
        self.log.append(("throw", exc if isinstance(exc, BaseException) else exc.__name__))
        if self.on_throw == "handle":
            return "handled"
        if self.on_throw == "return":
            raise StopIteration("after-throw")
        raise exc if isinstance(exc, BaseException) else exc(*rest[:1])

    @property
    def close(self):
        if not self.closable:
            raise AttributeError("close")
        return lambda: self.log.append(("close",))


class Awaitable:
    def __init__(self, inner):
        self.inner = inner

    def __await__(self):
        return self.inner


class ProgressTools(Tools):
    """progress() returns whatever `make` builds, and the tools remember it."""

    def __init__(self, plugin_path, make):
        super().__init__(plugin_path)
        self.make = make
        self.made = []

    def progress(self, percent):
        self.events.add("progress", percent)
        awaitable = self.make()
        self.made.append(awaitable)
        return awaitable


def runs(plugin):
    return len(plugin.modnext.seen)


def start(plugin, plugin_dir, inner=None, **kw):
    inner = inner or Inner()
    tools = ProgressTools(plugin_dir, lambda: Awaitable(inner))
    return plugin.render(image(), {"resize_mode": 0, **kw}, None, tools), inner


# --- identity and the await protocol ---------------------------------------------------------------------------------


def test_names_and_kind(plugin, plugin_dir):
    coro = plugin.render(image(), {}, None, Tools(plugin_dir))
    try:
        assert coro.__name__ == "render"
        assert coro.__qualname__ == "Tavelin.render"
        assert "Tavelin.render" in repr(coro)
        assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
        with pytest.raises(TypeError):
            iter(coro)
        it = coro.__await__()
        assert iter(it) is it and hasattr(it, "__next__")
        assert coro.cr_running is False and coro.cr_await is None
    finally:
        coro.close()


def test_suspends_once_passing_the_yielded_value_through(plugin, plugin_dir):
    coro, inner = start(plugin, plugin_dir)
    assert coro.send(None) is SENTINEL
    assert coro.cr_await is inner and coro.cr_suspended
    assert runs(plugin) == plugin.modnext.seen.__len__()
    before = runs(plugin)
    marker = object()
    with pytest.raises(StopIteration) as done:
        coro.send(marker)
    assert inner.log == [("send", None), ("send", marker)]
    assert list(done.value.value) == ["image"]
    assert runs(plugin) == before + 1


def test_driving_through_await_iterator(plugin, plugin_dir):
    coro, inner = start(plugin, plugin_dir)
    it = coro.__await__()
    assert next(it) is SENTINEL
    with pytest.raises(StopIteration) as done:
        next(it)
    assert done.value.value["image"]["array"].shape == (4, 5, 4)


def expected(plugin, plugin_dir):
    return drive(plugin.render(image(), {"resize_mode": 0}, None, Tools(plugin_dir)))["image"]["array"]


def test_await_from_native_coroutine_and_loops(plugin, plugin_dir):
    want = expected(plugin, plugin_dir)

    async def host():
        return await plugin.render(image(), {"resize_mode": 0}, None, Tools(plugin_dir))

    np.testing.assert_array_equal(asyncio.run(host())["image"]["array"], want)
    np.testing.assert_array_equal(
        asyncio.run(plugin.render(image(), {"resize_mode": 0}, None, Tools(plugin_dir)))["image"]["array"], want)
    loop = asyncio.new_event_loop()
    try:
        result = loop.run_until_complete(plugin.render(image(), {"resize_mode": 0}, None, Tools(plugin_dir)))
    finally:
        loop.close()
    np.testing.assert_array_equal(result["image"]["array"], want)


@pytest.mark.parametrize("task_class", [asyncio.tasks._CTask, asyncio.tasks._PyTask], ids=["C", "Python"])
@pytest.mark.parametrize("progress", ["native", "future", "generator", "custom", "sleep"])
def test_tasks_of_both_kinds(plugin, plugin_dir, task_class, progress):
    want = expected(plugin, plugin_dir)

    @types.coroutine
    def generator_based():
        yield

    async def native():
        await asyncio.sleep(0)

    def make():
        if progress == "native":
            return native()
        if progress == "future":
            fut = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_soon(fut.set_result, 5)
            return fut
        if progress == "generator":
            return generator_based()
        if progress == "custom":
            return Awaitable(Inner(value=None))
        return asyncio.sleep(0)

    created = []

    def factory(loop, coro, **kw):
        task = task_class(coro, loop=loop, **kw)
        created.append(task)
        return task

    async def host():
        asyncio.get_running_loop().set_task_factory(factory)
        tools = ProgressTools(plugin_dir, make)
        task = asyncio.create_task(plugin.render(image(), {"resize_mode": 0}, None, tools))
        return await task

    result = asyncio.run(host())
    np.testing.assert_array_equal(result["image"]["array"], want)
    assert any(type(t) is task_class for t in created)


def test_progress_not_awaitable(plugin, plugin_dir):
    async def native():
        await 5

    with pytest.raises(TypeError) as want:
        drive(native())
    tools = ProgressTools(plugin_dir, lambda: 5)
    with pytest.raises(TypeError, match="^" + str(want.value) + "$"):
        drive(plugin.render(image(), {}, None, tools))


# --- send, throw, close ----------------------------------------------------------------------------------------------


def test_send_non_none_to_just_started(plugin, plugin_dir):
    coro, inner = start(plugin, plugin_dir)
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
        coro.send(1)
    assert inner.log == []
    assert coro.send(None) is SENTINEL  # still usable
    coro.close()


@pytest.mark.parametrize("operation", ["send", "throw", "await"])
def test_reuse_after_completion(plugin, plugin_dir, operation):
    coro, _ = start(plugin, plugin_dir)
    drive(coro)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        if operation == "send":
            coro.send(None)
        elif operation == "throw":
            coro.throw(ValueError("late"))
        else:
            next(coro.__await__())
    assert coro.close() is None


def test_reentrant_send_is_refused(plugin, plugin_dir):
    seen = []
    original = plugin.api.ImageTools.image_to_np

    def image_to_np(img):
        seen.append(coro.cr_running)
        for call in (lambda: coro.send(None), lambda: coro.throw(ValueError), coro.close):
            with pytest.raises(ValueError, match="^coroutine already executing$"):
                call()
        return original(img)

    plugin.api.ImageTools.image_to_np = image_to_np
    coro, inner = start(plugin, plugin_dir)
    assert coro.send(None) is SENTINEL
    assert seen == [True]
    drive(coro)


def assert_finished(coro):
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_throw_into_just_created(plugin, plugin_dir, recwarn):
    coro, inner = start(plugin, plugin_dir)
    events = plugin.api.events
    with pytest.raises(KeyError, match="thrown"):
        coro.throw(KeyError("thrown"))
    assert inner.log == [] and events.items == []
    assert_finished(coro)
    del coro
    gc.collect()
    assert not [w for w in recwarn if "never awaited" in str(w.message)]


@pytest.mark.parametrize("form", ["instance", "class", "class-value"])
def test_throw_while_suspended_is_delegated(plugin, plugin_dir, form):
    coro, inner = start(plugin, plugin_dir)
    coro.send(None)
    before = runs(plugin)
    args = {"instance": (ValueError("boom"),), "class": (ValueError,), "class-value": (ValueError, "boom")}[form]
    with pytest.raises(ValueError):
        coro.throw(*args)
    assert inner.log[-1][0] == "throw"
    assert runs(plugin) == before
    assert torch.is_grad_enabled()
    assert_finished(coro)


def test_throw_handled_by_awaited_object(plugin, plugin_dir):
    coro, inner = start(plugin, plugin_dir, Inner(on_throw="handle"))
    coro.send(None)
    assert coro.throw(ValueError("boom")) == "handled"
    assert coro.cr_suspended
    result = drive(coro)
    assert list(result) == ["image"]


def test_throw_ending_the_awaited_object_resumes_the_body(plugin, plugin_dir):
    coro, inner = start(plugin, plugin_dir, Inner(on_throw="return"))
    coro.send(None)
    before = runs(plugin)
    with pytest.raises(StopIteration) as done:
        coro.throw(ValueError("boom"))
    assert list(done.value.value) == ["image"]
    assert runs(plugin) == before + 1


def test_throw_without_throw_method_raises_at_the_await(plugin, plugin_dir):
    class Plain:
        def __iter__(self):
            return self

        def __next__(self):
            return SENTINEL

    coro = plugin.render(image(), {}, None, ProgressTools(plugin_dir, lambda: Awaitable(Plain())))
    assert coro.send(None) is SENTINEL
    with pytest.raises(ValueError, match="boom"):
        coro.throw(ValueError("boom"))
    assert_finished(coro)


def test_generator_exit_thrown_while_suspended_closes_the_awaited_object(plugin, plugin_dir):
    coro, inner = start(plugin, plugin_dir)
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert inner.log[-1] == ("close",)
    assert_finished(coro)


@pytest.mark.parametrize("closable", [True, False])
def test_close_while_suspended(plugin, plugin_dir, closable):
    coro, inner = start(plugin, plugin_dir, Inner(closable=closable))
    coro.send(None)
    before = runs(plugin)
    assert coro.close() is None
    if closable:
        assert inner.log[-1] == ("close",)
    assert runs(plugin) == before
    assert_finished(coro)
    assert coro.close() is None


def test_close_error_of_awaited_object_propagates(plugin, plugin_dir):
    class Failing(Inner):
        def close(self):
            raise OSError("cannot close")

    coro, _ = start(plugin, plugin_dir, Failing())
    coro.send(None)
    with pytest.raises(OSError, match="cannot close"):
        coro.close()
    assert_finished(coro)


@pytest.mark.parametrize("where", ["image_to_np", "np_to_image"])
def test_stop_iteration_in_body_becomes_runtime_error(plugin, plugin_dir, where):
    stop = StopIteration("from the host")

    def raise_stop(*args, **kwargs):
        raise stop

    setattr(plugin.api.ImageTools, where, raise_stop)
    coro, _ = start(plugin, plugin_dir)
    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as raised:
        drive(coro)
    assert raised.value.__cause__ is stop
    assert_finished(coro)


def test_stop_iteration_thrown_in_becomes_runtime_error(plugin, plugin_dir):
    coro, _ = start(plugin, plugin_dir)
    with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$"):
        coro.throw(StopIteration)


# --- never awaited, garbage collection -------------------------------------------------------------------------------


def test_never_awaited_warning(plugin, plugin_dir):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = plugin.render(image(), {}, None, Tools(plugin_dir))
        del coro
        gc.collect()
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == ["coroutine 'Tavelin.render' was never awaited"]
    assert plugin.api.events.items == []


AT_EXIT = """
import numpy as np
from testkit.host_double import Tools, new_plugin


async def native():
    pass


plugin, api = new_plugin()
never_awaited = [native()] + [plugin.render({"array": np.zeros((4, 5, 3), np.uint8), "bit_depth": 8}, {}, None,
                                            Tools(".")) for _ in range(2)]
"""


def test_never_awaited_at_exit_warns_as_a_native_coroutine():
    # The warning was looked for by importing `warnings`, which fails during finalisation.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", AT_EXIT], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0
    native = "sys:1: RuntimeWarning: coroutine 'native' was never awaited"
    assert native in proc.stderr.splitlines()
    assert sorted(proc.stderr.splitlines()) == sorted([native, native.replace("'native'", "'Tavelin.render'")])


@pytest.mark.parametrize("closed", [False, True])
def test_no_warning_once_started_or_closed(plugin, plugin_dir, closed):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro, inner = start(plugin, plugin_dir)
        if closed:
            coro.close()
        else:
            coro.send(None)
        del coro
        gc.collect()
    assert not [w for w in caught if "never awaited" in str(w.message)]
    if not closed:
        assert inner.log[-1] == ("close",)  # finalising a suspended coroutine closes it


@pytest.mark.parametrize("through", ["tools", "awaited", "image", "params"])
def test_reference_cycles_are_collected(plugin, plugin_dir, through):
    inner = Inner()
    tools = ProgressTools(plugin_dir, lambda: Awaitable(inner))
    img = image()
    params = {"resize_mode": 0}
    coro = plugin.render(img, params, None, tools)
    coro.send(None)
    if through == "tools":
        tools.coro = coro
    elif through == "awaited":
        inner.coro = coro
    elif through == "image":
        img["coro"] = coro
    else:
        params["coro"] = coro
    ref = weakref.ref(coro)
    del coro, tools, inner, img, params
    gc.collect()
    assert ref() is None


def test_cycle_through_unstarted_coroutine_is_collected(plugin, plugin_dir):
    tools = Tools(plugin_dir)
    coro = plugin.render(image(), {}, None, tools)
    tools.coro = coro
    ref = weakref.ref(coro)
    del coro, tools
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        gc.collect()
    assert ref() is None


def test_coroutine_resurrected_by_its_finaliser_stays_collectable(plugin, plugin_dir):
    kept = []

    class Keeping(Inner):
        def close(self):
            # the coroutine finalising us is found through the collector
            kept.extend(r for r in gc.get_referrers(self) if getattr(r, "__qualname__", None) == "Tavelin.render")

    coro, _ = start(plugin, plugin_dir, Keeping())
    coro.send(None)
    del coro
    assert len(kept) == 1
    resurrected = kept.pop()
    assert gc.is_tracked(resurrected)
    assert_finished(resurrected)
    holder = [resurrected]
    holder.append(holder)
    ref = weakref.ref(resurrected)
    del resurrected, holder
    gc.collect()
    assert ref() is None


def test_gc_sees_what_the_coroutine_holds(plugin, plugin_dir):
    tools = Tools(plugin_dir)
    img = image()
    coro = plugin.render(img, {}, 7, tools)
    try:
        referents = gc.get_referents(coro)
        assert any(r is tools for r in referents) and any(r is img for r in referents)
        assert any(r is plugin for r in referents)
    finally:
        coro.close()


# --- cancellation ----------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("task_class", [asyncio.tasks._CTask, asyncio.tasks._PyTask], ids=["C", "Python"])
def test_cancellation_while_waiting_on_progress(plugin, plugin_dir, task_class):
    before = runs(plugin)
    futures = []

    def make():
        fut = asyncio.get_running_loop().create_future()
        futures.append(fut)
        return fut

    async def host():
        loop = asyncio.get_running_loop()
        loop.set_task_factory(lambda loop, coro, **kw: task_class(coro, loop=loop, **kw))
        task = asyncio.create_task(plugin.render(image(), {}, None, ProgressTools(plugin_dir, make)))
        while not futures:
            await asyncio.sleep(0)
        assert torch.is_grad_enabled()
        task.cancel()
        await task

    with pytest.raises(asyncio.CancelledError):
        asyncio.run(host())
    assert runs(plugin) == before
    assert torch.is_grad_enabled()
    assert futures[0].cancelled()


# --- parity with a native coroutine awaiting the same kind of object ------------------------------------------------


def _traceback():
    try:
        raise ValueError("for its traceback")
    except ValueError as e:
        return e.__traceback__


def send(value=None):
    return lambda c: c.send(value)


PARITY = {
    "throw-no-args": [lambda c: c.throw()],
    "throw-four-args": [lambda c: c.throw(1, 2, 3, 4)],
    "throw-non-exception": [lambda c: c.throw(5)],
    "throw-non-exception-suspended": [send(), lambda c: c.throw(5), send()],
    "instance-and-value": [lambda c: c.throw(ValueError("x"), "v")],
    "instance-and-value-suspended": [send(), lambda c: c.throw(ValueError("x"), "v"), send()],
    "bad-traceback": [lambda c: c.throw(ValueError, None, 5)],
    "bad-traceback-suspended": [send(), lambda c: c.throw(ValueError, None, 5), send()],
    "generator-exit-bad-traceback-suspended": [send(), lambda c: c.throw(GeneratorExit, None, 5), send()],
    "with-traceback": [lambda c: c.throw(ValueError, ValueError("q"), _traceback())],
    "generator-exit-created": [lambda c: c.throw(GeneratorExit), send()],
    "generator-exit-suspended": [send(), lambda c: c.throw(GeneratorExit("m")), send()],
    "stop-iteration-suspended": [send(), lambda c: c.throw(StopIteration("s"))],
    "close-then-send": [lambda c: c.close(), send()],
    "close-then-throw": [lambda c: c.close(), lambda c: c.throw(ValueError)],
    "throw-after-finish": [send(), send(), lambda c: c.throw(ValueError("z"))],
    "generator-exit-after-finish": [send(), send(), lambda c: c.throw(GeneratorExit)],
    "send-non-none-then-none": [send(3), send()],
    "await-iterators": [lambda c: next(c.__await__()), lambda c: c.__await__().send(1),
                        lambda c: c.__await__().throw(KeyError("k"))],
    "await-iterator-throw-created": [lambda c: c.__await__().throw(KeyError("k"))],
    "state-suspended": [send(), lambda c: (c.cr_running, c.cr_suspended, type(c.cr_await).__name__)],
}


@pytest.mark.parametrize("case", list(PARITY))
def test_protocol_parity_with_native_coroutine(plugin, plugin_dir, case):
    class Plain(Inner):
        def throw(self, exc, *rest):
            raise exc if isinstance(exc, BaseException) else exc(*rest[:1])

    async def native(awaitable):
        await awaitable
        return {"image": None}

    def outcomes(coro):
        out = []
        for op in PARITY[case]:
            try:
                value = op(coro)
                out.append(("value", "result" if isinstance(value, dict) else value))
            except StopIteration as stop:
                out.append(("StopIteration", type(stop.value).__name__))
            except BaseException as e:  # noqa: BLE001
                out.append((type(e).__name__, str(e)))
        coro.close()
        return out

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = outcomes(native(Awaitable(Plain(value="Y"))))
        got = outcomes(plugin.render(image(), {}, None, ProgressTools(plugin_dir, lambda: Awaitable(Plain(value="Y")))))
    assert got == want


# --- what hosts notice of a coroutine, side by side with an `async def` ---------------------------------------------


def made(kind, plugin, plugin_dir, make_awaitable):
    """A native coroutine ("native") or a render ("render") that awaits one object from make_awaitable()."""

    async def native():
        await make_awaitable()
        return {"image": None}

    if kind == "native":
        return native()
    return plugin.render(image(), {}, None, ProgressTools(plugin_dir, make_awaitable))


def pair(plugin, plugin_dir, make_awaitable):
    return made("native", plugin, plugin_dir, make_awaitable), made("render", plugin, plugin_dir, make_awaitable)


def test_a_second_awaiter_is_refused_at_once(plugin, plugin_dir):
    async def scenario(kind):
        release = asyncio.Event()
        coro = made(kind, plugin, plugin_dir, release.wait)
        first = asyncio.ensure_future(coro)
        await asyncio.sleep(0)  # the first task is now suspended in the coroutine's await

        async def second():
            return await coro

        second_task = asyncio.ensure_future(second())
        await asyncio.sleep(0)
        release.set()
        results = await asyncio.gather(first, second_task, return_exceptions=True)
        return [repr(r) if isinstance(r, BaseException) else list(r) for r in results]

    outcomes = [asyncio.run(scenario(kind)) for kind in ("native", "render")]
    assert outcomes[0] == [["image"], "RuntimeError('coroutine is being awaited already')"]
    assert outcomes[1] == outcomes[0]


def test_state_and_awaited_object_as_inspect_sees_them(plugin, plugin_dir):
    seen = []

    def looks(coro):
        seen.append((inspect.getcoroutinestate(coro), type(coro.cr_await).__name__, coro.cr_frame is None))

    class Watching(Inner):
        def send(self, value):
            looks(self.coro)  # while the awaited object runs
            return super().send(value)

    def states(kind):
        seen.clear()
        inner = Watching(value="Y")
        coro = made(kind, plugin, plugin_dir, lambda: Awaitable(inner))
        inner.coro = coro
        looks(coro)
        coro.send(None)
        looks(coro)
        with pytest.raises(StopIteration):
            coro.send(None)
        looks(coro)
        return list(seen)

    want = states("native")
    assert want[0] == ("CORO_CREATED", "NoneType", False) and want[-1] == ("CORO_CLOSED", "NoneType", True)
    assert states("render") == want


def test_origin_tracking_and_the_never_awaited_warning(plugin, plugin_dir):
    async def native():
        await Inner()

    depth = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(3)
    try:
        native, render = native(), plugin.render(image(), {}, None, Tools(plugin_dir))  # one line: one origin
    finally:
        sys.set_coroutine_origin_tracking_depth(depth)
    assert native.cr_origin and render.cr_origin == native.cr_origin
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del native, render
        gc.collect()
    assert [type(w.source).__name__ for w in caught] == ["coroutine", "coroutine"]
    messages = [str(w.message).split("\n") for w in caught]
    assert messages[0][1] == "Coroutine created at (most recent call last)"
    assert messages[1][0] == "coroutine 'Tavelin.render' was never awaited" and messages[1][1:] == messages[0][1:]


NAME_CHANGES = {
    "set": lambda c: (setattr(c, "__name__", "x"), setattr(c, "__qualname__", "y.x"), c.__name__, c.__qualname__,
                      "y.x" in repr(c)),
    "set-non-string": lambda c: setattr(c, "__name__", 5),
    "set-non-string-qualname": lambda c: setattr(c, "__qualname__", b"y"),
    "delete": lambda c: delattr(c, "__qualname__"),
}


@pytest.mark.parametrize("change", list(NAME_CHANGES))
def test_names_are_settable_as_native_ones(plugin, plugin_dir, change):
    def outcome(coro):
        try:
            return NAME_CHANGES[change](coro)
        except TypeError as e:
            return str(e)
        finally:
            coro.close()

    native, render = pair(plugin, plugin_dir, Inner)
    assert outcome(render) == outcome(native)


def test_yield_from_in_a_generator_based_coroutine(plugin, plugin_dir):
    @types.coroutine
    def legacy(coro):
        return (yield from coro)

    def run(generator):
        try:
            while True:
                generator.send(None)
        except StopIteration as stop:
            return stop.value

    results = [run(legacy(coro)) for coro in pair(plugin, plugin_dir, lambda: Awaitable(Inner(value="Y")))]
    assert results[0] == {"image": None} and list(results[1]) == ["image"]

    def plain(coro):
        yield from coro

    for coro in pair(plugin, plugin_dir, Inner):
        with pytest.raises(TypeError):
            next(plain(coro))
        coro.close()


# --- throw() into an await of a plain iterator, in a fresh interpreter ----------------------------------------------
# The awaited object has neither throw() nor close(); a refused throw() once left the render suspended without it,
# and the next send() crashed the process, so each case runs in an interpreter of its own.

ISOLATED = """
import asyncio, inspect, json, warnings
import numpy as np
from testkit.host_double import Tools, new_plugin


class Bare:
    def __init__(self):
        self.sent = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.sent += 1
        if self.sent > 1:
            raise StopIteration("progress-result")
        return "yielded"


class Awaitable:
    def __await__(self):
        return Bare()


class BareTools(Tools):
    def progress(self, percent):
        return Awaitable()


async def native(awaitable):
    await awaitable
    return {{"image": None}}


def outcomes(coro):
    out = []
    for op in {ops!r}:
        try:
            value = eval("coro." + op)
            out.append(["value", "result" if isinstance(value, dict) else value])
        except StopIteration as stop:
            out.append(["StopIteration", type(stop.value).__name__])
        except BaseException as e:
            out.append([type(e).__name__, str(e)])
        out.append(["state", inspect.getcoroutinestate(coro), type(coro.cr_await).__name__])
    coro.close()
    return out


plugin, api = new_plugin()
plugin.model_loaded_on_device, plugin.model_loaded_with_dtype = api.TorchTools.result
plugin.modnext = lambda tensor: tensor[..., :1] / 255
image = {{"array": np.zeros((4, 5, 3), np.uint8), "bit_depth": 8}}
with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    print(json.dumps([outcomes(native(Awaitable())), outcomes(plugin.render(image, {{}}, None, BareTools(".")))]))
"""

BARE_CASES = {
    "non-exception": "throw(42)",
    "bad-traceback": "throw(ValueError, None, 5)",
    "instance-and-value": "throw(ValueError('x'), 'v')",
    "generator-exit-bad-traceback": "throw(GeneratorExit, None, 5)",
    "raised-here": "throw(KeyError('k'))",
}


@pytest.mark.parametrize("case", list(BARE_CASES))
def test_throw_into_await_without_throw_method_matches_native(case):
    ops = ["send(None)", BARE_CASES[case], "send(None)", "send(None)"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", ISOLATED.format(ops=ops)], capture_output=True, text=True,
                          env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    native, render = json.loads(proc.stdout.splitlines()[-1])
    assert render == native


# --- re-entry from the awaited object's attributes, in a fresh interpreter ------------------------------------------
# A `throw` property that drove the render to its end once made throw() resume a freed body (a crash): every call
# out of send/throw/close finds the render running.

REENTRY = """
import json
import numpy as np
from testkit.host_double import Tools, new_plugin


def stop(*args):
    raise StopIteration("progress-result")


def reentering(name, value):
    def get(self):
        try:
            coro.send(None)
            seen.append([name, "resumed"])
        except BaseException as e:
            seen.append([name, type(e).__name__, str(e)])
        return value
    return property(get)


class Inner:
    ended = False

    def __iter__(self):
        return self

    def __next__(self):  # a re-entering send() would take the render to its end
        if self.ended:
            stop()
        self.ended = True
        return "yielded"

    throw, send, close = reentering("throw", stop), reentering("send", stop), reentering("close", lambda: None)


class InnerTools(Tools):
    def progress(self, percent):
        return type("Awaitable", (), {"__await__": lambda self: Inner()})()


plugin, api = new_plugin()
plugin.model_loaded_on_device, plugin.model_loaded_with_dtype = api.TorchTools.result
plugin.modnext = lambda tensor: tensor[..., :1] / 255
out = []
for op in ["throw(ValueError('v'))", "send(1)", "close()", "throw(GeneratorExit)"]:
    seen = []
    coro = plugin.render({"array": np.zeros((4, 5, 3), np.uint8), "bit_depth": 8}, {}, None, InnerTools("."))
    coro.send(None)
    try:
        outcome = ["value", eval("coro." + op)]
    except StopIteration as stop_:
        outcome = ["StopIteration", sorted(stop_.value)]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    out.append([op, seen, outcome])
print(json.dumps(out))
"""


def test_reentry_from_the_awaited_objects_attributes_is_refused():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", REENTRY], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    refused = ["ValueError", "coroutine already executing"]
    assert json.loads(proc.stdout.splitlines()[-1]) == [
        ["throw(ValueError('v'))", [["throw", *refused]], ["StopIteration", ["image"]]],
        ["send(1)", [["send", *refused]], ["StopIteration", ["image"]]],
        ["close()", [["close", *refused]], ["value", None]],
        ["throw(GeneratorExit)", [["close", *refused]], ["GeneratorExit", ""]],
    ]
