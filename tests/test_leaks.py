"""No call leaks: each function is called many times, succeeding and failing (fatal stops and
argument errors alike), and the reference counts of its arguments and the process's resident
memory are the same afterwards. The inputs are large, so that a leaked copy of any of them
shows in the resident memory."""
import gc
import os
import sys

import pytest

import _travune as t
from conftest import PanicException

ROUNDS = 300
WARM_UP = 30
RSS_SLACK = 24 << 20  # a leaked input copy per call would be ROUNDS times ~100 KB and more
SANITIZED = os.environ.get("TRAVUNE_SANITIZED") == "1"  # set by scripts/test-sanitized


def big_source(ops=600):
    lines = ["// a model large enough that a leaked copy shows",
             "main(x: f32[B, 64], w: *) -> (y: f32[B, 64]) {",
             "  h0: f32[B, 64] = map[relu](x)"]
    lines += [f"  h{i}: f32[B, 64] = map[relu](h{i - 1}, weights.extra.{i})" for i in range(1, ops)]
    lines += [f"  h: f32[B, 64] = map[relu](h{ops - 1})",
              "  h = loop[body, param.n](h, weights.layers.*)",
              "  k: f32[B, 64] = cache[kv, init_k, ext_k](h)",
              "  y = view[\"b d -> b d\"](h)",
              "}",
              "body(x: f32[B, 64], w: *) -> (y: f32[B, 64]) { t = map[mul](x, w.scale)  y = map[add](t, w.bias) }",
              "init_k(x: f32[B, 64]) -> (k: f32[B, 64]) { k = map[relu](x) }",
              "ext_k(k: f32[B, 64], x: f32[B, 64]) -> (k2: f32[B, 64]) { k2 = map[add](k, x) }"]
    return "\n".join(lines) + "\n"


SOURCE = big_source()
CONFIG_TOML = ('[shape]\nB = 2\n[scalar]\nn = 3\n[weights.layers]\nscale = "m.{}.s"\nbias = "m.{}.b"\n'
               '[weights]\n' + "".join(f'extra{i} = "e"\n' for i in range(200)))


class Index:
    def __index__(self):
        return 40


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    (d / "model.trv").write_text(SOURCE)
    (d / "bad.trv").write_text(SOURCE + "(")
    (d / "config.toml").write_text(CONFIG_TOML)
    (d / "bad.toml").write_text(CONFIG_TOML + "[shape\n")
    return {k: str(d / k) for k in ("model.trv", "bad.trv", "config.toml", "bad.toml", "missing")}


def cases(files):
    module = t.parse_to_json(SOURCE)
    config = '{"n": 3, "B": 2, "d": 2.5, "v": [1, 2]}'
    return {
        "parse_to_json": [((SOURCE,), {}), ((SOURCE + "(",), {}), ((b"x",), {}), ((), {}),
                          ((SOURCE,), {"bogus": 1}), ((SOURCE, SOURCE), {}), (("\ud800" + SOURCE,), {})],
        "fmt_source": [((SOURCE,), {"width": Index()}), ((SOURCE,), {"width": -1}),
                       ((SOURCE,), {"width": None}), ((SOURCE + "(",), {"width": 0}),
                       ((SOURCE,), {"source": SOURCE})],
        "fmt_json": [((module,), {}), ((module[:-1],), {}), ((module,), {"width": 2**64}),
                     ((module + module,), {})],
        "check_json": [((module,), {}), ((module.replace('"main"', '"main" "'),), {}), ((None,), {})],
        "infer_axes_json": [((module,), {}), (("{}",), {}), ((), {"module_json": 3})],
        "resolve_json": [((module, config), {}), ((module, '{"n": "x"}'), {}), ((module,), {}),
                         ((module, b"{}"), {})],
        "flatten_json": [((module, "main", ["k", "k"]), {}), ((module, "main"), {}),
                         ((module, "main", ("kv",)), {}), ((module, "nope"), {}),
                         ((module, "main", "kv"), {}), ((module, "main", ["kv", 3]), {}),
                         ((module, "main", {"kv"}), {})],
        "check_file": [((files["model.trv"],), {}), ((files["bad.trv"],), {}),
                       ((files["missing"],), {}), ((files["model.trv"].encode(),), {})],
        "fmt_file": [((files["model.trv"],), {"width": 10}), ((files["missing"],), {}),
                     ((files["model.trv"],), {"width": -5})],
        "load_flat_json": [((files["model.trv"], files["config.toml"]), {}),
                           ((files["model.trv"], files["config.toml"], "main", ["kv"]), {}),
                           ((files["model.trv"], files["bad.toml"]), {}),
                           ((files["bad.trv"], files["config.toml"]), {}),
                           ((files["model.trv"], files["missing"]), {}),
                           ((files["model.trv"], files["config.toml"], None), {}),
                           ((files["model.trv"],), {})],
    }


def call(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # noqa: BLE001 - PanicException derives from BaseException
        pass


@pytest.mark.parametrize("name", ["parse_to_json", "fmt_source", "fmt_json", "check_json",
                                  "infer_axes_json", "resolve_json", "flatten_json", "check_file",
                                  "fmt_file", "load_flat_json"])
def test_no_leak(files, name):
    fn = getattr(t, name)
    calls = cases(files)[name]
    watched = [fn, t, PanicException]
    for args, kwargs in calls:
        watched += list(args) + list(kwargs.values())
    for _ in range(WARM_UP):
        for args, kwargs in calls:
            call(fn, args, kwargs)
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    before = rss()
    for _ in range(ROUNDS):
        for args, kwargs in calls:
            call(fn, args, kwargs)
    gc.collect()
    grown = rss() - before
    assert [sys.getrefcount(o) for o in watched] == refs
    if not SANITIZED:  # AddressSanitizer keeps freed memory in quarantine
        assert grown < RSS_SLACK, f"{name}: resident memory grew by {grown >> 20} MiB"
