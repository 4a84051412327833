#!/usr/bin/env python3
"""An enrollment station: for each user ID given, enrolls the finger on the
sensor, reads the template back and verifies the finger against it.

Usage: enroll_station.py PORT USER_ID [USER_ID ...]
A user whose finger does not verify is deleted again, so that the module
holds only users that work; the exit status is the number of such users.
"""
import sys

import kelvor


def enroll_one(module, user_id):
    """Enrolls, reads back and verifies one user; True when all three succeed."""
    try:
        module.enroll(user_id)
        templates = module.read_templates(user_id)
        score = module.verify(user_id)
    except kelvor.ModuleError as e:
        print(f"user {user_id}: {e.name}: {e}")
        try:
            module.delete(user_id)
        except kelvor.NotFound:
            pass
        return False
    sizes = ", ".join(str(len(t)) for t in templates)
    print(f"user {user_id}: enrolled, {len(templates)} template(s) of {sizes} bytes, verified with score {score}")
    return True


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with kelvor.Module(argv[1]) as module:
        failed = sum(not enroll_one(module, int(user_id, 0)) for user_id in argv[2:])
        print(f"module holds {len(module.user_ids())} user(s)")
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv))
