"""Pieces the module suites share."""
import gc
import sys
import threading


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
        error_type, error, tb = outcome.pop("error")
        raise error_type, error, tb
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
