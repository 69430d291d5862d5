"""Runs every bench/bench_*.py entry (each has a run() function), or only
those named on the command line: run_bench.py [ordinex digestra ...]."""
import glob
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)



def main(names):
    for path in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
        name = os.path.basename(path)[len("bench_"):-len(".py")]
        if names and name not in names:
            continue
        __import__("bench_" + name).run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
