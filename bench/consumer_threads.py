"""Frames per consumer thread when several Python threads share one camera:
each thread loops requestFrame(100) / getDepthData / releaseFrame on the
emulated kit delivering frames as fast as they are taken.

    python3 bench/consumer_threads.py [--seconds S] [--threads 1,2,3,4]

Prints, per thread count, the total frames per second and the frames each
thread received; a thread that received none is starved. QuorvanDepthCamera
must be importable (installed, or on PYTHONPATH).
"""

import argparse
import os
import tempfile
import threading
import time

import QuorvanDepthCamera as qdc

KIT_CONFIG = "frame_rate = unpaced\nnoise = off\n"
TIMEOUT_MS = 100


def measure(config_path, thread_count, seconds):
    camera = qdc.QuorvanCamera()
    if camera.openWithFile(config_path, 0) != qdc.TOFErrorCode.QuorvanSuccess:
        raise SystemExit("cannot open the emulated kit")
    camera.start(qdc.TOFOutput.DEPTH)
    counts = [0] * thread_count
    stop = threading.Event()

    def consume(slot):
        while not stop.is_set():
            frame = camera.requestFrame(TIMEOUT_MS)
            if frame is None:
                continue
            frame.getDepthData()
            camera.releaseFrame(frame)
            counts[slot] += 1

    threads = [threading.Thread(target=consume, args=(i,), daemon=True)
               for i in range(thread_count)]
    begin = time.perf_counter()
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join(timeout=10)
    elapsed = time.perf_counter() - begin
    camera.stop()
    camera.close()
    return counts, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--threads", default="1,2,3,4")
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        config_path = os.path.join(directory, "unpaced.cfg")
        with open(config_path, "w") as config:
            config.write(KIT_CONFIG)
        print(f"{'threads':>7} {'total fps':>10}  frames per thread")
        for count in (int(n) for n in arguments.threads.split(",")):
            counts, elapsed = measure(config_path, count, arguments.seconds)
            print(f"{count:>7} {sum(counts) / elapsed:>10.1f}  {counts}")


if __name__ == "__main__":
    main()
