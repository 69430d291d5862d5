"""Every module of this build imports without a warning on the interpreter
whose headers it was compiled against (the version check warns only on a
mismatch)."""
import os
import subprocess
import sys
import unittest

import orvex_build


class SilentImport(unittest.TestCase):
    def test_each_module_imports_with_warnings_as_errors(self):
        for name in orvex_build.MODULES:
            child = subprocess.Popen([sys.executable, "-W", "error", "-c", "import " + name],
                                     env=os.environ, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
            out, err = child.communicate()
            self.assertEqual((child.returncode, out, err), (0, b"", b""), name)


if __name__ == "__main__":
    unittest.main()
