"""orvex.parcel: pack/unpack round trips, the exact forms chosen, hostile
parcels (truncated, malformed, too deep) and the X payload's global rule."""
import cPickle
import gc
import math
import pickle
import sys
import unittest

from orvex import parcel
from helpers import on_small_stack

MAX = parcel.MAX_DEPTH


def same(a, b):
    """Equal values of identical types all the way down (1 == 1L == True and
    0.0 == -0.0 would hide a wrong form); NaN equals NaN. Iterative, as the
    values nest deeper than the interpreter's recursion limit allows."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if math.isnan(a) != math.isnan(b) or (
                    not math.isnan(a) and (a, math.copysign(1, a)) != (b, math.copysign(1, b))):
                return False
        elif isinstance(a, (tuple, list)):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif isinstance(a, dict):
            if len(a) != len(b) or any(k not in b for k in a):
                return False
            b_keys = dict((k, k) for k in b)
            pending.extend((k, b_keys[k]) for k in a)
            pending.extend((v, b[k]) for k, v in a.items())
        elif a != b:
            return False
    return True


def x_parcel(payload):
    """A hand-made X value around a pickle."""
    return "X" + "".join(chr(len(payload) >> s & 0xff) for s in (24, 16, 8, 0)) + payload


def nested(depth, leaf=None, make=lambda v: [v]):
    value = leaf
    for _ in range(depth):
        value = make(value)
    return value


# Module-level so that registering them again on every run of the suite
# changes nothing.
class Registered(object):
    def __init__(self, a, b):
        self.a, self.b = a, b

    def __eq__(self, other):
        return type(other) is Registered and (self.a, self.b) == (other.a, other.b)

    def __ne__(self, other):
        return not self == other


class RegisteredOld:
    def __init__(self, x=None):
        self.x = x


class NotRegistered(object):
    pass


class Prober(object):
    """Unpickling it walks every tuple and list the collector knows of."""

    def __setstate__(self, state):
        self.seen = 0
        for obj in gc.get_objects():
            if type(obj) in (tuple, list):
                for _ in obj:
                    self.seen += 1


class Text(str):
    pass


parcel.register(Registered)
parcel.register(RegisteredOld)
parcel.register(Prober)


class RoundTrip(unittest.TestCase):
    def check(self, value):
        packed = parcel.pack(value)
        self.assertTrue(type(packed) is str)
        back = parcel.unpack(packed)
        self.assertTrue(same(back, value), "%r came back as %r" % (value, back))

    def test_scalars_across_every_form_boundary(self):
        ints = [0, 1, 255, 256, -1, 32767, 32768, -32768, -32769, 65535, 65536,
                2 ** 31 - 1, -2 ** 31]
        longs = [0L, 1L, -1L, 127L, 128L, -128L, -129L, 255L, 256L, -256L, 2L ** 63, -2L ** 63,
                 2L ** 64, 2L ** (8 * 255 - 1) - 1, 2L ** (8 * 255 - 1),
                 -2L ** (8 * 255 - 1), -2L ** (8 * 255 - 1) - 1, 7L ** 5000, -7L ** 5000]
        floats = [0.0, -0.0, 1.5, -2.25, 1e308, 5e-324, float("inf"), float("-inf"),
                  float("nan"), 0.1]
        strs = ["", "a", "\x00", "\xff" * 255, "b" * 256, "c" * 70000]
        for value in [None, True, False] + ints + longs + floats + strs:
            self.check(value)

    def test_containers_and_nesting(self):
        values = [
            (), [], {}, (1,), [None], {"k": None},
            (1, "a", [2.5, {"x": (None, True)}], {}),
            [[[]]], {(1, 2): [3], 4: {5: 6}, None: "n", 1.5: -7L, "": ()},
            tuple(range(255)), tuple(range(256)), list(range(256)),
            dict((i, str(i)) for i in range(255)), dict((i, i) for i in range(256)),
            nested(MAX), nested(MAX, make=lambda v: (v,)), nested(MAX, make=lambda v: {"k": v}),
        ]
        for value in values:
            self.check(value)

    def test_ints_beyond_32_bits_come_back_as_longs(self):
        for value in [2 ** 31, -2 ** 31 - 1, sys.maxint, -sys.maxint - 1]:
            back = parcel.unpack(parcel.pack(value))
            self.assertEqual(back, value)
            self.assertTrue(type(back) is long)

    def test_other_values_travel_as_pickles(self):
        for value in [u"", u"caf\xe9", Registered(1, [2, u"x"]), [u"a", (Registered("b", None),)]]:
            self.check(value)
        self.assertTrue(parcel.pack(u"").startswith("X\x00\x00\x00"))
        old = parcel.unpack(parcel.pack(RegisteredOld(3)))
        self.assertTrue(isinstance(old, RegisteredOld))
        self.assertEqual(old.x, 3)
        # A subclass of a native type is pickled, so it keeps its class.
        text = Text("abc")
        self.assertTrue(parcel.pack(text).startswith("X"))


class ExactBytes(unittest.TestCase):
    def test_smallest_form_of_each_code(self):
        cases = [
            (None, "N"), (False, "0"), (True, "1"),
            (0, "i\x00"), (7, "i\x07"), (255, "i\xff"),
            (256, "I\x01\x00"), (-1, "I\xff\xff"), (32767, "I\x7f\xff"), (-32768, "I\x80\x00"),
            (32768, "l\x00\x00\x80\x00"), (-32769, "l\xff\xff\x7f\xff"),
            (70000, "l\x00\x01\x11\x70"), (2 ** 31 - 1, "l\x7f\xff\xff\xff"),
            (-2 ** 31, "l\x80\x00\x00\x00"),
            (2 ** 31, "L\x05\x00\x00\x00\x80\x00"),
            (0L, "L\x00"), (-1L, "L\x01\xff"), (127L, "L\x01\x7f"), (128L, "L\x02\x80\x00"),
            (-128L, "L\x01\x80"), (-129L, "L\x02\x7f\xff"),
            (2 ** 64, "L\x09" + "\x00" * 8 + "\x01"),
            (1.5, "f?\xf8\x00\x00\x00\x00\x00\x00"),
            ("", "'"), ("abc", "s\x03abc"),
            ((), ")"), ([], "]"), ({}, "}"),
            ((1, "a"), "t\x02i\x01s\x01a"), ([None], "c\x01N"), ({"k": None}, "d\x01s\x01kN"),
        ]
        for value, expected in cases:
            self.assertEqual(parcel.pack(value), expected, "pack(%r)" % (value,))

    def test_short_and_long_headers(self):
        cases = [
            ("x" * 255, "s\xff"), ("x" * 256, "S\x00\x00\x01\x00"),
            (2 ** (8 * 255 - 1) - 1, "L\xff"), (2 ** (8 * 255 - 1), "M\x00\x00\x01\x00"),
            (-2 ** (8 * 255 - 1), "L\xff"), (-2 ** (8 * 255 - 1) - 1, "M\x00\x00\x01\x00"),
            ((None,) * 255, "t\xff"), ((None,) * 256, "T\x00\x00\x01\x00"),
            ([None] * 256, "C\x00\x00\x01\x00"),
            (dict.fromkeys(range(255)), "d\xff"), (dict.fromkeys(range(256)), "D\x00\x00\x01\x00"),
        ]
        for value, header in cases:
            packed = parcel.pack(value)
            self.assertEqual(packed[:len(header)], header, "header of %r" % (type(value),))

    def test_every_long_form_is_read(self):
        cases = [
            ("I\x00\x07", 7), ("l\x00\x00\x00\x07", 7), ("l\xff\xff\xff\xff", -1),
            ("S\x00\x00\x00\x03abc", "abc"), ("S\x00\x00\x00\x00", ""), ("s\x00", ""),
            ("M\x00\x00\x00\x01\xff", -1L), ("M\x00\x00\x00\x00", 0L), ("L\x02\x05\x00", 5L),
            ("T\x00\x00\x00\x00", ()), ("t\x00", ()), ("C\x00\x00\x00\x01N", [None]),
            ("c\x00", []), ("D\x00\x00\x00\x01s\x01kN", {"k": None}), ("d\x00", {}),
            ("d\x02i\x01Ni\x01i\x02", {1: 2}),  # a repeated key: the last value wins
        ]
        for data, expected in cases:
            self.assertTrue(same(parcel.unpack(data), expected), repr(data))

    def test_bytes_after_the_value_are_ignored(self):
        self.assertEqual(parcel.unpack("Nxyz"), None)
        self.assertEqual(parcel.unpack("t\x01i\x07\xff\xff"), (7,))


class HostileParcels(unittest.TestCase):
    def raises(self, data, fragment, exc=None):
        try:
            value = parcel.unpack(data)
        except (exc or parcel.UnpackError):
            message = str(sys.exc_info()[1])
            self.assertTrue(fragment in message, "%r: %r lacks %r" % (data, message, fragment))
        else:
            self.fail("unpack(%r) gave %r" % (data, value))

    def test_every_truncation_raises(self):
        samples = [
            None, 7, 300, -70000, 2 ** 40, -5L, 1.5, "abc", "x" * 300, u"uni",
            (1, "a", [2, {"k": (None, 3.0)}]), dict.fromkeys(range(300)), [["x" * 256]],
        ]
        for value in samples:
            data = parcel.pack(value)
            for end in range(len(data)):
                self.assertRaises(parcel.UnpackError, parcel.unpack, data[:end])

    def test_truncation_says_what_and_where(self):
        self.raises("", "parcel truncated at offset 0: expected 1 byte (type code), found 0")
        self.raises("s\x05ab", "parcel truncated at offset 2: expected 5 bytes (str data), found 2")
        self.raises("l\x00\x00", "offset 1: expected 4 bytes (int), found 2")
        self.raises("f\x00", "offset 1: expected 8 bytes (float), found 1")
        self.raises("L\x03\x00", "offset 2: expected 3 bytes (long data), found 1")

    def test_malformed_lengths(self):
        cases = [
            ("S\xff\xff\xff\xfbabc", "negative str length -5 at offset 1"),
            ("M\x80\x00\x00\x00", "negative long length -2147483648 at offset 1"),
            ("T\xff\xff\xff\xffN", "negative count -1 at offset 1"),
            ("C\xff\xff\xff\xffN", "negative count -1 at offset 1"),
            ("D\xff\xff\xff\xffNN", "negative count -1 at offset 1"),
            ("X\xff\xff\xff\xff", "negative X payload length -1 at offset 1"),
            ("S\x7f\xff\xff\xffabc", "expected 2147483647 bytes (str data), found 3"),
            ("M\x7f\xff\xff\xff\x00", "expected 2147483647 bytes (long data), found 1"),
            ("X\x7f\xff\xff\xff\x80", "expected 2147483647 bytes (X payload), found 1"),
            # Counts that the bytes left cannot hold are refused before any
            # allocation is made for them.
            ("T\x7f\xff\xff\xffN", "tuple of 2147483647 elements needs at least 2147483647 bytes"),
            ("C\x7f\xff\xff\xff", "list of 2147483647 elements needs at least"),
            ("D\x40\x00\x00\x00NN", "dict of 1073741824 elements needs at least 2147483648 bytes"),
            ("d\x02NN", "dict of 2 elements needs at least 4 bytes, found 2"),
        ]
        for data, fragment in cases:
            self.raises(data, fragment)

    def test_unknown_codes_raise_unpack_key_error_with_the_signed_byte(self):
        known = set("N01iIlLMf'sS)]}tcdTCDX")
        for byte in range(256):
            code = chr(byte)
            if code in known:
                continue
            for data in (code, "t\x02N" + code, "d\x01s\x01k" + code):
                try:
                    parcel.unpack(data)
                except parcel.UnpackKeyError:
                    error = sys.exc_info()[1]
                else:
                    self.fail("no UnpackKeyError for %r" % data)
                self.assertEqual(error.args, (byte - 256 if byte > 127 else byte,))
        for cls in (parcel.UnpackError, KeyError, ValueError):
            self.assertTrue(issubclass(parcel.UnpackKeyError, cls))
        self.assertTrue(issubclass(parcel.UnpackError, ValueError))

    def test_unhashable_dict_key_is_the_interpreters_type_error(self):
        for data in ("d\x01]N", "d\x01c\x01NN", "D\x00\x00\x00\x01}N"):
            self.assertRaises(TypeError, parcel.unpack, data)

    def test_argument_must_be_a_str(self):
        for arg in (u"N", None, bytearray("N"), 3):
            self.assertRaises(TypeError, parcel.unpack, arg)


class Depth(unittest.TestCase):
    deep = "t\x01" * 1000000 + "N"

    def assert_too_deep(self, data):
        try:
            parcel.unpack(data)
        except parcel.UnpackError:
            self.assertTrue(str(sys.exc_info()[1]).startswith(
                "parcel nested deeper than %d levels at offset " % MAX))
        else:
            self.fail("no UnpackError")

    def test_deep_parcels_are_refused(self):
        for opener in ("t\x01", "c\x01", "T\x00\x00\x00\x01", "d\x01N", "d\x01i\x00"):
            self.assert_too_deep(opener * 1000000 + "N")
        self.assert_too_deep("t\x01" * (MAX + 1) + "N")
        self.assertEqual(parcel.unpack("c\x01" * MAX + "N"), nested(MAX))
        # An empty container is no deeper than a scalar, in any form.
        for empty in ("]", "c\x00", "C\x00\x00\x00\x00"):
            self.assertEqual(parcel.unpack("c\x01" * MAX + empty), nested(MAX, leaf=[]))
        self.assertEqual(parcel.pack(nested(MAX, leaf=[])), "c\x01" * MAX + "]")

    def test_deep_values_are_refused_when_packed(self):
        looped = []
        looped.append(looped)
        loop_dict = {}
        loop_dict["self"] = loop_dict
        for value in (nested(MAX + 1), nested(10 ** 5), looped, loop_dict,
                      nested(MAX + 1, make=lambda v: (v,))):
            self.assertRaises(ValueError, parcel.pack, value)
        del looped[:], loop_dict["self"]

    def test_small_thread_stack(self):
        results = []

        def work():
            try:
                parcel.unpack(self.deep)
            except parcel.UnpackError:
                results.append("refused")
            try:
                parcel.pack(nested(MAX + 1))
            except ValueError:
                results.append("refused")
            value = nested(MAX, make=lambda v: {"k": v})
            results.append(parcel.unpack(parcel.pack(value)) == value)

        on_small_stack(work, 256 * 1024)
        self.assertEqual(results, ["refused", "refused", True])


class PickledValues(unittest.TestCase):
    def refused(self, payload, name):
        try:
            parcel.unpack(x_parcel(payload))
        except parcel.UnpackError:
            self.assertEqual(str(sys.exc_info()[1]),
                             "X payload refers to %s, which is not registered with "
                             "orvex.parcel.register()" % name)
        else:
            self.fail("accepted a pickle naming %s" % name)

    def test_unregistered_globals_are_refused(self):
        self.refused("cos\nsystem\n(S'exit 3'\ntR.", "os.system")
        self.refused("c__builtin__\neval\n(S'1'\ntR.", "__builtin__.eval")
        self.refused(pickle.dumps(NotRegistered(), 2), __name__ + ".NotRegistered")
        self.refused(pickle.dumps(set([1]), 2), "__builtin__.set")
        self.refused(pickle.dumps(Text("x"), 2), __name__ + ".Text")

    def test_registered_classes_and_protocol_helpers_are_admitted(self):
        self.assertTrue(parcel.register(Registered) is Registered)
        for proto in (0, 1, 2):
            payload = pickle.dumps(Registered(1, "b"), proto)
            self.assertEqual(parcel.unpack(x_parcel(payload)), Registered(1, "b"))
        self.assertTrue(parcel.unpack(parcel.pack(Registered)) is Registered)

    def test_malformed_pickles_become_unpack_errors(self):
        for payload in ("", "\x80\x02", "garbage", "(lp0\nI1\na", "\x80\x02K\x01K\x02R."):
            try:
                parcel.unpack(x_parcel(payload))
            except parcel.UnpackError:
                self.assertTrue(str(sys.exc_info()[1]).startswith("malformed X payload at offset 5: "))
            else:
                self.fail("accepted %r" % payload)

    def test_code_run_by_a_payload_cannot_reach_half_built_containers(self):
        value = parcel.unpack(parcel.pack(("a", ["b", Prober(), "c"], ("d",) * 3)))
        self.assertEqual(value[0], "a")
        self.assertTrue(value[1][1].seen > 0)
        # Containers are whole again once read: the collector sees them.
        tracked = [obj for obj in gc.get_objects() if obj is value or obj is value[1]]
        self.assertEqual(len(tracked), 2)

    def test_register_takes_classes_only(self):
        for arg in (3, "Registered", Registered(1, 2)):
            self.assertRaises(TypeError, parcel.register, arg)

    def test_unpicklable_values_fail_to_pack(self):
        self.assertRaises(cPickle.PicklingError, parcel.pack, [1, lambda: None])


class Shrinker(object):
    """Pickling it empties the container it sits in."""

    def __init__(self, container):
        self.container = container

    def __reduce__(self):
        self.container.clear() if isinstance(self.container, dict) else self.container.pop()
        return (Registered, (1, 2))


class PackingWhileChanging(unittest.TestCase):
    def test_containers_changed_by_pickling_are_refused(self):
        items = [None, None]
        items[0] = Shrinker(items)
        self.assertRaises(RuntimeError, parcel.pack, items)
        mapping = {}
        mapping["a"] = Shrinker(mapping)
        mapping["b"] = 1
        self.assertRaises(RuntimeError, parcel.pack, mapping)
        del items[:]
        mapping.clear()


class Types(unittest.TestCase):
    def test_reader_and_writer_types(self):
        for cls, name in ((parcel.Unpacker, "orvex.parcel.Unpacker"),
                          (parcel.Packer, "orvex.parcel.Packer")):
            self.assertEqual("%s.%s" % (cls.__module__, cls.__name__), name)
            self.assertEqual(type(cls.__dict__["__pyx_vtable__"]).__name__, "PyCObject")
            self.assertTrue(isinstance(cls(), cls))
            try:
                cls(1)
            except TypeError:
                self.assertEqual(str(sys.exc_info()[1]),
                                 "%s() takes exactly 0 positional arguments (1 given)" % cls.__name__)
            else:
                self.fail("%s(1) accepted" % cls.__name__)
            self.assertRaises(TypeError, cls, x=1)


if __name__ == "__main__":
    unittest.main()
