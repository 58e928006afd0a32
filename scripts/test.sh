#!/usr/bin/env bash
# Sets up and runs every test: the C++ tests (plain, under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the threaded ones under ThreadSanitizer),
# the whole C++ suite cross-built for aarch64 under qemu-user, the real-kernel
# checks in a VM, the Python tests in a fresh virtual environment, and the
# aarch64 wheel's Python tests under qemu-user. Build trees go to ./build-test-*.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

"$root/scripts/install_deps.sh"

configure_and_build() {  # <dir> <extra cmake args...>
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -G Ninja -DQUORVAN_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

section() { printf '\n=== %s ===\n' "$*"; }

section "Formatting"
"$root/scripts/check_format.sh"

section "C++ tests"
configure_and_build build-test-release -DCMAKE_BUILD_TYPE=Release -DQUORVAN_BUILD_BENCHMARKS=ON
ctest --test-dir build-test-release -j"$jobs" --output-on-failure

section "A program built against the installed SDK alone"
"$root/scripts/check_install.sh" build-test-release

section "C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build-test-asan -DCMAKE_BUILD_TYPE=Debug -DQUORVAN_SANITIZE=address,undefined \
    -DQUORVAN_BUILD_EXAMPLES=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-test-asan -j"$jobs" --output-on-failure -LE exhaustive

section "Threaded C++ tests under ThreadSanitizer"
configure_and_build build-test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVAN_SANITIZE=thread \
    -DQUORVAN_BUILD_EXAMPLES=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-test-tsan -j"$jobs" --output-on-failure -L threaded

section "The whole C++ tree on aarch64 (cross-built, installed SDK, whole suite under qemu-user)"
"$root/tests/aarch64/run.sh"

section "CSI backend and I2C helpers against real kernel drivers (vivid, i2c-stub) in a qemu VM"
"$root/tests/realkernel/run.sh"

if [ -x "$root/scripts/python_tests.sh" ]; then
    section "Python tests"
    "$root/scripts/viewer_test_prerequisites.sh"
    "$root/scripts/python_tests.sh"
fi

section "The Python module as an aarch64 wheel, tested in an arm64 Python under qemu-user"
"$root/tests/aarch64/python_wheel.sh"
