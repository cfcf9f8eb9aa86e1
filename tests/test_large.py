"""Large modules (tens of thousands of ops, which the parser reads over many windows of tokens):
each function agrees with the others on them, call after call."""
import json

import _travune as t
from conftest import panic_text

OPS = 30_000


def source(ops=OPS):
    lines = ["// a large model", "main(x: f32[B, 4]) -> (y: f32[B, 4]) {",
             "  h0: f32[B, 4] = map[relu](x)"]
    lines += [f"  h{i}: f32[B, 4] = map[relu](h{i - 1})" for i in range(1, ops)]
    lines += ["  y: f32[1, 4] = view[\"b d -> (b) d\"](h0)", "}"]
    return "\n".join(lines) + "\n"


def test_large_module_passes_through_every_function(write_file):
    src = source()
    path = write_file(src)
    m = t.parse_to_json(src)
    assert len(json.loads(m)["functions"]["main"]["ops"]) == OPS + 1
    for _ in range(3):
        assert t.parse_to_json(src) == m
        assert t.fmt_json(m) == t.fmt_source(src)
        assert t.infer_axes_json(m) == t.resolve_json(m, "{}")
        assert t.check_json(m) == t.check_file(path)
        assert t.fmt_file(path) == t.fmt_source(src)
        flat = json.loads(t.flatten_json(m, "main"))
        assert len(flat["functions"]["main"]["ops"]) == OPS + 1
    canonical = t.fmt_source(src)
    assert t.fmt_source(canonical) == canonical
    assert t.parse_to_json(canonical) == m


def test_text_over_many_token_windows_reads_like_short_text():
    # 5,007 tokens and comments: more than one window of 4,096.
    head, one = "f(x: f32[n]) -> (y: f32[n]) {\n  y = iota\n", "  // c\n  y = map[exp](x, 2)\n"
    short = json.loads(t.parse_to_json(head + one + "}\n"))["functions"]["f"]["ops"]
    long = json.loads(t.parse_to_json(head + one * 500 + "}\n"))["functions"]["f"]["ops"]
    assert long == short[:1] + short[1:] * 500
    # A construct opened in an earlier window is reported where it opened.
    body = "f() -> () {\n" + "  y = map[exp](a)\n" * 1000
    assert panic_text(t.parse_to_json, body + "  y = map[exp](a, b\n}\n") == \
        'unexpected end of text: the argument list of "map" opened at line 1002, column 15 is not closed'
    assert panic_text(t.parse_to_json, "f() -> () {\n  y = map[exp](" + "a, " * 5000) == \
        'unexpected end of text: the argument list of "map" opened at line 2, column 15 is not closed'
