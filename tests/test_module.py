"""Import-time behaviour of the extension module: slots, namespace, refusals.

Anything that needs a fresh interpreter (first import, failing import,
TYPE_CHECKING, a second interpreter) runs in a subprocess.
"""
import ctypes
import enum
import os
import subprocess
import sys
import textwrap
import types
import typing

import pydantic
import pytest

import Tavelin

PLUGIN_DIR = os.path.dirname(os.path.abspath(Tavelin.__file__))

NAMES = ["TYPE_CHECKING", "IntEnum", "Any", "Dict", "BaseModel", "Field", "OutputEnum", "Params", "os", "Tavelin"]
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REINIT = "Module 'Tavelin' has already been imported. Re-initialisation is not supported."


def run_python(code, cwd=None):
    """Runs `code` in a fresh interpreter that sees only the built module; returns stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = PLUGIN_DIR
    env.pop("PYTHONSTARTUP", None)
    prelude = f"import sys\nsys.path.insert(0, {PLUGIN_DIR!r})\n"
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True, text=True, env=env, cwd=cwd, timeout=60,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def user_names(module):
    return [k for k in vars(module) if not k.startswith("__")]


# --- namespace ---------------------------------------------------------------------------------

def test_namespace_order():
    assert user_names(Tavelin) == NAMES


@pytest.mark.parametrize(
    "name, value",
    [
        ("TYPE_CHECKING", typing.TYPE_CHECKING),
        ("IntEnum", enum.IntEnum),
        ("Any", typing.Any),
        ("Dict", typing.Dict),
        ("BaseModel", pydantic.BaseModel),
        ("Field", pydantic.Field),
        ("os", os),
    ],
)
def test_imported_names_are_the_library_objects(name, value):
    assert getattr(Tavelin, name) is value


def test_standard_attributes():
    assert Tavelin.__name__ == "Tavelin"
    assert Tavelin.__doc__ is None
    assert Tavelin.__package__ == ""
    assert Tavelin.__file__ == Tavelin.__spec__.origin
    assert Tavelin.__loader__ is not None
    assert not hasattr(Tavelin, "__path__")
    assert vars(Tavelin)["__builtins__"] is __import__("builtins")


def test_import_needs_no_heavy_libraries_and_no_host_package():
    out = run_python(
        """
        import Tavelin
        print(sorted(m for m in ("torch", "numpy", "cv2", "Server") if m in sys.modules))
        print(Tavelin.TYPE_CHECKING)
        """
    )
    assert out.split("\n")[:2] == ["[]", "False"]


def test_host_package_present_is_left_alone(tmp_path):
    server = tmp_path / "Server"
    (server / "tools").mkdir(parents=True)
    (server / "__init__.py").write_text("raise AssertionError('Server imported at run time')\n")
    (server / "tools" / "__init__.py").write_text("")
    (server / "tools" / "image_tools.py").write_text("class ImageTools: pass\n")
    (server / "zelapi.py").write_text("class ZELAPI: pass\n")
    out = run_python(
        f"""
        sys.path.insert(0, {str(tmp_path)!r})
        import Tavelin
        print("Server" in sys.modules, hasattr(Tavelin, "ImageTools"), hasattr(Tavelin, "ZELAPI"))
        """
    )
    assert out.strip() == "False False False"


# --- repeated import ---------------------------------------------------------------------------

def test_repeated_import_returns_the_same_module_without_running_again():
    out = run_python(
        """
        import importlib
        import Tavelin
        first = Tavelin
        params, plugin, enum_ = Tavelin.Params, Tavelin.Tavelin, Tavelin.OutputEnum
        Tavelin.marker = "kept"       # a re-execution would not touch it, but a new module would lack it
        del sys.modules["Tavelin"]
        import Tavelin as again
        assert again is first
        assert sys.modules["Tavelin"] is first
        assert again.Params is params and again.Tavelin is plugin and again.OutputEnum is enum_
        assert again.marker == "kept"
        assert importlib.reload(again) is first
        assert first.Params is params and first.Tavelin is plugin
        del first.marker
        print([k for k in vars(first) if not k.startswith("__")])
        """
    )
    assert out.strip() == repr(NAMES)


def test_repeated_import_in_this_process():
    params, plugin = Tavelin.Params, Tavelin.Tavelin
    saved = sys.modules.pop("Tavelin")
    try:
        import Tavelin as again
    finally:
        sys.modules["Tavelin"] = saved
    assert again is saved
    assert again.Params is params and again.Tavelin is plugin
    assert user_names(again) == NAMES


def test_module_table_entry_precedes_class_creation():
    # Executed without importlib having put the module into sys.modules first: the exec slot
    # adds the entry itself, early enough for pydantic to resolve "OutputEnum" through it.
    out = run_python(
        """
        import importlib.util, glob, os
        path = glob.glob(os.path.join(sys.path[0], "Tavelin*.so"))[0]
        spec = importlib.util.spec_from_file_location("Tavelin", path)
        module = importlib.util.module_from_spec(spec)
        assert "Tavelin" not in sys.modules
        spec.loader.exec_module(module)
        assert sys.modules["Tavelin"] is module
        p = module.Params(output=1)
        print(type(p.output).__name__, p.output, module.Params.model_fields["output"].annotation is module.OutputEnum)
        """
    )
    assert out.strip() == "int 1 True"


# --- the module definition and its slots -------------------------------------------------------

class PyModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class PyModuleDef(ctypes.Structure):
    _fields_ = [
        # PyModuleDef_Base: PyObject_HEAD, m_init, m_index, m_copy
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(PyModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p),
        ("m_clear", ctypes.c_void_p),
        ("m_free", ctypes.c_void_p),
    ]


def module_def():
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.POINTER(PyModuleDef)
    get_def.argtypes = [ctypes.py_object]
    return get_def(Tavelin)


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="debug builds lay out PyObject differently")
def test_module_definition_has_exactly_create_and_exec_slots():
    d = module_def().contents
    assert d.m_name == b"Tavelin"
    assert d.m_doc is None
    assert d.m_size == 0
    assert not d.m_methods
    slots = []
    i = 0
    while d.m_slots[i].slot != 0:
        slots.append((d.m_slots[i].slot, bool(d.m_slots[i].value)))
        i += 1
    py_mod_create, py_mod_exec = 1, 2
    assert slots == [(py_mod_create, True), (py_mod_exec, True)]
    assert not d.m_traverse and not d.m_clear and not d.m_free


def test_exec_slot_refuses_another_module_object():
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype = ctypes.c_int
    exec_def.argtypes = [ctypes.py_object, ctypes.POINTER(PyModuleDef)]
    other = types.ModuleType("Tavelin")
    before = dict(vars(Tavelin))
    with pytest.raises(RuntimeError) as info:
        exec_def(other, module_def())
    assert str(info.value) == REINIT
    assert user_names(other) == []
    assert vars(Tavelin) == before and sys.modules["Tavelin"] is Tavelin


def test_exec_slot_accepts_its_own_module_again():
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype = ctypes.c_int
    exec_def.argtypes = [ctypes.py_object, ctypes.POINTER(PyModuleDef)]
    params = Tavelin.Params
    assert exec_def(Tavelin, module_def()) == 0
    assert Tavelin.Params is params


def test_create_slot_copies_spec_attributes_and_skips_missing_ones():
    out = run_python(
        """
        import _imp, glob, os
        path = glob.glob(os.path.join(sys.path[0], "Tavelin*.so"))[0]

        class Minimal:            # no loader, no parent, no submodule_search_locations
            name = "Tavelin"
            origin = path

        class Full(Minimal):
            loader = None
            parent = "pkg"
            submodule_search_locations = ["/nowhere"]

        class Broken(Minimal):
            @property
            def parent(self):
                raise ValueError("parent is broken")

        m = _imp.create_dynamic(Minimal())
        assert m.__loader__ is None and m.__package__ is None and m.__file__ == path
        print(sorted(vars(m)))
        m = _imp.create_dynamic(Full())
        print(sorted(k for k in vars(m) if k in ("__loader__", "__file__", "__package__", "__path__")),
              m.__loader__, m.__package__, m.__path__, m.__file__ == path)
        try:
            _imp.create_dynamic(Broken())
        except ValueError as e:
            print("ValueError", e)
        """
    )
    lines = out.splitlines()
    # a fresh module's own attributes plus __file__ only; nothing made up for the missing ones
    assert lines[0] == "['__doc__', '__file__', '__loader__', '__name__', '__package__', '__spec__']"
    assert lines[1] == "['__file__', '__loader__', '__package__', '__path__'] None pkg ['/nowhere'] True"
    assert lines[2] == "ValueError parent is broken"


# --- refusals and failure ----------------------------------------------------------------------

def subinterpreter_module():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return __import__(name)
        except ImportError:
            continue
    return None


SUBINTERPRETER_IMPORT = """
import sys
sys.path.insert(0, {plugin_dir!r})
try:
    import Tavelin
    Tavelin.Tavelin(object())  # an error raised through the plug-in
    text = "constructed"
except ImportError as e:
    text = "ImportError: " + str(e) + " | in modules: " + str("Tavelin" in sys.modules)
except AttributeError:
    text = "imported"
with open({result!r}, "w") as f:
    f.write(text)
"""


@pytest.mark.skipif(subinterpreter_module() is None, reason="this interpreter offers no subinterpreter module")
@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_second_interpreter_is_refused(tmp_path, main_first):
    # A subinterpreter importing first once got a working module until an error passed through
    # it: then the process hung for ever. Only the main interpreter gets the module.
    result = tmp_path / "result.txt"
    inner = SUBINTERPRETER_IMPORT.format(plugin_dir=PLUGIN_DIR, result=str(result))
    out = run_python(
        f"""
        {"import Tavelin as first" if main_first else "first = None"}
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, {inner!r})
        finally:
            interpreters.destroy(interp)
        import Tavelin                   # the main interpreter has or gets the module
        try:
            Tavelin.Tavelin(object())
        except AttributeError:
            print(first in (None, Tavelin), "Tavelin" in sys.modules)
        """
    )
    assert out.strip() == "True True"
    assert result.read_text() == f"ImportError: {INTERPRETER_CHANGE} | in modules: False"


TYPE_CHECKING_PRELUDE = """
import typing, enum, os, types
import pydantic                     # before the flag flips: pydantic reads it when it loads
pydantic.BaseModel, pydantic.Field  # its lazily loaded exports, too
typing.TYPE_CHECKING = True

def fake_host():
    for name in ("Server", "Server.tools"):
        m = types.ModuleType(name)
        m.__path__ = []
        sys.modules[name] = m
    image_tools = types.ModuleType("Server.tools.image_tools")
    class ImageTools: pass
    image_tools.ImageTools = ImageTools
    zelapi = types.ModuleType("Server.zelapi")
    class ZELAPI: pass
    zelapi.ZELAPI = ZELAPI
    sys.modules["Server.tools.image_tools"] = image_tools
    sys.modules["Server.zelapi"] = zelapi
    return ImageTools, ZELAPI
"""


def test_type_checking_binds_host_names_before_the_class():
    out = run_python(
        TYPE_CHECKING_PRELUDE
        + """
ImageTools, ZELAPI = fake_host()
import Tavelin
assert Tavelin.ImageTools is ImageTools and Tavelin.ZELAPI is ZELAPI
assert Tavelin.TYPE_CHECKING is True
print([k for k in vars(Tavelin) if not k.startswith("__")])
"""
    )
    names = NAMES[:-1] + ["ImageTools", "ZELAPI", "Tavelin"]
    assert out.strip() == repr(names)


def test_type_checking_without_host_fails_and_a_later_import_starts_over():
    out = run_python(
        TYPE_CHECKING_PRELUDE
        + """
try:
    import Tavelin
except ModuleNotFoundError as e:
    print("failed:", e.name)
print("Tavelin" in sys.modules)
ImageTools, ZELAPI = fake_host()
import Tavelin
print([k for k in vars(Tavelin) if not k.startswith("__")])
p = Tavelin.Params(output=1)
print(p.output, type(Tavelin.Tavelin.__dict__["render"]).__name__)
del sys.modules["Tavelin"]
import Tavelin as again
print(again is Tavelin)
"""
    )
    lines = out.splitlines()
    assert lines[0] == "failed: Server"
    assert lines[1] == "False"
    assert lines[2] == repr(NAMES[:-1] + ["ImageTools", "ZELAPI", "Tavelin"])
    assert lines[3] == "1 function"
    assert lines[4] == "True"


def test_missing_host_name_is_an_import_error():
    out = run_python(
        TYPE_CHECKING_PRELUDE
        + """
fake_host()
del sys.modules["Server.zelapi"].ZELAPI
try:
    import Tavelin
except ImportError as e:
    print(type(e).__name__, e)
print("Tavelin" in sys.modules)
"""
    )
    assert out.splitlines() == ["ImportError cannot import name ZELAPI", "False"]


def test_failed_import_can_be_retried_after_fixing():
    # The first import fails in the middle of the sequence (after OutputEnum and Params exist);
    # a later one starts over and builds fresh classes.
    out = run_python(
        TYPE_CHECKING_PRELUDE
        + """
try:
    import Tavelin
except ImportError:
    pass
typing.TYPE_CHECKING = False
import Tavelin
print([k for k in vars(Tavelin) if not k.startswith("__")], Tavelin.TYPE_CHECKING)
"""
    )
    assert out.strip() == f"{NAMES!r} False"


def test_module_in_table_lacking_a_requested_name_is_imported_again():
    # A "pydantic" in sys.modules that lacks the first of the two names: the module is imported
    # with the names as from-list, and the missing one makes the import fail cleanly.
    out = run_python(
        """
        import types, pydantic
        real = pydantic
        fake = types.ModuleType("pydantic")
        fake.Field = real.Field
        sys.modules["pydantic"] = fake
        try:
            import Tavelin
        except ImportError as e:
            print(type(e).__name__, e)
        print("Tavelin" in sys.modules)
        sys.modules["pydantic"] = real
        import Tavelin
        print(Tavelin.BaseModel is real.BaseModel, Tavelin.Params(output=2).output)
        """
    )
    assert out.splitlines() == ["ImportError cannot import name BaseModel", "False", "True 2"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the ELF dynamic symbol table with nm")
def test_only_exported_function_is_the_entry_point():
    nm = subprocess.run(["nm", "-D", "--defined-only", Tavelin.__file__], capture_output=True, text=True) \
        if any(os.access(os.path.join(d, "nm"), os.X_OK) for d in os.environ.get("PATH", "").split(os.pathsep)) \
        else None
    if nm is None or nm.returncode != 0:
        pytest.skip("nm is not available")
    functions = [line.split()[-1] for line in nm.stdout.splitlines() if line.split()[1:2] in (["T"], ["W"], ["i"])]
    assert functions == ["PyInit_Tavelin"]


def test_host_contract_module_matches_the_plugin_header():
    """The stand-in host and the tests read the contract from tavelin_host.contract;
    the plug-in from its C++ header. Both must hold the same values."""
    import re
    from pathlib import Path

    from tavelin_host import contract

    root = Path(__file__).resolve().parents[1]
    header = (root / "plugin" / "Tavelin" / "matting" / "contract.hpp").read_text()
    strings = dict(re.findall(r'constexpr const char \*(\w+) = "([^"]*)";', header))
    ints = {name: int(value) for name, value in re.findall(r"constexpr int (\w+) = (\d+);", header)}
    for name in ("MODULE_NAME", "MODNEXT_ATTR", "PLUGIN_VERSION", "MODELS_DIR", "FLOAT32_WEIGHTS", "FLOAT16_WEIGHTS"):
        assert strings[name] == getattr(contract, name), name
    for name in ("LUMA_MATTE", "CUTOUT"):
        assert ints[name] == getattr(contract, name), name
    sizes = re.search(r"MODE_SIZES = \{([^}]*)\}", header).group(1)
    assert tuple(int(v) for v in sizes.split(",")) == contract.MODE_SIZES
    steps = re.findall(r'\{"([^"]*)", (\d+)\}', header.split("LOAD_STEPS = {{", 1)[1].split("}};", 1)[0])
    assert tuple((message, int(percent)) for message, percent in steps) == contract.LOAD_STEPS
