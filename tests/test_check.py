"""The checker: messages, constraints and the CheckResult JSON, through check_json and check_file."""
import json

import pytest

import _travune as t

DASH = "\u2014"
EMPTY = '{"errors":[],"constraints":{"params":[],"weights":{}}}'


def _reader_built():
    try:
        t.check_json('{"functions":{}}')
        return True
    except BaseException:
        return False


READER = _reader_built()


@pytest.fixture(autouse=True)
def _needs_reader(request):
    # Modules written as JSON wait for the JSON reader; source files only need the parser.
    if not READER and not request.node.name.startswith("test_check_file"):
        pytest.skip("the JSON reader is not built yet")


# ---- building modules as JSON ----

def T(dtype, *shape):
    return {"dtype": dtype, "shape": list(shape)}


STAR = T("*")


def op(kind, outputs, types, args, **fields):
    return {"kind": kind, **fields, "outputs": outputs, "output_types": types, "args": args}


def fn(params=(), returns=(), ops=(), name=None):
    return {"name": name or "f", "params": [{"name": n, "ty": ty} for n, ty in params],
            "returns": [{"name": n, "ty": ty} for n, ty in returns], "ops": list(ops)}


def check(**functions):
    return json.loads(t.check_json(json.dumps({"functions": functions})))


def errors(**functions):
    return check(**functions)["errors"]


def declared(label, decl, exp, reason):
    return f"{label}: declared {decl}, expected {exp} {DASH} {reason}"


def ty_debug(dtype, *dims):
    return f'Ty {{ dtype: "{dtype}", shape: [{", ".join(dims)}] }}'


def C(v):
    return f"Concrete({v})"


def N(s):
    return f'Named("{s}")'


# ---- the result and its JSON form ----

def test_empty_module():
    assert t.check_json('{"functions":{}}') == EMPTY


def test_function_without_ops():
    assert t.check_json(json.dumps({"functions": {"f": fn()}})) == EMPTY


def test_json_form_is_compact_with_raw_em_dash_and_sorted_constraints():
    text = t.check_json(json.dumps({"functions": {
        "f": fn([("x", T("i32", 2)), ("b", T("f32", "param.b")), ("a", T("f32", "param.B"))],
                ops=[op("fold", ["y"], [T("f32", 2)], ["x"], pattern="a -> a", reduction="sum")])}}))
    assert text == ('{"errors":["f/y: declared Ty { dtype: \\"f32\\", shape: [Concrete(2)] }, '
                    'expected Ty { dtype: \\"i32\\", shape: [Concrete(2)] } \u2014 dtype: i32 vs f32"],'
                    '"constraints":{"params":["param.B","param.b"],"weights":{}}}')


def test_escaping_in_messages():
    # The label and names are plain text; dimensions are in debug form; JSON escapes both.
    res = errors(f=fn([("x", T("f32", 'a"b.c'))], [("x", T("f32", 'a"b.d'))]))
    assert res == ['f: return \'x\' dim 0: Named("a\\"b.c") vs Named("a\\"b.d")']
    res = errors(f=fn(ops=[op("iota", ['y"\n'], [T("f32")], ['q"\t'])]))
    assert res == ["f/y\"\n: input 'q\"\t' not in scope"]


# ---- argument lookup ----

LOOKUP_PARAMS = [("x", T("f32", "n")), ("w", STAR)]


@pytest.mark.parametrize("args,messages,params", [
    ([1, 2.5, "x"], [], []),
    (["w", "w.q", "w.layer.0"], [], []),  # namespace accesses
    (["n", "m"], [], []),  # dimension names, m declared only by a later op
    (["param.k"], [], ["param.k"]),
    (["param"], ["f/y: input 'param' not in scope"], []),
    (["wq", "x.y", "z"], ["f/y: input 'wq' not in scope", "f/y: input 'x.y' not in scope",
                          "f/y: input 'z' not in scope"], []),
    (["later"], ["f/y: input 'later' not in scope"], []),  # defined by a later op
])
def test_argument_lookup(args, messages, params):
    ops = [op("iota", ["y"], [T("f32", "n")], args), op("iota", ["later"], [T("f32", "m")], [])]
    res = check(f=fn(LOOKUP_PARAMS, ops=ops))
    assert res["errors"] == messages
    assert res["constraints"]["params"] == params


def test_star_names_need_a_namespace_parameter():
    ops = [op("iota", ["y"], [T("f32")], ["w.q"])]
    assert errors(f=fn([("x", T("f32"))], ops=ops)) == ["f/y: input 'w.q' not in scope"]


def test_param_name_in_env_is_a_value_not_a_constraint():
    res = check(f=fn([("param.k", T("f32"))], ops=[op("iota", ["y"], [T("f32")], ["param.k"])]))
    assert res == {"errors": [], "constraints": {"params": [], "weights": {}}}


def test_untyped_first_output_is_looked_up_and_records_later_outputs():
    ops = [op("map", ["a", "b"], [None, T("i32", "param.q")], ["z", "x"], function="add"),
           op("map", ["c"], [T("f32", 4)], ["b"], function="add")]
    res = check(f=fn([("x", T("f32", 4))], ops=ops))
    assert res["errors"] == [
        "f/a: input 'z' not in scope",
        declared("f/c", ty_debug("f32", C(4)), ty_debug("i32", N("param.q")), "dtype: i32 vs f32")]
    assert res["constraints"]["params"] == ["param.q"]


def test_outputs_beyond_the_types_are_not_recorded():
    ops = [op("iota", ["a", "b"], [T("f32")], []), op("iota", ["c"], [T("f32")], ["b"])]
    assert errors(f=fn(ops=ops)) == ["f/c: input 'b' not in scope"]


def test_redefined_output_later_ops_see_the_later_type():
    ops = [op("iota", ["a"], [T("f32", 2)], []), op("iota", ["a"], [T("i32", 2)], []),
           op("map", ["b"], [T("f32", 2)], ["a"], function="add")]
    assert errors(f=fn(ops=ops, returns=[("a", T("f32", 2))])) == [
        declared("f/b", ty_debug("f32", C(2)), ty_debug("i32", C(2)), "dtype: i32 vs f32"),
        "f: return 'a' dtype: i32 vs f32"]


# ---- types_match, seen through returns ----

@pytest.mark.parametrize("a,b,reason", [
    (T("f32", "n", 4), T("f32", "m", 4), None),
    (T("f32", "param.d"), T("f32", "param.e"), f"dim 0: {N('param.d')} vs {N('param.e')}"),
    (T("f32", "cfg.n"), T("f32", "cfg.n"), None),
    (T("f32", "n"), T("f32", "param.e"), None),
    (T("f32", 4), T("f32", "param.e"), None),
    (T("f32", 4), T("f32", -4), f"dim 0: {C(4)} vs {C(-4)}"),
    (T("f32", "..."), T("f32", 2, 3), None),
    (T("f32", "..."), T("f32"), None),
    (T("f32", "...", 4), T("f32", 2, 3, 5), f"dim 0: {C(4)} vs {C(5)}"),
    (T("f32", 2, 3, 5), T("f32", "...", 4), f"dim 0: {C(4)} vs {C(5)}"),
    (T("f32", "...", 2, 3), T("f32", "...", 2), f"dim 0: {C(2)} vs {C(3)}"),  # short side first
    (T("f32", "...", 7, 3), T("f32", 3), None),
    (T("f32", 2, 3), T("f32", 2, 3, 4), "rank: 2 vs 3"),
    (T("f32", 2, "..."), T("f32", 2, 3, 4), "rank: 2 vs 3"),  # "..." only variadic in front
    (T("f32", 2, "..."), T("f32", 2, "param.x"), None),
    (T("i32", 2), T("f32", 3, 4), "dtype: i32 vs f32"),
    (T("f32", "n"), T("F32", "n"), "dtype: f32 vs F32"),
])
def test_types_match(a, b, reason):
    res = errors(f=fn([("x", a)], [("x", b)]))
    assert res == ([] if reason is None else [f"f: return 'x' {reason}"])


def test_returns():
    res = errors(f=fn([("x", T("f32", 2)), ("w", STAR)],
                      [("y", T("f32")), ("w", STAR), ("z", STAR), ("x", T("f32", 3))]))
    assert res == ["f: return 'y' not found in env", "f: return 'x' dim 0: Concrete(2) vs Concrete(3)"]


def test_function_is_named_by_its_key():
    res = errors(main=fn([("x", T("f32", 2))], [("r", T("f32"))],
                         [op("iota", ["y"], [T("f32")], ["q"])], name="other"))
    assert res == ["main/y: input 'q' not in scope", "main: return 'r' not found in env"]


# ---- kind rules ----

@pytest.mark.parametrize("x,decl,messages", [
    (T("f32", 2, 3), T("f32", 6), []),
    (T("f32", 2, 3), T("f32", 5), ["f/y: view reshapes 6 elements to 5"]),
    (T("f32", 2, 3), T("f32", "n"), []),
    (T("f32", "n", 3), T("f32", 5), []),
    (T("f32", 2, 3), T("f32"), ["f/y: view reshapes 6 elements to 1"]),
    (T("f32"), T("f32", 1, 1), []),
    (T("f32", 0, 7), T("f32", 0), []),
    (T("f32", 4294967296, 4294967296), T("f32", 0), []),  # 2^64 wraps to 0
    (T("f32", 9223372036854775807, 2), T("f32", 1), ["f/y: view reshapes -2 elements to 1"]),
    (T("f32", 2, 3), T("i32", 5), ["f/y: view reshapes 6 elements to 5", declared(
        "f/y", ty_debug("i32", C(5)), ty_debug("f32", C(5)), "dtype: f32 vs i32")]),
])
def test_view(x, decl, messages):
    assert errors(f=fn([("x", x)], ops=[op("view", ["y"], [decl], ["x"], pattern="")])) == messages


def test_view_of_untyped_input_is_not_checked():
    ops = [op("view", ["y"], [T("i32", 5)], ["n", "x"], pattern="")]
    assert errors(f=fn([("x", T("f32", 2, 3, "n"))], ops=ops)) == []


MAP_PARAMS = [("i", T("i32", "n")), ("f", T("f32", "n")), ("a", T("f32", 4)), ("b", T("f32", "n")),
              ("c", T("bool", 4)), ("m", T("f32", 2, 3))]


def shape_msg(function, s0, k, sk):
    return (f"f/y: map[{function}] requires all inputs to share the same shape; input 0 has shape "
            f"[{s0}] but input {k} has shape [{sk}]. Use an explicit `tile` to broadcast first.")


@pytest.mark.parametrize("function,args,decl,messages", [
    ("f32", ["i"], T("f32", "n"), []),
    ("bf16", ["f"], T("bf16", "n"), []),
    ("bf16", ["f"], T("f32", "n"), [declared("f/y", ty_debug("f32", N("n")), ty_debug("bf16", N("n")),
                                             "dtype: bf16 vs f32")]),
    ("add", ["i"], T("f32", "n"), [declared("f/y", ty_debug("f32", N("n")), ty_debug("i32", N("n")),
                                            "dtype: i32 vs f32")]),
    ("add", ["m"], T("f32", 6), [declared("f/y", ty_debug("f32", C(6)), ty_debug("f32", C(2), C(3)),
                                          "rank: 2 vs 1")]),
    ("add", ["a", "b"], T("f32", 4), [shape_msg("add", C(4), 1, N("n"))]),
    # typed inputs are counted, not arguments; every input is compared with input 0
    ("add", ["a", "n", 1.5, "b", "c", "a"], T("f32", 4),
     [shape_msg("add", C(4), 1, N("n"))]),
    ("add", ["b", "a", "m"], T("f32", "n"),
     [shape_msg("add", N("n"), 1, C(4)), shape_msg("add", N("n"), 2, f"{C(2)}, {C(3)}")]),
    ("lt", ["f", "f"], T("bool", "n"), []),
    ("eq", ["i", "i"], T("u8", "n"), []),
    ("where", ["c", "a", "a"], T("f32", 4), []),
    ("where", ["c", "a", "a"], T("i32", 4), [declared("f/y", ty_debug("i32", C(4)), ty_debug("f32", C(4)),
                                                      "dtype: f32 vs i32")]),
    ("where", ["c", 1.0, "i"], T("f32", 4), [
        shape_msg("where", C(4), 1, N("n")),
        declared("f/y", ty_debug("f32", C(4)), ty_debug("i32", C(4)), "dtype: i32 vs f32")]),
    ("where", ["c", 1.0, 2.0], T("f32", 4), []),  # dtype taken from the declaration
    ("where", ["c", 1.0, 2.0], T("f32", 5), [declared("f/y", ty_debug("f32", C(5)), ty_debug("f32", C(4)),
                                                      "dim 0: Concrete(4) vs Concrete(5)")]),
    ("where", ["n", "i"], T("f32", "n"), [declared("f/y", ty_debug("f32", N("n")), ty_debug("i32", N("n")),
                                                   "dtype: i32 vs f32")]),
    ("add", ["n", 2], T("f32", 9), []),  # no typed input
])
def test_map(function, args, decl, messages):
    ops = [op("map", ["y"], [decl], args, function=function)]
    assert errors(f=fn(MAP_PARAMS, ops=ops)) == messages


KIND_PARAMS = [("x", T("i32", "n", 4)), ("k", T("f32", "n")), ("j", T("int64", "n"))]


def dtype_msg(decl_dims, exp_dtype):
    return declared("f/y", ty_debug("f32", *decl_dims), ty_debug(exp_dtype, *decl_dims),
                    f"dtype: {exp_dtype} vs f32")


@pytest.mark.parametrize("kind,fields,args,messages", [
    ("fold", {"pattern": "a b -> a", "reduction": "sum"}, ["x"], [dtype_msg([N("n")], "i32")]),
    ("fold", {"pattern": "", "reduction": "sum"}, [], []),
    ("fold", {"pattern": "", "reduction": "sum"}, ["n", "x"], []),
    ("tile", {"pattern": ""}, ["x"], [dtype_msg([N("n")], "i32")]),
    ("write", {"pattern": "", "reduction": "add"}, ["x", "k"], [dtype_msg([N("n")], "i32")]),
    ("read", {"pattern": ""}, ["k", "j"], []),
    ("read", {"pattern": ""}, ["k", "k"], ["f/y: read index dtype f32, expected integer"]),
    ("read", {"pattern": ""}, ["n", "k"], ["f/y: read index dtype f32, expected integer"]),
    ("read", {"pattern": ""}, ["x", "k"], ["f/y: read index dtype f32, expected integer",
                                           dtype_msg([N("n")], "i32")]),
    ("read", {"pattern": ""}, ["x"], [dtype_msg([N("n")], "i32")]),
    ("contract", {"pattern": ""}, ["n", "x", "k"], [dtype_msg([N("n")], "i32")]),
    ("contract", {"pattern": ""}, ["n", 2], []),
    ("literal", {"value": 1}, ["x"], []),
    ("iota", {}, ["x"], []),
    ("random", {"lower": 0.0, "upper": 1.0}, ["x"], []),
])
def test_dtype_only_kinds(kind, fields, args, messages):
    ops = [op(kind, ["y"], [T("f32", "n")], args, **fields)]
    assert errors(f=fn(KIND_PARAMS, ops=ops)) == messages


@pytest.mark.parametrize("dtype", ["i32", "i64", "int", "int32", "int64"])
def test_read_integer_index_dtypes(dtype):
    ops = [op("read", ["y"], [T("f32")], ["x", "i"], pattern="")]
    assert errors(f=fn([("x", T("f32")), ("i", T(dtype))], ops=ops)) == []


def test_order_within_an_op():
    ops = [op("read", ["y"], [T("f32")], ["x", "i", "q", "r"], pattern="")]
    assert errors(f=fn([("x", T("i32")), ("i", T("u32"))], ops=ops)) == [
        "f/y: input 'q' not in scope", "f/y: input 'r' not in scope",
        "f/y: read index dtype u32, expected integer",
        declared("f/y", ty_debug("f32"), ty_debug("i32"), "dtype: i32 vs f32")]


# ---- the limit ----

@pytest.mark.parametrize("outputs,types", [([], []), ([], [T("f32")]), (["y"], [])])
def test_op_without_outputs_or_types_stops_the_check(outputs, types):
    # the earlier op's finding is not returned: the whole call stops
    ops = [op("iota", ["a"], [T("f32")], ["q"]), op("iota", outputs, types, [])]
    with pytest.raises(BaseException) as info:
        errors(f=fn(ops=ops))
    assert type(info.value).__name__ == "PanicException"


# ---- call sites (call, loop, cache) ----

def callee(*params):
    return fn(list(params), name="g")


def call_errors(args, params, kind="call", first_type=T("f32"), caller_params=(), **fields):
    fields = fields or ({"target": "g"} if kind != "cache" else {"var": "v", "init": "g"})
    ops = [op(kind, ["y"], [first_type], args, **fields)]
    caller = [("a", T("f32", 8, "n", 4)), ("b", T("f32", 8, "n", 5)), ("c", T("f32", 4)),
              ("d", T("f32", 2, 3)), ("e", T("f32", "m")), ("p", T("f32", "param.e")),
              ("i", T("i32", 8, 4)), ("s", T("f32", "...", 4)), *caller_params]
    return errors(f=fn(caller, ops=ops), g=callee(*params))


NK4 = T("f32", "n", 4)


@pytest.mark.parametrize("args,params,messages", [
    (["a"], [("x", NK4)], []),  # batched
    (["b"], [("x", NK4)], [f"f/y: arg 0 'x' {DASH} dim 1: 5 vs 4"]),
    (["a", "c"], [("x", NK4), ("z", NK4)], [f"f/y: arg 1 'z' {DASH} rank: 1 < 2"]),
    (["c"], [("x", NK4)], [f"f/y: arg 0 'x' {DASH} rank: 1 vs 2"]),  # strict
    (["a", "d"], [("x", NK4), ("z", T("f32", 2, 4))], [f"f/y: arg 1 'z' {DASH} dim 1: 3 vs 4"]),
    (["a", "e"], [("x", NK4), ("z", T("f32", "param.d"))], []),
    (["e"], [("z", T("f32", "param.d"))], []),
    (["p"], [("z", T("f32", "param.d"))], [f"f/y: arg 0 'z' {DASH} dim 0: {N('param.e')} vs {N('param.d')}"]),
    (["a", "p"], [("x", NK4), ("z", T("f32", "param.d"))], []),
    (["i"], [("x", T("f32", 4))], [f"f/y: arg 0 'x' {DASH} dtype: i32 vs f32"]),  # batched dtype
    (["a", "i"], [("x", NK4), ("z", T("f32", 4))], [f"f/y: arg 1 'z' {DASH} dtype: i32 vs f32"]),
    (["s"], [("x", T("f32", 3))], [f"f/y: arg 0 'x' {DASH} dim 0: 4 vs 3"]),  # "..." counts
    (["d", "b"], [("x", T("f32", 9, 9)), ("z", NK4)],  # first differing pair only
     [f"f/y: arg 0 'x' {DASH} dim 0: 2 vs 9", f"f/y: arg 1 'z' {DASH} dim 1: 5 vs 4"]),
    (["c", "q", 1], [("x", T("f32", 5))], ["f/y: input 'q' not in scope",
                                            f"f/y: arg 0 'x' {DASH} dim 0: Concrete(4) vs Concrete(5)"]),
    (["c"], [("x", STAR), ("z", T("f32", 5))], []),  # "*" parameters are not compared
    ([], [("x", T("f32", 5))], []),  # missing and extra arguments are no finding
    (["c", "d", "a"], [("x", T("f32", 4))], []),
])
def test_call_arguments(args, params, messages):
    assert call_errors(args, params) == messages


@pytest.mark.parametrize("kind", ["call", "loop", "cache"])
def test_every_call_site_kind_compares_arguments(kind):
    fields = {"target": "g", "count": 2} if kind == "loop" else {}
    res = call_errors(["c"], [("x", T("f32", 5))], kind=kind, **fields)
    assert res == [f"f/y: arg 0 'x' {DASH} dim 0: Concrete(4) vs Concrete(5)"]


def test_declared_type_of_a_call_is_not_compared():
    assert call_errors(["c"], [("x", T("f32", 4))], first_type=T("i8", 1, 2, 3)) == []


def test_untyped_call_gets_no_checks_and_records_nothing():
    ops = [op("call", ["y", "z"], [None, T("f32")], ["c", "w.q"], target="g"),
           op("loop", ["v"], [None], ["c"], target="g", count="param.L")]
    res = check(f=fn([("c", T("f32", 4)), ("w", STAR)], ops=ops),
                g=callee(("x", T("f32", 5)), ("q", T("f32"))))
    assert res == {"errors": [], "constraints": {"params": [], "weights": {}}}


def test_callee_found_by_key():
    ops = [op("call", ["y"], [T("f32")], ["c"], target="g")]
    caller = fn([("c", T("f32", 4))], ops=ops)
    assert errors(f=caller, h=fn([("x", T("f32", 5))], name="g")) == []
    assert errors(f=caller, g=fn([("x", T("f32", 5))], name="h")) == [
        f"f/y: arg 0 'x' {DASH} dim 0: Concrete(4) vs Concrete(5)"]


@pytest.mark.parametrize("count,params", [
    ("param.L", ["param.L"]), ("L", []), ("param", []), (3, [])])
def test_loop_count_constraint_even_without_callee(count, params):
    ops = [op("loop", ["y"], [T("f32")], ["x"], target="missing", count=count)]
    res = check(f=fn([("x", T("f32"))], ops=ops))
    assert res == {"errors": [], "constraints": {"params": params, "weights": {}}}


# ---- weights ----

W_PARAMS = [("w", STAR), ("v", STAR), ("x", T("f32", "d"))]
GD = T("f32", "d")
GE = T("f32", "e")


def wcall(out, target, *args):
    return op("call", [out], [T("f32")], list(args), target=target)


def weight_module(*ops, **extra):
    return check(f=fn(W_PARAMS, ops=ops), gd=fn([("q", GD)]), ge=fn([("q", GE)]),
                 gs=fn([("q", STAR)]), g2=fn([("a", GD), ("b", T("i32", 2))]), **extra)


def test_weight_recorded_with_the_parameter_type():
    res = weight_module(wcall("y", "gd", "w.q"), wcall("z", "g2", "v", "w.layer.0.k"))
    assert res["errors"] == []
    assert res["constraints"]["weights"] == {
        "f": {"v": GD, "w.layer.0.k": T("i32", 2), "w.q": GD}}
    assert list(res["constraints"]["weights"]["f"]) == ["v", "w.layer.0.k", "w.q"]


def test_weight_conflict_keeps_the_first_type():
    res = weight_module(wcall("y", "gd", "w.q"), wcall("z", "ge", "w.q"), wcall("u", "gd", "w.q"))
    assert res["errors"] == [
        "f/z: weight 'w.q' used with conflicting types: "
        'TensorType { dtype: "f32", shape: [Named("d")] } vs TensorType { dtype: "f32", shape: [Named("e")] }']
    assert res["constraints"]["weights"] == {"f": {"w.q": GD}}


def test_weight_conflicts_by_position():
    res = weight_module(wcall("y", "gd", "w.a"),
                        wcall("z", "g2", "w.b", "w.a"), wcall("u", "g2", "w.a", "w.b"))
    conflict = ('used with conflicting types: TensorType { dtype: "f32", shape: [Named("d")] } '
                'vs TensorType { dtype: "i32", shape: [Concrete(2)] }')
    assert res["errors"] == [f"f/z: weight 'w.a' {conflict}", f"f/u: weight 'w.b' {conflict}"]
    assert res["constraints"]["weights"] == {"f": {"w.a": GD, "w.b": GD}}


def test_typed_argument_and_weight_messages_in_order():
    ops = [wcall("y", "gd", "w.q"),
           op("call", ["z"], [T("f32")], ["x", "w.q", "x"], target="g3")]
    res = check(f=fn(W_PARAMS, ops=ops), gd=fn([("q", GD)]),
                g3=fn([("a", T("i32", "d")), ("q", GE), ("b", T("f32", "d", "d"))]))
    assert res["errors"] == [
        f"f/z: arg 0 'a' {DASH} dtype: f32 vs i32",
        f"f/z: arg 2 'b' {DASH} rank: 1 vs 2",
        "f/z: weight 'w.q' used with conflicting types: "
        'TensorType { dtype: "f32", shape: [Named("d")] } vs TensorType { dtype: "f32", shape: [Named("e")] }']


@pytest.mark.parametrize("args,target", [
    (["w.q"], "gs"),  # "*" parameter
    ([1], "gd"), ([2.5], "gd"), (["x"], "gd"), (["wx.q"], "gd"), (["param.w"], "gd"),
    (["w.q"], "missing"),
])
def test_not_weights(args, target):
    assert weight_module(wcall("y", target, *args))["constraints"]["weights"] == {}


def test_same_weight_in_two_functions_is_recorded_under_each():
    h = fn([("w", STAR)], ops=[wcall("y", "ge", "w.q")])
    res = weight_module(wcall("y", "gd", "w.q"), h=h)
    assert res["errors"] == []
    assert res["constraints"]["weights"] == {"f": {"w.q": GD}, "h": {"w.q": GE}}


def test_weight_shadowed_by_a_value_is_still_a_weight():
    res = weight_module(op("iota", ["w.q"], [T("i32")], []), wcall("y", "gd", "w.q"))
    assert res["errors"] == [f"f/y: arg 0 'q' {DASH} dtype: i32 vs f32"]
    assert res["constraints"]["weights"] == {"f": {"w.q": GD}}


# ---- constraints.params ----

def test_param_sources():
    ops = [op("iota", ["a", "b"], [None, T("f32", "param.o")], ["param.arg"]),
           op("iota", ["c"], [T("f32", "param.c", "n")], [])]
    res = check(f=fn([("x", T("f32", "param.x")), ("w", T("*", "param.star"))],
                     [("r", T("*", "param.r")), ("c", T("f32", "param.c", "n"))], ops))
    assert res["errors"] == []
    assert res["constraints"]["params"] == ["param.arg", "param.c", "param.o", "param.r", "param.x"]


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
  t: f32[B, 8] = contract["b i, i o -> b o"](h, k)
  h: f32[B, 8] = map[add](t, h)
}
"""


def test_check_file(tmp_path):
    path = tmp_path / "model.trv"
    path.write_text(SOURCE)
    assert json.loads(t.check_file(str(path))) == {
        "errors": [
            declared("main/y", ty_debug("i32", N("B"), C(8)), ty_debug("f32", N("B"), C(8)),
                     "dtype: f32 vs i32"),
            "main: return 'y' dtype: i32 vs f32"],
        "constraints": {"params": ["param.L"], "weights": {
            "main": {"w.layers.*": T("f32", 8, 8), "w.proj": T("f32", 4, 8)}}}}


def test_source_and_json_forms_check_alike(tmp_path):
    path = tmp_path / "model.trv"
    path.write_text(SOURCE)
    assert t.check_file(str(path)) == t.check_json(t.parse_to_json(SOURCE))


def test_check_file_empty_source(tmp_path):
    path = tmp_path / "empty.trv"
    path.write_text("// nothing here\n")
    assert t.check_file(str(path)) == EMPTY


def test_check_file_grouped_outputs_without_types_stop(tmp_path):
    path = tmp_path / "bad.trv"
    path.write_text("f() -> () { (a b): () = iota }")
    with pytest.raises(BaseException) as info:
        t.check_file(str(path))
    assert type(info.value).__name__ == "PanicException"


def test_check_file_missing(tmp_path):
    with pytest.raises(BaseException) as info:
        t.check_file(str(tmp_path / "missing.trv"))
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith("called `Result::unwrap()` on an `Err` value:")
