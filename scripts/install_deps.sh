#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine, skipping
# whatever is already present. Safe to run again.
set -euo pipefail

apt_packages=(build-essential libgtest-dev libgmock-dev libbenchmark-dev
              g++-aarch64-linux-gnu qemu-user)
missing=()
for package in "${apt_packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

python3 -m pip --version >/dev/null 2>&1 || { echo "pip for python3 is required" >&2; exit 1; }
for tool in cmake ninja; do
    command -v "$tool" >/dev/null 2>&1 || python3 -m pip install -q "$tool"
done
