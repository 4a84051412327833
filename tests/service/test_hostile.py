#!/usr/bin/env python3
"""kelvord as an attacker on this machine or its network would try it: one
module hostile_<topic>.py a finding, each holding its table of attacks run
against the real service, each asserting the bound the service keeps while it
runs (a local client's version answered in time, the memory it may grow by,
a job stopped, a user refused).

Usage: test_hostile.py --bin DIR --schema-dir DIR [unittest options]
"""
import argparse
import glob
import importlib
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import rig  # noqa: E402


def load_rows():
    """Every test class of every hostile_*.py, into this module's namespace."""
    found = 0
    for path in sorted(glob.glob(os.path.join(HERE, "hostile_*.py"))):
        module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
        for name, obj in vars(module).items():
            if isinstance(obj, type) and issubclass(obj, unittest.TestCase) and obj is not unittest.TestCase:
                globals()[name] = obj
                found += 1
    if not found:
        raise SystemExit("no hostile-client tests found beside " + __file__)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--schema-dir", required=True)
    args, rest = parser.parse_known_args()
    rig.setup(args.bin, args.schema_dir)
    load_rows()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
