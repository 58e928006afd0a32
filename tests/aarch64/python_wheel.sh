#!/usr/bin/env bash
# Builds an aarch64 wheel of the Python module with the cross compiler, installs
# it into Debian's arm64 CPython 3.11 and runs the Python tests there under
# qemu-user. Runs on a fresh Debian 12 machine as root: installs the cross
# compiler, qemu-user and the arm64 Python headers (Debian multiarch) when
# missing. Work files go to build-aarch64-wheel/ (override with --work-dir).
#
#   tests/aarch64/python_wheel.sh [--work-dir DIR]
#
# The arm64 interpreter is Debian's python3.11-minimal:arm64, unpacked into
# the work directory rather than installed: installed, it would replace the
# host's python3. Its standard library comes from libpython3.11-stdlib:arm64,
# which multiarch installs beside the host's.
#
# Tests run under emulation: everything but the browser viewer (needs an x86
# Chromium), the Zenoh and Foxglove transports (network timing under
# emulation) and the multi-second stress runs. The list is below.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="${repo}/build-aarch64-wheel"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --work-dir) work="$2"; shift 2 ;;
        *) echo "usage: $0 [--work-dir DIR]" >&2; exit 2 ;;
    esac
done
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}
# The module's ABI is CPython 3.11 on both sides: Debian 12's arm64 Python is
# 3.11, so the host builds with a 3.11 interpreter too.
host_python=${PYTHON:-python3.11}
target_soabi=cpython-311-aarch64-linux-gnu
python_tests=(test_module_api.py test_frames.py test_iteration_and_with.py test_processing.py
    test_misuse.py test_robustness.py test_stub.py test_messages.py test_record.py
    test_replay.py)

"$repo/scripts/apt_install.sh" g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64 \
    libpython3.11-dev:arm64

start=$(date +%s)
mkdir -p "$work"
interpreter_root="$work/interpreter"
if [ ! -x "$interpreter_root/usr/bin/python3.11" ]; then
    rm -rf "$work/debs" && mkdir -p "$work/debs"
    (cd "$work/debs" && apt-get download -qq python3.11-minimal:arm64 2>/dev/null)
    dpkg -x "$work"/debs/python3.11-minimal_*_arm64.deb "$interpreter_root"
fi
# The interpreter is reached through this launcher, and names the launcher
# as sys.executable (qemu's -0), so tests that start Python subprocesses
# start the arm64 one under qemu as well.
launcher="$work/python3-aarch64"
cat >"$launcher" <<EOF
#!/bin/sh
exec env PYTHONHOME=/usr PYTHONNOUSERSITE=1 PYTHONPATH="$work/site" \\
    qemu-aarch64 -L / -0 "$launcher" "$interpreter_root/usr/bin/python3.11" "\$@"
EOF
chmod +x "$launcher"
"$launcher" -c 'import platform, sys; assert platform.machine() == "aarch64"; print("aarch64 wheel: target", sys.version.split()[0], platform.machine())'

# Build environment on the host: the build backend, pybind11, CMake and Ninja
# run natively; only the compiler and the headers are the target's.
venv="$work/build-venv"
if [ ! -x "$venv/bin/python" ]; then
    "$host_python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
fi
# What an isolated build would install (pyproject.toml's build requirements),
# so that this wheel is built like the native one, plus CMake and Ninja.
mapfile -t build_requires < <("$venv/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as pyproject:
    print("\n".join(tomllib.load(pyproject)["build-system"]["requires"]))' "$repo/pyproject.toml")
"$venv/bin/python" -m pip install -q --upgrade "${build_requires[@]}" "cmake>=3.18,<5" "ninja>=1.10,<2"
rm -rf "$work/dist"
# _PYTHON_HOST_PLATFORM names the wheel's platform; the toolchain file, the
# target's file name suffix (pybind11 would ask the host interpreter) and
# Debian's header directory (its pyconfig.h picks the target's by compiler)
# make the extension an aarch64 one for CPython 3.11.
_PYTHON_HOST_PLATFORM=linux-aarch64 "$venv/bin/python" -m pip wheel -q --no-deps \
    --no-build-isolation -w "$work/dist" "$repo" \
    -Cbuild-dir="$work/build" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -Ccmake.define.PYTHON_MODULE_EXTENSION=".$target_soabi.so" \
    -Ccmake.define.Python_INCLUDE_DIR=/usr/include/python3.11
wheel=$(ls "$work"/dist/*.whl)
echo "aarch64 wheel: built $(basename "$wheel") in $(($(date +%s) - start)) s"
case "$wheel" in
    *-cp311-cp311-linux_aarch64.whl) ;;
    *) echo "aarch64 wheel: unexpected wheel tag: $wheel" >&2; exit 1 ;;
esac
# The extension inside: named for CPython 3.11 on aarch64, and an aarch64
# ELF object (e_machine 183).
"$venv/bin/python" - "$wheel" "QuorvanDepthCamera.$target_soabi.so" <<'EOF_CHECK'
import struct, sys, zipfile
wheel, expected = sys.argv[1], sys.argv[2]
names = [n for n in zipfile.ZipFile(wheel).namelist() if n.startswith("QuorvanDepthCamera.") and n.endswith(".so")]
if names != [expected]:
    sys.exit(f"aarch64 wheel: module {names}, expected {expected}")
header = zipfile.ZipFile(wheel).read(expected)[:20]
if header[:4] != b"\x7fELF" or struct.unpack_from("<H", header, 18)[0] != 183:
    sys.exit(f"aarch64 wheel: {expected} is not an aarch64 ELF object")
print(f"aarch64 wheel: {expected} is an aarch64 ELF object")
EOF_CHECK

# The wheel and its dependencies, as pip would install them on an arm64
# machine: binary wheels for aarch64 fetched by the host's pip; and rosbags,
# with which the recorder's test reads back the recorded QoS profiles.
rm -rf "$work/site"
"$venv/bin/python" -m pip install -q --target "$work/site" --only-binary=:all: \
    --implementation cp --python-version 3.11 --abi cp311 \
    --platform manylinux2014_aarch64 --platform linux_aarch64 \
    "$wheel" "pytest>=7,<9" "rosbags>=0.10,<1"

cd "$repo/tests/python"
"$launcher" -m pytest -q -p no:cacheprovider --rootdir "$repo" -c "$repo/pyproject.toml" \
    -m "not stress" "${python_tests[@]}"
echo "aarch64 wheel: finished in $(($(date +%s) - start)) s"
