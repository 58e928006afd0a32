#!/usr/bin/env bash
# Installs a headless Chromium for the viewer test (tests/python/test_viewer.py)
# when none is present. scripts/test.sh calls this before the Python tests.
set -euo pipefail
if command -v chromium-headless-shell >/dev/null 2>&1 || command -v chromium >/dev/null 2>&1; then
    exit 0
fi
"$(dirname "$0")/apt_install.sh" chromium-headless-shell
