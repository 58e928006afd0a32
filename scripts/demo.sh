#!/usr/bin/env bash
# From a fresh clone to depth pictures: creates a virtual environment in
# .venv, installs the module with its live extras (bus, Foxglove server,
# viewer) in one build and streams a few seconds from the emulated USB
# evaluation kit. Extra arguments go to the example, e.g.
#   scripts/demo.sh --seconds 5 --range 2000
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
venv=$root/.venv
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}

"$root/scripts/python_prerequisites.sh" "$python"

if [ ! -x "$venv/bin/python" ]; then
    echo "Creating the virtual environment $venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
# The build requirements go into the venv and the module builds without
# isolation in a build tree that stays (build-demo): a second run compiles
# only what changed and takes seconds instead of minutes.
# tomllib is in the standard library from Python 3.11 on; tomli before.
"$venv/bin/python" -c 'import tomllib' 2>/dev/null \
    || "$venv/bin/python" -m pip install -q "tomli>=1.1,<3"
mapfile -t build_requires < <("$venv/bin/python" -c '
import sys
try:
    import tomllib
except ImportError:
    import tomli as tomllib
with open(sys.argv[1], "rb") as pyproject:
    print("\n".join(tomllib.load(pyproject)["build-system"]["requires"]))' "$root/pyproject.toml")
"$venv/bin/python" -m pip install -q "${build_requires[@]}" "cmake>=3.18,<5" "ninja>=1.10,<2"
echo "Building and installing QuorvanDepthCamera with its live extras (a few minutes the first time)"
# -v shows the compiler's progress; pip would otherwise be silent for minutes.
"$venv/bin/python" -m pip install -v --no-build-isolation -Cbuild-dir="$root/build-demo" \
    "$root[live]"

output=$root/examples/output
"$venv/bin/python" "$root/examples/python/stream_depth.py" --output "$output" "$@"
echo
echo "Pictures are in $output: depth.png (near blue, far red, scale in mm) and amplitude.png"
echo "Live in a browser: $venv/bin/quorvan-viewer  (then open http://127.0.0.1:8080/)"
echo "Attached cameras: $venv/bin/quorvan-list"
