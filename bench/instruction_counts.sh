#!/usr/bin/env bash
# Executed instructions per 240x180 frame of the depth kernel, the raw
# unpack, the depth filters and the deprojection, and per sub-frame of the
# 12-bit packed unpack, for every instruction-set variant, on aarch64 and
# x86-64, counted under qemu-user (one instruction per translation block,
# every executed block logged). Each routine runs once and
# three times; half the difference is its cost per frame, so start-up and
# input generation cancel out. Emulated run times mean nothing; the counts
# are exact for the compiled code (bench/README.md turns them into an
# estimate for ARM boards).
#
#   bench/instruction_counts.sh [--aarch64-build DIR] [--x86-build DIR]
#
# The build directories need the target quorvan_instruction_count_driver
# (benchmarks on); missing ones are configured and that one target built:
# aarch64 with the cross toolchain (tests/aarch64/run.sh's directory by
# default), x86-64 natively (bench/run.sh's). The x86-64 program runs on
# qemu's "max" processor, which has AVX2 but not AVX-512.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
aarch64_build="$repo/build-aarch64"
x86_build="$repo/build-bench"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --aarch64-build) aarch64_build="$2"; shift 2 ;;
        --x86-build) x86_build="$2"; shift 2 ;;
        *) echo "usage: $0 [--aarch64-build DIR] [--x86-build DIR]" >&2; exit 2 ;;
    esac
done
driver=bench/quorvan_instruction_count_driver

build_driver() {  # <dir> <extra cmake args...>
    local dir=$1; shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DQUORVAN_BUILD_BENCHMARKS=ON -DQUORVAN_BUILD_PYTHON=OFF "$@" >/dev/null
    fi
    cmake --build "$dir" --target quorvan_instruction_count_driver -j"${JOBS:-2}" >/dev/null
}
build_driver "$aarch64_build" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/aarch64-linux-gnu.cmake"
build_driver "$x86_build"

run_aarch64() { qemu-aarch64 -L / "$@"; }
run_x86() { qemu-x86_64 -cpu max "$@"; }

executed() {  # <runner> <program> <routine> <variant> <frames>
    local runner=$1; shift
    "$runner" -singlestep -d nochain,exec -D /dev/stdout "$@" 2>/dev/null | grep -c '^Trace'
}

per_frame() {  # <runner> <program> <routine> <variant>
    local once thrice
    once=$(executed "$1" "$2" "$3" "$4" 1)
    thrice=$(executed "$1" "$2" "$3" "$4" 3)
    echo $(((thrice - once) / 2))
}

printf '%-8s %-13s %-9s %14s %10s\n' target routine variant "per frame" "per pixel"
for target in aarch64 x86_64; do
    if [ "$target" = aarch64 ]; then
        runner=run_aarch64 program="$aarch64_build/$driver"
    else
        runner=run_x86 program="$x86_build/$driver"
    fi
    while read -r routine variant; do
        count=$(per_frame "$runner" "$program" "$routine" "$variant")
        awk -v t="$target" -v r="$routine" -v v="$variant" -v c="$count" \
            'BEGIN { printf "%-8s %-13s %-9s %14d %10.1f\n", t, r, v, c, c / 43200 }'
    done < <("$runner" "$program" list)
done
