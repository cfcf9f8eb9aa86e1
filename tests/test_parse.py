"""The parser: source text to the module's JSON form, and every stop of the grammar."""
import json

import pytest

import _travune as t
from conftest import panic_text


def module(src):
    return json.loads(t.parse_to_json(src))


def function(body, header="f() -> ()"):
    return module(f"{header} {{\n{body}\n}}")["functions"]["f"]


def first_op(stmt):
    return function(stmt)["ops"][0]


def args(items):
    """The positional argument list of a map op: shows how tokens and atoms are read."""
    return first_op(f"y = map[g]({items})")["args"]


def shape(dims):
    return function("", f"f(a: f32[{dims}]) -> ()")["params"][0]["ty"]["shape"]


def body(stmts):
    return f"f() -> () {{\n{stmts}\n}}"


def stops(src, message):
    assert panic_text(t.parse_to_json, src) == message


UNWRAP = "called `Result::unwrap()` on an `Err` value: "
END = "unexpected end of text: "


def not_a_number(text):
    return UNWRAP + json.dumps(text) + " is not a number"


def dim_stop(dim, why=""):
    return f"f(a: f32[{dim}]) -> () {{}}", UNWRAP + f'"{dim}" is not a 64-bit integer{why}'


# ---- tokens, seen through argument lists and shapes ----

@pytest.mark.parametrize("items,expected", [
    ("a->b", ["a", "->", "b"]),
    ("x-1", ["x", -1]),
    ("--5", ["-", -5]),
    ("- >", ["-"]),
    ("-inf", ["-", None]),
    ("+5", ["+", 5]),
    ("layers.*.w", ["layers.*", "w"]),
    ("a/b", ["a", "/", "b"]),
    ("x. a...b param.n", ["x.", "a...b", "param.n"]),
    ("x.** a.*b a*", ["x.*", "*", "a.*", "b", "a", "*"]),
    ("1. 1.2.3 .5 1E7", [1.0, 1.2, 3, 5, 10000000.0]),
    ("-12.5e-3", [-0.0125]),
    ("ab\u00e9cd", ["ab", "cd"]),
    ("a!#$%&';<>?@\\^`|~\x0b\x7fb", ["a", "b"]),
    ('"a\\"b"', ['a\\"b']),
    ('"x\ny" "a b" ""', ["x\ny", "a b", ""]),
    ("{ }", ["{", "}"]),
    ("a , , b", ["a", ",", "b"]),  # the token after a comma is an item
])
def test_tokens(items, expected):
    assert args(items) == expected


@pytest.mark.parametrize("dims,expected", [
    ("", []),
    ("B,T", ["B", "T"]),
    ("B T", ["B", "T"]),
    ("....", ["..."]),
    (".. .", []),
    ("-1", [-1]),
    ("n-1", ["n", -1]),
    ("-", ["-"]),
    ('"q"', ['"q"']),
    ("-9223372036854775808 9223372036854775807", [-9223372036854775808, 9223372036854775807]),
    ("B,]", ["B", "]"]),  # a comma before "]" makes it a dimension; the type goes on
])
def test_shapes(dims, expected):
    assert shape(dims) == expected


EMPTY_F = {"name": "f", "params": [], "returns": [], "ops": []}


@pytest.mark.parametrize("src,expected", [
    ("", {"functions": {}}),
    (" \t\r\n\f", {"functions": {}}),
    ("\ufeff f() -> () {}", {"functions": {"f": EMPTY_F}}),
    ("f() -> () { }", {"functions": {"f": EMPTY_F}}),
    ("// a\n// b\n", {"header_comments": ["// a", "// b"], "functions": {}}),
    ("// c\r\n//d", {"header_comments": ["// c\r", "//d"], "functions": {}}),
    # any token names a function
    ('"q" () -> () {} 1.5() -> () {}', {"functions": {'"q"': dict(EMPTY_F, name='"q"'),
                                                       "1.5": dict(EMPTY_F, name="1.5")}}),
])
def test_modules(src, expected):
    assert module(src) == expected


def test_comment_tokens_and_ops_without_lists():
    ops = function("y = map(a//b\n) z = iota")["ops"]
    assert ops[0]["args"] == ["a"] and ops[1]["comments"] == ["//b"]
    # An op without lists ends at its kind word.
    assert [o["kind"] for o in function("y = iota z = map[f](y)")["ops"]] == ["iota", "map"]


# ---- atoms and numbers ----

@pytest.mark.parametrize("items,expected", [
    ("3 -3 3.0 1e3", [3, -3, 3.0, 1000.0]),
    ("inf nan Inf x.y", [None, "nan", "Inf", "x.y"]),
    ("9223372036854775807 -9223372036854775808",
     [9223372036854775807, -9223372036854775808]),
    ("9223372036854775808 99999999999999999999", ["9223372036854775808", "99999999999999999999"]),
    ("1e400 -1e400", [None, None]),
    ("- = +", ["-", "=", "+"]),
])
def test_atoms(items, expected):
    assert args(items) == expected


@pytest.mark.parametrize("text,written", [
    # nearest double, ties to even, written as Python writes it
    ("1.0", "1.0"), ("1e5", "100000.0"), ("0.0001", "0.0001"), ("1e16", "1e+16"), ("1e-5", "1e-05"),
    ("5e-324", "5e-324"), ("inf", "null"), ("-0.0", "-0.0"), ("0.1", "0.1"), ("1e-400", "0.0"), ("-1e-400", "-0.0"),
    ("1234567890123456.0", "1234567890123456.0"), ("12345678901234567.0", "1.2345678901234568e+16"),
    ("123456789012345678901234567890.0", "1.2345678901234568e+29"), ("9007199254740993.0", "9007199254740992.0"),
    ("2.4703282292062328e-324", "5e-324"), ("2.4703282292062327e-324", "0.0"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
])
def test_float_forms(text, written):
    if text != "inf":
        assert written == json.dumps(float(text))
    assert f'"args":[{written}]' in t.parse_to_json(f"f() -> () {{ y = map[g]({text}) }}")


# ---- argument lists ----

def test_delimited_positional_and_keywords():
    op = first_op('y = view(a, b=2, "s t", 1.5)')
    assert op["args"] == ["a", "s t", 1.5]
    assert op["axes"] == {"b": 2}
    assert first_op("y = view(b=1 b=2)")["axes"] == {"b": 2}
    assert first_op("y = map(3=4)")["args"] == [3, "=", 4]
    assert first_op('y = map("k"=4 _x=5)')["args"] == ["k", "=", 4, "_x", "=", 5]
    assert "axes" not in first_op('y = view(k="5")')  # a quoted value is a name
    assert first_op("y = map(x,))")["args"] == ["x", ")"]  # a comma before a closer makes it an item


# ---- literals ----

@pytest.mark.parametrize("text,value", [
    ("5", 5),
    ("-7", -7),
    ("2.5", 2.5),
    ("inf", "inf"),
    ("-inf", "-inf"),
    ("1e400", "inf"),
    ("[]", []),
    ("[1 2 3]", [1, 2, 3]),
    ("[, 1, 2]", [1, 2]),
    ("[[1, 2], [3.5, inf]]", [[1, 2], [3.5, "inf"]]),
])
def test_literals(text, value):
    op = first_op(f"x = literal({text})")
    assert op == {"kind": "literal", "value": value, "outputs": ["x"], "output_types": [None],
                  "args": []}


def test_literal_depth_bound():
    # As deep as the module's JSON lets the JSON reader read it back (128 levels in all).
    deep = "[" * 123 + "1" + "]" * 123
    src = f"f() -> () {{\n  x = literal({deep})\n}}\n"
    raw = t.parse_to_json(src)
    assert '"value":' + deep + "," in raw
    assert t.fmt_json(raw) == t.fmt_source(src)
    assert t.parse_to_json(t.fmt_json(raw)) == raw
    assert t.infer_axes_json(raw) == t.resolve_json(raw, "{}") == raw
    assert '"value":' + deep + "," in t.flatten_json(raw, "f")
    # Deeper literals parse and format, but their JSON is refused by the JSON reader.
    deeper = "[" * 1000 + "1" + "]" * 1000
    src = f"f() -> () {{\n  x = literal({deeper})\n}}\n"
    raw = t.parse_to_json(src)
    assert '"value":' + deeper + "," in raw
    assert t.fmt_source(src) == src
    with pytest.raises(BaseException, match="recursion limit exceeded"):
        t.fmt_json(raw)
    too_deep = "[" * 1001 + "]" * 1001
    stops(body(f"x = literal({too_deep})"), "literal list nested deeper than 1000 levels")
    stops(body("x = literal(" + "[" * 100000 + ")"), "literal list nested deeper than 1000 levels")


# ---- function headers ----

@pytest.mark.parametrize("header,params", [
    ("f(, a: f32[N]) -> ()", [("a", "f32", ["N"])]),
    ("f(a: f32[N] b: f32[N]) -> ()", [("a", "f32", ["N"]), ("b", "f32", ["N"])]),
    ("f(ns: *, x: bf16[]) -> ()", [("ns", "*", []), ("x", "bf16", [])]),
    ("f(a: : []) -> ()", [("a", ":", [])]),  # any token is a dtype
])
def test_params(header, params):
    got = function("", header)["params"]
    assert [(p["name"], p["ty"]["dtype"], p["ty"]["shape"]) for p in got] == params


def test_returns_read_like_params():
    assert function("", "f() -> (r: *, s: i32[2])")["returns"] == [
        {"name": "r", "ty": {"dtype": "*", "shape": []}},
        {"name": "s", "ty": {"dtype": "i32", "shape": [2]}}]


# ---- op statements ----

def test_inline_and_grouped_outputs():
    op = first_op("a, b: f32[N] = iota(n)")
    assert (op["outputs"], op["output_types"]) == (["a", "b"], [None, {"dtype": "f32", "shape": ["N"]}])
    assert first_op("a: * = iota")["output_types"] == [{"dtype": "*", "shape": []}]
    op = first_op("(a, b): (f32[N]) = call[g](x)")
    assert (op["outputs"], op["output_types"]) == (["a", "b"], [{"dtype": "f32", "shape": ["N"]}])
    op = first_op("(a b): (f32[N] i32[N]) = call[g](x)")
    assert [ty["dtype"] for ty in op["output_types"]] == ["f32", "i32"]
    assert first_op("(): () = iota")["outputs"] == []
    stops(body("a b = iota(n)"), 'Expected "=", got "b"')
    stops(body("(a): f32[N] = iota"), 'Expected "(", got "f32"')
    stops(body("(a): (*) = iota"), 'Expected "[", got ")"')


OPS = [
    ('y = view["b h -> h b"](x)', {"kind": "view", "pattern": "b h -> h b", "args": ["x"]}),
    ("y = view(x)", {"kind": "view", "pattern": "", "args": ["x"]}),
    ('y = view["a b -> (a b)"](x, a=2, b=3.9)',
     {"kind": "view", "pattern": "a b -> (a b)", "axes": {"a": 2, "b": 3}, "args": ["x"]}),
    ("y = tile(x, b=-2.7, a=n, c=inf, d=-1e400, e=1e18)",
     {"kind": "tile", "pattern": "", "axes": {"b": -2, "c": 9223372036854775807,
                                              "d": -9223372036854775808,
                                              "e": 1000000000000000000}, "args": ["x"]}),
    ("y = view(a=1, b=2, a=3)", {"kind": "view", "pattern": "", "axes": {"a": 3, "b": 2}, "args": []}),
    ("y = view(a=1, a=n)", {"kind": "view", "pattern": "", "args": []}),
    ("y = map[f](x, k=2)", {"kind": "map", "function": "f", "args": ["x"]}),
    ("y = map(x)", {"kind": "map", "function": "", "args": ["x"]}),
    ('y = read["a -> b", "c d"](x)', {"kind": "read", "pattern": "c d", "args": ["x"]}),
    ('y = contract["i j, j k -> i k"](a, b)',
     {"kind": "contract", "pattern": "i j, j k -> i k", "args": ["a", "b"]}),
    ('y = fold["a b -> a", "sum"](x)', {"kind": "fold", "pattern": "a b -> a", "reduction": "sum",
                                         "args": ["x"]}),
    ('y = fold["ab", sum](x)', {"kind": "fold", "pattern": "", "reduction": "ab", "args": ["x"]}),
    ('y = write["a -> a b", max, 3, 1.5](x)',
     {"kind": "write", "pattern": "a -> a b", "reduction": "max", "args": ["x"]}),
    ("y = view[a -> b](x)", {"kind": "view", "pattern": "->", "args": ["x"]}),
    ("r = random[0.0, 1.0]", {"kind": "random", "lower": 0.0, "upper": 1.0, "args": []}),
    ("r = random[1.0, 0, 1e400, 2.0]", {"kind": "random", "lower": 1.0, "upper": None, "args": []}),
    ("y = call(x)", {"kind": "call", "target": "", "args": ["x"]}),
    ("y = call[g, h](x, 2)", {"kind": "call", "target": "g", "args": ["x", 2]}),
    ("o = loop[body, 4](x)", {"kind": "loop", "target": "body", "count": 4, "args": ["x"]}),
    ("o = loop[body, n](x)", {"kind": "loop", "target": "body", "count": "n", "args": ["x"]}),
    ("o = loop[body, 4, param.n](x)",
     {"kind": "loop", "target": "body", "count": "param.n", "args": ["x"]}),
    ("o = loop[4](x)", {"kind": "loop", "target": "", "count": 4, "args": ["x"]}),
    ("o = loop[body, -1](x)",
     {"kind": "loop", "target": "body", "count": 18446744073709551615, "args": ["x"]}),
    ("c = cache[k, init_k]", {"kind": "cache", "var": "k", "init": "init_k", "args": []}),
    ("c = cache[k, init_k, ext_k, more](x)",
     {"kind": "cache", "var": "k", "init": "init_k", "extend": "ext_k", "args": ["x"]}),
    ("y = iota", {"kind": "iota", "args": []}),
]


@pytest.mark.parametrize("stmt,fields", OPS)
def test_op_kinds(stmt, fields):
    op = first_op(stmt)
    op.pop("outputs"), op.pop("output_types")
    assert op == fields
    assert list(op) == list(fields)  # keys in written order


# ---- stops ----

STOPS = [
    # the text ends inside a construct; an unterminated string runs to the end, also past a
    # final backslash
    ('f() -> () { y = map(x "ab\\',
     END + 'the argument list of "map" opened at line 1, column 20 is not closed'),
    ('f() -> () { y = map(x "a)}',
     END + 'the argument list of "map" opened at line 1, column 20 is not closed'),
    ("f() -> () {", END + 'the body of function "f" opened at line 1, column 11 is not closed'),
    ("f(a: f32[N", END + 'the shape of type "f32" opened at line 1, column 9 is not closed'),
    ("f", END + 'the header of function "f" at line 1, column 1 is not complete'),
    ("f() -> () { y = map[g](x) y", END + "the op statement at line 1, column 27 is not complete"),
    ("f(a", END + 'the parameter list of function "f" opened at line 1, column 2 is not closed'),
    ("f() -> (r: *", END + 'the return list of function "f" opened at line 1, column 8 is not closed'),
    ("f() -> () {\n  (a, b", END + "the list of output names opened at line 2, column 3 is not closed"),
    ("f() -> () {\n  (a): (f32[N]", END + "the list of output types opened at line 2, column 8 is not closed"),
    ("f() -> () {\n  y: f32", END + "the op statement at line 2, column 3 is not complete"),
    ('f() -> () { y = view["a b -> b a"', END + 'the bracket list of "view" opened at line 1, column 21 is not closed'),
    ("f() -> () { x = literal(- ", END + 'the argument list of "literal" opened at line 1, column 24 is not closed'),
    ("f() -> () { x = literal([1, [2", END + "the literal list opened at line 1, column 29 is not closed"),
    # lines end at line feeds; a column counts characters, a tab and a dropped one included
    ("f() -> () {\r\n  y = map(x", END + 'the argument list of "map" opened at line 2, column 10 is not closed'),
    ("// \u00e9\nf() -> () {\n\t\u00e9\U0001d465 y = map(x",
     END + 'the argument list of "map" opened at line 3, column 12 is not closed'),
    ('f() -> () { y = map("', 'unterminated string at the end of the source text: "\\""'),
    ('f() -> () { y = view(a="', 'unterminated string at the end of the source text: "\\""'),
    ("f() - > () {}", 'Expected "->", got "-"'),
    (body("y = map(x,)"), END + 'the argument list of "map" opened at line 2, column 8 is not closed'),
    # numbers
    (body("y = map[g](1e)"), not_a_number("1e")),
    (body("y = map[g](1e+)"), not_a_number("1e+")),
    (body("y = map[g](2elements)"), not_a_number("2e")),
    (body("y = map[g](...)"), not_a_number("...")),
    (body("y = map[g](_e)"), not_a_number("_e")),
    ('f() -> () { y = map("abe', not_a_number('"abe')),  # an unterminated string with an e
    dim_stop("2.5"),
    dim_stop("99999999999999999999", " (too large)"),
    dim_stop("9223372036854775808", " (too large)"),
    dim_stop("-9223372036854775809", " (too small)"),
    dim_stop("99999999999999999999.5", " (too large)"),  # the first fault met, reading left to right
    # literals
    (body("x = literal([1, 2,])"), 'Expected literal value, got name "]"'),
    (body("x = literal(- 5)"), "Expected 'inf' after '-', got \"5\""),
    (body("x = literal(nan)"), 'Expected literal value, got name "nan"'),
    (body('x = literal("a")'), 'Expected literal value, got name "\\"a\\""'),
    (body("x = literal(1e)"), not_a_number("1e")),
    (body('x = literal("a.b")'), not_a_number('"a.b"')),  # a quoted token is a number text too
    (body("x = literal[5]"), 'Expected "(", got "["'),
    # headers
    ("f(a: f32[N],) -> () {}", 'Expected ":", got "->"'),
    ("f[] -> () {}", 'Expected "(", got "["'),
    ("f() () {}", 'Expected "->", got "("'),
    ("f() -> r {}", 'Expected "(", got "r"'),
    ("f() -> () ]", 'Expected "{", got "]"'),
    ("f(a: f32 N) -> () {}", 'Expected "[", got "N"'),
    ('f() -> () {} "a"', END + 'the header of function "\\"a\\"" at line 1, column 14 is not complete'),
    ('f() -> () {} "a" {', 'Expected "(", got "{"'),
    # op statements
    (body('y = fold["a b -> a"](x)'), "fold requires a reduction: fold[pattern, reduction]"),
    (body('y = fold["a b -> a", ""](x)'), "fold requires a reduction: fold[pattern, reduction]"),
    (body("y = write(x)"), "write requires a reduction: write[pattern, reduction]"),
    (body("r = random[0, 1]"), "random requires two bounds: random[lo, hi]"),
    (body("r = random[0.5]"), "random requires two bounds: random[lo, hi]"),
    (body("o = loop[body, 4.0](x)"), "loop requires explicit count: loop[fn, count]"),
    (body("o = loop[body](x)"), "loop requires explicit count: loop[fn, count]"),
    (body("c = cache[]"), "cache requires var name: cache[var, init] or cache[var, init, extend]"),
    (body("c = cache[k]"), "cache requires init function: cache[var, init] or cache[var, init, extend]"),
    (body("x = foo(y)"), 'Unknown op: "foo"'),
    (body('x = "a\tb\u0301"(y)'), 'Unknown op: "\\"a\\tb\\u{301}\\""'),
    (body('x = "\r\0\x01\x7f\u200b\u00a0\u0085\u2028\u00adé\U0001f600\'\\"\n"(y)'),
     'Unknown op: "\\"\\r\\0\\u{1}\\u{7f}\\u{200b}\\u{a0}\\u{85}\\u{2028}\\u{ad}é\U0001f600\'\\\\\\"\\n\\""'),
    (body("x = foo(y, 1e)"), not_a_number("1e")),  # the lists are read before the word is judged
    (body("x = fold[sum](y z"), END + 'the argument list of "fold" opened at line 2, column 14 is not closed'),
]


@pytest.mark.parametrize("src,message", STOPS)
def test_stops(src, message):
    stops(src, message)


# ---- view and tile: axes written inside the brackets ----

@pytest.mark.parametrize("stmt,axes", [
    ('y = view["a b -> (a b)", a=2, b=3](x)', {"a": 2, "b": 3}),
    ('y = tile["a -> a b", b=4.9](x)', {"b": 4}),
    ('y = view["a b -> (a b)", a=2, b=3](x, b=5, c=1)', {"a": 2, "b": 5, "c": 1}),
    ('y = view["a b -> (a b)", a=2, b=n](x, b=m)', {"a": 2}),
    ('y = view["a b -> (a b)", a=2](x, a=n)', {"a": 2}),
    ("y = map[f, k=3](x)", None),
    ("y = fold[a, sum, k=3](x)", None),
])
def test_bracket_axes(stmt, axes):
    op = first_op(stmt)
    assert op.get("axes") == axes
    assert op["args"] == ["x"]


# ---- comments ----

def test_comment_attachment():
    src = """// header 1

// header 2
f(a: f32[N] // in header
) -> () { // after brace
  // before first op
  a = iota
  // between
  b = // inside b
    map[g](a // inside args
    )
  c = iota
  // end of f
}
// between functions
g() -> () {
  // in g
}
// after last
"""
    m = module(src)
    assert m["header_comments"] == ["// header 1", "// header 2"]
    f = m["functions"]["f"]
    assert f["comments"] == ["// in header", "// after brace", "// before first op"]
    assert [op.get("comments") for op in f["ops"]] == [
        None, ["// between"], ["// inside b", "// inside args"]]
    assert m["functions"]["g"]["comments"] == ["// end of f", "// between functions", "// in g"]


def test_duplicate_functions_keep_first_position(write_file):
    src = "// h\nf() -> () { a = iota } g() -> () {} // c\nf(x: *) -> () { b = iota }"
    m = module(src)
    assert t.fmt_source(src) == t.fmt_file(write_file(src)) == "// h\n\nf(x: *) -> () {\n  // c\n  b = iota()\n}\n\ng() -> () {\n}\n"
    assert m["header_comments"] == ["// h"]
    assert list(m["functions"]) == ["f", "g"]
    f = m["functions"]["f"]
    assert (f["comments"], f["params"][0]["name"], f["ops"][0]["outputs"]) == (["// c"], "x", ["b"])


@pytest.mark.parametrize("late,message", [
    ("g() -> () { y = nope }", 'Unknown op: "nope"'),
    ("g(a: f32[99999999999999999999]) -> () {}",
     UNWRAP + '"99999999999999999999" is not a 64-bit integer (too large)'),
    ("g() -> () { y = iota", END + 'the body of function "g" opened at line 11, column 11 is not closed'),
])
@pytest.mark.parametrize("call", [t.parse_to_json, t.fmt_source])
def test_late_parse_error_after_valid_functions(late, message, call):
    # The functions read before the error are written as they come; the stop discards them.
    src = "// top\n" + "".join(f"f{i}(x: f32[N]) -> () {{\n  y = map[exp](x)\n}}\n" for i in range(3))
    assert panic_text(call, src + late) == message


# ---- the JSON text ----

def test_json_escapes():
    src = '// \x01\x1f\x7f \u00e9\u4e2d "q" \\ \b\f\t\r\nf() -> () { y = map("\x08\x0c\x00") }'
    raw = t.parse_to_json(src)
    assert raw.startswith('{"header_comments":["// \\u0001\\u001f\x7f \u00e9\u4e2d \\"q\\" \\\\ '
                          '\\b\\f\\t\\r"],')
    assert '"args":["\\b\\f\\u0000"]' in raw
    m = json.loads(raw)
    assert raw == json.dumps(m, separators=(",", ":"), ensure_ascii=False)


def test_json_is_compact_with_keys_in_order():
    raw = t.parse_to_json('f(a: f32[N, 2]) -> (b: *) { b: f32[N] = view["x -> x"](a) }')
    assert raw == (
        '{"functions":{"f":{"name":"f","params":[{"name":"a","ty":{"dtype":"f32","shape":["N",2]}}],'
        '"returns":[{"name":"b","ty":{"dtype":"*","shape":[]}}],"ops":[{"kind":"view",'
        '"pattern":"x -> x","outputs":["b"],"output_types":[{"dtype":"f32","shape":["N"]}],'
        '"args":["a"]}]}}}')


# ---- source files ----

@pytest.mark.parametrize("content,error", [
    (None, 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("dir", 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
    (b"f() -> () {}\xff", 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
    (b"f() -> () {}\xed\xa0\x80", 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'),
])
@pytest.mark.parametrize("read", [t.fmt_file, t.check_file])
def test_unreadable_source_files(tmp_path, write_file, content, error, read):
    path = write_file(content) if isinstance(content, bytes) else tmp_path / "m.trv"
    if content == "dir":
        path.mkdir()
    assert panic_text(read, str(path)) == UNWRAP + error


def test_source_file_keeps_bytes_the_tokenizer_drops(write_file):
    path = write_file(b"\xef\xbb\xbf// top\r\nf() -> () { y\x0b = iota }")
    assert t.fmt_file(path) == "// top\r\n\nf() -> () {\n  y = iota()\n}\n"
