"""The peak resident memory that one call of _travune adds, measured in a child process, so
that what the benchmark did before does not hide it."""
import subprocess
import sys

CHILD = """
import os, sys
sys.path[:0] = {path!r}
import _travune as t
devnull = os.open(os.devnull, os.O_WRONLY)   # failure reports go nowhere
os.dup2(devnull, 2)
{setup}
with open("/proc/self/statm") as f:
    before = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
with open("/proc/self/clear_refs", "w") as f:   # resets the peak (VmHWM) to the current RSS
    f.write("5")
try:
    {call}
except BaseException as e:  # a refusal is the call's answer too
    if type(e).__name__ != "PanicException":
        raise
with open("/proc/self/status") as f:
    peak = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
print(max(0, peak - before))
"""


def peak_added_memory(call, setup="", args=()):
    """The peak resident memory, in bytes, that the statement `call` (using _travune as t)
    adds once `setup` has run, in a child process given `args` as sys.argv[1:]."""
    code = CHILD.format(path=sys.path, setup=setup, call=call)
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, check=True)
    return int(proc.stdout)
