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
# The build requirements go into the venv and the module builds without
# isolation in a build tree that stays (build-test-python): a rerun compiles
# only what changed, and ccache serves the rest.
mapfile -t build_requires < <("$venv/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as pyproject:
    print("\n".join(tomllib.load(pyproject)["build-system"]["requires"]))' "$root/pyproject.toml")
"$venv/bin/python" -m pip install -q "${build_requires[@]}" "cmake>=3.18,<5" "ninja>=1.10,<2"
"$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir="$root/build-test-python" \
    "$root[test]"

# Run from outside the tree so that only the installed module can be imported.
cd "$root/tests/python"
# pytest exits 5 when it collected nothing; like any other failure, that ends
# this script with an error.
"$venv/bin/python" -m pytest -v --rootdir "$root" -c "$root/pyproject.toml" .
MYPYPATH="$root/python" "$venv/bin/python" -m mypy.stubtest QuorvanDepthCamera \
    --allowlist "$root/python/stubtest_allowlist.txt"
# The pure-Python package: strict types and the lint and format rules of
# pyproject.toml; each exits non-zero on a finding, which fails this script.
MYPYPATH="$root/python" "$venv/bin/python" -m mypy --strict "$root/python/quorvan"
"$venv/bin/ruff" check "$root/python/quorvan"
"$venv/bin/ruff" format --check "$root/python/quorvan"
