"""OutputEnum and Params: the render parameter declarations."""
import enum
import typing

import pydantic
import pytest

import Tavelin
from Tavelin import OutputEnum, Params


class Reference(enum.IntEnum):  # the same declaration written in Python, without a docstring
    LUMA_MATTE = 1
    CUTOUT = 2


# --- OutputEnum ---------------------------------------------------------------------------------

def test_output_enum_class():
    assert issubclass(OutputEnum, enum.IntEnum)
    assert OutputEnum.__bases__ == (enum.IntEnum,)
    assert OutputEnum.__module__ == "Tavelin"
    assert OutputEnum.__qualname__ == OutputEnum.__name__ == "OutputEnum"
    assert OutputEnum.__doc__ == Reference.__doc__
    assert list(OutputEnum) == [OutputEnum.LUMA_MATTE, OutputEnum.CUTOUT]
    assert list(OutputEnum.__members__) == ["LUMA_MATTE", "CUTOUT"]
    assert Tavelin.OutputEnum is OutputEnum


@pytest.mark.parametrize("value, name", [(1, "LUMA_MATTE"), (2, "CUTOUT")])
def test_output_enum_members(value, name):
    member = OutputEnum(value)
    assert member is getattr(OutputEnum, name)
    assert member.name == name and member.value == value
    assert member == value and int(member) == value
    assert type(member) is OutputEnum


@pytest.mark.parametrize("value", [0, 3, "1"])
def test_output_enum_rejects_other_values(value):
    with pytest.raises(ValueError):
        OutputEnum(value)


def test_output_enum_has_no_extra_names():
    own = {k for k in vars(OutputEnum) if not k.startswith("_")}
    assert own == {"LUMA_MATTE", "CUTOUT"}


# --- the Params class -------------------------------------------------------------------------

def test_params_class():
    assert issubclass(Params, pydantic.BaseModel)
    assert Params.__bases__ == (pydantic.BaseModel,)
    assert Params.__module__ == "Tavelin"
    assert Params.__qualname__ == Params.__name__ == "Params"
    assert Params.__doc__ is None
    assert Params.__annotations__ == {"output": "OutputEnum", "resize_mode": "Any"}
    assert list(Params.__annotations__) == ["output", "resize_mode"]
    assert Params.model_config == {"use_enum_values": True}
    assert Tavelin.Params is Params


def test_params_fields():
    fields = Params.model_fields
    assert list(fields) == ["output", "resize_mode"]
    assert fields["output"].annotation is OutputEnum
    assert fields["output"].default is OutputEnum.CUTOUT
    assert fields["resize_mode"].annotation is typing.Any
    assert fields["resize_mode"].default == 1 and type(fields["resize_mode"].default) is int
    for f in fields.values():
        assert f.is_required() is False
        assert f.alias is None and f.description is None and f.default_factory is None


# --- construction edge cases -----------------------------------------------------------------

def test_defaults_are_not_validated():
    p = Params()
    assert p.output is OutputEnum.CUTOUT
    assert p.output == 2
    assert p.resize_mode == 1 and type(p.resize_mode) is int


@pytest.mark.parametrize(
    "given, expected",
    [(1, 1), (2, 2), (OutputEnum.LUMA_MATTE, 1), (OutputEnum.CUTOUT, 2)],
)
def test_supplied_output_is_held_as_plain_int(given, expected):
    p = Params(output=given)
    assert type(p.output) is int
    assert p.output == expected
    assert p.output == OutputEnum(expected)


@pytest.mark.parametrize("bad", [0, 3, -1, "x", None, 2.5])
def test_invalid_output_raises_validation_error(bad):
    with pytest.raises(pydantic.ValidationError) as info:
        Params(output=bad)
    errors = info.value.errors()
    assert [e["loc"] for e in errors] == [("output",)]


@pytest.mark.parametrize("mode", ["x", 2.5, None, "2", -7, [1, 2], 0])
def test_resize_mode_is_held_unchanged(mode):
    p = Params(resize_mode=mode)
    assert p.resize_mode is mode
    assert p.output is OutputEnum.CUTOUT


def test_extra_keys_are_ignored():
    p = Params(output=2, other=5)
    assert p.output == 2
    assert not hasattr(p, "other")
    assert "other" not in p.model_dump()
    assert p.model_extra is None


def test_host_dictionary_unpacking():
    params = {"output": 1, "resize_mode": 3, "unused": "x"}
    p = Params(**params)
    assert (p.output, p.resize_mode) == (1, 3)
    assert params == {"output": 1, "resize_mode": 3, "unused": "x"}


@pytest.mark.parametrize("output", [1, 2])
def test_output_compares_with_both_members(output):
    p = Params(output=output)
    assert (p.output == OutputEnum.LUMA_MATTE) is (output == 1)
    assert (p.output == OutputEnum.CUTOUT) is (output == 2)
