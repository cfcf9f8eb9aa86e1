"""The loader's bound on the nesting of a TOML configuration agrees with TOML itself: a document
whose values lie at most 256 levels deep loads, a deeper one is refused, however it is spelled.

Documents are generated near the bound (250 to 262 levels) from the pieces that decide where
TOML nests: table headers, arrays of tables (re-opened, and gone through by later headers),
dotted keys (with blanks around the dots, inside inline tables too), arrays and inline tables
inside each other, and quoted keys and strings of all four kinds full of brackets, dots, quotes
and escapes, with comments holding brackets, CRLF line ends and a byte-order mark. Python's
tomllib reads each document and says how deep it is."""
import os
import random
import sys
import tomllib

from hypothesis import HealthCheck, given, settings, strategies as st

import _travune as t
from conftest import panic_text

MODEL = "main(x: f32[4]) -> (y: f32[4]) { y: f32[4] = map[neg](x) }\n"
BOUND = 256
EXAMPLES = int(os.environ.get("TRAVUNE_TOML_EXAMPLES", "300"))

# Key texts take these characters, then a tag ("k" and a number) that makes each one new.
KEY_CHARS = "ab_-.[]{}\"'\\#= \t\u00e9"
PIECES = ["[", "]", "[[a]]", "{", "}", "#", "=", ",", "a.b", " ", "\u00e9", "x = 1"]
STRING_PIECES = {
    "basic": PIECES + ['\\"', "\\\\", "\\n", "\\u005D", "'"],
    "literal": PIECES + ['"', "\\"],
    "ml_basic": PIECES + ['"', '""', '\\"', "\\\\", "\n", "\\\n  ", "'''", "\r\n"],
    "ml_literal": PIECES + ["'", "''", '"""', "\\", "\n", "\r\n"],
}
SCALARS = ["1", "0x1f", "1_000", "+inf", "nan", "1e5", "true", "1979-05-27 07:32:00Z",
           "07:32:00", "1979-05-27"]
blank = st.sampled_from(["", " ", "\t", "  "])


def depth(value):
    """The deepest level of a loaded document: the root at 0, a value one below its holder."""
    deepest, pending = 0, [(value, 0)]
    while pending:
        v, level = pending.pop()
        deepest = max(deepest, level)
        if isinstance(v, dict):
            pending.extend((x, level + 1) for x in v.values())
        elif isinstance(v, list):
            pending.extend((x, level + 1) for x in v)
    return deepest


class Writer:
    """Draws the pieces of one document."""

    def __init__(self, draw):
        # The many small choices of spelling come from one drawn generator.
        self.draw, self.tags = draw, 0
        self.rnd = random.Random(draw(st.integers(0, 2**32)))

    def key(self):
        text = "".join(self.rnd.choices(KEY_CHARS, k=self.rnd.randint(0, 4))) + f"k{self.tags}"
        self.tags += 1
        return text

    def spell(self, text):
        """A key as a bare key where it can be one, or quoted with or without escapes."""
        kinds = ["basic"] + ["literal"] * ("'" not in text)
        kinds += ["bare"] * all(c.isascii() and (c.isalnum() or c in "_-") for c in text)
        kind = self.rnd.choice(kinds)
        if kind == "bare":
            return text
        if kind == "literal":
            return f"'{text}'"
        out = "".join("\\" + c if c in '"\\' else
                      f"\\u{ord(c):04X}" if c == "\t" or self.rnd.random() < 0.3 else c
                      for c in text)
        return f'"{out}"'

    def dotted(self, keys):
        blanks = ["", " ", "\t", "  "]
        return "".join((self.rnd.choice(blanks) + "." + self.rnd.choice(blanks)) * (i > 0) +
                       self.spell(k) for i, k in enumerate(keys))

    def string(self):
        kind = self.draw(st.sampled_from(sorted(STRING_PIECES)))
        body = "".join(self.draw(st.lists(st.sampled_from(STRING_PIECES[kind]), max_size=6)))
        q = "'" if "literal" in kind else '"'
        if not kind.startswith("ml"):
            return q + body.replace("\n", "") + q
        while q * 3 in body:
            body = body.replace(q * 3, q * 2 + "a" + q)
        if body.endswith(q):
            body += "a"
        # The body may end with one or two quotes of its own before the closing three.
        return q * 3 + body + q * self.draw(st.integers(0, 2)) + q * 3

    def leaf(self):
        return self.draw(st.sampled_from(SCALARS)) if self.draw(st.booleans()) else self.string()

    def comment(self):
        return self.draw(st.sampled_from(["", " # [a.b]", "# ]]", " #{ '''", ' # "[x]"']))

    def keyval(self):
        return f"{self.spell(self.key())}{self.draw(blank)}={self.draw(blank)}{self.leaf()}"

    def filler(self, nl):
        return "".join(self.keyval() + self.comment() + nl
                       for _ in range(self.draw(st.integers(0, 2))))

    def chain(self, steps, nl):
        """The value at the end of `steps` ('array' or a number of dotted keys of an inline
        table, outermost first): each array puts it one level down, each table one per key."""
        text = self.leaf()
        for i, step in reversed(list(enumerate(steps))):
            sibling = self.leaf if step == "array" else self.keyval
            before = [sibling() for _ in range(self.draw(st.integers(0, 1)))]
            after = [sibling() for _ in range(self.draw(st.integers(0, 1)))]
            if step == "array":
                # Line breaks and comments only where no inline table holds the array.
                free = all(s == "array" for s in steps[:i])
                gap = self.draw(st.sampled_from(["", nl, " # ] [[x]]" + nl])) if free else ""
                items = before + [text] + after
                text = "[" + gap + ("," + gap).join(items) + "," * self.draw(st.booleans()) + gap + "]"
            else:
                inner = self.dotted([self.key() for _ in range(step)]) + " = " + text
                text = "{ " + ", ".join(before + [inner] + after) + " }"
        return text


@st.composite
def documents(draw):
    """A valid document, its text with or without a byte-order mark, whose deepest value
    lies at the drawn level."""
    w = Writer(draw)
    target = draw(st.integers(BOUND - 6, BOUND + 6))
    nl = draw(st.sampled_from(["\n", "\r\n"]))
    a, b = w.key(), w.key()
    # [[a]] and [[a.b]]; when [[a]] comes again, its new table has no b.
    text = w.filler(nl) + f"[[{w.spell(a)}]]{w.comment()}{nl}{w.filler(nl)}"
    text += f"[[{w.dotted([a, b])}]]{nl}{w.filler(nl)}"
    reopened = draw(st.booleans())
    if reopened:
        text += f"[[ {w.spell(a)} ]]{nl}{w.filler(nl)}"
    header = draw(st.sampled_from(["none", "table", "array"]))
    # Without a header of its own, the deep key lies in the last table of a (or of a.b).
    left = target - (0 if header != "none" else 2 if reopened else 4)
    if header != "none":
        through = draw(st.sampled_from([[], [a], [a, b]]))
        # Through an array of tables: the array and its last table.
        left -= len(through) + (a in through) + (b in through and not reopened)
        left -= header == "array"
        keys = through + [w.key() for _ in range(draw(st.integers(1, left - 1)))]
        left -= len(keys) - len(through)
        brackets = ("[", "]") if header == "table" else ("[[", "]]")
        text += f"{brackets[0]}{w.draw(blank)}{w.dotted(keys)}{w.draw(blank)}{brackets[1]}"
        text += w.comment() + nl + w.filler(nl)
    parts = draw(st.integers(1, left))
    left -= parts
    steps = []
    while left > 0:
        step = draw(st.one_of(st.just("array"), st.integers(1, left)))
        steps.append(step)
        left -= 1 if step == "array" else step
    text += w.dotted([w.key() for _ in range(parts)]) + " = " + w.chain(steps, nl)
    text += w.comment() + nl + w.filler(nl) + f"[{w.spell(w.key())}]{nl}{w.filler(nl)}"
    return ("\ufeff" if draw(st.booleans()) else "") + text, target


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(documents())
def test_the_bound_agrees_with_tomllib(tmp_path_factory, document):
    text, target = document
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 20000))  # tomllib reads inline values by recursion
    try:
        level = depth(tomllib.loads(text.removeprefix("\ufeff")))  # tomllib takes no BOM
    finally:
        sys.setrecursionlimit(limit)
    assert level == target, text  # the generator's own count, so both sides are reached
    folder = tmp_path_factory.mktemp("toml")
    trv, config = folder / "model.trv", folder / "config.toml"
    trv.write_text(MODEL)
    config.write_bytes(text.encode())
    if level <= BOUND:
        t.load_flat_json(str(trv), str(config))
    else:
        message = panic_text(t.load_flat_json, str(trv), str(config))
        assert message.startswith(f"failed to parse {config}: TOML parse error at line ")
        assert message.endswith(f"\nvalues nested deeper than {BOUND} levels\n")
