"""Finds the extension (the build tree of `make build` when not installed); helpers the tests share."""
import json
import os
import pathlib
import subprocess
import sys

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


EXAMPLES = _ROOT / "examples"


def ty(*dims, dtype="f32"):
    """A tensor type of the module's JSON form."""
    return {"dtype": dtype, "shape": list(dims)}


def op(kind, outputs=("y",), output_types=None, args=(), **fields):
    """An op of the module's JSON form; outputs are untyped unless their types are given."""
    types = [None] * len(outputs) if output_types is None else list(output_types)
    return {"kind": kind, **fields, "outputs": list(outputs), "output_types": types, "args": list(args)}


def fn(name="main", params=(), returns=(), ops=()):
    """A function of the module's JSON form; its params and returns as (name, type) pairs."""
    typed = lambda pairs: [{"name": n, "ty": t} for n, t in pairs]  # noqa: E731
    return {"name": name, "params": typed(params), "returns": typed(returns), "ops": list(ops)}


def functions_text(*entries, tail=""):
    """A compact module text from (key, function) pairs, repeated keys kept, then `tail`."""
    body = ",".join(json.dumps(k) + ":" + json.dumps(f, separators=(",", ":")) for k, f in entries)
    return '{"functions":{%s}%s}' % (body, tail)


def module_text(*functions):
    """The compact JSON text of a module of these functions, each under its name."""
    return functions_text(*((f["name"], f) for f in functions))


def child_env(**extra):
    """The environment of a child interpreter that imports the same extension as this one."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **extra)


def run_python(code, *args, env=None, timeout=600, **kwargs):
    """Runs `code` in a child interpreter with `args`; returns the finished process (text mode)."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env or child_env(),
                          capture_output=True, text=True, timeout=timeout, **kwargs)


@pytest.fixture
def write_file(tmp_path):
    """Writes text (or bytes) to a file of the test's folder; returns its path as a str."""
    def write(text, name="m.trv"):
        path = tmp_path / name
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8")
        return str(path)
    return write
