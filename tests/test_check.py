"""The checker: messages, constraints and the CheckResult JSON, through check_json and check_file."""
import json

import pytest

import _travune as t
from conftest import panic_text

EMPTY = '{"errors":[],"constraints":{"params":[],"weights":{}}}'
STAR = {"dtype": "*", "shape": []}
N4, GD, GE = ("f32", "n", 4), ("f32", "d"), ("f32", "e")


def T(dtype, *shape):
    return {"dtype": dtype, "shape": list(shape)}


def op(kind, out, ty, args, **fields):  # ty: a (dtype, *dims) tuple, or None for untyped
    outs, tys = (out, ty) if isinstance(out, list) else ([out], [ty and T(*ty)])
    return {"kind": kind, **fields, "outputs": outs, "output_types": tys, "args": args}


def fn(params=(), returns=(), ops=(), name="f"):
    typed = lambda ps: [{"name": n, "ty": ty if isinstance(ty, dict) else T(*ty)} for n, ty in ps]
    return {"name": name, "params": typed(params), "returns": typed(returns), "ops": list(ops)}


def check(**functions):
    return json.loads(t.check_json(json.dumps({"functions": functions})))


def errors(**functions):
    return check(**functions)["errors"]


def ty(dtype, *dims):
    return 'Ty { dtype: "%s", shape: [%s] }' % (dtype, ", ".join(dims))


def declared(decl, exp, reason, label="f/y"):
    return f"{label}: declared {decl}, expected {exp} \u2014 {reason}"


# ---- the result and its JSON form ----

def test_empty_module():
    assert t.check_json('{"functions":{}}') == EMPTY
    assert t.check_json('{"functions":{"f":%s}}' % json.dumps(fn())) == EMPTY


def test_json_form():
    text = t.check_json(json.dumps({"functions": {"f": fn(
        [("x", ("i32", 2)), ("w", STAR), ("b", ("f32", "param.b")), ("a", ("f32", "param.B"))],
        ops=[op("fold", "y", ("f32", 2), ["x"], reduction="sum"),
             op("call", "z", ("f32",), ["w.q"], target="g")]), "g": fn([("q", GD)])}}))
    assert text == ('{"errors":["f/y: declared Ty { dtype: \\"f32\\", shape: [Concrete(2)] }, '
                    'expected Ty { dtype: \\"i32\\", shape: [Concrete(2)] } \u2014 dtype: i32 vs f32"],'
                    '"constraints":{"params":["param.B","param.b"],'
                    '"weights":{"f":{"w.q":{"dtype":"f32","shape":["d"]}}}}}')


def test_messages_print_names_plainly_and_dimensions_in_debug_form():
    assert errors(f=fn([("x", ("f32", 'a"b.c\r\0\x85'))], [("x", ("f32", 'a"b.d'))]),
                  g=fn(ops=[op("iota", 'y"\n', ("f32",), ['q"\t'])])) == [
        'f: return \'x\' dim 0: Named("a\\"b.c\\r\\0\\u{85}") vs Named("a\\"b.d")',
        "g/y\"\n: input 'q\"\t' not in scope"]


# ---- scope ----

@pytest.mark.parametrize("args,messages,params", [
    ([1, 2.5, "x", "w", "w.q", "w.layer.0", "n", "m"], [], []),  # m: declared by a later op only
    (["param.k", "param.k"], [], ["param.k"]),
    (["param", "wq", "x.y", "later"], ["param", "wq", "x.y", "later"], []),
])
def test_argument_lookup(args, messages, params):
    ops = [op("iota", "y", ("f32", "n"), args), op("iota", "later", ("f32", "m"), [])]
    res = check(f=fn([("x", ("f32", "n")), ("w", STAR)], ops=ops))
    assert res["errors"] == [f"f/y: input '{m}' not in scope" for m in messages]
    assert res["constraints"]["params"] == params


def test_scope_edge_cases():
    res = check(
        f=fn([("x", ("f32",))], ops=[op("iota", "y", ("f32",), ["w.q"])]),  # no namespace parameter
        g=fn([("param.k", ("f32",))], ops=[op("iota", "y", ("f32",), ["param.k"])]),  # a value
        h=fn(ops=[op("iota", ["a", "b"], [T("f32")], []), op("iota", "c", ("f32",), ["b"])]))
    assert res["errors"] == ["f/y: input 'w.q' not in scope", "h/c: input 'b' not in scope"]
    assert res["constraints"]["params"] == []


def test_untyped_first_output_and_redefinition():
    ops = [op("map", ["a", "b"], [None, T("i32", "param.q")], ["z", "x"], function="add"),
           op("map", "c", ("f32", 4), ["b"], function="add"),
           op("iota", "b", ("f32", 4), []), op("map", "y", ("f32", 4), ["b"], function="add")]
    res = check(k=fn([("x", ("f32", 4))], [("b", ("i32", 4))], ops))
    assert res["errors"] == [
        "k/a: input 'z' not in scope",
        declared(ty("f32", "Concrete(4)"), ty("i32", 'Named("param.q")'), "dtype: i32 vs f32", "k/c"),
        "k: return 'b' dtype: f32 vs i32"]
    assert res["constraints"]["params"] == ["param.q"]


# ---- types_match (through returns), and the returns ----

@pytest.mark.parametrize("a,b,reason", [
    (("f32", "n", 4), ("f32", "m", 4), None),
    (("f32", "param.d"), ("f32", "param.e"), 'dim 0: Named("param.d") vs Named("param.e")'),
    (("f32", "n"), ("f32", "param.e"), None),
    (("f32", 4, "param.d"), ("f32", "n", 5), None),  # a concrete and a named dimension always match
    (("f32", "param.d", 4), ("f32", 3, 4), None),
    (("f32", 2, "..."), ("f32", 2, "param.e"), None),  # "..." past the front matches any dimension
    (("f32", "..."), ("f32", 2, 3), None),
    (("f32", "...", 4), ("f32", 2, 3, 5), "dim 0: Concrete(4) vs Concrete(5)"),
    (("f32", 2, 3, 5), ("f32", "...", 4), "dim 0: Concrete(4) vs Concrete(5)"),
    (("f32", "...", 2, 3), ("f32", "...", 2), "dim 0: Concrete(2) vs Concrete(3)"),  # short first
    (("f32", 2, 3), ("f32", 2, 3, 4), "rank: 2 vs 3"),
    (("f32", 2, "..."), ("f32", 2, 3, 4), "rank: 2 vs 3"),  # variadic only in front
    (("i32", 2), ("f32", 3, 4), "dtype: i32 vs f32"),
])
def test_types_match(a, b, reason):
    assert errors(f=fn([("x", a)], [("x", b)])) == ([f"f: return 'x' {reason}"] if reason else [])


def test_returns_named_by_function_key():
    res = errors(main=fn([("x", ("f32", 2)), ("w", STAR)],
                         [("y", ("f32",)), ("w", STAR), ("z", STAR), ("x", ("f32", 3))], name="other"))
    assert res == ["main: return 'y' not found in env",
                   "main: return 'x' dim 0: Concrete(2) vs Concrete(3)"]


# ---- kind rules ----

@pytest.mark.parametrize("x,decl,messages", [
    (("f32", 2, 3), ("f32", 6), []),
    (("f32", 2, 3), ("f32", 5), ["f/y: view reshapes 6 elements to 5"]),
    (("f32", 2, 3), ("f32", "n"), []),
    (("f32", 2, 3), ("f32",), ["f/y: view reshapes 6 elements to 1"]),
    (("f32", 4294967296, 4294967296), ("f32", 0), []),  # 2^64 wraps to 0
    (("f32", 9223372036854775807, 2), ("f32", 1), ["f/y: view reshapes -2 elements to 1"]),
    (("f32", 2, 3), ("i32", 5), ["f/y: view reshapes 6 elements to 5", declared(
        ty("i32", "Concrete(5)"), ty("f32", "Concrete(5)"), "dtype: f32 vs i32")]),
])
def test_view(x, decl, messages):
    assert errors(f=fn([("x", x)], ops=[op("view", "y", decl, ["x"], pattern="")])) == messages


def shape_msg(function, s0, k, sk):
    return (f"f/y: map[{function}] requires all inputs to share the same shape; input 0 has shape "
            f"[{s0}] but input {k} has shape [{sk}]. Use an explicit `tile` to broadcast first.")


MAP_PARAMS = [("i", ("i32", "n")), ("a", ("f32", 4)), ("b", ("f32", "n")), ("c", ("bool", 4)),
              ("m", ("f32", 2, 3))]
C4, NN = "Concrete(4)", 'Named("n")'


@pytest.mark.parametrize("function,args,decl,messages", [
    ("f32", ["i"], ("f32", "n"), []),
    ("bf16", ["i"], ("bf16", "n"), []),  # a cast's dtype is its function's name
    ("add", ["i"], ("f32", "n"), [declared(ty("f32", NN), ty("i32", NN), "dtype: i32 vs f32")]),
    ("add", ["m"], ("f32", 6), [declared(ty("f32", "Concrete(6)"),
                                         ty("f32", "Concrete(2)", "Concrete(3)"), "rank: 2 vs 1")]),
    # typed inputs are counted, not arguments; each is compared with input 0
    ("add", ["a", "n", 1.5, "b", "c", "m"], ("f32", 4),
     [shape_msg("add", C4, 1, NN), shape_msg("add", C4, 3, "Concrete(2), Concrete(3)")]),
    ("lt", ["i", "i"], ("bool", "n"), []),
    ("where", ["c", "a", "a"], ("i32", 4), [declared(ty("i32", C4), ty("f32", C4), "dtype: f32 vs i32")]),
    ("where", ["c", 1.0, "i"], ("f32", 4),
     [shape_msg("where", C4, 1, NN), declared(ty("f32", C4), ty("i32", C4), "dtype: i32 vs f32")]),
    ("where", ["c", 1.0, 2.0], ("f32", 5), [declared(ty("f32", "Concrete(5)"), ty("f32", C4),
                                                     "dim 0: Concrete(4) vs Concrete(5)")]),
    ("add", ["n", 2], ("f32", 9), []),
])
def test_map(function, args, decl, messages):
    ops = [op("map", "y", decl, args, function=function)]
    assert errors(f=fn(MAP_PARAMS, ops=ops)) == messages


DTYPE = declared(ty("f32", NN), ty("i32", NN), "dtype: i32 vs f32")
INDEX = "f/y: read index dtype f32, expected integer"


@pytest.mark.parametrize("kind,fields,args,messages", [
    ("fold", {"reduction": "sum"}, ["x"], [DTYPE]),
    ("fold", {"reduction": "sum"}, ["n", "x"], []),
    ("tile", {}, ["x"], [DTYPE]),
    ("write", {"reduction": "add"}, ["x", "k"], [DTYPE]),
    ("read", {}, ["k", "j"], []),
    ("read", {}, ["n", "k"], [INDEX]),
    ("read", {}, ["x", "k", "q"], ["f/y: input 'q' not in scope", INDEX, DTYPE]),
    ("contract", {}, ["n", "x", "k"], [DTYPE]),
    ("literal", {"value": 1}, ["x"], []),
    ("random", {"lower": 0.0, "upper": 1.0}, ["x"], []),
])
def test_other_kinds(kind, fields, args, messages):
    params = [("x", ("i32", "n", 4)), ("k", ("f32", "n")), ("j", ("int64", "n"))]
    assert errors(f=fn(params, ops=[op(kind, "y", ("f32", "n"), args, **fields)])) == messages


# ---- the limit ----

@pytest.mark.parametrize("outputs,types", [([], []), ([], [T("f32")]), (["y"], [])])
def test_op_without_outputs_or_types_stops(outputs, types):
    panic_text(errors, f=fn(ops=[op("iota", "a", ("f32",), ["q"]), op("iota", outputs, types, [])]))


# ---- call sites ----

CALLER = [("a", ("f32", 8, "n", 4)), ("b", ("f32", 8, "n", 5)), ("c", ("f32", 4)), ("d", ("f32", 2, 3)),
          ("e", ("f32", "m")), ("p", ("f32", "param.e")), ("i", ("i32", 8, 4)), ("s", ("f32", "...", 4))]


@pytest.mark.parametrize("args,params,messages", [
    (["a"], [("x", N4)], []),  # batched
    (["b"], [("x", N4)], ["0 'x' \u2014 dim 1: 5 vs 4"]),
    (["a", "c"], [("x", N4), ("z", N4)], ["1 'z' \u2014 rank: 1 < 2"]),
    (["c"], [("x", N4)], ["0 'x' \u2014 rank: 1 vs 2"]),  # strict
    (["a", "d"], [("x", N4), ("z", ("f32", 2, 4))], ["1 'z' \u2014 dim 1: 3 vs 4"]),
    (["a", "p"], [("x", N4), ("z", ("f32", "param.d"))], []),
    (["e"], [("z", ("f32", "param.d"))], []),
    (["p"], [("z", ("f32", "param.d"))], ["0 'z' \u2014 dim 0: Named(\"param.e\") vs Named(\"param.d\")"]),
    (["i"], [("x", ("f32", 4))], ["0 'x' \u2014 dtype: i32 vs f32"]),
    (["s"], [("x", ("f32", 3))], ["0 'x' \u2014 dim 0: 4 vs 3"]),  # a leading "..." counts
    (["c", "d", "a"], [("x", ("f32", 5)), ("y", STAR)], ["0 'x' \u2014 dim 0: Concrete(4) vs Concrete(5)"]),
    ([], [("x", ("f32", 5))], []),
])
def test_call_arguments(args, params, messages):
    ops = [op("call", "y", ("f32",), args, target="g")]
    assert errors(f=fn(CALLER, ops=ops), g=fn(params)) == [f"f/y: arg {m}" for m in messages]


@pytest.mark.parametrize("kind,fields", [
    ("call", {"target": "g"}), ("loop", {"target": "g", "count": 2}), ("cache", {"var": "v", "init": "g"}),
    ("call", {"target": "h"}),  # found by key, not by name
])
def test_call_site_kinds(kind, fields):
    ops = [op(kind, "y", ("i8", 1, 2), ["c"], **fields)]  # the declared type is not compared
    res = errors(f=fn(CALLER, ops=ops), g=fn([("x", ("f32", 5))]), h=fn([("x", ("f32", 4))], name="g"))
    assert res == ([] if fields["target" if "target" in fields else "init"] == "h" else
                   ["f/y: arg 0 'x' \u2014 dim 0: Concrete(4) vs Concrete(5)"])


@pytest.mark.parametrize("count,first,params", [
    ("param.L", ("f32",), ["param.L"]), ("param.L", None, []), ("L", ("f32",), []), (3, ("f32",), [])])
def test_loop_count_constraint(count, first, params):
    ops = [op("loop", "y", first, ["c", "w.q"], target=target, count=count) for target in ("g", "missing")]
    res = check(f=fn([("c", ("f32", 4)), ("w", STAR)], ops=ops), g=fn([("x", ("f32", 5)), ("q", GD)]))
    assert res["constraints"]["params"] == params
    if first is None:  # an untyped call site is not checked and records no weight
        assert res == {"errors": [], "constraints": {"params": [], "weights": {}}}


# ---- weights ----

def weights_check(*calls, **extra):
    ops = [op("call", out, ("f32",), list(args), target=target) for out, target, *args in calls]
    return check(f=fn([("w", STAR), ("v", STAR), ("x", GD)], ops=ops), gd=fn([("q", GD)]),
                 ge=fn([("q", GE)]), gs=fn([("q", STAR)]), g2=fn([("a", GD), ("b", ("i32", 2, "n"))]), **extra)


def conflict(label, name, stored, new):
    return f"{label}: weight '{name}' used with conflicting types: TensorType {stored} vs TensorType {new}"


SD, SE = '{ dtype: "f32", shape: [Named("d")] }', '{ dtype: "f32", shape: [Named("e")] }'
SI = '{ dtype: "i32", shape: [Concrete(2), Named("n")] }'


def test_weights_recorded_sorted_and_first_type_stays():
    res = weights_check(("y", "gd", "w.q"), ("z", "g2", "v", "w.layer.0.k"), ("u", "ge", "w.q"),
                        ("r", "g2", "w.b", "w.q"), ("s", "gd", "w.q"))
    assert res["errors"] == [conflict("f/u", "w.q", SD, SE), conflict("f/r", "w.q", SD, SI)]
    weights = res["constraints"]["weights"]["f"]
    assert list(weights) == ["v", "w.b", "w.layer.0.k", "w.q"]
    assert weights == {"v": T(*GD), "w.b": T(*GD), "w.layer.0.k": T("i32", 2, "n"), "w.q": T(*GD)}


def test_argument_messages_before_weight_conflicts():
    res = weights_check(("y", "gd", "w.q"), ("z", "g3", "x", "w.q", "x"),
                        g3=fn([("a", ("i32", "d")), ("q", GE), ("b", ("f32", "d", "d"))]))
    assert res["errors"] == ["f/z: arg 0 'a' \u2014 dtype: f32 vs i32", "f/z: arg 2 'b' \u2014 rank: 1 vs 2",
                             conflict("f/z", "w.q", SD, SE)]


def test_not_weights_and_per_function_weights():
    res = weights_check(("y", "gs", "w.q"), ("z", "gd", 1), ("u", "gd", 2.5), ("r", "gd", "x"),
                        ("s", "gd", "wx.q"), ("o", "missing", "w.q"),
                        h=fn([("w", STAR)], ops=[op("call", "y", ("f32",), ["w.q"], target="ge")]))
    assert res["constraints"]["weights"] == {"h": {"w.q": T(*GE)}}


def test_constraint_params_sources():
    ops = [op("iota", ["a", "b"], [None, T("f32", "param.o")], ["param.arg"])]
    res = check(f=fn([("x", ("f32", "param.x")), ("w", T("*", "param.star"))],
                     [("r", T("*", "param.r"))], ops))
    assert res["constraints"]["params"] == ["param.arg", "param.o", "param.r", "param.x"]


# ---- check_file: source text through the parser ----

SOURCE = """
main(x: f32[B, 4], w: *) -> (y: f32[B, 8], h: f32[B, 8]) {
  h: f32[B, 8] = call[proj](x, w.proj)
  y: i32[B, 8] = map[relu](h)
  o: f32[B, 8] = loop[body, param.L](h, w.layers.*)
}
proj(x: f32[B, 4], k: f32[4, 8]) -> (y: f32[B, 8]) {
  y: f32[B, 8] = contract["b i, i o -> b o"](x, k)
}
body(h: f32[B, 8], k: f32[8, 8]) -> (h: f32[B, 8]) {
  h: f32[B, 8] = map[add](h, h)
}
"""


def test_check_file(write_file):
    text = t.check_file(write_file(SOURCE))
    assert text == t.check_json(t.parse_to_json(SOURCE))
    b8 = ('Named("B")', "Concrete(8)")
    assert json.loads(text) == {
        "errors": [declared(ty("i32", *b8), ty("f32", *b8), "dtype: f32 vs i32", "main/y"),
                   "main: return 'y' dtype: i32 vs f32"],
        "constraints": {"params": ["param.L"], "weights": {
            "main": {"w.layers.*": T("f32", 8, 8), "w.proj": T("f32", 4, 8)}}}}


@pytest.mark.parametrize("source,expected", [
    # A callee defined later is seen; a repeated function keeps its first position and its
    # last definition.
    ("main(x: f32[4], w: *) -> () {\n  y: f32[4] = call[later](x, w.k)\n}\n"
     "later(a: i32[4], k: f32[2]) -> () {}\n",
     {"errors": ["main/y: arg 0 'a' \u2014 dtype: f32 vs i32"],
      "constraints": {"params": [], "weights": {"main": {"w.k": T("f32", 2)}}}}),
    ("f(a: f32[4]) -> () {\n  y: i32[4] = map[exp](a)\n}\n"
     "g(x: f32[4]) -> () {\n  y: f32[4] = call[f](x)\n}\n"
     "f(a: i32[4]) -> () {\n  y: f32[4] = map[exp](a)\n}\n",
     {"errors": [declared(ty("f32", "Concrete(4)"), ty("i32", "Concrete(4)"), "dtype: i32 vs f32"),
                 "g/y: arg 0 'a' \u2014 dtype: f32 vs i32"],
      "constraints": {"params": [], "weights": {}}}),
])
def test_check_file_reads_the_whole_module(write_file, source, expected):
    assert json.loads(t.check_file(write_file(source))) == expected


@pytest.mark.parametrize("source,message", [
    ("f() -> () { (a b): () = iota }", "index out of bounds: the len is 0 but the index is 0"),
    # A parse stop anywhere comes before the checker's.
    ("f() -> () { () : () = iota }\ng() -> () { y = nope }", 'Unknown op: "nope"'),
    ("f() -> () { () : () = iota }\ng() -> () { y = iota }", "index out of bounds: the len is 0 but the index is 0"),
])
def test_check_file_stops(write_file, source, message):
    assert panic_text(t.check_file, write_file(source)) == message
