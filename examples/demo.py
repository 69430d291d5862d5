"""A short tour of the orvex modules: real calls with their results, and how
long they take next to the pure-Python way of doing the same job.

Each module's part is examples/tour_<module>.py with a tour() function; the
tour shows every module in turn."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "bench"))
sys.path.insert(0, here)

TOURS = ["parcel", "ordinex", "digestra", "cipherel", "addrix"]


def main():
    for name in TOURS:
        __import__("tour_" + name).tour()
    return 0


if __name__ == "__main__":
    sys.exit(main())
