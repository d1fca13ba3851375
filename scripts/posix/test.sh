#!/usr/bin/env bash
# make test-posix: the core built with the POSIX platform layer (src/runtime/platform_posix.cpp,
# the one macOS and other Unix systems get: getentropy, condition-variable address waits)
# forced on Linux, and the C++ core suite run against it with a time limit, since a lost wake
# in the address waits shows as a hang. Then the same with clang and libc++, the C++ library of
# macOS, warnings as errors (<build>-libcxx), the library built too.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-posix}
limit=${TOLM_POSIX_TIME_LIMIT:-600}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLM_CORE_ONLY=ON \
    -DTOLM_WERROR=ON -DTOLM_PLATFORM=posix >/dev/null
nice -n 19 cmake --build "$build" -j2 --target tolm_core_tests
if ! grep -q 'TOLM_PLATFORM_POSIX' "$build/compile_commands.json"; then
    echo "posix: the build does not use the POSIX platform layer" >&2
    exit 1
fi
# The suite prints the failure reports its fatal-failure tests provoke; only the summary
# matters here, and the whole output when it fails.
if timeout "$limit" "$build/tolm_core_tests" --gtest_brief=1 >"$build/core.log" 2>&1; then
    tail -n 1 "$build/core.log"
    echo "posix: the C++ core suite passed on the POSIX platform layer"
else
    cat "$build/core.log" >&2
    echo "posix: FAILED: the C++ core suite on the POSIX platform layer (or its ${limit} s limit)" >&2
    exit 1
fi

# libc++ differs from libstdc++ in what its headers bring in, in which C++20 parts it has and
# in how it sizes strings; a Mac build meets the difference first. The library and the core
# suite built with clang and libc++ on the POSIX side, GoogleTest with them from source.
start=$SECONDS
cmake -S "$root" -B "$build-libcxx" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLM_WERROR=ON \
    -DTOLM_PLATFORM=posix -DTOLM_HOSTS_OPTIONAL=ON -DTOLM_BUILD_TESTS=ON -DTOLM_GTEST_FROM_SOURCE=ON \
    -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++ >/dev/null
if ! nice -n 19 cmake --build "$build-libcxx" -j2 --target tolm_native tolm_core_tests \
    >"$build-libcxx/build.log" 2>&1; then
    cat "$build-libcxx/build.log" >&2
    echo "posix: FAILED: the library or the core suite does not build with clang and libc++" >&2
    exit 1
fi
if timeout "$limit" "$build-libcxx/tolm_core_tests" --gtest_brief=1 >"$build-libcxx/core.log" 2>&1; then
    tail -n 1 "$build-libcxx/core.log"
    echo "posix: the core suite passed with clang and libc++ ($((SECONDS - start)) s with the build)"
else
    cat "$build-libcxx/core.log" >&2
    echo "posix: FAILED: the C++ core suite with clang and libc++ (or its ${limit} s limit)" >&2
    exit 1
fi
echo "posix: 2 passed, 0 failed"
