"""Axis-size inference: infer_axes_json and resolve_json on modules written as JSON."""
import json

import pytest

import _travune as t
from conftest import fn, functions_text, module_text, op, panic_text as panics, ty


def view(pattern, args, out, kind="view", **fields):
    return op(kind, ["y"], [out], args, pattern=pattern, **fields)


def module(params, ops, returns=()):
    return module_text(fn("main", params, returns, ops))


def ops_of(text):
    return json.loads(text)["functions"]["main"]["ops"]


def inferred(text, index=-1):
    """The axes of one op of the resolved module, in their order."""
    return list(ops_of(t.infer_axes_json(text))[index].get("axes", {}).items())


# One view op reading x: (pattern, shape of x, declared output shape, inferred axes in order).
SINGLE_VIEW = [
    # Splitting and merging groups.
    ("b (h d) -> b h d", [2, 32], [2, 4, 8], [("h", 4), ("d", 8)]),
    ("b h d -> b (h d)", [2, 4, 8], [2, 32], []),
    ("b n -> b (h n)", [2, 8], [2, 32], [("h", 4)]),
    # A name entered twice keeps its first position and takes the later size.
    ("x -> a a", [1], [3, 5], [("a", 5)]),
    ("x -> a b a", [1], [3, 4, 5], [("a", 5), ("b", 4)]),
    # The ellipsis aligns a side to the right end of the shape, wherever it stands.
    ("a ... b -> (a c) (b d)", [9, 9, 4, 5], [8, 15], [("c", 2), ("d", 3)]),
    ("... a b -> (a c) (b d)", [9, 9, 4, 5], [8, 15], [("c", 2), ("d", 3)]),
    ("a b -> ... c", [2, 3], [7, 8, 9], [("c", 9)]),
    ("a b -> c ...", [2, 3], [7, 8, 9], [("c", 9)]),
    # More elements than dimensions: the leading ones pair with nothing.
    ("... a b c -> (a x) (b y) (c z)", [4, 5], [6, 8, 10], [("y", 2), ("z", 2)]),
    ("x -> ... p q r", [1], [6, 7], [("q", 6), ("r", 7)]),
    # Elements beyond the rank pair with nothing.
    ("a -> b c", [2], [5], [("b", 5)]),
    # Digit tokens: never bound nor inferred as an axis, unknowns inside a group.
    ("a -> 2 b", [3], [7, 9], [("b", 9)]),
    ("h -> (h 2)", [3], [12], [("2", 4)]),
    ("a -> (2 h)", [3], [12], []),
    # A single unknown in a group takes the total, even a left-side name.
    ("(a b) -> (a)", [6], [6], [("a", 6)]),
    ("a -> (a)", ["n"], [7], [("a", 7)]),
    ("a -> ()", [3], [7], []),
    # Two unknowns, a zero or negative product: nothing; a remainder is dropped.
    ("a -> (b c)", [3], [12], []),
    ("k -> (k m)", [0], [5], []),
    ("k -> (k m)", [-2], [8], []),
    ("k -> (k m)", [4], [3], [("m", 0)]),
    ("k -> (k m)", [4], [-9], [("m", -2)]),
    ("k j -> (k j m)", [2**32, 2**32], [6], []),  # the product wraps to 0
    ("k j -> (k j m)", [2**62, 2], [8], []),  # the product wraps to -2^63
    ("k j -> (k j m)", [3, 6148914691236517206], [8], [("m", 4)]),  # wraps to 2
    # A symbolic dimension binds and yields nothing.
    ("a -> b c", [2], ["n", 5], [("c", 5)]),
    # The first "->" splits; the rest of the right side is skipped characters.
    ("a -> b -> c", [2], [3, 4], [("b", 3), ("c", 4)]),
    # Separators and stray characters are skipped; a stray ")" is an axis.
    ("a,b -> (a,c) b.d", [2, 3], [6, 3, 4], [("c", 3), ("d", 4)]),
    ("a -> a )", [2], [2, 7], [(")", 7)]),
    (") -> )", [2], [5], []),
    (") -> (h ))", [2], [8], [("h", 8)]),
    # A "(" or "..." inside a group is a plain member.
    ("a -> (a ... c)", [2], [8], []),
    ("a -> ((c)", [2], [8], []),
    ("a -> (( a)", [2], [8], [("(", 4)]),
]


@pytest.mark.parametrize("pattern,x,out,axes", SINGLE_VIEW)
def test_view_axes(pattern, x, out, axes):
    assert inferred(module([("x", ty(*x))], [view(pattern, ["x"], ty(*out))])) == axes


# Names beyond ASCII: a name continues with alphabetic characters, marks, decimal digits,
# connector punctuation and join controls; a run of any decimal digits is a token of its own.
UNICODE_NAMES = [
    ("x -> ٣٤", [("٣٤", 5)]),              # Arabic-Indic digits: a digit run, not an ASCII digit
    ("x -> a٣", [("a٣", 5)]),
    ("x -> e\u0301", [("e\u0301", 5)]),       # a combining mark continues the name
    ("x -> a\u203fb", [("a\u203fb", 5)]),     # connector punctuation (undertie)
    ("x -> a\u200db", [("a\u200db", 5)]),     # zero width joiner
    ("x -> aⅫ", [("aⅫ", 5)]),               # a letter number is alphabetic
    ("x -> éa", [("a", 5)]),                 # a non-ASCII letter cannot begin a name
    ("x -> a²", [("a", 5)]),                 # a superscript digit is no word character
    ("x -> ²", []),
]


@pytest.mark.parametrize("pattern,axes", UNICODE_NAMES)
def test_unicode_names(pattern, axes):
    assert inferred(module([("x", ty(1))], [view(pattern, ["x"], ty(5))])) == axes


def test_worked_example_text():
    # The text the parser writes for the same op with its axes given.
    m = module([("x", ty(2, 32))], [view("b (h d) -> b h d", ["x"], ty(2, 4, 8))])
    assert t.infer_axes_json(m) == t.parse_to_json(
        'main(x: f32[2, 32]) -> () { y: f32[2, 4, 8] = view["b (h d) -> b h d", h=4, d=8](x) }')


UNCHANGED = [
    view("b (h d) -> b h d", ["x"], ty(2, 4, 8), axes={"q": 1}),
    view("b (h d) b h d", ["x"], ty(2, 4, 8)),
    view("b (h d) -> b h d", ["x"], None),
    op("fold", ["y"], [ty(2, 4, 8)], ["x"], pattern="b (h d) -> b h d", reduction="sum"),
    op("read", ["y"], [ty(2, 4, 8)], ["x"], pattern="b (h d) -> b h d"),
    op("map", ["y"], [ty(2, 4, 8)], ["x"], function="exp"),
]


@pytest.mark.parametrize("o", UNCHANGED)
def test_ops_left_unchanged(o):
    m = module([("x", ty(2, 32))], [o])
    assert ops_of(t.infer_axes_json(m)) == [o]


# Which type the first argument binds from: (ops before the view, first argument, axes).
ENVIRONMENT = [
    # A first output type that is absent skips the op, but its other typed outputs are entered.
    ([op("map", ["a", "t"], [None, ty(2, 8)], ["x"], function="f")], ["t"], [("h", 4)]),
    # An untyped redefinition keeps the earlier type.
    ([op("map", ["t"], [ty(2, 8)], ["x"], function="f"),
      op("map", ["t", "u"], [None, ty(1)], ["x"], function="f")], ["t"], [("h", 4)]),
    # A typed redefinition replaces it.
    ([op("map", ["t"], [ty(2, 16)], ["x"], function="f"),
      op("map", ["t"], [ty(2, 8)], ["x"], function="f")], ["t"], [("h", 4)]),
    # A number or an unknown name binds nothing; the right side still counts.
    ([], [3], []),
    ([], ["nowhere"], []),
    ([], [], []),
    # The returns are not in the environment.
    ([], ["r"], []),
]


@pytest.mark.parametrize("before,args,axes", ENVIRONMENT)
def test_first_argument_type(before, args, axes):
    m = module([("x", ty(9, 9))], before + [view("b n -> b (h n)", args, ty(2, 32))],
               returns=[("r", ty(2, 8))])
    assert inferred(m) == axes


@pytest.mark.parametrize("params,o,axes", [
    ([("x", ty(2, 8))], view("b n -> b (h n)", ["x"], ty(2, 32), kind="tile"), [("h", 4)]),
    ([("x", ty(2, 8))], view("b ٣ -> b (h ٣)", ["x"], ty(2, 32)), [("h", 4)]),  # a non-ASCII digit name binds
    ([("x", ty(9, 9)), ("x", ty(2, 8))], view("b n -> b (h n)", ["x"], ty(2, 32)), [("h", 4)]),  # the later param
    # The op's output is entered first, so x binds from [2, 8], not from the parameter.
    ([("x", ty(9, 9))], op("view", ["x"], [ty(2, 8)], ["x"], pattern="b n -> b (h n)"), [("h", 1)]),
])
def test_binding(params, o, axes):
    assert inferred(module(params, [o])) == axes


def test_environment_is_per_function():
    g = fn("g", ops=[view("b n -> b (h n)", ["t"], ty(2, 32))])
    out = json.loads(t.infer_axes_json(module_text(fn("f", [("t", ty(2, 8))]), g)))
    assert "axes" not in out["functions"]["g"]["ops"][0]


@pytest.mark.parametrize("ops", [
    [op("iota", ["y"], [], [])],
    [op("map", [], [], [], function="f")],
    [view("b (h d) -> b h d", ["x"], ty(2, 4, 8)), op("call", ["z"], [], ["x"], target="g")],
    [view("b (h d -> b h d", ["x"], ty(2, 4, 8))],
    [view("b h d -> b (h d", ["x"], ty(2, 32))],
    [view("( -> a", [3], ty(2))],
])
def test_stops(ops):
    panics(lambda: t.infer_axes_json(module([("x", ty(2, 32))], ops)))


def test_result_is_stable_and_input_unchanged():
    m = module([("x", ty(2, 32))], [view("b (h d) -> b h d", ["x"], ty(2, 4, 8))])
    once = t.infer_axes_json(m)
    assert t.infer_axes_json(once) == once
    assert t.infer_axes_json(m) == once


def test_resolve_substitutes_before_inferring():
    m = module([("x", ty("param.b", "param.n"))], [view("b n -> b (h n)", ["x"], ty("param.b", 32))])
    assert inferred(m) == []
    assert t.resolve_json(m, '{"other": 3, "param.n": 8}') == t.infer_axes_json(m)  # names no value
    out = ops_of(t.resolve_json(m, '{"b": 2, "n": 8}'))[0]
    assert out["axes"] == {"h": 4}
    assert out["output_types"] == [ty(2, 32)]


# ---- functions are resolved as they are read: every reader error still comes first ----

BAD = fn("a", [("x", ty(2, 32))], ops=[view("b (h d -> b h d", ["x"], ty(2, 4, 8))])
GOOD = fn("g")
UNCLOSED = 'unclosed "(" in pattern side "b (h d "'


@pytest.mark.parametrize("call", [t.infer_axes_json, lambda m: t.resolve_json(m, '{"n": 1}')])
def test_failure_order_when_resolving_function_by_function(call):
    assert panics(lambda: call(functions_text(("a", BAD), ("b", GOOD)))) == UNCLOSED
    # A reader error after the failing function wins, and so does a stop of the reader.
    late_error = functions_text(("a", BAD), ("b", dict(GOOD, name=5)))
    assert panics(lambda: call(late_error)) == panics(lambda: t.check_json(late_error))
    assert "invalid type: integer `5`, expected a string" in panics(lambda: call(late_error))
    random = op("random", ["y"], [None], [], lower=0)
    assert panics(lambda: call(functions_text(("a", BAD), ("b", dict(GOOD, ops=[random]))))) == \
        "random requires 'upper' field"
    # The failing function replaced by a later one of the same key is never resolved.
    out = json.loads(call(functions_text(("a", BAD), ("b", GOOD), ("a", GOOD))))
    assert list(out["functions"]) == ["a", "b"]
