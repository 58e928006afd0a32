#!/usr/bin/env bash
# Sets up and runs every test: the C++ tests (plain, under AddressSanitizer +
# UndefinedBehaviorSanitizer, and the threaded ones under ThreadSanitizer),
# the whole C++ suite cross-built for aarch64 under qemu-user, the real-kernel
# checks in a VM, the Python tests in a fresh virtual environment, and the
# aarch64 wheel's Python tests under qemu-user. Build trees go to ./build-test-*.
#
# Every section runs, even after another failed; each prints its wall time as
# it ends, and a table of all sections closes the run. The exit status is 0
# only when every section passed. Every C and C++ compile goes through ccache
# (cache under ~/.cache/ccache unless CCACHE_DIR says otherwise), so a rerun
# on the same machine rebuilds little.
#
# With CI=true a section that cannot run (a package that cannot be installed,
# a browser that is missing) fails instead of skipping.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
export JOBS=$jobs

# shellcheck source=scripts/sections.sh
source "$root/scripts/sections.sh"

run_section "Dependencies" "$root/scripts/install_deps.sh"
# CMake takes these launchers from the environment for every build below,
# pip's included; install_deps.sh has installed ccache.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_DIR=${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}
# Objects of one source file compiled in two trees are the same object.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true

configure_and_build() {  # <dir> <extra cmake args...>
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -G Ninja -DQUORVAN_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

# Every ctest call refuses to pass when its selection holds no test (a lost
# label would otherwise pass with nothing run).
run_ctest() { ctest --no-tests=error -j"$jobs" --output-on-failure "$@"; }

cpp_tests() {
    # This tree also builds the benchmarks (that they compile; bench/run.sh
    # runs them) and the statically linked program the real-kernel VM boots.
    configure_and_build build-test-release -DCMAKE_BUILD_TYPE=Release -DQUORVAN_BUILD_BENCHMARKS=ON \
        -DQUORVAN_BUILD_REALKERNEL_TESTS=ON
    run_ctest --test-dir build-test-release
}

asan_tests() {
    # The exhaustive kernel check is not built here: the release tree and the
    # aarch64 suite run it, and instrumented it would take many minutes.
    configure_and_build build-test-asan -DCMAKE_BUILD_TYPE=Debug -DQUORVAN_SANITIZE=address,undefined \
        -DQUORVAN_BUILD_EXAMPLES=OFF -DQUORVAN_TEST_EXCLUDE_LABEL=exhaustive
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_ctest --test-dir build-test-asan -LE exhaustive
}

tsan_tests() {
    # Only the threaded tests are built: they are all that runs here.
    configure_and_build build-test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVAN_SANITIZE=thread \
        -DQUORVAN_BUILD_EXAMPLES=OFF -DQUORVAN_TEST_ONLY_LABEL=threaded
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        run_ctest --test-dir build-test-tsan -L threaded
}

python_tests() {
    bash "$root/scripts/viewer_test_prerequisites.sh"
    bash "$root/scripts/python_tests.sh"
}

run_section "Formatting" bash "$root/scripts/check_format.sh"
run_section "C++ tests" cpp_tests
run_section "Installed SDK" bash "$root/scripts/check_install.sh" build-test-release
run_section "C++ under ASan+UBSan" asan_tests
run_section "Threaded C++ under TSan" tsan_tests
run_section "aarch64 C++ suite (qemu-user)" bash "$root/tests/aarch64/run.sh"
run_section "Real kernel drivers (qemu VM)" \
    env REALKERNEL_BUILD_DIR="$root/build-test-release" bash "$root/tests/realkernel/run.sh"
run_section "Python tests" python_tests
run_section "aarch64 wheel (qemu-user)" bash "$root/tests/aarch64/python_wheel.sh"

print_section_table
