"""Which bytes fold under case_cmp depends on the C library's current locale;
digestra's case_hash folds A-Z only, whatever the locale. Checked in a child
interpreter running a Latin-1 locale built here with localedef."""
import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import unittest


LOCALE = "de_DE.ISO-8859-1"
_locale_dir = []


def locale_dir():
    """A directory holding LOCALE, built once per process."""
    if not _locale_dir:
        path = tempfile.mkdtemp()
        atexit.register(shutil.rmtree, path, True)
        subprocess.check_call(["localedef", "-i", "de_DE", "-f", "ISO-8859-1",
                               os.path.join(path, LOCALE)])
        _locale_dir.append(path)
    return _locale_dir[0]


CHILD = r"""
from __future__ import print_function
import locale
from orvex import digestra, ordinex, parcel
pk = parcel.pack
# Sort keys made now and compared after the locale changes; the second pair
# differs past the bytes a key keeps of its first field.
pairs = [(pk((b"\xc4z", 1)), pk((b"\xe4a", 1))), (pk(b"\xc4" * 20 + b"z"), pk(b"\xe4" * 20 + b"a"))]
keys = [(ordinex.case_sort_key(a), ordinex.case_sort_key(b)) for a, b in pairs]
def results():
    return (ordinex.case_cmp(pk(b"\xc4"), pk(b"\xe4")), ordinex.strcasecmp(b"\xc4", b"\xe4"),
            ordinex.cmp(pk(b"\xc4"), pk(b"\xe4")), ordinex.case_cmp(pk((b"\xc4b",)), pk((b"\xe4B",))),
            digestra.case_hash(pk(b"\xc4")) == digestra.hash(pk(b"\xc4")),
            [ka < kb for ka, kb in keys], [ordinex.case_sort([b, a]) == [a, b] for a, b in pairs])
print(results())
locale.setlocale(locale.LC_CTYPE, %r)
print(results())
""" % LOCALE


class LocaleFolding(unittest.TestCase):
    def test_case_cmp_follows_the_locale_and_case_hash_does_not(self):
        env = dict(os.environ, LOCPATH=locale_dir())
        child = subprocess.Popen([sys.executable, "-c", CHILD], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = child.communicate()
        self.assertEqual(child.returncode, 0, err)
        # Under the C locale only ASCII folds; under Latin-1, A-umlaut (0xC4)
        # folds to a-umlaut (0xE4) for case_cmp and strcasecmp, at any depth,
        # and for case_sort and keys made before, while cmp stays byte for
        # byte and case_hash leaves the byte alone.
        self.assertEqual(out.splitlines(),
                         [b"(-1, -1, -1, -1, True, [True, True], [True, True])",
                          b"(0, 0, -1, 0, True, [False, False], [False, False])"])


if __name__ == "__main__":
    unittest.main()
