"""Finds the extension: the build tree of `make build` when not installed."""
import os
import sys
import pathlib

_ROOT = pathlib.Path(__file__).resolve().parent.parent
_BUILD = pathlib.Path(os.environ.get("TRAVUNE_BUILD", _ROOT / "build" / "dev"))
if str(_BUILD) not in sys.path and _BUILD.is_dir():
    sys.path.insert(0, str(_BUILD))
