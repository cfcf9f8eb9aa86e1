"""Flattening: calls inlined, loops unrolled, caches turned into slots (flatten_json)."""
import json
import os

import pytest

import _travune as t
from conftest import fn, module_text, op, panic_text, ty


def module_json(src):
    """A module given as source text or as a JSON value, as JSON text."""
    return t.parse_to_json(src) if isinstance(src, str) else json.dumps(src)


def flat(src, entry="main", keys=()):
    """The flattened entry function of a module (see module_json)."""
    (fn,) = json.loads(t.flatten_json(module_json(src), entry, list(keys)))["functions"].values()
    return fn


def show(op):
    """One op as "outs = kind[payload](args)"; payload: map's function, cache's var."""
    payload = {"map": op.get("function"), "cache": op.get("var")}.get(op["kind"])
    kind = op["kind"] + (f"[{payload}]" if payload is not None else "")
    return f"{', '.join(op['outputs'])} = {kind}({', '.join(str(a) for a in op['args'])})"


def ops(src, entry="main", keys=()):
    return [show(op) for op in flat(src, entry, keys)["ops"]]


def stop(src, entry="main", keys=()):
    return panic_text(lambda: t.flatten_json(module_json(src), entry, list(keys)))


BLOCK = """
block(x: f32[n], w: *) -> (y: f32[n]) {
  t = map[mul](x, w.scale)
  y = map[add](t, w.bias)
}
"""


# ---- binding and naming rules ----

CASES = {
    "namespace tail": ("""
f(x: f32[n], wq: f32[n], wk: f32[n]) -> (y: f32[n]) { y = map[add](x, wq, wk) }
main(h: f32[n]) -> (o: f32[n]) { o = call[f](h, weights.l0) }""",
                       ["o = map[add](h, weights.l0.wq, weights.l0.wk)"]),
    "full arity makes no tail": ("""
f(x: f32[n], w: f32[n]) -> (y: f32[n]) { y = map[add](x, w) }
main(h: f32[n]) -> (o: f32[n]) { o = call[f](h, weights.l0) }""",
                                 ["o = map[add](h, weights.l0)"]),
    "star prefix needs a dot": ("""
f(x: f32[n], w: *) -> (y: f32[n]) { y = map[add](w, w.a.b, wx) }
main(h: f32[n]) -> (o: f32[n]) { o = call[f](h, ws) }""",
                                ["o = map[add](ws, ws.a.b, o.wx)"]),
    "nested prefixes accumulate": ("""
g(x: f32[n]) -> (y: f32[n]) { t = map[neg](x)  y = map[exp](t) }
f(x: f32[n]) -> (y: f32[n]) { u = call[g](x)  y = map[abs](u) }
main(h: f32[n]) -> (o: f32[n]) { z = call[f](h)  o = map[relu](z) }""",
                                   ["z.u.t = map[neg](h)", "z.u = map[exp](z.u.t)",
                                    "z = map[abs](z.u)", "o = map[relu](z)"]),
    "global names stay": ("""
f(x: f32[n], n: f32[n]) -> (y: f32[n]) { y = map[add](x, param.eps, n, para) }
main(h: f32[n]) -> (o: f32[n]) { o = call[f](h, q) }""",
                          ["o = map[add](h, param.eps, n, o.para)"]),
    "return named like a parameter": ("""
f(x: f32[n]) -> (x: f32[n]) { x = map[neg](x) }
main(a: f32[n]) -> (o: f32[n]) { b = call[f](a)  o = map[relu](b) }""",
                                      ["a = map[neg](a)", "o = map[relu](b)"]),
    "loop body with two returns": ("""
f(x: f32[n]) -> (y: f32[n], z: f32[n]) { y = map[neg](x)  z = map[exp](x) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[f, 1](h)  o = map[relu](h) }""",
                                   ["h_1 = map[neg](h)", "loop0.z = map[exp](h)", "o = map[relu](h_1)"]),
    "two loops reuse the prefixes": ("""
f(x: f32[n]) -> (y: f32[n]) { t = map[neg](x)  y = map[exp](t) }
main(a: f32[n], b: f32[n]) -> (o: f32[n]) { a = loop[f, 1](a)  b = loop[f, 1](b) o = map[add](a, b) }""",
                                     ["loop0.t = map[neg](a)", "a_1 = map[exp](loop0.t)",
                                      "loop0.t = map[neg](b)", "b_1 = map[exp](loop0.t)",
                                      "o = map[add](a_1, b_1)"]),
    "cache var per iteration": ("""
init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }
f(x: f32[n]) -> (y: f32[n]) { c: f32[n] = cache[kv.*, init](x)  y = map[exp](x) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[f, 2](h)  o = map[relu](h) }""",
                                ["kv.0 = map[neg](h)", "h_1 = map[exp](h)",
                                 "kv.1 = map[neg](h_1)", "h_2 = map[exp](h_1)", "o = map[relu](h_2)"]),
    "cache outside a loop keeps its star": ("""
init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }
main(h: f32[n]) -> (o: f32[n]) { c: f32[n] = cache[kv.*, init](h)  o = map[relu](h) }""",
                                            ["kv.* = map[neg](h)", "o = map[relu](h)"]),
    "huge count over an empty body": ("""
id(x: f32[n]) -> (x: f32[n]) { }
main(h: f32[n]) -> (o: f32[n]) { h = loop[id, -1](h)  o = map[relu](h) }""",
                                      ["o = map[relu](h_18446744073709551615)"]),
    # No iteration: the body function is not even looked up, and later ops read the value
    # threaded in.
    "loop count zero": (BLOCK + "main(h: f32[n]) -> (o: f32[n]) { h = loop[block, 0](h, w)  o = map[relu](h) }",
                        ["o = map[relu](h)"]),
    "loop count zero, unknown body": ("main(h: f32[n]) -> (o: f32[n]) { h = loop[nope, 0](h, w)  o = map[relu](h) }",
                                      ["o = map[relu](h)"]),
    "call of a function with no params and no ops": (
        "empty() -> () { }\nmain(h: f32[n]) -> (o: f32[n]) { o = call[empty]() }", []),
    "redefinition ends the loop's renaming": ("""
f(x: f32[n]) -> (y: f32[n]) { y = map[neg](x) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[f, 2](h)  h = map[relu](h)  o = map[exp](h) }""",
                                              ["h_1 = map[neg](h)", "h_2 = map[neg](h_1)",
                                               "h = map[relu](h_2)", "o = map[exp](h)"]),
    # A number binds until the callee defines the name again; a number as the last argument of
    # a short call binds nothing and makes no tail.
    "number arguments": ("""
f(x: f32[n], s: f32[], u: f32[]) -> (y: f32[n]) { t = map[mul](x, s, u)  s = map[neg](t)  y = map[add](s, u) }
main(a: f32[n]) -> (o: f32[n]) { z = call[f](a, 2.5, 3)  o = call[f](a, 7) }""",
                         ["z.t = map[mul](a, 2.5, 3)", "z.s = map[neg](z.t)", "z = map[add](z.s, 3)",
                          "o.t = map[mul](a, o.s, o.u)", "o.s = map[neg](o.t)", "o = map[add](o.s, o.u)"]),
}


@pytest.mark.parametrize("src,expected", CASES.values(), ids=CASES.keys())
def test_naming(src, expected):
    assert ops(src) == expected


def test_loop_stars_and_later_copy_of_the_output():
    src = """
f(x: f32[n], a: f32[n], b: f32[n], c: f32[n]) -> (y: f32[n]) { y = map[add](x, a, b, c) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[f, 2](h, h, DOTSTAR, WSTARX)  o = map[relu](h) }"""
    m = t.parse_to_json(src).replace("DOTSTAR", ".*").replace("WSTARX", "w.*x")
    assert [show(op) for op in json.loads(t.flatten_json(m, "main"))["functions"]["main"]["ops"]] == [
        "h_1 = map[add](h, h, .0, w.*x)", "h_2 = map[add](h_1, h, .1, w.*x)", "o = map[relu](h_2)"]


def test_comments_of_calls_vanish_inlined_ops_keep_theirs():
    src = """
f(x: f32[n]) -> (y: f32[n]) {
  t = map[neg](x)
  // kept
  y = map[exp](t)
}
main(h: f32[n]) -> (o: f32[n]) {
  // gone
  o = call[f](h)
}"""
    assert [op.get("comments") for op in flat(src)["ops"]] == [None, ["// kept"]]


# ---- cache slots ----

# Slots placed among ordinary ops: the first op of the entry is a slot, slots sit inside
# unrolled layers, some are computed by init, some supplied and extended, some supplied as
# they are (their ops vanish, the first one included).
SLOTS = """
init_s(x: f32[n]) -> (s: f32[n]) { t = map[neg](x)  s = map[exp](t) }
init_k(x: f32[n]) -> (k: f32[n]) { k = map[neg](x) }
ext_k(k: f32[n], x: f32[n]) -> (y: f32[n]) { t = map[add](k, x)  y = map[exp](t) }
init_v(x: f32[n]) -> (v: f32[n]) { v = map[abs](x) }
layer(x: f32[n]) -> (y: f32[n]) {
  a = map[exp](x)
  k: f32[n] = cache[k.*, init_k, ext_k](a)
  y = map[add](a, k)
}
main(x: f32[n]) -> (o: f32[n]) {
  s: f32[n] = cache[s, init_s](x)
  x = loop[layer, 2](x)
  v: f32[n] = cache[v, init_v](x)
  o = map[mul](x, v)
}
"""


def names(params):
    return [(p["name"], p["ty"]["shape"]) for p in params]


# Keys naming no slot select nothing, no keys is the default, and a repeated key counts once.
@pytest.mark.parametrize("keys,same_as", [(["init_k", "ext_k", "nothing"], None), ([], None), (["k.1", "k.1"], ["k.1"])])
def test_cache_keys_that_change_nothing(keys, same_as):
    m = t.parse_to_json(SLOTS)
    expected = t.flatten_json(m, "main") if same_as is None else t.flatten_json(m, "main", same_as)
    assert t.flatten_json(m, "main", keys) == expected


def test_same_slot_twice_listed_once_with_first_type():
    src = """
init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }
main(x: f32[n]) -> (o: f32[n]) {
  c: f32[n] = cache[s, init](x)
  d: f32[m] = cache[s, init](x)
  o = map[relu](x)
}"""
    fn = flat(src)
    assert [show(op) for op in fn["ops"]] == ["s = map[neg](x)", "s = map[neg](x)", "o = map[relu](x)"]
    assert names(fn["returns"]) == [("o", ["n"]), ("s", ["n"])]
    fn = flat(src, keys=["s"])
    assert [show(op) for op in fn["ops"]] == ["o = map[relu](x)"]
    assert names(fn["params"]) == [("x", ["n"]), ("s", ["n"])]
    assert names(fn["returns"]) == [("o", ["n"]), ("s", ["n"])]


def test_slot_named_like_entry_param_and_return():
    src = """
init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }
main(x: f32[n]) -> (x: f32[q]) { c: f32[m] = cache[x, init](x) }"""
    fn = flat(src, keys=["x"])
    assert names(fn["params"]) == [("x", ["n"])]
    assert names(fn["returns"]) == [("x", ["q"])]


def test_raw_cache_inside_init_stays_and_unreached_functions_drop():
    src = """
inner(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }
init(x: f32[n]) -> (c: f32[n]) { c: f32[n] = cache[z, inner](x) }
unused(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }
main(x: f32[n]) -> (o: f32[n]) { c: f32[n] = cache[s, init](x)  o = map[relu](x) }"""
    out = json.loads(t.flatten_json(t.parse_to_json("// head\n" + src), "main"))
    assert list(out["functions"]) == ["main"] and out["header_comments"] == ["// head"]
    assert [show(op) for op in out["functions"]["main"]["ops"]] == ["s = cache[z](x)", "o = map[relu](x)"]


def test_entry_key_differs_from_name():
    m = json.loads(t.parse_to_json("f(x: f32[n]) -> (y: f32[n]) { y = map[neg](x) }"))
    out = json.loads(t.flatten_json(json.dumps({"functions": {"main": m["functions"]["f"]}}), "main"))
    assert list(out["functions"]) == ["main"] and out["functions"]["main"]["name"] == "f"


def map_op(function, output, *args):
    return op("map", [output], None, args, function=function)


def main_text(params, returns, ops):
    """The compact JSON text of a module holding only main, its names all of type f32[n]."""
    return module_text(fn("main", [(p, ty("n")) for p in params], [(r, ty("n")) for r in returns], ops))


LAYER_0 = [map_op("exp", "loop0.a", "x")]
LAYER_0_END = [map_op("add", "x_1", "loop0.a", "loop0.k"), map_op("exp", "loop1.a", "x_1")]
LAYER_1_END = [map_op("add", "x_2", "loop1.a", "loop1.k")]


@pytest.mark.parametrize("keys,params,returns,ops", [
    ([], ["x"], ["o", "s", "k.0", "k.1", "v"],
     [map_op("neg", "s.t", "x"), map_op("exp", "s", "s.t")] + LAYER_0 +
     [map_op("neg", "k.0", "loop0.a")] + LAYER_0_END + [map_op("neg", "k.1", "loop1.a")] +
     LAYER_1_END + [map_op("abs", "v", "x_2"), map_op("mul", "o", "x_2", "v")]),
    (["s", "k.1", "v"], ["x", "s", "k.1", "v"], ["o", "s", "k.0", "k.1_new", "v"],
     LAYER_0 + [map_op("neg", "k.0", "loop0.a")] + LAYER_0_END +
     [map_op("add", "k.1_new.t", "k.1", "loop1.a"), map_op("exp", "k.1_new", "k.1_new.t")] + LAYER_1_END + [map_op("mul", "o", "x_2", "v")]),
])
def test_slots_among_ops(keys, params, returns, ops):
    assert t.flatten_json(t.parse_to_json(SLOTS), "main", keys) == main_text(params, returns, ops)


def test_only_supplied_slots_leave_no_ops():
    src = "init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }\n" \
          "main(x: f32[n]) -> (o: f32[n]) { a: f32[n] = cache[a, init](x)  b: f32[n] = cache[b, init](x) }"
    assert t.flatten_json(t.parse_to_json(src), "main", ["a", "b"]) == \
        main_text(["x", "a", "b"], ["o", "a", "b"], [])


# Loops below the entry: in a loop body, in a called function, in a cache's init and extend
# functions; each inlined under its caller's prefix, its value read by the ops after it.
STEP = "step(x: f32[n]) -> (y: f32[n]) { t = map[neg](x)  y = map[exp](t) }\n"
INNER = [("neg", "{p}loop0.t", "{a}"), ("exp", "{p}{v}_1", "{p}loop0.t"),
         ("neg", "{p}loop1.t", "{p}{v}_1"), ("exp", "{p}{v}_2", "{p}loop1.t")]


def inner(prefix, var, arg):
    return [map_op(f, *(x.format(p=prefix, v=var, a=arg) for x in xs)) for f, *xs in INNER]


NESTED_LOOPS = {
    "loop in a loop body": (
        "block(x: f32[n]) -> (y: f32[n]) { x = loop[step, 2](x)  y = map[abs](x) }\n"
        "main(h: f32[n]) -> (o: f32[n]) { h = loop[block, 2](h)  o = map[relu](h) }", [],
        ["h"], ["o"],
        inner("loop0.", "x", "h") + [map_op("abs", "h_1", "loop0.x_2")] +
        inner("loop1.", "x", "h_1") + [map_op("abs", "h_2", "loop1.x_2"), map_op("relu", "o", "h_2")]),
    "loop in a called function": (
        "f(x: f32[n]) -> (y: f32[n]) { x = loop[step, 2](x)  y = map[abs](x) }\n"
        "main(h: f32[n]) -> (o: f32[n]) { z = call[f](h)  o = map[relu](z, h) }", [],
        ["h"], ["o"],
        inner("z.", "x", "h") + [map_op("abs", "z", "z.x_2"), map_op("relu", "o", "z", "h")]),
    "loop in a cache init": (
        "init(x: f32[n]) -> (c: f32[n]) { x = loop[step, 2](x)  c = map[abs](x) }\n"
        "main(h: f32[n]) -> (o: f32[n]) { k: f32[n] = cache[k, init](h)  o = map[relu](h, k) }", [],
        ["h"], ["o", "k"],
        inner("k.", "x", "h") + [map_op("abs", "k", "k.x_2"), map_op("relu", "o", "h", "k")]),
    "loop in a cache extend": (
        "init(x: f32[n]) -> (c: f32[n]) { c = map[abs](x) }\n"
        "ext(c: f32[n], x: f32[n]) -> (y: f32[n]) { c = loop[step, 2](c)  y = map[add](c, x) }\n"
        "main(h: f32[n]) -> (o: f32[n]) { k: f32[n] = cache[k, init, ext](h)  o = map[relu](h, k) }",
        ["k"], ["h", "k"], ["o", "k_new"],
        inner("k_new.", "c", "k") + [map_op("add", "k_new", "k_new.c_2", "h"),
                                     map_op("relu", "o", "h", "k")]),
}


@pytest.mark.parametrize("src,keys,params,returns,ops", NESTED_LOOPS.values(), ids=NESTED_LOOPS.keys())
def test_loops_below_the_entry(src, keys, params, returns, ops):
    assert t.flatten_json(t.parse_to_json(STEP + src), "main", keys) == main_text(params, returns, ops)


# The whole entry expands before its slots are placed: a stop of the expansion wins over a
# stop of an earlier slot.
SLOT_STOPS = {
    "untyped slot": ("c = cache[s, init](x)", "cache slot must have a declared type"),
    "slot's init unknown": ("c: f32[n] = cache[s, nowhere](x)", "no entry found for key"),
    "slot's init over the bound": ("c: f32[n] = cache[s, huge](x)",
                                   "loop over 'init' with count 18446744073709551615 would "
                                   "produce more than 10000000 ops"),
}
LATER_STOPS = {
    "recursion": ("o = call[main](x)", "recursive call: main -> main"),
    "binding count": ("o = call[init](x, x)",
                      "call of 'init' in 'main' passes 2 arguments, but 'init' has 1 parameter"),
}


@pytest.mark.parametrize("slot,slot_message", SLOT_STOPS.values(), ids=SLOT_STOPS.keys())
@pytest.mark.parametrize("later,later_message", LATER_STOPS.values(), ids=LATER_STOPS.keys())
def test_expansion_stop_wins_over_slot_stop(slot, slot_message, later, later_message):
    functions = "init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }\n" \
                "huge(x: f32[n]) -> (x: f32[n]) { x = loop[init, -1](x) }\n"
    assert stop(functions + f"main(x: f32[n]) -> (o: f32[n]) {{ {slot}  o = map[neg](x) }}") == \
        slot_message
    assert stop(functions + f"main(x: f32[n]) -> (o: f32[n]) {{ {slot}  {later} }}") == \
        later_message


# ---- stops ----

G = "g(a: f32[n], w: *) -> (y: f32[n]) { y = map[add](a, w.b) }\n"
INIT = "init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }\n"


def main_with(body):
    return "main(x: f32[n]) -> (x: f32[n]) {\n  q = map[neg](x)\n  " + body + "\n}\n"


STOPS = {
    "unknown entry": (BLOCK, "nope", "no entry found for key"),
    "unknown callee": ("main(x: f32[n]) -> (o: f32[n]) { o = call[g](x) }", "main",
                       "no entry found for key"),
    "symbolic count": (BLOCK + "main(h: f32[n]) -> (o: f32[n]) { h = loop[block, param.L](h, w) }",
                       "main", "Loop count 'param.L' not resolved before flattening"),
    "no threaded arg": (BLOCK + "main(h: f32[n]) -> (o: f32[n]) { o = loop[block, 2](h, w) }",
                        "main", "Loop must have a threaded arg matching output name"),
    "second loop threads the first": (BLOCK + """
main(h: f32[n]) -> (o: f32[n]) { h = loop[block, 2](h, w) h = loop[block, 2](h, w) }""",
                                      "main", "Loop must have a threaded arg matching output name"),
    # A runaway count stops only once the first iteration would have inlined.
    "binding count comes before the size bound": (
        BLOCK + "main(h: f32[n]) -> (o: f32[n]) { h = loop[block, -1](h, w, v) }",
        "main", "loop over 'block' in 'main' passes 3 arguments, but 'block' has 2 parameters"),
    "body's own stop comes before the size bound": ("""
g(a: f32[n]) -> (y: f32[n]) { q = map[neg](a)  y = loop[g2, param.x](y) }
main(x: f32[n]) -> (o: f32[n]) { x = loop[g, -1](x) }""", "main",
                                                    "Loop count 'param.x' not resolved before flattening"),
    "callee failure comes before binding count": ("""
g() -> (y: f32[n]) { y = call[nope]() }
main(x: f32[n]) -> (o: f32[n]) { o = call[g](x) }""", "main", "no entry found for key"),
    "recursion through a cache init": ("""
init(x: f32[n]) -> (c: f32[n]) { c = call[init](x) }
main(x: f32[n]) -> (o: f32[n]) { c: f32[n] = cache[s, init](x) }""", "main", "recursive call: init -> init"),
    "recursion through a loop": ("""f(x: f32[n]) -> (y: f32[n]) { y = call[g](x) }
g(x: f32[n]) -> (y: f32[n]) { x = loop[f, 2](x) }
main(x: f32[n]) -> (o: f32[n]) { o = call[f](x) }""", "main", "recursive call: main -> f -> g -> f"),
    # What failed and where, as the messages say it.
    "call with too many arguments": (
        G + main_with("y = call[g](x, w, v)"), "main",
        "call of 'g' in 'main' passes 3 arguments, but 'g' has 2 parameters"),
    "call with no argument": (
        G + main_with("y = call[g]()"), "main",
        "call of 'g' in 'main' passes 0 arguments, but 'g' has 2 parameters"),
    "call in a callee": (
        G + "mid(x: f32[n]) -> (x: f32[n]) { x = call[g](x, w, v) }\n" + main_with("x = call[mid](x)"), "main",
        "call of 'g' in 'mid' passes 3 arguments, but 'g' has 2 parameters"),
    "loop with too many arguments": (
        G + main_with("x = loop[g, 4](x, w, v)"), "main",
        "loop over 'g' in 'main' passes 3 arguments, but 'g' has 2 parameters"),
    "cache slot with no argument": (
        INIT + main_with("c: f32[n] = cache[k, init]()"), "main",
        "cache slot 'k' computed by 'init' in 'main' passes 0 arguments, but 'init' has 1 parameter"),
    "call without outputs": (
        G + main_with("(): () = call[g](x, w)"), "main",
        "call of 'g' at op 1 of 'main' has no outputs"),
    "first op: a call without outputs": (
        G + "main(x: f32[n]) -> (x: f32[n]) { (): () = call[g](x, w) }", "main",
        "call of 'g' at op 0 of 'main' has no outputs"),
    "loop without outputs": (
        G + main_with("(): () = loop[g, 2](x, w)"), "main",
        "loop over 'g' at op 1 of 'main' has no outputs"),
}


@pytest.mark.parametrize("src,entry,message", STOPS.values(), ids=STOPS.keys())
def test_stops(src, entry, message):
    assert stop(src, entry) == message


# ---- guards where expansion would otherwise recurse, run away or read stale names ----

def _chain(calls, nested_by="call"):
    """f0 calls f1, ..., f{calls - 1} calls f{calls}, which holds one op: `calls` nested calls."""
    step = {"call": "y = call[f{}](x)", "loop": "x = loop[f{}, 1](x)  y = map[id](x)"}[nested_by]
    fns = [f"f{i}(x: f32[n]) -> (y: f32[n]) {{ {step.format(i + 1)} }}" for i in range(calls)]
    return "\n".join(fns + [f"f{calls}(x: f32[n]) -> (y: f32[n]) {{ y = map[neg](x) }}"])


@pytest.mark.parametrize("nested_by", ["call", "loop"])
def test_calls_nest_256_levels_deep(nested_by):
    assert len(ops(_chain(256, nested_by), "f0")) == (1 if nested_by == "call" else 257)
    assert stop(_chain(257, nested_by), "f0") == \
        "calls nested more than 256 levels deep: f0 -> ... -> f256 -> f257"
    # Slots: an init function starts a chain of its own.
    slot = "main(x: f32[n]) -> (o: f32[n]) { c: f32[n] = cache[s, f0](x)  o = map[neg](x) }\n"
    assert len(ops(slot + _chain(256, nested_by))) == (2 if nested_by == "call" else 258)
    assert stop(slot + _chain(257, nested_by)).startswith("calls nested more than 256 levels deep")


def test_runaway_counts_stop_before_building():
    # A negative count in the source wraps to 2^64 - 1.
    assert stop(BLOCK + "main(h: f32[n]) -> (o: f32[n]) { h = loop[block, -1](h, w) }") == (
        "loop over 'block' with count 18446744073709551615 would produce more than 10000000 ops")
    # Ten levels of ten calls each: 10^9 ops.
    fns = ["f0(x: f32[n]) -> (y: f32[n]) { y = map[neg](x) }"] + [
        f"f{i}(x: f32[n]) -> (y: f32[n]) {{ {' '.join(f'y = call[f{i - 1}](x)' for _ in range(10))} }}"
        for i in range(1, 10)]
    assert stop("\n".join(fns), "f9") == "call of 'f8' would produce more than 10000000 ops"


BIG = "f32[B, T, 4096]"
BYTES = "loop over 'body' with count 1000000 would produce more than 8589934592 bytes of ops"
NESTED_LOOP = """
body(x: {ty}, w: {ty}) -> (y: {ty}) {{ y: {ty} = map[f](x, w)  {extra} }}
f(x: {ty}, w: {ty}) -> (x: {ty}) {{ x = loop[body, {n}](x, w) }}
main(h: {ty}, w: {ty}) -> (o: {ty}) {{ o = call[f](h, w) }}
"""


@pytest.mark.parametrize("n,ty,extra,message", [
    # Every op of the result counts once, whatever its size, and a body looped inside a call
    # counts once too (not when it is built and again when it is inlined).
    (10_000_001, "f32[n]", "", "loop over 'body' with count 10000001 would produce more than 10000000 ops"),
    (10_000_001, BIG, "", "loop over 'body' with count 10000001 would produce more than 10000000 ops"),
    (5_000_001, "f32[n]", "z = map[g](y)",
     "loop over 'body' with count 5000001 would produce more than 10000000 ops"),
    # Ops too large to keep stop on their own bound, in bytes: the loop's ops alone, or the
    # body kept for the call together with its copy in the result.
    (1_000_000, "f32[n]", "// " + "c" * 10_000 + "\n  z = map[g](y)", BYTES),
    (1_000_000, "f32[n]", "z = map[g](y, " + " ".join(f"a{i}" for i in range(5000)) + ")", BYTES),
    (1_000_000, "f32[n]", "z = literal([" + ", ".join(["1"] * 5000) + "])", BYTES),
    (3_000_000, "f32[" + ", ".join(f"d{i}" for i in range(30)) + "]", "",
     "call of 'f' would produce more than 8589934592 bytes of ops"),
])
def test_bounds_stop_before_building(n, ty, extra, message):
    assert stop(NESTED_LOOP.format(n=n, ty=ty, extra="\n  " + extra + "\n")) == message


@pytest.mark.skipif(os.environ.get("TRAVUNE_SANITIZED") == "1", reason="ten million ops")
def test_ten_million_ops_flatten():
    # Inside a call, as above: the body kept for the call and its copy in the result, of ops
    # small enough for the bound on bytes.
    src = """
body(x: f32[n]) -> (y: f32[n]) { y = map[f](x) }
f(x: f32[n]) -> (x: f32[n]) { x = loop[body, 10000000](x) }
main(h: f32[n]) -> (o: f32[n]) { o = call[f](h) }"""
    out = t.flatten_json(t.parse_to_json(src), "main")
    assert out.count('{"kind":"map"') == 10_000_000
    assert out.endswith('{"kind":"map","function":"f","outputs":["o.x_10000000"],"output_types":[null],"args":["o.x_9999999"]}]}}}')
    del out
    assert stop(src.replace("10000000", "10000001")) == \
        "loop over 'body' with count 10000001 would produce more than 10000000 ops"


def _call_module(params, args, body_args):
    """f(params) -> (y) { y = map[id](body_args) }, called once by main with `args`;
    a param given as "name*" is a namespace parameter."""
    typed = [(p.rstrip("*"), ty(dtype="*" if p.endswith("*") else "f32")) for p in params]
    f = fn("f", typed, [("y", ty())], [op("map", ["y"], None, body_args, function="id")])
    return json.loads(module_text(f, fn("main", ops=[op("call", ["o"], None, args, target="f")])))


WIDE = [f"w{i}*" for i in range(2000)]

NAMESPACES = {
    # The first declared of all the matching parameters, whatever their lengths.
    "longest first": (["a.b.c*", "a*", "a.b*"], ["p", "q", "r"], ["a.b.c.d", "a.b.x", "a.x", "a.b.c"],
                      ["p.d", "q.b.x", "q.x", "p"]),
    "shortest first": (["a*", "a.b.c*", "a.b*"], ["p", "q", "r"], ["a.b.c.d", "a.b", "ab", "a.bc"],
                       ["p.b.c.d", "p.b", "o.ab", "p.bc"]),
    # A parameter declared twice keeps its first place and takes its last argument.
    "declared twice": (["w.a*", "w*", "w.a*"], ["p", "q", "r"], ["w.a.b", "w.b"], ["r.b", "q.b"]),
    # A name matches only up to a dot: an empty parameter name matches names beginning with one.
    "empty name": (["*", "x*"], ["p", "q"], [".a", "x.a", "xa", ""], ["p.a", "q.a", "o.xa", "p"]),
    # The same among more namespace parameters (looked up by the name's dotted prefixes).
    "longest first, among many": (["a.b.c*", "a*", "a.b*", "x1*", "x2*", "x3*"], list("pqrstu"),
                                  ["a.b.c.d", "a.b.x", "a.x", "a.b.c", "x3.y"],
                                  ["p.d", "q.b.x", "q.x", "p", "u.y"]),
    "declared twice, among many": (["w.a*", "w*", "w.a*", "x1*", "x2*", "x3*"], list("pqrstu"),
                                   ["w.a.b", "w.b", "x2"], ["r.b", "q.b", "t"]),
    "empty name, among many": (["*", "x*", "y1*", "y2*", "y3*"], list("pqrst"), [".a", "x.a", "xa", ""],
                               ["p.a", "q.a", "o.xa", "p"]),
    # Thousands of namespace parameters: each name finds its own.
    "wide": (WIDE, [f"ns{i}" for i in range(2000)], ["w1999.a", "w0", "w10.b.c", "w2000.a"],
             ["ns1999.a", "ns0", "ns10.b.c", "o.w2000.a"]),
}


@pytest.mark.parametrize("params,args,names,expected", NAMESPACES.values(), ids=NAMESPACES.keys())
def test_namespace_parameters(params, args, names, expected):
    assert flat(_call_module(params, args, names))["ops"][0]["args"] == expected


def test_many_number_parameters():
    n = 3000
    params = [f"p{i}" for i in range(n)] + ["p7"]  # p7 again: its last binding counts
    args = list(range(n)) + ["v"]
    body = [f"p{i}" for i in reversed(range(n))] + ["q"]
    got = flat(_call_module(params, args, body))["ops"][0]["args"]
    assert got == [("v" if i == 7 else i) for i in reversed(range(n))] + ["o.q"]


# Every iteration of a loop binds as a call of its own would: the threaded value, the x.*
# names and the namespace tail change, the other arguments stay, and a number the body
# defines again is read again in the next iteration.
LOOP_BINDINGS = {
    "numbers, namespaces and names": ("""
body(x: f32[n], s: f32[], w: *, v: f32[n]) -> (y: f32[n]) {
  t = map[mul](x, s, w.a, v)
  s = map[neg](t)
  y = map[add](s, w.b, v, s)
}
main(h: f32[n]) -> (o: f32[n]) { h = loop[body, 2](h, 2.5, weights.l.*, q.*)  o = map[relu](h) }""",
        ["loop0.t = map[mul](h, 2.5, weights.l.0.a, q.0)", "loop0.s = map[neg](loop0.t)",
         "h_1 = map[add](loop0.s, weights.l.0.b, q.0, loop0.s)",
         "loop1.t = map[mul](h_1, 2.5, weights.l.1.a, q.1)", "loop1.s = map[neg](loop1.t)",
         "h_2 = map[add](loop1.s, weights.l.1.b, q.1, loop1.s)", "o = map[relu](h_2)"]),
    "namespace tail": ("""
body(x: f32[n], wq: f32[n], wk: f32[n]) -> (y: f32[n]) { y = map[f](x, wq, wk) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[body, 2](h, weights.l.*) }""",
        ["h_1 = map[f](h, weights.l.0.wq, weights.l.0.wk)",
         "h_2 = map[f](h_1, weights.l.1.wq, weights.l.1.wk)"]),
    "threaded last, a fixed tail before it": ("""
body(s: f32[], w: *, x: f32[n]) -> (y: f32[n]) { y = map[f](x, s, w.a) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[body, 2](3, k, h) }""",
        ["h_1 = map[f](h, 3, k.a)", "h_2 = map[f](h_1, 3, k.a)"]),
    "a parameter named twice": ("""
body(x: f32[n], w: *, w: *) -> (y: f32[n]) { y = map[f](x, w.z) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[body, 2](h, a.*, b.*) }""",
        ["h_1 = map[f](h, b.0.z)", "h_2 = map[f](h_1, b.1.z)"]),
    "the threaded value as a namespace": ("""
body(x: *, v: f32[n]) -> (x: f32[n]) { x.t = map[f](x.a, v) }
main(h: f32[n]) -> (o: f32[n]) { h = loop[body, 2](h, v.*) }""",
        ["h.t = map[f](h.a, v.0)", "h_1.t = map[f](h_1.a, v.1)"]),
}


@pytest.mark.parametrize("src,expected", LOOP_BINDINGS.values(), ids=LOOP_BINDINGS.keys())
def test_loop_bindings_per_iteration(src, expected):
    assert ops(src) == expected
