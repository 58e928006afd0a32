#!/usr/bin/env bash
# Installs a built tree into a fresh prefix and builds and runs a consumer
# program against that prefix alone (find_package(QuorvanDepthCamera)).
#   scripts/check_install.sh <build-dir> [cmake-argument ...]
# Further arguments configure the consumer (a cross build passes the same
# toolchain file as the tree); CONSUMER_RUNNER, if set, runs the program
# (for example "qemu-aarch64 -L /").
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:?usage: check_install.sh <build-dir> [cmake-argument ...]}
shift
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
read -r -a runner <<<"${CONSUMER_RUNNER:-}"

cmake --install "$build" --prefix "$prefix/usr" >/dev/null
cmake -S "$root/tests/installed_sdk/consumer" -B "$prefix/consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix/usr" "$@" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
LD_LIBRARY_PATH="$prefix/usr/lib:${LD_LIBRARY_PATH:-}" "${runner[@]}" "$prefix/consumer/consumer"
