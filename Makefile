# Newcomer commands: `make demo` (three example contracts verified offline),
# `make test` (build, install and test) and `make bench`.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python

# Python 3.13: from PATH when it runs, else from pyenv's installed versions.
PYTHON313 := $(shell \
  if python3.13 -c 'import sys' >/dev/null 2>&1; then command -v python3.13; \
  else ls -d "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; fi)

.PHONY: venv install test bench sanitize clean system-deps demo

# Debian packages the build and the tests use (SQLite headers for the registry
# loader, OCR, the browser test, PDF tools, the PostgreSQL server the history
# and queue tests start in a temporary folder); installed
# with apt when missing and apt is at hand.
SYSTEM_DEPS := tesseract-ocr tesseract-ocr-por chromium poppler-utils libsqlite3-dev postgresql
system-deps:
	@missing=$$(for p in $(SYSTEM_DEPS); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if command -v apt-get >/dev/null 2>&1; then \
	    sudo=""; [ "$$(id -u)" = 0 ] || sudo="sudo"; \
	    echo "apt-get install $$missing"; \
	    $$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq \
	      -o DPkg::Lock::Timeout=600 $$missing >/dev/null; \
	  else echo "warning: missing system packages: $$missing"; fi; \
	fi

$(PY):
	@if [ -z "$(PYTHON313)" ]; then echo "Python 3.13 not found (PATH or pyenv)"; exit 1; fi
	"$(PYTHON313)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)

# Non-editable: the tests run against the installed wheel.
install: $(PY)
	$(PY) -m pip install -q ".[test]"
	@touch $(INSTALADO)

# Installed once, then again only when a source file changed: `make demo`
# builds what it needs on a fresh clone and is quick afterwards.
INSTALADO := $(VENV)/.instalado
FONTES := pyproject.toml CMakeLists.txt $(shell find src python -type f -not -name '*.pyc' 2>/dev/null)
$(INSTALADO): $(PY) $(FONTES)
	$(PY) -m pip install -q ".[test]"
	@touch $@

# Three example contracts (exemplos/) verified with the local provider against
# a local registry: no key, no network.  Exits 1: one example is rejected.
demo: $(INSTALADO)
	@$(PY) tools/demo.py

test: system-deps install
	$(PY) -m pytest -q

bench: install
	$(PY) bench/run.py

# The test suite against a debug build with AddressSanitizer and UBSan.
SAN_VENV := build/venv-sanitize
sanitize: $(PY)
	"$(PYTHON313)" -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/pip install -q -Cbuild-dir=build/sanitize -Ccmake.define.SC_SANITIZE=ON \
	  -Ccmake.build-type=Debug ".[test]"
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(SAN_VENV)/bin/python -m pytest -q

clean:
	rm -rf build $(VENV)
