"""orvex.parcel: unpack and pack of a typical record parcel, against the
interpreter's own serialisers of the same value (a sanity anchor)."""
import cPickle
import marshal
import pickle

import benchlib
from orvex import parcel

# A delivery record of the kind the appliance keeps: strs and ints, a few
# hundred bytes packed.
RECORD = {
    "id": 48213377,
    "queue": "outbound",
    "sender": "billing@example.org",
    "recipients": ["ann@example.com", "bob@example.net", "carol@example.com"],
    "subject": "Your invoice 2024-0412 is ready",
    "size": 48712,
    "attempts": 2,
    "next_try": 1712930400,
    "flags": ("dsn", "8bitmime", "smtputf8"),
    "hops": [("mx1.example.org", 250), ("relay.example.net", 451), ("mx2.example.org", 250)],
    "note": None,
}


def run():
    benchlib.heading("orvex.parcel")
    data = parcel.pack(RECORD)
    assert parcel.unpack(data) == RECORD
    c_pickled = cPickle.dumps(RECORD, 2)
    marshalled = marshal.dumps(RECORD)
    benchlib.compare("unpack (%d-byte record parcel)" % len(data),
                     lambda: parcel.unpack(data),
                     [("cPickle.loads (%d bytes)" % len(c_pickled), lambda: cPickle.loads(c_pickled)),
                      ("pickle.loads", lambda: pickle.loads(c_pickled)),
                      ("marshal.loads (%d bytes)" % len(marshalled), lambda: marshal.loads(marshalled))])
    benchlib.compare("pack (same record)",
                     lambda: parcel.pack(RECORD),
                     [("cPickle.dumps", lambda: cPickle.dumps(RECORD, 2)),
                      ("marshal.dumps", lambda: marshal.dumps(RECORD))])


if __name__ == "__main__":
    run()
