"""Stops whose wording the language leaves to us: each says what failed and where, one row
per stop, the source read and flattened from its function main."""
import pytest

import _travune as t
from conftest import panic_text

UNWRAP = "called `Result::unwrap()` on an `Err` value: "

G = "g(a: f32[n], w: *) -> (y: f32[n]) { y = map[add](a, w.b) }\n"
INIT = "init(x: f32[n]) -> (c: f32[n]) { c = map[neg](x) }\n"


def main(body):
    return "main(x: f32[n]) -> (x: f32[n]) {\n  q = map[neg](x)\n  " + body + "\n}\n"


ROWS = {
    "text ends inside an argument list": (
        "main(x: f32[n]) -> (y: f32[n]) {\n  y = map[add](x,\n",
        'unexpected end of text: the argument list of "map" opened at line 2, column 15 is not closed'),
    "text ends inside a function body": (
        "// model\nmain(x: f32[n]) -> (y: f32[n]) {\n  y = map[neg](x)\n",
        'unexpected end of text: the body of function "main" opened at line 2, column 32 is not closed'),
    "dimension that is no integer": (
        "main(x: f32[2.5]) -> (x: f32[2]) {}",
        UNWRAP + '"2.5" is not a 64-bit integer'),
    "dimension out of range": (
        "main(x: f32[-9223372036854775809]) -> (x: f32[2]) {}",
        UNWRAP + '"-9223372036854775809" is not a 64-bit integer (too small)'),
    "number that is no number": (
        main("y = map[mul](x, 1e+)"),
        UNWRAP + '"1e+" is not a number'),
    "call with too many arguments": (
        G + main("y = call[g](x, w, v)"),
        "call of 'g' in 'main' passes 3 arguments, but 'g' has 2 parameters"),
    "call with no argument": (
        G + main("y = call[g]()"),
        "call of 'g' in 'main' passes 0 arguments, but 'g' has 2 parameters"),
    "call in a callee": (
        G + "mid(x: f32[n]) -> (x: f32[n]) { x = call[g](x, w, v) }\n" + main("x = call[mid](x)"),
        "call of 'g' in 'mid' passes 3 arguments, but 'g' has 2 parameters"),
    "loop with too many arguments": (
        G + main("x = loop[g, 4](x, w, v)"),
        "loop over 'g' in 'main' passes 3 arguments, but 'g' has 2 parameters"),
    "cache slot with no argument": (
        INIT + main("c: f32[n] = cache[k, init]()"),
        "cache slot 'k' computed by 'init' in 'main' passes 0 arguments, but 'init' has 1 parameter"),
    "call without outputs": (
        G + main("(): () = call[g](x, w)"),
        "call of 'g' at op 1 of 'main' has no outputs"),
    "loop without outputs": (
        G + main("(): () = loop[g, 2](x, w)"),
        "loop over 'g' at op 1 of 'main' has no outputs"),
}


@pytest.mark.parametrize("src,message", ROWS.values(), ids=ROWS.keys())
def test_stop_says_what_and_where(src, message):
    assert panic_text(lambda: t.flatten_json(t.parse_to_json(src), "main")) == message
