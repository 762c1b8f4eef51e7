# Velloquin: `make check` installs what the build needs, builds, and runs the
# whole suite (plain, ASan+UBSan, TSan, and the fuzz targets for a bounded time).
# `make demo` builds and runs the headless station on simulated printers.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 20
CMAKE_FLAGS ?=

.PHONY: all deps build check test test-asan test-tsan fuzz demo clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B build -G Ninja $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan -G Ninja -DVELLOQUIN_SANITIZE=address -DVELLOQUIN_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DVELLOQUIN_SANITIZE=thread -DVELLOQUIN_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVELLOQUIN_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	tools/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

check: test test-asan test-tsan fuzz

demo: build
	tools/run-demo.sh

clean:
	rm -rf build build-asan build-tsan build-fuzz
