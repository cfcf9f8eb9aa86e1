"""The canonical formatter: fmt_source, fmt_json and fmt_file."""
import json

import pytest

import _travune as t

PANIC = BaseException  # pyo3_runtime.PanicException


# ---- modules given as JSON -------------------------------------------------------------------

def ty(dtype, *shape):
    return {"dtype": dtype, "shape": list(shape)}


def op(kind, outputs=("y",), types=None, args=(), comments=(), **fields):
    o = {"kind": kind, **fields, "outputs": list(outputs),
         "output_types": list(types) if types is not None else [None] * len(outputs),
         "args": list(args)}
    if comments:
        o["comments"] = list(comments)
    return o


def fn(name="f", ops=(), params=(), returns=(), comments=()):
    return {"name": name, "comments": list(comments), "params": [dict(name=n, ty=y) for n, y in params],
            "returns": [dict(name=n, ty=y) for n, y in returns], "ops": list(ops)}


def module(*functions, header=()):
    return {"header_comments": list(header), "functions": {f["name"]: f for f in functions}}


def fj(m, width=100):
    return t.fmt_json(json.dumps(m), width=width)


def body(*ops, **kw):
    """The op lines of a single function f() -> () holding `ops`."""
    text = fj(module(fn(ops=ops, **kw)))
    lines = text.split("\n")
    assert lines[0] == "f() -> () {" and lines[-2:] == ["}", ""]
    return lines[1:-2]


# ---- the whole text --------------------------------------------------------------------------

def test_empty_module():
    assert t.fmt_source("") == "\n"
    assert fj(module()) == "\n"


def test_header_comments_without_functions():
    assert t.fmt_source("// a\n  // b") == "// a\n// b\n\n"


def test_header_comments_and_functions():
    src = "// top\n\n// also top\nf() -> () {}\n// lead g\ng() -> () {\n}"
    assert t.fmt_source(src) == "// top\n// also top\n\nf() -> () {\n}\n\ng() -> () {\n  // lead g\n}\n"


CONV = "conv(x: f32[B, C], weight: f32[K, C]) -> (y: f32[B, K]) {"


def test_conv_header_at_its_width():
    assert len(CONV) == 57
    assert t.fmt_source(CONV + "}", width=57) == CONV + "\n}\n"
    assert t.fmt_source(CONV + "}") == CONV + "\n}\n"


def test_conv_header_one_byte_short():
    assert t.fmt_source(CONV + "}", width=56) == (
        "conv(\n  x     : f32[B, C],\n  weight: f32[K, C]\n) -> (y: f32[B, K]) {\n}\n")


@pytest.mark.parametrize("src,width,out", [
    ("f() -> () {}", 0, "f(\n) -> () {\n}\n"),
    ("f() -> () {}", 10, "f(\n) -> () {\n}\n"),
    ("f() -> () {}", 11, "f() -> () {\n}\n"),
    ("f(a: *) -> (r: f32[], s: i64[2, -1]) {}", 0,
     "f(\n  a: *\n) -> (r: f32[], s: i64[2, -1]) {\n}\n"),
])
def test_headers(src, width, out):
    assert t.fmt_source(src, width=width) == out


def test_header_widths_count_bytes():
    # "é" is two bytes: the one-line header is 20 bytes long.
    m = module(fn(params=[("\u00e9", ty("f32"))]))
    assert fj(m, 20) == "f(\u00e9: f32[]) -> () {\n}\n"
    assert fj(m, 19) == "f(\n  \u00e9: f32[]\n) -> () {\n}\n"
    m = module(fn(params=[("\u00e9\u00e9", ty("f32", "N")), ("b", ty("f32", "N"))]))
    assert fj(m, 0) == "f(\n  \u00e9\u00e9: f32[N],\n  b   : f32[N]\n) -> () {\n}\n"


def test_function_name_is_printed_not_its_key():
    m = module(fn("real"))
    m["functions"] = {"key": m["functions"]["real"]}
    assert fj(m) == "real() -> () {\n}\n"


# ---- op statements ---------------------------------------------------------------------------

def test_alignment_example():
    lines = body(op("map", ["h"], [ty("f32", "B", "D")], ["x"], function="relu"),
                 op("map", ["y"], [ty("f32", "B")], ["h"], function="exp"),
                 op("call", ["out"], [None], ["y"], target="g"))
    assert lines == ["  h  : f32[B, D] = map[relu](x)",
                     "  y  : f32[B]    = map[exp](h)",
                     "  out            = call[g](y)"]
    assert {line.index("=") for line in lines} == {17}


def test_untyped_function_puts_equals_after_longest_name():
    src = "f() -> () {\n  a = iota()\n  long_name = map[exp](a)\n}"
    assert t.fmt_source(src) == "f() -> () {\n  a         = iota()\n  long_name = map[exp](a)\n}\n"


def test_multiple_outputs():
    lines = body(op("call", ["a", "bb", "c"], [ty("f32", "N"), None], target="g"),
                 op("call", ["d", "e"], [None, ty("i64")], target="h"))
    # Width of "f32[N]" is 6, of the names 2; untyped non-last outputs print as the name
    # and a comma; the extra output c takes the untyped form of a last output.
    assert lines == ["  a : f32[N],",
                     "  bb,",
                     "  c          = call[g]()",
                     "  d ,",
                     "  e : i64[]  = call[h]()"]


def test_types_beyond_the_outputs_are_not_printed():
    assert body(op("iota", ["a"], [None, ty("f32", "VERYLONGDIM")])) == ["  a = iota()"]


def test_comment_lines_and_blank_lines():
    lines = body(op("iota", ["a"], comments=["// first"]),
                 op("iota", ["b"]),
                 op("iota", [], comments=["// no outputs"]),
                 op("iota", []),
                 op("iota", ["c"], comments=["// c1", "// c2"]),
                 comments=["// fn"])
    assert lines == ["  // fn", "  // first", "  a = iota()", "  b = iota()",
                     "", "  // no outputs", "", "  // c1", "  // c2", "  c = iota()"]


def test_function_without_ops_and_commented():
    assert t.fmt_source("// lead\nf(x: f32[N]) -> (y: f32[N]) {\n  // inside\n}") == (
        "// lead\n\nf(x: f32[N]) -> (y: f32[N]) {\n  // inside\n}\n")
    assert t.fmt_source("f(x: f32[N]) -> (y: f32[N]) {\n  // inside\n  y = map[exp](x)\n}") == (
        "f(x: f32[N]) -> (y: f32[N]) {\n  // inside\n  y = map[exp](x)\n}\n")


@pytest.mark.parametrize("o,rhs", [
    (op("view", pattern="b h -> h b", args=["x"]), 'view["b h -> h b"](x)'),
    (op("view", pattern="a b -> (a b)", axes={"b": -3, "a": 2}, args=["x"]),
     'view["a b -> (a b)", b=-3, a=2](x)'),
    (op("tile", pattern="", axes={"n": 4}), 'tile["", n=4]()'),
    (op("tile", pattern="a -> a b"), 'tile["a -> a b"]()'),
    (op("map", function="relu", args=["x", 2, 2.0]), "map[relu](x, 2, 2.0)"),
    (op("fold", pattern="a b -> a", reduction="sum", args=["x"]), 'fold["a b -> a", sum](x)'),
    (op("write", pattern="a -> b", reduction="add", args=["x", "y"]), 'write["a -> b", add](x, y)'),
    (op("read", pattern="i j -> j", args=["t"]), 'read["i j -> j"](t)'),
    (op("read", pattern='say "hi" \\'), 'read["say "hi" \\"]()'),
    (op("contract", pattern="a b, b c -> a c", args=["p", "q"]), 'contract["a b, b c -> a c"](p, q)'),
    (op("literal", value=5, args=["ignored"]), "literal(5)"),
    (op("literal", value=[1, 2.5, [3, []], "-inf"]), "literal([1, 2.5, [3, []], -inf])"),
    (op("literal"), "literal(0)"),
    (op("iota", args=[8]), "iota(8)"),
    (op("random", lower=0, upper=1.5, args=["ignored"]), "random[0.0, 1.5]"),
    (op("call", target="g", args=["a", "param.n", -9223372036854775808]),
     "call[g](a, param.n, -9223372036854775808)"),
    (op("call", args=["a b", "x,y"]), "call[](a b, x,y)"),
    (op("loop", target="body", count=4, args=["x"]), "loop[body, 4](x)"),
    (op("loop", target="body", count=18446744073709551615), "loop[body, 18446744073709551615]()"),
    (op("loop", target="body", count="param.layers"), "loop[body, param.layers]()"),
    (op("cache", var="k", init="init_k", args=["x"]), "cache[k, init_k](x)"),
    (op("cache", var="k", init="init_k", extend="ext_k"), "cache[k, init_k, ext_k]()"),
    # An empty fold/write pattern is left out, so that the reduction reads back as such.
    (op("fold", pattern="", reduction="max", args=["x"]), "fold[max](x)"),
    (op("write", pattern="", reduction="add"), "write[add]()"),
])
def test_right_hand_sides(o, rhs):
    assert body(o) == ["  y = " + rhs]


@pytest.mark.parametrize("dtype,shape,text", [
    ("f32", [], "f32[]"),
    ("*", [3, "n"], "*"),
    ("*", [], "*"),
    ("**", [], "**[]"),
    ("i64", [-1, 0, -9223372036854775808, "...", "param.d"],
     "i64[-1, 0, -9223372036854775808, ..., param.d]"),
])
def test_type_texts(dtype, shape, text):
    assert body(op("iota", types=[ty(dtype, *shape)])) == ["  y: " + text + " = iota()"]


def test_multibyte_names_count_bytes():
    lines = body(op("iota", ["\u00e9\u00e9"]), op("iota", ["abc"]), op("iota", ["x"], [ty("f32")]))
    # N is 4 (bytes of "éé"), T is 5; every "=" at byte offset 14.
    assert lines == ["  \u00e9\u00e9" + " " * 8 + "= iota()", "  abc" + " " * 9 + "= iota()",
                     "  x   : f32[] = iota()"]


# ---- floats ----------------------------------------------------------------------------------

@pytest.mark.parametrize("value,text", [
    (3.0, "3.0"), (-2.0, "-2.0"), (-0.0, "-0.0"), (0.0, "0.0"), (0.5, "0.5"), (0.1, "0.1"),
    (1e300, "1" + "0" * 300 + ".0"), (1e20, "1" + "0" * 20 + ".0"), (1e-7, "0.0000001"),
    (123.456, "123.456"), (-1.5e-10, "-0.00000000015"), (5e-324, "0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292 + ".0"),
    ("inf", "inf"), ("-inf", "-inf"), ("nan", "nan"),
])
def test_float_texts(value, text):
    assert body(op("literal", value=value)) == [f"  y = literal({text})"]
    if not isinstance(value, str):
        assert body(op("call", args=[value])) == [f"  y = call[]({text})"]
        assert body(op("random", lower=value, upper=value)) == [f"  y = random[{text}, {text}]"]


def test_integers_print_without_a_point():
    assert body(op("call", args=[2, 2.0, -7])) == ["  y = call[](2, 2.0, -7)"]


def test_deeply_nested_literal():
    value = 0
    for _ in range(100):
        value = [value]
    assert body(op("literal", value=value)) == ["  y = literal(" + "[" * 100 + "0" + "]" * 100 + ")"]


# ---- reading the text back -------------------------------------------------------------------

SOURCES = [
    "",
    "// only a comment",
    "f() -> () {}",
    CONV + "\n  // conv comment\n  y = contract[\"b c, k c -> b k\"](x, weight)\n}",
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
  l = literal([[1, 2.5], [-inf, inf], []])
  n = literal(-inf)
  r: f32[4] = random[-1.5, 0.000001]
  i, j: i64[N] = iota(n, 3, 1e-7)
  o = loop[body, 4](x, ns.w)
  p = loop[body, param.layers](x)
  c = cache[k, init_k](x)
  d = cache[k, init_k, ext_k](x)
  (e f g): (f32[N] i64[] f32[N]) = call[sub](x, param.n, weights.a.b, -9223372036854775808)
  y = read["b t d -> b t d"](x)
}
// between
body(x: f32[N]) -> (y: f32[N]) {
  y = map[exp](x)
  // trailing
}
sub(x: f32[N]) -> (e: f32[N], f: i64[], g: f32[N]) {}
""",
    "g(a: f32[N] b: i64[]) -> () {\n  // header comment\n  p, q, r = iota(a b)\n}",
]


@pytest.mark.parametrize("src", SOURCES)
@pytest.mark.parametrize("width", [0, 40, 100])
def test_formatting_is_idempotent(src, width):
    once = t.fmt_source(src, width=width)
    assert t.fmt_source(once, width=width) == once


@pytest.mark.parametrize("src", SOURCES)
def test_json_and_source_agree(src):
    assert t.fmt_json(t.parse_to_json(src)) == t.fmt_source(src)


@pytest.mark.parametrize("src", SOURCES)
def test_canonical_text_reads_back_as_the_same_module(src):
    # The first op of a function has no comments when parsed, and view/tile axes are read
    # from the brackets, so nothing here is changed by printing.
    parsed = t.parse_to_json(src)
    assert t.parse_to_json(t.fmt_source(src)) == parsed


def test_untyped_outputs_read_back_untyped():
    src = "f() -> () {\n  a, b, c: f32[N] = iota()\n  d, e = iota()\n}"
    out = t.fmt_source(src)
    assert out == ("f() -> () {\n  a,\n  b,\n  c: f32[N] = iota()\n  d,\n"
                   "  e" + " " * 9 + "= iota()\n}\n")
    assert json.loads(t.parse_to_json(out)) == json.loads(t.parse_to_json(src))


def test_fmt_file(tmp_path):
    path = tmp_path / "m.trv"
    path.write_text(SOURCES[4], encoding="utf-8")
    assert t.fmt_file(str(path), width=30) == t.fmt_source(SOURCES[4], width=30)


def test_large_module():
    ops = "\n".join(f"  v{i}: f32[B, {i}] = map[exp](v{i - 1})" for i in range(1, 20001))
    src = f"big(v0: f32[B]) -> () {{\n{ops}\n}}"
    out = t.fmt_source(src)
    lines = out.split("\n")
    assert len(lines) == 20003
    assert {line.index("=") for line in lines[1:-2]} == {6 + 13 + 5}
    assert t.fmt_json(t.parse_to_json(src)) == out
