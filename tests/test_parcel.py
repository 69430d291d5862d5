"""orvex.parcel: pack/unpack round trips, the exact forms chosen, hostile
parcels (truncated, malformed, too deep) and the X payload's global rule.

Parcel strings and their str values are bytes (str on 2). Python 2's long
is Python 3's int: LONG is whichever type arbitrary-size values have, and
only 2 has longs that a C long would hold."""
import gc
import pickle
import struct
import sys
import unittest

from orvex import parcel
from helpers import on_small_stack, same

try:
    import cPickle as fast_pickle
except ImportError:
    fast_pickle = pickle

MAX = parcel.MAX_DEPTH
LONG = type(2 ** 64)
SMALL_LONGS = LONG is not int


def byte(n):
    """The one-byte string of byte value n."""
    return bytes(bytearray([n]))


def x_parcel(payload):
    """A hand-made X value around a pickle."""
    return b"X" + struct.pack(">i", len(payload)) + payload


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

    def __init__(self):
        # Some state, so that every protocol calls __setstate__.
        self.seen = 0

    def __setstate__(self, state):
        self.seen = 0
        for obj in gc.get_objects():
            if type(obj) in (tuple, list):
                for _ in obj:
                    self.seen += 1


class Text(bytes):
    pass


class Number(int):
    pass


# Pickles by name, which a lambda does not have.
UNPICKLABLE = lambda: None


parcel.register(Registered)
parcel.register(RegisteredOld)
parcel.register(Prober)


class RoundTrip(unittest.TestCase):
    def check(self, value):
        packed = parcel.pack(value)
        self.assertTrue(type(packed) is bytes)
        back = parcel.unpack(packed)
        self.assertTrue(same(back, value), "%r came back as %r" % (value, back))

    def test_scalars_across_every_form_boundary(self):
        ints = [0, 1, 255, 256, -1, 32767, 32768, -32768, -32769, 65535, 65536,
                2 ** 31 - 1, -2 ** 31]
        longs = [LONG(n) for n in (0, 1, -1, 127, 128, -128, -129, 255, 256, -256, 2 ** 63,
                                   -2 ** 63, 2 ** 63 - 1, -2 ** 63 - 1, 2 ** 64,
                                   2 ** (8 * 255 - 1) - 1, 2 ** (8 * 255 - 1),
                                   -2 ** (8 * 255 - 1), -2 ** (8 * 255 - 1) - 1,
                                   7 ** 5000, -7 ** 5000)]
        floats = [0.0, -0.0, 1.5, -2.25, 1e308, 5e-324, float("inf"), float("-inf"),
                  float("nan"), 0.1]
        strs = [b"", b"a", b"\x00", b"\xff" * 255, b"b" * 256, b"c" * 70000]
        for value in [None, True, False] + ints + longs + floats + strs:
            self.check(value)

    def test_containers_and_nesting(self):
        values = [
            (), [], {}, (1,), [None], {b"k": None},
            (1, b"a", [2.5, {b"x": (None, True)}], {}),
            [[[]]], {(1, 2): [3], 4: {5: 6}, None: b"n", 1.5: LONG(-7), b"": ()},
            tuple(range(255)), tuple(range(256)), list(range(256)),
            dict((i, b"%d" % i) for i in range(255)), dict((i, i) for i in range(256)),
            nested(MAX), nested(MAX, make=lambda v: (v,)), nested(MAX, make=lambda v: {"k": v}),
        ]
        for value in values:
            self.check(value)

    def test_ints_beyond_32_bits_come_back_as_longs(self):
        for value in [2 ** 31, -2 ** 31 - 1, sys.maxsize, -sys.maxsize - 1, 2 ** 64]:
            back = parcel.unpack(parcel.pack(value))
            self.assertEqual(back, value)
            self.assertTrue(type(back) is LONG)

    def test_other_values_travel_as_pickles(self):
        # Byte strings inside a pickle, empty or not, take other ways than
        # at the top (Python 3 pickles them through two helpers).
        for value in [u"", u"caf\xe9", Registered(1, [2, u"x"]), [u"a", (Registered(b"b", None),)],
                      Registered(b"\x00\xff", b"")]:
            self.check(value)
        self.assertTrue(parcel.pack(u"").startswith(b"X\x00\x00\x00"))
        old = parcel.unpack(parcel.pack(RegisteredOld(3)))
        self.assertTrue(isinstance(old, RegisteredOld))
        self.assertEqual(old.x, 3)
        # A subclass of a native type is pickled, so it keeps its class.
        for value in (Text(b"abc"), Number(7)):
            self.assertTrue(parcel.pack(value).startswith(b"X"))

    def test_text_beyond_the_basic_plane_is_the_same_whatever_the_unicode_width(self):
        # A UCS2 interpreter holds it as a surrogate pair, a UCS4 one as one
        # character: both pickle it as the same four UTF-8 bytes.
        value = u"a\U0001f600b"
        self.check(value)
        self.assertTrue(b"X\x06\x00\x00\x00a\xf0\x9f\x98\x80b" in parcel.pack(value))


class ExactBytes(unittest.TestCase):
    def test_smallest_form_of_each_code(self):
        cases = [
            (None, b"N"), (False, b"0"), (True, b"1"),
            (0, b"i\x00"), (7, b"i\x07"), (255, b"i\xff"),
            (256, b"I\x01\x00"), (-1, b"I\xff\xff"), (32767, b"I\x7f\xff"), (-32768, b"I\x80\x00"),
            (32768, b"l\x00\x00\x80\x00"), (-32769, b"l\xff\xff\x7f\xff"),
            (70000, b"l\x00\x01\x11\x70"), (2 ** 31 - 1, b"l\x7f\xff\xff\xff"),
            (-2 ** 31, b"l\x80\x00\x00\x00"),
            (2 ** 31, b"L\x05\x00\x00\x00\x80\x00"), (-2 ** 31 - 1, b"L\x05\xff\xff\xff\x7f\xff"),
            (2 ** 63 - 1, b"L\x08" + b"\xff" * 7 + b"\x7f"), (-2 ** 63, b"L\x08" + b"\x00" * 7 + b"\x80"),
            (2 ** 63, b"L\x09" + b"\x00" * 7 + b"\x80\x00"),
            (2 ** 64, b"L\x09" + b"\x00" * 8 + b"\x01"),
            (1.5, b"f?\xf8\x00\x00\x00\x00\x00\x00"),
            (b"", b"'"), (b"abc", b"s\x03abc"),
            ((), b")"), ([], b"]"), ({}, b"}"),
            ((1, b"a"), b"t\x02i\x01s\x01a"), ([None], b"c\x01N"), ({b"k": None}, b"d\x01s\x01kN"),
        ]
        if SMALL_LONGS:
            # A long takes the long forms whatever its value.
            cases += [
                (LONG(0), b"L\x00"), (LONG(-1), b"L\x01\xff"), (LONG(127), b"L\x01\x7f"),
                (LONG(128), b"L\x02\x80\x00"), (LONG(-128), b"L\x01\x80"),
                (LONG(-129), b"L\x02\x7f\xff"),
            ]
        for value, expected in cases:
            self.assertEqual(parcel.pack(value), expected, "pack(%r)" % (value,))

    def test_short_and_long_headers(self):
        cases = [
            (b"x" * 255, b"s\xff"), (b"x" * 256, b"S\x00\x00\x01\x00"),
            (2 ** (8 * 255 - 1) - 1, b"L\xff"), (2 ** (8 * 255 - 1), b"M\x00\x00\x01\x00"),
            (-2 ** (8 * 255 - 1), b"L\xff"), (-2 ** (8 * 255 - 1) - 1, b"M\x00\x00\x01\x00"),
            ((None,) * 255, b"t\xff"), ((None,) * 256, b"T\x00\x00\x01\x00"),
            ([None] * 256, b"C\x00\x00\x01\x00"),
            (dict.fromkeys(range(255)), b"d\xff"), (dict.fromkeys(range(256)), b"D\x00\x00\x01\x00"),
        ]
        for value, header in cases:
            packed = parcel.pack(value)
            self.assertEqual(packed[:len(header)], header, "header of %r" % (type(value),))

    def test_every_long_form_is_read(self):
        cases = [
            (b"I\x00\x07", 7), (b"l\x00\x00\x00\x07", 7), (b"l\xff\xff\xff\xff", -1),
            (b"S\x00\x00\x00\x03abc", b"abc"), (b"S\x00\x00\x00\x00", b""), (b"s\x00", b""),
            (b"M\x00\x00\x00\x01\xff", LONG(-1)), (b"M\x00\x00\x00\x00", LONG(0)),
            (b"L\x02\x05\x00", LONG(5)),
            (b"T\x00\x00\x00\x00", ()), (b"t\x00", ()), (b"C\x00\x00\x00\x01N", [None]),
            (b"c\x00", []), (b"D\x00\x00\x00\x01s\x01kN", {b"k": None}), (b"d\x00", {}),
            (b"d\x02i\x01Ni\x01i\x02", {1: 2}),  # a repeated key: the last value wins
        ]
        for data, expected in cases:
            self.assertTrue(same(parcel.unpack(data), expected), repr(data))

    def test_bytes_after_the_value_are_ignored(self):
        self.assertEqual(parcel.unpack(b"Nxyz"), None)
        self.assertEqual(parcel.unpack(b"t\x01i\x07\xff\xff"), (7,))


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
            None, 7, 300, -70000, 2 ** 40, LONG(-5), 1.5, b"abc", b"x" * 300, u"uni",
            (1, b"a", [2, {b"k": (None, 3.0)}]), dict.fromkeys(range(300)), [[b"x" * 256]],
        ]
        for value in samples:
            data = parcel.pack(value)
            for end in range(len(data)):
                self.assertRaises(parcel.UnpackError, parcel.unpack, data[:end])

    def test_truncation_says_what_and_where(self):
        self.raises(b"", "parcel truncated at offset 0: expected 1 byte (type code), found 0")
        self.raises(b"s\x05ab", "parcel truncated at offset 2: expected 5 bytes (str data), found 2")
        self.raises(b"l\x00\x00", "offset 1: expected 4 bytes (int), found 2")
        self.raises(b"f\x00", "offset 1: expected 8 bytes (float), found 1")
        self.raises(b"L\x03\x00", "offset 2: expected 3 bytes (long data), found 1")

    def test_malformed_lengths(self):
        cases = [
            (b"S\xff\xff\xff\xfbabc", "negative str length -5 at offset 1"),
            (b"M\x80\x00\x00\x00", "negative long length -2147483648 at offset 1"),
            (b"T\xff\xff\xff\xffN", "negative count -1 at offset 1"),
            (b"C\xff\xff\xff\xffN", "negative count -1 at offset 1"),
            (b"D\xff\xff\xff\xffNN", "negative count -1 at offset 1"),
            (b"X\xff\xff\xff\xff", "negative X payload length -1 at offset 1"),
            (b"S\x7f\xff\xff\xffabc", "expected 2147483647 bytes (str data), found 3"),
            (b"M\x7f\xff\xff\xff\x00", "expected 2147483647 bytes (long data), found 1"),
            (b"X\x7f\xff\xff\xff\x80", "expected 2147483647 bytes (X payload), found 1"),
            # Counts that the bytes left cannot hold are refused before any
            # allocation is made for them.
            (b"T\x7f\xff\xff\xffN", "tuple of 2147483647 elements needs at least 2147483647 bytes"),
            (b"C\x7f\xff\xff\xff", "list of 2147483647 elements needs at least"),
            (b"D\x40\x00\x00\x00NN", "dict of 1073741824 elements needs at least 2147483648 bytes"),
            (b"d\x02NN", "dict of 2 elements needs at least 4 bytes, found 2"),
        ]
        for data, fragment in cases:
            self.raises(data, fragment)

    def test_unknown_codes_raise_unpack_key_error_with_the_signed_byte(self):
        known = set(bytearray(b"N01iIlLMf'sS)]}tcdTCDX"))
        for code in range(256):
            if code in known:
                continue
            for data in (byte(code), b"t\x02N" + byte(code), b"d\x01s\x01k" + byte(code)):
                try:
                    parcel.unpack(data)
                except parcel.UnpackKeyError:
                    error = sys.exc_info()[1]
                else:
                    self.fail("no UnpackKeyError for %r" % data)
                self.assertEqual(error.args, (code - 256 if code > 127 else code,))
        for cls in (parcel.UnpackError, KeyError, ValueError):
            self.assertTrue(issubclass(parcel.UnpackKeyError, cls))
        self.assertTrue(issubclass(parcel.UnpackError, ValueError))

    def test_unhashable_dict_key_is_the_interpreters_type_error(self):
        for data in (b"d\x01]N", b"d\x01c\x01NN", b"D\x00\x00\x00\x01}N"):
            self.assertRaises(TypeError, parcel.unpack, data)

    def test_argument_must_be_bytes(self):
        for arg in (u"N", None, bytearray(b"N"), 3):
            try:
                parcel.unpack(arg)
            except TypeError:
                self.assertEqual(str(sys.exc_info()[1]), "unpack() argument must be %s, not %s"
                                 % (bytes.__name__, type(arg).__name__))
            else:
                self.fail("unpack(%r) accepted" % (arg,))


class Depth(unittest.TestCase):
    deep = b"t\x01" * 1000000 + b"N"

    def assert_too_deep(self, data):
        try:
            parcel.unpack(data)
        except parcel.UnpackError:
            self.assertTrue(str(sys.exc_info()[1]).startswith(
                "parcel nested deeper than %d levels at offset " % MAX))
        else:
            self.fail("no UnpackError")

    def test_deep_parcels_are_refused(self):
        for opener in (b"t\x01", b"c\x01", b"T\x00\x00\x00\x01", b"d\x01N", b"d\x01i\x00"):
            self.assert_too_deep(opener * 1000000 + b"N")
        self.assert_too_deep(b"t\x01" * (MAX + 1) + b"N")
        self.assertEqual(parcel.unpack(b"c\x01" * MAX + b"N"), nested(MAX))
        # An empty container is no deeper than a scalar, in any form.
        for empty in (b"]", b"c\x00", b"C\x00\x00\x00\x00"):
            self.assertEqual(parcel.unpack(b"c\x01" * MAX + empty), nested(MAX, leaf=[]))
        self.assertEqual(parcel.pack(nested(MAX, leaf=[])), b"c\x01" * MAX + b"]")

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
            value = nested(MAX, make=lambda v: {b"k": v})
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
        # A global is named as this interpreter knows it: a pickle's
        # __builtin__ is builtins on 3.
        self.refused(b"cos\nsystem\n(S'exit 3'\ntR.", "os.system")
        self.refused(b"c__builtin__\neval\n(S'1'\ntR.", eval.__module__ + ".eval")
        self.refused(pickle.dumps(NotRegistered(), 2), __name__ + ".NotRegistered")
        self.refused(pickle.dumps(set([1]), 2), set.__module__ + ".set")
        self.refused(pickle.dumps(Text(b"x"), 2), __name__ + ".Text")

    def test_registered_classes_and_protocol_helpers_are_admitted(self):
        self.assertTrue(parcel.register(Registered) is Registered)
        for proto in (0, 1, 2):
            payload = pickle.dumps(Registered(1, b"b"), proto)
            self.assertEqual(parcel.unpack(x_parcel(payload)), Registered(1, b"b"))
        self.assertTrue(parcel.unpack(parcel.pack(Registered)) is Registered)
        # As Python 2 writes it: copy_reg and __builtin__ are copyreg and
        # builtins on 3.
        written_by_2 = ("ccopy_reg\n_reconstructor\n(c%s\nRegistered\nc__builtin__\nobject\nNtR"
                        "(dS'a'\nI1\nsS'b'\nI2\nsb." % __name__).encode("ascii")
        self.assertEqual(parcel.unpack(x_parcel(written_by_2)), Registered(1, 2))

    def test_byte_string_helpers_build_small_byte_strings_only(self):
        # Python 3 admits stand-ins for the two globals its pickles rebuild
        # byte strings with: any other codec, or a size, is refused.
        for payload in (b"c_codecs\nencode\n(Vabc\nVrot13\ntR.",
                        b"c__builtin__\nbytes\n(I1000000000\ntR."):
            self.assertRaises(parcel.UnpackError, parcel.unpack, x_parcel(payload))

    def assert_malformed(self, payload):
        try:
            parcel.unpack(x_parcel(payload))
        except parcel.UnpackError:
            self.assertTrue(str(sys.exc_info()[1]).startswith("malformed X payload at offset 5: "))
        else:
            self.fail("accepted %r" % payload)

    def test_malformed_pickles_become_unpack_errors(self):
        for payload in (b"", b"\x80\x02", b"garbage", b"(lp0\nI1\na", b"\x80\x02K\x01K\x02R."):
            self.assert_malformed(payload)

    def test_pickles_that_claim_memory_are_refused(self):
        # Protocols 3 and later, whose opcodes include some that allocate
        # the size they state before reading it: Python 2 reads 0 to 2 only.
        for payload in (b"\x96\xff\xff\xff\xff\xff\xff\x00\x00", b"B\xff\xff\xff\x7f",
                        b"\x80\x04N."):
            self.assert_malformed(payload)
        # Python 3's memo is an array grown and cleared up to the slot a PUT
        # names: slots beyond the payload's length are refused, on 2 as well
        # so that both read the same payloads.
        for payload in (b"Nr\xff\xff\xff\x7f.", b"Np 2_147_483_647\n.", b"Np2147483647\n."):
            self.assert_malformed(payload)

    def test_code_run_by_a_payload_cannot_reach_half_built_containers(self):
        value = parcel.unpack(parcel.pack((b"a", [b"b", Prober(), b"c"], (b"d",) * 3)))
        self.assertEqual(value[0], b"a")
        self.assertTrue(value[1][1].seen > 0)
        # Containers are whole again once read: the collector sees them.
        tracked = [obj for obj in gc.get_objects() if obj is value or obj is value[1]]
        self.assertEqual(len(tracked), 2)

    def test_register_takes_classes_only(self):
        for arg in (3, "Registered", Registered(1, 2)):
            self.assertRaises(TypeError, parcel.register, arg)

    def test_unpicklable_values_fail_to_pack(self):
        self.assertRaises(fast_pickle.PicklingError, parcel.pack, [1, UNPICKLABLE])


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
        mapping[b"a"] = Shrinker(mapping)
        mapping[b"b"] = 1
        self.assertRaises(RuntimeError, parcel.pack, mapping)
        del items[:]
        mapping.clear()


class Types(unittest.TestCase):
    def test_reader_and_writer_types(self):
        # Tables are wrapped in a CObject on 2, in a capsule on 3.
        wrapper = "PyCObject" if bytes is str else "PyCapsule"
        for cls, name in ((parcel.Unpacker, "orvex.parcel.Unpacker"),
                          (parcel.Packer, "orvex.parcel.Packer")):
            self.assertEqual("%s.%s" % (cls.__module__, cls.__name__), name)
            self.assertEqual(type(cls.__dict__["__pyx_vtable__"]).__name__, wrapper)
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
