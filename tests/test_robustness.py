"""Whatever a caller passes, every function answers with a str or raises one of the specified
exceptions, and the module stays usable afterwards.

Property tests (hypothesis) over arbitrary text, arbitrary JSON values, module-shaped JSON with
arbitrary field values, and arbitrary Python objects as arguments of each of the ten functions.
"""
import json
import os
import sys
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _travune as t
from conftest import PanicException


class Boom(Exception):
    """Raised by the test's own objects; the boundary must pass it on unchanged."""


ALLOWED = (PanicException, TypeError, OverflowError, UnicodeEncodeError)
SMALL_SOURCE = "f(x: f32[N]) -> (y: f32[N]) {\n  y = map[relu](x)\n}\n"
# TRAVUNE_ROBUSTNESS_EXAMPLES raises the number of examples for a longer search.
SETTINGS = settings(max_examples=int(os.environ.get("TRAVUNE_ROBUSTNESS_EXAMPLES", "60")), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


def still_usable():
    assert t.fmt_source(SMALL_SOURCE) == SMALL_SOURCE
    m = t.parse_to_json(SMALL_SOURCE)
    assert t.fmt_json(m) == SMALL_SOURCE


def outcome(fn, *args, allowed=ALLOWED, **kwargs):
    """Calls fn; returns the str, or the allowed exception, which is checked for its form."""
    try:
        result = fn(*args, **kwargs)
    except allowed as e:
        if isinstance(e, PanicException):
            assert type(e).__mro__[1] is BaseException
            assert len(e.args) == 1 and isinstance(e.args[0], str) and e.args[0]
            assert str(e) == e.args[0]
        still_usable()
        return e
    assert type(result) is str
    result.encode("utf-8")  # a str made from the library's text is always encodable
    return result


def module_text(result):
    """A successful module result is the compact JSON of a module."""
    if isinstance(result, str):
        value = json.loads(result)
        assert isinstance(value, dict) and isinstance(value["functions"], dict)
    return result


# ---- strategies ----

any_text = st.text(alphabet=st.characters(codec=None, exclude_categories=()), max_size=60)
trv_words = st.sampled_from([
    "main", "f", "g", "body", "x", "y", "h", "w", "k", "param.n", "param.d", "param.", "weights.a.0",
    "weights.layers.*", "x.*", "kv.*", "a b", "", "é", "inf", "-inf", "nan", "->", "...", "a.b.c",
    "*", "f32", "i64", "sum", '"q"', "//c", "(", "]", ",", "_e", "1e", "9223372036854775808"])
fn_names = st.sampled_from(["main", "f", "g", "body"])
patterns = st.one_of(st.sampled_from([
    "a b -> b a", "b (h d) -> b h d", "a -> a r", "b i, i o -> b o", "", "->", "a b c", "(a",
    "a ... -> ...", "x y -> (x y)", "a -> ((a", "... -> ...", "b (h d -> b h d", "a a -> a"]),
    st.text(alphabet="ab() .->,hd12", max_size=16))
int64 = st.integers(-2**63, 2**63 - 1)
wide_ints = st.one_of(int64, st.integers(-2**70, 2**70))
dims = st.one_of(int64, trv_words)
ttypes = st.fixed_dictionaries({"dtype": st.one_of(st.sampled_from(["f32", "i64", "*"]), trv_words),
                                "shape": st.lists(dims, max_size=4)})
params = st.fixed_dictionaries({"name": trv_words, "ty": ttypes})
atoms = st.one_of(wide_ints, st.floats(allow_nan=False, allow_infinity=False), trv_words)
literals = st.recursive(
    st.one_of(st.integers(-2**63, 2**64 - 1), st.floats(allow_nan=False, allow_infinity=False),
              st.sampled_from(["inf", "-inf", "nan"])),
    lambda inner: st.lists(inner, max_size=3), max_leaves=8)
KINDS = ["view", "map", "fold", "tile", "read", "write", "contract", "literal", "iota", "random",
         "call", "loop", "cache"]
ops = st.fixed_dictionaries(
    {"kind": st.sampled_from(KINDS),
     "outputs": st.lists(trv_words, min_size=1, max_size=3),
     "output_types": st.lists(st.one_of(st.none(), ttypes), min_size=1, max_size=3),
     "args": st.lists(atoms, max_size=4)},
    optional={"pattern": patterns, "function": trv_words, "reduction": trv_words,
              "axes": st.dictionaries(trv_words, int64, max_size=3), "value": literals,
              "lower": st.one_of(st.floats(allow_nan=False, allow_infinity=False), int64, st.none()),
              "upper": st.one_of(st.floats(allow_nan=False, allow_infinity=False), int64, st.none()),
              "target": fn_names,
              "count": st.one_of(st.integers(0, 3), st.sampled_from([2**64 - 1, 2**63]),
                                 trv_words, st.none()),
              "var": trv_words, "init": fn_names, "extend": st.one_of(fn_names, st.none()),
              "comments": st.lists(st.text(max_size=6), max_size=2)})
functions = st.fixed_dictionaries(
    {"name": fn_names, "params": st.lists(params, max_size=3), "returns": st.lists(params, max_size=2),
     "ops": st.lists(ops, max_size=4)},
    optional={"comments": st.lists(st.text(max_size=6), max_size=2)})
well_formed_modules = st.fixed_dictionaries(
    {"functions": st.dictionaries(fn_names, functions, max_size=4)},
    optional={"header_comments": st.lists(st.text(max_size=6), max_size=2)})
ODD_VALUES = [None, True, 1.5, -1, 2**64, 2**63, "Inf", "View", "bogus", [], {}, [1, "x"], {"a": None}]


@st.composite
def modules(draw):
    """A module, now and then with one value somewhere replaced by an odd one."""
    m = draw(well_formed_modules)
    if draw(st.sampled_from([False, False, False, True])):
        spots = []

        def walk(v):
            items = v.items() if isinstance(v, dict) else enumerate(v) if isinstance(v, list) else ()
            for k, child in items:
                spots.append((v, k))
                walk(child)
        walk(m)
        if spots:
            parent, key = draw(st.sampled_from(spots))
            parent[key] = draw(st.sampled_from(ODD_VALUES))
    return m
json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), wide_ints, st.floats(allow_nan=False, allow_infinity=False),
              any_text),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(any_text, inner, max_size=4)),
    max_leaves=12)
configs = st.dictionaries(
    st.sampled_from(["n", "d", "", "b", "h", "layers", "x"]),
    st.one_of(wide_ints, st.floats(), st.lists(st.floats(allow_nan=False), max_size=3),
              st.sampled_from(["1", True, None, {}, [1, "x"]])), max_size=4)


def dumps(value, ascii_only):
    return json.dumps(value, ensure_ascii=ascii_only, allow_nan=True)


@st.composite
def corrupted(draw, text):
    """Text with a few bytes deleted, inserted or swapped."""
    s = draw(text)
    for _ in range(draw(st.integers(0, 3))):
        if not s:
            break
        i = draw(st.integers(0, len(s) - 1))
        op = draw(st.sampled_from(["del", "ins", "dup"]))
        if op == "del":
            s = s[:i] + s[i + 1:]
        elif op == "ins":
            s = s[:i] + draw(st.sampled_from(list('{}[]",:0-.e\\ \n\x00\ud800é'))) + s[i:]
        else:
            j = draw(st.integers(i, min(len(s), i + 20)))
            s = s[:j] + s[i:j] + s[j:]
    return s


module_json_texts = st.one_of(
    st.builds(dumps, modules(), st.booleans()),
    corrupted(st.builds(dumps, modules(), st.booleans())),
    st.builds(dumps, json_values, st.booleans()),
    any_text)


# ---- arbitrary text and JSON ----

@SETTINGS
@given(source=st.one_of(any_text, corrupted(st.just(SMALL_SOURCE)), st.text(alphabet="f()->{}[]:,=x y*\"/.1-\n", max_size=80)),
       width=st.integers(0, 200))
def test_source_text(source, width):
    module_text(outcome(t.parse_to_json, source))
    outcome(t.fmt_source, source, width=width)


@SETTINGS
@given(text=module_json_texts, width=st.integers(0, 2**64 - 1))
def test_module_json_through_every_reader(text, width):
    m = module_text(outcome(t.parse_to_json, text))
    outcome(t.fmt_json, text, width=width)
    outcome(t.check_json, text)
    module_text(outcome(t.infer_axes_json, text))
    if isinstance(m, str):
        outcome(t.fmt_json, m)


@SETTINGS
@given(module=modules(), config=configs, ascii_only=st.booleans(), width=st.integers(0, 120),
       data=st.data())
def test_module_shaped_json(module, config, ascii_only, width, data):
    text = dumps(module, ascii_only)
    formatted = outcome(t.fmt_json, text, width=width)
    outcome(t.check_json, text)
    module_text(outcome(t.infer_axes_json, text))
    module_text(outcome(t.resolve_json, text, dumps(config, ascii_only)))
    entry = data.draw(st.one_of(fn_names, trv_words))
    keys = data.draw(st.lists(st.one_of(trv_words, st.sampled_from(["kv.0", "kv.1"])), max_size=3))
    flat = module_text(outcome(t.flatten_json, text, entry, keys))
    if isinstance(formatted, str):
        outcome(t.parse_to_json, formatted)
        outcome(t.fmt_source, formatted, width=width)
    if isinstance(flat, str):
        outcome(t.check_json, flat)
        outcome(t.fmt_json, flat)


@SETTINGS
@given(module=st.one_of(st.builds(dumps, modules(), st.just(True)), any_text),
       config=st.one_of(st.builds(dumps, configs, st.booleans()), st.builds(dumps, json_values, st.booleans()),
                        corrupted(st.builds(dumps, configs, st.just(True))), any_text))
def test_configuration_json(module, config):
    module_text(outcome(t.resolve_json, module, config))


# ---- files ----

@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("robustness")


toml_texts = st.one_of(
    st.sampled_from([
        "", "[shape]\nn = 4\n", "[shape]\nn = 1e400\n", "[scalar]\nn = nan\nd = inf\n",
        "[vector]\nv = [1, 2.5]\n", "[vector]\nv = [1, \"x\"]\n", "shape = 3\n",
        "[weights]\na = \"w.{}\"\n[weights.layers]\nscale = \"l.{}.{}\"\n", "[weights.\"a.b\"]\nc = \"x\"\n",
        "[shape]\nn = -1\n[scalar]\nn = 9223372036854775807\n", "weights = { a = { b = \"c\" } }\n",
        "[[weights]]\na = 1\n", "[shape\n", "[shape]\nn = 2\nn = 3\n"]),
    any_text,
    corrupted(st.just("[shape]\nd = 4\n[scalar]\nn_layers = 2\n[weights.layers]\nscale = \"m.{}.s\"\n")))
LOOP_SOURCE = ("main(x: f32[B, param.d], w: *) -> (y: f32[B, param.d]) {\n"
               "  h = loop[body, param.n_layers](x, weights.layers.*)\n"
               "  y = call[body](h, weights.head)\n}\n"
               "body(x: f32[B, param.d], w: *) -> (y: f32[B, param.d]) {\n"
               "  y = map[mul](x, w.scale)\n}\n")


def write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_bytes(content.encode("utf-8", errors="surrogatepass"))
    return str(path)


@SETTINGS
@given(source=st.one_of(any_text, st.binary(max_size=40), corrupted(st.just(LOOP_SOURCE))),
       config=st.one_of(toml_texts, st.binary(max_size=40)),
       entry=st.one_of(fn_names, any_text), keys=st.lists(trv_words, max_size=2),
       width=st.integers(0, 120))
def test_files(workdir, source, config, entry, keys, width):
    src = write(workdir / "model.trv", source)
    cfg = write(workdir / "config.toml", config)
    outcome(t.check_file, src)
    outcome(t.fmt_file, src, width=width)
    module_text(outcome(t.load_flat_json, src, cfg, entry, keys))
    module_text(outcome(t.load_flat_json, write(workdir / "loop.trv", LOOP_SOURCE), cfg))


@pytest.mark.parametrize("path", ["", ".", "/", "missing/file.trv", "a\0b", "\ud800", "x" * 5000])
def test_unreadable_paths(workdir, path):
    full = path if path in ("", ".", "/", "\ud800") else str(workdir / path)
    for fn in (t.check_file, t.fmt_file):
        outcome(fn, full)
    outcome(t.load_flat_json, full, full)
    outcome(t.load_flat_json, write(workdir / "ok.trv", SMALL_SOURCE), full, "f")


# ---- arbitrary Python objects as arguments ----

# Subclasses of the types the boundary accepts (and of the error it raises).
StrSub, IntSub, TypeErrorSub = (type(base.__name__ + "Sub", (base,), {}) for base in (str, int, TypeError))


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise Boom("index")


class WrongIndex:
    def __index__(self):
        return "7"


class Seq:
    """A sequence whose length query and iteration can fail."""

    def __init__(self, items, bad_len=False, bad_iter=False, claimed=None):
        self.items, self.bad_len, self.bad_iter, self.claimed = items, bad_len, bad_iter, claimed

    def __len__(self):
        if self.bad_len:
            raise Boom("len")
        return self.claimed if self.claimed is not None else len(self.items)

    def __getitem__(self, i):
        if self.bad_iter and i >= 1:
            raise Boom("item")
        return self.items[i]


class BadStr:
    def __str__(self):
        raise Boom("str")


class SeqTypeErrorSub(Seq):
    def __getitem__(self, i):
        raise TypeErrorSub("sub")


python_objects = st.one_of(
    st.none(), st.booleans(), wide_ints, st.floats(), any_text, st.binary(max_size=8),
    st.lists(any_text, max_size=3), st.tuples(any_text, any_text), st.sets(any_text, max_size=2),
    st.frozensets(st.integers(), max_size=2), st.dictionaries(any_text, any_text, max_size=2),
    st.builds(StrSub, any_text), st.builds(IntSub, st.integers(-5, 2**65)),
    st.builds(Index, st.integers(-5, 2**65)), st.builds(BadIndex), st.builds(WrongIndex),
    st.builds(lambda items, bl, bi: Seq(items, bl, bi), st.lists(st.one_of(any_text, st.integers()), max_size=3),
              st.booleans(), st.booleans()),
    st.builds(SeqTypeErrorSub, st.just(["a"])),
    st.builds(BadStr), st.builds(object), st.builds(bytearray, st.binary(max_size=4)),
    st.builds(lambda: memoryview(b"ab")), st.builds(lambda: iter(["a"])), st.just(str), st.just(t),
    st.builds(lambda: StrSub("main")), st.builds(lambda: ["k", StrSub("k")]))
PARAMS = {
    "load_flat_json": ["trv_path", "config_path", "entry", "cache_keys"],
    "parse_to_json": ["source"], "resolve_json": ["module_json", "config_json"],
    "flatten_json": ["module_json", "entry", "cache_keys"], "infer_axes_json": ["module_json"],
    "check_json": ["module_json"], "fmt_source": ["source", "width"], "fmt_json": ["module_json", "width"],
    "check_file": ["path"], "fmt_file": ["path", "width"]}
PATH_PARAMS = {"trv_path", "config_path", "path"}


@SETTINGS
@given(name=st.sampled_from(sorted(PARAMS)), data=st.data())
def test_arbitrary_arguments(workdir, name, data):
    fn = getattr(t, name)
    names = PARAMS[name] + data.draw(st.lists(st.sampled_from(["bogus", "width", "entry", "source"]), max_size=1))
    positional = data.draw(st.integers(0, len(names) + 1))
    args, kwargs = [], {}
    for i, pname in enumerate(names):
        if data.draw(st.integers(0, 5)) == 0:
            continue  # leave it out
        value = data.draw(python_objects)
        if pname in PATH_PARAMS and isinstance(value, str):
            value = str(workdir / "no-such-dir" / value.replace("\0", "")) if value else value
        if i < positional and pname != "width" and not kwargs:
            args.append(value)
        else:
            kwargs[pname] = value
    if data.draw(st.booleans()):
        args.append(data.draw(python_objects))  # one too many
    outcome(fn, *args, allowed=ALLOWED + (Boom,), **kwargs)


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_every_failure_leaves_the_module_usable(name):
    fn = getattr(t, name)
    for args in [(), ("\ud800",) * len(PARAMS[name]), (None,) * len(PARAMS[name]),
                 ("{",) * len(PARAMS[name])]:
        outcome(fn, *args)
    still_usable()


def test_boundary_passes_on_errors_of_the_callers_objects():
    m = t.parse_to_json(SMALL_SOURCE)
    with pytest.raises(Boom):
        t.fmt_json(m, width=BadIndex())
    with pytest.raises(Boom):
        t.flatten_json(m, "f", Seq(["a", "b"], bad_iter=True))
    with pytest.raises(TypeErrorSub):  # a subclass of TypeError is not wrapped
        t.flatten_json(m, "f", SeqTypeErrorSub(["a"]))
    assert t.flatten_json(m, "f", Seq(["a"], bad_len=True)) == t.flatten_json(m, "f")
    for claimed in (2**40, 2**62, sys.maxsize):  # a length is only a hint for sizing the list
        assert t.flatten_json(m, "f", Seq(["a"], claimed=claimed)) == t.flatten_json(m, "f")
    with pytest.raises(TypeError, match="unexpected keyword argument 'sour\x00ce'"):
        t.parse_to_json(**{"sour\0ce": SMALL_SOURCE})
    assert t.parse_to_json(**{StrSub("source"): SMALL_SOURCE}) == m
    with pytest.raises(TypeError, match="^argument 'width': "):
        t.fmt_json(m, width=WrongIndex())
    with pytest.raises(OverflowError):
        t.fmt_json(m, width=Index(2**64))
    assert t.fmt_json(m, width=Index(0)) == t.fmt_json(m, width=0)
    still_usable()

