"""Large modules (tens of thousands of ops, which the parser reads over many windows of tokens):
each function agrees with the others on them, call after call."""
import json

import _travune as t

OPS = 30_000


def source(ops=OPS):
    lines = ["// a large model", "main(x: f32[B, 4]) -> (y: f32[B, 4]) {",
             "  h0: f32[B, 4] = map[relu](x)"]
    lines += [f"  h{i}: f32[B, 4] = map[relu](h{i - 1})" for i in range(1, ops)]
    lines += ["  y: f32[1, 4] = view[\"b d -> (b) d\"](h0)", "}"]
    return "\n".join(lines) + "\n"


def test_large_module_passes_through_every_function(tmp_path):
    src = source()
    path = tmp_path / "large.trv"
    path.write_text(src)
    m = t.parse_to_json(src)
    assert len(json.loads(m)["functions"]["main"]["ops"]) == OPS + 1
    for _ in range(3):
        assert t.parse_to_json(src) == m
        assert t.fmt_json(m) == t.fmt_source(src)
        assert t.infer_axes_json(m) == t.resolve_json(m, "{}")
        assert t.check_json(m) == t.check_file(str(path))
        assert t.fmt_file(str(path)) == t.fmt_source(src)
        flat = json.loads(t.flatten_json(m, "main"))
        assert len(flat["functions"]["main"]["ops"]) == OPS + 1


def test_large_module_round_trips_through_text():
    src = source()
    canonical = t.fmt_source(src)
    assert t.fmt_source(canonical) == canonical
    assert t.parse_to_json(canonical) == t.parse_to_json(src)
