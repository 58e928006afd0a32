"""Records a camera into an MCAP file with ROS 2 messages (see README, Recording).

    python examples/python/record.py --frames 300 --output session.mcap
    python examples/python/record.py --config noise_free \
        --output raw.mcap --output-type raw --seconds 10

The recorder is the installed tool quorvan-record (quorvan.tools.record); this
script runs it from a clone, with the same options.
"""

import sys

from quorvan.tools.record import main

if __name__ == "__main__":
    sys.exit(main())
