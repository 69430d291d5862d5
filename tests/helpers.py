"""Pieces the module suites share. They run unchanged on 2.6, 2.7 and 3."""
import gc
import math
import sys
import threading

import py2sort

try:
    import __builtin__ as builtins
except ImportError:
    import builtins

PY3 = bytes is not str
LONG = type(2 ** 64)  # long on 2, int on 3
# "type" on 2, "class" on 3, in the repr of a class.
CLASS_WORD = repr(int).split()[0][1:]
# What wraps a published operation table.
TABLE_WRAPPER = "PyCapsule" if PY3 else "PyCObject"
# A keyword name of the string type that is not the interpreter's str.
OTHER_STRING_KEY = b"a" if PY3 else u"a"


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


def skip(test, reason):
    """Ends the running test as skipped: unittest's skip where there is one
    (2.7 and 3); 2.6 has none, so there it is a note on stderr and the
    caller returns."""
    if hasattr(test, "skipTest"):
        test.skipTest(reason)
    sys.stderr.write("skipped: %s\n" % reason)


def byte(n):
    """The one-byte string of byte value n."""
    return bytes(bytearray([n]))


def byte_list(data):
    """The one-byte strings of `data`, in order (iterating bytes on 3 gives
    ints)."""
    return [data[i:i + 1] for i in range(len(data))]


def three_way(a, b):
    """Python 2's cmp() for values that 3 orders the same way (numbers, byte
    strings, tuples of them); on 2 the builtin itself."""
    if not PY3:
        return cmp(a, b)
    return (a > b) - (a < b)


class CmpOrdered(object):
    """Python 2 orders instances by their __cmp__; on 3 the order comparisons
    call the same __cmp__, so that comparing them answers (and runs) the
    same code on both."""

    if PY3:
        def __lt__(self, other):
            return self.__cmp__(other) < 0

        def __le__(self, other):
            return self.__cmp__(other) <= 0

        def __gt__(self, other):
            return self.__cmp__(other) > 0

        def __ge__(self, other):
            return self.__cmp__(other) >= 0


def cmp_key(compare):
    """functools.cmp_to_key, which 2.6 lacks: a key class whose instances
    order as `compare` orders their items."""

    class Key(object):
        __slots__ = ["item"]

        def __init__(self, item):
            self.item = item

        def __lt__(self, other):
            return compare(self.item, other.item) < 0

    return Key


def sorted_with_cmp(items, compare, reverse=False):
    """This interpreter's sort with a comparison function: sorted(cmp=) on 2,
    a key that calls it on 3."""
    if PY3:
        return sorted(items, key=cmp_key(compare), reverse=reverse)
    return sorted(items, cmp=compare, reverse=reverse)


def py2_sorted(items, compare, reverse=False):
    """Python 2's sorted(items, cmp=compare, reverse=reverse), comparisons
    and all: the builtin on 2, a model of 2.7's sort on 3."""
    if PY3:
        return py2sort.sorted_cmp(items, compare, reverse)
    return sorted(items, cmp=compare, reverse=reverse)
