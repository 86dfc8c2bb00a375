# Two entry points: `make demo` and `make test`. On Debian or Ubuntu they install the system
# packages they need (apt-get, waiting for the package lock) and Python virtual environments with
# the Python packages. Python 3.12 (and 3.13 for the tests) must be there already: on PATH as
# python3.12 / python3.13, or under ~/.pyenv/versions. A missing prerequisite stops them at once
# with one line saying what is missing and how to get it.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
# The first interpreter of the given version that actually runs (pyenv shims may not).
find_python = $(shell for p in $(HOME)/.pyenv/versions/$(1)*/bin/python$(1) python$(1); do \
	$$p -c 'import sys; assert sys.version_info[:2] == tuple(map(int, "$(1)".split(".")))' 2>/dev/null && { command -v $$p; break; }; done)
PYTHON312 ?= $(call find_python,3.12)
PYTHON313 ?= $(call find_python,3.13)
# The demo needs a C++23 compiler, CMake, pkg-config and FFTW; the tests add Ninja, GoogleTest,
# libfec (an oracle for the Reed-Solomon tests) and WSJT-X (the FT8/FT4 reference programs).
DEMO_APT_PACKAGES := build-essential cmake pkg-config libfftw3-dev
TEST_APT_PACKAGES := $(DEMO_APT_PACKAGES) ninja-build googletest libgtest-dev libfec-dev wsjtx
# Google Benchmark, and liquid-dsp and GNU Radio as peers, serve the benchmarks only.
BENCH_APT_PACKAGES := $(TEST_APT_PACKAGES) libbenchmark-dev libliquid-dev gnuradio
VENV := .venv
VENV313 := .venv313
BUILD := build/test
DEMO_BUILD := build/demo

.PHONY: demo test test-unit test-python test-python313 wheel bench clean need-python3.12 need-python3.13 need-tools

# The module alone: a release build in its own folder, without tests or sanitizers. A path file
# makes .venv import it from there, in place of the wheel that `make test` may have installed.
demo: need-python3.12 build/.apt-demo-stamp need-tools $(VENV)/.stamp
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python >/dev/null
	cmake --build $(DEMO_BUILD) --target kavro_sdr -j $(JOBS)
	@$(VENV)/bin/pip uninstall -qq -y kavro_sdr
	echo "$(abspath $(DEMO_BUILD))" > $(VENV)/lib/python3.12/site-packages/kavro_sdr_build.pth
	$(VENV)/bin/python examples/demo.py
	$(VENV)/bin/python examples/frame_demo.py

test: need-python3.12 need-python3.13 build/.apt-test-stamp need-tools test-unit test-python test-python313 wheel

# Prerequisites that these commands do not install: each check prints one line and stops.
need-python3.12:
	@test -n "$(PYTHON312)" || { echo "Python 3.12 not found (as python3.12 on PATH or under ~/.pyenv/versions):" \
		"install it (Ubuntu 24.04: apt-get install python3.12-venv python3.12-dev; elsewhere: pyenv install 3.12)" \
		"or name it with PYTHON312=/path/to/python3.12"; exit 1; }
	@$(PYTHON312) -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null || { echo "$(PYTHON312) does not run as" \
		"Python 3.12"; exit 1; }
	@$(PYTHON312) -c 'import ensurepip' 2>/dev/null || { echo "Python 3.12 at $(PYTHON312) cannot make virtual" \
		"environments: install python3.12-venv"; exit 1; }
	@$(PYTHON312) -c 'import os, sysconfig; assert os.path.exists(sysconfig.get_paths()["include"] + "/Python.h")' \
		2>/dev/null || { echo "Python 3.12 at $(PYTHON312) has no C headers, needed to build the module:" \
		"install python3.12-dev"; exit 1; }

need-python3.13:
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (as python3.13 on PATH or under ~/.pyenv/versions)," \
		"needed by the tests: install it (Debian 13: apt-get install python3.13-venv; elsewhere: pyenv install 3.13)" \
		"or name it with PYTHON313=/path/to/python3.13"; exit 1; }
	@$(PYTHON313) -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null || { echo "$(PYTHON313) does not run as" \
		"Python 3.13"; exit 1; }
	@$(PYTHON313) -c 'import ensurepip' 2>/dev/null || { echo "Python 3.13 at $(PYTHON313) cannot make virtual" \
		"environments: install python3.13-venv"; exit 1; }

# What apt-get installs on Debian and Ubuntu, checked again for other systems and older releases.
cmake_version = $(shell cmake --version 2>/dev/null | sed -n '1s/[^0-9]*\([0-9][0-9.]*\).*/\1/p')
need-tools:
	@test -n "$(cmake_version)" || { echo "CMake not found: install CMake 3.24 or later (apt-get install cmake," \
		"or pip install cmake)"; exit 1; }
	@printf '3.24\n$(cmake_version)\n' | sort -C -V || { echo "CMake $(cmake_version) is too old: install 3.24 or" \
		"later (pip install cmake)"; exit 1; }
	@command -v pkg-config >/dev/null || { echo "pkg-config not found: apt-get install pkg-config"; exit 1; }
	@printf '#include <expected>\n#ifndef __cpp_lib_expected\n#error\n#endif\n' \
		| $${CXX:-c++} -std=c++23 -fsyntax-only -x c++ - 2>/dev/null || { echo "No C++23 compiler with" \
		"std::expected (as CXX or c++): install g++ 12 or later (apt-get install build-essential)"; exit 1; }

# build/.apt-demo-stamp, build/.apt-test-stamp and build/.apt-bench-stamp. While another program
# holds the package lock, each apt-get command is tried again every 5 s for up to ten minutes, and
# the first refusal is shown: apt-get's message names the lock and the process holding it (in
# English, which is what is matched here).
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
APT_GET := $(SUDO) env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get -qq -o DPkg::Lock::Timeout=0
apt_get_waiting = for try in $$(seq 120); do \
		$(APT_GET) $(1) 2>build/.apt.log && break; \
		grep -q "Could not get lock" build/.apt.log && test $$try -lt 120 || { cat build/.apt.log; exit 1; }; \
		test $$try -gt 1 || echo "Waiting up to ten minutes for the package lock to run apt-get $(firstword $(1)):" \
			"$$(grep -m 1 -o 'Could not get lock.*' build/.apt.log)"; \
		sleep 5; \
	done
build/.apt-%-stamp:
	@mkdir -p build
	@if ! dpkg -s $(PACKAGES) >/dev/null 2>&1; then \
		command -v apt-get >/dev/null || { echo "System packages missing and no apt-get to install them:" \
			"install the equivalents of the Debian packages $(PACKAGES)"; exit 1; }; \
		test -z "$(SUDO)" || command -v sudo >/dev/null || { echo "Installing the system packages needs root:" \
			"run as root, or install sudo"; exit 1; }; \
		$(call apt_get_waiting,update); \
		$(call apt_get_waiting,install -y $(PACKAGES)); fi
	touch $@
build/.apt-demo-stamp: PACKAGES = $(DEMO_APT_PACKAGES)
build/.apt-test-stamp: PACKAGES = $(TEST_APT_PACKAGES)
build/.apt-bench-stamp: PACKAGES = $(BENCH_APT_PACKAGES)

# Remade when this file changes, since the package list lives here.
$(VENV)/.stamp: Makefile | need-python3.12
	$(PYTHON312) -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q "numpy>=2" scipy pytest pytest-xdist "scikit-build-core>=0.10"
	touch $@

$(VENV313)/.stamp: | need-python3.13
	$(PYTHON313) -m venv $(VENV313)
	$(VENV313)/bin/pip install -q "numpy>=2" pytest
	touch $@

# One Ninja build holds the library (compiled once for the module, the test module and the unit
# tests), the sanitized library and tests, and is where the wheel is made from. A build folder
# made by another generator is started afresh.
$(BUILD)/.configured: $(VENV)/.stamp build/.apt-test-stamp CMakeLists.txt tests/CMakeLists.txt | need-tools
	grep -qs 'CMAKE_GENERATOR:INTERNAL=Ninja' $(BUILD)/CMakeCache.txt || rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -G Ninja -DKAVRO_BUILD_TESTS=ON -DKAVRO_SANITIZE=ON -DKAVRO_WERROR=ON \
		-DPython_EXECUTABLE=$(abspath $(VENV))/bin/python >/dev/null
	touch $@

$(BUILD)/.built: $(BUILD)/.configured FORCE
	cmake --build $(BUILD) -j $(JOBS)
	@touch $@

# The unit tests one by one, and the sanitized program in shards, all side by side.
test-unit: $(BUILD)/.built
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: $(BUILD)/.built
	PYTHONPATH=$(BUILD):$(BUILD)/tests $(VENV)/bin/python -m pytest -q -n $(JOBS) tests/python

# The same built module, imported by a newer interpreter.
test-python313: $(BUILD)/.built $(VENV313)/.stamp
	PYTHONPATH=$(BUILD):$(BUILD)/tests $(VENV313)/bin/python -m pytest -q tests/python/binding

# The wheel, made by the packaging from the test build's compiled module, installs into the virtual
# environment and imports from outside the tree.
wheel: $(BUILD)/.built
	$(VENV)/bin/pip install -q --no-build-isolation -Cbuild-dir=$(BUILD) -Cbuild.targets=kavro_sdr .
	cd build && ../$(VENV)/bin/python -c "import kavro_sdr, numpy; print(len(kavro_sdr.__all__), 'names from', kavro_sdr.__file__)"

# Benchmarks run pinned to one core (BENCH_CORE), every benchmark repeated with the repetitions
# of all benchmarks shuffled together, so that a peer and kavro_sdr see the same machine state;
# the medians are the figures to quote. The Python scripts run their peers on the same core.
BENCH_CORE ?= 2
BENCH_REPETITIONS ?= 9
BENCH_PYTHON := PYTHONPATH=build/bench KAVRO_BENCH_CORE=$(BENCH_CORE) taskset -c $(BENCH_CORE) $(VENV)/bin/python
bench: need-python3.12 build/.apt-bench-stamp need-tools $(VENV)/.stamp
	cmake -S . -B build/bench -DKAVRO_BUILD_BENCH=ON -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python >/dev/null
	cmake --build build/bench -j $(JOBS)
	taskset -c $(BENCH_CORE) build/bench/bench/kavro_bench --benchmark_repetitions=$(BENCH_REPETITIONS) \
		--benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true $(BENCH_ARGS)
	for script in throughput frame_link messages ft8_search ft8_recording dvb_t_throughput dvb_t_rx_peer \
		dvb_t_stream_peer psk31_viterbi_peer psk31_click psk31_recording; do $(BENCH_PYTHON) bench/python/$$script.py || exit 1; done

clean:
	rm -rf build $(VENV) $(VENV313)

FORCE:
