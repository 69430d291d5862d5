"""orvex.ordinex sorting: sort/case_sort and the keys of sort_key/case_sort_key
against sorted(cmp=ordinex.cmp): the same order, the same stability, the same
comparisons and the same errors, with the input left as it was.

The native sorts follow Python 2's sort on every version: on 3 they are held
to a model of it (py2sort, checked against 2's builtin on 2). The keys go
through the running interpreter's sorted(), so they are held to that
interpreter's sort with the comparer."""
import bisect
import gc
import heapq
import random
import struct
import sys
import traceback
import unittest
import weakref

from orvex import ordinex, parcel
from orvex.parcel import pack
from helpers import (PY3, CmpOrdered, assert_type_errors, byte, py2_sorted, skip,
                     sorted_with_cmp, three_way)
from test_ordinex import Opaque, Touchy, random_value
import py2sort

# (cmp function, native sort, key function) for each case flag.
FLAVOURS = [(ordinex.cmp, ordinex.sort, ordinex.sort_key),
            (ordinex.case_cmp, ordinex.case_sort, ordinex.case_sort_key)]
KEY_TYPES = {ordinex.sort_key: "orvex.ordinex.SortKey",
             ordinex.case_sort_key: "orvex.ordinex.CaseSortKey"}


def be32(n):
    return struct.pack(">i", n)


def tb_names(tb):
    return [entry[2].split(" (")[0] for entry in traceback.extract_tb(tb)]


def outcome(func):
    """func()'s list as the identities of its items (which tells equal items
    apart), or the class of the exception it raised."""
    try:
        return [id(p) for p in func()]
    except Exception:
        return sys.exc_info()[0]


def three_ways(parcels, flavour, reverse):
    """(expected, got) outcomes: the native sort's against Python 2's
    sorted(cmp=...), sorted(key=...)'s against the interpreter's sort with
    the comparer. On 2 both expectations are sorted(cmp=...)."""
    compare, native, key = flavour
    return [(outcome(lambda: py2_sorted(parcels, compare, reverse)),
             outcome(lambda: native(parcels, reverse=reverse))),
            (outcome(lambda: sorted_with_cmp(parcels, compare, reverse)),
             outcome(lambda: sorted(parcels, key=key, reverse=reverse)))]


def equal_forms(rng, value):
    """An encoding of value other than pack's, where the format has one."""
    p = pack(value)
    code = p[:1]
    if code == b"s" and rng.random() < 0.5:
        return b"S" + be32(ord(p[1:2])) + p[2:]
    if code == b"i" and rng.random() < 0.5:
        return b"l" + be32(ord(p[1:2]))
    if code == b"t" and rng.random() < 0.5:
        return b"T" + be32(ord(p[1:2])) + p[2:]
    if p == b")" and rng.random() < 0.5:
        return b"t\x00"
    return p


# Strs that differ early, late (past 16 bytes), in case only, in their end
# (against NUL bytes) and in bytes above 127.
NAMES = [b"", b"a", b"A", b"ab", b"aB", b"Ab", b"b", b"bob", b"Bob", b"alice@example.com",
         b"alice@example.org", b"ALICE@EXAMPLE.COM", b"alice@example.com.", b"\xff",
         b"a\x00b", b"\x00", b"a\x00", b"a\x00\x00", b"abcdefg\x00", b"abcdefgh\x00",
         b"abcdefgh", b"0123456789abcdef", b"0123456789abcdefX", b"0123456789ABCDEFx",
         b"0123456789abcdeF"]


def random_parcel(rng):
    """Records and the rest: mixed kinds, duplicates, nested tuples and lists,
    dicts, NaN, user objects, long and float meeting."""
    kind = rng.random()
    if kind < 0.35:
        record = (rng.choice(NAMES), rng.randint(-3, 3))
        value = record if rng.random() < 0.8 else list(record)
    elif kind < 0.5:
        value = rng.choice(NAMES + [0, 1, -1, 2 ** 40, True, 1.0, (), [], (b"a",), [b"A"]])
    elif kind < 0.55:
        value = rng.choice([float("nan"), (float("nan"), 1), Opaque(), (b"a", Opaque())])
    elif kind < 0.6:
        value = rng.choice([2 ** 53 + 1, float(2 ** 53), 2 ** 53])
    else:
        value = random_value(rng, rng.random() < 0.5)
    return equal_forms(rng, value)


class Order(unittest.TestCase):
    def test_random_lists_agree_three_ways(self):
        rng = random.Random(20240612)
        for trial in range(300):
            parcels = [random_parcel(rng) for _ in range(rng.choice([0, 1, 2, 5, 40, 150]))]
            # Duplicates: the same parcel object, and equal bytes in another object.
            for _ in range(len(parcels) // 5):
                parcels.append(rng.choice(parcels))
                parcels.append(rng.choice(parcels)[:] + b"")
            rng.shuffle(parcels)
            for flavour in FLAVOURS:
                for reverse in (False, True):
                    for expected, got in three_ways(parcels, flavour, reverse):
                        self.assertEqual(got, expected, (trial, flavour[0].__name__, reverse))

    def test_equal_parcels_of_different_forms_keep_their_order(self):
        groups = [
            [b"s\x03abc", b"S" + be32(3) + b"abc"],
            [b"i\x05", b"I\x00\x05", b"l" + be32(5), b"L\x01\x05", b"f" + struct.pack(">d", 5.0)],
            [b"1", b"i\x01", b"f" + struct.pack(">d", 1.0)],
            [b")", b"t\x00", b"T" + be32(0)],
            [b"t\x01s\x01a", b"T" + be32(1) + b"S" + be32(1) + b"a"],
        ]
        for group in groups:
            for forward in (group, group[::-1]):
                parcels = list(forward) * 3
                for compare, native, key in FLAVOURS:
                    self.assertEqual(native(parcels), parcels)
                    self.assertEqual(sorted(parcels, key=key), parcels)
                    self.assertEqual(native(parcels, reverse=True), parcels)
                    self.assertEqual(sorted(parcels, key=key, reverse=True), parcels)

    def test_case_flag(self):
        parcels = [pack(n) for n in [b"b", b"B", b"a", b"A", b"ab", b"AB"]]
        self.assertEqual([parcel.unpack(p) for p in ordinex.sort(parcels)],
                         [b"A", b"AB", b"B", b"a", b"ab", b"b"])
        self.assertEqual([parcel.unpack(p) for p in ordinex.case_sort(parcels)],
                         [b"a", b"A", b"ab", b"AB", b"b", b"B"])
        self.assertEqual([parcel.unpack(p) for p in ordinex.case_sort(parcels, reverse=True)],
                         [b"b", b"B", b"ab", b"AB", b"a", b"A"])

    def test_kinds_follow_the_type_map(self):
        # A tuple meeting a list is ordered by the names _type_map gives: the
        # native sort and the keys look it up like cmp does.
        parcels = [pack(v) for v in [(b"a",), [b"a"], (b"b",), [b"b"]]]
        saved = ordinex._type_map
        try:
            # The left side's kind goes by its own name, the right side's by
            # _type_map: these names put tuples first either way round.
            for names, expected in [({}, [[b"a"], [b"b"], (b"a",), (b"b",)]),
                                    ({"c": "zzz", "t": "a"}, [(b"a",), (b"b",), [b"a"], [b"b"]])]:
                ordinex._type_map = dict(saved, **names)
                for compare, native, key in FLAVOURS:
                    self.assertEqual([parcel.unpack(p) for p in native(parcels)], expected)
                    self.assertEqual([parcel.unpack(p) for p in sorted(parcels, key=key)],
                                     expected)
        finally:
            ordinex._type_map = saved


# Every comparison that reaches the interpreter: a dict value's.
comparisons = []


class Probe(CmpOrdered):
    """A dict value that records its comparisons."""

    def __init__(self, value, name):
        self.value = value
        self.name = name

    def __eq__(self, other):
        comparisons.append(("eq", self.name, other.name))
        return self.value == other.value

    def __ne__(self, other):
        return not self == other

    def __cmp__(self, other):
        comparisons.append(("cmp", self.name, other.name))
        return three_way(self.value, other.value)


parcel.register(Probe)


def logged(func):
    del comparisons[:]
    result = outcome(func)
    return result, list(comparisons)


def probe_parcels(values):
    return [pack({0: Probe(v, i)}) for i, v in enumerate(values)]


def natural_runs(rng):
    """Ascending runs of lengths that make the interpreters before 2.7.10
    merge in another order than the later ones."""
    values = []
    for length in [87, 120, 154, 52, 43, 56, 62]:
        values += [0] + sorted(rng.randint(1, 998) for _ in range(length - 2)) + [999]
    return values


def logged_sort(sort, parcels, compare, reverse):
    """The outcome of sort(parcels, compare, reverse) and the pairs of
    parcels (by identity) that it compared, in order."""
    pairs = []

    def logging(a, b):
        pairs.append((id(a), id(b)))
        return compare(a, b)

    return outcome(lambda: sort(parcels, logging, reverse)), pairs


class SameComparisons(unittest.TestCase):
    """The native sort and the keys make the comparisons sorted(cmp=...) makes,
    in the same order: what makes them agree even where the comparer is no
    consistent order."""

    def check(self, parcels):
        for flavour in FLAVOURS:
            compare, native, key = flavour
            for reverse in (False, True):
                expected = logged(lambda: py2_sorted(parcels, compare, reverse))
                self.assertTrue(len(expected[1]) > len(parcels))
                self.assertEqual(logged(lambda: native(parcels, reverse=reverse)), expected)
                self.assertEqual(logged(lambda: sorted(parcels, key=key, reverse=reverse)),
                                 logged(lambda: sorted_with_cmp(parcels, compare, reverse)))

    def test_random_and_duplicated_values(self):
        rng = random.Random(5)
        self.check(probe_parcels([rng.randint(0, 50) for _ in range(300)]))

    def test_natural_runs_merged_in_the_interpreters_order(self):
        self.check(probe_parcels(natural_runs(random.Random(6))))

    def test_inconsistent_comparisons(self):
        # NaN is greater in either order; a user object on the left is less.
        rng = random.Random(7)
        values = [rng.choice([float("nan"), 1, 2.5, Opaque(), b"a", (1, float("nan"))])
                  for _ in range(200)]
        parcels = [pack(v) for v in values]
        for flavour in FLAVOURS:
            for reverse in (False, True):
                for expected, got in three_ways(parcels, flavour, reverse):
                    self.assertEqual(got, expected)


    def test_the_model_of_python2s_sort_makes_the_builtins_comparisons(self):
        # The model is what the native sorts are held to on 3.
        if PY3:
            return skip(self, "needs Python 2's sort")
        deep = sys.version_info >= (2, 7, 10)
        rng = random.Random(9)
        lists = [probe_parcels(natural_runs(rng)),
                 # Long runs either way and many equal items: galloping both ways.
                 [pack(n) for n in list(range(400)) + list(range(100, 700, 2))],
                 [pack(n) for n in list(range(500, 0, -1)) + list(range(200, 600))],
                 [pack(rng.randint(0, 5)) for _ in range(700)],
                 [pack(n // 7) for n in range(600)][::-1],
                 [pack((n // 10) % 13) for n in range(1000)]]
        lists += [[random_parcel(rng) for _ in range(size)] for size in [0, 1, 2, 63, 64, 65, 300]]
        builtin = lambda items, compare, reverse: sorted(items, cmp=compare, reverse=reverse)
        model = lambda items, compare, reverse: py2sort.sorted_cmp(items, compare, reverse, deep)
        for parcels in lists:
            for compare in (ordinex.cmp, ordinex.case_cmp):
                for reverse in (False, True):
                    self.assertEqual(logged_sort(model, parcels, compare, reverse),
                                     logged_sort(builtin, parcels, compare, reverse))


class Inputs(unittest.TestCase):
    def test_any_iterable_in_a_new_list_out(self):
        parcels = [pack(n) for n in [3, 1, 2]]
        expected = [parcels[1], parcels[2], parcels[0]]
        for compare, native, key in FLAVOURS:
            for source in [parcels, tuple(parcels), iter(parcels), (p for p in parcels),
                           set(parcels)]:
                self.assertEqual(native(source), expected)
            result = native(parcels)
            self.assertTrue(type(result) is list and result is not parcels)
            self.assertEqual(parcels, [pack(3), pack(1), pack(2)])
            self.assertEqual(native(iter(parcels), reverse=True), expected[::-1])
            self.assertEqual(native(parcels=parcels, reverse=1), expected[::-1])
            self.assertEqual(native(parcels, reverse=0), expected)
            self.assertEqual(native([]), [])
            self.assertEqual(native([parcels[0]]), [parcels[0]])

    def test_argument_errors(self):
        cases = []
        for func in [ordinex.sort, ordinex.case_sort]:
            name = func.__name__
            cases += [
                (func, (), {}, "%s() takes at least 1 positional argument (0 given)" % name),
                (func, ([], 1, 2), {}, "%s() takes at most 2 positional arguments (3 given)" % name),
                (func, ([],), {"key": 1}, "%s() got an unexpected keyword argument 'key'" % name),
                (func, ([],), {"parcels": []},
                 "%s() got multiple values for keyword argument 'parcels'" % name),
                (func, (1,), {}, "'int' object is not iterable"),
            ]
        assert_type_errors(self, cases)

    def test_reverse_is_taken_for_its_truth(self):
        class Undecided(object):
            def __nonzero__(self):
                raise ValueError("undecided")
            __bool__ = __nonzero__

        for compare, native, key in FLAVOURS:
            self.assertRaises(ValueError, native, [], Undecided())


class Errors(unittest.TestCase):
    """Each error the comparer meets comes out of all three ways, and the
    input is untouched."""

    def check_raises(self, exc, parcels, message=None):
        before = list(parcels)
        for flavour in FLAVOURS:
            compare, native, key = flavour
            # Which comparison meets the error depends on the order; all
            # three ways make the same ones, so they fail alike.
            for reverse in (False, True):
                for expected, got in three_ways(parcels, flavour, reverse):
                    self.assertEqual(got, expected, (compare.__name__, reverse))
                self.assertTrue(all(a is b for a, b in zip(parcels, before)))
                self.assertEqual(len(parcels), len(before))
            # Forwards, each of these lists has its bad parcel on the left of
            # a comparison that reads it.
            for func in [lambda: py2_sorted(parcels, compare), lambda: native(parcels),
                         lambda: sorted(parcels, key=key)]:
                try:
                    func()
                except exc:
                    error = sys.exc_info()[1]
                else:
                    self.fail("%r did not raise under %s" % (parcels, compare.__name__))
                if message is not None:
                    self.assertEqual(str(error), message)

    def test_unknown_code_in_the_middle(self):
        parcels = [pack((b"rec", n)) for n in range(20)]
        parcels[10] = b"\xff"
        self.check_raises(parcel.UnpackKeyError, parcels, "-1")
        parcels[10] = pack((b"rec", 9)).replace(b"i\x09", b"\xfe")
        self.check_raises(parcel.UnpackKeyError, parcels, "-2")

    def test_truncated_parcels(self):
        for cut in [b"s\x05ab", b"t\x02s\x03rec", b"t\x02s\x03reci", b"S" + be32(9) + b"abc",
                    b"t"]:
            parcels = [pack((b"rec", n)) for n in range(10)] + [cut]
            self.check_raises(parcel.UnpackError, parcels)

    def test_non_strings(self):
        for item in [1, None, u"s\x01a", ordinex.sort_key(pack(1))]:
            try:
                ordinex.cmp(item, pack(1))
            except TypeError:
                message = str(sys.exc_info()[1])
            for parcels in [[pack(1), item, pack(2)], [item]]:
                before = list(parcels)
                for compare, native, key in FLAVOURS:
                    for func in [lambda: native(parcels), lambda: sorted(parcels, key=key),
                                 lambda: key(item)]:
                        try:
                            func()
                        except TypeError:
                            self.assertEqual(str(sys.exc_info()[1]), message)
                        else:
                            self.fail("accepted %r" % (item,))
                        self.assertEqual(parcels, before)

    def test_dict_comparison_that_raises(self):
        parcels = [pack({Touchy(): n}) for n in range(5)]
        self.check_raises(ValueError, parcels, "touchy")

    def test_traceback_names_the_sort(self):
        for compare, native, key in FLAVOURS:
            try:
                native([pack(1), b"\xff"])
            except parcel.UnpackKeyError:
                names = tb_names(sys.exc_info()[2])
            self.assertEqual(names[1:3], ["orvex.ordinex." + native.__name__,
                                          "orvex.ordinex.Ordinex._cmp"])
            try:
                key(b"\xff") < key(pack(1))
            except parcel.UnpackKeyError:
                names = tb_names(sys.exc_info()[2])
            self.assertEqual(names[1:3], [KEY_TYPES[key] + ".__lt__", "orvex.ordinex.Ordinex._cmp"])


def consistent_parcels():
    """Parcels that cmp puts in one consistent order: no NaN, no user object,
    no float meeting a long."""
    rng = random.Random(11)
    parcels = [pack((rng.choice(NAMES), rng.randint(-3, 3))) for _ in range(100)]
    return parcels + [equal_forms(rng, random_value(rng, False)) for _ in range(100)]


class Keys(unittest.TestCase):
    def test_all_six_comparisons_agree_with_cmp(self):
        rng = random.Random(12)
        parcels = [random_parcel(rng) for _ in range(200)]
        ops = [("<", lambda a, b: a < b, lambda c: c < 0), ("<=", lambda a, b: a <= b, lambda c: c <= 0),
               ("==", lambda a, b: a == b, lambda c: c == 0), ("!=", lambda a, b: a != b, lambda c: c != 0),
               (">", lambda a, b: a > b, lambda c: c > 0), (">=", lambda a, b: a >= b, lambda c: c >= 0)]
        for compare, native, key in FLAVOURS:
            for _ in range(2000):
                a, b = rng.choice(parcels), rng.choice(parcels)
                try:
                    expected = compare(a, b)
                except Exception:
                    for name, op, holds in ops:
                        self.assertRaises(sys.exc_info()[0], op, key(a), key(b))
                    continue
                for name, op, holds in ops:
                    got = op(key(a), key(b))
                    self.assertTrue(got is holds(expected), (name, a, b, expected))

    def test_min_max_heapq_bisect(self):
        parcels = consistent_parcels()
        for compare, native, key in FLAVOURS:
            by_cmp = py2_sorted(parcels, compare)
            self.assertTrue(min(parcels, key=key) is min(parcels, key=lambda p: CmpKey(p, compare)))
            self.assertTrue(max(parcels, key=key) is max(parcels, key=lambda p: CmpKey(p, compare)))
            self.assertEqual(heapq.nsmallest(7, parcels, key=key), by_cmp[:7])
            self.assertEqual(heapq.nlargest(7, parcels, key=key),
                             py2_sorted(parcels, compare, reverse=True)[:7])
            keys = [key(p) for p in native(parcels)]
            for p in parcels[:50]:
                self.assertEqual(bisect.bisect_left(keys, key(p)),
                                 len([q for q in by_cmp if compare(q, p) < 0]))
                self.assertEqual(bisect.bisect_right(keys, key(p)),
                                 len([q for q in by_cmp if compare(p, q) >= 0]))

    def test_keys_compare_only_with_keys_of_their_kind(self):
        a, b = ordinex.sort_key(pack(1)), ordinex.case_sort_key(pack(1))
        for left, right, message in [
                (a, b, "can't compare orvex.ordinex.SortKey with orvex.ordinex.CaseSortKey"),
                (b, a, "can't compare orvex.ordinex.CaseSortKey with orvex.ordinex.SortKey"),
                (a, pack(1), "can't compare orvex.ordinex.SortKey with " + bytes.__name__),
                (pack(1), a, "can't compare orvex.ordinex.SortKey with " + bytes.__name__),
                (1, a, "can't compare orvex.ordinex.SortKey with int"),
                (b, None, "can't compare orvex.ordinex.CaseSortKey with NoneType")]:
            for op in [lambda x, y: x < y, lambda x, y: x == y, lambda x, y: x >= y]:
                try:
                    op(left, right)
                except TypeError:
                    self.assertEqual(str(sys.exc_info()[1]), message)
                else:
                    self.fail("%r and %r compared" % (left, right))

    def test_surface(self):
        p = pack((b"alice", 7))
        for compare, native, key in FLAVOURS:
            k = key(p)
            self.assertTrue(k.parcel is p)
            self.assertEqual(repr(k), "%s(%r)" % (key.__name__, p))
            self.assertRaises(TypeError, hash, k)
            self.assertRaises(TypeError, type(k))
            self.assertRaises((TypeError, AttributeError), setattr, k, "parcel", p)
        self.assertTrue(isinstance(ordinex.sort_key(p), ordinex.SortKey))
        self.assertTrue(isinstance(ordinex.case_sort_key(p), ordinex.CaseSortKey))
        self.assertEqual(ordinex.sort_key(pack(b"a")) == ordinex.sort_key(b"S" + be32(1) + b"a"),
                         True)

    def test_a_key_in_a_cycle_through_its_parcel_is_collected(self):
        class Parcel(bytes):
            pass

        class Witness(object):
            pass

        for compare, native, key in FLAVOURS:
            p = Parcel(pack(b"x"))
            p.key = key(p)
            p.witness = Witness()
            ref = weakref.ref(p.witness)
            del p
            gc.collect()
            self.assertTrue(ref() is None)


class CmpKey(object):
    """A key that calls a cmp function."""

    def __init__(self, parcel, compare):
        self.parcel = parcel
        self.compare = compare

    def __lt__(self, other):
        return self.compare(self.parcel, other.parcel) < 0

    def __gt__(self, other):
        return self.compare(self.parcel, other.parcel) > 0


if __name__ == "__main__":
    unittest.main()
