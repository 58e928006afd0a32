"""Replays an MCAP recording (see README, Replay) through the camera's own depth
code and writes the last frame as depth and amplitude pictures.

    python examples/python/record.py --config noise_free \
        --output raw.mcap --output-type raw --frames 60
    python examples/python/replay.py raw.mcap --output examples/output
    python examples/python/replay.py raw.mcap --fast --loop 3

The player is the installed tool quorvan-replay (quorvan.tools.replay); this
script runs it from a clone, with the same options.
"""

import sys

from quorvan.tools.replay import main

if __name__ == "__main__":
    sys.exit(main())
