"""Timing helpers shared by the bench_*.py entries: best-of-N per-call times
of a native call and its baselines, measured in the same process, and the
interpreter's serialisers as baselines."""
import pickle
import sys
import timeit

try:
    import cPickle as fast_pickle
except ImportError:
    fast_pickle = pickle  # Python 3: pickle is the C one
# The pure-Python unpickler, which Python 3 keeps as pickle._loads.
python_loads = getattr(pickle, "_loads", pickle.loads)

REPEAT = 5

def per_call(func, number=None):
    """Best per-call time of func() in seconds (number picked for ~0.1 s)."""
    timer = timeit.Timer(func)
    if number is None:
        number = 1
        while timer.timeit(number) < 0.05:
            number *= 4
    return min(timer.repeat(REPEAT, number)) / number


def fmt(seconds):
    if seconds >= 1e-3:
        return "%8.2f ms" % (seconds * 1e3)
    if seconds >= 1e-6:
        return "%8.2f us" % (seconds * 1e6)
    return "%8.1f ns" % (seconds * 1e9)


def compare(label, ours, baselines, number=None):
    """Times `ours` and each (name, func) baseline and prints one line per
    baseline with the ratio baseline / ours (above 1: ours is faster).
    Returns {baseline name: ratio}."""
    t_ours = per_call(ours, number)
    sys.stdout.write("%-46s %s\n" % (label, fmt(t_ours)))
    ratios = {}
    for name, func in baselines:
        t = per_call(func, number)
        ratios[name] = t / t_ours
        sys.stdout.write("    vs %-39s %s   ratio %6.2fx\n" % (name, fmt(t), ratios[name]))
    return ratios


def heading(title):
    sys.stdout.write("\n== %s ==\n" % title)
