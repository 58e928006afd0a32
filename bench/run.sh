#!/usr/bin/env bash
# Builds the benchmarks (Release, in their own build directory) and runs them:
# every optimised kernel, each instruction-set variant the processor runs
# forced in turn, beside its scalar reference and beside a memcpy moving as
# many bytes as the kernel reads and writes; then the whole C++ pipeline over
# the unpaced emulated kit, the Python per-frame cost, the depth filters
# and deprojection from Python beside NumPy, and the host clock of two
# drifting kits (bench/multicamera.py). Prints the processor, then per
# kernel and variant one line
#
#   kernel <name> <variant>: <r>x reference, <m>x memcpy
#
# (reference CPU time over the variant's; the variant's over the memcpy's;
# median of three repetitions), then the absolute figures and the rest.
#
#   bench/run.sh [--build-dir DIR] [--quick]
#
# --quick shortens every measurement (for smoke runs; figures are noisier).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${repo}/build-bench"
min_time=0.2
repetitions=3
pipeline_frames=5000
python_frames=3000
processing_repeat=200
replay_minutes=10
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build-dir) build_dir="$2"; shift 2 ;;
        --quick) min_time=0.05; repetitions=1; pipeline_frames=500; python_frames=300; processing_repeat=20; replay_minutes=2; shift ;;
        *) echo "usage: $0 [--build-dir DIR] [--quick]" >&2; exit 2 ;;
    esac
done

python="${PYTHON:-python3}"
generator=()
command -v ninja > /dev/null && generator=(-G Ninja)

echo "== building in ${build_dir}" >&2
mkdir -p "${build_dir}"
cmake -S "${repo}" -B "${build_dir}" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DQUORVAN_BUILD_BENCHMARKS=ON -DQUORVAN_BUILD_PYTHON=ON -DQUORVAN_BUILD_TESTS=OFF \
    -DQUORVAN_BUILD_EXAMPLES=OFF -DQUORVAN_INSTALL_NATIVE=OFF \
    -DPython_EXECUTABLE="$(command -v "${python}")" > "${build_dir}/configure.log" 2>&1 ||
    { cat "${build_dir}/configure.log" >&2; exit 1; }
cmake --build "${build_dir}" -j 2 --target quorvan_kernel_bench quorvan_pipeline_bench \
    quorvan_filter_bench QuorvanDepthCamera >&2

echo "== measuring (load average: $(cut -d ' ' -f 1-3 /proc/loadavg))" >&2
benchmark_options=(--benchmark_min_time="${min_time}" --benchmark_repetitions="${repetitions}"
    --benchmark_report_aggregates_only=true --benchmark_out_format=json)
kernel_json="${build_dir}/kernel_bench.json"
filter_json="${build_dir}/filter_bench.json"
"${build_dir}/bench/quorvan_kernel_bench" "${benchmark_options[@]}" \
    --benchmark_out="${kernel_json}" > /dev/null
"${build_dir}/bench/quorvan_filter_bench" "${benchmark_options[@]}" \
    --benchmark_out="${filter_json}" > /dev/null
pipeline_text="$("${build_dir}/bench/quorvan_pipeline_bench" --frames "${pipeline_frames}")"
python_text="$(PYTHONPATH="${build_dir}/python${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "${repo}/bench/python_frame_overhead.py" --frames "${python_frames}")"
processing_text="$(PYTHONPATH="${build_dir}/python${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "${repo}/bench/processing_bench.py" --repeat "${processing_repeat}")"
# Seeking to the middle of a 10-minute 240x180 recording (built in a
# temporary folder, about 6 GB; 2 minutes with --quick).
replay_text="$(PYTHONPATH="${build_dir}/python:${repo}/python${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "${repo}/bench/replay_seek.py" --minutes "${replay_minutes}")" ||
    replay_text="(replay_seek failed: it needs quorvan and its dependencies, mcap and mcap-ros2-support)"

"${python}" "${repo}/bench/summarise.py" "${kernel_json}" "${filter_json}"
echo
echo "${pipeline_text}"
echo "${python_text}"
echo "${replay_text}"
echo
echo "${processing_text}"
# ROS message encoding beside memcpy, and RVL beside zstd and zlib, on the
# kit's scenes (left out where zstd's development files are missing).
if cmake --build "${build_dir}" -j 2 --target quorvan_message_bench >&2; then
    message_json="${build_dir}/message_bench.json"
    "${build_dir}/bench/quorvan_message_bench" --benchmark_min_time="${min_time}" \
        --benchmark_repetitions="${repetitions}" --benchmark_report_aggregates_only=true \
        --benchmark_out="${message_json}" --benchmark_out_format=json > /dev/null
    echo
    "${python}" "${repo}/bench/message_bench_summary.py" "${message_json}"
    PYTHONPATH="${build_dir}/python:${repo}/python${PYTHONPATH:+:${PYTHONPATH}}" \
        "${python}" "${repo}/bench/message_bench_python.py" --repeat "${processing_repeat}" ||
        echo "(the Python encoding figures need quorvan's dependencies: pip install mcap-ros2-support)"
fi

# Two emulated kits whose clocks run 200 ppm apart, with 0-8 ms of delivery
# jitter: the host timestamps' error against the kits' truth, and how many
# frames group into frame sets (a minute; --quick: 15 s).
multicamera_seconds=60
if [[ "${min_time}" == 0.05 ]]; then multicamera_seconds=15; fi
echo
PYTHONPATH="${build_dir}/python:${repo}/python${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "${repo}/bench/multicamera.py" --seconds "${multicamera_seconds}"

# The emulated kit per shipped configuration (bench/kit_rate.cpp); --quick
# (min_time 0.05) measures each for half a second instead of two.
kit_seconds=2
if [[ "${min_time}" == 0.05 ]]; then kit_seconds=0.5; fi
cmake --build "${build_dir}" -j 2 --target quorvan_kit_rate >&2
echo
"${build_dir}/bench/quorvan_kit_rate" --seconds "${kit_seconds}"

# The live bus between processes (what the tests no longer bound): frames per
# second received and sequence numbers missing, the 640x480 kit at its
# configured rate to two subscribers and the 240x180 kit unpaced to one.
# Needs the live extras (eclipse-zenoh).
live_seconds=8
if [[ "${min_time}" == 0.05 ]]; then live_seconds=2; fi
echo
PYTHONPATH="${build_dir}/python:${repo}/python${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "${repo}/bench/live_rate.py" --seconds "${live_seconds}" ||
    echo "(the live figures need the live extras: pip install eclipse-zenoh)"

# The recorder against the kit: the 640x480 sensor in double-frequency mode at
# 30 fps, raw and the depth computed from it, for 60 s (frames delivered,
# written and dropped, MB/s, CPU), and the 240x180 kit unpaced, raw only
# (frames written per second). --quick records 5 s and 1 s.
record_seconds=60
record_unpaced_seconds=5
if [[ "${min_time}" == 0.05 ]]; then record_seconds=5; record_unpaced_seconds=1; fi
echo
PYTHONPATH="${build_dir}/python:${repo}/python${PYTHONPATH:+:${PYTHONPATH}}" \
    "${python}" "${repo}/bench/record_rate.py" --seconds "${record_seconds}" \
    --unpaced-seconds "${record_unpaced_seconds}" --compression none
