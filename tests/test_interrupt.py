"""Ctrl-C: a long call runs the interpreter's signal handlers as it goes.

Each scenario runs in a child process: the child prepares a call, says "ready" and makes it;
the test sends SIGINT a moment later. A handler that raises stops the call with its exception,
unchanged and without a failure report; one that returns lets the call finish with the same
result. Either way the module stays usable. The bound on the reaction is generous (the checks
run every few milliseconds of work); it is not a measure of speed."""
import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import EXAMPLES, child_env

# Waited for once the child is ready, so that the call is well under way.
DELAY = 0.3
# The most time the call may take to stop once the signal is sent.
REACTION = 0.5

# Prepares `call` for the scenario named by argv[1] (argv[2]: a path), with n = argv[3] lines,
# ops or loop iterations.
SETUP = r'''
import json, signal, sys, time, _travune as t
# Python's own handler, even where the child was started with SIGINT ignored (a background job).
signal.signal(signal.SIGINT, signal.default_int_handler)
scenario, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
EXAMPLE = sys.argv[4]
LINE = "  x: f32[4] = map[relu](x)\n"
OP = ('{"kind":"map","function":"relu","outputs":["x"],'
      '"output_types":[{"dtype":"f32","shape":[4]}],"args":["x"]}')
PARAM = '{"name":"x","ty":{"dtype":"f32","shape":[4]}}'
LOOP = ("f(x: f32[4]) -> (y: f32[4]) {\n  y: f32[4] = map[relu](x)\n}\n"
        "main(x: f32[4]) -> (x: f32[4]) {\n  x: f32[4] = loop[f, %d](x)\n}\n")

if scenario == "load_flat_json":
    call = lambda: t.load_flat_json(EXAMPLE, path)
elif scenario == "fmt_file":
    call = lambda: t.fmt_file(path)
elif scenario == "check_file":
    call = lambda: t.check_file(path)
elif scenario == "fmt_source":
    source = "main(x: f32[4]) -> (x: f32[4]) {\n" + LINE * n + "}\n"
    call = lambda: t.fmt_source(source)
elif scenario == "check_json":
    module = ('{"functions":{"main":{"name":"main","params":[' + PARAM + '],"returns":[' + PARAM +
              '],"ops":[' + OP + ("," + OP) * (n - 1) + ']}}}')
    call = lambda: t.check_json(module)
elif scenario == "flatten_json":
    module = t.parse_to_json(LOOP % n)
    call = lambda: t.flatten_json(module, "main")
'''

# The default handler: KeyboardInterrupt, then another call.
INTERRUPTED = SETUP + r'''
print("ready", flush=True)
try:
    call()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print(t.fmt_source("main(  ) -> ( ) {}"), end="")
'''


def _child(code, scenario, path="", n=0):
    args = [scenario, str(path), str(n), str(EXAMPLES / "model.trv")]
    return subprocess.Popen([sys.executable, "-c", code, *args], env=child_env(), text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def _interrupt(proc, signals=1):
    """Waits for "ready", sends SIGINT; returns the time it was sent, stdout and stderr."""
    assert proc.stdout.readline() == "ready\n"
    for _ in range(signals):
        time.sleep(DELAY)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise
    return sent, out, err


def _assert_interrupted(proc):
    sent, out, err = _interrupt(proc)
    lines = out.split("\n")
    assert lines[0].startswith("interrupted "), (out, err)
    assert float(lines[0].split()[1]) - sent < REACTION
    assert err == ""  # no failure report
    assert lines[1:] == ["main() -> () {", "}", ""]  # the next call works


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "config.toml"
    os.mkfifo(path)
    return path


# What the call waits on: a FIFO without a writer (the open waits), a FIFO whose writer is
# silent (the read waits), a device that never ends, or seconds of work (the text is
# tokenized, read, checked, expanded and written).
@pytest.mark.parametrize("scenario,source,n", [
    ("load_flat_json", "fifo", 0), ("check_file", "fifo", 0),
    ("load_flat_json", "silent fifo", 0), ("fmt_file", "silent fifo", 0),
    ("fmt_file", "/dev/zero", 0), ("load_flat_json", "/dev/urandom", 0),
    ("fmt_source", None, 1_000_000), ("check_json", None, 1_000_000), ("flatten_json", None, 3_000_000),
])
def test_interrupted(fifo, scenario, source, n):
    path = fifo if source in ("fifo", "silent fifo") else source
    writer = os.open(path, os.O_RDWR) if source == "silent fifo" else None
    try:
        _assert_interrupted(_child(INTERRUPTED, scenario, path or "", n))
    finally:
        if writer is not None:
            os.close(writer)


def test_exception_of_the_handler_passes_unchanged():
    code = SETUP + r'''
class Stop(Exception):
    pass
def stop(signum, frame):
    raise Stop("from the handler")
signal.signal(signal.SIGINT, stop)
print("ready", flush=True)
try:
    call()
except Stop as e:
    print(time.monotonic(), type(e).__name__, e.args, e.__context__, e.__cause__)
'''
    sent, out, err = _interrupt(_child(code, "flatten_json", n=3_000_000))
    stopped, rest = out.split(" ", 1)
    assert (rest, err) == ("Stop ('from the handler',) None None\n", "")
    assert float(stopped) - sent < REACTION


# The handler calls the module (the function of the call it interrupts, and another) and
# returns: the interrupted call goes on and gives the result of an uninterrupted call.
REENTRANT = SETUP + r'''
import hashlib
seen = []
in_call = False
def handler(signum, frame):
    small = t.flatten_json(t.parse_to_json(LOOP % 2), "main")
    seen.append([in_call, t.fmt_source("main(  ) -> ( ) {}"), small])
signal.signal(signal.SIGINT, handler)
print("ready", flush=True)
in_call = True
got = hashlib.sha256(call().encode()).hexdigest()
in_call = False
expected = hashlib.sha256(call().encode()).hexdigest()
small = t.flatten_json(t.parse_to_json(LOOP % 2), "main")
print(json.dumps({"same": got == expected, "seen": seen, "small": small}))
'''


def test_handler_calling_the_module_leaves_the_call_intact():
    sent, out, err = _interrupt(_child(REENTRANT, "flatten_json", n=1_500_000), signals=2)
    assert err == ""
    result = json.loads(out)
    assert result["same"]
    assert result["seen"] == [[True, "main() -> () {\n}\n", result["small"]]] * 2


def test_text_from_a_pipe_reads_whole(fifo):
    # A file of unknown size is read in growing blocks joined at the end; a character of
    # several bytes may straddle two blocks. The writer is another process: a call holds
    # the interpreter lock while it reads.
    import _travune as t
    source = "".join(f"f{i}(x: f32[4]) -> (y: f32[4]) {{\n  // \u00e9\u20ac\U0001f600 {i}\n"
                     f"  y: f32[4] = map[relu](x)\n}}\n" for i in range(20_000))
    assert len(source.encode()) > 1 << 20
    writer = subprocess.Popen(
        [sys.executable, "-c", "import sys\n"
         "data = sys.stdin.buffer.read()\n"
         "with open(sys.argv[1], 'wb') as f:\n"
         "    for k in range(0, len(data), 4093):\n"
         "        f.write(data[k:k + 4093])\n", str(fifo)],
        stdin=subprocess.PIPE)
    writer.stdin.write(source.encode())
    writer.stdin.close()
    try:
        assert t.fmt_file(str(fifo)) == t.fmt_source(source)
    finally:
        writer.wait(timeout=60)


# ---- inside one op of millions of elements ----

# Builds, for the kind of op content named by argv[1], n = argv[2] elements in one op (its
# source, its module JSON, a file of each and a configuration), then for each function of
# argv[3:] makes the call twice: once with a handler that returns, printing when it runs
# ("tick"), for as many SIGINTs as the parent sends; once with Python's own handler, which
# stops it ("stopped"). The parent says when to go on ("next").
ONE_OP = r'''
import os, signal, sys, time, _travune as t
kind, n, folder, names = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
TY = '{"dtype":"f32","shape":[4]}'
P = '{"name":"x","ty":' + TY + '}'
def module(fields, args='["x"]'):
    return ('{"functions":{"main":{"name":"main","params":[' + P + '],"returns":[' + P +
            '],"ops":[{' + fields + ',"outputs":["x"],"output_types":[' + TY + '],"args":' + args +
            '}]}}}')
head, rest = "main(x: f32[4]) -> (x: f32[4]) {\n", "(x)\n}\n"
if kind == "comments":
    source = head + "  // c\n" * n + "  x: f32[4] = map[relu]" + rest
    js = module('"kind":"map","function":"relu","comments":[' + '"// c",' * (n - 1) + '"// c"]')
elif kind == "arguments":
    source = head + "  x: f32[4] = map[relu](" + "x, " * (n - 1) + rest[1:]
    js = module('"kind":"map","function":"relu"', "[" + '"x",' * (n - 1) + '"x"]')
else:
    source = head + "  x: f32[4] = literal([" + "1, " * (n - 1) + "1])\n}\n"
    js = module('"kind":"literal","value":[' + "1," * (n - 1) + "1]", "[]")
trv, toml = os.path.join(folder, "m.trv"), os.path.join(folder, "c.toml")
with open(trv, "w") as f:
    f.write(source)
with open(toml, "w") as f:
    f.write("[shape]\nn = 4\n")
CALLS = {
    "parse_to_json": lambda: t.parse_to_json(source), "fmt_source": lambda: t.fmt_source(source),
    "fmt_file": lambda: t.fmt_file(trv), "fmt_json": lambda: t.fmt_json(js),
    "check_file": lambda: t.check_file(trv), "check_json": lambda: t.check_json(js),
    "infer_axes_json": lambda: t.infer_axes_json(js),
    "resolve_json": lambda: t.resolve_json(js, '{"n": 4}'),
    "flatten_json": lambda: t.flatten_json(js, "main"),
    "load_flat_json": lambda: t.load_flat_json(trv, toml),
}
def tick(signum, frame):
    print("tick", time.monotonic(), flush=True)
for name in names:
    signal.signal(signal.SIGINT, tick)
    print("ready", flush=True)
    CALLS[name]()
    print("done", flush=True)
    sys.stdin.readline()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print("ready", flush=True)
    try:
        CALLS[name]()
        print("done", flush=True)
    except KeyboardInterrupt:
        print("stopped", time.monotonic(), flush=True)
    sys.stdin.readline()
print(t.fmt_source("main(  ) -> ( ) {}"), end="")
'''

ONE_OP_FUNCTIONS = ["parse_to_json", "fmt_source", "fmt_file", "fmt_json", "check_file",
                    "check_json", "infer_axes_json", "resolve_json", "flatten_json",
                    "load_flat_json"]
# Ctrl-C answers within this inside any single op (the sanitized build runs several times
# slower: its bound is scaled).
ONE_OP_REACTION = 0.2 * (5 if os.environ.get("TRAVUNE_SANITIZED") else 1)
TICK_GAP = 0.03  # between the SIGINTs of the returning handler


class _Child:
    """The child of ONE_OP; its lines come through a thread, each awaited at most a minute."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, "-c", ONE_OP, *map(str, args)],
                                     env=child_env(), text=True, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(x) for x in self.proc.stdout],
                         daemon=True).start()

    def line(self):
        return self.lines.get(timeout=60)

    def go_on(self):
        self.proc.stdin.write("next\n")
        self.proc.stdin.flush()

    def ticks(self):
        """SIGINTs every TICK_GAP until the call is done: the reaction to each, the call's time."""
        assert self.line() == "ready\n"
        begun, reactions, done = time.monotonic(), [], False
        while not done:
            time.sleep(TICK_GAP)
            sent = time.monotonic()
            self.proc.send_signal(signal.SIGINT)
            line = self.line()
            if line == "done\n":  # the signal came after the call: its tick follows
                done, line = True, self.line()
            assert line.startswith("tick "), line
            reactions.append(float(line.split()[1]) - sent)
        took = time.monotonic() - begun
        self.go_on()
        return reactions, took

    def stop(self, after):
        """One SIGINT `after` seconds into the call: the time it took to stop."""
        assert self.line() == "ready\n"
        time.sleep(after)
        sent = time.monotonic()
        self.proc.send_signal(signal.SIGINT)
        line = self.line()
        self.go_on()
        assert line.startswith("stopped "), line
        return float(line.split()[1]) - sent


@pytest.mark.parametrize("kind", ["comments", "arguments", "literal elements"])
def test_interrupted_inside_one_huge_op(tmp_path, kind):
    # One op of 5,000,000 comments, arguments or literal elements, against every function
    # that takes it: the SIGINTs of a returning handler, sent every few tens of milliseconds
    # through the whole call, each run within the bound, and so does the one that stops it
    # a third of the way through.
    child = _Child(kind.split()[0], 5_000_000, tmp_path, *ONE_OP_FUNCTIONS)
    slow = {}
    try:
        for name in ONE_OP_FUNCTIONS:
            reactions, took = child.ticks()
            stopped = child.stop(took / 3)
            if max(reactions + [stopped]) >= ONE_OP_REACTION or len(reactions) < 3:
                slow[name] = (len(reactions), round(max(reactions), 3), round(stopped, 3))
        last = [child.line(), child.line()]  # the next call works
        assert child.proc.wait(timeout=60) == 0
        err = child.proc.stderr.read()
    finally:
        child.proc.kill()
    assert slow == {}
    assert (last, err) == (["main() -> () {\n", "}\n"], "")
