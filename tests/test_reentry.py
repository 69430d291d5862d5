"""Interpreter code that runs in the middle of a comparison or a hash: a user
__cmp__ or __setstate__, a weakref callback or __del__ fired by the collector
or a reference drop, another thread, a re-run module init. Whatever it calls,
every call, the interrupted one and the ones made meanwhile, gives the exact
answer."""
import gc
import os
import subprocess
import sys
import threading
import time
import unittest
import weakref

from orvex import digestra, ordinex, parcel
from orvex.parcel import pack
from helpers import CmpOrdered, py2_sorted, three_way


def sign(n):
    return (n > 0) - (n < 0)


def keys_less(a, b):
    return ordinex.sort_key(a) < ordinex.sort_key(b)


def case_keys_sorted(parcels):
    return sorted(parcels, key=ordinex.case_sort_key)


RECORDS = [pack(r) for r in [(b"bob", 1), (b"alice", 9), (b"Alice", 9), (b"alice", 7)]]

# Calls made from the interrupting code, with their answers in a calm state.
PROBES = [
    (ordinex.cmp, (pack((b"alice", 7)), pack((b"alice", 9))), -1),
    (ordinex.case_cmp, (pack((b"ABC", [1, 2])), pack((b"abc", [1, 2]))), 0),
    (ordinex.cmp, (pack(b"ABC"), pack(b"abc")), -1),
    (digestra.hash, (pack(b"abc"),), -1600925533),
    (digestra.case_hash, (pack((b"ABC", 1)),), digestra.hash(pack((b"abc", 1)))),
    (digestra.hash, (pack((1, 2)),), 219750523),
    (ordinex.sort, (RECORDS,), [RECORDS[i] for i in (2, 3, 1, 0)]),
    (ordinex.case_sort, (RECORDS,), [RECORDS[i] for i in (3, 1, 2, 0)]),
    (case_keys_sorted, (RECORDS,), [RECORDS[i] for i in (3, 1, 2, 0)]),
    # Equal first fields: the keys go to the comparer.
    (keys_less, (RECORDS[3], RECORDS[1]), True),
]

wrong = []  # what a probe answered wrongly, or raised
probe_runs = [0]


def answers(cases):
    """The (name, args, answer) of every case answered wrongly; an exception
    counts as an answer."""
    failures = []
    for func, args, expected in cases:
        try:
            got = func(*args)
        except Exception:
            got = sys.exc_info()[1]
        if got != expected:
            failures.append((func.__name__, args, got))
    return failures


def run_probes():
    probe_runs[0] += 1
    wrong.extend(answers(PROBES))


class Valued(CmpOrdered):
    """A dict value compared by its number; interrupt() runs in the middle
    of each comparison."""

    def __init__(self, n):
        self.n = n

    def interrupt(self):
        pass

    def __eq__(self, other):
        self.interrupt()
        return self.n == other.n

    def __ne__(self, other):
        return not self == other

    def __cmp__(self, other):
        self.interrupt()
        return three_way(self.n, other.n)


class Reentering(Valued):
    """A dict value whose comparison calls the modules."""

    def interrupt(self):
        run_probes()


class Restoring(Valued):
    """A dict value whose unpickling calls the modules."""

    def __getstate__(self):
        return self.n

    def __setstate__(self, n):
        run_probes()
        self.n = n


class Dying(bytes):
    """A parcel that calls the modules when the reader lets go of it."""

    def __del__(self):
        run_probes()


class Relay(object):
    """Hands the turn to another thread in the middle of a call: the
    interrupting code waits until that thread has made its calls, so every
    interruption really interleaves the two."""

    def __init__(self):
        self.turn = threading.Condition()
        self.pending = 0
        self.served = 0
        self.serving = False

    def interrupt(self):
        if not self.serving:
            return
        self.turn.acquire()
        try:
            self.pending += 1
            self.turn.notify_all()
            while self.pending and self.serving:
                self.turn.wait()
        finally:
            self.turn.release()

    def serve(self, calls):
        """In the other thread: runs calls() at every interruption until
        stop(); gives what they returned, flattened."""
        results = []
        self.turn.acquire()
        try:
            while self.serving:
                if not self.pending:
                    self.turn.wait()
                    continue
                results.extend(calls())
                self.served += 1
                self.pending = 0
                self.turn.notify_all()
        finally:
            self.turn.release()
        return results

    def stop(self):
        self.turn.acquire()
        self.serving = False
        self.turn.notify_all()
        self.turn.release()


relay = Relay()


def let_others_run():
    relay.interrupt()


class Slow(Valued):
    """A dict value whose comparison is Python code, and nothing more."""

    def interrupt(self):
        let_others_run()


class Lingering(bytes):
    """A parcel whose release runs Python code, and nothing more."""

    def __del__(self):
        let_others_run()


parcel.register(Reentering)
parcel.register(Restoring)
parcel.register(Slow)


def dict_pairs(cls):
    """Parcel pairs whose dicts hold `cls` values; after the dicts compare
    equal the comparison goes on in the same readers."""
    pairs = []
    for tail_a, tail_b in [(1, 2), (2, 1), (3, 3)]:
        a = ({1: cls(5), b"k": b"v"}, b"tail", tail_a)
        b = ({1: cls(5), b"k": b"v"}, b"tail", tail_b)
        pairs.append((pack(a), pack(b), sign(three_way(tail_a, tail_b))))
    return pairs


# Set by a dict value unpickled inside a module call, cleared when the call
# returns: a collection meanwhile interrupts that call.
in_call = [False]


def check_outer(test, pairs):
    for func in (ordinex.cmp, ordinex.case_cmp):
        for a, b, expected in pairs:
            got = func(a, b)
            in_call[0] = False
            test.assertEqual(got, expected, (func.__name__, a, b))


def sort_pairs(cls):
    """Lists of parcels whose dicts hold equal `cls` values, with their order:
    after the dicts compare equal the comparison goes on in the same readers."""
    parcels = [pack(({1: cls(5), b"k": b"v"}, b"tail", tail)) for tail in (3, 1, 2, 1)]
    ordered = [parcels[i] for i in (1, 3, 2, 0)]
    return [((parcels,), ordered), ((parcels, True), [parcels[i] for i in (0, 2, 1, 3)])]


def by_keys(parcels, reverse=False):
    return sorted(parcels, key=ordinex.sort_key, reverse=reverse)


def by_case_keys(parcels, reverse=False):
    return sorted(parcels, key=ordinex.case_sort_key, reverse=reverse)


SORTS = [ordinex.sort, ordinex.case_sort, by_keys, by_case_keys]
SORT_CMP = {ordinex.sort: ordinex.cmp, by_keys: ordinex.cmp, ordinex.case_sort: ordinex.case_cmp,
            by_case_keys: ordinex.case_cmp}


def check_sorts(test, cls):
    for func in SORTS:
        for args, expected in sort_pairs(cls):
            got = func(*args)
            in_call[0] = False
            test.assertEqual(got, expected, (func.__name__, args))


class Cycle(object):
    pass


mid_call_collections = [0]


def plant_garbage():
    """A cycle whose weakref callback calls the modules when a collection
    finds it."""

    def collected(ref):
        kept.remove(ref)
        mid_call_collections[0] += in_call[0]
        run_probes()

    garbage = Cycle()
    garbage.me = garbage
    kept.append(weakref.ref(garbage, collected))


kept = []  # the weakrefs, which must outlive their cycles for the callbacks to run


class Planting(Restoring):
    """A dict value that leaves garbage behind while it is unpickled, for the
    next allocation inside the module call to collect."""

    def __setstate__(self, n):
        in_call[0] = True
        plant_garbage()
        self.n = n


parcel.register(Planting)


def during_collections(test, check, rounds):
    """Runs check() `rounds` times with a collection at nearly every
    allocation; the collections must have interrupted module calls."""
    saved = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    try:
        mid_call_collections[0] = 0
        for _ in range(rounds):
            check()
    finally:
        gc.set_threshold(*saved)
        gc.collect()
    test.assertTrue(mid_call_collections[0] >= rounds, mid_call_collections[0])


class OneThread(unittest.TestCase):
    def setUp(self):
        del wrong[:]

    def tearDown(self):
        self.assertEqual(wrong, [])

    def test_dict_value_comparison_calls_back(self):
        check_outer(self, dict_pairs(Reentering))

    def test_unpickling_a_dict_value_calls_back(self):
        check_outer(self, dict_pairs(Restoring))

    def test_weakref_callbacks_during_collections(self):
        during_collections(self, lambda: check_outer(self, dict_pairs(Planting)), 20)

    def test_sorts_whose_dict_values_call_back(self):
        check_sorts(self, Reentering)
        check_sorts(self, Restoring)

    def test_weakref_callbacks_during_sorts(self):
        during_collections(self, lambda: check_sorts(self, Planting), 5)

    def test_the_previous_parcels_die_in_a_sort(self):
        # A sort rebinds the shared readers, which held the last compared
        # parcels; the first of them dies as the sort reads its parcels,
        # the second when two parcels tie on their first fields.
        for func in SORTS:
            ordinex.cmp(Dying(pack(1)), Dying(pack(2)))
            before = probe_runs[0]
            self.assertEqual(func(RECORDS), py2_sorted(RECORDS, SORT_CMP[func]))
            self.assertEqual(probe_runs[0] - before, 2, func.__name__)

    def test_the_previous_parcel_dies_in_the_next_call(self):
        # The reader holds the last parcel until the next call rebinds it, so
        # its __del__ runs at the start of that call.
        cases = [
            (digestra.hash, (b"s\x03abc",), -1600925533),
            (digestra.case_hash, (b"s\x03ABC",), -1600925533),
            (digestra.hash, (b"i\x03",), 3),
            (ordinex.cmp, (b"i\x03", b"i\x03"), 0),
            (ordinex.case_cmp, (b"s\x01a", b"s\x01B"), -1),
            (ordinex.cmp, (b"t\x02i\x01i\x02", b"t\x02i\x01i\x03"), -1),
        ]
        for func, args, expected in cases:
            func(*[Dying(p) for p in args])
            before = probe_runs[0]
            self.assertEqual(func(*args), expected, (func.__name__, args))
            self.assertEqual(probe_runs[0] - before, len(args))


def fast_switching():
    """Makes the interpreter switch threads every few bytecodes (on 3 every
    few microseconds); returns the function that restores the old setting."""
    if hasattr(sys, "setcheckinterval"):
        old = sys.getcheckinterval()
        sys.setcheckinterval(10)
        return lambda: sys.setcheckinterval(old)
    old = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    return lambda: sys.setswitchinterval(old)


# Python 3 switches by time: a few microseconds are some tens of bytecodes.
SWITCH_INTERVAL = 5e-6


class OtherThreads(unittest.TestCase):
    ROUNDS = 1000

    def race(self, busy, others):
        """Runs busy() ROUNDS times in this thread while another thread runs
        others() at every interruption, with threads switching every few
        bytecodes besides. Both give lists of wrong answers."""
        outcome = {}
        relay.serving = True
        relay.served = 0
        server = threading.Thread(target=lambda: outcome.update(others=relay.serve(others)))
        restore = fast_switching()
        server.start()
        try:
            failures = []
            for _ in range(self.ROUNDS):
                failures.extend(busy())
        finally:
            relay.stop()
            server.join()
            restore()
        self.assertEqual(len(failures), 0, failures[:3])
        self.assertEqual(len(outcome["others"]), 0, outcome["others"][:3])
        # Every round was interrupted, and the other thread made its calls.
        self.assertTrue(relay.served >= self.ROUNDS, relay.served)

    def test_comparisons_interrupted_by_a_python_eq(self):
        busy = [(f, (a, b), expected) for a, b, expected in dict_pairs(Slow)
                for f in (ordinex.cmp, ordinex.case_cmp)]
        others = [(ordinex.cmp, (pack((b"rec", n)), pack((b"rec", n + 1))), -1) for n in range(3)]
        others += [(ordinex.case_cmp, (pack((b"REC", n)), pack((b"rec", n))), 0) for n in range(3)]
        self.race(lambda: answers(busy), lambda: answers(others))

    def test_sorts_interrupted_by_a_python_eq(self):
        busy = [(f, args, expected) for args, expected in sort_pairs(Slow) for f in SORTS]
        others = [(ordinex.sort, (RECORDS,), [RECORDS[i] for i in (2, 3, 1, 0)]),
                  (case_keys_sorted, (RECORDS,), [RECORDS[i] for i in (3, 1, 2, 0)]),
                  (keys_less, (RECORDS[3], RECORDS[1]), True)]
        self.race(lambda: answers(busy), lambda: answers(others))

    def test_hashes_interrupted_by_a_releasing_parcel(self):
        busy = [(digestra.hash, (pack((b"busy", n)),), digestra.hash(pack((b"busy", n))))
                for n in range(3)]
        others = [(digestra.case_hash, (pack((b"REC", n, b"x" * n)),),
                   digestra.hash(pack((b"rec", n, b"x" * n)))) for n in range(3)]

        def interrupted():
            failures = []
            for func, args, expected in busy:
                # The Lingering parcel is released, running Python code, at
                # the start of the next call.
                func(Lingering(args[0]))
                failures.extend(answers([(func, args, expected)]))
            return failures

        self.race(interrupted, lambda: answers(others))


# In a child: a callback that runs the module's init again, by another
# spelling of its path, while a call is in progress.
RERUN_INIT = r"""
import os, sys
from orvex import digestra, ordinex, parcel
from orvex.parcel import pack
from helpers import CmpOrdered, three_way

try:
    from importlib.machinery import ExtensionFileLoader
    from importlib.util import module_from_spec, spec_from_file_location
except ImportError:
    import imp

    def load_dynamic(name, path):
        imp.load_dynamic(name, path)
else:
    def load_dynamic(name, path):
        loader = ExtensionFileLoader(name, path)
        module_from_spec(spec_from_file_location(name, path, loader=loader))

def rerun(module):
    path = os.path.join(os.path.dirname(module.__file__), ".", os.path.basename(module.__file__))
    load_dynamic(module.__name__, path)

class Reloading(CmpOrdered):
    def __init__(self, n):
        self.n = n
    def __eq__(self, other):
        rerun(ordinex)
        return self.n == other.n
    def __cmp__(self, other):
        rerun(ordinex)
        return three_way(self.n, other.n)
parcel.register(Reloading)

class Dying(bytes):
    def __del__(self):
        rerun(digestra)

answers = []
for tail in (1, 2, 3):
    a = pack(({1: Reloading(5)}, b"tail", 2))
    b = pack(({1: Reloading(5)}, b"tail", tail))
    answers.append(ordinex.cmp(a, b))
    answers.append(ordinex.case_cmp(a, b))
parcels = [pack(({1: Reloading(5)}, b"tail", tail)) for tail in (3, 1, 2)]
for func in (ordinex.sort, ordinex.case_sort):
    answers.append([parcel.unpack(p)[2] for p in func(parcels)])
answers.append([parcel.unpack(p)[2] for p in sorted(parcels, key=ordinex.sort_key)])
for p in (b"s\x03abc", b"t\x02i\x01i\x02"):
    digestra.hash(Dying(p))
    answers.append(digestra.hash(p))
    digestra.case_hash(Dying(p))
    answers.append(digestra.case_hash(p))
print(answers)
"""


class RerunInit(unittest.TestCase):
    def test_init_run_again_mid_call(self):
        child = subprocess.Popen([sys.executable, "-c", RERUN_INIT], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=os.environ)
        out, err = child.communicate()
        self.assertEqual(child.returncode, 0, err)
        expected = [1, 1, 0, 0, -1, -1] + [[1, 2, 3]] * 3 + [-1600925533] * 2 + [219750523] * 2
        self.assertEqual(out.decode("latin-1").strip(), repr(expected), err)


if __name__ == "__main__":
    unittest.main()
