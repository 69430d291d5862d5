"""orvex.parcel: values packed into parcel strings, their bytes, and the way
back; how hostile parcels are refused; and what a call costs."""
from __future__ import print_function

import marshal
import struct
import sys

import benchlib
from benchlib import fast_pickle, python_loads
from orvex import parcel


def show_error(data):
    try:
        parcel.unpack(data)
    except parcel.UnpackError:
        error = sys.exc_info()[1]
        return "%s(%s)" % (type(error).__name__, error)
    return "accepted"


def tour():
    benchlib.heading("orvex.parcel: values as parcel strings")
    for value in [None, True, 7, -1, 70000, 2 ** 64, 1.5, b"abc", (1, b"a"), {b"k": [None]},
                  u"caf\xe9"]:
        data = parcel.pack(value)
        print("pack(%r)\n    -> %r\n    unpack -> %r" % (value, data, parcel.unpack(data)))
    print("unpack(%r) -> %r  (long forms are read too)" % (
        b"S\x00\x00\x00\x03abc", parcel.unpack(b"S\x00\x00\x00\x03abc")))

    benchlib.heading("orvex.parcel: hostile parcels")
    evil = b"cos\nsystem\n(S'echo hi'\ntR."
    for data in [b"s\x05ab", b"T\x7f\xff\xff\xffN", b"\xff", b"t\x01" * 1000000 + b"N",
                 b"X" + struct.pack(">i", len(evil)) + evil]:
        print("unpack(%r) -> %s" % (data if len(data) < 40 else data[:16] + b"...",
                                    show_error(data)))

    benchlib.heading("orvex.parcel: timing")
    record = {b"id": 48213377, b"sender": b"billing@example.org",
              b"recipients": [b"ann@example.com", b"bob@example.net"], b"size": 48712,
              b"flags": (b"dsn", b"8bitmime")}
    data = parcel.pack(record)
    pickled = fast_pickle.dumps(record, 2)
    marshalled = marshal.dumps(record)
    benchlib.compare("unpack (%d-byte record)" % len(data), lambda: parcel.unpack(data),
                     [("%s.loads" % fast_pickle.__name__, lambda: fast_pickle.loads(pickled)),
                      ("marshal.loads", lambda: marshal.loads(marshalled)),
                      ("pickle (pure Python)", lambda: python_loads(pickled))], number=2000)


if __name__ == "__main__":
    tour()
