"""Interpreter exit while a daemon thread is inside a Cipher call long enough
to run with the interpreter lock released. Python 3 ends such a thread where
it would take the lock back, and nothing of the module may touch an
interpreter object on the way out. The exit meets the thread at a different
point each time, so each case runs in several child interpreters."""
import subprocess
import sys
import unittest

CHILDREN = 5
LONG_TEXT = 'b"x" * (1 << 20)'

# The loop touches nothing but its default arguments: Python 2 clears the
# globals of every module (threading's too) at exit while the thread runs.
SCRIPT = """\
import threading
import cipherel

cipher = cipherel.Cipher(b"exit key")
started = threading.Event()


def work(call=cipher.%s, text=%s):
    call(text)
    started.set()
    while 1:
        call(text)


thread = threading.Thread(target=work)
thread.daemon = True
thread.start()
started.wait()
"""


def run_child(script):
    """Runs script in a child interpreter of this build (it inherits this
    environment, and with it the build's package path): (rc, stderr)."""
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    err = child.communicate()[1]
    return child.returncode, err.decode("latin-1")


class ExitWithCipherThread(unittest.TestCase):
    def test_exit_during_a_long_text(self):
        # decrypt's text is an encrypt result, so that it deciphers cleanly.
        cases = [("encrypt", LONG_TEXT), ("decrypt", "cipher.encrypt(%s)" % LONG_TEXT)]
        for method, text in cases:
            for _ in range(CHILDREN):
                rc, err = run_child(SCRIPT % (method, text))
                self.assertEqual((rc, err), (0, ""), "%s: rc %s, stderr %r" % (method, rc, err))


if __name__ == "__main__":
    unittest.main()
