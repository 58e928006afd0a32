#!/usr/bin/env bash
# Cross-builds the whole C++ tree (library, stand-ins, tests, examples) for
# aarch64, then under qemu-user: a program built against the installed SDK,
# and the whole CTest suite (the exhaustive kernel check over the whole
# difference domain and the NEON line copies against their reference among
# it), whose summary ends the output. The benchmarks are built and run
# natively (bench/run.sh; bench/instruction_counts.sh builds its own driver). Runs on a fresh Debian 12
# machine as root: installs the cross compiler, qemu-user and the arm64
# GoogleTest and Google Benchmark packages (Debian multiarch) when missing.
#
#   tests/aarch64/run.sh [--build-dir DIR]
#
# Release build: unoptimised code is several times slower under emulation.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build_dir="${repo}/build-aarch64"
jobs=${JOBS:-2}
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build-dir) build_dir="$2"; shift 2 ;;
        *) echo "usage: $0 [--build-dir DIR]" >&2; exit 2 ;;
    esac
done

"$repo/scripts/apt_install.sh" g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64 \
    libgtest-dev:arm64 libgmock-dev:arm64 libbenchmark-dev:arm64

# Nothing but the run-time-selected kernels may be x86-only.
python3 "$repo/tests/aarch64/check_x86_branches.py" "$repo"

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
start=$(date +%s)
cmake -S "$repo" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQUORVAN_BUILD_TESTS=ON "${launcher[@]}" >/dev/null
# gtest_discover_tests lists each test program through qemu while building.
cmake --build "$build_dir" -j"$jobs"
echo "aarch64: built in $(( $(date +%s) - start )) s"

# The installed SDK: cmake --install of this build, and a program built
# against the install alone (find_package) and run under qemu-aarch64, which
# runs nothing but aarch64 code.
echo "aarch64: a program built against the installed SDK alone"
CONSUMER_RUNNER="${QUORVAN_AARCH64_QEMU:-qemu-aarch64} -L /" "$repo/scripts/check_install.sh" \
    "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/aarch64-linux-gnu.cmake"
echo "aarch64: built and checked in $(( $(date +%s) - start )) s; the suite follows"

# The whole suite, threaded tests included. Code runs ten to fifty times
# slower under emulation (float arithmetic in software); the tests' frame
# deadlines stretch with the emulator's speed they measure, and tenfold more
# for the rest of the code the measurement does not time; they stay sanity
# bounds. The one test of
# the real I2C requests skips itself where qemu-user does not translate them.
QUORVAN_TEST_TIME_SCALE=10 ctest --test-dir "$build_dir" -j"$jobs" --timeout 600 --output-on-failure \
    --no-tests=error
