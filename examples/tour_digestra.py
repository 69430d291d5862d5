"""orvex.digestra: the hash of a parcel string, straight from its bytes."""
import sys
from functools import partial

from benchlib import compare, heading
from orvex import digestra, parcel

VALUES = [None, True, 7, -1, 2 ** 40, 2 ** 64 - 1, 1.5, b"abc", b"ABC", (1, 2),
          (b"Mail", (b"From", 25)), ()]
PY3 = bytes is not str


def decode_then_hash(p):
    return hash(parcel.unpack(p))


def narrowed(h):
    """The interpreter's hash cut to 32 bits as digestra gives it."""
    h &= 0xffffffff
    h = h - (1 << 32) if h >= 1 << 31 else h
    return -2 if h == -1 else h


def tour():
    heading("orvex.digestra")
    sys.stdout.write("%-26s %-42s %12s %12s %12s\n"
                     % ("value", "parcel", "hash", "case_hash", "builtin"))
    for value in VALUES:
        p = parcel.pack(value)
        sys.stdout.write("%-26r %-42r %12d %12d %12d\n" % (
            value, p, digestra.hash(p), digestra.case_hash(p), narrowed(hash(value))))
    sys.stdout.write("(builtin: the interpreter's hash of the value, cut to 32 bits. Tuples mix\n"
                     " their elements' 32-bit hashes by their own scheme and None hashes by its\n"
                     " address, so those two differ on purpose)\n")
    if PY3:
        sys.stdout.write("(Python 3 hashes byte strings, big ints and floats its own way; digestra\n"
                         " gives Python 2's numbers on both, so stored hashes stay valid)\n")

    for p, what in [(b"]", "a list"), (b"z", "an unknown code"), (b"s\x05ab", "a cut string")]:
        try:
            digestra.hash(p)
        except Exception:
            error = sys.exc_info()[1]
            sys.stdout.write("hash(%r) [%s] -> %s%r\n" % (p, what, type(error).__name__, error.args))

    sys.stdout.write("\n")
    for label, value in [("a 40-byte " + bytes.__name__, b"x" * 40),
                         ("a 1000-tuple of ints", tuple(range(1000)))]:
        p = parcel.pack(value)
        compare("digestra.hash(%s)" % label, partial(digestra.hash, p),
                [("hash(unpack(p))", partial(decode_then_hash, p))], number=2000)


if __name__ == "__main__":
    tour()
