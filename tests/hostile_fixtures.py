"""What hostile X payloads are made of, shared by test_parcel_hostile and
parity_cases: the registered classes whose class attributes they go for,
and the pickle pieces that name and reach them. Pickles name the classes by
module, so they live in one importable module whichever file runs as
__main__; they are registered once, here, at import. Runs on 2.6, 2.7 and
3."""
import struct

from orvex import parcel

P2 = b"\x80\x02"


def short(data):
    """SHORT_BINSTRING (protocols 1 and 2)."""
    return b"U" + struct.pack("B", len(data)) + data


def put(slot, long_form=False):
    if slot < 256 and not long_form:
        return b"q" + struct.pack("B", slot)
    return b"r" + struct.pack("<I", slot)


def get(slot, long_form=False):
    if slot < 256 and not long_form:
        return b"h" + struct.pack("B", slot)
    return b"j" + struct.pack("<I", slot)


def glob(module, name):
    return b"c" + module + b"\n" + name + b"\n"


def of(cls):
    return glob(cls.__module__.encode("ascii"), cls.__name__.encode("ascii"))


class Account(object):
    limit = 100

    def __init__(self, owner=None):
        self.owner = owner


class OldAccount:
    """Classic on 2, where a class's __dict__ is a plain dict."""
    limit = 100


class LedgerType(type):
    """Classes that take entries by subscript: Ledger[name] = value."""

    def __setitem__(cls, name, value):
        setattr(cls, name, value)


def add_entry(cls, entry):
    cls.entries.append(entry)


def add_entries(cls, entries):
    cls.entries.extend(entries)


# Made by calling the metaclass: one spelling on 2 and 3.
Ledger = LedgerType("Ledger", (object,), {
    "__module__": __name__, "limit": 100, "entries": [],
    "append": classmethod(add_entry), "extend": classmethod(add_entries)})


class Teller(object):
    """Calling an instance counts the call."""
    calls = 0

    def __call__(self, *args):
        Teller.calls += 1
        return self


class Tally(dict):
    pass


class Entries(list):
    pass


class Slotted(object):
    __slots__ = ("a", "b")


for _cls in (Account, OldAccount, Ledger, Teller, Tally, Entries, Slotted):
    parcel.register(_cls)

# The classes a payload may change; snapshot and restore undo what it did.
TAMPERED = [Account, OldAccount, Ledger, Teller]
MISSING = object()


def snapshot():
    return [(cls, dict(cls.__dict__), list(getattr(cls, "entries", ()))) for cls in TAMPERED]


def restore(saved):
    for cls, attrs, entries in saved:
        for name in [n for n in cls.__dict__ if n not in attrs]:
            delattr(cls, name)
        for name, value in attrs.items():
            if cls.__dict__.get(name, MISSING) is not value:
                setattr(cls, name, value)
        if "entries" in attrs:
            cls.entries[:] = entries
