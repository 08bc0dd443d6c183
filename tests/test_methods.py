"""The plug-in class Tavelin: its shape, its methods' binding and their argument errors."""
import asyncio
import contextlib
import gc
import inspect
import io
import types

import pytest

import Tavelin
from tavelin_host.contract import LOAD_STEPS, MODNEXT_ATTR, PLUGIN_VERSION
from testkit.host_double import Tools, TorchFreeAPI

Plugin = Tavelin.Tavelin

METHODS = ["__init__", "load_model", "unload", "render"]
PARAMETERS = {
    "__init__": ["self", "zelapi"],
    "load_model": ["self", "device", "torch_dtype", "tools"],
    "unload": ["self"],
    "render": ["self", "image", "params", "instance_id", "tools"],
}
ATTRIBUTES = [
    ("zel", None),  # the API object itself, checked by identity
    ("version", PLUGIN_VERSION),
    ("ImageTools", None),
    ("rendered_frames", 0),
    ("model", None),
    ("model_name", None),
    ("model_loaded_on_device", "Not loaded on any device"),
    ("model_loaded_with_dtype", "Not loaded with any dtype"),
]


def make_api():
    # torch is absent under the host's 3.10 build check; nothing here needs it.
    return TorchFreeAPI(device="cpu", dtype="float32")


@pytest.fixture
def api():
    return make_api()


@pytest.fixture
def plugin(api):
    return Plugin(api)


def state(obj):
    return dict(vars(obj))


# --- the class ---------------------------------------------------------------------------------

def test_class_shape():
    assert type(Plugin) is type
    assert Plugin.__bases__ == (object,)
    assert Plugin.__mro__ == (Plugin, object)
    assert Plugin.__module__ == "Tavelin"
    assert Plugin.__qualname__ == Plugin.__name__ == "Tavelin"
    assert Plugin.__doc__ is None
    assert [k for k in vars(Plugin) if not (k.startswith("__") and k.endswith("__"))] == METHODS[1:]
    own = [k for k in vars(Plugin) if k in METHODS]
    assert own == METHODS
    # a class statement adds __dict__, __weakref__ and __doc__; nothing else besides the methods
    assert set(vars(Plugin)) - set(METHODS) <= {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__"}


@pytest.mark.parametrize("name", METHODS)
def test_method_identity(name):
    f = vars(Plugin)[name]
    assert f.__name__ == name
    assert f.__qualname__ == f"Tavelin.{name}"
    assert f.__module__ == "Tavelin"
    assert f.__doc__ is None
    assert not f.__annotations__
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert str(inspect.signature(f)) == "(" + ", ".join(PARAMETERS[name]) + ")"
    for p in inspect.signature(f).parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty and p.annotation is inspect.Parameter.empty
    assert f.__code__.co_varnames[: f.__code__.co_argcount] == tuple(PARAMETERS[name])


@pytest.mark.parametrize("name", METHODS)
def test_only_render_is_a_coroutine_function(name, plugin):
    f = vars(Plugin)[name]
    expected = name == "render"
    assert asyncio.iscoroutinefunction(f) is expected
    assert asyncio.iscoroutinefunction(getattr(Plugin, name)) is expected
    assert asyncio.iscoroutinefunction(getattr(plugin, name)) is expected
    assert bool(f.__code__.co_flags & inspect.CO_COROUTINE) is expected
    assert not (f.__code__.co_flags & (inspect.CO_GENERATOR | inspect.CO_ASYNC_GENERATOR))
    assert hasattr(f, "_is_coroutine") is expected


def test_render_carries_asyncio_marker():
    from asyncio import coroutines

    assert Plugin.render._is_coroutine is coroutines._is_coroutine


def test_methods_bind_like_functions(plugin, api):
    bound = plugin.unload
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is plugin and bound.__func__ is vars(Plugin)["unload"]
    assert plugin.unload is not plugin.unload  # a fresh bound method each time, like functions
    assert plugin.unload == plugin.unload
    assert Plugin.unload is vars(Plugin)["unload"]
    assert vars(Plugin)["unload"].__get__(None, Plugin) is vars(Plugin)["unload"]
    assert Plugin.unload(plugin) is None
    assert vars(Plugin)["unload"].__get__(plugin, Plugin)() is None
    # an ordinary (non-Tavelin) object binds too: the methods do not check their self
    other = types.SimpleNamespace()
    Plugin.__init__(other, api)
    assert other.zel is api


def test_subclass_inherits_and_overrides():
    class Sub(Plugin):
        def unload(self):
            return "sub"

    s = Sub(make_api())
    assert s.unload() == "sub"
    assert Plugin.unload(s) is None
    assert s.version == PLUGIN_VERSION


# --- construction -------------------------------------------------------------------------------

def test_constructor_sets_eight_attributes_in_order(api):
    obj = Plugin(api)
    assert list(vars(obj)) == [name for name, _ in ATTRIBUTES]
    assert obj.zel is api
    assert obj.ImageTools is api.ImageTools
    for name, value in ATTRIBUTES:
        if value is not None:
            assert getattr(obj, name) == value and type(getattr(obj, name)) is type(value)
    assert obj.model is None and obj.model_name is None
    assert api.events.items == []


@pytest.mark.parametrize("name", [MODNEXT_ATTR, "model_on_device", "plugin_path"])
def test_attributes_absent_after_construction(plugin, name):
    with pytest.raises(AttributeError):
        getattr(plugin, name)


def test_constructor_reads_image_tools_through_zel():
    class Recording:
        def __init__(self):
            self.reads = []

        def __getattr__(self, name):
            self.reads.append(name)
            if name == "ImageTools":
                return "tools-object"
            raise AttributeError(name)

    api = Recording()
    obj = Plugin(api)
    assert api.reads == ["ImageTools"]
    assert obj.ImageTools == "tools-object"


def test_constructor_without_image_tools(api):
    del api.ImageTools
    with pytest.raises(AttributeError):
        Plugin(api)
    obj = Plugin.__new__(Plugin)
    with pytest.raises(AttributeError) as info:
        Plugin.__init__(obj, api)
    assert "ImageTools" in str(info.value)
    assert list(vars(obj)) == ["zel", "version"]
    assert obj.zel is api and obj.version == PLUGIN_VERSION


def test_constructor_again_resets_records(plugin, api):
    plugin.model_loaded_on_device = "cuda"
    other = make_api()
    assert Plugin.__init__(plugin, other) is None
    assert plugin.zel is other
    assert plugin.model_loaded_on_device == "Not loaded on any device"


@pytest.mark.parametrize("args", [(), (1, 2), (1, 2, 3)])
def test_constructor_wrong_arity(args):
    with pytest.raises(TypeError) as info:
        Plugin(*args)
    assert str(info.value) == f"__init__() takes exactly 2 positional arguments ({len(args) + 1} given)"


def test_constructor_by_keyword(api):
    assert Plugin(zelapi=api).zel is api
    obj = Plugin.__new__(Plugin)
    Plugin.__init__(zelapi=api, self=obj)
    assert obj.zel is api and list(vars(obj)) == [n for n, _ in ATTRIBUTES]


# --- unload ----------------------------------------------------------------------------------

def test_unload_returns_none_and_changes_nothing(plugin, api):
    plugin.modnext = sentinel = object()
    plugin.model_loaded_on_device = "cpu"
    before = state(plugin)
    assert plugin.unload() is None
    assert plugin.unload() is None
    after = state(plugin)
    assert list(after) == list(before)
    assert all(after[k] is before[k] for k in before)
    assert plugin.modnext is sentinel
    assert api.events.items == []


# --- argument errors -------------------------------------------------------------------------

def count_error(name, total, given):
    return f"{name}() takes exactly {total} positional argument{'s' if total != 1 else ''} ({given} given)"


def arity_cases():
    """(method, positional args after self, keywords, expected message) for bound calls."""
    x = object()
    cases = [
        # missing, positional only: the count includes self
        ("load_model", (), {}, count_error("load_model", 4, 1)),
        ("load_model", (x,), {}, count_error("load_model", 4, 2)),
        ("load_model", (x, x), {}, count_error("load_model", 4, 3)),
        # surplus
        ("load_model", (x, x, x, x), {}, count_error("load_model", 4, 5)),
        ("load_model", (x, x, x, x, x), {}, count_error("load_model", 4, 6)),
        ("load_model", (x, x, x, x), {"tools": x}, count_error("load_model", 4, 5)),
        # missing with keywords: leading parameters supplied before the first missing one
        ("load_model", (x,), {"tools": x}, count_error("load_model", 4, 2)),
        ("load_model", (), {"torch_dtype": x, "tools": x}, count_error("load_model", 4, 1)),
        ("load_model", (), {"device": x, "torch_dtype": x}, count_error("load_model", 4, 3)),
        ("load_model", (), {"device": x, "tools": x}, count_error("load_model", 4, 2)),
        # a missing argument is reported before an unexpected or repeated one
        ("load_model", (x,), {"x": 1}, count_error("load_model", 4, 2)),
        ("load_model", (x,), {"device": x}, count_error("load_model", 4, 2)),
        # duplicated
        ("load_model", (x, x, x), {"device": x}, "load_model() got multiple values for keyword argument 'device'"),
        ("load_model", (x, x, x), {"tools": x}, "load_model() got multiple values for keyword argument 'tools'"),
        ("load_model", (x, x, x), {"self": x}, "load_model() got multiple values for keyword argument 'self'"),
        ("load_model", (x,), {"torch_dtype": x, "tools": x, "device": x},
         "load_model() got multiple values for keyword argument 'device'"),
        # unknown
        ("load_model", (x, x, x), {"x": 1}, "load_model() got an unexpected keyword argument 'x'"),
        ("load_model", (), {"device": x, "torch_dtype": x, "tools": x, "dtype": x},
         "load_model() got an unexpected keyword argument 'dtype'"),
        # the first offending keyword is reported
        ("load_model", (x, x, x), {"x": 1, "device": x}, "load_model() got an unexpected keyword argument 'x'"),
        ("load_model", (x, x, x), {"device": x, "x": 1}, "load_model() got multiple values for keyword argument 'device'"),
        # render: the same rules with 5 parameters
        ("render", (), {}, count_error("render", 5, 1)),
        ("render", (x, x, x), {}, count_error("render", 5, 4)),
        ("render", (x, x, x, x, x), {}, count_error("render", 5, 6)),
        ("render", (x, x), {"tools": x}, count_error("render", 5, 3)),
        ("render", (), {"image": x, "params": x, "tools": x}, count_error("render", 5, 3)),
        ("render", (), {"image": x, "params": x, "instance_id": x}, count_error("render", 5, 4)),
        ("render", (x, x, x, x), {"image": x}, "render() got multiple values for keyword argument 'image'"),
        ("render", (x, x, x, x), {"x": 1}, "render() got an unexpected keyword argument 'x'"),
        ("render", (x, x, x, x), {"instance": 1}, "render() got an unexpected keyword argument 'instance'"),
        # unload: singular wording
        ("unload", (x,), {}, count_error("unload", 1, 2)),
        ("unload", (), {"x": 1}, "unload() got an unexpected keyword argument 'x'"),
        ("unload", (), {"self": 1}, "unload() got multiple values for keyword argument 'self'"),
        # __init__ called again on an object
        ("__init__", (), {}, count_error("__init__", 2, 1)),
        ("__init__", (x, x), {}, count_error("__init__", 2, 3)),
        ("__init__", (x,), {"zelapi": x}, "__init__() got multiple values for keyword argument 'zelapi'"),
        ("__init__", (x,), {"api": x}, "__init__() got an unexpected keyword argument 'api'"),
    ]
    return [pytest.param(*c, id=f"{c[0]}-{len(c[1])}-{'-'.join(c[2])}-{i}") for i, c in enumerate(cases)]


@pytest.mark.parametrize("method, args, kwargs, message", arity_cases())
def test_wrong_calls_raise_before_any_work(method, args, kwargs, message, plugin, api):
    before = state(plugin)
    with pytest.raises(TypeError) as info:
        getattr(plugin, method)(*args, **kwargs)
    assert str(info.value) == message
    assert api.events.items == []
    assert state(plugin) == before


@pytest.mark.parametrize("method, args, kwargs, message", arity_cases())
def test_unbound_calls_count_self_the_same_way(method, args, kwargs, message, plugin, api):
    with pytest.raises(TypeError) as info:
        getattr(Plugin, method)(plugin, *args, **kwargs)
    assert str(info.value) == message
    assert api.events.items == []


@pytest.mark.parametrize("method", METHODS)
def test_no_arguments_at_all(method):
    n = len(PARAMETERS[method])
    with pytest.raises(TypeError) as info:
        getattr(Plugin, method)()
    assert str(info.value) == count_error(method, n, 0)


@pytest.mark.parametrize(
    "method, args",
    [
        ("load_model", (1, 2, 3)),
        ("render", (1, 2, 3, 4)),
        ("unload", ()),
        ("__init__", (1,)),
    ],
)
def test_non_string_keywords(method, args, plugin, api):
    f = vars(Plugin)[method]
    # type(f).__call__ hands the keyword dictionary over as it is
    with pytest.raises(TypeError) as info:
        type(f).__call__(f, plugin, *args, **{1: 2})
    assert str(info.value) == f"{method}() keywords must be strings"
    with pytest.raises(TypeError) as info:
        type(f).__call__(f, plugin, *args, **{"x": 1, 2: 3})
    assert str(info.value) in (f"{method}() keywords must be strings",
                               f"{method}() got an unexpected keyword argument 'x'")
    assert api.events.items == []


def test_non_string_keyword_after_missing_argument_reports_the_count(plugin):
    f = vars(Plugin)["load_model"]
    with pytest.raises(TypeError) as info:
        type(f).__call__(f, plugin, 1, **{1: 2})
    assert str(info.value) == count_error("load_model", 4, 2)


def test_call_through_dict_path_binds_keywords(api):
    f = vars(Plugin)["__init__"]
    obj = Plugin.__new__(Plugin)
    assert type(f).__call__(f, obj, zelapi=api) is None
    assert obj.zel is api


# --- successful binding --------------------------------------------------------------------

def failing_api():
    """An API whose first progress report fails: load_model stops right after its first line."""
    api = make_api()
    api.ui.fail_at = 0
    return api


@pytest.mark.parametrize(
    "call",
    [
        lambda p, t: p.load_model("dev-A", "dtype-B", t),
        lambda p, t: p.load_model(tools=t, torch_dtype="dtype-B", device="dev-A"),
        lambda p, t: p.load_model("dev-A", tools=t, torch_dtype="dtype-B"),
        lambda p, t: Plugin.load_model(torch_dtype="dtype-B", self=p, tools=t, device="dev-A"),
    ],
)
def test_load_model_keywords_in_any_order(call):
    api = failing_api()
    plugin = Plugin(api)
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(RuntimeError, match="progress bar failed at 0"):
        call(plugin, Tools("/nowhere"))
    assert out.getvalue() == "[Tavelin] Loading model on device: dev-A (dtype: dtype-B)\n"
    assert api.events.items[0] == ("progress_bar", *LOAD_STEPS[0])


@pytest.mark.parametrize(
    "call",
    [
        lambda p, t: p.render({"bit_depth": 8}, {"output": 3}, 7, t),
        lambda p, t: p.render(tools=t, instance_id=7, params={"output": 3}, image={"bit_depth": 8}),
        lambda p, t: Plugin.render(p, {"bit_depth": 8}, instance_id=7, tools=t, params={"output": 3}),
        lambda p, t: Plugin.render(params={"output": 3}, self=p, image={}, tools=t, instance_id=None),
    ],
)
def test_render_binds_and_returns_a_coroutine(call):
    import pydantic

    api = make_api()
    plugin = Plugin(api)
    tools = Tools("/nowhere")
    coro = call(plugin, tools)
    assert asyncio.iscoroutine(coro)
    assert coro.__name__ == "render" and coro.__qualname__ == "Tavelin.render"
    assert api.events.items == [] and tools.events.items == []  # nothing of the body runs yet
    # the parameter dictionary reached `params`: an invalid output fails validation when awaited
    with pytest.raises(pydantic.ValidationError):
        asyncio.run(coro)
    assert api.events.items == [] and tools.events.items == []


def test_render_coroutine_can_be_closed_unstarted(plugin, api):
    tools = Tools("/nowhere")
    coro = plugin.render({"bit_depth": 8}, {}, 0, tools)
    coro.close()
    with pytest.raises(RuntimeError):
        coro.send(None)
    assert api.events.items == [] and tools.events.items == []


def live_coroutines(kind):
    return [o for o in gc.get_objects() if type(o) is kind]


def test_render_with_three_arguments_creates_no_coroutine(plugin, api):
    probe = plugin.render({}, {}, 0, Tools("/nowhere"))
    kind = type(probe)
    probe.close()
    del probe
    gc.collect()
    before = len(live_coroutines(kind))
    tools = Tools("/nowhere")
    with pytest.raises(TypeError) as info:
        plugin.render({"bit_depth": 8}, {}, tools)
    assert str(info.value) == count_error("render", 5, 4)
    assert len(live_coroutines(kind)) == before
    assert api.events.items == [] and tools.events.items == []


def test_render_passes_image_and_tools_through():
    pytest.importorskip("torch")

    class Stop(Exception):
        pass

    api = make_api()
    seen = {}

    def image_to_np(image):
        seen["image"] = image
        raise Stop

    api.ImageTools.image_to_np = image_to_np
    plugin = Plugin(api)
    # records that match the host's preference: no load happens
    plugin.model_loaded_on_device, plugin.model_loaded_with_dtype = api.TorchTools.result
    image = {"bit_depth": 8}
    tools = Tools("/nowhere")
    coro = plugin.render(tools=tools, image=image, instance_id=object(), params={})
    with pytest.raises(Stop):
        asyncio.run(coro)
    assert seen["image"] is image
    assert api.events.names() == ["get_device_dtype"]
    assert tools.events.items == []


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_load_model_receives_tools_by_keyword(tmp_path):
    pytest.importorskip("torch")
    api = make_api()
    plugin = Plugin(api)
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(Exception) as info:
        plugin.load_model(tools=Tools(str(tmp_path)), device="cpu", torch_dtype="float32")
    assert str(tmp_path) in str(info.value)
    assert api.events.of("progress_bar")[-1] == ("Loading model weights...", 30)
    assert not hasattr(plugin, MODNEXT_ATTR)
