"""Writes the seed corpora of the fuzz targets from the tests, the examples and fuzz/seeds.

Usage: seeds.py OUTDIR   (writes OUTDIR/{source,module_json,config,load,toml_depth}/<sha1>)

Every string constant of tests/*.py becomes a seed of the source target; those that read as
module JSON, configuration JSON or TOML become seeds of the matching target too. When the
extension can be imported (the dev build), parsed sources also give module JSON seeds, and
examples/ gives sources, TOML configurations and their pairs for the composite loader.
"""
import ast
import hashlib
import json
import os
import pathlib
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
TARGETS = ("source", "module_json", "config", "load", "toml_depth")


def string_constants(path):
    try:
        tree = ast.parse(path.read_text(encoding="utf-8"))
    except (SyntaxError, UnicodeDecodeError):
        return []
    out = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and len(node.value) >= 2:
            out.append(node.value)
    return out


def classify(text, seeds):
    seeds["source"].add(text)
    try:
        value = json.loads(text)
    except ValueError:
        value = None
    if isinstance(value, dict):
        seeds["module_json" if "functions" in value else "config"].add(text)
    elif isinstance(value, list):
        seeds["module_json"].add(text)
    try:
        if tomllib.loads(text):
            seeds["load"].add(text)
        seeds["toml_depth"].add(text)
    except (tomllib.TOMLDecodeError, ValueError):
        pass


def parse_with_extension(sources):
    sys.path.insert(0, str(ROOT / "build" / "dev"))
    try:
        import _travune
    except ImportError:
        return []
    out = []
    saved = os.dup(2)  # the failure reports of refused sources go to standard error
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        for s in sources:
            try:
                out.append(_travune.parse_to_json(s))
            except BaseException:  # PanicException derives from BaseException
                pass
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    return out


def main():
    outdir = pathlib.Path(sys.argv[1])
    seeds = {t: set() for t in TARGETS}
    for path in sorted((ROOT / "tests").glob("*.py")):
        for text in string_constants(path):
            classify(text, seeds)
    examples = ROOT / "examples"
    tomls = sorted(examples.glob("**/*.toml")) if examples.is_dir() else []
    trvs = sorted(examples.glob("**/*.trv")) if examples.is_dir() else []
    for p in trvs:
        src = p.read_text(encoding="utf-8", errors="replace")
        seeds["source"].add(src)
        for t in tomls:
            seeds["load"].add(t.read_text(encoding="utf-8", errors="replace") + "\0" + src)
    for t in tomls:
        seeds["load"].add(t.read_text(encoding="utf-8", errors="replace"))
        seeds["toml_depth"].add(t.read_text(encoding="utf-8", errors="replace"))
    for p in sorted(examples.glob("**/*.json")) if examples.is_dir() else []:
        seeds["module_json"].add(p.read_text(encoding="utf-8", errors="replace"))
    seeds["module_json"].update(parse_with_extension(sorted(seeds["source"])))
    for target in TARGETS:
        hand = ROOT / "fuzz" / "seeds" / target
        if hand.is_dir():
            for p in sorted(hand.iterdir()):
                seeds[target].add(p.read_bytes().decode("utf-8", errors="replace"))
    for target, texts in seeds.items():
        d = outdir / target
        d.mkdir(parents=True, exist_ok=True)
        for text in texts:
            data = text.encode("utf-8", errors="surrogatepass")
            (d / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"seeds: {target}: {len(texts)}")


if __name__ == "__main__":
    main()
