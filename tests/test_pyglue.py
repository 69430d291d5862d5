"""The shared native helpers, through the test-only module _pyglue_probe."""
import sys
import traceback
import unittest
import warnings

import _pyglue_probe as probe
from helpers import assert_type_errors


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
        cases = [
            (probe.bind_exact, (1,), {}, "bind_exact() takes exactly 2 positional arguments (1 given)"),
            (probe.bind_exact, (1, 2, 3), {}, "bind_exact() takes exactly 2 positional arguments (3 given)"),
            (probe.bind_exact, (), {"b": 1}, "bind_exact() takes exactly 2 positional arguments (0 given)"),
            (probe.bind, (1,), {}, "bind() takes at least 2 positional arguments (1 given)"),
            (probe.bind, (1, 2, 3, 4), {}, "bind() takes at most 3 positional arguments (4 given)"),
            (probe.bind, (1, 2), {"a": 1}, "bind() got multiple values for keyword argument 'a'"),
            (probe.bind, (1, 2), {"d": 1}, "bind() got an unexpected keyword argument 'd'"),
            (probe.bind_exact, (1, 2), {u"b": 1}, "bind_exact() keywords must be strings"),
        ]
        assert_type_errors(self, cases)

    def test_exact_type_check_lets_none_through(self):
        self.assertTrue(probe.type_test("abc", "data"))
        self.assertTrue(probe.type_test(None, "data"))
        class Sub(str):
            pass
        for value, got in [(u"abc", "unicode"), (Sub("x"), "Sub"), (3, "int")]:
            try:
                probe.type_test(value, "data")
            except TypeError:
                self.assertEqual(str(sys.exc_info()[1]),
                                 "Argument 'data' has incorrect type (expected str, got %s)" % got)
            else:
                self.fail("accepted %r" % (value,))


class TracebackEntries(unittest.TestCase):
    def test_entry_names_step_and_native_line(self):
        try:
            probe.fail_with_traceback()
        except ValueError:
            entries = traceback.extract_tb(sys.exc_info()[2])
        self.assertEqual(str(sys.exc_info()[1]), "probe failure")
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
        self.check(("os", "sep", 0), TypeError, "os.sep is not a type object")
        self.check(("exceptions", "ValueError", 1), ValueError,
                   "exceptions.ValueError has the wrong size, try recompiling")
        self.check(("exceptions", "ValueError", ValueError.__basicsize__), RuntimeError,
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
        runtime = sys.version[:3]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            probe.version_check(runtime)
            probe.version_check("2.6" if runtime != "2.6" else "2.7")
        self.assertEqual(len(caught), 1)
        other = "2.6" if runtime != "2.6" else "2.7"
        self.assertEqual(str(caught[0].message),
                         "compiletime version %s of module 'orvex.probe' does not match "
                         "runtime version %s" % (other, runtime))


if __name__ == "__main__":
    unittest.main()
