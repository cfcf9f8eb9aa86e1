"""The main job: load the example model with its configuration and print the flat module JSON."""
import pathlib

import _travune

HERE = pathlib.Path(__file__).resolve().parent

if __name__ == "__main__":
    print(_travune.load_flat_json(str(HERE / "model.trv"), str(HERE / "config.toml")))
