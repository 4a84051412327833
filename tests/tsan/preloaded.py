#!/usr/bin/env python3
"""Runs a module or a script in this interpreter, into which a ThreadSanitizer
runtime was preloaded, after taking the preload away from the programs it
starts: they are instrumented programs with a runtime of their own, and two
runtimes in one process do not work.

    preloaded.py -m MODULE [ARGS...]
    preloaded.py SCRIPT [ARGS...]
"""
import os
import runpy
import sys


def main():
    if len(sys.argv) < 2 or sys.argv[1] == "-m" and len(sys.argv) < 3:
        sys.exit("usage: preloaded.py -m MODULE [ARGS...] | SCRIPT [ARGS...]")
    with open("/proc/self/maps", encoding="ascii", errors="replace") as maps:
        if "libtsan" not in maps.read():
            sys.exit("preloaded.py: no ThreadSanitizer runtime in this interpreter (LD_PRELOAD)")
    os.environ.pop("LD_PRELOAD", None)
    if sys.argv[1] == "-m":
        module = sys.argv[2]
        sys.argv = [module, *sys.argv[3:]]
        runpy.run_module(module, run_name="__main__", alter_sys=True)
    else:
        script = sys.argv[1]
        sys.argv = sys.argv[1:]
        sys.path[0] = os.path.dirname(os.path.abspath(script))
        runpy.run_path(script, run_name="__main__")


if __name__ == "__main__":
    main()
