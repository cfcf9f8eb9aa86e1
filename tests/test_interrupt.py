"""Ctrl-C: a long call runs the interpreter's signal handlers as it goes.

Each scenario runs in a child process: the child prepares a call, says "ready" and makes it;
the test sends SIGINT a moment later. A handler that raises stops the call with its exception,
unchanged and without a failure report; one that returns lets the call finish with the same
result. Either way the module stays usable. The bound on the reaction is generous (the checks
run every few milliseconds of work); it is not a measure of speed."""
import json
import os
import signal
import subprocess
import sys
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
