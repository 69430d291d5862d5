"""A suite that leaks one reference per run; the refleak runner must fail it."""
import unittest

import _pyglue_probe


class Leaks(unittest.TestCase):
    def test_leaks_a_reference(self):
        _pyglue_probe.leak(object())
