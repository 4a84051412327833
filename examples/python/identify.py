#!/usr/bin/env python3
"""Identifies the finger on the sensor and prints the user it belongs to.

Usage: identify.py PORT [BAUD]
Exit status 0 when the finger is known, 1 when it is not, 3 when the module
cannot be reached.
"""
import sys

import kelvor


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    baud = int(argv[2]) if len(argv) > 2 else 115200
    try:
        with kelvor.Module(argv[1], baud) as module:
            found = module.identify()
    except kelvor.NotFound:
        print("unknown finger")
        return 1
    except kelvor.LinkError as e:
        print(f"no module: {e}", file=sys.stderr)
        return 3
    print(f"user {found.user_id} (score {found.score})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
