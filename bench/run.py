"""Benchmark of the ten functions of _travune, side by side with CPython's json module.

For each model size it times every function (best of several runs in one process, with
time.perf_counter) and, in the same run, the peer: json.loads of the JSON text involved (and
json.dumps with compact separators where a function reads and writes JSON). The peak resident
memory that one call adds is measured in a child process per function, so earlier calls do not
hide it. Prints one table, then the table of hostile inputs (hostile.py): each beside an ordinary
input of the same size and shape. `--quick` runs two small sizes and small hostile inputs and
finishes within a minute; `--hostile-only` prints only the hostile table.
"""
import argparse
import json
import os
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import gen_model  # noqa: E402
import hostile  # noqa: E402
import memory  # noqa: E402

ROOT = HERE.parent
BUILD = pathlib.Path(os.environ.get("TRAVUNE_BUILD", ROOT / "build" / "dev"))
if BUILD.is_dir():
    sys.path.insert(0, str(BUILD))
import _travune as t  # noqa: E402

FULL_SIZES = [(3, 7), (50, 7), (500, 7), (5300, 7)]   # (groups, layers): ~11 KB .. ~20 MB of source
QUICK_SIZES = [(3, 4), (20, 4)]
COMPACT = (",", ":")


def best_of(fn, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


class Inputs:
    """Files and texts of one model size."""

    def __init__(self, folder, groups, layers):
        self.trv, self.toml = gen_model.write(folder, groups, layers)
        self.source = self.trv.read_text()
        self.toml_text = self.toml.read_text()
        self.module = t.parse_to_json(self.source)
        self.config = json.dumps(gen_model.config_json_values(layers))
        self.resolved = t.resolve_json(self.module, self.config)
        self.groups, self.layers = groups, layers


def calls(inp):
    """name -> (call, input text size, peer call or None, peer name).

    The input size counts every text the call reads (both files of load_flat_json, both
    arguments of resolve_json). A peer of None is json.loads of the call's own output."""
    m, r = inp.module, inp.resolved
    loads_m = lambda: json.loads(m)  # noqa: E731
    roundtrip_m = lambda: json.dumps(json.loads(m), separators=COMPACT)  # noqa: E731
    return {
        "parse_to_json": (lambda: t.parse_to_json(inp.source), len(inp.source), None, "loads(out)"),
        "fmt_source": (lambda: t.fmt_source(inp.source), len(inp.source), loads_m, "loads(m)"),
        "fmt_file": (lambda: t.fmt_file(str(inp.trv)), len(inp.source), loads_m, "loads(m)"),
        "fmt_json": (lambda: t.fmt_json(m), len(m), loads_m, "loads(m)"),
        "check_file": (lambda: t.check_file(str(inp.trv)), len(inp.source), loads_m, "loads(m)"),
        "check_json": (lambda: t.check_json(m), len(m), loads_m, "loads(m)"),
        "infer_axes_json": (lambda: t.infer_axes_json(m), len(m), roundtrip_m, "dumps(loads(m))"),
        "resolve_json": (lambda: t.resolve_json(m, inp.config), len(m) + len(inp.config),
                         roundtrip_m, "dumps(loads(m))"),
        "flatten_json": (lambda: t.flatten_json(r, "main"), len(r),
                         lambda: json.loads(r), "loads(in)"),
        "load_flat_json": (lambda: t.load_flat_json(str(inp.trv), str(inp.toml)),
                           len(inp.source) + len(inp.toml_text), None, "loads(out)"),
    }


def op_count(module_json_text):
    return sum(len(f["ops"]) for f in json.loads(module_json_text)["functions"].values())


def peak_added_memory(name, inp):
    """Runs one call in a child process (memory.py); returns the peak RSS it added, in bytes."""
    setup = f"""
source = open({str(inp.trv)!r}).read()
m = open(sys.argv[1]).read(); r = open(sys.argv[2]).read(); cfg = sys.argv[3]
calls = {{
 "parse_to_json": lambda: t.parse_to_json(source),
 "fmt_source": lambda: t.fmt_source(source),
 "fmt_file": lambda: t.fmt_file({str(inp.trv)!r}),
 "fmt_json": lambda: t.fmt_json(m),
 "check_file": lambda: t.check_file({str(inp.trv)!r}),
 "check_json": lambda: t.check_json(m),
 "infer_axes_json": lambda: t.infer_axes_json(m),
 "resolve_json": lambda: t.resolve_json(m, cfg),
 "flatten_json": lambda: t.flatten_json(r, "main"),
 "load_flat_json": lambda: t.load_flat_json({str(inp.trv)!r}, {str(inp.toml)!r}),
}}
warm = t.parse_to_json(open({str(inp.trv.parent / "warm.trv")!r}).read())
t.flatten_json(t.resolve_json(warm, cfg), "main"); t.check_json(warm); t.fmt_json(warm)
"""
    folder = inp.trv.parent
    (folder / "warm.trv").write_text(gen_model.source(1))
    mpath, rpath = folder / "module.json", folder / "resolved.json"
    mpath.write_text(inp.module)
    rpath.write_text(inp.resolved)
    return memory.peak_added_memory(f"calls[{name!r}]()", setup, (mpath, rpath, inp.config))


def run(sizes, repeats, measure_memory, folder):
    rows = []
    for groups, layers in sizes:
        inp = Inputs(folder, groups, layers)
        reps = repeats if len(inp.source) < 5_000_000 else max(1, repeats - 2)
        for name, (call, in_size, peer, peer_name) in calls(inp).items():
            secs, out = best_of(call, reps)
            if peer is None:
                peer = lambda out=out: json.loads(out)  # noqa: E731
            peer_secs, _ = best_of(peer, reps)
            ops = op_count(out) if out.startswith('{"') and '"functions"' in out[:200] else op_count(inp.module)
            mem = peak_added_memory(name, inp) if measure_memory else None
            rows.append(dict(function=name, groups=groups, layers=layers, in_bytes=in_size,
                             out_bytes=len(out), secs=secs, mb_s=in_size / secs / 1e6,
                             ops_s=ops / secs, peer=peer_name, ratio=peer_secs / secs,
                             mem=mem))
    return rows


def scaling(folder, groups, layers, repeats):
    """flatten_json and load_flat_json at `layers` and twice as many: the ratio of times."""
    out = {}
    for name in ("flatten_json", "load_flat_json"):
        times = []
        for n in (layers, 2 * layers):
            inp = Inputs(folder, groups, n)
            call = calls(inp)[name][0]
            times.append(best_of(call, repeats)[0])
        out[name] = times[1] / times[0]
    return out


def print_table(rows):
    head = (f"{'function':<16} {'size':>10} {'out':>10} {'ms':>9} {'MB/s':>8} {'ops/s':>11} "
            f"{'peer':<16} {'x peer':>7} {'mem MB':>8} {'mem/io':>6}")
    print(head)
    print("-" * len(head))
    for r in rows:
        mem = "" if r["mem"] is None else f"{r['mem'] / 1e6:8.1f}"
        io = "" if r["mem"] is None else f"{r['mem'] / (r['in_bytes'] + r['out_bytes']):6.2f}"
        print(f"{r['function']:<16} {r['in_bytes'] / 1e6:9.2f}M {r['out_bytes'] / 1e6:9.2f}M "
              f"{r['secs'] * 1e3:9.2f} {r['mb_s']:8.1f} {r['ops_s']:11.3g} {r['peer']:<16} "
              f"{r['ratio']:7.2f} {mem:>8} {io:>6}")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="two small sizes, within a minute")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--hostile-only", action="store_true", help="only the hostile-input table")
    ap.add_argument("--out", type=pathlib.Path, default=ROOT / "build" / "bench")
    args = ap.parse_args()
    sizes = QUICK_SIZES if args.quick else FULL_SIZES
    repeats = 2 if args.quick else args.repeats
    if not args.hostile_only:
        rows = run(sizes, repeats, not args.no_memory, args.out)
        print_table(rows)
        g, l = (3, 4) if args.quick else (500, 7)
        for name, ratio in scaling(args.out, g, l, repeats).items():
            print(f"scaling: {name} with twice the layers takes {ratio:.2f}x the time")
        print()
    hostile.print_table(hostile.run(t, args.quick, repeats, args.out / "hostile"))


if __name__ == "__main__":
    main()
