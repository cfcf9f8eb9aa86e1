"""Finds the extension: the build tree of `make build` when not installed."""
import os
import sys
import pathlib

_ROOT = pathlib.Path(__file__).resolve().parent.parent
_BUILD = pathlib.Path(os.environ.get("TRAVUNE_BUILD", _ROOT / "build" / "dev"))
if str(_BUILD) not in sys.path and _BUILD.is_dir():
    sys.path.insert(0, str(_BUILD))

import pytest

import _travune


def _panic_type():
    try:
        _travune.parse_to_json("(")
    except BaseException as e:  # noqa: BLE001 - the failure exception derives from BaseException
        return type(e)
    raise AssertionError("an unfinished source text parsed")


# The type of the exception that every failure of the work raises.
PanicException = _panic_type()


def panic_text(fn, *args, **kwargs):
    """The text of the PanicException that fn(*args, **kwargs) raises (it must raise one)."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is PanicException, repr(info.value)
    return str(info.value)
