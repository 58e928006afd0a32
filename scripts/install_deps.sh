#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine, skipping
# whatever is already present. Safe to run again.
set -euo pipefail

"$(dirname "$0")/apt_install.sh" build-essential libgtest-dev libgmock-dev libbenchmark-dev \
    libzstd-dev zlib1g-dev \
    g++-aarch64-linux-gnu qemu-user ccache iproute2

python3 -m pip --version >/dev/null 2>&1 || { echo "pip for python3 is required" >&2; exit 1; }
for tool in cmake ninja; do
    command -v "$tool" >/dev/null 2>&1 || python3 -m pip install -q "$tool"
done
