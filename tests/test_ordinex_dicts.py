"""Dicts of equal entry counts order as Python 2 orders the dicts themselves,
on every interpreter: by the smallest key whose value differs or is missing,
then by that key's values, with keys and values compared by Python 2's
default rules (no case folding, numbers exactly, None first, numbers before
other kinds, other kinds by type name). Python 3 has none of this; its build
must give the same answers."""
import sys
import unittest

from orvex import ordinex, parcel
from orvex.parcel import pack

PYTHON2 = sys.version_info[0] == 2

# (a, b, Python 2's cmp(a, b)); cmp and case_cmp both give it.
ORDERS = [
    ({1: 2}, {1: 3}, -1),
    ({1: b"a", 2: b"b"}, {1: b"a", 2: b"B"}, 1),
    # The smallest differing key decides, whatever larger keys say.
    ({1: 5, 2: 0}, {1: 4, 2: 9}, 1),
    # A key missing from the other dict differs; then the two keys compare.
    ({1: 0, 3: 0}, {1: 0, 2: 0}, 1),
    ({None: 1, b"a": 2}, {None: 1, 0: 2}, 1),
    ({(1,): 0}, {b"x": 0}, 1),
    ({(1, None): 0}, {(1, 0.5): 0}, -1),
    ({0.5: 1}, {0: 1}, 1),
    ({2 ** 64: 0}, {2 ** 64 + 1: 0}, -1),
    ({2 ** 63: (None,)}, {-2 ** 63: (None,)}, 1),
    # Equal numbers of any type are the same key and equal values.
    ({1: True}, {1.0: 1}, 0),
    ({0: -0.0}, {0: 0}, 0),
    ({0: True}, {0: 2}, -1),
    # A long against a float exactly, unlike outside dicts.
    ({0: 2 ** 53 + 1}, {0: 2.0 ** 53}, 1),
    ({0: float("inf")}, {0: 10 ** 400}, 1),
    # None first, numbers next, then "dict" < "list" < "str" < "tuple".
    ({0: None}, {0: 0}, -1),
    ({0: 1}, {0: b""}, -1),
    ({0: {}}, {0: []}, -1),
    ({0: []}, {0: b""}, -1),
    ({0: b"z"}, {0: ()}, -1),
    ({0: (1, b"a")}, {0: (1, 2)}, 1),
    ({0: [1, 2]}, {0: [1, 2, 0]}, -1),
    # No folding inside dicts, even under case_cmp.
    ({b"K": 1}, {b"k": 1}, -1),
    ({0: {1: 2}}, {0: {1: 3}}, -1),
    ({0: {1: 2, 3: 4}}, {0: {5: 0}}, 1),
    ({b"a": 1, b"b": 2, b"c": 3}, {b"c": 3, b"b": 2, b"a": 1}, 0),
]

# Crafted parcels: (a, b, answer or exception class).
CRAFTED = [
    # A list cannot be a key.
    (b"d\x01]N", b"d\x01NN", TypeError),
    # 1 and True are one key: two entries in the parcel, one in the dict.
    (b"d\x02i\x01N1N", b"d\x02i\x01Ni\x02N", -1),
    (b"d\x02i\x01N1i\x05", b"d\x02i\x01Ni\x02N", -1),
    (b"d\x02i\x01N1N", b"d\x01i\x01N", 1),
]


class Ordered(object):
    """A user object with an order of its own, by its rank."""

    def __init__(self, rank):
        self.rank = rank

    def __eq__(self, other):
        return isinstance(other, Ordered) and self.rank == other.rank

    def __ne__(self, other):
        return not self == other

    def __lt__(self, other):
        return self.rank < other.rank

    def __gt__(self, other):
        return self.rank > other.rank

    __hash__ = None


class Refusing(object):
    """A user object whose equality fails."""

    def __eq__(self, other):
        raise ValueError("no equality here")

    __hash__ = None


# Module-level so that the suite's repeated runs register nothing new.
parcel.register(Ordered)
parcel.register(Refusing)


def answers(a, b):
    return ordinex.cmp(pack(a), pack(b)), ordinex.case_cmp(pack(a), pack(b))


class DictOrder(unittest.TestCase):
    def test_python_2_order(self):
        for a, b, expected in ORDERS:
            if PYTHON2:
                self.assertEqual(eval("cmp")(a, b), expected, (a, b))
            self.assertEqual(answers(a, b), (expected, expected), (a, b))
            self.assertEqual(answers(b, a), (-expected, -expected), (b, a))

    def test_crafted_parcels(self):
        for a, b, expected in CRAFTED:
            if isinstance(expected, int):
                self.assertEqual(ordinex.cmp(a, b), expected, (a, b))
                self.assertEqual(ordinex.cmp(b, a), -expected, (b, a))
            else:
                self.assertRaises(expected, ordinex.cmp, a, b)
                self.assertRaises(expected, ordinex.cmp, b, a)

    def test_user_objects_compare_by_their_own_order(self):
        self.assertEqual(answers({0: Ordered(1)}, {0: Ordered(2)}), (-1, -1))
        self.assertEqual(answers({0: Ordered(2)}, {0: Ordered(1)}), (1, 1))
        self.assertEqual(answers({0: Ordered(2)}, {0: Ordered(2)}), (0, 0))
        self.assertEqual(answers({0: Ordered(1), 1: 5}, {0: Ordered(1), 1: 4}), (1, 1))

    def test_user_object_failures_propagate(self):
        for a, b in [({0: Refusing()}, {0: 1}), ({0: 1}, {0: Refusing()})]:
            self.assertRaises(ValueError, ordinex.cmp, pack(a), pack(b))
            self.assertRaises(ValueError, ordinex.case_cmp, pack(a), pack(b))

    def test_nesting_as_deep_as_parcels_go(self):
        a, b = 1, 2
        for _ in range(490):
            a, b = {0: a}, {0: b}
        self.assertEqual(answers(a, b), (-1, -1))


if __name__ == "__main__":
    unittest.main()
