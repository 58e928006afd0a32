#!/usr/bin/env bash
# Makes sure <python> can create virtual environments and build extension
# modules (a compiler and the Python headers); installs what is missing with
# apt-get. cmake and ninja come from PyPI during the build when absent.
set -euo pipefail
python=${1:-python3}

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++ make)
if ! "$python" -c 'import ensurepip, venv' >/dev/null 2>&1; then
    missing+=(python3-venv)
fi
if ! "$python" -c 'import os, sysconfig; raise SystemExit(not os.path.exists(
        os.path.join(sysconfig.get_paths()["include"], "Python.h")))' >/dev/null 2>&1; then
    missing+=(python3-dev)
fi
if ((${#missing[@]})); then
    "$(dirname "$0")/apt_install.sh" "${missing[@]}"
fi
