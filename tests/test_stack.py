"""Deep input on threads with small stacks: every call gives its usual result or stops with a
clean message ("not enough stack for ..."); none brings the process down.

Each input runs in a child process (a crash there fails the test instead of the run): first on
the main thread, then on threads started with each stack size of SIZES, each followed by a
small call on the main thread."""
import json
import os
import re
import resource
import subprocess
import sys
import threading

import pytest

import _travune as t
from conftest import child_env, run_python

# 32 KiB is the least Python accepts. Under AddressSanitizer such a thread is below the
# checks' reserve before a call begins, and the sanitizer's allocator may need more stack than
# is left to build the stop itself: the sanitized run starts at 64 KiB.
SIZES = [32 << 10, 64 << 10, 256 << 10, 1 << 20][1 if os.environ.get("TRAVUNE_SANITIZED") else 0:]

STOP = re.compile(r"not enough stack for (a literal list|calls|JSON arrays and objects|"
                  r"TOML tables and values) nested (\d+) levels deep; "
                  r"run it on a thread with a larger stack")


# ---- deep inputs at the documented bounds ----

def chain(n, leaf="y = map[neg](x)"):
    """f0 calls f1 ... calls f{n-1}: calls nested n levels deep."""
    fns = [f"f{i}(x: f32[n]) -> (y: f32[n]) {{ y = call[f{i + 1}](x) }}" for i in range(n - 1)]
    return "\n".join(fns + [f"f{n - 1}(x: f32[n]) -> (y: f32[n]) {{ {leaf} }}"])


def nested_list(depth):
    return "[" * depth + "1" + "]" * depth


def literal_source(depth):
    return f"f() -> () {{ x = literal({nested_list(depth)}) }}"


def module_json(value):
    """A module whose one op is a literal with `value` (JSON text) as its value."""
    return t.parse_to_json("f() -> () { x = literal(0) }").replace('"value":0', '"value":' + value)


DIM_MODEL = "main(x: f32[param.n]) -> (y: f32[param.n]) {\n  y: f32[param.n] = map[neg](x)\n}\n"
SECTIONS = "[shape]\nn = 4\n[weights]\n"

# The JSON reader takes 128 levels; the module, its functions, the function, its ops and the
# op take five.
JSON_LITERAL = "[" * 123 + "]" * 123

# name: (kinds of stop allowed, how to make the call given a folder to write files in)
CASES = {
    "parse a literal nested 1000 deep": (
        {"a literal list"}, lambda d: t.parse_to_json(literal_source(1000))),
    "format a literal nested 1000 deep": (
        {"a literal list"}, lambda d: t.fmt_source(literal_source(1000))),
    "check a literal nested 1000 deep": (
        {"a literal list"}, lambda d: t.check_file(write(d, "lit.trv", literal_source(1000)))),
    "flatten 256 nested calls": (
        {"JSON arrays and objects", "calls"}, lambda d: t.flatten_json(t.parse_to_json(chain(256)), "f0")),
    "weigh 256 nested calls": (
        # f0 loops over a chain too large to build: the walk that looks for its stops goes down it
        {"JSON arrays and objects", "calls"},
        lambda d: t.flatten_json(t.parse_to_json(
            chain(255).replace("f0(", "g0(", 1) +
            "\nf0(x: f32[n]) -> (y: f32[n]) { x = loop[g0, 100000000](x) }"), "f0")),
    "load 256 nested calls around a literal nested 1000 deep": (
        {"a literal list", "calls"},
        lambda d: t.load_flat_json(write(d, "chain.trv", chain(256, f"y = literal({nested_list(1000)})")),
                                   write(d, "empty.toml", ""), "f0")),
    "flatten 256 nested calls around a literal nested 123 deep": (
        {"JSON arrays and objects", "calls", "a literal list"},
        lambda d: t.flatten_json(t.parse_to_json(chain(256, f"y = literal({nested_list(123)})")), "f0")),
    "check JSON nested 128 deep": (
        {"JSON arrays and objects"}, lambda d: t.check_json(module_json(JSON_LITERAL))),
    "format JSON nested 128 deep": (
        {"JSON arrays and objects", "a literal list"}, lambda d: t.fmt_json(module_json(JSON_LITERAL))),
    "resolve JSON nested 128 deep": (
        {"JSON arrays and objects", "a literal list"},
        lambda d: t.resolve_json(module_json(JSON_LITERAL), "{}")),
    "skip JSON nested 128 deep": (
        {"JSON arrays and objects"},
        lambda d: t.infer_axes_json(module_json('0,"unknown":' + "[" * 123 + "]" * 123))),
    "refuse JSON nested 129 deep": (
        {"JSON arrays and objects"}, lambda d: t.check_json(module_json("[" + JSON_LITERAL + "]"))),
    "load TOML inline tables nested 254 deep": (
        {"TOML tables and values"}, lambda d: load_toml(d, "x = " + "{a = " * 254 + "1" + "}" * 254)),
    "load TOML arrays nested 254 deep": (
        {"TOML tables and values"}, lambda d: load_toml(d, "x = " + nested_list(254))),
    "load a TOML header of 255 parts": (
        {"TOML tables and values"}, lambda d: load_toml(d, "[weights" + ".a" * 254 + "]\nx = \"y\"\n")),
}


def load_toml(folder, toml):
    return t.load_flat_json(write(folder, "m.trv", DIM_MODEL), write(folder, "c.toml", SECTIONS + toml))


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def outcome(call):
    try:
        return ["ok", call()]
    except BaseException as e:  # noqa: BLE001 - the stop is a BaseException
        return [type(e).__name__, str(e)]


NEXT = "f(x: f32[n]) -> (y: f32[n]) { y = map[neg](x) }"


def run_child(folder, names):
    """In the child: each case on the main thread, then on a thread of each size; one line of
    JSON per case."""
    for name in names:
        call = lambda: CASES[name][1](folder)  # noqa: E731
        main = outcome(call)
        report = {"name": name, "main": main, "threads": [], "next": []}
        for size in SIZES:
            threading.stack_size(size)
            box = {}
            thread = threading.Thread(target=lambda: box.update(out=outcome(call)))
            thread.start()
            thread.join()
            threading.stack_size(0)
            out = box["out"]
            report["threads"].append("same" if out == main else out)
            report["next"].append(t.fmt_source(NEXT))
        print(json.dumps(report), flush=True)


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """The child's report of each case. A crash ends the child: the case it was running is
    reported as crashed, and another child takes the cases left."""
    folder = tmp_path_factory.mktemp("stack")
    done = {}
    while len(done) < len(CASES):
        rest = [name for name in CASES if name not in done]
        proc = subprocess.run([sys.executable, __file__, str(folder), *rest], env=child_env(),
                              capture_output=True, text=True, timeout=600)
        lines = proc.stdout.splitlines()
        for line in lines:
            report = json.loads(line)
            done[report["name"]] = report
        if proc.returncode != 0:
            done[rest[len(lines)]] = {"crash": proc.returncode, "stderr": proc.stderr[-2000:]}
    return done.__getitem__


@pytest.mark.parametrize("name", CASES)
def test_deep_input_on_small_stacks(reports, name):
    report = reports(name)
    assert "crash" not in report, report
    kinds = CASES[name][0]
    assert report["main"][0] in ("ok", "PanicException")
    assert not STOP.search(report["main"][1]), "the main thread's 8 MiB always suffice"
    for size, out in zip(SIZES, report["threads"]):
        if out == "same":
            continue
        assert out[0] == "PanicException", (size, out)
        stop = STOP.fullmatch(out[1])
        assert stop, (size, out)
        assert stop.group(1) in kinds, (size, out)
    # The process carries on, and the next call gives its result.
    assert report["next"] == [t.fmt_source(NEXT)] * len(SIZES)


def test_small_stacks_stop_deep_input(reports):
    # These need more than 32 KiB at their bound: the smallest thread stops them, with the
    # depth reached.
    for name in ["parse a literal nested 1000 deep", "flatten 256 nested calls",
                 "load TOML inline tables nested 254 deep"]:
        out = reports(name)["threads"][0]
        assert out != "same" and STOP.fullmatch(out[1]), (name, out)
    depth = int(STOP.fullmatch(reports("flatten 256 nested calls")["threads"][0][1]).group(2))
    assert 1 <= depth < 256


def test_main_thread_results(reports):
    # The bounds on the main thread are those of before: every deep input above still works.
    assert nested_list(1000) in reports("parse a literal nested 1000 deep")["main"][1]
    assert reports("format a literal nested 1000 deep")["main"][1] == (
        f"f() -> () {{\n  x = literal({nested_list(1000)})\n}}\n")
    assert json.loads(reports("check a literal nested 1000 deep")["main"][1])["errors"] == []
    for name in set(CASES) - {"weigh 256 nested calls", "refuse JSON nested 129 deep"}:
        assert reports(name)["main"][0] == "ok", name
    flat = json.loads(reports("load 256 nested calls around a literal nested 1000 deep")["main"][1])
    (op,) = flat["functions"]["f0"]["ops"]
    assert json.dumps(op["value"], separators=(",", ":")) == nested_list(1000)
    assert reports("weigh 256 nested calls")["main"][1].startswith(
        "loop over 'g0' with count 100000000 would produce more than ")
    assert "recursion limit exceeded" in reports("refuse JSON nested 129 deep")["main"][1]


# The main thread's stack grows on demand up to RLIMIT_STACK as it is at that moment, and Python
# code may change the limit between calls: each call measures against the limit as it is then,
# whether the stack was first looked up under the 8 MiB or under a lowered limit.
# (limit, levels of Python calls below which the call runs, outcome of flattening 256 nested
# calls; None: the levels alone, which grow the stack while the limit allows it). The last call
# starts where the stack is in place, but below what the limit would let it reach.
LIMITS = [
    (256 << 10, 0, "stop"),
    (4 << 10, 0, "stop"),
    (8 << 20, 0, "ok"),
    ("hard", 0, "ok"),
    (8 << 20, 1000, None),
    (256 << 10, 800, "stop"),
]
LIMITS_CHILD = """
import json, resource, sys
import _travune as t
source, looked_up_first = sys.argv[1], sys.argv[2] == "1"
if looked_up_first:
    t.fmt_source("f() -> () { x = literal([[1]]) }")
hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
sys.setrecursionlimit(10000)

def below(levels, call):  # each level goes through C: some hundreds of bytes of stack
    return next(map(lambda n: below(n, call), [levels - 1])) if levels else call()

def flatten():
    try:
        return ["ok", t.flatten_json(t.parse_to_json(source), "f0")]
    except BaseException as e:
        return [type(e).__name__, str(e)]

for limit, levels, outcome in %r:
    resource.setrlimit(resource.RLIMIT_STACK, (hard if limit == "hard" else limit, hard))
    print(json.dumps(below(levels, flatten if outcome else lambda: None)), flush=True)
""" % LIMITS


@pytest.mark.parametrize("looked_up_first", [True, False])
def test_main_thread_follows_the_stack_limit(looked_up_first):
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    if hard != resource.RLIM_INFINITY and hard < 8 << 20:
        pytest.skip("the hard limit on the stack is below 8 MiB")
    proc = run_python(LIMITS_CHILD, chain(256), int(looked_up_first))
    assert proc.returncode == 0, proc.stderr[-2000:]
    outs = [json.loads(line) for line in proc.stdout.splitlines()]
    assert len(outs) == len(LIMITS)
    for (limit, levels, expected), out in zip(LIMITS, outs):
        if expected == "stop":
            assert out[0] == "PanicException" and STOP.fullmatch(out[1]), (limit, levels, out)
        elif expected == "ok":
            assert out[0] == "ok", (limit, levels, out)
            assert len(json.loads(out[1])["functions"]["f0"]["ops"]) == 1


if __name__ == "__main__":
    run_child(sys.argv[1], sys.argv[2:])
