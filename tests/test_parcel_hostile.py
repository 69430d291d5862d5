"""X payloads written to do harm, read by parcel.unpack and by ordinex.cmp of
equal-count dict parcels (which decode their dicts natively): state set on a
registered class by every opcode route, calls of things that are not
admitted globals, byte-string stand-ins used as values, structures whose
shared parts unfold to far more than their bytes, nesting through native
containers and pickles together, and malformed pickles.

Pickles are written by hand, as bytes, in protocol 0, 1 and 2 forms. A
marked payload holds HERE just before the opcode that a refusal must name
the offset of; the mark is taken out before the payload is used."""
import os
import pickle
import struct
import sys
import unittest

from orvex import ordinex, parcel
from helpers import on_small_stack, same
from hostile_fixtures import (P2, Account, Entries, Ledger, OldAccount, Slotted, Tally, Teller,
                              get, glob, of, put, restore, short, snapshot)

MAX = parcel.MAX_DEPTH
HERE = b"<@>"
# Where the X value starts in the dict parcels given to ordinex.cmp.
DICT_HEAD = b"d\x01i\x01"
DICT_NONE = DICT_HEAD + b"N"


def x_parcel(payload):
    return b"X" + struct.pack(">i", len(payload)) + payload


def unmark(marked):
    """(payload, index of the marked opcode or None)."""
    at = marked.find(HERE)
    if at < 0:
        return marked, None
    return marked.replace(HERE, b""), at


def binint(n):
    return b"J" + struct.pack("<i", n)


def dotted(cls):
    return "%s.%s" % (cls.__module__, cls.__name__)


def slot_state(key, value):
    """(None, {key: value}) in protocol 2: state that goes through setattr."""
    return b"N}" + short(key) + value + b"s\x86"


def dict_state(key, value):
    return b"}" + short(key) + value + b"s"


def text_dict_state(key, value):
    """{key: value} in protocol 0."""
    return b"(dS'" + key + b"'\n" + value + b"s"


ENCODE = glob(b"_codecs", b"encode")
BYTES = glob(b"__builtin__", b"bytes")


def latin1(text):
    """Python 3's protocol 2 pickling of the byte string `text`, unterminated."""
    return (ENCODE + put(0) + b"X" + struct.pack("<i", len(text)) + text + put(1) +
            b"X\x06\x00\x00\x00latin1" + put(2) + b"\x86" + put(3) + b"R" + put(4))


def nested_lists(depth, leaf=b"N"):
    """`depth` lists around the leaf, in protocol 2."""
    return P2 + b"]" * depth + leaf + b"a" * depth + b"."


def nested_text_lists(depth):
    return b"(l" * depth + b"N" + b"a" * depth + b"."


def nested_tuples(depth):
    return P2 + b"N" + b"\x85" * depth + b"."


def nested_dicts(depth):
    return P2 + (b"}" + short(b"k")) * depth + b"N" + b"s" * depth + b"."


def nested(depth, wrap):
    value = None
    for _ in range(depth):
        value = wrap(value)
    return value


def doubling(k, leaf=None):
    """x = [x, x], k times over a short string; each level is taken from
    the memo, so the stack holds only the last one."""
    parts = [P2, leaf or short(b"abc"), put(0), b"0"]
    for level in range(k):
        parts.append(b"](" + get(level) + get(level) + b"e" + put(level + 1) + b"0")
    parts.append(get(k) + b".")
    return b"".join(parts)


def doubled(k):
    value = "abc"
    for _ in range(k):
        value = [value, value]
    return value


def shared_string(length, references):
    """A list of `references` references to one string of `length` bytes."""
    data = b"x" * length
    head = b"T" + struct.pack("<i", length) + data if length > 255 else short(data)
    return P2 + b"]" + head + put(0) + b"a(" + get(0) * (references - 1) + b"e."


A, OLD, LEDGER, TELLER = of(Account), of(OldAccount), of(Ledger), of(Teller)
ACCOUNT, OLD_ACCOUNT, LEDGER_NAME = dotted(Account), dotted(OldAccount), dotted(Ledger)
LIMIT = b"limit"
BILLION = binint(10 ** 9)
# An Account instance built by the payload, and one by INST (protocol 0).
NEW_ACCOUNT = A + b")\x81"
INST_ACCOUNT = b"(i" + Account.__module__.encode("ascii") + b"\nAccount\n"


def state(target=None):
    return ("state", target)


# (name, marked payload, expected). Expected: ("value", v), ("object",
# predicate), ("state", target or None), ("calls",), ("as value", name),
# ("refers", name), ("malformed",), ("deep",), ("unfolds",), or ("refused",)
# for any UnpackError.
CLASS_TAMPERING = [
    ("BUILD with a dict", P2 + A + dict_state(LIMIT, BILLION) + HERE + b"b.", state(ACCOUNT)),
    ("BUILD with (None, slot state)", P2 + A + slot_state(LIMIT, BILLION) + HERE + b"b.",
     state(ACCOUNT)),
    ("BUILD with (dict, slot state)",
     P2 + A + dict_state(b"owner", b"N") + b"}" + short(LIMIT) + BILLION + b"s\x86" + HERE + b"b.",
     state(ACCOUNT)),
    ("BUILD setting __init__ to None", P2 + A + slot_state(b"__init__", b"N") + HERE + b"b.",
     state(ACCOUNT)),
    ("BUILD on the class again from BINGET",
     P2 + A + put(0) + b"0" + get(0) + slot_state(LIMIT, BILLION) + HERE + b"b.", state(ACCOUNT)),
    ("BUILD on the class again from LONG_BINGET",
     P2 + A + put(3, True) + b"0" + get(3, True) + slot_state(LIMIT, BILLION) + HERE + b"b.",
     state(ACCOUNT)),
    ("BUILD on the class again from GET",
     A + b"p0\n0g0\n(N" + text_dict_state(LIMIT, b"I7\n") + b"t" + HERE + b"b.", state(ACCOUNT)),
    ("BUILD on a DUP of the class", P2 + A + b"2" + slot_state(LIMIT, BILLION) + HERE + b"b0.",
     state(ACCOUNT)),
    ("BUILD in protocol 0 with a dict", A + text_dict_state(LIMIT, b"I7\n") + HERE + b"b.",
     state(ACCOUNT)),
    ("BUILD in protocol 1 with a MARK tuple",
     A + b"(N}" + short(LIMIT) + b"K\x07st" + HERE + b"b.", state(ACCOUNT)),
    ("BUILD on a classic class with a dict", OLD + text_dict_state(LIMIT, b"I7\n") + HERE + b"b.",
     state(OLD_ACCOUNT)),
    ("BUILD on a classic class with slot state", P2 + OLD + slot_state(LIMIT, BILLION) + HERE + b"b.",
     state(OLD_ACCOUNT)),
    ("BUILD on the class after state set on an instance",
     P2 + A + put(0) + b")\x81" + dict_state(b"owner", b"N") + b"b" + get(0) +
     slot_state(LIMIT, BILLION) + HERE + b"b\x86.", state(ACCOUNT)),
    ("BUILD on the class beside an INST instance",
     A + b"p0\n0" + INST_ACCOUNT + text_dict_state(b"owner", b"N") + b"bg0\n(N" +
     text_dict_state(LIMIT, b"I7\n") + b"t" + HERE + b"b0.", state(ACCOUNT)),
    ("BUILD on the class beside an OBJ instance",
     b"(" + A + b"o" + A + b"(N}" + short(LIMIT) + b"K\x07st" + HERE + b"b0.", state(ACCOUNT)),
    # Python 2's BUILD reaches below a mark, Python 3's refuses to.
    ("BUILD on the class below a MARK",
     P2 + A + b"(" + slot_state(LIMIT, BILLION) + HERE + b"bt0.", ("malformed",)),
    ("SETITEM on the class", LEDGER + short(LIMIT) + b"K\x07" + HERE + b"s.", state(LEDGER_NAME)),
    ("SETITEMS on the class below a MARK",
     LEDGER + b"(" + short(LIMIT) + b"K\x07" + HERE + b"u.", state(LEDGER_NAME)),
    ("SETITEM on the class from BINGET",
     P2 + LEDGER + put(0) + b"0" + get(0) + short(LIMIT) + b"K\x07" + HERE + b"s.",
     state(LEDGER_NAME)),
    ("APPEND on the class", LEDGER + b"K\x07" + HERE + b"a.", state(LEDGER_NAME)),
    ("APPENDS on the class below a MARK", LEDGER + b"(K\x07K\x08" + HERE + b"e.",
     state(LEDGER_NAME)),
    ("APPENDS on a DUP of the class", P2 + LEDGER + b"2(K\x07" + HERE + b"e0.", state(LEDGER_NAME)),
    ("BUILD on a tuple", P2 + b")}" + HERE + b"b.", state()),
    ("BUILD on a list", P2 + b"]}" + HERE + b"b.", state()),
    ("BUILD on an int", P2 + b"K\x01}" + HERE + b"b.", state()),
    ("APPEND on a tuple", P2 + b")K\x01" + HERE + b"a.", state()),
    ("SETITEM on a string", P2 + short(b"s") + short(b"k") + b"K\x01" + HERE + b"s.", state()),
    ("BUILD on the admitted object class", P2 + glob(b"__builtin__", b"object") +
     slot_state(LIMIT, b"K\x01") + HERE + b"b.", state("__builtin__.object")),
    ("setattr, not registered",
     glob(b"__builtin__", b"setattr") + b"(" + A + b"S'limit'\nI7\ntR.", ("refers", "setattr")),
]

CALLS = [
    ("REDUCE on a list", P2 + b"])" + HERE + b"R.", ("calls",)),
    ("REDUCE on an instance", P2 + TELLER + b")\x81)" + HERE + b"R.", ("calls",)),
    ("REDUCE on what a REDUCE gave", P2 + TELLER + b")R)" + HERE + b"R.", ("calls",)),
    ("NEWOBJ on an instance", P2 + TELLER + b")\x81)" + HERE + b"\x81.", ("calls",)),
    ("OBJ on an instance", P2 + b"(" + TELLER + b")\x81" + HERE + b"o.", ("calls",)),
    ("OBJ on an instance from GET", TELLER + b")Rp0\n0(g0\n" + HERE + b"o.", ("calls",)),
]

STAND_INS = [
    ("encode as Python 3 writes it", P2 + latin1(b"abc") + b".", ("value", b"abc")),
    ("bytes() as Python 3 writes it", P2 + BYTES + put(0) + b")R" + put(1) + b".", ("value", b"")),
    ("encode again from the memo",
     P2 + b"](" + latin1(b"a") + get(0) + b"X\x01\x00\x00\x00b" + get(2) + b"\x86Re.",
     ("value", [b"a", b"b"])),
    ("encode in protocol 0", ENCODE + b"p0\n(Vabc\np1\nVlatin1\np2\ntp3\nRp4\n.",
     ("value", b"abc")),
    ("encode in protocol 1",
     ENCODE + b"q\x00(X\x03\x00\x00\x00abcq\x01X\x06\x00\x00\x00latin1q\x02tq\x03R.",
     ("value", b"abc")),
    ("encode of text beyond ASCII",
     P2 + ENCODE + b"X\x02\x00\x00\x00\xc3\xbfX\x06\x00\x00\x00latin1\x86R.",
     ("value", b"\xff")),
    ("encode by INST", b"(Vabc\nVlatin1\ni_codecs\nencode\n.", ("value", b"abc")),
    ("encode by OBJ", b"(" + ENCODE + b"Vabc\nVlatin1\no.", ("value", b"abc")),
    ("bytes by OBJ", b"(" + BYTES + b"o.", ("value", b"")),
    ("encode returned", ENCODE + b".", ("as value", "_codecs.encode")),
    ("bytes returned", P2 + BYTES + b".", ("as value", "__builtin__.bytes")),
    ("encode in a list", P2 + b"]" + ENCODE + b"a.", ("as value", "_codecs.encode")),
    ("bytes in a tuple", P2 + BYTES + b"\x85.", ("as value", "__builtin__.bytes")),
    ("encode as an argument", P2 + A + ENCODE + b"\x85R.", ("as value", "_codecs.encode")),
    ("bytes as an argument of encode", P2 + ENCODE + BYTES + b"\x85R.",
     ("as value", "__builtin__.bytes")),
    ("encode as a BUILD target", P2 + ENCODE + b"}b.", ("as value", "_codecs.encode")),
    ("encode from the memo returned with its result",
     P2 + latin1(b"abc") + get(0) + b"\x86.", ("as value", "_codecs.encode")),
    ("encode as a dict value", P2 + b"}" + short(b"k") + ENCODE + b"s.",
     ("as value", "_codecs.encode")),
    ("encode with another codec", b"c_codecs\nencode\n(Vabc\nVrot13\ntR.", ("malformed",)),
    ("encode with latin-1 spelled otherwise", b"c_codecs\nencode\n(Vabc\nVlatin-1\ntR.",
     ("malformed",)),
    ("bytes of a size", b"c__builtin__\nbytes\n(I1000000000\ntR.", ("refused",)),
]

MALFORMED = [
    ("stack underflow", P2 + b"]a.", ("malformed",)),
    ("REDUCE underflow", P2 + b"R.", ("malformed",)),
    ("missing mark", P2 + b"K\x01t.", ("malformed",)),
    ("unknown opcode", P2 + b"\xff.", ("malformed",)),
    ("protocol 3 header", b"\x80\x03N.", ("malformed",)),
    ("protocol 3 opcode", P2 + b"C\x01a.", ("malformed",)),
    ("truncated", P2 + b"](K\x01", ("malformed",)),
    ("truncated argument", P2 + b"U\x05ab", ("malformed",)),
    ("empty memo slot", P2 + get(5) + b".", ("malformed",)),
    ("EXT1", P2 + b"\x82\x01.", ("malformed",)),
    ("EXT2", P2 + b"\x83\x01\x00.", ("malformed",)),
    ("EXT4", P2 + b"\x84\x01\x00\x00\x00.", ("malformed",)),
    ("persistent id", b"P1\n.", ("malformed",)),
    ("binary persistent id", P2 + b"NQ.", ("malformed",)),
    ("empty", b"", ("malformed",)),
]

ADMITTED = [
    ("the class itself", P2 + A + b".", ("object", lambda v: v is Account)),
    ("state on an instance from NEWOBJ",
     P2 + NEW_ACCOUNT + slot_state(b"owner", b"K\x07") + b"b.",
     ("object", lambda v: type(v) is Account and v.owner == 7)),
    ("state on an instance from REDUCE", P2 + A + b")R" + dict_state(b"owner", b"K\x07") + b"b.",
     ("object", lambda v: type(v) is Account and v.owner == 7)),
    ("state on an instance from INST", INST_ACCOUNT + text_dict_state(b"owner", b"I7\n") + b"b.",
     ("object", lambda v: type(v) is Account and v.owner == 7)),
    ("state on an instance from OBJ", b"(" + A + b"o" + text_dict_state(b"owner", b"I7\n") + b"b.",
     ("object", lambda v: type(v) is Account and v.owner == 7)),
    ("state on an instance from the memo",
     P2 + NEW_ACCOUNT + put(0) + b"0" + get(0) + dict_state(b"owner", b"K\x07") + b"b.",
     ("object", lambda v: type(v) is Account and v.owner == 7)),
    ("items set on a dict subclass's instance", P2 + of(Tally) + b")\x81(" + short(b"k") + b"K\x07u.",
     ("object", lambda v: type(v) is Tally and v == {"k": 7})),
    ("items appended to a list subclass's instance", P2 + of(Entries) + b")\x81(K\x07K\x08e.",
     ("object", lambda v: type(v) is Entries and v == [7, 8])),
    ("a list and a dict filled", P2 + b"](K\x01}" + short(b"k") + b"K\x02s]K\x03ae.",
     ("value", [1, {"k": 2}, [3]])),
    ("a small string many times over", shared_string(3, 1000), ("value", ["xxx"] * 1000)),
    ("a tuple many times over", P2 + b"](K\x01K\x02\x86" + put(0) + get(0) * 999 + b"e.",
     ("value", [(1, 2)] * 1000)),
]

DEEP = [
    ("lists %d deep" % (MAX + 100), nested_lists(MAX + 100), ("deep",)),
    ("lists in protocol 0 %d deep" % (MAX + 100), nested_text_lists(MAX + 100), ("deep",)),
    ("tuples %d deep" % (MAX + 100), nested_tuples(MAX + 100), ("deep",)),
    ("dicts %d deep" % (MAX + 100), nested_dicts(MAX + 100), ("deep",)),
    ("instances %d deep" % (MAX + 100),
     P2 + (NEW_ACCOUNT + b"}" + short(b"owner")) * (MAX + 100) + b"N" + b"sb" * (MAX + 100) + b".",
     ("deep",)),
    ("lists a million deep", nested_lists(10 ** 6), ("deep",)),
    ("lists one past the bound", nested_lists(MAX + 1), ("deep",)),
    ("a list appended to itself", P2 + b"]" + put(0) + get(0) + b"a.", ("deep",)),
    ("a dict holding itself", P2 + b"}" + put(0) + short(b"k") + get(0) + b"s.", ("deep",)),
    ("two lists holding each other",
     P2 + b"]" + put(0) + b"]" + put(1) + get(0) + b"a0" + get(1) + b"a.", ("deep",)),
    ("an instance holding itself",
     P2 + NEW_ACCOUNT + put(0) + dict_state(b"owner", get(0)) + b"b.", ("deep",)),
]

# Alone at the top; inside a dict they are one level deeper, past the bound.
AT_BOUND = [
    ("lists at the bound", nested_lists(MAX), ("value", nested(MAX, lambda v: [v]))),
    ("lists in protocol 0 at the bound", nested_text_lists(MAX),
     ("value", nested(MAX, lambda v: [v]))),
    ("tuples at the bound", nested_tuples(MAX), ("value", nested(MAX, lambda v: (v,)))),
    ("dicts at the bound", nested_dicts(MAX), ("value", nested(MAX, lambda v: {"k": v}))),
]

BOMBS = [
    ("shared lists doubled 40 times", doubling(40), ("unfolds",)),
    ("shared lists doubled 200 times", doubling(200), ("unfolds",)),
    ("a 4 KiB string 4096 times", shared_string(4096, 4096), ("unfolds",)),
    ("a dict of one 64 KiB string", P2 + b"}" + b"T" + struct.pack("<i", 65536) + b"x" * 65536 +
     put(0) + b"0(" + b"".join(binint(i) + get(0) for i in range(2000)) + b"u.", ("unfolds",)),
    ("an instance holding a bomb", P2 + NEW_ACCOUNT + b"}" + short(b"owner") +
     doubling(40)[len(P2):-1] + b"sb.", ("unfolds",)),
]


def outcome(func, *args):
    """("value", v) or ("error", exception class, message)."""
    try:
        return ("value", func(*args))
    except Exception:
        error = sys.exc_info()[1]
        return ("error", type(error), str(error))


def describe(got):
    """An outcome for a failure message. No repr of a value: a shared
    structure that the reader should have refused takes forever to print."""
    if got[0] == "value":
        return "a value of type %s" % type(got[1]).__name__
    return "%s: %s" % (got[1].__name__, got[2])


class HostileCase(object):
    """Checks of one table row's outcome."""

    def __init__(self, test, name, marked, expected):
        self.test = test
        self.name = name
        self.payload, self.index = unmark(marked)
        self.expected = expected

    def check_unpack(self):
        self.check(outcome(parcel.unpack, x_parcel(self.payload)), 5)

    def check_cmp(self):
        data = DICT_HEAD + x_parcel(self.payload)
        got = outcome(ordinex.cmp, data, DICT_NONE)
        if got[0] == "value":
            self.test.assertTrue(got[1] in (-1, 0, 1), "%s: cmp gave %s" % (self.name, describe(got)))
            if self.expected[0] == "value":
                self.test.assertEqual(ordinex.cmp(data, DICT_HEAD + parcel.pack(self.expected[1])),
                                      0, self.name)
        self.check(got, len(DICT_HEAD) + 5, cmp_value=True)

    def check(self, got, base, cmp_value=False):
        kind = self.expected[0]
        if kind in ("value", "object"):
            self.test.assertEqual(got[0], "value", "%s: %s" % (self.name, describe(got)))
            if kind == "value" and not cmp_value:
                self.test.assertTrue(same(got[1], self.expected[1]),
                                     "%s gave %s" % (self.name, describe(got)))
            elif kind == "object" and not cmp_value:
                self.test.assertTrue(self.expected[1](got[1]),
                                     "%s gave %s" % (self.name, describe(got)))
            return
        self.test.assertTrue(got[0] == "error" and got[1] is parcel.UnpackError,
                             "%s: no UnpackError but %s" % (self.name, describe(got)))
        message = got[2]
        for fragment in self.fragments(kind, base):
            self.test.assertTrue(fragment in message,
                                 "%s: %r lacks %r" % (self.name, message, fragment))
        prefix = {"malformed": "malformed X payload at offset ",
                  "deep": "parcel nested deeper than %d levels at offset " % MAX}.get(kind)
        if prefix:
            self.test.assertTrue(message.startswith(prefix),
                                 "%s: %r does not start %r" % (self.name, message, prefix))

    def fragments(self, kind, base):
        if kind == "state":
            fragments = ["sets state on " + (self.expected[1] or "")]
            if self.index is not None:
                fragments.append("at offset %d" % (base + self.index))
            return fragments
        if kind == "calls":
            return ["calls "]
        if kind == "as value":
            return ["uses %s as a value" % self.expected[1]]
        if kind == "refers":
            return ["X payload refers to ", self.expected[1] + ", which is not registered"]
        if kind == "unfolds":
            return ["unfolds to more than"]
        return []


class HostilePayloads(unittest.TestCase):
    def run_table(self, table, through_cmp=True):
        """Every row, then one failure that lists each row that failed."""
        failures = []
        for name, marked, expected in table:
            saved = snapshot()
            try:
                self.check_row(HostileCase(self, name, marked, expected), through_cmp)
            except self.failureException:
                failures.append(str(sys.exc_info()[1]))
            finally:
                restore(saved)
        if failures:
            self.fail("%d of %d cases:\n%s" % (len(failures), len(table), "\n".join(failures)))

    def check_row(self, case, through_cmp):
        saved = snapshot()
        case.check_unpack()
        self.assertEqual(snapshot(), saved, "%s changed a class" % case.name)
        if through_cmp:
            case.check_cmp()
            self.assertEqual(snapshot(), saved, "%s changed a class through cmp" % case.name)

    def test_state_set_on_classes_by_every_route(self):
        self.run_table(CLASS_TAMPERING)

    def test_calls_of_what_is_not_an_admitted_global(self):
        self.run_table(CALLS)

    def test_byte_string_stand_ins_only_make_byte_strings(self):
        self.run_table(STAND_INS)

    def test_malformed_pickles(self):
        self.run_table(MALFORMED)

    def test_what_pickles_legitimately_do_is_admitted(self):
        self.run_table(ADMITTED)
        # Below protocol 2 a dict or list subclass names dict or list, which
        # are not admitted.
        for proto, value in ((0, Account(owner=[1, u"x"])), (1, Account(owner=(2,))), (2, Account()),
                             (0, OldAccount()), (2, OldAccount()), (2, Tally(k=[1])),
                             (2, Entries([1, 2]))):
            back = parcel.unpack(x_parcel(pickle.dumps(value, proto)))
            self.assertTrue(type(back) is type(value), (proto, value))
        slotted = Slotted()
        slotted.a = 5
        back = parcel.unpack(x_parcel(pickle.dumps(slotted, 2)))
        self.assertEqual((type(back), back.a), (Slotted, 5))
        self.assertEqual(parcel.unpack(x_parcel(pickle.dumps(Account(owner=b"\x00\xff"), 2))).owner,
                         b"\x00\xff")

    def test_nesting_within_pickles(self):
        self.run_table(DEEP)
        self.run_table(AT_BOUND, through_cmp=False)

    def test_shared_structure_bombs(self):
        self.run_table(BOMBS)


class SharedStructure(unittest.TestCase):
    def test_doubling_is_admitted_while_small_and_refused_once_large(self):
        for k in range(9):
            payload = doubling(k)
            value = parcel.unpack(x_parcel(payload))
            self.assertEqual(value, doubled(k))
            # Packed natively, the sharing is gone: the bound keeps it linear.
            self.assertTrue(len(parcel.pack(value)) <= 4 * 64 * len(payload), k)
            self.assertEqual(ordinex.cmp(DICT_HEAD + x_parcel(payload),
                                         DICT_HEAD + parcel.pack(doubled(k))), 0)
        for k in (14, 16, 20, 30, 62, 120, 250):
            data = x_parcel(doubling(k))
            for func, args in ((parcel.unpack, (data,)), (ordinex.cmp, (DICT_HEAD + data, DICT_NONE)),
                               (ordinex.cmp, (DICT_NONE, DICT_HEAD + data))):
                try:
                    func(*args)
                except parcel.UnpackError:
                    self.assertTrue("unfolds to more than" in str(sys.exc_info()[1]), k)
                else:
                    self.fail("doubling %d times admitted by %s" % (k, func.__name__))

    def test_strings_count_by_their_length(self):
        self.assertEqual(parcel.unpack(x_parcel(shared_string(4, 4000))), ["xxxx"] * 4000)
        self.assertEqual(len(parcel.unpack(x_parcel(shared_string(300, 20)))), 20)
        self.assertRaises(parcel.UnpackError, parcel.unpack, x_parcel(shared_string(4096, 2048)))


def lists_around_x(native, inner, leaf=b"N"):
    """`native` parcel lists around an X value of `inner` pickled lists."""
    return b"c\x01" * native + x_parcel(nested_lists(inner, leaf))


def dict_around_x(native, inner, leaf=b"N"):
    """A one-entry dict parcel whose value is `native` lists around an X
    value of `inner` lists; the leaf is then inside 1 + native + inner
    containers."""
    return DICT_HEAD + lists_around_x(native, inner, leaf)


def mixed_around_x(native, inner):
    """Native tuples, lists and dicts in turn around the X value."""
    openers = [b"t\x01", b"c\x01", b"d\x01i\x00", b"T\x00\x00\x00\x01"]
    return b"".join(openers[i % 4] for i in range(native)) + x_parcel(nested_lists(inner))



def dict_bound_stack():
    """The thread stack that comparing dicts at the depth bound must fit.
    Python 2 compares decoded dicts with its own recursion: 2.7's fits the
    bound in 64 KiB, 2.6's frames are larger and need about 80 KiB. Debug
    builds have frames several times the size of what ships: about 3 times on a
    debug interpreter, 8 under AddressSanitizer."""
    size = 96 if sys.version_info[:2] == (2, 6) else 64
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        size *= 8
    elif hasattr(sys, "gettotalrefcount"):
        size *= 4
    return size * 1024


class DepthThroughNativeContainers(unittest.TestCase):
    def assert_too_deep(self, func, *args):
        try:
            func(*args)
        except parcel.UnpackError:
            message = str(sys.exc_info()[1])
            self.assertTrue(message.startswith("parcel nested deeper than %d levels at offset " % MAX),
                            message)
        else:
            self.fail("admitted %r..." % (args[0][:40],))

    def test_unpack_counts_native_and_pickled_levels_together(self):
        for native, inner in ((0, MAX), (MAX // 2, MAX // 2), (MAX - 1, 1), (MAX, 0)):
            value = parcel.unpack(lists_around_x(native, inner))
            for _ in range(MAX):
                self.assertEqual(len(value), 1)
                value = value[0]
            self.assertTrue(value is None)
            parcel.unpack(mixed_around_x(native, inner))
        for native, inner in ((MAX // 2, MAX // 2 + 1), (300, 300), (MAX, 1), (1, MAX), (10, 10 ** 5)):
            self.assert_too_deep(parcel.unpack, lists_around_x(native, inner))
            self.assert_too_deep(parcel.unpack, mixed_around_x(native, inner))

    def test_cmp_of_dicts_counts_them_too(self):
        half = MAX // 2
        self.assertEqual(ordinex.cmp(dict_around_x(half - 1, half, b"K\x01"),
                                     dict_around_x(half - 1, half, b"K\x02")), -1)
        for native, inner in ((half, half), (half - 1, half + 1), (0, MAX), (300, 300)):
            deep = dict_around_x(native, inner)
            self.assert_too_deep(ordinex.cmp, deep, DICT_NONE)
            self.assert_too_deep(ordinex.cmp, DICT_NONE, deep)
            self.assert_too_deep(ordinex.case_cmp, deep, deep)

    def test_dicts_at_the_bound_on_a_small_stack(self):
        half = MAX // 2
        at_bound = (dict_around_x(half - 1, half, b"K\x01"), dict_around_x(half - 1, half, b"K\x02"))
        past = (dict_around_x(half, half, b"K\x01"), dict_around_x(half, half, b"K\x02"))

        def work():
            answers = [ordinex.cmp(*at_bound), ordinex.cmp(at_bound[1], at_bound[0])]
            try:
                ordinex.cmp(*past)
            except parcel.UnpackError:
                answers.append(str(sys.exc_info()[1]).startswith("parcel nested deeper than"))
            return answers

        self.assertEqual(on_small_stack(work, dict_bound_stack()), [-1, 1, True])


class PackRefusesWhatUnpackWould(unittest.TestCase):
    """A value pack writes must read back: pack counts the nesting inside an
    X pickle and weighs what it shares as unpack does."""

    def test_depth_inside_pickles_counts_when_packing(self):
        inner = Account()
        inner.items = [1]  # the instance, its state dict and the list: 3 levels
        for depth, fits in ((MAX - 3, True), (MAX - 2, False), (MAX, False)):
            value = inner
            for _ in range(depth):
                value = [value]
            if fits:
                self.assertEqual(len(parcel.unpack(parcel.pack(value))), 1)
            else:
                self.assertRaises(ValueError, parcel.pack, value)

    def test_shared_pieces_count_at_every_place(self):
        holder = Account()
        holder.items = [b"x" * 10000] * 1000
        try:
            parcel.pack(holder)
        except ValueError:
            self.assertTrue("unfolds to more than" in str(sys.exc_info()[1]))
        else:
            self.fail("packed a value unpack refuses")
        holder.items = [b"x" * 10] * 100
        self.assertEqual(len(parcel.unpack(parcel.pack(holder)).items), 100)


if __name__ == "__main__":
    unittest.main()
