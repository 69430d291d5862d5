"""orvex.ordinex: parcel comparison against the interpreter's own order, the
short and long forms of every code, the error paths with their traceback
entries, deep nesting, and the module's import and surface.

Parcels and their strings are bytes (str on 2). Where the expectation is
what Python 2 itself answers, 3 is held to Python 2's answer."""
import gc
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import traceback
import types
import unittest
import weakref

from orvex import ordinex
from orvex import parcel
from orvex.parcel import pack
from helpers import (CLASS_WORD, LONG, OTHER_STRING_KEY, PY3, TABLE_WRAPPER, CmpOrdered,
                     assert_type_errors, builtins, byte, byte_list, is_tracked, on_small_stack,
                     py2_sorted, skip, three_way)

ORDER_FUNCTIONS = [ordinex.cmp, ordinex.case_cmp]


# The interpreter's refusal of a non-string where its C API wants a byte string.
NOT_A_STRING = ("expected bytes, %s found" if PY3
                else "expected string or Unicode object, %s found")


def sign(n):
    return (n > 0) - (n < 0)


def be32(n):
    return struct.pack(">i", n)


def tb_names(tb):
    """Function names of the traceback entries, without "(file:line)"."""
    return [entry[2].split(" (")[0] for entry in traceback.extract_tb(tb)]


# Module-level so that the suite's repeated runs register nothing new.
class Opaque(object):
    """A user object: packed as X with a pickle."""


class Touchy(CmpOrdered):
    """A dict key whose comparison raises."""

    def __hash__(self):
        return 0

    def __eq__(self, other):
        raise ValueError("touchy")

    def __cmp__(self, other):
        raise ValueError("touchy")


parcel.register(Opaque)
parcel.register(Touchy)


class Surface(unittest.TestCase):
    def test_docstrings(self):
        self.assertEqual(
            ordinex.__doc__,
            "Parcel comparison routines.\n\nThis module implements a `cmp` method that can be "
            "used to compare two parcel\nstrings directly. It is optimized so that the objects "
            "are compared without\ncreating intermediate Python objects whenever possible.\n\n"
            "There is also a `case_cmp` method which will compare strings\ncase-insensitively.  "
            "Dictionaries do not currently support case-insensitive\nmatching.\n\nNote that "
            "some cross-type compares may not behave exactly the same as Python.\nFor example, "
            "to compare a float and a long, this code will case the long to a\nfloat.  Python "
            "no longer does this, and has a sophisticated comparison\nalgorithm (because "
            "casting to a float can lose some precision).  This module\ndoes not try to "
            "emulate this complexity.\n")
        tail = ("\n\n    :Parameters:\n        - `a`: A parcel string.\n        - `b`: A parcel "
                "string.\n\n    :Return:\n        Returns -1 if a is less than b, 0 if they are "
                "equal or 1 if a is\n        greater than b.\n    ")
        self.assertEqual(ordinex.cmp.__doc__, "Compare two parcel strings." + tail)
        self.assertEqual(ordinex.case_cmp.__doc__,
                         "Compare two parcel strings case-insensitively.\n\n    Note that "
                         "currently, dictionaries do not support case-insensitive matching."
                         + tail)
        self.assertEqual(ordinex.strcasecmp.__doc__, None)
        doc = ordinex.Ordinex.__doc__
        self.assertTrue(doc.startswith("Parcel comparison object."))
        for text in ["should never need to create one of these", "1) Unpack A.",
                     "2) Determine how to compare against B.", "2a) Optionally unpack B.",
                     "3) Do the actual comparison."]:
            self.assertTrue(text in doc, text)

    def test_type_map(self):
        self.assertEqual(ordinex._type_map, {
            "N": "None", "1": "bool", "0": "bool", "i": "int", "I": "int", "l": "int",
            "L": "long", "M": "long", "f": "float", "'": "str", "s": "str", "S": "str",
            ")": "tuple", "t": "tuple", "T": "tuple", "]": "list", "c": "list", "C": "list",
            "}": "dict", "d": "dict", "D": "dict", "X": ""})

    def test_ordinex_class(self):
        cls = ordinex.Ordinex
        self.assertEqual(repr(cls), "<%s 'orvex.ordinex.Ordinex'>" % CLASS_WORD)
        self.assertEqual(type(cls.__dict__["__pyx_vtable__"]).__name__, TABLE_WRAPPER)
        self.assertEqual([n for n in dir(cls) if not n.startswith("__")], [])

        class Sub(cls):
            pass

        # Arguments are ignored; every instance gets two readers of its own,
        # visible to the collector.
        for instance in [cls(), cls(1, x=2), Sub("anything")]:
            self.assertTrue(is_tracked(instance))
            readers = [r for r in gc.get_referents(instance) if type(r) is parcel.Unpacker]
            self.assertEqual(len(readers), 2)
            self.assertTrue(readers[0] is not readers[1])

    def test_subclass_instances_in_cycles_are_collected(self):
        class Sub(ordinex.Ordinex):
            pass

        instance = Sub()
        instance.me = instance
        ref = weakref.ref(instance)
        del instance
        gc.collect()
        self.assertTrue(ref() is None)

    def test_arguments_by_position_or_keyword(self):
        a, b = pack(b"x"), pack(b"y")
        for func in [ordinex.cmp, ordinex.case_cmp]:
            self.assertEqual(func(a, b), -1)
            self.assertEqual(func(a=a, b=b), -1)
            self.assertEqual(func(b=a, a=b), 1)
            self.assertEqual(func(a, b=b), -1)
        self.assertEqual(ordinex.strcasecmp(b=b"X", a=b"y"), 1)

    def test_argument_errors_in_the_interpreters_words(self):
        p = pack(1)
        for func in [ordinex.cmp, ordinex.case_cmp, ordinex.strcasecmp]:
            name = func.__name__
            cases = [
                ((p,), {}, "%s() takes exactly 2 positional arguments (1 given)"),
                ((), {}, "%s() takes exactly 2 positional arguments (0 given)"),
                ((p, p, p), {}, "%s() takes exactly 2 positional arguments (3 given)"),
                ((), {"b": p}, "%s() takes exactly 2 positional arguments (0 given)"),
                ((p, p), {"a": p}, "%s() got multiple values for keyword argument 'a'"),
                ((p, p), {"c": p}, "%s() got an unexpected keyword argument 'c'"),
            ]
            cases = [(func, args, kwds, message % name) for args, kwds, message in cases]
            cases.append((func, (p, p), {OTHER_STRING_KEY: p}, non_string_keyword_message(name)))
            assert_type_errors(self, cases)


def non_string_keyword_message(name):
    """The refusal of a keyword of the other string type: the module's own
    words on 2; on 3 the interpreter refuses it before the call, as it does
    for sorted(), which takes its arguments the same way."""
    if not PY3:
        return "%s() keywords must be strings" % name
    try:
        sorted([], **{OTHER_STRING_KEY: 1})
    except TypeError:
        return str(sys.exc_info()[1])


def int_forms(n):
    """Every encoding of the integer n that the format allows."""
    forms = []
    if n in (0, 1):
        forms.append(b"01"[n:n + 1])
    if 0 <= n <= 255:
        forms.append(b"i" + byte(n))
    if -32768 <= n <= 32767:
        forms.append(b"I" + struct.pack(">h", n))
    forms.append(b"l" + be32(n))
    digits = b"".join(byte(n >> (8 * i) & 0xff) for i in range(8)) if n else b""
    forms.append(b"L" + byte(len(digits)) + digits)
    forms.append(b"M" + be32(len(digits)) + digits)
    forms.append(b"f" + struct.pack(">d", n))
    return forms


def sized_forms(short, long_, empty, count, payload):
    forms = [short + byte(count) + payload, long_ + be32(count) + payload]
    return forms + [empty] if count == 0 else forms


# Groups of encodings in ascending order: every form within a group is equal
# to every other, and less than every form of a later group.
ORDERED_GROUPS = [
    [b"N"],
    int_forms(-40000), int_forms(-1), int_forms(0), int_forms(1), int_forms(300),
    [b"X" + be32(3) + b"abc"],
    sized_forms(b"d", b"D", b"}", 0, b""), sized_forms(b"d", b"D", b"}", 1, b"s\x01ki\x05"),
    sized_forms(b"c", b"C", b"]", 0, b""), sized_forms(b"c", b"C", b"]", 1, b"i\x05"),
    sized_forms(b"s", b"S", b"'", 0, b""), sized_forms(b"s", b"S", b"'", 2, b"ab"),
    sized_forms(b"s", b"S", b"'", 3, b"abc"),
    sized_forms(b"t", b"T", b")", 0, b""), sized_forms(b"t", b"T", b")", 1, b"N"),
    sized_forms(b"t", b"T", b")", 1, b"i\x05"),
    sized_forms(b"t", b"T", b")", 2, b"c\x01s\x01aT" + be32(0)),
]


class Forms(unittest.TestCase):
    def test_every_form_orders_by_value_and_kind(self):
        for i, group_a in enumerate(ORDERED_GROUPS):
            for j, group_b in enumerate(ORDERED_GROUPS):
                for a in group_a:
                    for b in group_b:
                        expected = sign(i - j)
                        if a[:1] == b"X" and b[:1] != b"N":
                            expected = -1  # a user object on the left is always less
                        for func in ORDER_FUNCTIONS:
                            self.assertEqual(func(a, b), expected,
                                             "%s(%r, %r)" % (func.__name__, a, b))

    def test_packed_forms_agree(self):
        for value in [0, 1, 255, 256, -1, 70000, -2 ** 31, 2 ** 40, b"", b"a" * 300,
                      tuple(range(300)), list(range(300)), dict.fromkeys(range(300))]:
            self.assertEqual(ordinex.cmp(pack(value), pack(value)), 0)


STRING_BYTES = byte_list(b"aAbBzZ \x00\x7f\x80\xff")


def random_scalar(rng, floats):
    kind = rng.choice(["none", "bool", "int", "int", "long", "str", "str"] +
                      ["float"] * floats)
    if kind == "none":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "int":
        return rng.choice([rng.randint(-3, 300), rng.randint(-2 ** 31, 2 ** 31 - 1),
                           rng.choice([255, 256, -32768, 32767, 2 ** 31 - 1, -2 ** 31])])
    if kind == "long":
        # Beyond double precision only where no float can meet it.
        bits = 52 if floats else rng.choice([8, 40, 70, 1100, 2500])
        return LONG(rng.randint(-2 ** bits, 2 ** bits))
    if kind == "float":
        return rng.choice([0.0, -0.0, 1.0, -1.5, 1e300, float("inf"), float("-inf"),
                           float(rng.randint(-300, 300)), rng.uniform(-1e6, 1e6)])
    length = rng.choice([0, 1, 2, 3, 5, 300])
    return b"".join(rng.choice(STRING_BYTES) for _ in range(length))


def random_value(rng, floats, depth=0):
    kind = rng.choice(["scalar"] * 3 + ["tuple", "list", "dict"] * (depth < 3))
    if kind == "scalar":
        return random_scalar(rng, floats)
    if kind == "dict":
        return dict((random_scalar(rng, floats), random_value(rng, floats, depth + 1))
                    for _ in range(rng.randint(0, 3)))
    if depth == 0 and rng.random() < 0.05:
        # Past 255 elements: the long forms T and C.
        items = [random_scalar(rng, floats) for _ in range(260)]
    else:
        items = [random_value(rng, floats, depth + 1) for _ in range(rng.randint(0, 4))]
    return tuple(items) if kind == "tuple" else items


MUTANT_BYTES = byte_list(b"aA\xff")


def mutate(rng, value, floats):
    """A value near `value`, so that comparisons reach deep into both."""
    if isinstance(value, (tuple, list)) and value:
        items = list(value)
        action = rng.choice(["inner", "inner", "drop", "append"])
        if action == "inner":
            i = rng.randrange(len(items))
            items[i] = mutate(rng, items[i], floats)
        elif action == "drop":
            del items[rng.randrange(len(items))]
        else:
            items.append(random_value(rng, floats, 2))
        return type(value)(items)
    if isinstance(value, bytes) and value and rng.random() < 0.5:
        return value.swapcase() if rng.random() < 0.5 else value[:-1] + rng.choice(MUTANT_BYTES)
    return random_value(rng, floats, 2)


def lowered(value):
    """The value with every byte string outside dicts in lower case."""
    if isinstance(value, bytes):
        return value.lower()
    if isinstance(value, (tuple, list)):
        return type(value)(lowered(v) for v in value)
    return value


class AgainstTheInterpreter(unittest.TestCase):
    """Random nested values, compared packed and as themselves."""

    def test_differential(self):
        # The expectations are Python 2's own comparisons; on 3 the parity
        # test checks random values against the 2.7 build instead.
        if PY3:
            return skip(self, "asks Python 2's cmp")
        rng = random.Random(20240607)
        for n in range(3000):
            floats = n % 2
            a = random_value(rng, floats)
            b = rng.choice([lambda: random_value(rng, floats), lambda: mutate(rng, a, floats),
                            lambda: a])()
            pa, pb = pack(a), pack(b)
            self.assertEqual(ordinex.cmp(pa, pb), sign(three_way(a, b)), "cmp(%r, %r)" % (a, b))
            self.assertEqual(ordinex.case_cmp(pa, pb), sign(three_way(lowered(a), lowered(b))),
                             "case_cmp(%r, %r)" % (a, b))

    def test_sorting_records(self):
        rng = random.Random(7)
        records = [(b"user%d" % rng.randint(0, 50), rng.randint(-5, 5)) for _ in range(500)]
        parcels = [pack(r) for r in records]
        self.assertEqual([parcel.unpack(p) for p in py2_sorted(parcels, ordinex.cmp)],
                         sorted(records))


class Scalars(unittest.TestCase):
    """Where the order is this module's own rather than the interpreter's."""

    def check(self, cases):
        for a, b, expected in cases:
            for func in ORDER_FUNCTIONS:
                self.assertEqual(func(a, b), expected, "%s(%r, %r)" % (func.__name__, a, b))

    def test_long_meets_float_as_a_double(self):
        big = 2 ** 53 + 1  # float(big) rounds down to 2**53
        self.assertEqual(three_way(big, float(2 ** 53)), 1)
        self.check([(pack(big), pack(float(2 ** 53)), 0),
                    (pack(float(2 ** 53)), pack(big), 0),
                    (pack(big), pack(2 ** 53), 1)])

    def test_long_beyond_doubles_against_float_overflows(self):
        huge = pack(2 ** 1024)
        for a, b in [(huge, pack(1.0)), (pack(1.0), huge), (huge, pack(float("inf")))]:
            for func in ORDER_FUNCTIONS:
                self.assertRaises(OverflowError, func, a, b)
        self.check([(huge, pack(2 ** 1024 + 1), -1), (huge, pack(5), 1), (pack(-5), huge, -1)])

    def test_nan_is_greater_in_either_order(self):
        nan = pack(float("nan"))
        self.check([(nan, nan, 1), (nan, pack(1), 1), (pack(1), nan, 1), (pack(2 ** 70), nan, 1),
                    (nan, pack(float("inf")), 1), (pack((nan,)), pack((0,)), 1)])

    def test_user_objects(self):
        x = pack(Opaque())
        self.check([(x, pack(None), 1), (pack(None), x, -1), (x, x, -1), (x, pack(1), -1),
                    (x, pack(b"a"), -1), (x, pack({}), -1), (pack(1), x, -1), (pack(2.5), x, -1),
                    (pack(2 ** 70), x, -1), (pack(True), x, -1), (pack(b"a"), x, 1),
                    (pack(()), x, 1), (pack([]), x, 1), (pack({}), x, 1),
                    (pack((1, Opaque())), pack((1, Opaque())), -1)])

    def test_strings_and_case(self):
        cases = [(b"ABC", b"abc", -1, 0), (b"ABD", b"abc", -1, 1), (b"abc", b"ABD", 1, -1),
                 (b"\xff", b"a", 1, 1), (b"abc", b"ab", 1, 1), (b"", b"a", -1, -1),
                 (b"", b"", 0, 0), (b"a\x00B", b"a\x00b", -1, 0), (b"[", b"a", -1, -1),
                 (b"[", b"A", 1, -1)]
        for a, b, by_bytes, folded in cases:
            self.assertEqual(ordinex.cmp(pack(a), pack(b)), by_bytes, (a, b))
            self.assertEqual(ordinex.case_cmp(pack(a), pack(b)), folded, (a, b))

    def test_case_folds_in_sequences_but_not_in_dicts(self):
        self.assertEqual(ordinex.case_cmp(pack((b"ABC", [b"X"])), pack((b"abc", [b"x"]))), 0)
        self.assertEqual(ordinex.case_cmp(pack({b"K": 1}), pack({b"k": 1})), -1)
        self.assertEqual(ordinex.case_cmp(pack({1: b"V"}), pack({1: b"v"})), -1)

    def test_strcasecmp(self):
        cases = [(b"abc", b"ABC", 0), (b"ab", b"ABC", -1), (b"b", b"A", 1), (b"", b"", 0),
                 (b"a\x00b", b"A\x00C", -1), (b"\xff", b"a", 1)]
        if PY3:
            # Text is no byte string on 3; 2 takes it in the default encoding.
            self.assertRaises(TypeError, ordinex.strcasecmp, u"abc", b"ABD")
        else:
            cases.append((u"abc", b"ABD", -1))
        for a, b, expected in cases:
            self.assertEqual(ordinex.strcasecmp(a, b), expected, (a, b))

    def test_strcasecmp_refuses_non_strings_left_first(self):
        for a, b, got in [(1, None, "int"), (b"a", None, "NoneType"), (None, 2, "NoneType")]:
            try:
                ordinex.strcasecmp(a, b)
            except TypeError:
                self.assertEqual(str(sys.exc_info()[1]), NOT_A_STRING % got)
            else:
                self.fail("accepted %r, %r" % (a, b))


class Sequences(unittest.TestCase):
    def test_first_difference_decides_and_the_rest_is_not_read(self):
        cut = b"\x01"  # an unfinished long: reading it would fail
        cases = [
            (b"t\x03i\x01i\x02L", b"t\x03i\x01i\x03L", -1),     # stops at the 2nd element
            (b"t\x03i\x01i\x02L", b"t\x02i\x01i\x02", 1),       # surplus element unread
            (b"c\x01i\x01", b"c\x04i\x01" + cut, -1),
            (b"t\x02t\x02i\x01i\x02i\x09", b"t\x02t\x02i\x01i\x03i\x00", -1),
            (b"d\x01" + cut, b"d\x02" + cut, -1),               # dict counts decide unread
            (b"D" + be32(3) + cut, b"}", 1),
            (b"i\x01junk", b"i\x01", 0),                          # bytes after the value
        ]
        for a, b, expected in cases:
            self.assertEqual(ordinex.cmp(a, b), expected, (a, b))

    def test_none_inside_sequences(self):
        cases = [((None, 1), (None, 1), 0), ((None, 1), (None, 2), -1), ([None], [0], -1),
                 ([0], [None], 1), ((), None, 1), ([], None, 1), ({}, None, 1)]
        for a, b, expected in cases:
            self.assertEqual(ordinex.cmp(pack(a), pack(b)), expected, (a, b))

    def test_dict_comparison_errors_propagate(self):
        for func in ORDER_FUNCTIONS:
            self.assertRaises(ValueError, func, pack({Touchy(): 1}), pack({Touchy(): 2}))
            # Unequal counts answer without building (or comparing) anything.
            self.assertEqual(func(pack({Touchy(): 1}), pack({1: 1, 2: 2})), -1)


def deep(depth, codes, leaf):
    """`depth` one-element sequences, cycling through `codes`, around `leaf`."""
    return b"".join(c + b"\x01" for c in byte_list(codes)) * (depth // len(codes)) + leaf


class Nesting(unittest.TestCase):
    """Nesting costs no C stack: a million levels, also on a small thread stack."""

    DEPTH = 1000000

    def compare_deep(self):
        results = []
        for codes in [b"t", b"tc"]:
            for leaf_a, leaf_b in [(b"i\x01", b"i\x01"), (b"i\x01", b"i\x02"),
                                   (b"s\x01b", b"s\x01B")]:
                a, b = deep(self.DEPTH, codes, leaf_a), deep(self.DEPTH, codes, leaf_b)
                results.append((ordinex.cmp(a, b), ordinex.case_cmp(a, b)))
        return results

    def test_a_million_levels(self):
        self.assertEqual(self.compare_deep(), [(0, 0), (-1, -1), (1, 0)] * 2)

    def test_a_million_levels_on_a_small_stack(self):
        self.assertEqual(on_small_stack(self.compare_deep, 64 * 1024),
                         [(0, 0), (-1, -1), (1, 0)] * 2)

    def test_failure_deep_down_keeps_a_short_traceback(self):
        a = deep(self.DEPTH, b"tc", b"\xff")
        b = deep(self.DEPTH, b"tc", b"i\x01")
        try:
            ordinex.cmp(a, b)
        except parcel.UnpackKeyError:
            names = tb_names(sys.exc_info()[2])
        # Outermost first: the calls, then the walk, the innermost list, the
        # failing pair.
        self.assertEqual(names[1:], ["orvex.ordinex.cmp", "orvex.ordinex.Ordinex.cmp",
                                     "orvex.ordinex.Ordinex._cmp",
                                     "orvex.ordinex.Ordinex._cmp_list",
                                     "orvex.ordinex.Ordinex._cmp"])


class Errors(unittest.TestCase):
    def check_raises(self, exc, a, b, args=None, entries=()):
        for func in ORDER_FUNCTIONS:
            try:
                func(a, b)
            except exc:
                error, tb = sys.exc_info()[1:]
            else:
                self.fail("%s(%r, %r) did not raise" % (func.__name__, a, b))
            if args is not None:
                self.assertEqual(error.args, args)
            names = tb_names(tb)
            self.assertEqual(names[1:3], ["orvex.ordinex." + func.__name__,
                                          "orvex.ordinex.Ordinex.cmp"])
            for entry in entries:
                self.assertTrue(entry in names, (entry, names))

    def test_unknown_leading_code_of_a(self):
        for a, b, args in [(b"\xff", b"i\x01", (-1,)), (b"\x80", b"s\x01a", (-128,)),
                           (b"\x7f", b"\x7f", (127,)), (b"x", b"t\x01N", (120,)),
                           (b"t\x01\xff", b"t\x01i\x01", (-1,))]:
            self.check_raises(parcel.UnpackKeyError, a, b, args)

    def test_unknown_code_of_b(self):
        # Meeting None or a number it is simply greater; other kinds look the
        # code up in _type_map.
        for a in [b"N", b"i\x01", b"1", b"f" + b"\x00" * 8, b"L\x00"]:
            for func in ORDER_FUNCTIONS:
                self.assertEqual(func(a, b"\xff"), -1)
        self.assertEqual(ordinex.cmp(b"\xff", b"N"), 1)
        for a in [b"s\x01a", b"'", b")", b"t\x01N", b"c\x01N", b"}", b"d\x01NN"]:
            self.check_raises(KeyError, a, b"\xff", ("\xff",), ["orvex.ordinex._type_cmp"])

    def test_negative_counts_are_refused_as_unpack_refuses_them(self):
        cases = [(b"T" + be32(-1), b")", "negative count -1 at offset 1"),
                 (b"C" + be32(-2), b"]", "negative count -2 at offset 1"),
                 (b"D" + be32(-2 ** 31), b"}", "negative count -2147483648 at offset 1"),
                 (b"t\x01T" + be32(-1), b"t\x01)", "negative count -1 at offset 3")]
        for a, b, message in cases:
            self.check_raises(parcel.UnpackError, a, b, (message,))
            self.check_raises(parcel.UnpackError, b, a, (message,))
            self.check_raises(parcel.UnpackError, a, a, (message,))

    def test_unreadable_parcels_fail_in_the_reader(self):
        cases = [(b"", b"N"), (b"N", b""), (b"i", b"i\x01"), (b"i\x01", b"I\x00"),
                 (b"s\x05ab", b"s\x01a"), (b"s\x01a", b"S\x00\x00\x00\x09abc"),
                 (b"t\x02i\x01", b"t\x02i\x01i\x02"), (b"t\x01", b"t\x01N"),
                 (b"f\x00", b"i\x01"), (b"L\x05\x01", b"i\x01"),
                 (b"d\x01s\x01k", b"d\x01s\x01kN")]
        for a, b in cases:
            self.check_raises(parcel.UnpackError, a, b)
            self.check_raises(parcel.UnpackError, b, a)

    def test_non_strings_are_the_readers_to_refuse(self):
        self.check_raises(TypeError, 1, pack(1))
        self.check_raises(TypeError, pack(1), None)

    def test_traceback_names_each_failing_step(self):
        self.check_raises(KeyError, pack((b"a",)), b"t\x01\xff", entries=[
            "orvex.ordinex._type_cmp", "orvex.ordinex.Ordinex._det_string",
            "orvex.ordinex.Ordinex._cmp", "orvex.ordinex.Ordinex._cmp_tuple"])
        self.check_raises(OverflowError, pack([1.0]), pack([2 ** 1024]), entries=[
            "orvex.ordinex.Ordinex._det_float", "orvex.ordinex.Ordinex._cmp_list"])
        self.check_raises(ValueError, pack({Touchy(): 1}), pack({Touchy(): 2}), entries=[
            "orvex.ordinex.Ordinex._cmp_dict", "orvex.ordinex.Ordinex._det_dict"])

    def test_type_map_is_looked_up_at_every_call(self):
        a, b = pack(b"x"), pack((1,))
        saved = ordinex._type_map
        try:
            ordinex._type_map = dict(saved, t="a")
            self.assertEqual(ordinex.cmp(a, b), 1)
            ordinex._type_map = {}
            self.check_raises(KeyError, a, b, ("t",), ["orvex.ordinex._type_cmp"])
            del ordinex._type_map
            builtins._type_map = saved
            try:
                self.assertEqual(ordinex.cmp(a, b), -1)
            finally:
                del builtins._type_map
            self.check_raises(NameError, a, b, ("_type_map",), ["orvex.ordinex._type_cmp"])
        finally:
            ordinex._type_map = saved
        self.assertEqual(ordinex.cmp(a, b), -1)


# An orvex package whose parcel module is made of Python classes, around the
# ordinex module of this build, to see the import fail at each check.
FAKE_PARCEL = """
class Packer(object):
    __slots__ = %(packer_slots)s
class Unpacker(object):
    __slots__ = %(unpacker_slots)s
"""


def missing_attribute_message(module_name, name):
    """The interpreter's words for a module without attribute `name`."""
    try:
        getattr(types.ModuleType(module_name), name)
    except AttributeError:
        return str(sys.exc_info()[1])


class Import(unittest.TestCase):
    def import_in_child(self, parcel_source, flags=()):
        root = tempfile.mkdtemp()
        try:
            package = os.path.join(root, "orvex")
            os.mkdir(package)
            open(os.path.join(package, "__init__.py"), "w").close()
            open(os.path.join(package, "parcel.py"), "w").write(parcel_source)
            os.symlink(ordinex.__file__, os.path.join(package, "ordinex.so"))
            script = ("import sys, traceback\ntry:\n    import orvex.ordinex\nexcept Exception:\n"
                      "    e = sys.exc_info()\n    print(type(e[1]).__name__ + ': ' + str(e[1]))\n"
                      "    print(traceback.extract_tb(e[2])[-1][2].split(' (')[0])\n"
                      "    print('orvex.ordinex' in sys.modules)\nelse:\n    print('imported')\n")
            env = dict(os.environ, PYTHONPATH=root)
            child = subprocess.Popen([sys.executable] + list(flags) + ["-c", script], env=env,
                                     cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = child.communicate()
            return out.decode("latin-1").splitlines(), err
        finally:
            shutil.rmtree(root)

    def test_each_import_check(self):
        # Packer holds 40 bytes (3 slots past the header), Unpacker 48 (4).
        cases = [
            (FAKE_PARCEL.replace("class Packer(object):\n    __slots__ = %(packer_slots)s",
                                 "Packer = 1"),
             "TypeError: orvex.parcel.Packer is not a type object"),
            (FAKE_PARCEL % {"packer_slots": "()", "unpacker_slots": "()"},
             "ValueError: orvex.parcel.Packer has the wrong size, try recompiling"),
            (FAKE_PARCEL % {"packer_slots": "('a', 'b', 'c')", "unpacker_slots": "()"},
             "RuntimeError: invalid vtable found for imported type"),
            ("", "AttributeError: " + missing_attribute_message("orvex.parcel", "Packer")),
        ]
        for source, message in cases:
            source = source.replace("%(unpacker_slots)s", "()")
            lines, err = self.import_in_child(source)
            self.assertEqual(lines, [message, "init orvex.ordinex", "False"], err)


if __name__ == "__main__":
    unittest.main()
