#!/usr/bin/env bash
# Cross-builds the 240x180 kernels and the CSI line copy routines with their
# exactness checks for aarch64 and runs the checks under qemu-user. Needs the
# Debian packages g++-aarch64-linux-gnu and qemu-user; installs nothing.
#
#   tests/kernels/cross_aarch64.sh [--ci | --row-stride N] [--build-dir DIR]
#
# --row-stride N checks every Nth row of the difference domain; 1 (the
# default) is the whole domain, about a minute of CPU under emulation.
# --ci is --row-stride 8 (every raw value is still checked).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build_dir="${repo}/build-cross-aarch64"
row_stride=1
while [[ $# -gt 0 ]]; do
    case "$1" in
        --row-stride) row_stride="$2"; shift 2 ;;
        --ci) row_stride=8; shift ;;
        --build-dir) build_dir="$2"; shift 2 ;;
        *) echo "usage: $0 [--ci | --row-stride N] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done

compiler="${QUORVAN_AARCH64_CXX:-aarch64-linux-gnu-g++}"
emulator="${QUORVAN_AARCH64_EMULATOR:-qemu-aarch64}"
sysroot="${QUORVAN_AARCH64_SYSROOT:-/usr/aarch64-linux-gnu}"
for tool in "${compiler}" "${emulator}"; do
    if ! command -v "${tool}" > /dev/null; then
        echo "cross_aarch64: ${tool} not found (apt-get install g++-aarch64-linux-gnu qemu-user)" >&2
        exit 1
    fi
done

# The same language level and floating-point options as the library build;
# no -march, so the baseline (NEON) code is what gets checked.
flags=(-std=c++17 -O2 -Wall -Wextra -Wpedantic -fno-math-errno -ffp-contract=off
       -I"${repo}/include" -I"${repo}/src" -I"${repo}/bench" -I"${repo}/tests")
sources=(
    "${repo}/src/device/hqvga_kernels.cpp"
    "${repo}/src/system/instruction_sets.cpp"
    "${repo}/src/device/hqvga_kernels_portable.cpp"
    "${repo}/src/device/hqvga_kernels_avx2_x86.cpp"
    "${repo}/src/device/hqvga_kernels_avx512_x86.cpp"
    "${repo}/bench/reference/hqvga_reference.cpp"
    "${repo}/tests/kernels/depth_domain.cpp"
    "${repo}/tests/kernels/cross_check_main.cpp"
)

mkdir -p "${build_dir}"
binary="${build_dir}/kernel_exactness_check"
echo "cross_aarch64: building with $(${compiler} --version | head -n 1)"
"${compiler}" "${flags[@]}" "${sources[@]}" -o "${binary}"

# The CSI line copy routines, whose 12-bit unpack has a NEON variant here.
line_copy_sources=(
    "${repo}/src/csi/line_copy.cpp"
    "${repo}/src/csi/packed12_groups.cpp"
    "${repo}/src/system/instruction_sets.cpp"
    "${repo}/src/csi/packed12_groups_x86.cpp"
    "${repo}/bench/reference/line_copy_reference.cpp"
    "${repo}/tests/kernels/line_copy_comparison.cpp"
    "${repo}/tests/kernels/line_copy_cross_check.cpp"
)
line_copy_binary="${build_dir}/line_copy_check"
"${compiler}" "${flags[@]}" "${line_copy_sources[@]}" -o "${line_copy_binary}"

echo "cross_aarch64: running under ${emulator}, row stride ${row_stride}"
start=$(date +%s)
status=0
"${emulator}" -L "${sysroot}" "${binary}" --row-stride "${row_stride}" || status=$?
"${emulator}" -L "${sysroot}" "${line_copy_binary}" || status=$?
echo "cross_aarch64: finished in $(( $(date +%s) - start )) s with status ${status}"
exit "${status}"
