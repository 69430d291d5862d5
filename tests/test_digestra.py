"""orvex.digestra: hashes of parcel strings, checked against the interpreter's
own hash of the decoded value and against a model of the tuple scheme. String
hashes are compared with the interpreter's, so run without hash randomization."""
import gc
import random
import struct
import subprocess
import sys
import traceback
import unittest
import weakref

from orvex import digestra, parcel
from helpers import assert_type_errors, on_small_stack

MULTIPLIER = 1000003
TUPLE_SEED = 0x345678
MASK64 = (1 << 64) - 1


def narrow(h):
    """Low 32 bits as a signed int; -1 is reserved for failure."""
    r = h & 0xffffffff
    if r >= 1 << 31:
        r -= 1 << 32
    return -2 if r == -1 else r


NONE_HASH = narrow(id(None))


def tuple_model(hashes):
    x = TUPLE_SEED
    for y in hashes:
        x = ((x * MULTIPLIER) ^ (y & MASK64)) & MASK64
    return narrow(x ^ (len(hashes) & MASK64))


LOWER = "".join(chr(c) for c in range(97, 123))
# Only 'A'..'Z' fold; str.lower() would follow the locale.
FOLD = "".join(chr(c + 32) if 65 <= c <= 90 else chr(c) for c in range(256))


def expected(value, fold=False):
    """The hash digestra must give for `value`."""
    if isinstance(value, tuple):
        return tuple_model([expected(v, fold) for v in value])
    if value is None:
        return NONE_HASH
    if fold and isinstance(value, str):
        value = value.translate(FOLD)
    return narrow(hash(value))


# Hand-made parcels, every form of every code (docs/parcel-format.md).
def p_int(code, n):
    return code + struct.pack({"i": ">B", "I": ">h", "l": ">i"}[code], n)


def long_bytes(v):
    """Two's complement, little-endian, in the fewest bytes (none for 0)."""
    n = 1 if v else 0
    while v and not -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
        n += 1
    return "".join(chr((v >> (8 * i)) & 0xff) for i in range(n))


def p_long(code, v):
    b = long_bytes(v)
    return code + (chr(len(b)) if code == "L" else struct.pack(">i", len(b))) + b


def p_float(v):
    return "f" + struct.pack(">d", v)


def p_str(code, s):
    return code + (chr(len(s)) if code == "s" else struct.pack(">i", len(s))) + s


def p_tuple(code, parcels):
    count = chr(len(parcels)) if code == "t" else struct.pack(">i", len(parcels))
    return code + count + "".join(parcels)


def random_scalar(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, 1, -1, -2, 255, 256, -32768, 32767, 2 ** 31 - 1, -2 ** 31,
                           rng.randint(-2 ** 31, 2 ** 31 - 1)])
    if kind == 2:
        return rng.choice([0L, -1L, 2L ** 31, -2L ** 31 - 1, 2L ** 32 - 1, 2L ** 63, -2L ** 64,
                           rng.randint(-2 ** 70, 2 ** 70), rng.randint(0, 2 ** 2100) - 2 ** 2099])
    if kind == 3:
        return rng.choice([0.0, -0.0, -1.0, 1.5, 4294967295.0, 1e300, float("inf"),
                           float("-inf"), float("nan"), rng.uniform(-1e6, 1e6)])
    n = rng.choice([0, 1, 3, 40, 255, 256, 300])
    return "".join(chr(rng.randrange(256)) for _ in range(n))


def random_tuple(rng, depth):
    items = []
    for _ in range(rng.randrange(5)):
        if depth and rng.random() < 0.3:
            items.append(random_tuple(rng, depth - 1))
        else:
            items.append(random_scalar(rng))
    return tuple(items)


def with_capitals(value):
    """`value` with some lowercase ASCII letters of its strings raised."""
    if isinstance(value, tuple):
        return tuple(with_capitals(v) for v in value)
    if isinstance(value, str):
        return "".join(c.upper() if c in LOWER and ord(c) % 2 else c for c in value)
    return value


class AgainstTheInterpreter(unittest.TestCase):
    def test_scalars_hash_as_the_interpreter_does(self):
        rng = random.Random(4)
        for _ in range(600):
            value = random_scalar(rng)
            p = parcel.pack(value)
            want = NONE_HASH if value is None else narrow(hash(value))
            self.assertEqual(digestra.hash(p), want, (value, p))

    def test_tuples_follow_the_multiply_xor_scheme(self):
        rng = random.Random(5)
        for _ in range(300):
            value = random_tuple(rng, 3)
            self.assertEqual(digestra.hash(parcel.pack(value)), expected(value), value)

    def test_case_hash_folds_capitals_at_any_depth(self):
        rng = random.Random(6)
        for _ in range(200):
            value = with_capitals(random_tuple(rng, 3))
            p = parcel.pack(value)
            self.assertEqual(digestra.case_hash(p), expected(value, fold=True), value)


class FixedNumbers(unittest.TestCase):
    def test_hash_randomisation_is_not_followed(self):
        # Stored hashes must not change from process to process: under -R
        # the interpreter's own str hash changes, the module's does not.
        script = ("from orvex import digestra, parcel\n"
                  "print([digestra.hash(parcel.pack(('abc', 'x' * 40))), hash('abc')])\n")
        runs = []
        for _ in range(2):
            child = subprocess.Popen([sys.executable, "-R", "-c", script], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
            out, err = child.communicate()
            self.assertEqual(child.returncode, 0, err)
            runs.append(eval(out))
        ours = digestra.hash(parcel.pack(("abc", "x" * 40)))
        self.assertEqual([runs[0][0], runs[1][0]], [ours, ours])
        self.assertNotEqual(runs[0][1], runs[1][1])

    def test_known_values(self):
        cases = [
            ("s\x03abc", digestra.hash, -1600925533),
            ("s\x03ABC", digestra.hash, 826005955),
            ("s\x03ABC", digestra.case_hash, -1600925533),
            ("S\x00\x00\x00\x03ABC", digestra.case_hash, -1600925533),
            ("s\x03abc", digestra.case_hash, -1600925533),
            (")", digestra.hash, 3430008),
            ("t\x00", digestra.hash, 3430008),
            ("T\x00\x00\x00\x00", digestra.hash, 3430008),
            ("t\x02i\x01i\x02", digestra.hash, 219750523),
            ("t\x01s\x03ABC", digestra.case_hash, digestra.hash("t\x01s\x03abc")),
            ("1", digestra.hash, 1),
            ("0", digestra.hash, 0),
            ("i\x07", digestra.hash, 7),
            ("I\xff\xff", digestra.hash, -2),
            ("I\xff\xfe", digestra.hash, -2),
            ("'", digestra.hash, 0),
            ("s\x00", digestra.hash, 0),
            ("S\x00\x00\x00\x00", digestra.case_hash, 0),
            ("N", digestra.hash, NONE_HASH),
            ("N", digestra.case_hash, NONE_HASH),
        ]
        for p, func, want in cases:
            self.assertEqual(func(p), want, (p, func.__name__))

    def test_low_32_bits_all_set_give_minus_two(self):
        # Each value's 64-bit hash ends in 0xffffffff (the string and the
        # tuple element were found by search) without being -1 itself.
        cases = [
            p_str("s", "owQaZS"),
            p_long("L", 2 ** 32 - 1),
            p_long("M", 2 ** 32 - 1),
            p_float(4294967295.0),
            p_tuple("t", [p_int("l", 1660579478)]),
        ]
        self.assertEqual(hash("owQaZS") & 0xffffffff, 0xffffffff)
        for p in cases:
            self.assertEqual(digestra.hash(p), -2, repr(p))
            self.assertEqual(digestra.case_hash(p), -2 if p[0] != "s" else
                             narrow(hash("owqazs")), repr(p))

    def test_bytes_after_the_first_value_are_ignored(self):
        for p, tail in [("i\x07", "i\x08"), ("N", "garbage"), ("t\x01i\x01", "z"),
                        ("s\x01a", "\xff\xff")]:
            self.assertEqual(digestra.hash(p + tail), digestra.hash(p), repr(p + tail))


class EveryForm(unittest.TestCase):
    def test_short_and_long_forms_hash_their_value(self):
        ints = [0, 1, 7, 255, -1, -2, -32768, 32767, 2 ** 31 - 1, -2 ** 31]
        cases = [(p_int("i", n), n) for n in ints if 0 <= n <= 255]
        cases += [(p_int("I", n), n) for n in ints if -32768 <= n <= 32767]
        cases += [(p_int("l", n), n) for n in ints]
        longs = [0L, 1L, -1L, 2L ** 32 - 1, -2L ** 63, 2L ** 64, 3L ** 1000]
        cases += [(p_long(code, v), v) for code in "LM" for v in longs]
        cases += [("M\x00\x00\x00\x08" + struct.pack("<q", 5), 5L)]  # padded long form
        cases += [(p_float(v), v) for v in [0.0, -1.0, 2.5, 1e-300, float("inf")]]
        strs = ["", "a", "abc", "\x00\x80\xff", "x" * 255]
        cases += [("'", "")] + [(p_str(code, s), s) for code in "sS" for s in strs]
        cases += [(p_str("S", "y" * 70000), "y" * 70000)]
        items = [(p_int("i", 1), 1), (p_str("s", "ab"), "ab"), ("N", None), (")", ())]
        for code in "tT":
            cases.append((p_tuple(code, [p for p, _ in items]), tuple(v for _, v in items)))
            cases.append((p_tuple(code, [p_tuple("T", [p_int("I", -1)])]), ((-1,),)))
        for p, value in cases:
            self.assertEqual(digestra.hash(p), expected(value), (p[:20], value))

    def test_folding_touches_only_A_to_Z(self):
        for s in ["@[`{", "AZaz", "\xc0\xc1\xde\xdf", "no capitals here", "MiXeD \xc9T\xc9"]:
            p = p_str("s", s)
            self.assertEqual(digestra.case_hash(p), narrow(hash(s.translate(FOLD))), repr(s))
        self.assertNotEqual(digestra.case_hash(p_str("s", "\xc0")),
                            digestra.hash(p_str("s", "\xe0")))

    def test_tuple_count_zero_reads_no_element(self):
        self.assertEqual(digestra.hash("T\x00\x00\x00\x00z"), narrow(TUPLE_SEED))


class Failures(unittest.TestCase):
    def check(self, func, p, exc, args=None):
        try:
            func(p)
        except exc:
            if args is not None:
                self.assertEqual(sys.exc_info()[1].args, args, repr(p))
        else:
            self.fail("%s(%r) raised nothing" % (func.__name__, p))
        # The reader is reloaded by every call: a failure leaves nothing behind.
        self.assertEqual(func("t\x01i\x07"), tuple_model([7]))

    def test_lists_dicts_and_user_objects_are_not_implemented(self):
        refused = [
            "]", "c", "c\x00", "C\x00\x00\x00\x01i\x01", "}", "d", "d\x00",
            "D\x00\x00\x00\x00", "X", "X\x00\x00\x00\x00",
            "t\x02i\x01]", "T\x00\x00\x00\x02c\x00i\x01", "t\x01t\x02s\x01ad\x00", "t\x01X",
        ]
        for p in refused:
            for func in (digestra.hash, digestra.case_hash):
                self.check(func, p, NotImplementedError, ())

    def test_unknown_codes_raise_unpack_key_error(self):
        cases = [("z", 122), ("\xc8", -56), ("\xff", -1), ("\x00", 0), ("t\x02i\x01z", 122),
                 ("t\x01t\x01\x80", -128)]
        for p, code in cases:
            self.check(digestra.hash, p, parcel.UnpackKeyError, (code,))

    def test_truncated_parcels_raise_the_readers_error(self):
        truncated = ["", "i", "I\x00", "l\x00\x00\x00", "L\x02\x01", "M\x00\x00\x00\x05ab",
                     "f\x00\x00", "s\x05ab", "S\x00\x00\x00\x05ab", "S\x00\x00", "t", "t\x02i\x01",
                     "T\x00\x00\x00\x02", "T\x00\x01", "t\x01t\x01s"]
        for p in truncated:
            self.check(digestra.case_hash, p, parcel.UnpackError)

    def test_negative_counts_are_refused_as_unpack_refuses_them(self):
        cases = [("T\xff\xff\xff\xff", "negative count -1 at offset 1"),
                 ("T\xff\xff\xff\xfb", "negative count -5 at offset 1"),
                 ("T\x80\x00\x00\x00", "negative count -2147483648 at offset 1"),
                 ("t\x02i\x01T\xff\xff\xff\xfe", "negative count -2 at offset 5")]
        for p, message in cases:
            for func in (digestra.hash, digestra.case_hash):
                self.check(func, p, parcel.UnpackError, (message,))
            if p[0] == "T":
                self.assertRaises(parcel.UnpackError, parcel.unpack, p)

    def test_argument_errors(self):
        cases = [
            (digestra.hash, (), {}, "hash() takes exactly one argument (0 given)"),
            (digestra.hash, ("N", "N"), {}, "hash() takes exactly one argument (2 given)"),
            (digestra.case_hash, (), {}, "case_hash() takes exactly one argument (0 given)"),
            (digestra.hash, (), {"a": "N"}, "hash() takes no keyword arguments"),
        ]
        assert_type_errors(self, cases)

    def test_non_string_argument_fails_in_the_reader(self):
        for value in [None, 7, u"N", ["N"]]:
            self.assertRaises(TypeError, digestra.hash, value)
        self.assertEqual(digestra.hash("i\x07"), 7)

    def test_traceback_names_each_failing_step(self):
        def steps(func, p):
            try:
                func(p)
            except Exception:
                tb = traceback.extract_tb(sys.exc_info()[2])
            else:
                self.fail("no failure for %r" % p)
            native = [entry for entry in tb if entry[0] == "digestra.cpp"]
            for filename, line, name, _ in native:
                self.assertTrue(name.endswith(" (digestra.cpp:%d)" % line), name)
            return [name.split(" (")[0] for _, _, name, _ in native]

        top = ["orvex.digestra.hash", "orvex.digestra.Digestra.hash",
               "orvex.digestra.Digestra._hash"]
        nested = top + ["orvex.digestra.Digestra._hash_tuple", "orvex.digestra.Digestra._hash"]
        self.assertEqual(steps(digestra.hash, "z"), top)
        self.assertEqual(steps(digestra.hash, "]"), top)
        self.assertEqual(steps(digestra.hash, "i"), top)
        self.assertEqual(steps(digestra.hash, "t\x02i\x01z"), nested)
        # Nesting depth adds no entries.
        self.assertEqual(steps(digestra.hash, "t\x01" * 5000 + "z"), nested)
        self.assertEqual(steps(digestra.case_hash, "t\x01]")[0], "orvex.digestra.case_hash")

    def test_unpack_key_error_is_taken_from_the_parcel_module_when_raised(self):
        original = parcel.UnpackKeyError
        calls = []

        class Replacement(Exception):
            def __init__(self, code):
                Exception.__init__(self, code)
                # A hash from inside the failing one must not disturb it.
                calls.append(digestra.hash("i\x05"))

        def broken(code):
            raise RuntimeError("cannot build %d" % code)

        try:
            parcel.UnpackKeyError = Replacement
            self.assertRaises(Replacement, digestra.hash, "t\x02i\x01z")
            self.assertEqual(calls, [5])
            parcel.UnpackKeyError = broken
            self.assertRaises(RuntimeError, digestra.hash, "z")
        finally:
            parcel.UnpackKeyError = original
        self.assertEqual(digestra.hash("i\x08"), 8)


def first_nested(depth):
    """A parcel of 2-tuples nested `depth` deep through their first element,
    and its hash. The nested element comes first so that every level
    multiplies the inner hash (a last element is only xor-ed in)."""
    p = "t\x02" * depth + "s\x03ABC" + "i\x05" * depth
    h = narrow(hash("ABC"))
    low = TUPLE_SEED * MULTIPLIER & MASK64
    for _ in range(depth):
        h = narrow(((((low ^ (h & MASK64)) * MULTIPLIER) & MASK64) ^ 5) ^ 2)
    return p, h


DEEP = 10 ** 6
DEEP_FIRST = first_nested(DEEP)


class DeepNesting(unittest.TestCase):
    def cases(self):
        one_tuple = tuple_model([1])
        # An even number of 1-tuples cancels out: only DEEP_FIRST shows that
        # every level is mixed in the right order.
        return [("t\x01" * DEEP + "i\x01", 1),
                ("t\x01" * (DEEP + 1) + "i\x01", one_tuple),
                ("T\x00\x00\x00\x01" * DEEP + "i\x01", 1),
                DEEP_FIRST]

    def test_matches_the_recursive_definition(self):
        for depth in [1, 2, 50]:
            p, h = first_nested(depth)
            self.assertEqual(digestra.hash(p), h, depth)
            nested = ("ABC", 5)
            for _ in range(depth - 1):
                nested = (nested, 5)
            self.assertEqual(h, expected(nested))

    def test_a_million_levels(self):
        for p, h in self.cases():
            self.assertEqual(digestra.hash(p), h)
        p, _ = DEEP_FIRST
        self.assertEqual(digestra.case_hash(p), digestra.hash(p.replace("ABC", "abc")))

    def test_a_million_levels_on_a_small_stack(self):
        results = on_small_stack(lambda: [digestra.hash(p) for p, _ in self.cases()], 256 * 1024)
        self.assertEqual(results, [h for _, h in self.cases()])

    def test_deep_failures_are_clean(self):
        self.assertRaises(parcel.UnpackKeyError, digestra.hash, "t\x01" * DEEP + "z")
        self.assertRaises(NotImplementedError, digestra.hash, "t\x01" * DEEP + "]")
        self.assertRaises(parcel.UnpackError, digestra.hash, "t\x01" * DEEP)
        self.assertRaises(parcel.UnpackError, digestra.hash, "t\x02" * DEEP + "i\x01")


class TheModule(unittest.TestCase):
    def test_docstrings_and_attributes(self):
        self.assertEqual(digestra.__doc__,
                         "Parcel hash routines.\n\nThis module implements a `hash` function that "
                         "can be used to hash a parcel\nstring. It uses hashing routines identical "
                         "to Python.  It also supports\ncase-insensitive string hashing by "
                         "treating all strings as lowercase with\nthe `case_hash` function.\n")
        self.assertEqual(digestra.hash.__doc__,
                         "Hash a parcel string.\n\n    :Parameters:\n        - `a`: A parcel "
                         "string.\n\n    :Return:\n        Returns the hash of the string as an "
                         "integer.\n    ")
        self.assertEqual(digestra.case_hash.__doc__,
                         "Hash a parcel string case-insensitively.\n\n    :Parameters:\n        "
                         "- `a`: A parcel string.\n\n    :Return:\n        Returns the hash of "
                         "the string as an integer.\n    ")
        self.assertEqual(digestra.__test__, {})
        for func in (digestra.hash, digestra.case_hash):
            self.assertEqual(func.__module__, "orvex.digestra")
        self.assertFalse(hasattr(digestra, "_digestra_singleton"))
        self.assertEqual(type(digestra.hash("i\x01")), int)

    def test_digestra_class(self):
        cls = digestra.Digestra
        self.assertEqual((cls.__module__, cls.__name__), ("orvex.digestra", "Digestra"))
        self.assertTrue(cls.__doc__ is None)
        self.assertEqual(type(cls.__dict__["__pyx_vtable__"]).__name__, "PyCObject")
        made = cls(1, "two", three=3)
        readers = [r for r in gc.get_referents(made) if isinstance(r, parcel.Unpacker)]
        self.assertEqual(len(readers), 1)

        class Sub(cls):
            pass

        sub = Sub("ignored")
        sub.me = sub  # a cycle the collector must be able to break
        self.assertTrue([r for r in gc.get_referents(sub) if isinstance(r, parcel.Unpacker)])
        gone = weakref.ref(sub)
        del sub
        gc.collect()
        self.assertTrue(gone() is None)

    def test_failed_import_leaves_no_module(self):
        # Each child replaces a piece that the import needs, then imports.
        script = """
import sys, traceback, types
%s
try:
    import orvex.digestra
except Exception:
    e = sys.exc_info()
    print("%%s: %%s" %% (e[0].__name__, e[1]))
    print(traceback.extract_tb(e[2])[-1][2].split(" (")[0])
    print("orvex.digestra" in sys.modules)
"""
        fake = ("import orvex.parcel as real; fake = types.ModuleType('orvex.parcel');"
                " fake.Packer = %s; fake.Unpacker = %s; sys.modules['orvex.parcel'] = fake")
        cases = [
            (fake % ("5", "real.Unpacker"), "TypeError: orvex.parcel.Packer is not a type object"),
            (fake % ("real.Packer", "int"),
             "ValueError: orvex.parcel.Unpacker has the wrong size, try recompiling"),
            (fake % ("5", "int"), "TypeError: orvex.parcel.Packer is not a type object"),
            ("import __builtin__; del __builtin__.NotImplementedError",
             "NameError: NotImplementedError"),
        ]
        for setup, message in cases:
            child = subprocess.Popen([sys.executable, "-c", script % setup],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = child.communicate()
            self.assertEqual(out.splitlines(), [message, "init orvex.digestra", "False"],
                             (setup, out, err))


if __name__ == "__main__":
    unittest.main()
