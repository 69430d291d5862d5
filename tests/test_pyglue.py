"""The shared native helpers, through the test-only module _pyglue_probe."""
import random
import struct
import sys
import traceback
import unittest
import warnings

import _pyglue_probe as probe
from helpers import assert_type_errors, runtime_version
from py2_hashes import EDGES, py2_hash


class ArgumentBinding(unittest.TestCase):
    def test_binds_positions_and_keywords(self):
        cases = [
            ((1, 2), {}, (1, 2, None)),
            ((1, 2, 3), {}, (1, 2, 3)),
            ((1,), {"b": 2}, (1, 2, None)),
            ((), {"b": 2, "a": 1, "c": 3}, (1, 2, 3)),
        ]
        for args, kwds, expected in cases:
            self.assertEqual(probe.bind(*args, **kwds), expected)

    def test_interpreter_wording(self):
        # Keywords are the interpreter's str; the other string type (unicode
        # on 2, bytes on 3) is refused.
        other_string_key = u"b" if bytes is str else b"b"
        cases = [
            (probe.bind_exact, (1,), {}, "bind_exact() takes exactly 2 positional arguments (1 given)"),
            (probe.bind_exact, (1, 2, 3), {}, "bind_exact() takes exactly 2 positional arguments (3 given)"),
            (probe.bind_exact, (), {"b": 1}, "bind_exact() takes exactly 2 positional arguments (0 given)"),
            (probe.bind, (1,), {}, "bind() takes at least 2 positional arguments (1 given)"),
            (probe.bind, (1, 2, 3, 4), {}, "bind() takes at most 3 positional arguments (4 given)"),
            (probe.bind, (1, 2), {"a": 1}, "bind() got multiple values for keyword argument 'a'"),
            (probe.bind, (1, 2), {"d": 1}, "bind() got an unexpected keyword argument 'd'"),
            (probe.bind_exact, (1, 2), {other_string_key: 1}, "bind_exact() keywords must be strings"),
        ]
        assert_type_errors(self, cases)

    def test_exact_type_check_lets_none_through(self):
        # The probe asks for exactly bytes: str on 2.
        self.assertTrue(probe.type_test(b"abc", "data"))
        self.assertTrue(probe.type_test(None, "data"))
        class Sub(bytes):
            pass
        for value, got in [(u"abc", type(u"").__name__), (Sub(b"x"), "Sub"), (3, "int")]:
            try:
                probe.type_test(value, "data")
            except TypeError:
                self.assertEqual(str(sys.exc_info()[1]),
                                 "Argument 'data' has incorrect type (expected %s, got %s)"
                                 % (bytes.__name__, got))
            else:
                self.fail("accepted %r" % (value,))


class TracebackEntries(unittest.TestCase):
    def test_entry_names_step_and_native_line(self):
        try:
            probe.fail_with_traceback()
        except ValueError:
            error, entries = sys.exc_info()[1], traceback.extract_tb(sys.exc_info()[2])
        self.assertEqual(str(error), "probe failure")
        filename, line, name, _ = entries[-1]
        self.assertEqual(filename, "_pyglue_probe.cpp")
        self.assertTrue(line > 0)
        self.assertEqual(name, "orvex.probe.step (_pyglue_probe.cpp:%d)" % line)


class ImportedTypes(unittest.TestCase):
    def check(self, args, exc, message):
        try:
            probe.import_type(*args)
        except exc:
            self.assertEqual(str(sys.exc_info()[1]), message)
        else:
            self.fail("imported %r" % (args,))

    def test_import_checks(self):
        builtins = ValueError.__module__
        self.check(("os", "sep", 0), TypeError, "os.sep is not a type object")
        self.check((builtins, "ValueError", 1), ValueError,
                   "%s.ValueError has the wrong size, try recompiling" % builtins)
        self.check((builtins, "ValueError", ValueError.__basicsize__), RuntimeError,
                   "invalid vtable found for imported type")


class Globals(unittest.TestCase):
    def test_module_then_builtins_then_name_error(self):
        probe.marker = 42
        try:
            self.assertEqual(probe.get_global("marker"), 42)
        finally:
            del probe.marker
        self.assertTrue(probe.get_global("len") is len)
        try:
            probe.get_global("no_such_name_anywhere")
        except NameError:
            self.assertEqual(sys.exc_info()[1].args, ("no_such_name_anywhere",))
        else:
            self.fail("no NameError")

    def test_raise_call_raises_the_instance_or_the_call_failure(self):
        self.assertRaises(KeyError, probe.raise_call, KeyError, (1,))
        try:
            probe.raise_call(KeyError, (1,))
        except KeyError:
            self.assertEqual(sys.exc_info()[1].args, (1,))
        self.assertRaises(TypeError, probe.raise_call, int, ("x", "y", "z"))


class VersionCheck(unittest.TestCase):
    def test_warns_on_other_major_minor(self):
        runtime = runtime_version()
        self.assertEqual(probe.compiled_version, runtime)
        # Another version, and look-alikes that share the first three
        # characters with it (3.1 for 3.11, 2.71 for 2.7).
        others = ["2.6" if runtime != "2.6" else "2.7", runtime + "1"]
        if runtime[:3] != runtime:
            others.append(runtime[:3])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            probe.version_check(runtime)
            for other in others:
                probe.version_check(other)
        self.assertEqual([str(w.message) for w in caught],
                         ["compiletime version %s of module 'orvex.probe' does not match "
                          "runtime version %s" % (other, runtime) for other in others])


class Python2Hash(unittest.TestCase):
    def test_edge_values_hash_as_python_2_7_does(self):
        for value, want in EDGES:
            self.assertEqual(probe.py2_hash(value), want, repr(value))

    def test_random_numbers(self):
        # Longs of every size up to thousands of bits, near multiples of
        # 2**64 - 1, and doubles of any bit pattern (NaNs and denormals too).
        rng = random.Random(7)
        ones = 2 ** 64 - 1
        for _ in range(3000):
            sign = rng.choice([1, -1])
            values = [
                sign * rng.getrandbits(rng.randrange(1, 5000)),
                sign * (ones * rng.getrandbits(rng.randrange(1, 300)) + rng.randrange(-2, 3)),
                struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0],
                sign * float(rng.getrandbits(53)) * 2.0 ** rng.randrange(-80, 970),
            ]
            for value in values:
                self.assertEqual(probe.py2_hash(value), py2_hash(value), repr(value))

    def test_failure_is_the_interpreters(self):
        self.assertRaises(TypeError, probe.py2_hash, [])


if __name__ == "__main__":
    unittest.main()
