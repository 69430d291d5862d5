"""A short tour of the orvex modules: real calls with their results, and how
long they take next to the pure-Python way of doing the same job.

Each module's part is examples/tour_<module>.py with a tour() function; the
tour shows every module of this build in turn, and names those it leaves
out."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "bench"))
sys.path.insert(0, here)

import benchlib

TOURS = ["parcel", "ordinex", "digestra", "cipherel", "addrix"]


def main():
    for name in TOURS:
        tour = benchlib.entry("tour_" + name, name)
        if tour:
            tour.tour()
    return 0


if __name__ == "__main__":
    sys.exit(main())
