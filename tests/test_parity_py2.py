"""Cross-version parity: the bootstrapped Python 2.7 with its build (the 2.7
leg's build, which CI runs first) writes seeded random cases with its
results, and this build must reproduce every one (see parity_cases.py).
On Python 3 that is the promise that stored data comes out the same; on 2.6
that the appliance's interpreter agrees with 2.7.

The test builds nothing: without the 2.7 interpreter or its build it fails
under CI=true and is skipped otherwise. ORVEX_PARITY_SEED picks another
seed."""
import json
import os
import subprocess
import tempfile
import unittest

import parity_cases
from helpers import skip

SEED = int(os.environ.get("ORVEX_PARITY_SEED", "20261210"))
HERE = os.path.dirname(os.path.abspath(__file__))

# The fixture, written once per process (the refleak runner repeats suites).
_fixture = []


def missing_writer():
    """What of the 2.7 writer is missing, or None."""
    python = os.environ.get("ORVEX_PY2", "")
    modules = os.environ.get("ORVEX_PY2_MODULES", "")
    if not os.path.isfile(python):
        return "the Python 2.7 interpreter %r is missing (./run test unpacks it)" % python
    package = os.path.join(modules, "orvex")
    if not os.path.isdir(package) or not any(name.startswith("parcel.")
                                             for name in os.listdir(package)):
        return ("the Python 2.7 build's modules are missing from %r (./run test builds "
                "them; CI runs that leg first)" % modules)
    return None


def write_fixture():
    home = os.environ["ORVEX_PY2_HOME"]
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "PYTHONHOME": home,
        "LD_LIBRARY_PATH": os.path.join(home, "lib", "x86_64-linux-gnu"),
        "PYTHONPATH": os.pathsep.join([os.environ["ORVEX_PY2_MODULES"], HERE]),
    }
    handle, path = tempfile.mkstemp(suffix=".json")
    os.close(handle)
    try:
        child = subprocess.Popen([os.environ["ORVEX_PY2"], os.path.join(HERE, "parity_cases.py"),
                                  str(SEED), path], env=env, stderr=subprocess.PIPE)
        err = child.communicate()[1]
        if child.returncode != 0:
            raise AssertionError("the 2.7 writer failed (seed %d):\n%s"
                                 % (SEED, err.decode("utf-8", "replace")))
        source = open(path)
        try:
            return json.load(source)
        finally:
            source.close()
    finally:
        os.remove(path)


def fixture(test):
    """The fixture, or None when the test was skipped for lack of a writer."""
    if not _fixture:
        missing = missing_writer()
        if missing:
            if os.environ.get("CI") == "true":
                test.fail("parity cannot be checked: " + missing)
            skip(test, "parity needs the Python 2.7 writer: " + missing)
            return None
        _fixture.append(write_fixture())
    return _fixture[0]


class Parity(unittest.TestCase):
    pass


def add_section_test(section):
    def test(self):
        written = fixture(self)
        if written is None:
            return None
        self.assertTrue(written["sections"].get(section.name),
                        "the fixture has no %s cases" % section.name)
        section.check(self, written["sections"][section.name])
    test.__name__ = "test_%s_gives_python_2_7_results" % section.name
    setattr(Parity, test.__name__, test)


for _section in parity_cases.SECTIONS:
    add_section_test(_section)


if __name__ == "__main__":
    unittest.main()
