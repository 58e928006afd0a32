#!/usr/bin/env bash
# Installs the Python module with pip into a fresh virtual environment, runs
# the Python tests against that installation and checks the committed type
# stub against the built module. scripts/test.sh calls this.
#   PYTHON=python3.11 scripts/python_tests.sh   # interpreter to build for
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
venv=$root/.venv-test
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}

"$root/scripts/python_prerequisites.sh" "$python"

rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "$root[test]"

# Run from outside the tree so that only the installed module can be imported.
cd "$root/tests/python"
"$venv/bin/python" -m pytest -v --rootdir "$root" -c "$root/pyproject.toml" .
MYPYPATH="$root/python" "$venv/bin/python" -m mypy.stubtest QuorvanDepthCamera \
    --allowlist "$root/python/stubtest_allowlist.txt"
