"""Cross-version parity cases: a Python 2.7 build writes seeded random inputs
with its results (the fixture), and the build under test must reproduce
every result (test_parity_py2.py). Runs on 2.6, 2.7 and 3.

    python2.7 parity_cases.py SEED FIXTURE_PATH     # writes the fixture

The fixture is JSON: {"seed": SEED, "sections": {name: [case, ...]}}.
Values travel as token lists (encode/decode) that each side rebuilds in its
own types: a Python 2 str is bytes on 3, int and long are int, unicode is
str.

A section is one module's share: `write(rng)` giving JSON-able cases on the
writer, and `check(test, cases)` asserting on the build under test.
"""
import binascii
import json
import math
import random
import struct
import sys

from hostile_fixtures import P2, Account, Ledger, OldAccount, Teller, restore, snapshot
from hostile_fixtures import (get as p_get, glob as p_global, of as p_class, put as p_put,
                              short as p_short)
from orvex.parcel import MAX_DEPTH

LONG = type(2 ** 64)    # long on 2, int on 3
TEXT = type(u"")        # unicode on 2, str on 3
INT32 = (-2 ** 31, 2 ** 31)


def to_hex(data):
    return binascii.hexlify(data).decode("ascii")


def from_hex(text):
    return binascii.unhexlify(text.encode("ascii"))


# ---------------------------------------------------------------------------
# Values as flat token lists: a tag, then its payload; containers give their
# count and then their elements (dicts: key, value, ...). Flat, because a
# deep tree in nested JSON overflows the 2.6 decoder's recursion. Payloads
# are decimal or hex digits, never a tag.

def encode(value, tokens=None):
    """The tokens of a value made of None, bools, ints, longs, floats, byte
    strings, text, tuples, lists and dicts (entries in iteration order)."""
    if tokens is None:
        tokens = []
    kind = type(value)
    if value is None:
        tokens.append("N")
    elif kind is bool:
        tokens.extend(["B", int(value)])
    elif kind is int:
        tokens.extend(["I", str(value)])
    elif kind is LONG:
        tokens.extend(["L", str(value)])
    elif kind is float:
        tokens.extend(["F", to_hex(struct.pack(">d", value))])
    elif kind is bytes:
        tokens.extend(["S", to_hex(value)])
    elif kind is TEXT:
        tokens.extend(["U", to_hex(value.encode("utf-8"))])
    elif kind in (tuple, list):
        tokens.extend(["T" if kind is tuple else "C", len(value)])
        for item in value:
            encode(item, tokens)
    elif kind is dict:
        tokens.extend(["D", len(value)])
        for key, item in value.items():
            encode(key, tokens)
            encode(item, tokens)
    else:
        raise TypeError("no tokens for %s" % kind.__name__)
    return tokens


def decode(tokens, as_read=False):
    """The value of the tokens in this interpreter's types; dicts are filled
    in the tokens' order. as_read: as unpack gives it, where an int beyond 32
    bits is a long."""
    return Decoder(tokens, as_read).value()


class Decoder(object):
    def __init__(self, tokens, as_read):
        self.tokens = tokens
        self.as_read = as_read
        self.at = 0

    def take(self):
        self.at += 1
        return self.tokens[self.at - 1]

    def value(self):
        tag = self.take()
        if tag == "N":
            return None
        if tag == "B":
            return bool(self.take())
        if tag == "I":
            value = int(self.take())
            return LONG(value) if self.as_read and not INT32[0] <= value < INT32[1] else value
        if tag == "L":
            return LONG(self.take())
        if tag == "F":
            return struct.unpack(">d", from_hex(self.take()))[0]
        if tag == "S":
            return from_hex(self.take())
        if tag == "U":
            return from_hex(self.take()).decode("utf-8")
        n = self.take()
        if tag == "D":
            value = {}
            for _ in range(n):
                key = self.value()
                value[key] = self.value()
            return value
        items = [self.value() for _ in range(n)]
        return tuple(items) if tag == "T" else items


def packs_alike(tokens):
    """Whether this interpreter can pack the value to the writer's bytes:
    pickles (text) may differ in their bytes, and Python 3 has no long within
    32 bits (it packs such a value as an int)."""
    for at, token in enumerate(tokens):
        if token == "U":
            return False
        if token == "L" and LONG is int and INT32[0] <= int(tokens[at + 1]) < INT32[1]:
            return False
    return True


# ---------------------------------------------------------------------------
# Random values (the writer's side)

EDGES = [0, 2 ** 7, 2 ** 8, 2 ** 15, 2 ** 16, 2 ** 31, 2 ** 32, 2 ** 63, 2 ** 64]
SPECIAL_FLOATS = ["0000000000000000", "8000000000000000", "7ff0000000000000",
                  "fff0000000000000", "7ff8000000000000", "fff8000000000000",
                  "7ff8000000001234", "7ff0000000000001", "0000000000000001",
                  "8000000000000001", "7fefffffffffffff", "0010000000000000",
                  "4340000000000000", "4340000000000001", "3ff8000000000000",
                  "3fb999999999999a", "c3e0000000000000"]


def random_bytes(rng, n):
    if n == 0:
        return b""
    return from_hex("%0*x" % (2 * n, rng.getrandbits(8 * n)))


def random_int(rng):
    """An int (a long on 2 where it does not fit one) at the edges of the
    forms, or of a random width up to 64 bits."""
    if rng.random() < 0.4:
        value = rng.choice(EDGES) + rng.choice((-1, 0, 1))
    else:
        width = rng.randint(1, 64)
        value = rng.getrandbits(width) - (2 ** (width - 1) if rng.random() < 0.5 else 0)
    return int(value if rng.random() < 0.5 else -value)


def random_long(rng):
    """A long (on 2) of up to thousands of bits, at the L/M boundary, or
    small."""
    roll = rng.random()
    if roll < 0.1:
        value = 2 ** (8 * 255 - 1) + rng.choice((-2, -1, 0, 1))
    elif roll < 0.25:
        value = rng.getrandbits(rng.randint(1, 31))
    else:
        value = rng.getrandbits(rng.randint(1, 4000))
    return LONG(value if rng.random() < 0.5 else -value)


def random_float(rng):
    roll = rng.random()
    if roll < 0.2:
        return struct.unpack(">d", from_hex(rng.choice(SPECIAL_FLOATS)))[0]
    if roll < 0.3:
        return float(random_int(rng))
    if roll < 0.6:
        return rng.uniform(-1e6, 1e6)
    return struct.unpack(">d", random_bytes(rng, 8))[0]


def random_string(rng):
    roll = rng.random()
    if roll < 0.7:
        n = rng.randint(0, 40)
    elif roll < 0.9:
        n = rng.randint(250, 260)
    elif roll < 0.99:
        n = rng.randint(0, 2000)
    else:
        n = rng.randint(60000, 70000)
    return random_bytes(rng, n)


def random_text(rng):
    ranges = [(0x20, 0x7f), (0xa0, 0x100), (0x100, 0xd800), (0xe000, 0x10000),
              (0x10000, 0x110000)]
    points = []
    for _ in range(rng.randint(0, 30)):
        low, high = rng.choice(ranges)
        points.append(rng.randrange(low, high))
    return b"".join(struct.pack("<I", p) for p in points).decode("utf-32-le")


def random_scalar(rng):
    """Any scalar; byte strings of up to 260 bytes."""
    roll = rng.random()
    if roll < 0.05:
        return rng.choice((None, True, False))
    if roll < 0.35:
        return random_int(rng)
    if roll < 0.5:
        return random_long(rng)
    if roll < 0.7:
        return random_float(rng)
    if roll < 0.95:
        return random_bytes(rng, rng.choice((rng.randint(0, 20), rng.randint(250, 260))))
    return random_text(rng)


def random_key(rng):
    """A dict key: no NaN, no float equal to an int, no text (a Python 2
    str and unicode of the same ASCII are one key, bytes and str are two)."""
    roll = rng.random()
    if roll < 0.3:
        return random_int(rng)
    if roll < 0.4:
        return random_long(rng)
    if roll < 0.5:
        return rng.uniform(-1e6, 1e6) + 0.5
    if roll < 0.85:
        return random_bytes(rng, rng.randint(0, 12))
    return tuple(random_key(rng) for _ in range(rng.randint(0, 3)))


def settled_dict(pairs):
    """A dict that iterates in the order it was filled, or None. Python 2's
    order depends on the filling history: a reader that fills a dict in this
    order gets this order back, whichever version it runs."""
    value = dict(pairs)
    for _ in range(10):
        again = {}
        for key in list(value):
            again[key] = value[key]
        if list(again) == list(value):
            return again
        value = again
    return None


def random_small(rng):
    """A scalar of a few bytes, for the elements of large containers."""
    return rng.choice((random_int, random_key, lambda r: r.choice((None, True, False))))(rng)


def random_value(rng, depth):
    """Any value; containers nest up to `depth` levels. One in ten holds
    small scalars around the 255/256 count boundary instead."""
    if depth == 0 or rng.random() < 0.4:
        return random_scalar(rng)
    kind = rng.choice("tcd")
    if rng.random() < 0.1:
        n, element = rng.choice((254, 255, 256, 257)), random_small
    else:
        n, element = rng.randint(0, 4), lambda r: random_value(r, depth - 1)
    if kind == "d":
        made = settled_dict((random_key(rng), element(rng)) for _ in range(n))
        return made if made is not None else {}
    items = [element(rng) for _ in range(n)]
    return tuple(items) if kind == "t" else items


def random_chain(rng):
    """A value nested in a chain of one-element containers, up to 200 deep."""
    value = random_scalar(rng)
    for _ in range(rng.randint(1, 200)):
        kind = rng.choice("tcd")
        if kind == "d":
            value = {random_key(rng): value}
        else:
            value = (value,) if kind == "t" else [value]
    return value


# ---------------------------------------------------------------------------
# orvex.parcel

class ParcelPack(object):
    """pack of random values, and unpack of random parcels in every form and
    of broken ones, and of hostile X payloads (see hostile_cases)."""

    name = "parcel"

    def write(self, rng):
        from orvex import parcel
        makers = [(random_int, 1500), (random_long, 1000), (random_float, 1000),
                  (random_string, 800), (random_text, 300),
                  (lambda r: random_value(r, 3), 1500), (random_chain, 100)]
        cases = []
        for make, count in makers:
            for _ in range(count):
                value = make(rng)
                cases.append({"value": encode(value), "packed": to_hex(parcel.pack(value))})
        for _ in range(3000):
            data = self.crafted(rng)
            try:
                result = data is not None and self.outcome(parcel, data)
            except TypeError:
                continue  # a value that a pickle in a broken parcel made
            if result and not self.involves_pickle(result):
                cases.append(dict(result, data=to_hex(data)))
        cases.extend(hostile_cases(parcel, rng))
        return cases

    def crafted(self, rng):
        """A parcel in random (not smallest) forms, or one broken by a
        truncation, a changed byte or an inserted byte; None for a value
        with text."""
        value = random_value(rng, 2)
        data = forms(rng, value)
        if data is None or rng.random() < 0.3:
            return data
        return damaged(rng, data)

    def outcome(self, parcel, data):
        """What unpack makes of data: {"value": tokens} or {"error": [class
        name, message]}."""
        try:
            value = parcel.unpack(data)
        except Exception:
            error = sys.exc_info()[1]
            return {"error": [type(error).__name__, str(error)]}
        return {"value": encode(value)}

    def involves_pickle(self, result):
        """Pickles' own errors and their bytes differ from 2 to 3."""
        return "error" in result and result["error"][1].startswith(
            ("malformed X payload", "X payload refers"))

    def check(self, test, cases):
        from orvex import parcel
        from helpers import same
        failures = []
        for case in cases:
            if "hostile" in case:
                problem = check_hostile(parcel, case)
            elif "data" in case:
                problem = self.check_read(parcel, same, case)
            else:
                problem = self.check_pack(parcel, same, case)
            if problem:
                failures.append(problem)
        failures_report(test, failures, cases)

    def check_pack(self, parcel, same, case):
        value = decode(case["value"])
        expected = decode(case["value"], as_read=True)
        packed = from_hex(case["packed"])
        back = parcel.unpack(packed)
        if not same(back, expected):
            return "unpack(%r) gave %r, not %r" % (packed[:80], back, expected)
        if not packs_alike(case["value"]):
            if not same(parcel.unpack(parcel.pack(value)), expected):
                return "pack(%r) does not read back" % (value,)
        elif parcel.pack(value) != packed:
            return "pack(%r) gave %r, not %r" % (value, parcel.pack(value)[:80], packed[:80])
        return None

    def check_read(self, parcel, same, case):
        data = from_hex(case["data"])
        got = self.outcome(parcel, data)
        if "error" in case:
            if got.get("error") != case["error"]:
                return "unpack(%r) gave %r, not the error %r" % (data[:80], got, case["error"])
        elif "value" not in got or not same(decode(got["value"]), decode(case["value"])):
            return "unpack(%r) gave %r, not %r" % (data[:80], got, case["value"])
        return None


# ---------------------------------------------------------------------------
# orvex.parcel: hostile X payloads. Their pickles are checked opcode by
# opcode before any unpickler runs, with the same messages on 2 and 3, so
# their outcomes are compared whole: error class and message (offsets
# included), or the value, and whether a registered class was changed.
# Payloads are written so that the scan or the byte-string stand-ins decide,
# in messages of this project's own: none reaches an error of the
# interpreter's unpickler, worded differently from version to version.


def described(value):
    """The tokens of an unpacked value, or what kind of object it is."""
    try:
        return {"value": encode(value)}
    except (TypeError, RuntimeError):
        pass
    if hasattr(value, "__bases__"):
        return {"object": "class " + value.__name__}
    return {"object": "instance of " + getattr(value, "__class__", type(value)).__name__}


def json_text(message):
    """A message as JSON can hold it: Python 2's str may have any byte."""
    return message if isinstance(message, TEXT) else message.decode("latin-1")


def hostile_outcome(parcel, data):
    saved = snapshot()
    try:
        try:
            result = described(parcel.unpack(data))
        except Exception:
            error = sys.exc_info()[1]
            result = {"error": [type(error).__name__, json_text(str(error))]}
        if snapshot() != saved:
            result["changed"] = True
        return result
    finally:
        restore(saved)


def check_hostile(parcel, case):
    data = from_hex(case["data"])
    got = hostile_outcome(parcel, data)
    if got != case["hostile"]:
        return "unpack(%r) gave %r, not %r" % (data[:80], got, case["hostile"])
    return None


# Pickle pieces, protocols 0 to 2, beside those of hostile_fixtures.


def p_text(text):
    data = text.encode("utf-8")
    return b"X" + struct.pack("<i", len(data)) + data


def p_int(rng):
    value = rng.choice((rng.randint(0, 255), rng.randint(0, 65535),
                        rng.randint(-2 ** 31, 2 ** 31 - 1)))
    if 0 <= value < 256:
        return b"K" + struct.pack("B", value)
    if 0 <= value < 65536:
        return b"M" + struct.pack("<H", value)
    return b"J" + struct.pack("<i", value)


def ascii_line(text):
    return text.encode("ascii")


ENCODE = p_global(b"_codecs", b"encode")
BYTES = p_global(b"__builtin__", b"bytes")
NATIVE_OPENERS = [b"t\x01", b"c\x01", b"d\x01i\x00", b"T\x00\x00\x00\x01",
                  b"C\x00\x00\x00\x01", b"D\x00\x00\x00\x01N"]


def latin1_reduce(text, memo):
    """encode(text, "latin1") as Python 3 writes it, with its memo puts or
    without."""
    puts = [p_put(i) if memo else b"" for i in range(5)]
    return (ENCODE + puts[0] + p_text(text) + puts[1] + p_text(u"latin1") + puts[2] + b"\x86" +
            puts[3] + b"R" + puts[4])


def class_on_top(rng, cls):
    """Bytes that leave cls on top of the stack, and those that end the
    pickle after it has been used."""
    # Mostly slots within the payload's length, as picklers number them.
    slot = rng.choice((0, 1, 7, 20, 255))
    long_form = rng.random() < 0.3
    route = rng.choice(("direct", "memo", "text memo", "dup", "beside an instance"))
    if route == "direct":
        return p_class(cls), b"."
    if route == "memo":
        return p_class(cls) + p_put(slot, long_form) + b"0" + p_get(slot, long_form), b"."
    if route == "text memo":
        return p_class(cls) + ascii_line("p%d\n0g%d\n" % (slot, slot)), b"."
    if route == "dup":
        return p_class(cls) + b"2", b"0."
    return b"(" + p_class(Account) + b"o" + p_class(cls), b"\x86."


def random_state(rng, name):
    value = p_int(rng)
    form = rng.choice(("dict", "slots", "dict and slots", "text dict", "mark tuple"))
    if form == "dict":
        return b"}" + p_short(name) + value + b"s"
    if form == "slots":
        return b"N}" + p_short(name) + value + b"s\x86"
    if form == "dict and slots":
        return b"}" + p_short(b"owner") + b"Ns}" + p_short(name) + value + b"s\x86"
    if form == "text dict":
        return b"(dS'" + name + b"'\nI" + ascii_line("%d" % rng.randint(0, 999)) + b"\ns"
    return b"(N}" + p_short(name) + value + b"st"


def hostile_tampering(rng):
    cls = rng.choice((Account, OldAccount))
    name = rng.choice((b"limit", b"__init__", b"owner", b"__setstate__", b"zz"))
    top, end = class_on_top(rng, cls)
    return top + random_state(rng, name) + b"b" + end


def hostile_items(rng):
    """Items set or appended on the Ledger class."""
    top, end = class_on_top(rng, Ledger)
    op = rng.choice("saue")
    count = rng.randint(0, 3)
    if op == "s":
        return top + p_short(b"limit") + p_int(rng) + b"s" + end
    if op == "a":
        return top + p_int(rng) + b"a" + end
    if op == "u":
        return top + b"(" + b"".join(p_short(b"k") + p_int(rng) for _ in range(count)) + b"u" + end
    return top + b"(" + b"".join(p_int(rng) for _ in range(count)) + b"e" + end


def hostile_call(rng):
    callee = rng.choice((b"]", b")", b"}", p_class(Teller) + b")\x81", p_class(Teller) + b")R",
                         b"K\x05"))
    op = rng.choice(("REDUCE", "NEWOBJ", "OBJ"))
    if op == "REDUCE":
        return P2 + callee + b")R."
    if op == "NEWOBJ":
        return P2 + callee + b")\x81."
    return P2 + b"(" + callee + b"o."


def random_latin1(rng):
    return u"".join(code_point(rng.randint(0, 255)) for _ in range(rng.randint(0, 12)))


def code_point(code):
    """The one-character text of a code point (unichr on 2, chr on 3)."""
    return struct.pack("<I", code).decode("utf-32-le")


def hostile_stand_in(rng):
    roll = rng.random()
    if roll < 0.35:
        text = random_latin1(rng)
        form = rng.choice(("memo", "plain", "OBJ", "INST", "empty"))
        if form in ("memo", "plain"):
            return P2 + latin1_reduce(text, form == "memo") + b"."
        if form == "OBJ":
            return b"(" + ENCODE + p_text(text) + p_text(u"latin1") + b"o."
        if form == "INST":
            return b"(" + p_text(text) + p_text(u"latin1") + b"i_codecs\nencode\n."
        return P2 + BYTES + b")R."
    if roll < 0.5:
        codec = rng.choice((u"rot13", u"utf8", u"latin-1", u"ascii", u"LATIN1", u"latin1 ", u""))
        return P2 + ENCODE + p_text(u"abc") + p_text(codec) + b"\x86R."
    used = rng.choice((ENCODE, BYTES))
    place = rng.choice(("returned", "list", "tuple", "dict", "argument", "target", "memo"))
    if place == "returned":
        return P2 + used + b"."
    if place == "list":
        return P2 + b"]" + used + b"a."
    if place == "tuple":
        return P2 + p_int(rng) + used + b"\x86."
    if place == "dict":
        return P2 + b"}K\x01" + used + b"s."
    if place == "argument":
        return P2 + p_class(Account) + used + b"\x85R."
    if place == "target":
        return P2 + used + b"}b."
    return P2 + latin1_reduce(u"abc", True) + p_get(0) + b"\x86."


def nested_pickle(kind, depth):
    if kind == "lists":
        return P2 + b"]" * depth + b"N" + b"a" * depth + b"."
    if kind == "text lists":
        return b"(l" * depth + b"N" + b"a" * depth + b"."
    if kind == "tuples":
        return P2 + b"N" + b"\x85" * depth + b"."
    return P2 + b"}K\x00" * depth + b"N" + b"s" * depth + b"."


def hostile_depth(rng):
    """Native containers and pickled ones around None, near the bound
    together; or a pickle whose value holds itself."""
    if rng.random() < 0.15:
        return None, rng.choice((
            P2 + b"]" + p_put(0) + p_get(0) + b"a.",
            P2 + b"}" + p_put(0) + b"K\x01" + p_get(0) + b"s.",
            P2 + b"]" + p_put(0) + b"]" + p_put(1) + p_get(0) + b"a0" + p_get(1) + b"a.",
            P2 + p_class(Account) + b")\x81" + p_put(0) + b"}" + p_short(b"owner") + p_get(0) +
            b"sb."))
    total = MAX_DEPTH + rng.randint(-2, 2)
    native = rng.randint(0, total)
    kind = rng.choice(("lists", "text lists", "tuples", "dicts"))
    return native, nested_pickle(kind, total - native)


def hostile_bomb(rng):
    """Lists doubled k times over a text, or one text many times over."""
    text = u"x" * rng.randint(0, 40)
    if rng.random() < 0.6:
        k = rng.randint(0, 16)
        parts = [P2, p_text(text), p_put(0), b"0"]
        for level in range(k):
            parts.append(b"](" + p_get(level) * 2 + b"e" + p_put(level + 1) + b"0")
        return b"".join(parts) + p_get(k) + b"."
    text = u"y" * rng.randint(0, 300)
    return P2 + b"]" + p_text(text) + p_put(0) + b"a(" + p_get(0) * rng.randint(0, 300) + b"e."


MALFORMED_PAYLOADS = [
    P2 + b"]a.", P2 + b"R.", P2 + b"K\x01t.", P2 + b"\xff.", b"\x80\x03N.", P2 + b"C\x01a.",
    P2 + b"](K\x01", P2 + b"U\x05ab", P2 + b"h\x05.", P2 + b"\x82\x01.", P2 + b"\x83\x01\x00.",
    P2 + b"\x84\x01\x00\x00\x00.", b"P1\n.", P2 + b"NQ.", b"",
]


def hostile_malformed(rng):
    return rng.choice(MALFORMED_PAYLOADS)


def fixed_hostile():
    """Payloads of each kind, by hand."""
    account, ledger = p_class(Account), p_class(Ledger)
    slots = b"N}" + p_short(b"limit") + b"J\x00\xca\x9a\x3bs\x86"
    return [
        account + slots + b"b.",
        P2 + account + b"}" + p_short(b"limit") + b"K\x07sb.",
        P2 + account + b"N}" + p_short(b"__init__") + b"Ns\x86b.",
        account + b"p0\n0g0\n(N(dS'limit'\nI7\nstb.",
        p_class(OldAccount) + b"(dS'limit'\nI7\nsb.",
        P2 + account + b"(" + slots + b"bt0.",
        P2 + account + b")\x81" + b"}" + p_short(b"owner") + b"K\x07sb.",
        ledger + p_short(b"limit") + b"K\x07s.",
        ledger + b"(K\x07K\x08e.",
        P2 + b")}b.", P2 + b"]}b.", P2 + b")K\x01a.",
        P2 + p_global(b"__builtin__", b"object") + b"N}" + p_short(b"zz") + b"K\x01s\x86b.",
        P2 + b"])R.", P2 + p_class(Teller) + b")\x81)R.", P2 + b"(" + p_class(Teller) + b")\x81o.",
        P2 + latin1_reduce(u"abc", True) + b".", P2 + BYTES + b"q\x00)Rq\x01.",
        ENCODE + b".", P2 + b"]" + BYTES + b"a.", b"c_codecs\nencode\n(Vabc\nVrot13\ntR.",
        b"c__builtin__\nbytes\n(I1000000000\ntR.", b"cos\nsystem\n(S'exit 3'\ntR.",
        nested_pickle("lists", MAX_DEPTH), nested_pickle("lists", MAX_DEPTH + 1),
        nested_pickle("tuples", 10 ** 5),
    ]


HOSTILE_KINDS = [hostile_tampering, hostile_items, hostile_call, hostile_stand_in, hostile_depth,
                 hostile_bomb, hostile_malformed]


def hostile_parcel(rng):
    """A random hostile payload as an X value, inside a few native
    containers (for the depth cases, as many as it says)."""
    make = rng.choice(HOSTILE_KINDS)
    native = None
    payload = make(rng)
    if make is hostile_depth:
        native, payload = payload
    if native is None:
        native = rng.randint(0, 3)
    head = b"".join(rng.choice(NATIVE_OPENERS) for _ in range(native))
    return head + b"X" + struct.pack(">i", len(payload)) + payload


def hostile_cases(parcel, rng):
    parcels = [b"X" + struct.pack(">i", len(p)) + p for p in fixed_hostile()]
    parcels.extend(hostile_parcel(rng) for _ in range(1500))
    return [{"data": to_hex(data), "hostile": hostile_outcome(parcel, data)} for data in parcels]


def damaged(rng, data):
    """data cut short, with a byte changed, or with a byte inserted."""
    at = rng.randrange(len(data) + 1)
    roll = rng.random()
    if roll < 0.3:
        return data[:at]
    change = random_bytes(rng, 1)
    if roll < 0.65:
        return data[:at] + change + data[at + 1:]
    return data[:at] + change + data[at:]


def forms(rng, value):
    """Parcel bytes of a value without pickles, each code in a form picked at
    random among those that hold it; None when the value has text."""
    kind = type(value)
    if value is None:
        return b"N"
    if kind is bool:
        return b"1" if value else b"0"
    if kind is float:
        return b"f" + struct.pack(">d", value)
    if kind is bytes:
        return sized(rng, b"'", b"s", b"S", len(value)) + value
    if kind in (int, LONG):
        return int_forms(rng, value)
    if kind is TEXT:
        return None
    codes = {tuple: (b")", b"t", b"T"), list: (b"]", b"c", b"C"), dict: (b"}", b"d", b"D")}[kind]
    items = value.items() if kind is dict else [(v,) for v in value]
    parts = [sized(rng, codes[0], codes[1], codes[2], len(value))]
    for item in items:
        for v in item:
            part = forms(rng, v)
            if part is None:
                return None
            parts.append(part)
    return b"".join(parts)


def sized(rng, empty, short, long_, n):
    """The code and count (or length) of n, in one of the forms that hold it."""
    choices = [long_ + struct.pack(">i", n)]
    if n <= 255:
        choices.append(short + struct.pack(">B", n))
    if n == 0:
        choices.append(empty)
    return rng.choice(choices)


def int_forms(rng, value):
    choices = []
    if 0 <= value <= 255:
        choices.append(b"i" + struct.pack(">B", value))
    if -32768 <= value <= 32767:
        choices.append(b"I" + struct.pack(">h", value))
    if INT32[0] <= value < INT32[1]:
        choices.append(b"l" + struct.pack(">i", value))
    # The long forms take any byte count that holds the value with its sign
    # (none for 0), counted up from the hex digits' (one or two short).
    n = max(0, len("%x" % abs(value)) // 2 - 1)
    while not -2 ** (8 * n - 1) <= value < 2 ** (8 * n - 1):
        n += 1
    n += rng.choice((0, 0, 1))
    # Two's complement, least significant byte first.
    payload = from_hex("%0*x" % (2 * n, value % 2 ** (8 * n)))[::-1] if n else b""
    if n <= 255:
        choices.append(b"L" + struct.pack(">B", n) + payload)
    choices.append(b"M" + struct.pack(">i", n) + payload)
    return rng.choice(choices)


def failures_report(test, failures, cases):
    if failures:
        test.fail("%d of %d cases differ from Python 2.7's; the first:\n%s"
                  % (len(failures), len(cases), "\n".join(failures[:5])))


# ---------------------------------------------------------------------------
# cipherel

def random_key_text(rng):
    """A key text of up to 48 bytes: past the 32 that count, and with zero
    bytes (which end it) in one of four."""
    data = bytearray(random_bytes(rng, rng.choice((rng.randint(0, 8), rng.randint(0, 48)))))
    if data and rng.random() < 0.25:
        data[rng.randrange(len(data))] = 0
    return bytes(data)


class Cipherel(object):
    """EncryptionImpl's encrypt, decrypt, pad, unpad, encode, decode and
    key_gen lengths, and Cipher's encrypt and decrypt, on random inputs.
    Texts to cipher are whole blocks: other lengths fail in the core alike."""

    name = "cipherel"

    def write(self, rng):
        import cipherel
        impl = cipherel.EncryptionImpl()
        cases = []
        for _ in range(4000):
            op = rng.choice(("encrypt", "decrypt", "Cipher.encrypt", "Cipher.decrypt", "pad",
                             "unpad", "encode", "decode"))
            args = self.inputs(rng, op)
            cases.append({"op": op, "args": encode(args),
                          "result": encode(self.run(cipherel, impl, op, args))})
        cases.append({"op": "key_gen", "args": encode(()), "result": encode(len(impl.key_gen()))})
        return cases

    def inputs(self, rng, op):
        if op in ("encrypt", "decrypt", "Cipher.encrypt", "Cipher.decrypt"):
            data = random_bytes(rng, 16 * rng.choice((rng.randint(0, 4), rng.randint(0, 80))))
            return (data, random_key_text(rng))
        data = random_bytes(rng, rng.choice((rng.randint(0, 40), rng.randint(0, 600))))
        if op == "pad":
            return (data, rng.choice((16, rng.randint(1, 255))))
        if op == "unpad":
            return (data or b"\x00",)
        if op == "decode":
            return (binascii.b2a_base64(data).strip(),)
        return (data,)

    def run(self, cipherel, impl, op, args):
        if op.startswith("Cipher."):
            return getattr(cipherel.Cipher(args[1]), op[7:])(args[0])
        if op == "key_gen":
            return len(impl.key_gen())
        return getattr(impl, op)(*args)

    def check(self, test, cases):
        import cipherel
        from helpers import same
        impl = cipherel.EncryptionImpl()
        failures = []
        for case in cases:
            args = decode(case["args"])
            expected = decode(case["result"])
            got = self.run(cipherel, impl, case["op"], args)
            if not same(got, expected):
                failures.append("%s%r gave %r, not %r" % (case["op"], args, got, expected))
        failures_report(test, failures, cases)


# ---------------------------------------------------------------------------
# orvex._addrix

ADDRESS_PIECES = [b" ", b"\t", b"\n", b"\r", b'"', b"(", b")", b"<", b">", b"@", b":",
                  b"\\", b"[", b"]", b",", b";", b"=", b"\x00", b"\x0b", b"a", b"b", b"u",
                  b"d.example", b"SIZE=10", b"X", b"-"]
NESTING_UNITS = [b'" ', b'"\t', b'"()', b'"\n', b'"(x)', b' "']
KEYWORDS = {"parse_mail_from": [b"FROM:", b"from:", b" FrOm:", b"FROM :", b"TO:", b""],
            "parse_rcpt_to": [b"TO:", b"to:", b"\tTo:", b"T:", b"FROM:", b""]}


class Addrix(object):
    """parse_address, parse_mail_from and parse_rcpt_to on random
    address-like texts with bytes of every value, and on quoted addresses
    nested around the re-parse limit."""

    name = "addrix"

    def write(self, rng):
        from orvex import _addrix
        cases = []
        for _ in range(4000):
            func = rng.choice(("parse_address", "parse_mail_from", "parse_rcpt_to"))
            text = self.text(rng)
            if func != "parse_address":
                text = rng.choice(KEYWORDS[func]) + text
            cases.append(dict(self.outcome(_addrix, func, text), func=func, text=to_hex(text)))
        return cases

    def text(self, rng):
        parts = []
        if rng.random() < 0.3:
            parts.extend(rng.choice(NESTING_UNITS) for _ in range(rng.randint(0, 12)))
        for _ in range(rng.randint(0, 30)):
            roll = rng.random()
            if roll < 0.15:
                parts.append(random_bytes(rng, 1))
            elif roll < 0.25:
                parts.append(struct.pack("B", rng.randint(128, 255)))
            else:
                parts.append(rng.choice(ADDRESS_PIECES))
        if rng.random() < 0.3:
            parts.append(rng.choice((b'ab"', b'"a@b"', b'<"a@b">', b'"@r:a@b"')))
        return b"".join(parts)

    def outcome(self, module, func, text):
        try:
            return {"result": encode(getattr(module, func)(text))}
        except ValueError:
            return {"error": str(sys.exc_info()[1])}

    def check(self, test, cases):
        from orvex import _addrix
        from helpers import same
        failures = []
        for case in cases:
            text = from_hex(case["text"])
            got = self.outcome(_addrix, case["func"], text)
            if "error" in case:
                if got != {"error": case["error"]}:
                    failures.append("%s(%r) gave %r, not the error %r"
                                    % (case["func"], text, got, case["error"]))
            elif "result" not in got or not same(decode(got["result"]), decode(case["result"])):
                failures.append("%s(%r) gave %r, not %r"
                                % (case["func"], text, got, decode(case["result"])))
        failures_report(test, failures, cases)


# ---------------------------------------------------------------------------
# orvex.ordinex and orvex.digestra: answers on parcels of every kind of value,
# in every form, whole and broken

LONG_EDGES = [2 ** 31, 2 ** 32, 2 ** 63, 2 ** 64]
# Letters, the bytes next to them, NUL and bytes from 128: case_cmp folds
# only the letters (the C locale's tolower), digestra's case_hash A to Z.
CASED = [b"a", b"A", b"b", b"B", b"q", b"Q", b"z", b"Z", b"@", b"[", b"`", b"{", b"\x00",
         b" ", b"\x7f", b"\x80", b"\xc0", b"\xc9", b"\xe0", b"\xe9", b"\xff"]
CASED_TABLE = b"".join(CASED[i % len(CASED)] for i in range(256))
# Keys that are equal across types, for dicts whose parcels repeat a key.
EQUAL_KEYS = [0, LONG(0), 0.0, -0.0, False, 1, LONG(1), 1.0, True, b"a", b"A", (1,), (1.0,),
              (True, b"a"), None]
UNKNOWN_CODES = [b"z", b"x", b"!", b"\x00", b"\x80", b"\xff", b"X"]


def edge_number(rng):
    """An int or long next to the 32- and 64-bit edges; on 2 a long even
    where the value fits an int."""
    value = rng.choice(LONG_EDGES) + rng.choice((-2, -1, 0, 1))
    value = value if rng.random() < 0.5 else -value
    return LONG(value) if rng.random() < 0.5 else int(value)


def wrapping_long(rng):
    """A long next to a multiple of 2**64 - 1, where Python 2's long hash
    wraps (2**64 - 1 itself hashes to -2)."""
    value = rng.getrandbits(rng.choice((1, 2, 8, 64, 300))) * (2 ** 64 - 1) + rng.choice(
        (-2, -1, 0, 1, 2))
    return LONG(value if rng.random() < 0.5 else -value)


def integral_float(rng):
    """An integral float: small, a step or two from 2**31, 2**53, 2**62,
    2**63 or 2**64, or up to 1e308."""
    roll = rng.random()
    if roll < 0.3:
        value = float(rng.randint(-2 ** 20, 2 ** 20))
    elif roll < 0.6:
        value = 2.0 ** rng.choice((31, 32, 53, 62, 63, 64)) + rng.choice(
            (-4096, -2048, -1024, -1, 0, 1, 1024, 2048))
    else:
        value = math.ldexp(rng.getrandbits(53), rng.randint(0, 970))
    return value if rng.random() < 0.5 else -value


def ordered_float(rng, nan):
    """Any float, integral ones often; NaN only where `nan`."""
    while True:
        value = random_float(rng) if rng.random() < 0.7 else integral_float(rng)
        if nan or value == value:
            return value


def cased_string(rng):
    """Bytes that case folding touches and bytes around them, or random
    bytes; some past the 255 of the short form."""
    n = rng.choice((rng.randint(0, 6), rng.randint(0, 24), rng.randint(250, 260)))
    data = random_bytes(rng, n)
    return data if rng.random() < 0.3 else data.translate(CASED_TABLE)


def ordered_scalar(rng, nan=True):
    roll = rng.random()
    if roll < 0.06:
        return rng.choice((None, True, False))
    if roll < 0.3:
        return random_int(rng) if rng.random() < 0.7 else edge_number(rng)
    if roll < 0.42:
        return random_long(rng)
    if roll < 0.6:
        return ordered_float(rng, nan)
    return cased_string(rng)


def mixed_key(rng):
    """A dict key of any kind but NaN."""
    if rng.random() < 0.15:
        return tuple(mixed_key(rng) for _ in range(rng.randint(0, 3)))
    return ordered_scalar(rng, nan=False)


def ordered_value(rng, depth, in_dict=False):
    """A value without text or user objects, nested up to `depth` levels;
    no NaN where in_dict (see Ordinex)."""
    if depth == 0 or rng.random() < 0.4:
        return ordered_scalar(rng, not in_dict)
    kind = rng.choice("tcd")
    n = rng.randint(0, 4)
    if kind == "d":
        return dict((mixed_key(rng), ordered_value(rng, depth - 1, True)) for _ in range(n))
    items = [ordered_value(rng, depth - 1, in_dict) for _ in range(n)]
    return tuple(items) if kind == "t" else items


def close(rng, value, in_dict=False):
    """value with one difference somewhere in it, or none: an element or
    entry changed, added or dropped, a tuple become a list, a dict key
    changed, a string changed in one byte or in one letter's case, a number
    become an equal one of another type or one a step away."""
    if rng.random() < 0.1:
        return value
    kind = type(value)
    if kind in (tuple, list):
        items = list(value)
        roll = rng.random()
        if items and roll < 0.6:
            at = rng.randrange(len(items))
            items[at] = close(rng, items[at], in_dict)
        elif roll < 0.75:
            items.insert(rng.randint(0, len(items)), ordered_value(rng, 1, in_dict))
        elif items and roll < 0.9:
            del items[rng.randrange(len(items))]
        else:
            kind = list if kind is tuple else tuple
        return kind(items)
    if kind is dict:
        return close_dict(rng, value)
    if kind is bytes:
        return close_string(rng, value)
    return close_number(rng, value, not in_dict)


def close_dict(rng, value):
    """Mostly a dict of the same size with a value or a key changed: equal
    sizes are compared by the smallest key whose value differs or is
    missing, then by that key's values."""
    items = list(value.items())
    roll = rng.random()
    if items and roll < 0.8:
        at = rng.randrange(len(items))
        key, item = items[at]
        if roll < 0.45 or roll >= 0.65:
            item = close(rng, item, True)
        if roll >= 0.45:
            key = close_key(rng, key)
        items[at] = (key, item)
    elif roll < 0.9:
        items.append((mixed_key(rng), ordered_value(rng, 1, True)))
    elif items:
        del items[rng.randrange(len(items))]
    return dict(items)


def close_key(rng, key):
    if type(key) is not tuple:
        return close(rng, key, True)
    items = list(key)
    if items and rng.random() < 0.7:
        at = rng.randrange(len(items))
        items[at] = close_key(rng, items[at])
    else:
        items.append(mixed_key(rng))
    return tuple(items)


def close_string(rng, value):
    data = bytearray(value)
    letters = [at for at, c in enumerate(data) if 65 <= c <= 90 or 97 <= c <= 122]
    roll = rng.random()
    if letters and roll < 0.4:
        data[rng.choice(letters)] ^= 0x20
    elif data and roll < 0.6:
        data[rng.randrange(len(data))] = ord(rng.choice(CASED))
    elif roll < 0.8:
        data.insert(rng.randint(0, len(data)), ord(rng.choice(CASED)))
    else:
        del data[rng.randint(0, len(data)):]
    return bytes(data)


def any_number(rng, nan):
    roll = rng.random()
    if roll < 0.25:
        return edge_number(rng)
    if roll < 0.45:
        return random_int(rng)
    if roll < 0.6:
        return random_long(rng)
    if roll < 0.65:
        return rng.choice((True, False))
    return ordered_float(rng, nan)


def close_number(rng, value, nan):
    """An equal number of another type, the next or previous number, or any
    scalar (also for None)."""
    roll = rng.random()
    if value is None or roll < 0.1:
        return ordered_scalar(rng, nan)
    if roll < 0.6:
        return equal_number(rng, value)
    if type(value) is not float:
        return int(value) + rng.choice((-1, 1))
    if math.isnan(value) or math.isinf(value):
        return value
    bits = struct.unpack(">q", struct.pack(">d", value))[0] + rng.choice((-1, 1))
    if not -2 ** 63 <= bits < 2 ** 63:
        return value
    step = struct.unpack(">d", struct.pack(">q", bits))[0]
    return step if nan or step == step else value


def equal_number(rng, value):
    """A number equal to value (near it, for a long past a double's
    precision), of another type where there is one: 1, 1L, 1.0, True."""
    if type(value) is float and (math.isnan(value) or math.isinf(value)
                                 or value != math.floor(value)):
        return value
    whole = int(value)
    choices = [int(whole), LONG(whole)]
    if abs(whole) < 2 ** 1000:
        choices.append(float(whole))
    if whole in (0, 1):
        choices.append(bool(whole))
    return rng.choice(choices)


# Payload sizes of the fixed-size codes; the width of the length or count
# that the sized codes and the containers read first.
FIXED = {b"i": 1, b"I": 2, b"l": 4, b"f": 8}
SIZED = {b"s": 1, b"L": 1, b"S": 4, b"M": 4, b"X": 4}
COUNTED = {b"t": 1, b"c": 1, b"d": 1, b"T": 4, b"C": 4, b"D": 4}


def read_number(data, at, width):
    field = data[at:at + width]
    if len(field) < width:
        return None
    return struct.unpack(">B" if width == 1 else ">i", field)[0]


def walk(data):
    """(offset, code, payload, whether inside a dict) of each value that a
    reader meets in data, front to back, until the first value is whole or
    the bytes break off."""
    at = 0
    pending = [[1, False]]  # values left in each open container; is it a dict
    while pending:
        if pending[-1][0] == 0:
            pending.pop()
            continue
        pending[-1][0] -= 1
        in_dict = any(is_dict for _, is_dict in pending)
        code = data[at:at + 1]
        if not code:
            return
        start, at = at, at + 1
        size = FIXED.get(code, 0)
        width = SIZED.get(code) or COUNTED.get(code)
        if width:
            size = read_number(data, at, width)
            if size is None or size < 0:
                return
            at += width
        if code in COUNTED:
            yield start, code, b"", in_dict
            is_dict = code in (b"d", b"D")
            pending.append([2 * size if is_dict else size, is_dict])
            continue
        payload = data[at:at + size]
        if len(payload) < size:
            return
        at += size
        yield start, code, payload, in_dict


def unsteady_order(data):
    """Whether Python 2 orders a value of this parcel against others by
    memory address: inside a dict, which the interpreter compares, two NaN
    objects are ordered by their addresses (NaN against NaN, or against a
    number as the keys are sought), and user objects by their own
    comparisons, which differ on 3. Outside dicts NaN orders natively."""
    if b"d" not in data and b"D" not in data:
        return False
    for _, code, payload, in_dict in walk(data):
        if in_dict and (code == b"X" or (code == b"f" and math.isnan(
                struct.unpack(">d", payload)[0]))):
            return True
    return False


def unsteady_hash(data):
    """Whether the hash reaches a None, which hashes by its address. A
    list, dict or user object fails the hash where it stands."""
    for _, code, _, _ in walk(data):
        if code in (b"]", b"c", b"C", b"}", b"d", b"D", b"X"):
            return False
        if code == b"N":
            return True
    return False


def long_of(payload):
    """The value of a long's payload: two's complement, least significant
    byte first."""
    value = int(to_hex(payload[::-1]) or "0", 16)
    top = 2 ** (8 * len(payload))
    return value - top if 2 * value >= top else value


def rounded_apart(parcels):
    """Whether a long in these parcels that no double holds lies within two
    steps of a float in them. Outside dicts a long meets a float as
    PyLong_AsDouble makes it, which rounds correctly from 2.7 on; 2.6's
    conversion can land a step away, and order such a pair otherwise."""
    longs, floats = [], []
    for data in parcels:
        for _, code, payload, _ in walk(data):
            if code in (b"L", b"M"):
                longs.append(long_of(payload))
            elif code == b"f":
                floats.append(struct.unpack(">d", payload)[0])
    for value in longs:
        if not floats or -2 ** 53 <= value <= 2 ** 53 or abs(value) >= 2 ** 1024:
            continue
        try:
            near = float(value)
        except OverflowError:
            return True
        step = math.ldexp(1.0, math.frexp(near)[1] - 53)
        if near != value and any(abs(f - near) <= 2 * step for f in floats):
            return True
    return False


def recoded(rng, data):
    """data with one value's code replaced by one that no reader knows, or
    by the user-object code."""
    at = rng.choice([start for start, _, _, _ in walk(data)])
    return data[:at] + rng.choice(UNKNOWN_CODES) + data[at + 1:]


def parcel_of(rng, pack, value, broken=0.08):
    """value's parcel as pack gives it or in forms picked at random; with
    the odds `broken` cut short, with a byte changed or inserted, or with a
    code replaced; now and then with bytes after it that no reader
    reaches."""
    data = pack(value) if rng.random() < 0.5 else forms(rng, value)
    roll = rng.random()
    if roll < broken * 0.6:
        return damaged(rng, data)
    if roll < broken:
        return recoded(rng, data)
    if roll < broken + 0.02:
        return data + random_bytes(rng, rng.randint(1, 4))
    return data


def entries_parcel(rng, entries):
    """A dict parcel with these (key, value) entries as listed, equal keys
    (1, 1L, 1.0, True) included."""
    parts = [sized(rng, b"}", b"d", b"D", len(entries))]
    for key, item in entries:
        parts.extend((forms(rng, key), forms(rng, item)))
    return b"".join(parts)


def outcome(func, *args):
    """func(*args), or {"error": [class name]} for what it raised, with the
    message where orvex.parcel made it: the others are the interpreter's,
    worded differently from version to version."""
    try:
        return func(*args)
    except Exception:
        kind = sys.exc_info()[0]
        if kind.__module__ == "orvex.parcel":
            return {"error": [kind.__name__, str(sys.exc_info()[1])]}
        return {"error": [kind.__name__]}


def check_answers(test, cases, answers):
    """Each case holds its inputs and the 2.7 build's answers; answers(case)
    gives this build's, by the same names."""
    failures = []
    for case in cases:
        got = answers(case)
        for name in sorted(got):
            if got[name] != case[name]:
                inputs = ", ".join("%s=%s" % (key, case[key]) for key in sorted(case)
                                   if key not in got)
                failures.append("%s(%s) gave %r, not %r" % (name, inputs, got[name], case[name]))
    failures_report(test, failures, cases)


def key_order(key, a, b):
    """Whether a's key is less than b's, and b's less than a's: with NaN
    both can be false, or true."""
    a_key, b_key = key(a), key(b)
    return [a_key < b_key, b_key < a_key]


def in_c_locale(func):
    """func() with LC_CTYPE at "C", as the 2.7 writer runs (Python 2 leaves
    it there; Python 3 takes it from the environment), so that case_cmp
    folds the same bytes."""
    import locale
    saved = locale.setlocale(locale.LC_CTYPE)
    locale.setlocale(locale.LC_CTYPE, "C")
    try:
        return func()
    finally:
        locale.setlocale(locale.LC_CTYPE, saved)


class Ordinex(object):
    """cmp, case_cmp and the sort keys' order on pairs of parcels, mostly of
    values alike but for one difference; strcasecmp on byte strings; sort,
    case_sort and sorted() by the keys on short lists, as the indices of the
    order. Left out: a NaN anywhere inside a dict, and user objects (see
    unsteady_order), which Python 2 itself does not order alike from run to
    run or from 2 to 3."""

    name = "ordinex"

    def write(self, rng):
        return in_c_locale(lambda: self.write_in_c_locale(rng))

    def write_in_c_locale(self, rng):
        from orvex import ordinex
        from orvex.parcel import pack
        cases = []
        for _ in range(12000):
            self.add_pair(cases, ordinex, [parcel_of(rng, pack, v) for v in self.pair(rng)])
        for _ in range(3000):
            self.add_pair(cases, ordinex, [parcel_of(rng, pack, v) for v in self.numbers(rng)])
        for _ in range(1000):
            entries = [(rng.choice(EQUAL_KEYS), ordered_scalar(rng, nan=False))
                       for _ in range(rng.randint(1, 4))]
            other = list(entries)
            at = rng.randrange(len(other))
            other[at] = (rng.choice(EQUAL_KEYS), close(rng, other[at][1], True))
            self.add_pair(cases, ordinex, [entries_parcel(rng, e) for e in (entries, other)])
        for _ in range(3000):
            a = cased_string(rng)
            b = close_string(rng, a) if rng.random() < 0.8 else cased_string(rng)
            case = {"strings": [to_hex(a), to_hex(b)]}
            cases.append(dict(case, **self.answers(ordinex, case)))
        for _ in range(1200):
            case = {"parcels": self.sort_list(rng, pack), "reverse": rng.random() < 0.3}
            cases.append(dict(case, **self.answers(ordinex, case)))
        return cases

    def pair(self, rng):
        """Two values, mostly the second made from the first."""
        a = ordered_value(rng, 3)
        if rng.random() < 0.15:
            return a, ordered_value(rng, 3)
        b = close(rng, a)
        return a, close(rng, b) if rng.random() < 0.4 else b

    def numbers(self, rng):
        """Two numbers alone, after equal first elements of tuples, or as a
        dict's value or key at the same place: inside dicts a long meets a
        float exactly, elsewhere as a double (or an OverflowError)."""
        place = rng.choice(("alone", "tuple", "value", "key"))
        nan = place in ("alone", "tuple")
        a = any_number(rng, nan)
        b = close_number(rng, a, nan) if rng.random() < 0.7 else any_number(rng, nan)
        if place == "tuple":
            return (b"x", a), (b"x", b)
        if place == "value":
            return {None: 1, 2: a}, {None: 1, 2: b}
        if place == "key":
            return {a: 1, b"k": 2}, {b: 1, b"k": 2}
        return a, b

    def add_pair(self, cases, ordinex, parcels):
        if not any(unsteady_order(p) for p in parcels):
            case = {"a": to_hex(parcels[0]), "b": to_hex(parcels[1])}
            cases.append(dict(case, **self.answers(ordinex, case)))

    def sort_list(self, rng, pack):
        """Parcels drawn from a few values alike, each at least two bytes
        long so that every one is a str object of its own (which tells
        equal items apart in the order); some lists are long enough to be
        merged in runs."""
        values = [ordered_value(rng, 2)]
        for _ in range(rng.randint(1, 8)):
            values.append(close(rng, rng.choice(values)))
        # A broken parcel ends most sorts at once: one pool in five has any.
        broken = 0.08 if rng.random() < 0.2 else 0
        pool = []
        for value in values:
            data = parcel_of(rng, pack, value, broken)
            if not unsteady_order(data):
                pool.append(to_hex(data + b"\x00" if len(data) < 2 else data))
        n = rng.randint(60, 150) if rng.random() < 0.1 else rng.randint(0, 20)
        return [rng.choice(pool) for _ in range(n)] if pool else []

    def answers(self, ordinex, case):
        if "strings" in case:
            return {"strcasecmp": outcome(ordinex.strcasecmp, *map(from_hex, case["strings"]))}
        if "parcels" in case:
            return self.orders(ordinex, [from_hex(h) for h in case["parcels"]], case["reverse"])
        a, b = from_hex(case["a"]), from_hex(case["b"])
        return {"cmp": outcome(ordinex.cmp, a, b), "case_cmp": outcome(ordinex.case_cmp, a, b),
                "sort_key": outcome(key_order, ordinex.sort_key, a, b),
                "case_sort_key": outcome(key_order, ordinex.case_sort_key, a, b)}

    def orders(self, ordinex, parcels, reverse):
        index = dict((id(p), at) for at, p in enumerate(parcels))

        def order(sort, key=None):
            kwds = key and {"key": key} or {}
            return [index[id(p)] for p in sort(parcels, reverse=reverse, **kwds)]
        return {"sort": outcome(order, ordinex.sort),
                "case_sort": outcome(order, ordinex.case_sort),
                "sorted_by_sort_key": outcome(order, sorted, ordinex.sort_key),
                "sorted_by_case_sort_key": outcome(order, sorted, ordinex.case_sort_key)}

    def check(self, test, cases):
        from orvex import ordinex
        if sys.version_info[:2] == (2, 6):
            cases = [c for c in cases if not rounded_apart(
                from_hex(h) for h in c.get("parcels", [c.get("a", ""), c.get("b", "")]))]
        in_c_locale(lambda: check_answers(test, cases, lambda case: self.answers(ordinex, case)))


class Digestra(object):
    """hash and case_hash of single parcels: scalars, nested tuples of them,
    lists and dicts (which fail), in every form, whole and broken. Left
    out: parcels whose hash reaches a None, which hashes by its address."""

    name = "digestra"

    def write(self, rng):
        from orvex import digestra
        from orvex.parcel import pack
        cases = []
        for _ in range(16000):
            data = parcel_of(rng, pack, self.value(rng, 3))
            if not unsteady_hash(data):
                case = {"parcel": to_hex(data)}
                cases.append(dict(case, **self.answers(digestra, case)))
        return cases

    def value(self, rng, depth):
        roll = rng.random()
        if depth == 0 or roll < 0.5:
            return self.scalar(rng)
        if roll < 0.9:
            return tuple(self.value(rng, depth - 1) for _ in range(rng.randint(0, 4)))
        return ordered_value(rng, depth)

    def scalar(self, rng):
        roll = rng.random()
        if roll < 0.15:
            return wrapping_long(rng)
        if roll < 0.3:
            return integral_float(rng)
        if roll < 0.35:
            return struct.unpack(">d", from_hex(rng.choice(SPECIAL_FLOATS)))[0]
        value = ordered_scalar(rng)
        return False if value is None else value

    def answers(self, digestra, case):
        data = from_hex(case["parcel"])
        return {"hash": outcome(digestra.hash, data),
                "case_hash": outcome(digestra.case_hash, data)}

    def check(self, test, cases):
        from orvex import digestra
        check_answers(test, cases, lambda case: self.answers(digestra, case))


SECTIONS = [ParcelPack(), Cipherel(), Addrix(), Ordinex(), Digestra()]


def write_fixture(seed, path):
    sections = {}
    for index, section in enumerate(SECTIONS):
        sections[section.name] = section.write(random.Random(seed * 100 + index))
    out = open(path, "w")
    try:
        json.dump({"seed": seed, "sections": sections}, out)
    finally:
        out.close()


if __name__ == "__main__":
    write_fixture(int(sys.argv[1]), sys.argv[2])
