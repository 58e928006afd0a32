#!/usr/bin/env bash
# From a fresh clone to depth pictures: creates a virtual environment in
# .venv, installs the module with pip and streams a few seconds from the
# emulated USB evaluation kit. Extra arguments go to the example, e.g.
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
echo "Building and installing QuorvanDepthCamera (takes a few minutes the first time)"
"$venv/bin/python" -m pip install -q "$root"

output=$root/examples/output
"$venv/bin/python" "$root/examples/python/stream_depth.py" --output "$output" "$@"
echo
echo "Pictures are in $output: depth.png (near blue, far red) and amplitude.png"
echo "Live in a browser: $venv/bin/pip install -q \"$root[live]\" && $venv/bin/python -m quorvan.viewer  (then open http://127.0.0.1:8080/)"
