"""orvex.parcel: values packed into parcel strings, their bytes, and the way
back; how hostile parcels are refused; and what a call costs."""
import cPickle
import marshal
import pickle
import struct

import benchlib
from orvex import parcel


def show_error(data):
    try:
        parcel.unpack(data)
    except parcel.UnpackError, error:
        return "%s(%s)" % (type(error).__name__, error)
    return "accepted"


def tour():
    benchlib.heading("orvex.parcel: values as parcel strings")
    for value in [None, True, 7, -1, 70000, 2 ** 64, 1.5, "abc", (1, "a"), {"k": [None]},
                  u"caf\xe9"]:
        data = parcel.pack(value)
        print "pack(%r)\n    -> %r\n    unpack -> %r" % (value, data, parcel.unpack(data))
    print "unpack('S\\x00\\x00\\x00\\x03abc') -> %r  (long forms are read too)" % (
        parcel.unpack("S\x00\x00\x00\x03abc"),)

    benchlib.heading("orvex.parcel: hostile parcels")
    evil = "cos\nsystem\n(S'echo hi'\ntR."
    for data in ["s\x05ab", "T\x7f\xff\xff\xffN", "\xff", "t\x01" * 1000000 + "N",
                 "X" + struct.pack(">i", len(evil)) + evil]:
        print "unpack(%r) -> %s" % (data if len(data) < 40 else data[:16] + "...", show_error(data))

    benchlib.heading("orvex.parcel: timing")
    record = {"id": 48213377, "sender": "billing@example.org",
              "recipients": ["ann@example.com", "bob@example.net"], "size": 48712,
              "flags": ("dsn", "8bitmime")}
    data = parcel.pack(record)
    pickled = cPickle.dumps(record, 2)
    marshalled = marshal.dumps(record)
    benchlib.compare("unpack (%d-byte record)" % len(data), lambda: parcel.unpack(data),
                     [("cPickle.loads", lambda: cPickle.loads(pickled)),
                      ("marshal.loads", lambda: marshal.loads(marshalled)),
                      ("pickle.loads (pure Python)", lambda: pickle.loads(pickled))], number=2000)


if __name__ == "__main__":
    tour()
