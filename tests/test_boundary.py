"""The Python boundary: the module object, signatures, argument errors and the failure exception."""
import pytest

import _travune as t
from conftest import child_env, run_python

SIGNATURES = {
    "load_flat_json": '(trv_path, config_path, entry="main", cache_keys=...)',
    "parse_to_json": "(source)",
    "resolve_json": "(module_json, config_json)",
    "flatten_json": "(module_json, entry, cache_keys=...)",
    "infer_axes_json": "(module_json)",
    "check_json": "(module_json)",
    "fmt_source": "(source, *, width=100)",
    "fmt_json": "(module_json, *, width=100)",
    "check_file": "(path)",
    "fmt_file": "(path, *, width=100)",
}


def test_module_object_and_signatures():
    assert (t.__all__, t.__doc__) == (list(SIGNATURES), "")
    assert sorted(n for n in vars(t) if not n.startswith("__")) == sorted(SIGNATURES)
    for name, sig in SIGNATURES.items():
        fn = getattr(t, name)
        assert (fn.__text_signature__, fn.__doc__, fn.__module__, fn.__name__) == (sig, None, "_travune", name)


@pytest.mark.parametrize("call,exc,text", [
    (lambda: t.fmt_source("x", 80), TypeError,
     "fmt_source() takes 1 positional arguments but 2 were given"),
    (lambda: t.load_flat_json("a"), TypeError,
     "load_flat_json() missing 1 required positional argument: 'config_path'"),
    (lambda: t.load_flat_json(), TypeError,
     "load_flat_json() missing 2 required positional arguments: 'trv_path' and 'config_path'"),
    (lambda: t.load_flat_json(1, 2, 3, 4, 5), TypeError,
     "load_flat_json() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: t.fmt_source(source="x", wid=3), TypeError,
     "fmt_source() got an unexpected keyword argument 'wid'"),
    (lambda: t.fmt_source("x", source="y"), TypeError,
     "fmt_source() got multiple values for argument 'source'"),
    (lambda: t.fmt_json("{}", width=None), TypeError,
     "argument 'width': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: t.fmt_json("{}", width=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: t.fmt_json("{}", width=2**64), OverflowError, None),
    (lambda: t.flatten_json("{}", "main", "k"), TypeError,
     "argument 'cache_keys': Can't extract `str` to `Vec`"),
    (lambda: t.flatten_json("{}", "main", {"k"}), TypeError,
     "argument 'cache_keys': 'set' object cannot be converted to 'Sequence'"),
    (lambda: t.flatten_json("{}", "main", ["k", 1]), TypeError,
     "argument 'cache_keys': 'int' object cannot be converted to 'PyString'"),
    (lambda: t.check_file(b"x"), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: t.load_flat_json("a", "b", None), TypeError,
     "argument 'entry': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: t.parse_to_json("\ud800"), UnicodeEncodeError, None),
    # Argument errors come before any work: the malformed JSON or the missing file is not looked at.
    (lambda: t.fmt_json("{", width=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: t.fmt_file("/nonexistent/m.trv", width="wide"), TypeError,
     "argument 'width': 'str' object cannot be interpreted as an integer"),
])
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text


def test_panic_exception_class():
    with pytest.raises(BaseException) as info:
        t.parse_to_json("f(")
    exc = type(info.value)
    assert exc.__name__ == "PanicException"
    assert exc.__module__ == "pyo3_runtime"
    assert exc.__bases__ == (BaseException,)
    assert not issubclass(exc, Exception)
    assert "BaseException" in exc.__doc__
    assert info.value.args == (str(info.value),)
    # The module stays usable, and the class is created once.
    with pytest.raises(exc):
        t.parse_to_json("g(")


def test_failure_report_on_stderr():
    code = ("import _travune as t\n"
            "for _ in range(2):\n"
            "    try:\n"
            "        t.parse_to_json('f(')\n"
            "    except BaseException as e:\n"
            "        print(str(e))\n")
    proc = run_python(code)
    message = proc.stdout.splitlines()[0]
    lines = proc.stderr.split("\n")
    assert lines[0] == ""
    assert lines[1].startswith("thread '<unnamed>' (")
    assert ") panicked at library/src/" in lines[1] and lines[1].endswith(":")
    assert lines[2] == message
    assert lines[3].startswith("note: ")
    # The note follows the first report only.
    assert proc.stderr.count("note: ") == 1
    assert proc.stderr.count("panicked at") == 2


# A cache key sequence whose __getitem__ drops every other reference to the call's arguments
# (functools.partial lends its stored arguments to the call) and fills the freed memory with
# another module's text: the call must still read its own arguments.
BORROWED_ARGUMENTS = r'''
import functools, gc, sys, _travune as t
GOOD = t.parse_to_json("main(x: f32[N]) -> (y: f32[N]) {\n  y = map[relu](x)\n}\n")
OTHER = '{"functions":{"main":{"name":"main","params":[],"returns":[],"ops":[]}}}'
p = None

class Keys:
    def __len__(self):
        return 1
    def __getitem__(self, i):
        if i:
            raise IndexError
        p.__setstate__((t.flatten_json, ("other",), {}, None))
        gc.collect()
        junk = [OTHER + " " * (len(GOOD) - len(OTHER)) for _ in range(200)]
        return "k"

if sys.argv[1] == "flatten_json":
    m, entry = GOOD[:-1] + "}", "".join(["ma", "in"])
    expected = t.flatten_json(m, entry, ["k"])
    p = functools.partial(t.flatten_json, m, entry)
else:
    trv, config = (a[:-1] + a[-1] for a in sys.argv[2:4])  # copies only the call holds
    expected = t.load_flat_json(trv, config, "main", ["k"])
    p = functools.partial(t.load_flat_json, trv, config, "".join(["ma", "in"]))
m = entry = trv = config = None
got = p(cache_keys=Keys())
print("same" if got == expected else "DIFFERENT: " + got[:80])
'''


@pytest.mark.parametrize("malloc", ["", "debug"])
@pytest.mark.parametrize("which", ["flatten_json", "load_flat_json"])
def test_arguments_are_owned_for_the_whole_call(write_file, which, malloc):
    trv = write_file("main(x: f32[N]) -> (y: f32[N]) {\n  y = map[relu](x)\n}\n")
    proc = run_python(BORROWED_ARGUMENTS, which, trv, write_file("[shape]\nN = 4\n", "config.toml"),
                      env=child_env(PYTHONMALLOC=malloc), timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "same\n", "")
