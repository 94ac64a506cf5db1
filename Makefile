# Set-up-inclusive targets: each makes the virtual environment and installs
# the package (building the extension) when needed.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -type f) pyproject.toml CMakeLists.txt

.PHONY: example test sanitize bench dev

$(VENV)/.installed: $(SOURCES)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q '.[test]'
	touch $@

example: $(VENV)/.installed
	$(PY) -m zopt_kelv_backtest.example $(ARGS)

test: $(VENV)/.installed
	$(PY) -m pytest $(PYTEST_ARGS)

# Whole suite against an ASan + UBSan build of the extension.
sanitize: $(VENV)/.installed
	$(PY) -m pip install -q 'pybind11>=2.13,<4'
	PYTHON=$(abspath $(PY)) scripts/sanitize.sh

bench: $(VENV)/.installed
	$(PY) bench/run.py

# Incremental in-tree build for development: PYTHONPATH=build/dev/stage
dev: $(VENV)/.installed
	$(PY) -m pip install -q 'pybind11>=2.13,<4'
	PYTHON=$(abspath $(PY)) scripts/dev-build.sh build/dev
