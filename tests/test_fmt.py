"""The canonical formatter: fmt_source, fmt_json and fmt_file."""
import json

import pytest

import _travune as t


def ty(dtype, *shape):
    return {"dtype": dtype, "shape": list(shape)}


def op(kind, outputs=("y",), types=None, args=(), comments=(), **fields):
    return {"kind": kind, **fields, "outputs": list(outputs), "args": list(args),
            "output_types": list(types) if types is not None else [None] * len(outputs),
            "comments": list(comments)}


def fj(ops=(), params=(), comments=(), width=100, name="f"):
    f = {"name": name, "comments": list(comments), "params": [dict(name=n, ty=y) for n, y in params],
         "returns": [], "ops": list(ops)}
    return t.fmt_json(json.dumps({"functions": {"key": f}}), width=width)


def body(*ops, **kw):
    """The op lines of the single function f() -> () holding `ops`."""
    lines = fj(ops, **kw).split("\n")
    assert lines[0] == "f() -> () {" and lines[-2:] == ["}", ""]
    return lines[1:-2]


CONV = "conv(x: f32[B, C], weight: f32[K, C]) -> (y: f32[B, K]) {"


@pytest.mark.parametrize("src,width,out", [
    ("", 100, "\n"),
    ("// a\n  // b", 100, "// a\n// b\n\n"),
    ("// top\n\n// also\nf() -> () {}\n// lead g\ng() -> () {\n  // in g\n}", 100,
     "// top\n// also\n\nf() -> () {\n}\n\ng() -> () {\n  // lead g\n  // in g\n}\n"),
    (CONV + "}", 57, CONV + "\n}\n"),
    (CONV + "}", 56, "conv(\n  x     : f32[B, C],\n  weight: f32[K, C]\n) -> (y: f32[B, K]) {\n}\n"),
    ("f() -> () {}", 0, "f(\n) -> () {\n}\n"),
    ("f() -> () {}", 11, "f() -> () {\n}\n"),
    ("f(a: *) -> (r: f32[], s: i64[2, -1]) {}", 0, "f(\n  a: *\n) -> (r: f32[], s: i64[2, -1]) {\n}\n"),
    ("f() -> () {\n  a = iota()\n  long_name = map[exp](a)\n}", 100,
     "f() -> () {\n  a         = iota()\n  long_name = map[exp](a)\n}\n"),
])
def test_source_texts(src, width, out):
    assert len(CONV) == 57
    assert t.fmt_source(src, width=width) == out


def test_widths_count_bytes_and_name_is_printed():
    # "é" is two bytes: this one-line header is 20 bytes long.
    assert fj(params=[("\u00e9", ty("f32"))], width=20) == "f(\u00e9: f32[]) -> () {\n}\n"
    assert fj(params=[("\u00e9", ty("f32"))], width=19) == "f(\n  \u00e9: f32[]\n) -> () {\n}\n"
    assert fj(params=[("\u00e9\u00e9", ty("f32", "N")), ("b", ty("f32", "N"))], width=0) == (
        "f(\n  \u00e9\u00e9: f32[N],\n  b   : f32[N]\n) -> () {\n}\n")
    # N is 4 (bytes of "éé"), T is 5: every "=" at byte offset 14.
    assert body(op("iota", ["\u00e9\u00e9"]), op("iota", ["x"], [ty("f32")])) == [
        "  \u00e9\u00e9" + " " * 8 + "= iota()", "  x   : f32[] = iota()"]


@pytest.mark.parametrize("ops,kw,lines", [
    # the worked example of alignment
    ([op("map", ["h"], [ty("f32", "B", "D")], ["x"], function="relu"),
      op("map", ["y"], [ty("f32", "B")], ["h"], function="exp"), op("call", ["out"], [None], ["y"], target="g")],
     {}, ["  h  : f32[B, D] = map[relu](x)", "  y  : f32[B]    = map[exp](h)", "  out            = call[g](y)"]),
    # Untyped outputs before the last print as the name and a comma; an output without a type
    # entry is untyped; types beyond the outputs are not printed.
    ([op("call", ["a", "bb", "c"], [ty("f32", "N"), None], target="g"),
      op("call", ["d", "e"], [None, ty("i64"), ty("f32", "LONGER_THAN_ALL")])],
     {}, ["  a : f32[N],", "  bb,", "  c          = call[g]()", "  d ,", "  e : i64[]  = call[]()"]),
    # comments, and a blank line around an op without outputs
    ([op("iota", ["a"], comments=["// first"]), op("iota", ["b"]), op("iota", [], comments=["// no outputs"]),
      op("iota", []), op("iota", ["c"], comments=["// c1", "// c2"])],
     {"comments": ["// fn"]}, ["  // fn", "  // first", "  a = iota()", "  b = iota()", "", "  // no outputs", "",
                               "  // c1", "  // c2", "  c = iota()"]),
])
def test_op_lines(ops, kw, lines):
    assert body(*ops, **kw) == lines


@pytest.mark.parametrize("o,rhs", [
    (op("view", pattern="a b -> (a b)", axes={"b": -3, "a": 2}, args=["x"]),
     'view["a b -> (a b)", b=-3, a=2](x)'),
    (op("tile", pattern="", axes={"n": 4}), 'tile["", n=4]()'),
    (op("map", function="relu", args=["x", 2, 2.0]), "map[relu](x, 2, 2.0)"),
    (op("fold", pattern="a b -> a", reduction="sum", args=["x"]), 'fold["a b -> a", sum](x)'),
    (op("read", pattern='say "hi" \\'), 'read["say "hi" \\"]()'),
    (op("literal", value=[1, 2.5, [3, []], "-inf"], args=["x"]), "literal([1, 2.5, [3, []], -inf])"),
    (op("random", lower=0, upper=1.5, args=["x"]), "random[0.0, 1.5]"),
    (op("call", args=["a b", "x,y", -9223372036854775808]), "call[](a b, x,y, -9223372036854775808)"),
    (op("loop", target="body", count=18446744073709551615), "loop[body, 18446744073709551615]()"),
    (op("loop", target="body", count="param.layers", args=["x"]), "loop[body, param.layers](x)"),
    (op("cache", var="k", init="init_k", extend="ext_k"), "cache[k, init_k, ext_k]()"),
    # An empty fold/write pattern is left out, so that the reduction reads back as such.
    (op("write", pattern="", reduction="add"), "write[add]()"),
])
def test_right_hand_sides(o, rhs):
    assert body(o) == ["  y = " + rhs]


@pytest.mark.parametrize("type_,text", [
    (ty("f32"), "f32[]"), (ty("*", 3, "n"), "*"), (ty("**"), "**[]"),
    (ty("i64", -1, 0, -9223372036854775808, "...", "param.d"),
     "i64[-1, 0, -9223372036854775808, ..., param.d]"),
])
def test_type_texts(type_, text):
    assert body(op("iota", types=[type_])) == ["  y: " + text + " = iota()"]


@pytest.mark.parametrize("value,text", [
    (3.0, "3.0"), (-0.0, "-0.0"), (0.5, "0.5"),
    (1e300, "1" + "0" * 300 + ".0"), (1e-7, "0.0000001"),
    ("inf", "inf"), ("-inf", "-inf"), ("nan", "nan"),
])
def test_float_texts(value, text):
    assert body(op("literal", value=value)) == [f"  y = literal({text})"]
    if not isinstance(value, str):
        assert body(op("random", lower=value, upper=1)) == [f"  y = random[{text}, 1.0]"]


SOURCES = [
    "g(a: f32[N] b: i64[]) -> () {\n  p, q, r = iota(a b)\n  s, u: f32[N] = iota()\n}",
    """// model
main(x: f32[B, T, D], w: f32[D, D], ns: *) -> (y: f32[B, T, D]) {
  h: f32[B, T, D] = contract["b t d, d e -> b t e"](x, w)
  // activation
  a = map[gelu](h)
  s: f32[B, T] = fold["b t d -> b t", sum](a)
  q = fold[max](a)
  v = view["b t d -> b t h k"](a, h=4)
  u: f32[B, T, 4, K] = tile["b t h k -> b t h k r", r=2](v)
  z = write["b t -> t", add](s, q)
  l = literal([[1, 2.5], [-inf, inf], [[]]])
  r: f32[4] = random[-1.5, 0.000001]
  i, j: i64[N] = iota(n, 3, 1e-7, 1e300)
  o = loop[body, 4](x, ns.w)
  p = loop[body, param.layers](x)
  c = cache[k.*, init_k](x)
  d = cache[k, init_k, ext_k](x)
  (e f): (f32[N] i64[]) = call[sub](x, param.n, weights.a.b, -9223372036854775808)
  y = read["b t d -> b t d"](x)
}
// between
body(x: f32[N]) -> (y: f32[N]) {
  y = map[exp](x)
  // trailing
}
sub(x: f32[N]) -> (e: f32[N], f: i64[]) {}
""",
]


@pytest.mark.parametrize("src", SOURCES)
@pytest.mark.parametrize("width", [0, 40, 100])
def test_canonical_text_reads_back(src, width):
    once = t.fmt_source(src, width=width)
    assert t.fmt_source(once, width=width) == once
    assert t.fmt_json(t.parse_to_json(src), width=width) == once
    # Nothing here is changed by printing: the parser gives no comments to a first op and
    # reads view/tile axes from the brackets; untyped outputs read back untyped.
    assert t.parse_to_json(once) == t.parse_to_json(src)


def test_fmt_file(write_file):
    assert t.fmt_file(write_file(SOURCES[1]), width=30) == t.fmt_source(SOURCES[1], width=30)
