# Two entry points: `make demo` and `make test`. Both install what they need on a fresh Debian
# machine (system packages through apt-get, a Python 3.12+ virtual environment through pip).

SHELL := /bin/bash
JOBS ?= $(shell nproc)
# The first interpreter of the given version that actually runs (pyenv shims may not).
find_python = $(shell for p in $(HOME)/.pyenv/versions/$(1)*/bin/python$(1) python$(1); do \
	$$p -c 'import sys; assert sys.version_info[:2] == tuple(map(int, "$(1)".split(".")))' 2>/dev/null && { command -v $$p; break; }; done)
PYTHON312 ?= $(call find_python,3.12)
PYTHON313 ?= $(call find_python,3.13)
# The demo needs a compiler and FFTW only; the tests add GoogleTest and their oracles and peers.
DEMO_APT_PACKAGES := build-essential cmake pkg-config libfftw3-dev
TEST_APT_PACKAGES := $(DEMO_APT_PACKAGES) googletest libgtest-dev libbenchmark-dev libliquid-dev libfec-dev wsjtx
# GNU Radio is a benchmark peer only.
BENCH_APT_PACKAGES := $(TEST_APT_PACKAGES) gnuradio
VENV := .venv
VENV313 := .venv313
BUILD := build/test
DEMO_BUILD := build/demo

.PHONY: demo test test-unit test-python test-python313 wheel bench clean

# The module alone: a release build in its own folder, without tests or sanitizers.
demo: $(VENV)/.stamp
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python >/dev/null
	cmake --build $(DEMO_BUILD) --target kavro_sdr -j $(JOBS)
	PYTHONPATH=$(DEMO_BUILD) $(VENV)/bin/python examples/demo.py
	PYTHONPATH=$(DEMO_BUILD) $(VENV)/bin/python examples/frame_demo.py

test: test-unit test-python test-python313 wheel

# build/.apt-demo-stamp, build/.apt-test-stamp and build/.apt-bench-stamp
build/.apt-%-stamp:
	@mkdir -p build
	@if ! dpkg -s $(PACKAGES) >/dev/null 2>&1; then \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(PACKAGES); fi
	touch $@
build/.apt-demo-stamp: PACKAGES = $(DEMO_APT_PACKAGES)
build/.apt-test-stamp: PACKAGES = $(TEST_APT_PACKAGES)
build/.apt-bench-stamp: PACKAGES = $(BENCH_APT_PACKAGES)

$(VENV)/.stamp: build/.apt-demo-stamp
	test -n "$(PYTHON312)" || { echo "Python 3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(VENV)/bin/pip install -q --upgrade pip
	$(VENV)/bin/pip install -q "numpy>=2" scipy pytest "scikit-build-core>=0.10"
	touch $@

$(VENV313)/.stamp:
	test -n "$(PYTHON313)" || { echo "Python 3.13 not found"; exit 1; }
	$(PYTHON313) -m venv $(VENV313)
	$(VENV313)/bin/pip install -q "numpy>=2" pytest
	touch $@

$(BUILD)/.configured: $(VENV)/.stamp build/.apt-test-stamp CMakeLists.txt tests/CMakeLists.txt
	cmake -S . -B $(BUILD) -DKAVRO_BUILD_TESTS=ON -DKAVRO_SANITIZE=ON -DKAVRO_WERROR=ON \
		-DPython_EXECUTABLE=$(abspath $(VENV))/bin/python >/dev/null
	touch $@

$(BUILD)/.built: $(BUILD)/.configured FORCE
	cmake --build $(BUILD) -j $(JOBS)
	@touch $@

test-unit: $(BUILD)/.built
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: $(BUILD)/.built
	PYTHONPATH=$(BUILD):$(BUILD)/tests $(VENV)/bin/python -m pytest -q tests/python

# The same built module, imported by a newer interpreter.
test-python313: $(BUILD)/.built $(VENV313)/.stamp
	PYTHONPATH=$(BUILD):$(BUILD)/tests $(VENV313)/bin/python -m pytest -q tests/python/binding

# The wheel builds on its own and installs into the virtual environment.
wheel: $(VENV)/.stamp
	$(VENV)/bin/pip install -q --no-build-isolation -Cbuild-dir=build/wheel .
	cd build && ../$(VENV)/bin/python -c "import kavro_sdr, numpy; print(len(kavro_sdr.__all__), 'names from', kavro_sdr.__file__)"

# Benchmarks run pinned to one core (BENCH_CORE), every benchmark repeated with the repetitions
# of all benchmarks shuffled together, so that a peer and kavro_sdr see the same machine state;
# the medians are the figures to quote. The Python scripts run their peers on the same core.
BENCH_CORE ?= 2
BENCH_REPETITIONS ?= 9
BENCH_PYTHON := PYTHONPATH=build/bench KAVRO_BENCH_CORE=$(BENCH_CORE) taskset -c $(BENCH_CORE) $(VENV)/bin/python
bench: $(VENV)/.stamp build/.apt-bench-stamp
	cmake -S . -B build/bench -DKAVRO_BUILD_BENCH=ON -DPython_EXECUTABLE=$(abspath $(VENV))/bin/python >/dev/null
	cmake --build build/bench -j $(JOBS)
	taskset -c $(BENCH_CORE) build/bench/bench/kavro_bench --benchmark_repetitions=$(BENCH_REPETITIONS) \
		--benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true $(BENCH_ARGS)
	for script in throughput frame_link messages ft8_search ft8_recording dvb_t_throughput dvb_t_rx_peer dvb_t_stream_peer \
		psk31_viterbi_peer; do $(BENCH_PYTHON) bench/python/$$script.py || exit 1; done

clean:
	rm -rf build $(VENV) $(VENV313)

FORCE:
