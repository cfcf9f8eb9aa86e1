"""The composite loader: source file and TOML configuration to the flat module JSON."""
import json
import os
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import _travune as t
from conftest import EXAMPLES, child_env, panic_text, run_python

# One dimension and one loop count, both configured by the name n.
DIM_MODEL = "main(x: f32[param.n]) -> (y: f32[param.n]) { y: f32[param.n] = map[neg](x) }\n"
LOOP_MODEL = ("main(x: f32[4]) -> (x: f32[4]) { x: f32[4] = loop[step, param.n](x) }\n"
              "step(x: f32[4]) -> (y: f32[4]) { y: f32[4] = map[neg](x) }\n")
# A cache slot computed by init_k and extended by ext_k, which read a weight too.
SLOT_MODEL = ("main(x: f32[2], weights: *) -> (y: f32[2]) {\n"
              "  k: f32[2] = cache[k, init_k, ext_k](x, weights.kv)\n"
              "  y: f32[2] = map[mul](x, weights.out)\n}\n"
              "init_k(x: f32[2], w: f32[2]) -> (k: f32[2]) { k: f32[2] = map[mul](x, w) }\n"
              "ext_k(k: f32[2], x: f32[2], w: f32[2]) -> (k: f32[2]) { k: f32[2] = map[add](k, x, w) }\n")


@pytest.fixture
def files(write_file):
    """Writes a source file and a configuration file; returns their paths."""
    return lambda source, config: (write_file(source, "model.trv"), write_file(config, "config.toml"))


@pytest.fixture
def load(files):
    def run(source, config, *args, **kwargs):
        return json.loads(t.load_flat_json(*files(source, config), *args, **kwargs))
    return run


def dim(load, config):
    return load(DIM_MODEL, config)["functions"]["main"]["params"][0]["ty"]["shape"][0]


# ---- configuration sections ----

@pytest.mark.parametrize("config,expected", [
    ("", "param.n"),                                        # no sections at all
    ("[shape]\nn = 2\n", 2),
    ("[scalar]\nn = 2.9\n", 2),                             # a float is truncated
    ("[vector]\nn = -2.9\n", -2),
    ("[shape]\nn = 2\n[scalar]\nn = 3\n", 3),               # scalar over shape
    ("[scalar]\nn = 3\n[shape]\nn = 2\n", 3),               # section order, not document order
    ("[shape]\nn = 2\n[vector]\nn = 5\n", 5),               # vector over shape
    ("[shape]\nn = 2\n[vector]\nn = [4]\n", "param.n"),     # the list wins and fills nothing
    ("[shape]\nn = [1, 2]\n", "param.n"),
    ("[scalar]\nn = inf\n", 9223372036854775807),
    ("[scalar]\nn = -inf\n", -9223372036854775808),
    ("[scalar]\nn = nan\n", 0),
    ("[shape]\nn = -9223372036854775808\n", -9223372036854775808),
    # Skipped kinds leave an earlier value in place.
    ("[shape]\nn = 2\n[vector]\nn = \"7\"\n", 2),
    ("[shape]\nn = 2\n[vector]\nn = 1979-05-27\n", 2),
    ("[shape]\nn = 2\n[vector.n]\na = 1\n", 2),
    # Only the three sections are read, and only when they are tables.
    ("n = 2\n[other]\nn = 3\n", "param.n"),
    ("shape = 2\nscalar = [1]\n", "param.n"),
    ("[[shape]]\nn = 2\n", "param.n"),
])
def test_sections(load, config, expected):
    assert dim(load, config) == expected


LOOP_STOP = "Loop count 'param.n' not resolved before flattening"
ARRAY_STOP = "unexpected value in vector section"


@pytest.mark.parametrize("model,config,expected", [
    (LOOP_MODEL, "[scalar]\nn = 2\n", 2),                   # the number of ops of the loop
    (LOOP_MODEL, "[vector]\nn = -0\n", 0),
    (LOOP_MODEL, "[scalar]\nn = 2.0\n", LOOP_STOP),         # a float is no loop count
    (LOOP_MODEL, "[vector]\nn = [2]\n", LOOP_STOP),         # an array of integers is a list of floats
    (LOOP_MODEL, "[shape]\nn = 2\n[vector]\nn = [2]\n", LOOP_STOP),
    (DIM_MODEL, "[shape]\nn = [1, \"x\"]\n", ARRAY_STOP),
    (DIM_MODEL, "[vector]\nn = [[1]]\n", ARRAY_STOP),
    (DIM_MODEL, "[vector]\nn = [1979-05-27]\n", ARRAY_STOP),
])
def test_loop_counts_and_arrays(files, model, config, expected):
    if isinstance(expected, int):
        assert len(json.loads(t.load_flat_json(*files(model, config)))["functions"]["main"]["ops"]) == expected
    else:
        assert panic_text(t.load_flat_json, *files(model, config)) == expected


# ---- the weight-name table and rewriting ----

WEIGHTS = """
[weights]
top = "T.{}"
loop = "weights.top"
inl = { k = "K" }
num = 3
arr = ["A"]
[weights.a]
b = "A.{}.B.{}"
[[weights.list]]
x = "L"
"""


def rewritten(load, args, config=WEIGHTS):
    source = "main(w: *) -> () {\n  y = map[f](%s)\n}\n" % ", ".join(args)
    return load(source, config)["functions"]["main"]["ops"][0]["args"]


@pytest.mark.parametrize("arg,expected,config", [(arg, expected, WEIGHTS) for arg, expected in [
    ("weights.top", "T.{}"),                 # whole text: the template unchanged
    ("weights.top.5", "T.5"),
    ("weights.top.1.2", "T.1"),              # an index left over is dropped
    ("weights.a.3.b.7", "A.3.B.7"),          # indices fill the "{}" in order
    ("weights.7.a.3.b", "A.7.B.3"),
    ("weights.a.1.b", "A.1.B.{}"),           # a "{}" left over stays
    ("weights.a.b", "A.{}.B.{}"),
    ("weights.a..b", "A..B.{}"),             # the empty part is an empty index
    ("weights.a.007.b", "A.007.B.{}"),
    ("weights.loop", "weights.top"),         # a replacement is not looked at again
    ("weights.inl.k", "K"),                  # inline tables are tables
    ("weights.num", "weights.num"),          # other leaves are ignored
    ("weights.list.x", "weights.list.x"),
    ("weights.missing", "weights.missing"),
    ("weights", "weights"),
    ("Weights.top", "Weights.top"),
]] + [(arg, arg, config) for arg in ("weights.top", "weights.a.0.b")  # no weight table
      for config in ("", "weights = \"x\"\n", "weights = 3\n", "[[weights]]\ntop = \"T\"\n")] + [
    # The same full key later in the sorted walk wins: the walk visits "a" (and its table)
    # before "a.b" whatever the document order.
    ("weights.a.b", "dotted", '[weights]\n"a.b" = "dotted"\n[weights.a]\nb = "nested"\n'),
    ("weights.a.b", "dotted", '[weights.a]\nb = "nested"\n[weights]\n"a.b" = "dotted"\n'),
    # Tables nested as deep as the bound allows.
    ("weights" + ".a.1" * 254 + ".x", "y.1", "[weights" + ".a" * 254 + "]\nx = \"y.{}\"\n"),
])
def test_rewriting(load, arg, expected, config):
    assert rewritten(load, [arg], config) == [expected]


def test_rewriting_touches_only_name_arguments(load):
    source = ("main(weights: *) -> (weights.top: f32[2]) {\n"
              "  x = iota\n"
              "  // weights.top\n"
              "  weights.top: f32[2] = map[f](weights.top, 1, 2.5, x)\n"
              "}\n")
    f = load(source, WEIGHTS)["functions"]["main"]
    assert f["ops"][1]["args"] == ["T.{}", 1, 2.5, "x"]
    assert f["ops"][1]["outputs"] == ["weights.top"]
    assert f["ops"][1]["comments"] == ["// weights.top"]
    assert f["returns"][0]["name"] == "weights.top"


def test_rewriting_after_inlining(load):
    source = ("main(x: f32[2], weights: *) -> (x: f32[2]) { x: f32[2] = loop[layer, 2](x, weights.layers.*) }\n"
              "layer(x: f32[2], w: *) -> (y: f32[2]) { y: f32[2] = call[scale](x, w.norm) }\n"
              "scale(x: f32[2], s: f32[2]) -> (y: f32[2]) { y: f32[2] = map[mul](x, s) }\n")
    config = '[weights.layers]\nnorm = "model.layers.{}.norm.weight"\n'
    ops = load(source, config)["functions"]["main"]["ops"]
    assert [op["args"] for op in ops] == [["x", "model.layers.0.norm.weight"],
                                         ["x_1", "model.layers.1.norm.weight"]]


def test_rewriting_reaches_slot_ops(load):
    # The ops of a slot are written after the whole entry has expanded, into its place.
    config = '[weights]\nkv = "KV"\nout = "OUT"\n'
    for keys, first in [((), ["x", "KV"]), (("k",), ["k", "x", "KV"])]:
        ops = load(SLOT_MODEL, config, cache_keys=list(keys))["functions"]["main"]["ops"]
        assert [op["args"] for op in ops] == [first, ["x", "OUT"]]


# ---- order of the steps and their failures ----

def test_default_entry_and_cache_keys(files):
    trv, toml = files(SLOT_MODEL, "")
    plain = t.load_flat_json(trv, toml)
    assert plain == t.load_flat_json(trv, toml, "main", [])
    assert list(json.loads(plain)["functions"]) == ["main"]
    assert t.load_flat_json(trv, toml, cache_keys=["k", "k"]) == \
        t.load_flat_json(trv, toml, cache_keys=("k",))
    assert t.load_flat_json(trv, toml, cache_keys=["k"]) != plain
    assert panic_text(t.load_flat_json, trv, toml, "nope") == "no entry found for key"


def test_reading_stops(files, tmp_path):
    # A missing source stops before the configuration is opened; a configuration that does
    # not parse stops before flattening (before the unknown entry is looked up).
    missing = str(tmp_path / "missing.toml")
    assert panic_text(t.load_flat_json, str(tmp_path / "none.trv"), missing).startswith(
        "called `Result::unwrap()` on an `Err` value: ")
    trv, toml = files(DIM_MODEL, "a = \n")
    assert panic_text(t.load_flat_json, trv, toml, "nope").startswith(f"failed to parse {toml}: ")
    assert panic_text(t.load_flat_json, trv, missing) == \
        f"failed to read {missing}: No such file or directory (os error 2)"
    trv, toml = files(DIM_MODEL, b"a = \"\xff\"\n")
    assert panic_text(t.load_flat_json, trv, toml) == \
        f"failed to read {toml}: stream did not contain valid UTF-8"


@pytest.mark.parametrize("config,line,column,text,message", [
    ("a = 1\nb = \n", 2, 5, "b = ", "key-value pair: expected value, saw '\\n'"),
    ("\n" * 11 + "a = 1\r\na = 2\r\n", 13, 5, "a = 2", "key-value pair: cannot redefine existing integer 'a'"),
    # A float out of range stays a parse error (not taken for a want of memory).
    ("[scalar]\nx = 1e999\n", 2, 10, "x = 1e999",
     "floating-point: '1e999' could not be interpreted as a value"),
])
def test_toml_error_text(files, config, line, column, text, message):
    trv, toml = files(DIM_MODEL, config)
    gutter = " " * len(str(line)) + " |"
    assert panic_text(t.load_flat_json, trv, toml) == (
        f"failed to parse {toml}: TOML parse error at line {line}, column {column}\n{gutter}\n"
        f"{line} | {text}\n{gutter}{' ' * column}^\nError while parsing {message}\n")


@pytest.mark.parametrize("config", [
    "[weights" + ".a" * 100000 + "]\nx = \"y\"\n",
    "weights." + "a." * 100000 + "x = \"y\"\n",
    "[weights]\nx = {" + "a." * 100000 + "b = 1}\n",
    "x = [\n" + "{a.a.a = [\n" * 250 + "]}" * 250 + "]\n",
    "x = " + "[" * 100000 + "]" * 100000 + "\n",
    "x = " + "{a = " * 100000 + "1" + "}" * 100000 + "\n",
])
def test_deep_nesting_is_refused(files, config):
    trv, toml = files(DIM_MODEL, config)
    text = panic_text(t.load_flat_json, trv, toml)
    assert text.startswith(f"failed to parse {toml}: TOML parse error at line ")
    assert text.endswith("\nvalues nested deeper than 256 levels\n")


def _path(n, name="a"):
    return ".".join([name] * n)


# A value lies one level below the table or array holding it (the root is level 0); each part
# of a header or dotted key, each inline table or array, and each array of tables is a level.
# At most 256 levels, however they are written.
NESTING = {
    "header": ("[{}]\n", 256, 257),
    "header and key": ("[{}]\nx = 1\n", 255, 256),
    "dotted key": ("{} = 1\n", 256, 257),
    "header and dotted key": ("[a.a]\n{} = 1\n", 254, 255),
    "arrays": ("x = {}\n", "[" * 256 + "]" * 256, "[" * 257 + "]" * 257),
    "arrays and a number": ("x = {}\n", "[" * 255 + "1" + "]" * 255, "[" * 256 + "1" + "]" * 256),
    "arrays and a string": ("x = {}\n", "[" * 255 + "'s'" + "]" * 255, "[" * 256 + "'s'" + "]" * 256),
    "inline tables": ("x = {}\n", "{a = " * 255 + "1" + "}" * 255, "{a = " * 256 + "1" + "}" * 256),
    "inline dotted keys": ("x = {{{} = 1}}\n", _path(255), _path(256)),
    "table and arrays": ("[" + _path(200) + "]\nx = {}\n", "[" * 55 + "1" + "]" * 55,
                         "[" * 56 + "1" + "]" * 56),
    # [[a.b]] puts its table below the array b; a later [a.b.c] goes through b's last table.
    "array of tables": ("[[{}]]\nx = 1\n", 254, 255),
    "array of tables twice": ("[[{0}]]\nx = 1\n[[{0}]]\nx = 1\n", 254, 255),
    "through an array of tables": ("[[a]]\n[{}]\nx = 1\n", 254, 255),
    "through a quoted array of tables": ("[[\"a\"]]\n['a'.{}]\nx = 1\n", _path(253), _path(254)),
    "through an escaped array of tables": ("[[\"\\u0061\"]]\n[a.{}]\nx = 1\n", _path(253), _path(254)),
    "arrays of tables in arrays of tables": ("[[a]]\n[[a.a]]\n[a.a.{}]\nx = 1\n", _path(251), _path(252)),
    # A new table of an array starts with no arrays below it: here a.a is a plain table.
    "an array of tables re-opened": ("[[a]]\n[[a.a]]\n[[a]]\n[a.{}]\nx = 1\n", _path(253), _path(254)),
    "after strings closed by extra quotes": ("s = ['''x]'''', \"\"\"[\"\"\"\"\"]\n[{}]\n", 256, 257),
    "after a byte-order mark": ("\ufeff[{}]\n", 256, 257),
}


@pytest.mark.parametrize("form,deepest,too_deep", NESTING.values(), ids=NESTING.keys())
def test_nesting_bound(files, form, deepest, too_deep):
    fill = lambda part: _path(part) if isinstance(part, int) else part  # noqa: E731
    trv, toml = files(DIM_MODEL, form.format(fill(deepest)))
    t.load_flat_json(trv, toml)
    trv, toml = files(DIM_MODEL, form.format(fill(too_deep)))
    assert panic_text(t.load_flat_json, trv, toml).endswith("\nvalues nested deeper than 256 levels\n")


# A loop of 30,000 calls of fifty arguments each: flattening takes some tenths of a second,
# while parsing, reading the configuration, substituting and resolving take a millisecond.
LONG_MODEL = ("g(x: f32[4], w: *) -> (y: f32[4]) {\n  y: f32[4] = map[f](x, w.a, %s)\n}\n"
              "main(h: f32[4]) -> (h: f32[4]) {\n  h: f32[4] = loop[g, param.count](h, weights.ns)\n%%s}\n"
              % ", ".join(f"w.c{i}" for i in range(48)))
LONG_CONFIG = '[shape]\ncount = 30000\n[weights.ns]\na = "before.{}"\n'
# Changes the configuration file from inside the call (a signal handler, run at an interrupt
# poll) once the call has worked for a twentieth of a second: after the first read, before
# flattening ends.
_CHANGE_DURING_FLATTENING = r"""
import json, os, signal, sys, _travune as t
trv, config, change = sys.argv[1:4]
def change_config(*_):
    os.unlink(config)
    if change != "unlink":
        with open(config, "w") as f:
            f.write(change)
signal.signal(signal.SIGVTALRM, change_config)
signal.setitimer(signal.ITIMER_VIRTUAL, 0.05)
try:
    ops = json.loads(t.load_flat_json(trv, config))["functions"]["main"]["ops"]
    print(sorted({op["args"][1] for op in ops}), len(ops), end="")
except BaseException as e:
    print(type(e).__name__, str(e), sep="\n", end="")
"""


@pytest.mark.parametrize("cache,change,expected", [
    ("", "unlink", "PanicException\nfailed to read {}: No such file or directory (os error 2)"),
    ("", "a = \n", "PanicException\nfailed to parse {}: TOML parse error at line 1, column 5\n"),
    ("", '[weights.ns]\na = "after"\n', "['after'] 30000"),
    # A stop of flattening (here once the whole entry has expanded) comes before the second read.
    ("  k = cache[k, g](h, weights.ns)\n", "unlink", "PanicException\ncache slot must have a declared type"),
])
def test_config_read_again_after_flattening(files, cache, change, expected):
    trv, config = files(LONG_MODEL % cache, LONG_CONFIG)
    out = run_python(_CHANGE_DURING_FLATTENING, trv, config, change, timeout=120).stdout
    assert out.startswith(expected.format(config))


def test_config_that_is_not_a_regular_file_is_read_once(files, tmp_path):
    # A pipe gives its text once: the weight names come from the same text as the values.
    source = "main(x: f32[param.n], weights: *) -> (y: f32[param.n]) { y: f32[param.n] = map[mul](x, weights.top) }\n"
    config = '[shape]\nn = 2\n[weights]\ntop = "T"\n'
    trv, regular = files(source, config)
    expected = t.load_flat_json(trv, regular)
    assert '"args":["x","T"]' in expected and '"shape":[2]' in expected
    r, w = os.pipe()
    os.write(w, config.encode())
    os.close(w)
    try:
        assert t.load_flat_json(trv, f"/dev/fd/{r}") == expected
    finally:
        os.close(r)
    # A FIFO with one writer: opened a second time, it would wait for another.
    fifo = tmp_path / "fifo.toml"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'printf %s "$1" > "$2"', "sh", config, str(fifo)])
    code = "import sys, _travune as t\nprint(t.load_flat_json(sys.argv[1], sys.argv[2]), end='')\n"
    try:
        assert run_python(code, trv, fifo, timeout=60).stdout == expected
    finally:
        writer.kill()
        writer.wait()


def test_example_checks_clean():
    result = json.loads(t.check_file(str(EXAMPLES / "model.trv")))
    assert result["errors"] == []
    assert "param.n_layers" in result["constraints"]["params"]


def test_chain_equals_the_single_steps(tmp_path):
    # Without a weight table the loader is parse, substitute, resolve and flatten in a row.
    source = (EXAMPLES / "model.trv").read_text()
    text = (EXAMPLES / "config.toml").read_text()
    config = tmp_path / "config.toml"
    config.write_text(text.split("[weights]")[0])
    values = {"d": 64, "heads": 4, "head_dim": 16, "ffn": 172, "vocab": 256, "ctx": 128,
              "n_layers": 4, "rms_eps": 1e-5, "rope_theta": 10000.0,
              "residual_scale": [1, 1, 0.5, 0.5]}
    steps = t.flatten_json(t.resolve_json(t.parse_to_json(source), json.dumps(values)), "main",
                           ["pos"])
    assert t.load_flat_json(str(EXAMPLES / "model.trv"), str(config), cache_keys=["pos"]) == steps


@pytest.mark.parametrize("keys", [[], ["pos", "rope"]])
def test_rewriting_a_large_output(tmp_path, keys):
    # Thousands of layers: the output spans many chunks, with slots placed back among them;
    # every weight reference is rewritten where it lies, as if op by op.
    text = (EXAMPLES / "config.toml").read_text().replace("n_layers = 4", "n_layers = 3000")
    with_weights, without = tmp_path / "with.toml", tmp_path / "without.toml"
    with_weights.write_text(text)
    without.write_text(text.split("[weights]")[0])
    weights = tomllib.loads(text)["weights"]
    layers = weights.pop("layers")
    top = {f"weights.{k}": v for k, v in weights.items()}
    per_layer = {k: v for k, v in layers.items() if isinstance(v, str)}
    per_layer |= {f"{group}.{k}": v for group in ("attn", "mlp") for k, v in layers[group].items()}

    def rewritten(arg):  # the example's templates: one index, in the names of a layer only
        layer = re.fullmatch(r"weights\.layers\.(\d+)\.(.*)", arg) if isinstance(arg, str) else None
        return per_layer[layer[2]].format(layer[1]) if layer else top.get(arg, arg)
    trv = str(EXAMPLES / "model.trv")
    expected = json.loads(t.load_flat_json(trv, str(without), cache_keys=keys))
    for op in expected["functions"]["main"]["ops"]:
        op["args"] = [rewritten(a) for a in op["args"]]
    got = t.load_flat_json(trv, str(with_weights), cache_keys=keys)
    assert len(got) > 4_000_000
    assert got == json.dumps(expected, separators=(",", ":"), ensure_ascii=False)


# ---- running out of memory ----

SHIM = pathlib.Path(__file__).resolve().parent / "alloc_fail.cpp"

_EVERY_ALLOCATION = """
import ctypes, sys, _travune as t
shim = ctypes.CDLL(sys.argv[1])
shim.fail_allocation.argtypes, shim.allocations_left.restype = [ctypes.c_long], ctypes.c_long
trv, config = sys.argv[2], sys.argv[3]
expected = t.load_flat_json(trv, config)
shim.fail_allocation(1 << 40)
t.load_flat_json(trv, config)
total = (1 << 40) - shim.allocations_left()
shim.fail_allocation(-1)
outcomes = {}
for n in range(total):
    shim.fail_allocation(n)
    try:
        outcome = "same" if t.load_flat_json(trv, config) == expected else "different"
    except BaseException as e:
        outcome = type(e).__name__ + ("" if isinstance(e, MemoryError) else ": " + str(e))
    shim.fail_allocation(-1)
    outcomes.setdefault(outcome, n)
print(total, sorted(outcomes))
for outcome, n in outcomes.items():
    if outcome not in ("same", "MemoryError"):
        print(n, outcome)
"""


@pytest.mark.skipif(os.environ.get("TRAVUNE_SANITIZED") == "1",
                    reason="the sanitizer's own operator new comes first")
def test_running_out_of_memory_anywhere_is_memory_error(tmp_path):
    # Each allocation of a whole load in turn fails: the call either does without it or
    # stops with MemoryError, never with another stop (a TOML parse error of a valid file).
    shim = tmp_path / "alloc_fail.so"
    subprocess.run(["c++", "-std=c++17", "-O1", "-shared", "-fPIC", "-o", str(shim), str(SHIM)],
                   check=True)
    proc = run_python(_EVERY_ALLOCATION, shim, EXAMPLES / "model.trv", EXAMPLES / "config.toml",
                      env=child_env(LD_PRELOAD=str(shim)))
    assert proc.returncode == 0, proc.stderr[-2000:]
    total, outcomes = proc.stdout.split(" ", 1)
    assert int(total) > 1000
    assert outcomes.strip() == "['MemoryError']" and proc.stdout.count("\n") == 1, proc.stdout
