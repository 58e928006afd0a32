"""Command lines given bad arguments or a busy port say so in one line, without a traceback."""

import contextlib
import os
import signal
import socket
import subprocess
import sys

import pytest

from conftest import REPO_ROOT

pytest.importorskip("foxglove")


def run(*args, timeout=60):
    process = subprocess.Popen([sys.executable, *args], cwd=REPO_ROOT, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        _, errors = process.communicate(timeout=timeout)
        return process.returncode, errors
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.communicate()


def error_lines(errors):
    """stderr without argparse's usage lines."""
    return [line for line in errors.splitlines() if line.strip() and not line.startswith(
        ("usage:", " "))]


@pytest.mark.parametrize("command", [
    ["-m", "quorvan.viewer", "--port", "99999"],
    ["-m", "quorvan.viewer", "--port", "-1"],
    ["-m", "quorvan.viewer", "--port", "eighty"],
    ["-m", "quorvan.foxglove_live", "--port", "99999"],
    ["examples/python/replay.py", "recording.mcap", "--loop", "0"],
    ["examples/python/replay.py", "recording.mcap", "--loop", "twice"],
])
def test_bad_arguments_give_one_error_line(command):
    code, errors = run(*command)
    assert code == 2 and "Traceback" not in errors
    assert len(error_lines(errors)) == 1, errors


@pytest.mark.parametrize("module", ["quorvan.viewer", "quorvan.foxglove_live"])
def test_a_busy_port_gives_one_error_line(module):
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        code, errors = run("-m", module, "--port", str(holder.getsockname()[1]))
    assert code == 1 and "Traceback" not in errors
    lines = error_lines(errors)
    assert len(lines) == 1 and lines[0].startswith("error: cannot serve"), errors
