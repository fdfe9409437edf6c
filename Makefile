# Every target sets up what it needs: a virtual environment in .venv, the package built and installed
# into it (tests always run against the installed wheel, never against src/).
PYTHON ?= python3
VENV ?= .venv
BUILD_DIR ?= build/{wheel_tag}
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_DEPS := "scikit-build-core>=0.10" cmake ninja

.PHONY: demo test install clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install $(BUILD_DEPS)

install: $(PY)
	$(PIP) install --no-build-isolation --config-settings=build-dir=$(BUILD_DIR) ".[test]"

demo: install
	$(PIP) install ./examples/external_plugin
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest

clean:
	rm -rf build $(VENV) .venv-* .pytest_cache .hypothesis
