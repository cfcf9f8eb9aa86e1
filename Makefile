# Developer loop: configure once, rebuild incrementally, test against the build tree.
# Every Python step runs in the project's virtual environment .venv, which `make setup` makes.
PY      := $(CURDIR)/.venv/bin/python
BUILD   ?= build/dev
CMAKE   := cmake
export PYTHONPATH := $(CURDIR)/$(BUILD)

.PHONY: setup venv build test test-cpp test-py run install clean fuzz test-sanitized bench bench-quick check-debian13

setup:
	scripts/setup

# Stops with "run make setup first" where .venv is missing.
venv:
	@scripts/project-python >/dev/null

$(BUILD)/build.ninja: | venv
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=Release

build: venv $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD)

test-cpp: build
	$(BUILD)/travune_tests --gtest_brief=1

test-py: build
	$(PY) -m pytest -q tests

test: test-cpp test-py

run: build
	$(PY) examples/main_job.py

# Each fuzz target for FUZZ_TIME seconds (default 60), all in parallel: scripts/fuzz.
fuzz:
	scripts/fuzz

# The whole pytest suite against the extension built with ASan and UBSan: scripts/test-sanitized.
test-sanitized:
	scripts/test-sanitized

# Times the ten functions on generated models up to ~20 MB of source, beside CPython's json
# (several minutes); bench-quick runs two small sizes within a minute.
bench: build
	$(PY) bench/run.py

bench-quick: build
	$(PY) bench/run.py --quick

install: venv
	$(PY) -m pip install .

# The two commands above as a new user runs them on Debian 13, in a debootstrapped root (as root):
# scripts/check-debian13.
check-debian13:
	scripts/check-debian13

clean:
	rm -rf build
