# The README's commands. Each installs what it needs: the Debian -dev packages
# through apt-get when missing, a virtual environment in .venv, the pip packages.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENV := .venv
VPY := $(VENV)/bin/python
DEV_BUILD := build/dev
DEB_PACKAGES := libgtest-dev libre2-dev pkg-config

# The first Python >= 3.12 found: on PATH, then pyenv's installs, then Debian's.
PYTHON ?= $(shell for p in python3.13 python3.12 python3.14 python3 \
    $$HOME/.pyenv/versions/3.1[2-9]*/bin/python3 /usr/bin/python3.1[2-9]; do \
  if "$$p" -c 'import sys; sys.exit(sys.version_info < (3, 12))' >/dev/null 2>&1; then \
    command -v "$$p" 2>/dev/null || echo "$$p"; break; fi; done)

.PHONY: all deps venv install engine engine-test test demo bench test-asan test-tsan clean

all: install

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VPY):
	@if [ -z "$(PYTHON)" ]; then echo "no Python >= 3.12 found; set PYTHON=..." >&2; exit 1; fi
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.9" "cmake>=3.18" ninja pytest

venv: $(VPY)

# The module and libmorvel.so.1, installed into the virtual environment.
install: deps venv
	$(VPY) -m pip install -q --no-build-isolation .

# The engine and its GoogleTest suite, built in place for ctest.
engine: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(DEV_BUILD) -G Ninja \
	  -DMORVEL_BUILD_TESTS=ON -DMORVEL_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(DEV_BUILD) -j $(JOBS)

engine-test: engine
	cd $(DEV_BUILD) && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

test: engine-test install
	cd python/tests && ../../$(VPY) -m pytest -q -p no:cacheprovider .

demo: install
	$(VPY) examples/demo.py

bench: install engine
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(DEV_BUILD) -DMORVEL_BUILD_BENCH=ON
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(DEV_BUILD) -j $(JOBS) --target engine_bench
	$(VPY) bench/run_bench.py --engine $(DEV_BUILD)/bench/engine_bench
	$(VPY) bench/index_bench.py

# Sanitizer builds of the engine suite.
test-asan: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B build/asan -G Ninja \
	  -DMORVEL_BUILD_TESTS=ON -DMORVEL_BUILD_PYTHON=OFF -DMORVEL_SANITIZE=address \
	  -DCMAKE_BUILD_TYPE=Debug
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

test-tsan: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B build/tsan -G Ninja \
	  -DMORVEL_BUILD_TESTS=ON -DMORVEL_BUILD_PYTHON=OFF -DMORVEL_SANITIZE=thread \
	  -DCMAKE_BUILD_TYPE=Debug
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build build/tsan -j $(JOBS)
	cd build/tsan && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build
