"""orvex.digestra: hashes of parcel strings, checked against Python 2's hash
of the decoded value and against a model of the tuple scheme. Python 2's hash
is the interpreter's own there (so run it without hash randomization) and
py2_hashes' model of it on Python 3. Parcels and their strings are bytes (str
on 2)."""
import gc
import os
import random
import struct
import subprocess
import sys
import traceback
import unittest
import weakref

from orvex import digestra, parcel
from helpers import assert_type_errors, on_small_stack
from py2_hashes import EDGES, py2_hash

try:
    import __builtin__ as builtins
except ImportError:
    import builtins

MULTIPLIER = 1000003
TUPLE_SEED = 0x345678
MASK64 = (1 << 64) - 1
LONG = type(2 ** 64)  # long on 2, int on 3


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


def byte(n):
    """The one-byte string of byte value n."""
    return bytes(bytearray([n]))


# Only 'A'..'Z' fold; str.lower() would follow the locale.
FOLD = bytes(bytearray(c + 32 if 65 <= c <= 90 else c for c in range(256)))


def expected(value, fold=False):
    """The hash digestra must give for `value`."""
    if isinstance(value, tuple):
        return tuple_model([expected(v, fold) for v in value])
    if value is None:
        return NONE_HASH
    if fold and isinstance(value, bytes):
        value = value.translate(FOLD)
    return narrow(py2_hash(value))


# Hand-made parcels, every form of every code (docs/parcel-format.md).
def p_int(code, n):
    return code + struct.pack({b"i": ">B", b"I": ">h", b"l": ">i"}[code], n)


def long_bytes(v):
    """Two's complement, little-endian, in the fewest bytes (none for 0)."""
    n = 1 if v else 0
    while v and not -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
        n += 1
    return bytes(bytearray((v >> (8 * i)) & 0xff for i in range(n)))


def p_long(code, v):
    b = long_bytes(v)
    return code + (byte(len(b)) if code == b"L" else struct.pack(">i", len(b))) + b


def p_float(v):
    return b"f" + struct.pack(">d", v)


def p_str(code, s):
    return code + (byte(len(s)) if code == b"s" else struct.pack(">i", len(s))) + s


def p_tuple(code, parcels):
    count = byte(len(parcels)) if code == b"t" else struct.pack(">i", len(parcels))
    return code + count + b"".join(parcels)


def random_scalar(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice([0, 1, -1, -2, 255, 256, -32768, 32767, 2 ** 31 - 1, -2 ** 31,
                           rng.randint(-2 ** 31, 2 ** 31 - 1)])
    if kind == 2:
        fixed = [LONG(v) for v in (0, -1, 2 ** 31, -2 ** 31 - 1, 2 ** 32 - 1, 2 ** 63, -2 ** 64)]
        return rng.choice(fixed + [rng.randint(-2 ** 70, 2 ** 70),
                                   rng.randint(0, 2 ** 2100) - 2 ** 2099])
    if kind == 3:
        return rng.choice([0.0, -0.0, -1.0, 1.5, 4294967295.0, 1e300, float("inf"),
                           float("-inf"), float("nan"), rng.uniform(-1e6, 1e6)])
    n = rng.choice([0, 1, 3, 40, 255, 256, 300])
    return bytes(bytearray(rng.randrange(256) for _ in range(n)))


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
    if isinstance(value, bytes):
        return bytes(bytearray(c - 32 if 97 <= c <= 122 and c % 2 else c
                               for c in bytearray(value)))
    return value


class AgainstTheInterpreter(unittest.TestCase):
    def test_scalars_hash_as_the_interpreter_does(self):
        rng = random.Random(4)
        for _ in range(600):
            value = random_scalar(rng)
            p = parcel.pack(value)
            want = NONE_HASH if value is None else narrow(py2_hash(value))
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
        # or another PYTHONHASHSEED the interpreter's own str hash changes
        # (Python 3 randomises it by default), the module's does not.
        script = ("from orvex import digestra, parcel\n"
                  "print([digestra.hash(parcel.pack((b'abc', b'x' * 40))), hash(b'abc')])\n")
        runs = []
        for seed in ["1", "2"]:
            child = subprocess.Popen([sys.executable, "-R", "-c", script], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE,
                                     env=dict(os.environ, PYTHONHASHSEED=seed))
            out, err = child.communicate()
            self.assertEqual(child.returncode, 0, err)
            runs.append(eval(out))
        ours = digestra.hash(parcel.pack((b"abc", b"x" * 40)))
        self.assertEqual([runs[0][0], runs[1][0]], [ours, ours])
        self.assertNotEqual(runs[0][1], runs[1][1])

    def test_known_values(self):
        cases = [
            (b"s\x03abc", digestra.hash, -1600925533),
            (b"s\x03ABC", digestra.hash, 826005955),
            (b"s\x03ABC", digestra.case_hash, -1600925533),
            (b"S\x00\x00\x00\x03ABC", digestra.case_hash, -1600925533),
            (b"s\x03abc", digestra.case_hash, -1600925533),
            (b")", digestra.hash, 3430008),
            (b"t\x00", digestra.hash, 3430008),
            (b"T\x00\x00\x00\x00", digestra.hash, 3430008),
            (b"t\x02i\x01i\x02", digestra.hash, 219750523),
            (b"t\x01s\x03ABC", digestra.case_hash, digestra.hash(b"t\x01s\x03abc")),
            (b"1", digestra.hash, 1),
            (b"0", digestra.hash, 0),
            (b"i\x07", digestra.hash, 7),
            (b"I\xff\xff", digestra.hash, -2),
            (b"I\xff\xfe", digestra.hash, -2),
            (b"'", digestra.hash, 0),
            (b"s\x00", digestra.hash, 0),
            (b"S\x00\x00\x00\x00", digestra.case_hash, 0),
            (b"N", digestra.hash, NONE_HASH),
            (b"N", digestra.case_hash, NONE_HASH),
        ]
        for p, func, want in cases:
            self.assertEqual(func(p), want, (p, func.__name__))

    def test_low_32_bits_all_set_give_minus_two(self):
        # Each value's 64-bit hash ends in 0xffffffff (the string and the
        # tuple element were found by search) without being -1 itself.
        cases = [
            p_str(b"s", b"owQaZS"),
            p_long(b"L", 2 ** 32 - 1),
            p_long(b"M", 2 ** 32 - 1),
            p_float(4294967295.0),
            p_tuple(b"t", [p_int(b"l", 1660579478)]),
        ]
        self.assertEqual(py2_hash(b"owQaZS") & 0xffffffff, 0xffffffff)
        for p in cases:
            self.assertEqual(digestra.hash(p), -2, repr(p))
            self.assertEqual(digestra.case_hash(p), -2 if p[:1] != b"s" else
                             narrow(py2_hash(b"owqazs")), repr(p))

    def test_bytes_after_the_first_value_are_ignored(self):
        for p, tail in [(b"i\x07", b"i\x08"), (b"N", b"garbage"), (b"t\x01i\x01", b"z"),
                        (b"s\x01a", b"\xff\xff")]:
            self.assertEqual(digestra.hash(p + tail), digestra.hash(p), repr(p + tail))


class EveryForm(unittest.TestCase):
    def test_short_and_long_forms_hash_their_value(self):
        ints = [0, 1, 7, 255, -1, -2, -32768, 32767, 2 ** 31 - 1, -2 ** 31]
        cases = [(p_int(b"i", n), n) for n in ints if 0 <= n <= 255]
        cases += [(p_int(b"I", n), n) for n in ints if -32768 <= n <= 32767]
        cases += [(p_int(b"l", n), n) for n in ints]
        longs = [LONG(v) for v in [0, 1, -1, 2 ** 32 - 1, -2 ** 63, 2 ** 64, 3 ** 1000]]
        cases += [(p_long(code, v), v) for code in [b"L", b"M"] for v in longs]
        cases += [(b"M\x00\x00\x00\x08" + struct.pack("<q", 5), LONG(5))]  # padded long form
        cases += [(p_float(v), v) for v in [0.0, -1.0, 2.5, 1e-300, float("inf")]]
        strs = [b"", b"a", b"abc", b"\x00\x80\xff", b"x" * 255]
        cases += [(b"'", b"")] + [(p_str(code, s), s) for code in [b"s", b"S"] for s in strs]
        cases += [(p_str(b"S", b"y" * 70000), b"y" * 70000)]
        items = [(p_int(b"i", 1), 1), (p_str(b"s", b"ab"), b"ab"), (b"N", None), (b")", ())]
        for code in [b"t", b"T"]:
            cases.append((p_tuple(code, [p for p, _ in items]), tuple(v for _, v in items)))
            cases.append((p_tuple(code, [p_tuple(b"T", [p_int(b"I", -1)])]), ((-1,),)))
        for p, value in cases:
            self.assertEqual(digestra.hash(p), expected(value), (p[:20], value))

    def test_folding_touches_only_A_to_Z(self):
        for s in [b"@[`{", b"AZaz", b"\xc0\xc1\xde\xdf", b"no capitals here", b"MiXeD \xc9T\xc9"]:
            p = p_str(b"s", s)
            self.assertEqual(digestra.case_hash(p), narrow(py2_hash(s.translate(FOLD))), repr(s))
        self.assertNotEqual(digestra.case_hash(p_str(b"s", b"\xc0")),
                            digestra.hash(p_str(b"s", b"\xe0")))

    def test_tuple_count_zero_reads_no_element(self):
        self.assertEqual(digestra.hash(b"T\x00\x00\x00\x00z"), narrow(TUPLE_SEED))


class Python2Numbers(unittest.TestCase):
    def test_edge_values_hash_as_the_2_7_interpreter_does(self):
        # EDGES holds the 2.7 interpreter's hash of each value; digestra must
        # give it narrowed, whichever form the parcel takes. The same table
        # vouches for py2_hash, which the other tests take as Python 2's hash.
        for value, full in EDGES:
            self.assertEqual(py2_hash(value), full, repr(value))
            forms = [parcel.pack(value)]
            if isinstance(value, float):
                forms.append(p_float(value))
            else:
                forms.append(p_long(b"M", value))
                if len(long_bytes(value)) < 256:
                    forms.append(p_long(b"L", value))
            for p in forms:
                for func in (digestra.hash, digestra.case_hash):
                    self.assertEqual(func(p), narrow(full), (func.__name__, value, p[:12]))


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
        self.assertEqual(func(b"t\x01i\x07"), tuple_model([7]))

    def test_lists_dicts_and_user_objects_are_not_implemented(self):
        refused = [
            b"]", b"c", b"c\x00", b"C\x00\x00\x00\x01i\x01", b"}", b"d", b"d\x00",
            b"D\x00\x00\x00\x00", b"X", b"X\x00\x00\x00\x00",
            b"t\x02i\x01]", b"T\x00\x00\x00\x02c\x00i\x01", b"t\x01t\x02s\x01ad\x00", b"t\x01X",
        ]
        for p in refused:
            for func in (digestra.hash, digestra.case_hash):
                self.check(func, p, NotImplementedError, ())

    def test_unknown_codes_raise_unpack_key_error(self):
        cases = [(b"z", 122), (b"\xc8", -56), (b"\xff", -1), (b"\x00", 0), (b"t\x02i\x01z", 122),
                 (b"t\x01t\x01\x80", -128)]
        for p, code in cases:
            self.check(digestra.hash, p, parcel.UnpackKeyError, (code,))

    def test_truncated_parcels_raise_the_readers_error(self):
        truncated = [b"", b"i", b"I\x00", b"l\x00\x00\x00", b"L\x02\x01", b"M\x00\x00\x00\x05ab",
                     b"f\x00\x00", b"s\x05ab", b"S\x00\x00\x00\x05ab", b"S\x00\x00", b"t",
                     b"t\x02i\x01",
                     b"T\x00\x00\x00\x02", b"T\x00\x01", b"t\x01t\x01s"]
        for p in truncated:
            self.check(digestra.case_hash, p, parcel.UnpackError)

    def test_negative_counts_are_refused_as_unpack_refuses_them(self):
        cases = [(b"T\xff\xff\xff\xff", "negative count -1 at offset 1"),
                 (b"T\xff\xff\xff\xfb", "negative count -5 at offset 1"),
                 (b"T\x80\x00\x00\x00", "negative count -2147483648 at offset 1"),
                 (b"t\x02i\x01T\xff\xff\xff\xfe", "negative count -2 at offset 5")]
        for p, message in cases:
            for func in (digestra.hash, digestra.case_hash):
                self.check(func, p, parcel.UnpackError, (message,))
            if p[:1] == b"T":
                self.assertRaises(parcel.UnpackError, parcel.unpack, p)

    def test_argument_errors(self):
        # The interpreter's messages: Python 3 names the function with its module.
        where = "" if bytes is str else "orvex.digestra."
        cases = [
            (digestra.hash, (), {}, where + "hash() takes exactly one argument (0 given)"),
            (digestra.hash, (b"N", b"N"), {}, where + "hash() takes exactly one argument (2 given)"),
            (digestra.case_hash, (), {}, where + "case_hash() takes exactly one argument (0 given)"),
            (digestra.hash, (), {"a": b"N"}, where + "hash() takes no keyword arguments"),
        ]
        assert_type_errors(self, cases)

    def test_non_string_argument_fails_in_the_reader(self):
        for value in [None, 7, u"N", [b"N"]]:
            self.assertRaises(TypeError, digestra.hash, value)
        self.assertEqual(digestra.hash(b"i\x07"), 7)

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
        self.assertEqual(steps(digestra.hash, b"z"), top)
        self.assertEqual(steps(digestra.hash, b"]"), top)
        self.assertEqual(steps(digestra.hash, b"i"), top)
        self.assertEqual(steps(digestra.hash, b"t\x02i\x01z"), nested)
        # Nesting depth adds no entries.
        self.assertEqual(steps(digestra.hash, b"t\x01" * 5000 + b"z"), nested)
        self.assertEqual(steps(digestra.case_hash, b"t\x01]")[0], "orvex.digestra.case_hash")

    def test_unpack_key_error_is_taken_from_the_parcel_module_when_raised(self):
        original = parcel.UnpackKeyError
        calls = []

        class Replacement(Exception):
            def __init__(self, code):
                Exception.__init__(self, code)
                # A hash from inside the failing one must not disturb it.
                calls.append(digestra.hash(b"i\x05"))

        def broken(code):
            raise RuntimeError("cannot build %d" % code)

        try:
            parcel.UnpackKeyError = Replacement
            self.assertRaises(Replacement, digestra.hash, b"t\x02i\x01z")
            self.assertEqual(calls, [5])
            parcel.UnpackKeyError = broken
            self.assertRaises(RuntimeError, digestra.hash, b"z")
        finally:
            parcel.UnpackKeyError = original
        self.assertEqual(digestra.hash(b"i\x08"), 8)


def first_nested(depth):
    """A parcel of 2-tuples nested `depth` deep through their first element,
    and its hash. The nested element comes first so that every level
    multiplies the inner hash (a last element is only xor-ed in)."""
    p = b"t\x02" * depth + b"s\x03ABC" + b"i\x05" * depth
    h = narrow(py2_hash(b"ABC"))
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
        return [(b"t\x01" * DEEP + b"i\x01", 1),
                (b"t\x01" * (DEEP + 1) + b"i\x01", one_tuple),
                (b"T\x00\x00\x00\x01" * DEEP + b"i\x01", 1),
                DEEP_FIRST]

    def test_matches_the_recursive_definition(self):
        for depth in [1, 2, 50]:
            p, h = first_nested(depth)
            self.assertEqual(digestra.hash(p), h, depth)
            nested = (b"ABC", 5)
            for _ in range(depth - 1):
                nested = (nested, 5)
            self.assertEqual(h, expected(nested))

    def test_a_million_levels(self):
        for p, h in self.cases():
            self.assertEqual(digestra.hash(p), h)
        p, _ = DEEP_FIRST
        self.assertEqual(digestra.case_hash(p), digestra.hash(p.replace(b"ABC", b"abc")))

    def test_a_million_levels_on_a_small_stack(self):
        results = on_small_stack(lambda: [digestra.hash(p) for p, _ in self.cases()], 256 * 1024)
        self.assertEqual(results, [h for _, h in self.cases()])

    def test_deep_failures_are_clean(self):
        self.assertRaises(parcel.UnpackKeyError, digestra.hash, b"t\x01" * DEEP + b"z")
        self.assertRaises(NotImplementedError, digestra.hash, b"t\x01" * DEEP + b"]")
        self.assertRaises(parcel.UnpackError, digestra.hash, b"t\x01" * DEEP)
        self.assertRaises(parcel.UnpackError, digestra.hash, b"t\x02" * DEEP + b"i\x01")


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
        self.assertEqual(type(digestra.hash(b"i\x01b")), int)

    def test_digestra_class(self):
        cls = digestra.Digestra
        self.assertEqual((cls.__module__, cls.__name__), ("orvex.digestra", "Digestra"))
        self.assertTrue(cls.__doc__ is None)
        wrapper = "PyCObject" if bytes is str else "PyCapsule"
        self.assertEqual(type(cls.__dict__["__pyx_vtable__"]).__name__, wrapper)
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
            ("import %s as builtins; del builtins.NotImplementedError" % builtins.__name__,
             "NameError: NotImplementedError"),
        ]
        for setup, message in cases:
            child = subprocess.Popen([sys.executable, "-c", script % setup],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     universal_newlines=True)
            out, err = child.communicate()
            self.assertEqual(out.splitlines(), [message, "init orvex.digestra", "False"],
                             (setup, out, err))


if __name__ == "__main__":
    unittest.main()
