#!/usr/bin/env python3
"""Backs up every user's templates to files, or restores them.

Usage: backup_restore.py backup PORT DIR
       backup_restore.py restore PORT DIR
A backup writes DIR/user-N-K.bin for template K of user N; a restore enrolls
each user again from those files (the user must not exist on the module).
"""
import os
import re
import sys
from collections import defaultdict

import kelvor

NAME = re.compile(r"user-(\d+)-(\d+)\.bin$")


def backup(module, folder):
    os.makedirs(folder, exist_ok=True)
    for user_id in module.user_ids():
        for k, template in enumerate(module.read_templates(user_id)):
            path = os.path.join(folder, f"user-{user_id}-{k}.bin")
            # Written under a temporary name first: a file that exists is whole.
            with open(path + ".part", "wb") as f:
                f.write(template)
            os.replace(path + ".part", path)
        print(f"user {user_id}: backed up")


def restore(module, folder):
    users = defaultdict(dict)
    for name in os.listdir(folder):
        m = NAME.match(name)
        if m:
            with open(os.path.join(folder, name), "rb") as f:
                users[int(m.group(1))][int(m.group(2))] = f.read()
    for user_id in sorted(users):
        templates = [users[user_id][k] for k in sorted(users[user_id])]
        # One template at a time: the first creates the user, the others are added to it.
        for k, template in enumerate(templates):
            module.enroll_templates(user_id, template, option="check_id" if k == 0 else "add_new_template")
        print(f"user {user_id}: restored with {len(templates)} template(s)")


def main(argv):
    if len(argv) != 4 or argv[1] not in ("backup", "restore"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with kelvor.Module(argv[2]) as module:
        (backup if argv[1] == "backup" else restore)(module, argv[3])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
