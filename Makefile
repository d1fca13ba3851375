# Front door of the project. `make demo` builds the library alone and runs the live demo;
# `make test-quick` runs the common loop (build, C++ core, Python and Node suites); `make test`
# builds everything and runs every suite. Each first runs scripts/bootstrap for what it needs
# (a quick no-op when nothing is missing), and both test targets end with one summary table
# and one "N passed, N failed, N skipped" line (scripts/run-suites.py). docs/testing.md says
# what each suite costs.
BUILD ?= build
# Release with the glibc floor: build/ holds the very library that `make dist` ships, so the
# suites test the shipped file.
BUILD_TYPE ?= Release
GLIBC_FLOOR ?= 2.28
CMAKE_FLAGS ?=
export TOLM_BUILD_DIR := $(abspath $(BUILD))
# The project's virtual environment (scripts/bootstrap.d/venv.sh): the Python of the suites,
# lint and dist, never the system's.
VENV ?= .venv
VENV_PYTHON := $(abspath $(VENV))/bin/python
# The demo's own build: the library alone, no test suites, so a first `make demo` compiles only
# what it runs.
DEMO_BUILD ?= build-demo
# The suites of each test target, in the order they run.
QUICK_SUITES := build cpp python node
ALL_SUITES := build lint cpp asan tsan python node bindings-asan windows posix arm64 dist dist-arm64
SUITE_LOGS ?= build-logs

.PHONY: all build test test-quick test-cpp test-sanitizers test-asan test-tsan test-python \
        test-node test-bindings-asan lint windows test-windows bench bench-core bench-python \
        bench-node bench-http bench-tail bench-redis bootstrap bootstrap-demo bootstrap-quick bootstrap-test \
        bootstrap-bench format clean demo demo-build serve dist test-dist

all: build

# Everything any target needs; the targets below install only their own share.
bootstrap:
	bash scripts/bootstrap

bootstrap-demo bootstrap-quick bootstrap-test bootstrap-bench:
	bash scripts/bootstrap --for $(@:bootstrap-%=%)

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLM_WERROR=ON \
	      -DTOLM_GLIBC_FLOOR=$(GLIBC_FLOOR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)

# Every suite, each run whatever the others did, then the summary (exit status non-zero when
# any failed). Each suite alone: make test-<suite>.
test: bootstrap-test
	@MAKE="$(MAKE)" python3 scripts/run-suites.py --logs $(SUITE_LOGS) $(ALL_SUITES)

# The common loop: no lint, sanitizers, Windows or install tests (the Python suite's build of
# the sdist from source, which compiles the library once more, is one of them).
test-quick: bootstrap-quick
	@TOLM_SKIP_PIP_INSTALL=$${TOLM_SKIP_PIP_INSTALL:-1} MAKE="$(MAKE)" \
	    python3 scripts/run-suites.py --logs $(SUITE_LOGS) $(QUICK_SUITES)

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error

test-sanitizers: test-asan test-tsan

test-asan:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLM_CORE_ONLY=ON \
	      -DTOLM_WERROR=ON -DTOLM_SANITIZE=address,undefined
	cmake --build build-asan --target tolm_core_tests
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	      ctest --test-dir build-asan --output-on-failure --no-tests=error

test-tsan:
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLM_CORE_ONLY=ON \
	      -DTOLM_WERROR=ON -DTOLM_SANITIZE=thread
	cmake --build build-tsan --target tolm_core_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch $$(uname -m) -R \
	      ctest --test-dir build-tsan --output-on-failure --no-tests=error

test-python: build
	PYTHON=$(VENV_PYTHON) bash tests/python/run.sh

test-node: build
	bash tests/node/run.sh

# The Python and Node suites against the library built with ASan+UBSan.
test-bindings-asan:
	cmake -S . -B build-asan-lib -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLM_WERROR=ON \
	      -DTOLM_SANITIZE=address,undefined
	cmake --build build-asan-lib --target tolm_native tolm_fake_clock
	TOLM_BUILD_DIR=$(abspath build-asan-lib) PYTHON=$(VENV_PYTHON) bash scripts/sanitized-bindings.sh

# Release artefacts in dist/: the abi3 wheel, the sdist and the npm tarball, the wheel and the
# tarball carrying the very library in build/ that the suites test (Release, C++ runtime linked
# in, linked for glibc $(GLIBC_FLOOR) and newer: scripts/dist/glibc_floor.py). A Windows DLL at
# build-windows/tolm_native.pyd, when present, adds the win_amd64 wheel and its prebuilt
# (docs/release.md).
dist: bootstrap-test build arm64
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV_PYTHON) scripts/dist/dist.py --build $(BUILD) --out dist --glibc-floor $(GLIBC_FLOOR)

# dist/ installed as a user would, with no compiler on the PATH: the wheel into a fresh venv of
# every CPython on the machine, the npm tarball into an empty project, a burst through each.
test-dist: dist
	bash tests/dist/run.sh dist $(BUILD)

# clang-format, clang-tidy (on the build's compile database), node --check and ruff.
lint: build
	PYTHON=$(VENV_PYTHON) bash scripts/lint.sh

# Windows x64, cross-built with clang and the mingw-w64 libraries: tolm_native.pyd (also as
# tolm_native.node) and the C++ core suite. test-windows runs them under Wine.
WINDOWS_BUILD ?= build-windows

windows:
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLM_WERROR=ON \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-windows-x64.cmake
	cmake --build $(WINDOWS_BUILD) -j2

test-windows: windows
	bash scripts/windows/test.sh $(WINDOWS_BUILD)

# Real HTTP servers on loopback, one Python and one Node, limiting through the library built
# alone in $(DEMO_BUILD) (no test suites, no glibc floor: the demo ships nothing).
demo: bootstrap-demo demo-build
	TOLM_BUILD_DIR=$(abspath $(DEMO_BUILD)) python3 demo/run.py

demo-build:
	cmake -S . -B $(DEMO_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTOLM_WERROR=ON \
	      -DTOLM_BUILD_TESTS=OFF
	cmake --build $(DEMO_BUILD) --target tolm_native

# One demo server kept up for curl: `make serve SERVER=node PORT=9000`.
SERVER ?= python
PORT ?= 8080
serve: bootstrap-demo demo-build
	TOLM_BUILD_DIR=$(abspath $(DEMO_BUILD)) python3 demo/run.py --serve --server $(SERVER) \
	      --port $(PORT)

# Every benchmark in one run against the peer limiters: table, docs/bench-results.json and
# docs/bench-chart.png.
bench: bootstrap-bench
	bash bench/run-all.sh

# Per-call latency percentiles (p50, p99, p99.9, max) of tolm and every peer with a million
# live clients: table, docs/bench-tail-results.json and docs/bench-tail.png (about 5 min;
# BENCH_QUICK=1 for a short run).
bench-tail: bootstrap-bench
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

# The Redis store per check against a local redis-server, beside the peers' Redis stores
# (limits, rate-limiter-flexible, express-rate-limit): exact and lease mode, admitted and
# refused, Python and Node, one key and 10k keys, round trips per check and the goal ratios.
bench-redis: bootstrap-bench
	$(MAKE) build $(RELEASE_FLAGS)
	TOLM_BUILD_DIR=$(abspath build-release) bench/.venv/bin/python bench/redis/run.py

bench-node:
	$(MAKE) build $(RELEASE_FLAGS)
	TOLM_BUILD_DIR=$(abspath build-release) bash bench/node/run.sh

# Real servers on loopback (Express, node:http, Flask under gunicorn, Starlette under uvicorn)
# with no limiter, tolm and the peer middleware, under autocannon: table,
# docs/bench-http-results.json and docs/bench-http.png. BENCH_HTTP_QUICK=1 for a short run.
bench-http: bootstrap-bench
	bash bench/http/run.sh

format:
	clang-format-16 -i $$(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')

clean:
	rm -rf build build-asan build-asan-lib build-tsan build-bench build-release build-npm build-py \
	       build-node build-windows build-demo build-logs dist build-arm64 build-arm64-host build-posix \
	       build-posix-libcxx

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
