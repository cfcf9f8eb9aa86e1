"""The JSON reader of Module and of configuration objects: what reads, and every reader error
with its line and column, as fmt_json, check_json and resolve_json report them."""
import json

import pytest

import _travune as t
from conftest import EXAMPLES, fn, functions_text as entries_text, op as new_op, panic_text, ty

PREFIX = "called `Result::unwrap()` on an `Err` value: "


def reader_error(text):
    """The reader error of a module text, as (message, line, column)."""
    report = panic_text(lambda: t.check_json(text))
    assert report.startswith(PREFIX + "Error("), report
    body = report[len(PREFIX) + len("Error("):-1]
    message, _, position = body.rpartition(", line: ")
    line, _, column = position.partition(", column: ")
    return json.loads(message), int(line), int(column)


def op(**fields):
    base = {"outputs": ["y"], "output_types": [None], "args": []}
    base.update(fields)
    return base


def module(*ops, header=None, params=()):
    fn = {"name": "f", "params": list(params), "returns": [], "ops": list(ops)}
    m = {"functions": {"f": fn}}
    if header is not None:
        m["header_comments"] = header
    return json.dumps(m, separators=(",", ":"))


def read_back(text):
    """The module as the reader took it, written again (parse_to_json's writer)."""
    return json.loads(t.infer_axes_json(text))


# ---- what reads ----

def test_smallest_module_and_defaults():
    assert t.infer_axes_json('{"functions":{}}') == '{"functions":{}}'
    assert t.infer_axes_json(' \n{ "functions" : { } }\n\t ') == '{"functions":{}}'
    fn = '{"name":"f","comments":[],"params":[],"returns":[],"ops":[]}'
    assert t.infer_axes_json('{"header_comments":[],"functions":{"f":%s}}' % fn) == \
        '{"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[]}}}'
    empty_key = '{"header_comments":["// h",""],"functions":{"":{"name":"","params":[],"returns":[],"ops":[]}}}'
    assert t.infer_axes_json(empty_key) == empty_key


DIMS = {"dtype": "f32", "shape": [0, -1, 9223372036854775807, -9223372036854775808, "...", "param.n"]}


@pytest.mark.parametrize("text,expected", [
    # Undeclared keys are skipped at every level.
    (json.dumps({"x": [1, {"y": None}], "functions": {"f": {
        "name": "f", "params": [{"name": "a", "ty": {"dtype": "f32", "shape": [2], "z": 1}, "z": 2}],
        "returns": [], "ops": [dict(op(kind="iota"), zzz={"deep": [[["x"]]]})], "w": True}}}),
     module(op(kind="iota"), params=[{"name": "a", "ty": {"dtype": "f32", "shape": [2]}}])),
    # Escaped keys and strings.
    ('{"fun\\u0063tions":{"\\u00e9":{"name":"a\\"b\\n\\u00e9\\ud83d\\ude00","params":[],"returns":[],"ops":[]}}}',
     json.dumps({"functions": {"é": {"name": "a\"b\né\U0001F600", "params": [], "returns": [], "ops": []}}})),
    # Dimensions of every form.
    (module(op(kind="iota", output_types=[DIMS])), module(op(kind="iota", output_types=[DIMS]))),
])
def test_reads(text, expected):
    assert read_back(text) == json.loads(expected)


def test_array_forms_of_records():
    ty = ["f32", [4, "n"]]
    fn = ["f", ["// c"], [["x", ty]], [], [["map", "", "exp", "", {}, None, None, None, "", None,
                                             "", "", None, ["y"], [ty], ["x"]]]]
    text = json.dumps([["// h"], {"f": fn}])
    assert read_back(text) == json.loads(t.parse_to_json(
        "// h\nf(x: f32[4, n]) -> () {\n  // c\n  y: f32[4, n] = map[exp](x)\n}"))
    # Every call that reads a module reads it the same way as the object form.
    objects = json.dumps(read_back(text))
    for call in (t.check_json, t.fmt_json, lambda m: t.flatten_json(m, "f")):
        assert call(text) == call(objects)
    # Trailing defaulted values may be left out.
    assert read_back('[[], {"f": ["f", [], [], [], []]}]')["functions"]["f"]["name"] == "f"


@pytest.mark.parametrize("fields,expected", [
    (dict(kind="literal"), {"value": 0}),
    (dict(kind="literal", value=[1, -2, 2.5, [], [[3]]]), {"value": [1, -2, 2.5, [], [[3]]]}),
    (dict(kind="literal", value=["inf", "-inf", "nan"]), {"value": ["inf", "-inf", "nan"]}),
    (dict(kind="literal", value=18446744073709551615), {"value": -1}),
    (dict(kind="literal", value=9223372036854775808), {"value": -9223372036854775808}),
    (dict(kind="literal", value=18446744073709551616), {"value": 1.8446744073709552e19}),
    (dict(kind="literal", value=-9223372036854775809), {"value": -9.223372036854776e18}),
    (dict(kind="loop", target="g", count=3), {"target": "g", "count": 3}),
    (dict(kind="loop", target="g", count=18446744073709551615), {"target": "g", "count": 18446744073709551615}),
    (dict(kind="loop", target="g", count="param.n"), {"target": "g", "count": "param.n"}),
    (dict(kind="loop", target="g"), {"target": "g", "count": ""}),
    (dict(kind="loop", target="g", count=[1, {"a": True}]), {"target": "g", "count": ""}),
    (dict(kind="random", lower=1, upper=2.5), {"lower": 1.0, "upper": 2.5}),
    (dict(kind="cache", var="v", init="i", extend=None), {"var": "v", "init": "i"}),
    (dict(kind="cache", var="v", init="i", extend="e"), {"var": "v", "init": "i", "extend": "e"}),
    (dict(kind="tile", pattern="p", axes={"a": 2, "b": -3, "a": 5}), {"pattern": "p", "axes": {"a": 5, "b": -3}}),
    (dict(kind="view", pattern="p", axes={}), {"pattern": "p"}),
    # Keys that the kind does not use are read, checked and dropped.
    (dict(kind="map", function="exp", pattern="p", count=-1, value=[1], lower=None, axes={"a": 1}),
     {"function": "exp"}),
    (dict(kind="iota", outputs=[], output_types=[None, None]), {}),
])
def test_op_kinds(fields, expected):
    got = read_back(module(op(**fields)))["functions"]["f"]["ops"][0]
    common = {k: got.pop(k) for k in ("outputs", "output_types", "args")}
    assert common["outputs"] == fields.get("outputs", ["y"])
    assert got == dict(kind=fields["kind"], **expected)


def test_repeated_axis_keeps_its_first_position():
    text = module(op(kind="view", pattern="p")).replace('"pattern":"p"', '"axes":{"a":1,"b":2,"a":3}')
    got = read_back(text)["functions"]["f"]["ops"][0]
    assert list(got["axes"].items()) == [("a", 3), ("b", 2)]


@pytest.mark.parametrize("value,expected", [
    (-4, -4), (4.0, 4.0), (9223372036854775807, 9223372036854775807), (9223372036854775808, 9.223372036854776e18),
    (-9223372036854775809, -9.223372036854776e18), (1e300, 1e300), ("", ""),
])
def test_atoms(value, expected):
    got = read_back(module(op(kind="map", function="f", args=[value])))
    assert got["functions"]["f"]["ops"][0]["args"] == [expected]


def test_minus_zero_is_a_float():
    def text(fields, zero_at):
        return module(op(**fields)).replace(zero_at, zero_at.replace("1", "-0"))
    got = read_back(text(dict(kind="map", args=[1]), '"args":[1]'))["functions"]["f"]["ops"][0]
    assert got["args"] == [0.0] and str(got["args"][0]) == "-0.0"
    assert '"value":-0.0' in t.infer_axes_json(text(dict(kind="literal", value=1), '"value":1'))
    assert reader_error(text(dict(kind="iota", output_types=[{"dtype": "f", "shape": [1]}]), "[1]"))[0] == \
        "data did not match any variant of untagged enum Dim"
    assert reader_error(text(dict(kind="tile", axes={"a": 1}), '"a":1'))[0] == \
        "invalid type: floating point `-0.0`, expected i64"
    assert panic_text(lambda: t.check_json(text(dict(kind="loop", target="g", count=1), '"count":1'))) == \
        "loop count out of range: -0"


def test_nesting_limit_of_128_refuses_the_129th_level():
    def literal(depth):
        return module(op(kind="literal", value=0)).replace('"value":0', '"value":' + "[" * depth + "]" * depth)
    # The module object, functions, the function, ops and the op take five levels.
    assert t.infer_axes_json(literal(123))
    text = literal(124)
    assert reader_error(text) == ("recursion limit exceeded", 1, text.index('"value":') + 8 + 124)


@pytest.mark.parametrize("text", [
    "[" * 100000, "[" * 100000 + "]" * 100000, '{"a":' * 100000, '{"x":' + '{"a":' * 100000 + "1",
])
def test_deep_input_stops_cleanly(text):
    assert panic_text(lambda: t.check_json(text)).startswith(PREFIX)


# ---- reader errors: message, line, column ----

M = '{"functions":{}}'

ERRORS = [
    ("{}", "missing field `functions`", 1, 2),
    ('{"\u00e9":1}', "missing field `functions`", 1, 8),  # columns count bytes
    # The length named is the position of the first required value missing.
    ("[[]]", "invalid length 1, expected struct Module with 2 elements", 1, 4),
    ("[[],{},1]", "trailing characters", 1, 8),
    ("[[],{},]", "trailing comma", 1, 8),
    ('"x"', 'invalid type: string "x", expected struct Module', 1, 3),
    ("5", "invalid type: integer `5`, expected struct Module", 1, 1),
    ("-2.5e3", "invalid type: floating point `-2500.0`, expected struct Module", 1, 6),
    ("null", "invalid type: null, expected struct Module", 1, 4),
    ("true", "invalid type: boolean `true`, expected struct Module", 1, 4),
    # A container of the wrong type is refused before the reader enters it.
    ('{"functions":[]}', "invalid type: sequence, expected a map", 1, 13),
    ('{"functions":{"f":{"name":1e999}}}', "number out of range", 1, 31),
    ('{"functions":{}, "functions"\n  :{}}', "duplicate field `functions`", 2, 2),
    ('{"header_comments":null,"functions":{}}', "invalid type: null, expected a sequence", 1, 23),
    ('{"header_comments":["a",5],"functions":{}}', "invalid type: integer `5`, expected a string", 1, 25),
    ('{"functions":{"f":{}}}', "missing field `name`", 1, 20),
    ('{"functions":{"f":{"name":"f","params":[],"returns":[]}}}', "missing field `ops`", 1, 55),
    ('{"functions":{"f":["f"]}}', "invalid length 1, expected struct Function with 5 elements", 1, 23),
    ('{"functions":{"f":{"name":"f","params":[["x"]]}}}', "invalid length 1, expected struct Param with 2 elements", 1, 45),
    ('{"functions":{"f":{"name":null}}}', "invalid type: null, expected a string", 1, 30),
    ('{"functions":{"f":{"name":"f","params":["x"]}}}', 'invalid type: string "x", expected struct Param', 1, 43),
    ('{"functions":{"f":{"name":"f","params":[["x",["f32",[2]]],{"name":"y","ty":null}]}}}',
     "invalid type: null, expected struct TensorType", 1, 79),
    ('{"functions":{"f":5}}', "invalid type: integer `5`, expected struct Function", 1, 19),
    # syntax
    ("", "EOF while parsing a value", 1, 0),
    ("  \n ", "EOF while parsing a value", 2, 1),
    ("]", "expected value", 1, 1),
    ("{", "EOF while parsing an object", 1, 1),
    ('{"functions"', "EOF while parsing an object", 1, 12),
    ('{"functions":', "EOF while parsing a value", 1, 13),
    ('{"functions":{}', "EOF while parsing an object", 1, 15),
    ('{"x":[1,2', "EOF while parsing a list", 1, 9),
    ('{"x":"ab', "EOF while parsing a string", 1, 8),
    (M + "\n\n  x", "trailing characters", 3, 3),
    (M + "]", "trailing characters", 1, 17),
    (M + "\0", "trailing characters", 1, 17),
    ('{"functions":{},}', "trailing comma", 1, 17),
    # A value that nobody reads is walked as a plain value: no trailing comma, but a value or key missing.
    ('{"x":[1,],"functions":{}}', "expected value", 1, 9),
    ('{"x":{"a":1,},"functions":{}}', "key must be a string", 1, 13),
    ('{"x":{"a":1,', "EOF while parsing an object", 1, 12),
    ('{"functions":{},"x":[{"a":[1]}],"y":[[1,]]}', "expected value", 1, 41),
    ('{"functions":{} "x":1}', "expected `,` or `}`", 1, 17),
    ('{"functions":{},"x":"a":[1],"y":2}', "expected `,` or `}`", 1, 24),
    ('{"x":["a":1]}', "expected `,` or `]`", 1, 10),
    # A string value followed by a colon is no key (a text fuzzing found accepted once).
    ('{"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","pattern":"p":8}]}}}',
     "expected `,` or `}`", 1, 91),
    ('{"functions" {}}', "expected `:`", 1, 14),
    ('{"x":[1}', "expected `,` or `]`", 1, 8),
    ("{5:1}", "key must be a string", 1, 2),
    ('{"x":+1}', "expected value", 1, 6),
    ('{\n  "x":\n  tru,\n  "functions":{}}', "expected ident", 3, 6),
    ('{"x":01}', "invalid number", 1, 7),
    ('{"x":1.}', "invalid number", 1, 8),
    ('{"x":-}', "invalid number", 1, 7),
    ('{"x":1.5e,"functions":{}}', "invalid number", 1, 10),
    ('{"x":1e', "invalid number", 1, 7),
    ("1.", "EOF while parsing a value", 1, 2),
    ('{"x":"\\q"}', "invalid escape", 1, 8),
    ('{"\\q":1}', "invalid escape", 1, 4),
    ('{"header_comments":["\\u12x4"],"functions":{}}', "invalid escape", 1, 26),
    ('{"functions":{"\\ud800":{}}}', "unexpected end of hex escape", 1, 22),
    ('{"header_comments":["a\\udc00"],"functions":{}}', "lone leading surrogate in hex escape", 1, 28),
    ('{"header_comments":["\\ud83d\\u0041"],"functions":{}}', "lone leading surrogate in hex escape", 1, 33),
    # Where a string is skipped, the reader stands before its control character; where read, after it.
    ('{"x":"a\tb"}', "control character (\\u0000-\\u001F) found while parsing a string", 1, 7),
    ('{"header_comments":["a\tb"]}', "control character (\\u0000-\\u001F) found while parsing a string", 1, 23),
    ('{"functions":{},"a\\q" 1}', "invalid escape", 1, 20),
    # A text with an unclosed string or a raw control character stops at its first fault in
    # reading order, or at an error met before it.
    ('{"a":"x,"b":1}', "expected `,` or `}`", 1, 10),
    ('{"functions":{}, "x":[1 2], "y":"\tz"}', "expected `,` or `]`", 1, 25),
    ('{"functions":{"f":{}},"x":"a\tb"}', "missing field `name`", 1, 20),
    ('{"functions":{"f":{"name":"a"}, "g":"}}', "missing field `params`", 1, 30),
    ('{"header_comments":["a",],"functions":{},"y":"\t"}', "trailing comma", 1, 25),
    ('{"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[]},},"y":"\t"}', "trailing comma", 1, 66),
    ('{"functions":{}}"', "trailing characters", 1, 17),
    ('{"x":' + "[" * 128 + "]" * 128 + ',"y":"\t"}', "recursion limit exceeded", 1, 133),
    ('{"functions":{"f":{"name":"f","params":[{"name":"a","ty":{"dtype":"f","shape":[true "B]}}]}}}',
     "data did not match any variant of untagged enum Dim", 1, 84),
    # A number or word run on by other bytes is taken as far as it is valid.
    ('{"functions":{},"x":[2-1]}', "expected `,` or `]`", 1, 23),
    ('{"functions":{},"x":truex}', "expected `,` or `}`", 1, 25),
    ('{"functions":{"f":{"name":truex}}}', "invalid type: boolean `true`, expected a string", 1, 30),
    ('{"functions":{"f":{"name":2-1}}}', "invalid type: integer `2`, expected a string", 1, 27),
    ('{"functions":{"f":{"name":"f","params":[{"name":"a",', "EOF while parsing a value", 1, 52),
]


@pytest.mark.parametrize("text,message,line,column", ERRORS)
def test_reader_errors(text, message, line, column):
    assert reader_error(text) == (message, line, column)


def test_values_under_skipped_keys_are_validated():
    assert reader_error('{"x":{"a":[1,2,{"b":tru}]},"functions":{}}')[0] == "expected ident"
    assert reader_error('{"functions":{},"x":[01]}')[0] == "invalid number"
    # Their form only: a number beyond the float range and a lone surrogate escape pass.
    assert t.infer_axes_json('{"functions":{},"x":[1e999, "\\ud800", {"a": -0}, "\\udc00"]}') == M
    assert t.infer_axes_json('{"x":{"\\ud800":1},"functions":{}}') == M
    # A loop count is read whatever the kind, so its strings are text and must be whole.
    text = module(op(kind="map", count=["\ud800"]))
    assert reader_error(text)[0] == "unexpected end of hex escape"


# Errors inside an op, with the position where reading stopped.
OP_ERRORS = [
    (op(kind="View"), "unknown op kind: View"),
    (op(kind="map", value="abc"), "unexpected string: abc"),
    (op(kind="literal", value="Inf"), "unexpected string: Inf"),
    (op(kind="literal", value=[None]), 'invalid type: null, expected integer, float, "inf"/"-inf", or array'),
    (op(kind="literal", value=True), 'invalid type: boolean `true`, expected integer, float, "inf"/"-inf", or array'),
    (op(kind="map", args=[None]), "data did not match any variant of untagged enum Atom"),
    (op(kind="map", output_types=[{"dtype": "f32", "shape": [4.0]}]), "data did not match any variant of untagged enum Dim"),
    (op(kind="map", output_types=[{"dtype": "f32", "shape": [9223372036854775808]}]),
     "data did not match any variant of untagged enum Dim"),
    (op(kind="map", output_types=[{"dtype": "f32"}]), "missing field `shape`"),
    (op(kind="map", output_types=[5]), "invalid type: integer `5`, expected struct TensorType"),
    (op(kind="map", axes={"a": 1e20}), "invalid type: floating point `100000000000000000000.0`, expected i64"),
    (op(kind="map", axes={"a": 9223372036854775808}), "invalid value: integer `9223372036854775808`, expected i64"),
    (op(kind="map", axes={"a": "x"}), 'invalid type: string "x", expected i64'),
    (op(kind="map", axes=[]), "invalid type: sequence, expected a map"),
    (op(kind="map", lower="x"), 'invalid type: string "x", expected f64'),
    (op(kind="map", extend=1), "invalid type: integer `1`, expected a string"),
    (op(kind="map", comments=None), "invalid type: null, expected a sequence"),
    (op(kind=None), "invalid type: null, expected a string"),
    ({"kind": "zzz", "output_types": [], "args": []}, "missing field `outputs`"),
    ({"outputs": [], "output_types": [], "args": []}, "missing field `kind`"),
    ("x", 'invalid type: string "x", expected struct OpRaw'),
]


@pytest.mark.parametrize("value,message", OP_ERRORS)
def test_op_errors(value, message):
    assert reader_error(module(value))[0] == message


def test_op_error_positions():
    # An error that names no place of its own stands past the separator or bracket after the element.
    text = module(op(kind="View"))
    assert reader_error(text) == ("unknown op kind: View", 1, text.index("}]}}}") + 2)
    text = module(op(kind="View"), op(kind="map"))
    assert reader_error(text) == ("unknown op kind: View", 1, text.index("},{") + 2)
    text = module(op(kind="map", value="abc"))
    assert reader_error(text) == ("unexpected string: abc", 1, text.index('"abc"') + 5)
    text = module(op(kind="map", args=[None, 1]))
    assert reader_error(text)[2] == text.index("[null,1]") + 6
    text = module(op(kind="iota", output_types=[{"dtype": "f", "shape": [4]}])).replace("[4]", "[4.0 ,\n 5]")
    assert reader_error(text) == ("data did not match any variant of untagged enum Dim", 2, 1)
    # A literal value that is an object is refused on entering it.
    text = module(op(kind="literal", value={"a": 1}))
    assert reader_error(text)[2] == text.index('{"a"') + 1
    text = module(op(kind="map")).replace('"kind":"map"', '"kind":"map","kind":"map"')
    assert reader_error(text) == ("duplicate field `kind`", 1, text.rindex('"kind"') + 6)


def test_array_form_op_errors():
    assert reader_error(module(["map"]))[0] == "invalid length 1, expected struct OpRaw with 17 elements"
    assert reader_error(module([]))[0] == "invalid length 0, expected struct OpRaw with 17 elements"
    long = ["map", "", "f", "", {}, None, None, None, "", None, "", "", None, [], [], [], [], 5]
    assert reader_error(module(long))[0] == "trailing characters"


@pytest.mark.parametrize("value,message", [
    (op(kind="random", lower=None, upper=None), "random requires 'lower' field"),
    (op(kind="random", upper=1), "random requires 'lower' field"),
    (op(kind="random", lower=1), "random requires 'upper' field"),
    (op(kind="loop", target="g", count=-1), "loop count out of range: -1"),
    (op(kind="loop", target="g", count=3.5), "loop count out of range: 3.5"),
    (op(kind="loop", target="g", count=18446744073709551616), "loop count out of range: 18446744073709551616"),
])
def test_stops_while_reading_an_op(value, message):
    assert panic_text(lambda: t.check_json(module(value))) == message


def test_reader_errors_come_before_the_kind_is_looked_at():
    # The type error after the unknown kind wins: the whole op is read first.
    assert reader_error(module(op(kind="zzz", pattern=5)))[0] == "invalid type: integer `5`, expected a string"
    assert reader_error(module(op(kind="random", pattern=5)))[0] == "invalid type: integer `5`, expected a string"


# ---- configuration objects, through resolve_json ----

def config_error(config):
    report = panic_text(lambda: t.resolve_json(M, config))
    assert report.startswith(PREFIX + "Error("), report
    return report[len(PREFIX):]


@pytest.mark.parametrize("config,error", [
    ('{"n":"1"}', 'Error("data did not match any variant of untagged enum ConfigValue", line: 1, column: 9)'),
    ('{"n":[1,"x",[2]]}', 'Error("data did not match any variant of untagged enum ConfigValue", line: 1, column: 17)'),
    ('{"n":{"a":1}}', 'Error("data did not match any variant of untagged enum ConfigValue", line: 1, column: 13)'),
    ('{"n":null}', 'Error("data did not match any variant of untagged enum ConfigValue", line: 1, column: 10)'),
    ('{"n":-0, "m": 1 ,"k":"x" , "j":1}', 'Error("data did not match any variant of untagged enum ConfigValue", line: 1, column: 25)'),
    ('{"\\ud800":1}', 'Error("unexpected end of hex escape", line: 1, column: 9)'),
    ('{"n":[1,"x",tru]}', 'Error("expected ident", line: 1, column: 16)'),
    ("[1]", 'Error("invalid type: sequence, expected a map", line: 1, column: 0)'),
    ('"n"', 'Error("invalid type: string \\"n\\", expected a map", line: 1, column: 3)'),
    ('{"n":1} {}', 'Error("trailing characters", line: 1, column: 9)'),
    ("", 'Error("EOF while parsing a value", line: 1, column: 0)'),
])
def test_config_errors(config, error):
    assert config_error(config) == error


# ---- round trips through the parser, the formatter and the resolver ----

EXAMPLE = (EXAMPLES / "model.trv").read_text(encoding="utf-8")

SOURCES = [
    EXAMPLE,
    "// head\n\nf(x: f32[n, 4], w: *) -> (y: f32[n]) {\n"
    "  // c\n  y: f32[n] = fold[\"a b -> a\", sum](x)\n"
    "  z = literal([1, -2.5, [inf, -inf], []])\n"
    "  r = random[-1.0, 1e300]()\n  k = loop[g, 18446744073709551615](x)\n"
    "  c = cache[v, i, e]()\n  q = map[f](x, 3, -0.5, \"a \\\" b\", param.n)\n}\n",
]


@pytest.mark.parametrize("source", SOURCES)
def test_parser_output_reads_back(source):
    text = t.parse_to_json(source)
    indented = json.dumps(json.loads(text), indent=2)  # any layout of the same JSON reads the same
    assert t.fmt_json(text, width=20) == t.fmt_source(source, width=20)
    assert t.check_json(text) == t.check_json(indented)
    if source != EXAMPLE:  # a module without views comes back unchanged
        assert t.infer_axes_json(text) == t.resolve_json(text, "{}") == t.infer_axes_json(indented) == text


# ---- reading one function at a time: documents whose order needs care ----

def test_header_after_the_functions_is_written_first():
    text = entries_text(("f", fn("f", [("x", ty(2))])), tail=',"header_comments":["// h"]')
    assert t.infer_axes_json(text) == t.parse_to_json("// h\nf(x: f32[2]) -> () {}")
    assert t.resolve_json(text, "{}") == t.infer_axes_json(text)
    assert t.fmt_json(text) == "// h\n\nf(x: f32[2]) -> () {\n}\n"
    empty = '{"functions":{},"header_comments":["// h"]}'
    assert t.infer_axes_json(empty) == '{"header_comments":["// h"],"functions":{}}'
    assert t.fmt_json(empty) == "// h\n\n"
    assert t.fmt_json('{"functions":{}}') == "\n"


def test_repeated_function_key_through_every_reading_call():
    call_a = new_op("call", ["y"], [ty(3)], ["q"], target="a")
    text = entries_text(("a", fn("one")), ("b", fn("b", [("q", ty(2))], ops=[call_a])), ("a", fn("two", [("x", ty(3))])))
    assert t.fmt_json(text) == "two(x: f32[3]) -> () {\n}\n\nb(q: f32[2]) -> () {\n  y: f32[3] = call[a](q)\n}\n"
    assert json.loads(t.check_json(text))["errors"] == ["b/y: arg 0 'x' — dim 0: Concrete(2) vs Concrete(3)"]
    assert list(json.loads(t.resolve_json(text, '{"n": 1}'))["functions"]) == ["a", "b"]
    assert [f["name"] for f in read_back(text)["functions"].values()] == ["two", "b"]
    # The same key written with an escape repeats it too.
    escaped = text.replace('"a":{"name":"two"', '"\\u0061":{"name":"two"')
    assert escaped != text and t.fmt_json(escaped) == t.fmt_json(text)
    assert t.infer_axes_json(escaped) == t.infer_axes_json(text)


def test_repeated_functions_field_is_a_duplicate_field():
    text = '{"functions":{"a":%s},"functions":{}}' % json.dumps(fn("a"))
    assert reader_error(text) == ("duplicate field `functions`", 1, 84)
    for call in (t.infer_axes_json, t.fmt_json, lambda m: t.resolve_json(m, "{}")):
        assert panic_text(lambda: call(text)) == panic_text(lambda: t.check_json(text))


def test_check_json_sees_functions_defined_later():
    call_g = new_op("call", ["y"], [ty(3)], ["x"], target="g")
    text = entries_text(("main", fn("main", [("x", ty(3))], ops=[call_g])), ("g", fn("g", [("a", ty(2))])))
    assert json.loads(t.check_json(text))["errors"] == ["main/y: arg 0 'a' — dim 0: Concrete(3) vs Concrete(2)"]
