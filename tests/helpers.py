"""Pieces the module suites share. They run unchanged on 2.6, 2.7 and 3."""
import gc
import math
import sys
import threading

import orvex_build


def runtime_version():
    """The running interpreter's "major.minor"."""
    return "%d.%d" % sys.version_info[:2]


def reraise(info):
    """Raises the exception of an exc_info() triple again, with its traceback."""
    error_type, error, tb = info
    if hasattr(error, "with_traceback"):
        raise error.with_traceback(tb)
    # Python 2's three-argument raise does not parse on 3.
    exec("raise error_type, error, tb")


def on_small_stack(func, size):
    """Runs func() on a new thread whose stack is `size` bytes and returns
    its result; an exception it raised is raised again here."""
    outcome = {}

    def run():
        try:
            outcome["result"] = func()
        except Exception:
            outcome["error"] = sys.exc_info()

    old = threading.stack_size(size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    if "error" in outcome:
        reraise(outcome.pop("error"))
    return outcome["result"]


def assert_type_errors(test, cases):
    """Each (func, args, kwds, message) call must raise TypeError with
    exactly that message."""
    for func, args, kwds, message in cases:
        try:
            func(*args, **kwds)
        except TypeError:
            test.assertEqual(str(sys.exc_info()[1]), message)
        else:
            test.fail("%s accepted %r %r" % (func.__name__, args, kwds))


def is_tracked(obj):
    """Whether the collector tracks obj (gc.is_tracked, which 2.6 lacks)."""
    return any(tracked is obj for tracked in gc.get_objects())


def same(a, b):
    """Equal values of identical types all the way down (1 == 1L == True and
    0.0 == -0.0 would hide a wrong form); NaN equals NaN. Iterative, as the
    values nest deeper than the interpreter's recursion limit allows."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if math.isnan(a) != math.isnan(b) or (
                    not math.isnan(a) and (a, math.copysign(1, a)) != (b, math.copysign(1, b))):
                return False
        elif isinstance(a, (tuple, list)):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif isinstance(a, dict):
            if len(a) != len(b) or any(k not in b for k in a):
                return False
            b_keys = dict((k, k) for k in b)
            pending.extend((k, b_keys[k]) for k in a)
            pending.extend((v, b[k]) for k, v in a.items())
        elif a != b:
            return False
    return True


def left_out(*modules):
    """Why this build lacks any of the named modules (dotted names), or None
    when it has them all."""
    reasons = ["%s (%s)" % (m, orvex_build.LEFT_OUT[m]) for m in modules
               if m in orvex_build.LEFT_OUT]
    if not reasons:
        return None
    return "this build leaves out " + "; ".join(reasons)


def skip(test, reason):
    """Ends the running test as skipped: unittest's skip where there is one
    (2.7 and 3); 2.6 has none, so there it is a note on stderr and the
    caller returns."""
    if hasattr(test, "skipTest"):
        test.skipTest(reason)
    sys.stderr.write("skipped: %s\n" % reason)
