"""Arbitrary render requests, run in this process: each one either renders what
an independent NumPy/OpenCV computation gives or raises a Python exception, and
the same plug-in object then completes an ordinary render correctly. A crash of
the process fails the whole run, which is the point."""
import asyncio
import types
from collections import OrderedDict
from collections.abc import Mapping

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import Tavelin
from testkit.host_double import Events, Tools, drive, new_plugin, outcome
from testkit.networks import save_networks
from testkit.reference import GOOD_RGB, assert_same_image, good_render, reference_render

pytestmark = [
    # host samples such as NaN or 1e30 in the reference's own casts
    pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning"),
    pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning"),
]

PROPERTY = settings(
    deadline=None, derandomize=True, database=None, print_blob=False,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    plugin_dir = save_networks(tmp_path_factory.mktemp("properties"))
    plugin, api = new_plugin()
    good_render(plugin, api, plugin_dir)
    return plugin, api, plugin_dir


# --- odd objects ----------------------------------------------------------------------------------------------------


class Odd:
    def __repr__(self):
        return type(self).__name__


class EqRaises(Odd):
    __hash__ = object.__hash__

    def __eq__(self, other):
        raise ArithmeticError("no comparing this")

    __ne__ = __eq__


class Unbooled(Odd):
    def __bool__(self):
        raise ZeroDivisionError("no truth in this")


class TruthRaises(Odd):
    """Comparisons answer an object whose truth cannot be taken."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return Unbooled()

    __ne__ = __eq__


class LikeEight(Odd):
    """Compares equal to 8 (and unequal to it consistently): an 8-bit depth."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return other == 8

    def __ne__(self, other):
        return other != 8


class IntRaises(Odd):
    def __int__(self):
        raise OverflowError("no int in this")

    __index__ = __int__


class HugeInt(Odd):
    def __int__(self):
        return 2 ** 80


class StrInt(Odd):
    def __int__(self):
        return "1"


class RaisingMapping(Mapping):
    def __getitem__(self, key):
        raise LookupError(key)

    def __iter__(self):
        return iter(["output"])

    def __len__(self):
        return 1


class PlainMapping(Mapping):
    def __init__(self, d):
        self._d = d

    def __getitem__(self, key):
        return self._d[key]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)


class KeysRaise(dict):
    def keys(self):
        raise RuntimeError("keys unavailable")


class DictSub(dict):
    pass


class ArraySub(np.ndarray):
    pass


# --- render parameters ----------------------------------------------------------------------------------------------

OUTPUTS = [1, 2, 1, 2, Tavelin.OutputEnum.LUMA_MATTE, Tavelin.OutputEnum.CUTOUT, 0, 3, -1, 2 ** 64, -(2 ** 70),
           1.0, 2.0, 1.5, True, False, "1", "2", "CUTOUT", b"2", None, [1], (2,), {"v": 1}, float("nan"),
           np.int64(1), EqRaises(), TruthRaises()]
MODES = [0, 1, 0, 1, -4, -3, 2, -2, 3, -1, 4, -5, 2 ** 70, -(2 ** 70), "0", "1", " 1 ", "1.5", "x", "", b"1",
         0.5, 1.99, -0.5, float("nan"), float("inf"), True, False, None, np.int64(1), np.float32(0.9), [1],
         {"m": 0}, 1 + 0j, IntRaises(), HugeInt(), StrInt(), EqRaises()]
odd_keys = st.one_of(st.text(max_size=4), st.integers(), st.none(), st.tuples(st.integers()), st.binary(max_size=2),
                     st.just(frozenset()))
odd_values = st.recursive(
    st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=3), st.sampled_from([EqRaises(), Odd()])),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=5,
)
CONTAINERS = ["dict"] * 8 + ["none", "pairs", "proxy", "mapping", "ordered", "dict-sub", "generator", "str",
                             "int", "triples", "keys-raise", "getitem-raise"]


@st.composite
def render_params(draw):
    """A factory of fresh parameter objects (some are consumed when read)."""
    entries = draw(st.dictionaries(odd_keys, odd_values, max_size=3))
    if draw(st.booleans()):
        entries["output"] = draw(st.sampled_from(OUTPUTS))
    if draw(st.booleans()):
        entries["resize_mode"] = draw(st.sampled_from(MODES))
    container = draw(st.sampled_from(CONTAINERS))
    makers = {
        "dict": lambda: dict(entries),
        "none": lambda: None,
        "pairs": lambda: list(entries.items()),
        "proxy": lambda: types.MappingProxyType(dict(entries)),
        "mapping": lambda: PlainMapping(dict(entries)),
        "ordered": lambda: OrderedDict(entries),
        "dict-sub": lambda: DictSub(entries),
        "generator": lambda: ((k, v) for k, v in entries.items()),
        "str": lambda: "ab",
        "int": lambda: 5,
        "triples": lambda: [(k, v, None) for k, v in entries.items()] or [(1, 2, 3)],
        "keys-raise": lambda: KeysRaise(entries),
        "getitem-raise": lambda: RaisingMapping(),
    }
    return container, makers[container]


def reference_params(params):
    """The host's parameters as a render validates them."""
    if params is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    copy = params.copy() if type(params) is dict else dict(params)
    return Tavelin.Params(**copy)


# --- image records and arrays ---------------------------------------------------------------------------------------

BIT_DEPTHS = [8, 8, 8, 8.0, 16, 16, 32, 16.0, -1, 0, None, "8", b"8", float("nan"), 2 ** 100, True, np.uint8(8),
              np.float64(8.0), np.array(8), np.array([8, 8]), LikeEight(), EqRaises(), TruthRaises()]
MISSING = object()


@st.composite
def image_records(draw):
    bit_depth = draw(st.sampled_from(BIT_DEPTHS + [MISSING]))
    shape = draw(st.sampled_from(["dict"] * 6 + ["list", "none", "getitem-raise"]))
    if shape == "dict":
        record = {} if bit_depth is MISSING else {"bit_depth": bit_depth}
        if draw(st.booleans()):
            record["extra"] = draw(odd_values)
        return record
    return {"list": [8], "none": None, "getitem-raise": RaisingMapping()}[shape]


DTYPES = ["uint8"] * 5 + ["uint16"] * 3 + ["float32"] * 4 + [
    "bool", "int8", "int16", "int32", "uint32", "int64", "uint64", "float16", "float64", "complex64",
    "complex128", "object", ">u2", ">f4"]
LAYOUTS = ["c"] * 3 + ["fortran", "step", "negative", "readonly", "channel-view", "transposed", "subclass",
                       "broadcast"]


def samples(rng, shape, dtype):
    dt = np.dtype(dtype)
    if dt.kind == "b":
        return rng.random(shape) < 0.5
    if dt.kind in "iu":
        info = np.iinfo(dt)
        lo, hi = max(info.min, -300), min(info.max, 70000)
        values = rng.integers(lo, hi, size=shape, endpoint=True)
        edges = rng.random(shape)
        values = np.where(edges < 0.1, info.max, np.where(edges < 0.2, info.min, values))
        return values.astype(dt)
    x = rng.random(shape) * 1.4 - 0.2
    x[rng.random(shape) < 0.05] = np.nan
    x[rng.random(shape) < 0.03] = np.inf
    x[rng.random(shape) < 0.03] = -np.inf
    if dt.kind == "c":
        return (x + 1j * rng.random(shape)).astype(dt)
    if dt.kind == "O":
        return rng.integers(0, 256, size=shape).astype(object)
    with np.errstate(over="ignore", invalid="ignore"):
        return x.astype(dt)


@st.composite
def host_arrays(draw, dtypes=DTYPES):
    """(what image_to_np returns, whether the plug-in must accept it)."""
    what = draw(st.sampled_from(["ndarray"] * 12 + ["list", "none", "memoryview", "tuple", "bytes", "tensor"]))
    dtype = draw(st.sampled_from(dtypes))
    ndim = draw(st.sampled_from([3] * 8 + [2, 4]))
    h, w = draw(st.integers(0, 16)), draw(st.integers(0, 16))
    c = draw(st.sampled_from([3, 3, 4, 4, 1, 2, 5]))
    layout = draw(st.sampled_from(LAYOUTS))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    shape = {2: (h, w), 3: (h, w, c), 4: (1, h, w, c)}[ndim]
    a = layout_array(rng, shape, dtype, layout)
    accepted = (ndim == 3 and h >= 1 and w >= 1 and c in (3, 4) and a.dtype.isnative
                and a.dtype in (np.uint8, np.uint16, np.float32))
    if what == "ndarray":
        return a, accepted
    u8 = np.zeros(shape, np.uint8)
    other = {
        "list": lambda: a.tolist(),
        "none": lambda: None,
        "memoryview": lambda: memoryview(u8),
        "tuple": lambda: tuple(u8.tolist()),
        "bytes": lambda: u8.tobytes(),
        "tensor": lambda: torch.from_numpy(u8),
    }[what]()
    return other, False


def layout_array(rng, shape, dtype, layout):
    ndim = len(shape)
    if layout == "step":
        a = samples(rng, tuple(2 * n for n in shape), dtype)[tuple(slice(None, None, 2) for _ in shape)]
    elif layout == "negative":
        a = samples(rng, shape, dtype)[::-1, ::-1]
    elif layout == "channel-view" and ndim == 3:
        a = samples(rng, shape[:2] + (shape[2] + 1,), dtype)[:, :, :shape[2]]
    elif layout == "broadcast":  # zero strides: one pixel seen everywhere
        a = np.broadcast_to(samples(rng, (1,) * (ndim - 1) + shape[-1:], dtype), shape)
    elif layout == "transposed" and ndim == 3:
        a = samples(rng, (shape[1], shape[0], shape[2]), dtype).transpose(1, 0, 2)
    else:
        a = samples(rng, shape, dtype)
        if layout == "fortran":
            a = np.asfortranarray(a)
        elif layout == "readonly":
            a.flags.writeable = False
        elif layout == "subclass":
            a = a.view(ArraySub)
    assert a.shape == shape
    return a


@st.composite
def valid_arrays(draw):
    """Arrays the plug-in must accept, in any memory layout."""
    dtype = draw(st.sampled_from(["uint8", "uint8", "uint16", "float32"]))
    h, w, c = draw(st.integers(1, 16)), draw(st.integers(1, 16)), draw(st.sampled_from([3, 4]))
    layout = draw(st.sampled_from(LAYOUTS))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    return layout_array(rng, (h, w, c), dtype, layout), True


# --- misbehaving host -----------------------------------------------------------------------------------------------


@types.coroutine
def _yield(value=None):
    yield value


async def progress_once():
    await _yield()


async def progress_thrice():
    for v in ("a", 1, None):
        await _yield(v)
    return "done"


async def progress_no_yield():
    return 7


async def progress_raises_first():
    raise LookupError("progress failed at once")


async def progress_raises_later():
    await _yield()
    raise LookupError("progress failed after a step")


async def progress_stop_iteration():
    await _yield()
    raise StopIteration("leaks out")


async def async_gen():
    yield 1


@types.coroutine
def generator_coroutine():
    yield
    return 3


def plain_generator():
    yield


class IteratorAwait:
    def __await__(self):
        return iter([1, 2])


class NonIteratorAwait:
    def __await__(self):
        return 5


def raise_(error):
    def fn(*args, **kwargs):
        raise error

    return fn


# name: (progress factory, ok)
PROGRESS = {
    "once": (lambda p: progress_once(), True),
    "thrice": (lambda p: progress_thrice(), True),
    "no-yield": (lambda p: progress_no_yield(), True),
    "types-coroutine": (lambda p: generator_coroutine(), True),
    "iterator-await": (lambda p: IteratorAwait(), True),
    "int": (lambda p: 60, False),
    "none": (lambda p: None, False),
    "raises": (raise_(OSError("progress refused")), False),
    "raises-first": (lambda p: progress_raises_first(), False),
    "raises-later": (lambda p: progress_raises_later(), False),
    "stop-iteration": (lambda p: progress_stop_iteration(), False),
    "plain-generator": (lambda p: plain_generator(), False),
    "async-generator": (lambda p: async_gen(), False),
    "non-iterator-await": (lambda p: NonIteratorAwait(), False),
}


def iter_raising():
    yield "cpu"
    raise MemoryError("device query broke midway")


# name: (get_device_dtype, ok, half)
DEVICE_DTYPE = {
    "tuple": (lambda: ("cpu", torch.float32), True, False),
    "list": (lambda: ["cpu", torch.float32], True, False),
    "iterator": (lambda: iter(("cpu", torch.float32)), True, False),
    "torch-device": (lambda: (torch.device("cpu"), torch.float32), True, False),
    "half": (lambda: ("cpu", torch.float16), True, True),
    "double": (lambda: ("cpu", torch.float64), True, False),
    "one": (lambda: ("cpu",), False, False),
    "three": (lambda: ("cpu", torch.float32, None), False, False),
    "empty": (lambda: [], False, False),
    "int": (lambda: 5, False, False),
    "none": (lambda: None, False, False),
    "raises": (raise_(RuntimeError("no device today")), False, False),
    "iterator-raises": (lambda: iter_raising(), False, False),
    "bad-device": (lambda: ("nope", torch.float32), False, False),
    "str-pair": (lambda: "ab", False, False),
    "dtype-eq-raises": (lambda: ("cpu", EqRaises()), False, False),
}
TO_NP = {"array": (None, True), "raises": (raise_(ValueError("cannot read the image")), False)}
FROM_NP = {"ok": (None, True), "none": (lambda a, bit_depth: None, True),
           "raises": (raise_(MemoryError("cannot write the image")), False)}


class Host:
    def __init__(self, device_dtype="tuple", to_np="array", progress="once", from_np="ok"):
        self.names = (device_dtype, to_np, progress, from_np)
        self.get_device_dtype, dd_ok, self.half = DEVICE_DTYPE[device_dtype]
        self.to_np, to_ok = TO_NP[to_np]
        self.progress, progress_ok = PROGRESS[progress]
        self.from_np, from_ok = FROM_NP[from_np]
        self.ok = dd_ok and to_ok and progress_ok and from_ok

    def __repr__(self):
        return f"Host{self.names}"

    def install(self, api):
        api.TorchTools = types.SimpleNamespace(get_device_dtype=self.get_device_dtype)
        api.ImageTools.to_np = self.to_np
        api.ImageTools.from_np = self.from_np

    def tools(self, plugin_dir):
        tools = Tools(plugin_dir, Events())
        tools.progress = self.progress
        return tools


@st.composite
def hosts(draw):
    """Mostly one misbehaving part at a time, so that the others are seen working too."""
    faulty = draw(st.sampled_from([None, None, 0, 1, 2, 3, "all"]))
    names = []
    for part, table in enumerate((DEVICE_DTYPE, TO_NP, PROGRESS, FROM_NP)):
        choices = list(table) if faulty in (part, "all") else [k for k, v in table.items() if v[1]]
        names.append(draw(st.sampled_from(choices)))
    return Host(*names)
INSTANCE_IDS = st.sampled_from([None, 0, "frame-7", Odd(), EqRaises(), 2 ** 90])


# --- the property ---------------------------------------------------------------------------------------------------


def reference(plugin, array, record, params, host):
    """The output a render must give, or the exception that says it must fail."""
    p = reference_params(params)
    device, dtype = host.get_device_dtype()
    if device != plugin.model_loaded_on_device or dtype != plugin.model_loaded_with_dtype:
        bool(dtype == torch.float16)
        torch.zeros(1).to(device)
    if host.to_np is not None:
        host.to_np(record)
    bit_depth = record["bit_depth"]
    if not host.ok:
        raise RuntimeError("the host fails this render")
    return reference_render(array, bit_depth, p.output, p.resize_mode, half=dtype is torch.float16)


def check_request(rig, array, accepted, record, make_params, host, instance_id):
    plugin, api, plugin_dir = rig
    api.events.items.clear()
    host.install(api)
    api.ImageTools.array = array
    api.ImageTools.last = None
    params = make_params()
    before = list(params.items()) if type(params) is dict else None

    got = outcome(lambda: drive(plugin.render(record, params, instance_id, host.tools(plugin_dir))))
    expected = outcome(lambda: reference(plugin, array, record, make_params(), host))

    event(f"render: {got[0]}, reference: {expected[0]}")
    # the plug-in takes only uint8 samples for an 8-bit image, only float32 ones (in [0, 1]) otherwise
    eight_bit = outcome(lambda: not (record["bit_depth"] != 8))
    if eight_bit[0] == "ok" and getattr(array, "dtype", None) != (np.uint8 if eight_bit[1] else np.float32):
        accepted = False
    if before is not None:  # the host's own dictionary is never modified
        assert [k for k, _ in before] == list(params) and all(params[k] is v for k, v in before)
    if got[0] == "ok":
        assert expected[0] == "ok", f"rendered, but must fail with {expected[1]!r}"
        assert list(got[1]) == ["image"]
        out, bit_depth = api.ImageTools.last
        assert bit_depth is record["bit_depth"]
        assert_same_image(out, expected[1])
    elif accepted and host.ok and expected[0] == "ok":
        raise AssertionError(f"a valid request failed: {got[1]!r}")
    good_render(plugin, api, plugin_dir, mode=int(len(api.events.items) % 4 == 0))


@settings(PROPERTY, max_examples=150)
@given(case=valid_arrays(), record=image_records(), params=render_params(), instance_id=INSTANCE_IDS)
def test_odd_parameters_and_records(rig, case, record, params, instance_id):
    check_request(rig, case[0], case[1], record, params[1], Host(), instance_id)


@settings(PROPERTY, max_examples=150)
@given(case=host_arrays(), data=st.data(), mode=st.sampled_from([0, 0, 1]), output=st.sampled_from([1, 2]))
def test_odd_arrays(rig, case, data, mode, output):
    eight_bit_fits = getattr(case[0], "dtype", None) == np.uint8
    bit_depth = data.draw(st.sampled_from([8, 8.0, 16] if eight_bit_fits else [16, 32, 8]), label="bit_depth")
    params = {"output": output, "resize_mode": mode}
    check_request(rig, case[0], case[1], {"bit_depth": bit_depth}, lambda: dict(params), Host(), None)


@settings(PROPERTY, max_examples=120)
@given(case=valid_arrays(), host=hosts(), bit_depth=st.sampled_from([8, 16]), mode=st.sampled_from([0, 1]))
def test_misbehaving_host(rig, case, host, bit_depth, mode):
    params = {"output": 2, "resize_mode": mode}
    array = case[0]
    if bit_depth == 8 and array.dtype != np.uint8:
        bit_depth = 16
    check_request(rig, array, case[1], {"bit_depth": bit_depth}, lambda: dict(params), host, 1)


@settings(PROPERTY, max_examples=60)
@given(case=host_arrays(), record=image_records(), params=render_params(), host=hosts(), instance_id=INSTANCE_IDS)
def test_everything_odd_at_once(rig, case, record, params, host, instance_id):
    check_request(rig, case[0], case[1], record, params[1], host, instance_id)


# --- the coroutine protocol, misused --------------------------------------------------------------------------------


def protocol_step(coro, op):
    wrapper = coro.__await__()
    return {
        "send": lambda: coro.send(None),
        "send-value": lambda: coro.send(1),
        "next": lambda: next(wrapper),
        "throw-cancel": lambda: coro.throw(asyncio.CancelledError()),
        "throw-triple": lambda: coro.throw(ValueError, ValueError("thrown"), None),
        "throw-class": lambda: wrapper.throw(KeyError),
        "throw-exit": lambda: coro.throw(GeneratorExit),
        "throw-stop": lambda: coro.throw(StopIteration(5)),
        "throw-bad": lambda: coro.throw(5),
        "close": lambda: coro.close(),
    }[op]()


@settings(PROPERTY, max_examples=100)
@given(progress=st.sampled_from(list(PROGRESS)),
       ops=st.lists(st.sampled_from(["send", "send-value", "next", "throw-cancel", "throw-triple", "throw-class",
                                     "throw-exit", "throw-stop", "throw-bad", "close"]), max_size=6))
def test_coroutine_protocol_misuse(rig, progress, ops):
    """send/throw/close in any order: each answers or raises; the object stays sound."""
    plugin, api, plugin_dir = rig
    api.ImageTools.array = GOOD_RGB
    coro = plugin.render({"bit_depth": 8}, {}, None, Host(progress=progress).tools(plugin_dir))
    for op in ops:
        try:
            protocol_step(coro, op)
        except (Exception, GeneratorExit, asyncio.CancelledError):
            pass
    coro.close()
    assert coro.cr_running is False
    with pytest.raises((RuntimeError, StopIteration)):
        coro.send(None)  # finished, or never to run again
    good_render(plugin, api, plugin_dir)
