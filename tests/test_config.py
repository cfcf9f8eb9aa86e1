"""Substitution of configuration values given as JSON, through resolve_json."""
import json

import pytest

import _travune as t
from conftest import fn, module_text, op, panic_text, ty


def loop(count, output_types=None):
    return op("loop", ["y"], output_types, ["param.n"], target="body", count=count)


def resolved(functions, config):
    """The functions after substitution; `config` is a dict or a JSON text."""
    config = config if isinstance(config, str) else json.dumps(config)
    return json.loads(t.resolve_json(json.dumps({"functions": functions}), config))["functions"]


def shape_of(dim, config, dtype="f32"):
    """The dimension `dim` of a parameter's type after substitution."""
    return resolved({"main": fn("main", [("x", ty(dim, dtype=dtype))])}, config)["main"]["params"][0]["ty"]["shape"][0]


def count_of(count, config):
    return resolved({"main": fn(ops=[loop(count)])}, config)["main"]["ops"][0]["count"]


DIMS = [
    ("param.n", {"n": 4}, 4),
    ("n", {"n": 4}, "n"),
    ("param.n", {"param.n": 4}, "param.n"),
    ("param.n", {"n": 2.9}, 2),
    ("param.n", {"n": -2.9}, -2),
    ("param.n", {"n": 4.0}, 4),
    ("param.n", {"n": 1e300}, 2**63 - 1),
    ("param.n", {"n": -1e300}, -(2**63)),
    ("param.n", {"n": 9223372036854775808}, 2**63 - 1),   # above the integers: a float
    ("param.n", {"n": -9223372036854775809}, -(2**63)),   # below them: a float too
    ("param.n", {"n": [1, 2]}, "param.n"),
    ("param.n", {"m": 4}, "param.n"),
    ("param.", {"": 7}, 7),                                # looked up under the empty name
    ("param.a.b", {"a.b": 3}, 3),
    ("Param.n", {"n": 4}, "Param.n"),
]


@pytest.mark.parametrize("dim,config,expected,dtype", [row + ("f32",) for row in DIMS] + [
    ("param.n", {"n": 4}, "param.n", "*"),                # a wildcard type keeps its shape
    ("param.n", {"n": 4}, 4, "**"),
])
def test_dimension(dim, config, expected, dtype):
    assert shape_of(dim, config, dtype) == expected


COUNTS = [
    ("n", {"n": 4}, 4),
    ("param.n", {"n": 4}, 4),
    ("param.n", {"param.n": 4}, "param.n"),
    ("n", {"n": -1}, 18446744073709551615),
    ("param.n", {"n": 2.9}, "param.n"),
    ("n", {"n": 4.0}, "n"),                                # a fraction or an exponent is never an integer
    ("n", {"n": [1]}, "n"),
    ("n", {}, "n"),
    ("param.", {"": 2}, 2),
    (3, {"n": 4}, 3),
    ("n", '{"n": 4, "n": 7}', 7),                         # a later duplicate wins
    ("n", '{"n": 7, "n": 4.0}', "n"),
    ("n", {"n": 9223372036854775808}, "n"),               # above the signed range: a float
    ("n", {"n": -9223372036854775808}, 9223372036854775808),
    ("n", ' { "m" : [ 1 , 2.5 , -3e2 ] } ', "n"),
]


@pytest.mark.parametrize("count,config,expected", COUNTS)
def test_loop_count(count, config, expected):
    assert count_of(count, config) == expected


def test_what_substitution_touches():
    ops = [loop("n", [ty("param.n", "n", 2), None]),
           op("map", ["a", "b"], [None, ty("param.m")], ["param.n", 3, 2.5], function="param.n",
              comments=["// param.n"]),
           op("view", ["v"], [ty("param.n")], ["a"], pattern="param.n -> param.n", axes={"param.n": 1})]
    star = ("w", ty("param.n", dtype="*"))
    f = dict(fn("main", [("x", ty("param.n", dtype="i32")), star], [("r", ty(1, "param.m"))], ops),
             comments=["// param.n"])
    out = resolved({"main": f}, {"n": 4, "m": 5})["main"]
    expected = fn("main", [("x", ty(4, dtype="i32")), star], [("r", ty(1, 5))])
    assert (out["params"], out["returns"], out["comments"]) == (expected["params"], expected["returns"], f["comments"])
    loop_op, map_op, view_op = out["ops"]
    assert loop_op["count"] == 4
    assert loop_op["output_types"] == [ty(4, "n", 2), None]
    assert loop_op["args"] == ["param.n"]
    assert map_op == {**ops[1], "output_types": [None, ty(5)]}
    assert view_op == {**ops[2], "output_types": [ty(4)]}


def test_function_key_and_name_kept_apart():
    out = t.resolve_json(json.dumps({"header_comments": ["// h"], "functions": {
        "k": fn("other", [("x", ty("param.n"))]), "a": fn("a")}}), '{"n": 2}')
    assert out.startswith('{"header_comments":["// h"],"functions":{"k":{"name":"other",')
    assert list(json.loads(out)["functions"]) == ["k", "a"]


def test_empty_config_gives_the_module_back():
    m = module_text(fn("main", [("x", ty("param.n", 3))], [("r", ty("param.n"))],
                       [loop("param.n", [ty("param.n")])]))
    assert t.resolve_json(m, "{}") == m
    assert t.resolve_json(m, " { } ") == m


def test_failure_order():
    # A module error comes first, then a configuration error, then the resolver's stops.
    assert panic_text(t.resolve_json, "{", '{"n": "x"}') == panic_text(t.infer_axes_json, "{")
    bad_view = {"kind": "view", "pattern": "( -> a", "outputs": ["y"], "output_types": [ty(2)], "args": []}
    m = json.dumps({"functions": {"main": fn(ops=[bad_view])}})
    assert "unclosed" in panic_text(t.resolve_json, m, '{"n": 1}')
    config_error = panic_text(t.resolve_json, json.dumps({"functions": {}}), '{"n": "x"}')
    assert panic_text(t.resolve_json, m, '{"n": "x"}') == config_error
    assert panic_text(t.resolve_json, m[:-1], '{"n": "x"}') == panic_text(t.infer_axes_json, m[:-1])
