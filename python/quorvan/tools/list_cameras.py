"""quorvan-list: the cameras attached to this machine, one line each.

USB kits come from the kit library's own listing, each with its index (what
``open`` takes), serial number and sensor size; a kit that is unplugged is
marked so. CSI cameras follow, found through the host's media graph or
capture-node names, each with its /dev/videoN number as index and its sensor
size (a serial only where the media device reports one). ``--kit-config``
lists the kits a configuration describes instead of the built-in set.
``--configs`` lists the kit configurations ``--config`` of the other tools
accepts by name.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterator
from dataclasses import dataclass

import QuorvanDepthCamera as qdc

from ..kit_configs import config_directory, shipped_configs

__all__ = ["AttachedCamera", "attached_cameras", "main"]


@dataclass(frozen=True)
class AttachedCamera:
    connect: str
    index: int
    device_type: str
    width: int
    height: int
    serial: str | None
    attached: bool = True

    def describe(self) -> str:
        serial = f"  serial {self.serial}" if self.serial else ""
        away = "  (unplugged)" if not self.attached else ""
        return (
            f"{self.connect} {self.index}: {self.device_type}, {self.width}x{self.height}"
            f"{serial}{away}"
        )


def _device_type(width: int, height: int) -> str:
    # The camera picks its processing device by the same rule.
    return "HQVGA" if (width, height) == (240, 180) else "VGA"


def attached_cameras(kit_config: str | None = None) -> Iterator[AttachedCamera]:
    """The kits the library lists, by index, then the CSI cameras."""
    for found in qdc.QuorvanCamera.listCameras(kit_config):
        yield AttachedCamera(
            found.connect.name,
            int(found.index),
            _device_type(int(found.width), int(found.height)),
            int(found.width),
            int(found.height),
            found.serial or None,
            bool(found.attached),
        )


def _print_lines(lines: Iterator[str]) -> bool:
    """Prints each line; False when the reader went away (``| head``)."""
    try:
        for line in lines:
            print(line, flush=True)
    except BrokenPipeError:
        # Nothing more can be written, and the interpreter would complain
        # again while flushing at exit: point stdout at nothing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return False
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument(
        "--configs", action="store_true", help="list the shipped kit configurations instead"
    )
    parser.add_argument(
        "--kit-config", default=None, help="a configuration describing several kits"
    )
    args = parser.parse_args(argv)
    if args.configs:
        names = shipped_configs()
        if not names:
            print("error: this installation ships no kit configurations", file=sys.stderr)
            return 1
        header = [f"kit configurations in {config_directory()}:"]
        _print_lines(iter(header + [f"  {name}" for name in names]))
        return 0
    cameras = list(attached_cameras(args.kit_config))
    if not cameras:
        print("no camera found", file=sys.stderr)
        return 1
    _print_lines(camera.describe() for camera in cameras)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
