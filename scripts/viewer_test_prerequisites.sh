#!/usr/bin/env bash
# Installs a headless Chromium for the viewer test (tests/python/test_viewer.py)
# when none is present. scripts/test.sh calls this before the Python tests.
set -euo pipefail
if command -v chromium-headless-shell >/dev/null 2>&1 || command -v chromium >/dev/null 2>&1; then
    exit 0
fi
echo "Installing chromium-headless-shell for the viewer test"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    chromium-headless-shell >/dev/null
