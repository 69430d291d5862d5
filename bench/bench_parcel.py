"""orvex.parcel: unpack and pack of a typical record parcel, against the
interpreter's own serialisers of the same value (a sanity anchor)."""
import marshal

import benchlib
from benchlib import fast_pickle, python_loads
from orvex import parcel

# A delivery record of the kind the appliance keeps: byte strings (str on 2)
# and ints, a few hundred bytes packed.
RECORD = {
    b"id": 48213377,
    b"queue": b"outbound",
    b"sender": b"billing@example.org",
    b"recipients": [b"ann@example.com", b"bob@example.net", b"carol@example.com"],
    b"subject": b"Your invoice 2024-0412 is ready",
    b"size": 48712,
    b"attempts": 2,
    b"next_try": 1712930400,
    b"flags": (b"dsn", b"8bitmime", b"smtputf8"),
    b"hops": [(b"mx1.example.org", 250), (b"relay.example.net", 451), (b"mx2.example.org", 250)],
    b"note": None,
}


def run():
    benchlib.heading("orvex.parcel")
    data = parcel.pack(RECORD)
    assert parcel.unpack(data) == RECORD
    pickled = fast_pickle.dumps(RECORD, 2)
    marshalled = marshal.dumps(RECORD)
    loads = "%s.loads" % fast_pickle.__name__
    benchlib.compare("unpack (%d-byte record parcel)" % len(data),
                     lambda: parcel.unpack(data),
                     [("%s (%d bytes)" % (loads, len(pickled)), lambda: fast_pickle.loads(pickled)),
                      ("pickle (pure Python)", lambda: python_loads(pickled)),
                      ("marshal.loads (%d bytes)" % len(marshalled), lambda: marshal.loads(marshalled))])
    benchlib.compare("pack (same record)",
                     lambda: parcel.pack(RECORD),
                     [("%s.dumps" % fast_pickle.__name__, lambda: fast_pickle.dumps(RECORD, 2)),
                      ("marshal.dumps", lambda: marshal.dumps(RECORD))])


if __name__ == "__main__":
    run()
