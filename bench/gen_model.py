"""Deterministic generator of realistic trv models and their TOML configurations.

A model is a transformer-like stack: `groups` groups, each a `loop` over its own block function,
which `call`s an attention and an MLP function through namespace arguments. Attention uses `view`
and `tile` ops whose axes the resolver infers, `contract`, `map`, `fold` and `read` ops, and a
`cache` with initialising and extending functions. The source grows with `groups`; the flattened
model grows with groups x layers.
"""
import argparse
import pathlib

SHAPE = {"batch": 2, "seq": 16, "d_model": 64, "heads": 4, "head_dim": 16, "d_ff": 256,
         "vocab": 1000}

X = "f32[param.batch, param.seq, param.d_model]"
H4 = "f32[param.batch, param.seq, param.heads, param.head_dim]"
SC = "f32[param.batch, param.heads, param.seq, param.seq]"
RED = "f32[param.batch, param.heads, param.seq]"
FF = "f32[param.batch, param.seq, param.d_ff]"


def attention(i: int) -> str:
    return f"""// Multi-head attention of group {i}: projections, heads, cached keys, softmax.
attn_{i}(x: {X}, w: *) -> (y: {X}) {{
  q: {X} = contract["b s d, d e -> b s e"](x, w.wq)
  k: {X} = contract["b s d, d e -> b s e"](x, w.wk)
  v: {X} = contract["b s d, d e -> b s e"](x, w.wv)
  qh: {H4} = view["b s (h d) -> b s h d"](q)
  kh: {H4} = view["b s (h d) -> b s h d"](k)
  vh: {H4} = view["b s (h d) -> b s h d"](v)
  // keys and values persist across decoding steps
  kc: {H4} = cache[kv{i}.*, init_kv_{i}, extend_kv_{i}](kh)
  s: {SC} = contract["b s h d, b t h d -> b h s t"](qh, kc)
  sc: {SC} = map[mul](s, param.scale)
  m: {RED} = fold["b h s t -> b h s", max](sc)
  mt: {SC} = tile["b h s -> b h s t"](m)
  e: {SC} = map[sub](sc, mt)
  p: {SC} = map[exp](e)
  z: {RED} = fold["b h s t -> b h s", sum](p)
  zt: {SC} = tile["b h s -> b h s t"](z)
  a: {SC} = map[div](p, zt)
  o: {H4} = contract["b h s t, b t h d -> b s h d"](a, vh)
  of: {X} = view["b s h d -> b s (h d)"](o)
  y: {X} = contract["b s d, d e -> b s e"](of, w.wo)
}}

init_kv_{i}(k: {H4}) -> (c: {H4}) {{
  c: {H4} = map[copy](k)
}}

extend_kv_{i}(c: {H4}, k: {H4}) -> (n: {H4}) {{
  n: {H4} = map[add](c, k)
}}

// Feed-forward network of group {i}.
mlp_{i}(x: {X}, w: *) -> (y: {X}) {{
  h: {FF} = contract["b s d, d f -> b s f"](x, w.w1)
  g: {FF} = map[gelu](h)
  u: {FF} = contract["b s d, d f -> b s f"](x, w.w3)
  gu: {FF} = map[mul](g, u)
  y: {X} = contract["b s f, f d -> b s d"](gu, w.w2)
}}

block_{i}(x: {X}, w: *) -> (y: {X}) {{
  n1: {X} = map[rmsnorm](x, w.attention_norm)
  a: {X} = call[attn_{i}](n1, w.attn)
  r: {X} = map[add](x, a)
  n2: {X} = map[rmsnorm](r, w.ffn_norm)
  f: {X} = call[mlp_{i}](n2, w.mlp)
  y: {X} = map[add](r, f)
}}
"""


def main_function(groups: int) -> str:
    lines = [f"main(tokens: i32[param.batch, param.seq]) -> (logits: "
             f"f32[param.batch, param.seq, param.vocab]) {{",
             f"  emb: {X} = read[\"v d, b s -> b s d\"](weights.tok_embeddings, tokens)"]
    prev = "emb"
    for i in range(groups):
        lines.append(f"  h{i}: {X} = map[copy]({prev})")
        lines.append(f"  h{i}: {X} = loop[block_{i}, param.layers](h{i}, weights.g{i}.layers.*)")
        prev = f"h{i}"
    lines.append(f"  n: {X} = map[rmsnorm]({prev}, weights.norm)")
    lines.append("  logits: f32[param.batch, param.seq, param.vocab] = "
                 "contract[\"b s d, d v -> b s v\"](n, weights.output)")
    lines.append("}")
    return "\n".join(lines) + "\n"


def source(groups: int) -> str:
    parts = ["// Generated transformer-like model.\n"]
    parts += [attention(i) + "\n" for i in range(groups)]
    parts.append(main_function(groups))
    return "\n".join(parts)


def config(groups: int, layers: int) -> str:
    out = ["[shape]"] + [f"{k} = {v}" for k, v in SHAPE.items()]
    out += ["", "[scalar]", f"layers = {layers}", "scale = 0.25", "",
            "[vector]", "rope_theta = [10000.0, 1.0]", "",
            "[weights]", 'tok_embeddings = "tok_embeddings.weight"',
            'norm = "norm.weight"', 'output = "output.weight"']
    for i in range(groups):
        base = f"weights.g{i}.layers"
        out += ["", f"[{base}]",
                f'attention_norm = "g{i}.layers.{{}}.attention_norm.weight"',
                f'ffn_norm = "g{i}.layers.{{}}.ffn_norm.weight"',
                "", f"[{base}.attn]"]
        out += [f'{w} = "g{i}.layers.{{}}.attention.{w}.weight"' for w in ("wq", "wk", "wv", "wo")]
        out += ["", f"[{base}.mlp]"]
        out += [f'{w} = "g{i}.layers.{{}}.feed_forward.{w}.weight"' for w in ("w1", "w2", "w3")]
    return "\n".join(out) + "\n"


def config_json_values(layers: int) -> dict:
    """The value sections as a JSON configuration (what resolve_json takes)."""
    return {**SHAPE, "layers": layers, "scale": 0.25, "rope_theta": [10000.0, 1.0]}


def write(folder: pathlib.Path, groups: int, layers: int) -> tuple[pathlib.Path, pathlib.Path]:
    folder.mkdir(parents=True, exist_ok=True)
    trv = folder / f"model_g{groups}.trv"
    toml = folder / f"model_g{groups}_l{layers}.toml"
    trv.write_text(source(groups))
    toml.write_text(config(groups, layers))
    return trv, toml


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--groups", type=int, default=4)
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/bench"))
    args = ap.parse_args()
    for p in write(args.out, args.groups, args.layers):
        print(p, p.stat().st_size)
