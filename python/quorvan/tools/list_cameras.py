"""quorvan-list: the cameras attached to this machine, one line each.

Every USB and CSI index from 0 to 7 is opened and closed again; a camera
that opens is listed with its connection, index, device type, sensor size
and, where its information carries one, its serial number. ``--configs``
lists the kit configurations ``--config`` of the other tools accepts by name.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from dataclasses import dataclass

import QuorvanDepthCamera as qdc

from ..kit_configs import config_directory, shipped_configs

__all__ = ["AttachedCamera", "attached_cameras", "main"]

# Indexes tried per connection: more than any host this runs on attaches.
MAX_INDEX = 8


@dataclass(frozen=True)
class AttachedCamera:
    connect: str
    index: int
    device_type: str
    width: int
    height: int
    serial: str | None

    def describe(self) -> str:
        serial = f"  serial {self.serial}" if self.serial else ""
        return (
            f"{self.connect} {self.index}: {self.device_type}, {self.width}x{self.height}{serial}"
        )


def _probe(connect: qdc.TOFConnect, index: int) -> AttachedCamera | None:
    camera = qdc.QuorvanCamera()
    if camera.open(connect, index) != qdc.TOFErrorCode.QuorvanSuccess:
        return None
    try:
        info = camera.getCameraInfo()
        # The module's camera information has no serial number today; a
        # build whose information carries one gets it listed.
        serial = getattr(info, "serial", None)
        return AttachedCamera(
            connect.name,
            index,
            info.device_type.name,
            int(info.width),
            int(info.height),
            str(serial) if serial else None,
        )
    finally:
        camera.close()


def attached_cameras(max_index: int = MAX_INDEX) -> Iterator[AttachedCamera]:
    """The cameras that open, USB first, each closed again before the next is tried."""
    for connect in (qdc.TOFConnect.USB, qdc.TOFConnect.CSI):
        for index in range(max_index):
            found = _probe(connect, index)
            if found is not None:
                yield found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument(
        "--configs", action="store_true", help="list the shipped kit configurations instead"
    )
    args = parser.parse_args(argv)
    if args.configs:
        names = shipped_configs()
        if not names:
            print("error: this installation ships no kit configurations", file=sys.stderr)
            return 1
        print(f"kit configurations in {config_directory()}:")
        for name in names:
            print(f"  {name}")
        return 0
    found = 0
    for camera in attached_cameras():
        print(camera.describe(), flush=True)
        found += 1
    if not found:
        print("no camera found", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
