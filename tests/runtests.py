"""Runs one unittest file: python runtests.py [--refleaks] path/to/test_x.py

With --refleaks (a debug interpreter) the suite runs several times and fails
when sys.gettotalrefcount() keeps growing from one run to the next.
"""
from __future__ import print_function

import gc
import os
import sys
import unittest

WARMUP_RUNS = 3
COUNTED_RUNS = 4


def load_module(path):
    """Imports the suite by its file name from its directory: one way for
    2.6 through 3.x, and classes of the suite pickle by that module name."""
    directory, filename = os.path.split(os.path.abspath(path))
    sys.path.insert(0, directory)
    return __import__(os.path.splitext(filename)[0])


def run_once(module, verbosity):
    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=verbosity).run(suite)
    return result.wasSuccessful()


def total_refs():
    gc.collect()
    return sys.gettotalrefcount()


def check_refleaks(module):
    # Warm-up runs fill the interpreter's own caches first.
    for _ in range(WARMUP_RUNS):
        if not run_once(module, 0):
            return False
    # Preallocated so that recording a delta adds no reference of its own.
    deltas = [0] * COUNTED_RUNS
    before = total_refs()
    for i in range(COUNTED_RUNS):
        if not run_once(module, 0):
            return False
        after = total_refs()
        deltas[i] = after - before
        before = after
    print("refcount deltas over %d runs: %s" % (COUNTED_RUNS, deltas))
    if all(d > 0 for d in deltas):
        print("LEAK: the total reference count grows on every run")
        return False
    return True


def main(argv):
    refleaks = "--refleaks" in argv
    paths = [a for a in argv if not a.startswith("--")]
    if len(paths) != 1:
        sys.stderr.write(__doc__)
        return 2
    if refleaks and not hasattr(sys, "gettotalrefcount"):
        sys.stderr.write("--refleaks needs a debug interpreter\n")
        return 2
    module = load_module(paths[0])
    ok = run_once(module, 2)
    if ok and refleaks:
        ok = check_refleaks(module)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
