"""Lookup tables hash with a key drawn per process: no result may depend on it.

The same calls in two fresh processes (two keys) give the same texts, on inputs with
many names in every table: functions, op outputs, configuration values, cache keys, weights.
"""
import json

from conftest import EXAMPLES, run_python

# Each call's result (or stop message) as a digest, in a child process.
SCRIPT = r'''
import hashlib, json, sys, _travune as t
examples = sys.argv[1]
n = 300
fns = "\n".join(
    f"f{i}(x: f32[N]) -> (y: f32[N]) {{\n" + "".join(f"  a{j}: f32[N] = map[relu](x)\n" for j in range(20))
    + "  y: f32[N] = map[add](a0, a19)\n}\n" for i in range(n))
calls = "".join(f"  h{i}: f32[N] = call[f{i}](h{i-1 if i else ''})\n" for i in range(n))
caches = "".join(f"  c{i}: f32[N] = cache[init, extend](h)\n" for i in range(40))
src = fns + "init(x: f32[N]) -> (y: f32[N]) { y: f32[N] = map[relu](x) }\n" \
    + "extend(x: f32[N]) -> (y: f32[N]) { y: f32[N] = map[relu](x) }\n" \
    + f"main(h: f32[N]) -> (out: f32[N]) {{\n{calls}{caches}  out: f32[N] = map[relu](h{n-1})\n}}\n"
config = json.dumps({f"k{i}": i for i in range(2000)} | {"N": 8})
keys = [f"c{i}" for i in range(0, 40, 3)] + [f"x{i}" for i in range(500)]
def run(fn, *a, **k):
    try:
        out = fn(*a, **k)
    except BaseException as e:
        out = type(e).__name__ + str(e)
    return hashlib.sha256(out.encode()).hexdigest()
m = t.parse_to_json(src)
results = [run(t.parse_to_json, src), run(t.fmt_source, src), run(t.fmt_json, m), run(t.check_json, m),
           run(t.infer_axes_json, m), run(t.resolve_json, m, config), run(t.flatten_json, m, "main", keys),
           run(t.load_flat_json, examples + "/model.trv", examples + "/config.toml"),
           run(t.check_file, examples + "/model.trv"), run(t.fmt_file, examples + "/model.trv")]
print(json.dumps(results))
'''


def test_results_do_not_depend_on_the_hash_key():
    first, second = (json.loads(run_python(SCRIPT, EXAMPLES, check=True).stdout) for _ in range(2))
    assert first == second
