"""load_model: progress steps, console lines, file choice by precision,
placement, the guarded warm-up and what a failed load leaves behind."""
import platform
import sys

import pytest
import torch

import Tavelin
from tavelin_host.contract import LOAD_STEPS, MODNEXT_ATTR
from testkit.host_double import API, Tools
from testkit.networks import make_plugin_dir, weight_file

STEPS = LOAD_STEPS
LOADED_EVENTS = [("progress_bar",) + s for s in STEPS] + [("close_progress_bar",), ("empty_cache",)]


@pytest.fixture(scope="module")
def plugin_dir(tmp_path_factory):
    return make_plugin_dir(tmp_path_factory.mktemp("plugin"))


@pytest.fixture(scope="module")
def raising_dir(tmp_path_factory):
    return make_plugin_dir(tmp_path_factory.mktemp("raising"), raise_at_512=True)


@pytest.fixture(autouse=True)
def host_machine(monkeypatch):
    """A Linux x86-64 machine; the pause and the thread limit are recorded, not performed."""
    calls = []
    monkeypatch.setattr(sys, "platform", "linux")
    monkeypatch.setattr(platform, "machine", lambda: "x86_64")
    monkeypatch.setattr("time.sleep", lambda s: calls.append(("sleep", s)))
    monkeypatch.setattr(torch, "set_num_threads", lambda n: calls.append(("set_num_threads", n)))
    return calls


def new(device="cpu"):
    api = API()
    return Tavelin.Tavelin(api), api


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_progress_console_and_records(plugin_dir, capsys, host_machine):
    plugin, api = new()
    host_machine_order = []
    api.ui.progress_bar = (lambda orig: lambda m, p: (host_machine_order.append(list(host_machine)), orig(m, p)))(
        api.ui.progress_bar)
    assert plugin.load_model("cpu", torch.float32, Tools(plugin_dir)) is None
    assert api.events.items == LOADED_EVENTS
    assert lines(capsys) == [
        "[Tavelin] Loading model on device: cpu (dtype: torch.float32)",
        "[Tavelin] Model warmup completed",
        "model loaded",
    ]
    # the 0.1 s pause comes between the first two progress steps
    assert host_machine_order[0] == [] and host_machine_order[1] == [("sleep", 0.1)]
    assert host_machine == [("sleep", 0.1)]
    assert plugin.model_on_device == "cpu"
    assert plugin.model_loaded_on_device == "cpu"
    assert plugin.model_loaded_with_dtype is torch.float32
    assert plugin.modnext.training is False


class LooksLikeHalf:
    """Equal to torch.float16 without being it."""

    def __eq__(self, other):
        return other is torch.float16

    __hash__ = object.__hash__

    def __str__(self):
        return "looks-like-half"


@pytest.mark.parametrize(
    "dtype, tag, module_dtype, dummy_dtype",
    [
        (torch.float16, 16, torch.float16, torch.float16),
        (torch.float32, 32, torch.float32, torch.float32),
        (torch.float64, 32, torch.float32, torch.float32),
        (torch.bfloat16, 32, torch.float32, torch.float32),
        # the file and the dummy input follow equality, the module conversion identity
        (LooksLikeHalf(), 16, torch.float32, torch.float16),
    ],
)
def test_precision_choices(plugin_dir, capsys, dtype, tag, module_dtype, dummy_dtype):
    plugin, api = new()
    plugin.load_model(torch.device("cpu"), dtype, Tools(plugin_dir))
    net = plugin.modnext
    assert net.tag == tag
    assert net.w.dtype == module_dtype
    assert [(tuple(x.shape), x.dtype) for x in net.seen] == [((512, 512, 3), dummy_dtype)]
    assert net.grad == [False]
    assert not bool(net.seen[0].any())
    assert plugin.model_loaded_with_dtype is dtype
    out = lines(capsys)
    assert out[0] == f"[Tavelin] Loading model on device: cpu (dtype: {dtype})"
    assert out[-1] == "model loaded"


def test_warm_up_failure_is_reported_and_load_completes(raising_dir, capsys):
    plugin, api = new()
    records = {}

    def progress_bar(message, percent):
        api.events.add("progress_bar", message, percent)
        if percent == 90:  # the records are written before the warm-up
            records.update(device=getattr(plugin, "model_loaded_on_device"),
                           dtype=getattr(plugin, "model_loaded_with_dtype"))

    api.ui.progress_bar = progress_bar
    assert plugin.load_model("cpu", torch.float32, Tools(raising_dir)) is None
    assert records == {"device": "cpu", "dtype": torch.float32}
    assert api.events.items == LOADED_EVENTS
    out = capsys.readouterr().out
    assert "[Tavelin] Warning: Model warmup failed: " in out
    assert "this network takes no 512 x 512 input" in out
    assert "Model warmup completed" not in out
    assert out.splitlines()[-1] == "model loaded"
    assert plugin.model_loaded_on_device == "cpu" and plugin.model_loaded_with_dtype is torch.float32
    assert torch.is_grad_enabled() and torch._C._get_graph_executor_optimize()


def test_missing_file_propagates_and_closes_the_bar(plugin_dir, tmp_path, capsys):
    plugin, api = new()
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    before = plugin.modnext
    capsys.readouterr()
    api.events.items.clear()
    with pytest.raises(Exception) as raised:
        plugin.load_model("cpu", torch.float16, Tools(str(tmp_path)))
    with pytest.raises(type(raised.value)) as direct:
        torch.jit.load(weight_file(tmp_path, half=True))
    assert str(raised.value) == str(direct.value)
    assert api.events.items == [("progress_bar",) + s for s in STEPS[:4]] + [("close_progress_bar",)]
    assert plugin.modnext is before
    assert plugin.model_loaded_on_device == "cpu" and plugin.model_loaded_with_dtype is torch.float32
    assert "model loaded" not in lines(capsys)


def test_missing_file_on_fresh_object_leaves_it_unloaded(tmp_path):
    plugin, api = new()
    with pytest.raises(Exception):
        plugin.load_model("cpu", torch.float32, Tools(str(tmp_path)))
    assert not hasattr(plugin, MODNEXT_ATTR) and not hasattr(plugin, "model_on_device")
    assert plugin.model_loaded_on_device == "Not loaded on any device"
    assert plugin.model_loaded_with_dtype == "Not loaded with any dtype"


@pytest.mark.parametrize("fail_at", [0, 10, 30, 70, 90, 100])
def test_progress_bar_error_propagates_and_bar_is_closed(plugin_dir, fail_at):
    plugin, api = new()
    api.ui.fail_at = fail_at
    with pytest.raises(RuntimeError, match=f"progress bar failed at {fail_at}"):
        plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    names = api.events.names()
    assert names[-1] == "close_progress_bar" and names.count("close_progress_bar") == 1
    assert "empty_cache" not in names
    assert api.events.of("progress_bar")[-1][1] == fail_at


def test_close_failing_after_failed_load_keeps_the_load_error(tmp_path, monkeypatch):
    plugin, api = new()
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def close():
        raise OSError("display gone")

    api.ui.close_progress_bar = close
    with pytest.raises(Exception) as raised:
        plugin.load_model("cpu", torch.float32, Tools(str(tmp_path)))
    assert not isinstance(raised.value, OSError)
    assert [type(u.exc_value) for u in unraisable] == [OSError]


def test_missing_plugin_path_propagates(capsys):
    plugin, api = new()

    class NoPath:
        pass

    with pytest.raises(AttributeError):
        plugin.load_model("cpu", torch.float32, NoPath())
    assert api.events.names()[-1] == "close_progress_bar"
    assert "empty_cache" not in api.events.names()


@pytest.mark.parametrize(
    "system, machine, limited",
    [("linux", "x86_64", False), ("darwin", "x86_64", True), ("darwin", "arm64", False), ("win32", "x86_64", False),
     ("linux", "aarch64", False)],
)
def test_thread_limit_only_on_intel_macs(plugin_dir, capsys, monkeypatch, host_machine, system, machine, limited):
    monkeypatch.setattr(sys, "platform", system)
    monkeypatch.setattr(platform, "machine", lambda: machine)
    plugin, api = new()
    line = "Detected Intel Mac, so setting torch threads to 1 to fix a crash."
    printed_before_call = []
    monkeypatch.setattr(torch, "set_num_threads",
                        lambda n: (host_machine.append(("set_num_threads", n)),
                                   printed_before_call.append(line in capsys.readouterr().out)))
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    out = capsys.readouterr().out.splitlines()
    if limited:
        assert host_machine[-1] == ("set_num_threads", 1)
        assert printed_before_call == [True]
    else:
        assert ("set_num_threads", 1) not in host_machine
        assert line not in out


@pytest.mark.parametrize("order", [("device", "torch_dtype", "tools"), ("tools", "device", "torch_dtype"),
                                   ("torch_dtype", "tools", "device")])
def test_keywords_in_any_order(plugin_dir, order):
    plugin, api = new()
    values = {"device": "cpu", "torch_dtype": torch.float16, "tools": Tools(plugin_dir)}
    plugin.load_model(**{k: values[k] for k in order})
    assert api.events.items == LOADED_EVENTS
    assert plugin.modnext.tag == 16 and plugin.model_loaded_with_dtype is torch.float16


def test_missing_tools_is_a_type_error():
    plugin, api = new()
    with pytest.raises(TypeError, match=r"^load_model\(\) takes exactly 4 positional arguments \(3 given\)$"):
        plugin.load_model("cpu", torch.float32)
    assert api.events.items == []


def test_identical_loads_both_reload(plugin_dir, capsys):
    plugin, api = new()
    tools = Tools(plugin_dir)
    plugin.load_model("cpu", torch.float32, tools)
    first = plugin.modnext
    plugin.load_model("cpu", torch.float32, tools)
    assert plugin.modnext is not first
    assert api.events.items == LOADED_EVENTS * 2
    out = lines(capsys)
    assert out.count("model loaded") == 2
    assert out.count("[Tavelin] Loading model on device: cpu (dtype: torch.float32)") == 2


@pytest.mark.parametrize("already_loaded", [False, True])
def test_network_that_cannot_be_placed_is_not_kept(plugin_dir, already_loaded):
    plugin, api = new()
    if already_loaded:
        plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    before = getattr(plugin, MODNEXT_ATTR, None)
    with pytest.raises(RuntimeError):
        plugin.load_model("no-such-device", torch.float16, Tools(plugin_dir))
    assert getattr(plugin, MODNEXT_ATTR, None) is before
    assert api.events.items[-1] == ("close_progress_bar",)


def test_the_network_is_bound_only_once_placed_and_converted(plugin_dir):
    # Renders on other threads read modnext while a reload runs: until the new network is
    # placed, converted and in evaluation mode they must still see the previous one.
    plugin, api = new()
    plugin.load_model("cpu", torch.float32, Tools(plugin_dir))
    previous = getattr(plugin, MODNEXT_ATTR)
    seen = []
    report = api.ui.progress_bar

    def progress_bar(message, percent):
        seen.append((percent, getattr(plugin, MODNEXT_ATTR) is previous, plugin.model_loaded_with_dtype))
        report(message, percent)

    api.ui.progress_bar = progress_bar
    plugin.load_model("cpu", torch.float16, Tools(plugin_dir))
    loaded = getattr(plugin, MODNEXT_ATTR)
    assert loaded is not previous and not loaded.training
    assert seen == [(p, p < 90, torch.float32 if p < 90 else torch.float16) for _, p in STEPS]
