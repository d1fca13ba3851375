# Front door of the project. `make test` builds everything and runs every suite;
# `make demo` runs the live demo. Both, and `make bench`, first run scripts/bootstrap,
# which installs what is missing (and is a quick no-op when nothing is).
BUILD ?= build
# Release with the glibc floor: build/ holds the very library that `make dist` ships, so the
# suites test the shipped file.
BUILD_TYPE ?= Release
GLIBC_FLOOR ?= 2.28
CMAKE_FLAGS ?=
export TOLM_BUILD_DIR := $(abspath $(BUILD))

.PHONY: all build test test-cpp test-sanitizers test-asan test-tsan test-python test-node \
        test-bindings-asan lint windows test-windows bench bench-core bench-python bench-node \
        bench-http bench-tail bootstrap format clean demo serve dist test-dist

all: build

bootstrap:
	bash scripts/bootstrap

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLM_WERROR=ON \
	      -DTOLM_GLIBC_FLOOR=$(GLIBC_FLOOR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)

test: bootstrap lint test-cpp test-sanitizers test-python test-node test-bindings-asan test-windows \
      test-dist

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure

test-sanitizers: test-asan test-tsan

test-asan:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLM_CORE_ONLY=ON \
	      -DTOLM_WERROR=ON -DTOLM_SANITIZE=address,undefined
	cmake --build build-asan --target tolm_core_tests
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	      ctest --test-dir build-asan --output-on-failure

test-tsan:
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLM_CORE_ONLY=ON \
	      -DTOLM_WERROR=ON -DTOLM_SANITIZE=thread
	cmake --build build-tsan --target tolm_core_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch $$(uname -m) -R \
	      ctest --test-dir build-tsan --output-on-failure

test-python: build
	@if [ -f tests/python/run.sh ]; then bash tests/python/run.sh; else echo "no Python suite yet"; fi

test-node: build
	@if [ -f tests/node/run.sh ]; then bash tests/node/run.sh; else echo "no Node suite yet"; fi

# The Python and Node suites against the library built with ASan+UBSan.
test-bindings-asan:
	cmake -S . -B build-asan-lib -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLM_WERROR=ON \
	      -DTOLM_SANITIZE=address,undefined
	cmake --build build-asan-lib --target tolm_native tolm_fake_clock
	TOLM_BUILD_DIR=$(abspath build-asan-lib) bash scripts/sanitized-bindings.sh

# Release artefacts in dist/: the abi3 wheel, the sdist and the npm tarball, the wheel and the
# tarball carrying the very library in build/ that the suites test (Release, C++ runtime linked
# in, linked for glibc $(GLIBC_FLOOR) and newer: scripts/dist/glibc_floor.py). A Windows DLL at
# build-windows/tolm_native.pyd, when present, adds the win_amd64 wheel and its prebuilt
# (docs/release.md).
dist: bootstrap build
	python3 scripts/dist/dist.py --build $(BUILD) --out dist --glibc-floor $(GLIBC_FLOOR)

# dist/ installed as a user would, with no compiler on the PATH: the wheel into a fresh venv of
# every CPython on the machine, the npm tarball into an empty project, a burst through each.
test-dist: dist
	bash tests/dist/run.sh dist $(BUILD)

# clang-format, clang-tidy (on the build's compile database), node --check and ruff.
lint: build
	bash scripts/lint.sh

# Windows x64, cross-built with clang and the mingw-w64 libraries: tolm_native.pyd (also as
# tolm_native.node) and the C++ core suite. test-windows runs them under Wine.
WINDOWS_BUILD ?= build-windows

windows:
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLM_WERROR=ON \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-windows-x64.cmake
	cmake --build $(WINDOWS_BUILD) -j2

test-windows: windows
	bash scripts/windows/test.sh $(WINDOWS_BUILD)

# Real HTTP servers on loopback, one Python and one Node, limiting through the built library.
demo: bootstrap build
	python3 demo/run.py

# One demo server kept up for curl: `make serve SERVER=node PORT=9000`.
SERVER ?= python
PORT ?= 8080
serve: build
	python3 demo/run.py --serve --server $(SERVER) --port $(PORT)

# Every benchmark in one run against the peer limiters: table, docs/bench-results.json and
# docs/bench-chart.png.
bench: bootstrap
	bash bench/run-all.sh

# Per-call latency percentiles (p50, p99, p99.9, max) of tolm and every peer with a million
# live clients: table, docs/bench-tail-results.json and docs/bench-tail.png (about 5 min;
# BENCH_QUICK=1 for a short run).
bench-tail: bootstrap
	bash bench/tail/run.sh

bench-core:
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLM_CORE_ONLY=ON \
	      -DTOLM_BUILD_TESTS=OFF -DTOLM_BUILD_BENCH=ON
	cmake --build build-bench --target tolm_core_bench tolm_memory_latency
	./build-bench/tolm_core_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	./build-bench/tolm_memory_latency

RELEASE_FLAGS := BUILD=build-release BUILD_TYPE=Release CMAKE_FLAGS=-DTOLM_BUILD_TESTS=OFF

bench-python:
	$(MAKE) build $(RELEASE_FLAGS)
	TOLM_BUILD_DIR=$(abspath build-release) bash bench/python/run.sh

bench-node:
	$(MAKE) build $(RELEASE_FLAGS)
	TOLM_BUILD_DIR=$(abspath build-release) bash bench/node/run.sh

# Real servers on loopback (Express, node:http, Flask under gunicorn, Starlette under uvicorn)
# with no limiter, tolm and the peer middleware, under autocannon: table,
# docs/bench-http-results.json and docs/bench-http.png. BENCH_HTTP_QUICK=1 for a short run.
bench-http: bootstrap
	bash bench/http/run.sh

format:
	clang-format-16 -i $$(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')

clean:
	rm -rf build build-asan build-asan-lib build-tsan build-bench build-release build-npm build-py \
	       build-node build-windows dist

# Linux arm64 (aarch64), cross-built with Debian's aarch64 GCC for the same glibc floor, with
# the C++ runtime linked in: tolm_native.abi3.so (also as tolm_native.node) and the C++ core
# suite. test-arm64 runs the core, Node and Python suites under qemu-aarch64 (docs/platforms.md).
# test-posix builds the core with the POSIX platform layer that macOS and other Unix systems
# use, and runs the core suite natively.
ARM64_BUILD ?= build-arm64
.PHONY: arm64 test-arm64 test-posix test-dist-arm64

arm64:
	cmake -S . -B $(ARM64_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLM_WERROR=ON \
	      -DTOLM_GLIBC_FLOOR=$(GLIBC_FLOOR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux.cmake
	nice -n 19 cmake --build $(ARM64_BUILD) -j2

test-arm64: arm64
	bash scripts/arm64/test.sh $(ARM64_BUILD)

test-posix:
	bash scripts/posix/test.sh build-posix

# The arm64 wheel and npm prebuilt of dist/ installed under qemu with no compiler on the PATH
# (make arm64 must come before make dist for dist/ to carry them).
test-dist-arm64: arm64 dist
	bash scripts/arm64/test-dist.sh dist $(ARM64_BUILD)
