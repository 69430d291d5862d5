"""Cross-version parity cases: a Python 2.7 build writes seeded random inputs
with its results (the fixture), and the build under test must reproduce
every result (test_parity_py2.py). Runs on 2.6, 2.7 and 3.

    python2.7 parity_cases.py SEED FIXTURE_PATH     # writes the fixture

The fixture is JSON: {"seed": SEED, "sections": {name: [case, ...]}}.
Values travel as token lists (encode/decode) that each side rebuilds in its
own types: a Python 2 str is bytes on 3, int and long are int, unicode is
str.

A section is one module's share: `modules` (dotted names both sides need),
`write(rng)` giving JSON-able cases on the writer, and `check(test, cases)`
asserting on the build under test.
"""
import binascii
import json
import random
import struct
import sys

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
    of broken ones."""

    name = "parcel"
    modules = ["orvex.parcel"]

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
            if "data" in case:
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
    modules = ["cipherel"]

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
    modules = ["orvex._addrix"]

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


SECTIONS = [ParcelPack(), Cipherel(), Addrix()]


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
