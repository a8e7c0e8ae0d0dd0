# Set-up and everyday commands.  `make demo` and `make test` start from
# nothing: they find CPython (3.9 when the machine has it, else the newest
# of 3.13 to 3.10; tools/find-python), make .venv, install the build tools,
# NumPy and the package into it, and rebuild only what changed.
SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_TOOLS := "scikit-build-core>=0.10" "numpy==2.0.2; python_version < '3.10'" \
               "numpy>=2.1,<3; python_version >= '3.10'" "cmake>=3.18" ninja
PACKAGE_SOURCES := $(wildcard quiltmap/*.py quiltmap/*.pyi quiltmap/py.typed quiltmap/demo/*.py quiltmap/*.cpp binding/*.cpp binding/*.hpp binding/*.map kernels/*.cpp kernels/*.hpp) \
                   CMakeLists.txt pyproject.toml
CPP_BUILD := build/cpp

.DEFAULT_GOAL := demo
.PHONY: demo stereo drone test test-cpp test-aarch64 test-python test-sanitizers test-pythons wheels fuzz fuzz-format bench bench-quick bench-twins clean

demo: $(VENV)/.installed $(VENV)/.extras-demo
	$(PYTHON) -I -m quiltmap.demo

# The disparity map of a real stereo pair, beside OpenCV's (quiltmap/demo/stereo.py).
stereo: $(VENV)/.installed $(VENV)/.extras-stereo
	$(PYTHON) -I -m quiltmap.demo.stereo

# Three real drone photographs to a georeferenced height model (quiltmap/demo/drone.py).
DRONE_DATA ?= ../shared/data/drone-strip
drone: $(VENV)/.installed $(VENV)/.extras-photos $(VENV)/.extras-demo
	$(PYTHON) -I -m quiltmap.demo.drone --data $(DRONE_DATA)

test: test-cpp test-python

test-python: $(VENV)/.installed $(VENV)/.extras-test $(VENV)/.extras-demo $(VENV)/.extras-tiled
	cd tests && ../$(PYTHON) -m pytest -q

test-cpp: $(CPP_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j2

$(VENV)/.created:
	python="$$(tools/find-python)" && "$$python" -m venv $(VENV)
	$(PYTHON) -m pip install -q --disable-pip-version-check $(BUILD_TOOLS)
	touch $@

# The extension is built in place under build/ (scikit-build-core keeps that
# directory between runs), so a change rebuilds only what it touches.
$(VENV)/.installed: $(VENV)/.created $(PACKAGE_SOURCES)
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

# Optional dependency groups of pyproject.toml (test, demo, bench, stereo, tiled, photos).
$(VENV)/.extras-%: $(VENV)/.created pyproject.toml
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation ".[$*]"
	touch $@ $(VENV)/.installed

$(CPP_BUILD)/build.ninja: CMakeLists.txt $(VENV)/.created
	tools/ensure-gtest
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DQUILTMAP_BUILD_EXTENSION=OFF -DQUILTMAP_BUILD_TESTS=ON

# The kernels and their C++ tests cross-compiled for aarch64 and run under
# qemu-user, and their results against this machine's (tools/test-aarch64).
test-aarch64: test-cpp
	tools/test-aarch64 build/aarch64 $(CPP_BUILD) $(abspath $(VENV)/bin/cmake)

# The whole pytest suite on every CPython from 3.9 to 3.13 that the machine
# has, one venv each under build/pythons/ (tools/test-pythons).
test-pythons:
	tools/test-pythons

# One wheel per CPython the machine has, repaired by auditwheel into a
# manylinux wheel where its policy allows, in dist/ (tools/build-wheels).
wheels:
	tools/build-wheels

# The C++ tests and the whole Python suite against an extension built with
# AddressSanitizer and UndefinedBehaviorSanitizer (tools/test-sanitized).
SANITIZE_BUILD := build/sanitize

test-sanitizers: $(VENV)/.installed $(VENV)/.extras-test $(VENV)/.extras-demo $(VENV)/.extras-tiled
	tools/ensure-gtest
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DQUILTMAP_SANITIZE=ON -DQUILTMAP_BUILD_TESTS=ON -DQUILTMAP_BUILD_EXTENSION=ON \
	    -DPython_EXECUTABLE=$(abspath $(PYTHON))
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD)
	tools/test-sanitized $(SANITIZE_BUILD) $(PYTHON)

# Fuzzing.  `make fuzz` is the long campaign: a million calls of the three
# functions with hypothesis, then the format parser under libFuzzer for
# FUZZ_SECONDS.  CI runs the bounded pytest examples and `make fuzz-format`
# for a minute.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_CALLS ?= 1000000

fuzz: $(VENV)/.installed $(VENV)/.extras-test
	$(PYTHON) tools/fuzz_binding.py --calls $(FUZZ_CALLS) --jobs 2
	$(MAKE) --no-print-directory fuzz-format FUZZ_SECONDS=300

fuzz-format: $(FUZZ_BUILD)/format_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/format_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 -rss_limit_mb=2048 \
	    -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/format_corpus

$(FUZZ_BUILD)/format_fuzzer: tests/fuzz/format_fuzzer.cpp binding/format.cpp binding/format.hpp
	mkdir -p $(FUZZ_BUILD)
	clang="$$(tools/ensure-clang)" && "$$clang" -std=c++17 -O1 -g -I. \
	    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -o $@ \
	    tests/fuzz/format_fuzzer.cpp binding/format.cpp

# Benchmarks (bench/README.md): the peers come from the `bench` extra, Dask
# for the tiled section from the `tiled` extra, the scalar twins from a
# bench-only C library under build/bench.
BENCH_BUILD := build/bench

bench: bench-twins $(VENV)/.extras-bench $(VENV)/.extras-tiled $(VENV)/.installed
	$(PYTHON) bench/run.py

bench-quick: bench-twins $(VENV)/.extras-bench $(VENV)/.extras-tiled $(VENV)/.installed
	$(PYTHON) bench/run.py --quick

bench-twins: $(BENCH_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BENCH_BUILD) --target quiltmap_twins

$(BENCH_BUILD)/build.ninja: CMakeLists.txt $(VENV)/.created
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DQUILTMAP_BUILD_EXTENSION=OFF -DQUILTMAP_BUILD_BENCH=ON

clean:
	rm -rf build $(VENV)
