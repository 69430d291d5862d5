"""The cipherel module: EncryptionImpl's methods with their argument rules and
messages, Cipher against EncryptionImpl, OpenSSLError, what the import sets
up, and the cipher core's lines on standard output (checked in a child
interpreter).

The cases are written as str of byte values. E and Cipher() call the module
with the same bytes and insist on bytes back (on Python 2 they are the
module's own objects), so the cases hold on Python 3 as on 2; the tests of
argument types, result types and identities use the module directly."""
import base64
import binascii
import contextlib
import copy
import functools
import os
import pickle
import random
import re
import subprocess
import sys
import tempfile
import threading
import traceback
import unittest

import cipherel

try:
    import __builtin__ as builtins
    import cPickle
except ImportError:
    import builtins
    cPickle = pickle

PY3 = bytes is not str
TEXT = type(u"").__name__       # unicode on 2, str on 3
LONG = type(2 ** 64)            # long on 2, int on 3
CLASS = "class" if PY3 else "type"  # in the repr of a class
# What the interpreter's own byte string calls say.
KEY_NONE = ("expected bytes, NoneType found" if PY3
            else "expected string or Unicode object, NoneType found")
EMPTY_INDEX = "index out of range" if PY3 else "string index out of range"
# Python 3 names the class in the messages of METH_O and METH_NOARGS methods.
IMPL_PREFIX = "EncryptionImpl." if PY3 else ""


def to_bytes(value):
    """A case's str as the bytes of its values (on 2 the str itself)."""
    if PY3 and type(value) is str:
        return value.encode("latin-1")
    return value


def from_bytes(value):
    """A result in the cases' terms; a string in it must be bytes."""
    if PY3 and isinstance(value, (bytes, str)):
        if type(value) is not bytes:
            raise AssertionError("%r is not bytes" % (value,))
        return value.decode("latin-1")
    return value


class OnBytes(object):
    """The methods of `target`, called with the cases' str as bytes."""

    def __init__(self, target):
        self.target = target

    def __getattr__(self, name):
        method = getattr(self.target, name)

        @functools.wraps(method)
        def call(*args, **kwds):
            kwds = dict((k, to_bytes(v)) for k, v in kwds.items())
            return from_bytes(method(*[to_bytes(a) for a in args], **kwds))
        return call


def on_bytes(obj):
    return OnBytes(obj) if PY3 else obj


def Cipher(*args, **kwds):
    """cipherel.Cipher made and used as E is."""
    kwds = dict((k, to_bytes(v)) for k, v in kwds.items())
    return on_bytes(cipherel.Cipher(*[to_bytes(a) for a in args], **kwds))


RAW = cipherel.EncryptionImpl()
E = on_bytes(RAW)
HAVE_GC = 1 << 14  # the type flag of classes that take part in cyclic collection


@contextlib.contextmanager
def quiet_stdout():
    """Sends the cipher core's failure lines to /dev/null for in-process tests."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


@contextlib.contextmanager
def replaced(obj, name, value):
    """Sets (or, for value None, deletes) obj.name for the block."""
    missing = object()
    saved = getattr(obj, name, missing)
    try:
        if value is None:
            delattr(obj, name)
        else:
            setattr(obj, name, value)
        yield
    finally:
        if saved is missing:
            if hasattr(obj, name):
                delattr(obj, name)
        else:
            setattr(obj, name, saved)


def raised(func, *args, **kwds):
    """(exception, names of the traceback entries) of a call that must fail."""
    try:
        func(*args, **kwds)
    except Exception:
        exc, tb = sys.exc_info()[1:]
        return exc, [entry[2] for entry in traceback.extract_tb(tb)]
    raise AssertionError("%s%r %r raised nothing" % (func.__name__, args, kwds))


def native_entries(names):
    return [n.split(" (")[0] for n in names if n.startswith("cipherel.")]


def run_python(code, env=None):
    """Runs code in a child interpreter of this build: (stdout, stderr)."""
    # Unbuffered, so that the interpreter's lines and the cipher core's
    # (written and flushed through C's stdout) keep their order on 3.
    code = "from __future__ import print_function\n" + code
    child = subprocess.Popen([sys.executable, "-u", "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
    out, err = child.communicate()
    return out.decode("latin-1"), err.decode("latin-1")


def interpreter_message(func):
    """The text of the TypeError the interpreter itself raises in func();
    its wording differs from one version to another."""
    try:
        func()
    except TypeError:
        return str(sys.exc_info()[1])
    raise AssertionError("no TypeError")


def check_failures(test, cases):
    """Each (func, args, kwds, exception type, message, traceback entry or
    None) case must raise exactly that, with the module's entry (if any) in
    the traceback."""
    for func, args, kwds, exc_type, message, entry in cases:
        exc, names = raised(func, *args, **kwds)
        case = (func.__name__, args, kwds)
        test.assertTrue(type(exc) is exc_type, (case, exc))
        test.assertEqual(str(exc), message, case)
        test.assertEqual(native_entries(names), entry and [entry] or [], case)


class BytesSub(bytes):
    pass


def reference_pad(data, size):
    n = size - len(data) % size
    return data + chr(n) * n


def doc(summary, params, returns, exceptions=False):
    """A method docstring: heads at 8 blanks, items at 12, continuations at 14."""
    lines = [summary, ""]
    if params:
        lines.append("        :Parameters:")
        lines += ["            - ``%s``: %s" % p for p in params]
        lines.append("")
    if exceptions:
        lines += ["        :Exceptions:",
                  "            - OpenSSL error if the underlying C API does not",
                  "              return back the results as expected.",
                  ""]
    lines += ["        :Returns:", "            - %s" % returns, "        "]
    return "\n".join(lines)


class Docstrings(unittest.TestCase):
    def test_methods(self):
        string = "The bytes representation of the String."
        key = ("key_data", "The bytes representation of the key.")
        data = "The input data in bytes."
        expected = {
            "encrypt": doc("Encrypt the given plain text using the key.",
                           [("plain_text", string), key], "The encrypted text in bytes.", True),
            "decrypt": doc("Decrypt the given cipher text using the key.",
                           [("cipher_text", string), key], "The decrypted text in bytes.", True),
            "encode": doc("Encode the given input text using the base 64.",
                          [("input_text", data)], "The encoded text in bytes."),
            "decode": doc("Decode the given input text using the base 64.",
                          [("input_text", data)], "The decoded text in bytes."),
            "key_gen": doc("Generate a 256-bit key.", [], "The key data in bytes.", True),
            "pad": doc("Pad to the given block size with PKCS #5 padding",
                       [("value_data", data)], "The padded text in bytes."),
            "unpad": doc("Remove the PKCS #5 padding.",
                         [("value_data", data)], "The unpadded text in bytes."),
        }
        for name, text in expected.items():
            self.assertEqual(getattr(cipherel.EncryptionImpl, name).__doc__, text, name)

    def test_class_and_exception(self):
        self.assertEqual(
            cipherel.EncryptionImpl.__doc__,
            "This class is a wrapper to the OPENSSL C API.To use it in the \n"
            "    python code, simple instantiate it like a regular python class. The \n"
            "    method could be called from it.")
        text = " ".join(cipherel.OpenSSLError.__doc__.split())
        self.assertEqual(cipherel.OpenSSLError.__doc__.count("\n"), 1)
        for words in ("raises this exception", "script code", "null result", "OpenSSL"):
            self.assertTrue(words in text, words)
        self.assertTrue(cipherel.__doc__.strip())


class ModuleContents(unittest.TestCase):
    def test_attributes(self):
        public = sorted(n for n in dir(cipherel) if not n.startswith("_"))
        self.assertEqual(public, ["Cipher", "EncryptionImpl", "OpenSSLError", "b64decode",
                                  "b64encode"])
        self.assertEqual(cipherel.__test__, {})
        self.assertTrue(cipherel.__builtins__ is builtins)
        self.assertTrue(cipherel.b64encode is base64.b64encode)
        self.assertTrue(cipherel.b64decode is base64.b64decode)

    def test_openssl_error_class(self):
        cls = cipherel.OpenSSLError
        self.assertTrue(type(cls) is type)
        self.assertEqual(cls.__bases__, (Exception,))
        self.assertEqual(cls.__module__, "cipherel")
        self.assertEqual(cls.__name__, "OpenSSLError")

    def test_encryption_impl_type(self):
        cls = cipherel.EncryptionImpl
        self.assertEqual(repr(cls), "<%s 'cipherel.EncryptionImpl'>" % CLASS)
        self.assertEqual(cls.__bases__, (object,))
        self.assertTrue(isinstance(cls(1, 2, key="ignored"), cls))
        self.assertFalse(hasattr(cls(), "__dict__"))
        self.assertEqual(cls.__basicsize__, object.__basicsize__)
        self.assertFalse(cls.__flags__ & HAVE_GC)

    def test_subclasses_inherit_the_methods(self):
        class Sub(cipherel.EncryptionImpl):
            def __init__(self, label):
                self.label = label
        sub = Sub("x")
        self.assertEqual(sub.label, "x")
        self.assertEqual(sub.unpad(sub.pad(b"abc")), b"abc")


class EncryptDecrypt(unittest.TestCase):
    def test_round_trips(self):
        keys = ["", "k", "a key text longer than thirty-two bytes"]
        for size in (0, 1, 15, 16, 17, 1 << 20):
            data = "".join(chr(i % 251) for i in range(min(size, 1000))) * (size // 1000 + 1)
            data = data[:size]
            for key in keys:
                padded = E.pad(data)
                cipher = E.encrypt(padded, key)
                self.assertEqual(len(cipher), len(padded))
                self.assertNotEqual(cipher, padded)
                self.assertEqual(E.unpad(E.decrypt(cipher, key)), data, (size, key))

    def test_fixed_salt_and_derived_iv_make_it_deterministic(self):
        block = "sixteen byte blk"
        self.assertEqual(E.encrypt(block, "k"), E.encrypt(block, "k"))
        self.assertNotEqual(E.encrypt(block, "k"), E.encrypt(block, "l"))
        self.assertEqual(E.encrypt(block * 2, "k")[:16], E.encrypt(block, "k"))

    def test_key_text_rules(self):
        block = "0123456789abcdef"
        same = [
            ("x" * 32 + "one tail", "x" * 32 + "another"),
            ("abc\0def", "abc"),
            ("\0xyz", ""),
        ]
        for a, b in same:
            self.assertEqual(E.encrypt(block, a), E.encrypt(block, b), (a, b))
        self.assertNotEqual(E.encrypt(block, "x" * 31 + "y"), E.encrypt(block, "x" * 32))

    def test_wrong_key_decrypts_without_error(self):
        cipher = E.encrypt(E.pad("attack at dawn"), "right")
        plain = E.decrypt(cipher, "wrong")
        self.assertEqual(len(plain), len(cipher))
        self.assertNotEqual(plain, E.pad("attack at dawn"))

    def test_keyword_forms(self):
        block = "0123456789abcdef"
        expected = E.encrypt(block, "k")
        self.assertEqual(E.encrypt(plain_text=block, key_data="k"), expected)
        self.assertEqual(E.encrypt(block, key_data="k"), expected)
        self.assertEqual(E.decrypt(key_data="k", cipher_text=expected), block)

    def test_core_failure_raises_openssl_error_with_a_fixed_tuple(self):
        for method, message in [(E.encrypt, "Encryption Failed"),
                                (E.decrypt, "Decryption Failed")]:
            with quiet_stdout():
                first, names = raised(method, "abc", "k")
                second = raised(method, "x" * 17, "k")[0]
            self.assertTrue(type(first) is cipherel.OpenSSLError)
            self.assertEqual(first.args, (message,))
            self.assertTrue(first.args is second.args)
            self.assertEqual(native_entries(names),
                             ["cipherel.EncryptionImpl." + method.__name__])

    def test_openssl_error_is_looked_up_at_raise_time(self):
        with quiet_stdout():
            with replaced(cipherel, "OpenSSLError", KeyError):
                exc = raised(E.encrypt, "abc", "k")[0]
                self.assertTrue(type(exc) is KeyError)
                self.assertEqual(exc.args, ("Encryption Failed",))
            with replaced(cipherel, "OpenSSLError", None):
                exc = raised(E.decrypt, "abc", "k")[0]
                self.assertTrue(type(exc) is NameError)
                self.assertEqual(exc.args, ("OpenSSLError",))


class ArgumentErrors(unittest.TestCase):
    BLOCK = "0123456789abcdef"

    class Int(object):
        def __init__(self, value):
            self.value = value

        def __int__(self):
            return self.value

    def check(self, cases, impl=E):
        check_failures(self, [(getattr(impl, method), args, kwds, exc_type, message,
                               traced and "cipherel.EncryptionImpl." + method)
                              for method, args, kwds, exc_type, message, traced in cases])

    def test_exact_byte_string_or_none(self):
        # Exactly str on 2, exactly bytes on 3; the message names the type.
        msg = "Argument '%%s' has incorrect type (expected %s, got %%s)" % bytes.__name__
        b = b"0123456789abcdef"
        self.check([
            ("encrypt", (u"0123456789abcdef", b"k"), {}, TypeError, msg % ("plain_text", TEXT), False),
            ("encrypt", (BytesSub(b), b"k"), {}, TypeError, msg % ("plain_text", "BytesSub"), False),
            ("encrypt", (b, u"k"), {}, TypeError, msg % ("key_data", TEXT), False),
            ("encrypt", (b, bytearray(b"k")), {}, TypeError, msg % ("key_data", "bytearray"), False),
            ("decrypt", (b, BytesSub(b"k")), {}, TypeError, msg % ("key_data", "BytesSub"), False),
            ("decrypt", (3, b"k"), {}, TypeError, msg % ("cipher_text", "int"), False),
            ("encode", (u"abc",), {}, TypeError, msg % ("input_text", TEXT), False),
            ("decode", (BytesSub(b"YWJj"),), {}, TypeError, msg % ("input_text", "BytesSub"), False),
            ("decode", (bytearray(b"YWJj"),), {}, TypeError, msg % ("input_text", "bytearray"), False),
            ("decode", (u"YWJj",), {}, TypeError, msg % ("input_text", TEXT), False),
            ("decrypt", (u"0123456789abcdef", b"k"), {}, TypeError, msg % ("cipher_text", TEXT), False),
            ("decrypt", (b, u"k"), {}, TypeError, msg % ("key_data", TEXT), False),
            ("pad", (u"abc",), {}, TypeError, msg % ("value_data", TEXT), False),
            ("unpad", (BytesSub(b"abc"),), {}, TypeError, msg % ("value_data", "BytesSub"), False),
            ("unpad", (u"abc",), {}, TypeError, msg % ("value_data", TEXT), False),
        ], RAW)

    def test_none_passes_the_check_and_fails_later(self):
        no_len = "object of type 'NoneType' has no len()"
        b = self.BLOCK
        self.check([
            ("encrypt", (None, "k"), {}, TypeError, no_len, True),
            ("decrypt", (None, None), {}, TypeError, no_len, True),
            ("encrypt", (b, None), {}, TypeError, KEY_NONE, True),
            ("decrypt", (b, None), {}, TypeError, KEY_NONE, True),
            ("pad", (None,), {}, TypeError, no_len, True),
            ("pad", (None, 0), {}, TypeError, no_len, True),
            ("unpad", (None,), {}, TypeError, interpreter_message(lambda: None[-1]), True),
            ("encode", (None,), {}, TypeError, interpreter_message(lambda: base64.b64encode(None)), True),
        ])

    def test_counts_and_keywords(self):
        b = self.BLOCK
        self.check([
            ("encrypt", (b,), {}, TypeError, "encrypt() takes exactly 2 positional arguments (1 given)", True),
            ("decrypt", (b, "k", "x"), {}, TypeError, "decrypt() takes exactly 2 positional arguments (3 given)", True),
            ("encrypt", (b,), {"key": "k"}, TypeError, "encrypt() takes exactly 2 positional arguments (1 given)", True),
            ("encrypt", (b, "k"), {"plain_text": b}, TypeError, "encrypt() got multiple values for keyword argument 'plain_text'", True),
            ("decrypt", (b, "k"), {"extra": 1}, TypeError, "decrypt() got an unexpected keyword argument 'extra'", True),
            ("pad", (), {}, TypeError, "pad() takes at least 1 positional argument (0 given)", True),
            ("pad", ("a", 8, 9), {}, TypeError, "pad() takes at most 2 positional arguments (3 given)", True),
            ("pad", ("a",), {"blocksize": 8}, TypeError, "pad() got an unexpected keyword argument 'blocksize'", True),
            ("pad", ("a",), {"value_data": "b"}, TypeError, "pad() got multiple values for keyword argument 'value_data'", True),
            ("encode", (), {}, TypeError, IMPL_PREFIX + "encode() takes exactly one argument (0 given)", False),
            ("unpad", ("a",), {"x": 1}, TypeError, IMPL_PREFIX + "unpad() takes no keyword arguments", False),
            ("key_gen", (1,), {}, TypeError, IMPL_PREFIX + "key_gen() takes no arguments (1 given)", False),
        ])

    def test_block_size(self):
        too_large = "value too large to convert to int"
        chr_range = "chr() arg not in range(256)"
        self.check([
            ("pad", ("abc", 0), {}, ZeroDivisionError, "integer division or modulo by zero", True),
            ("pad", ("x" * 256, 256), {}, ValueError, chr_range, True),
            ("pad", ("abc", -1), {}, ValueError, chr_range, True),
            ("pad", ("abc", -(2 ** 31)), {}, ValueError, chr_range, True),
            ("pad", ("abc", 2 ** 31), {}, OverflowError, too_large, True),
            ("pad", ("abc", -(2 ** 31) - 1), {}, OverflowError, too_large, True),
            ("pad", ("abc", 2 ** 70), {}, OverflowError, too_large, True),
            ("pad", ("abc", "16"), {}, TypeError, "an integer is required", True),
            ("pad", ("abc", None), {}, TypeError, "an integer is required", True),
            ("pad", (u"abc", "16"), {}, TypeError, "an integer is required", True),
            ("pad", ("abc", self.Int("8")), {}, TypeError, "__int__ returned non-int (type str)", True),
            ("pad", ("abc", self.Int(2 ** 40)), {}, OverflowError, too_large, True),
            ("unpad", ("",), {}, IndexError, EMPTY_INDEX, True),
        ])


class Padding(unittest.TestCase):
    def test_examples(self):
        cases = [
            (("",), {}, "\x10" * 16),
            (("x" * 16,), {}, "x" * 16 + "\x10" * 16),
            (("abc", 8), {}, "abc" + "\x05" * 5),
            (("abc",), {"block_size": 8}, "abc" + "\x05" * 5),
            ((), {"value_data": "abc", "block_size": LONG(8)}, "abc" + "\x05" * 5),
            (("abc", 3.9), {}, "abc\x03\x03\x03"),
            (("abc", True), {}, "abc\x01"),
            (("abc", ArgumentErrors.Int(LONG(4))), {}, "abc\x01"),
            (("a", 256), {}, "a" + "\xff" * 255),
        ]
        for args, kwds, expected in cases:
            self.assertEqual(E.pad(*args, **kwds), expected, (args, kwds))

    def test_every_block_size_round_trips(self):
        for size in range(1, 256):
            for n in sorted(set([0, 1, size - 1, size, size + 1, 300])):
                data = "\xab" * n
                padded = E.pad(data, size)
                self.assertEqual(padded, reference_pad(data, size), (n, size))
                self.assertEqual(E.unpad(padded), data, (n, size))

    def test_unpad_cuts_by_the_last_byte_only(self):
        cases = [
            ("abc\x00", ""),
            ("ab\x05", ""),
            ("abcd\x02", "abc"),
            ("abcd\x01\x02", "abcd"),
            ("\x01", ""),
            ("y" * 300 + "\xff", "y" * 46),
        ]
        for data, expected in cases:
            self.assertEqual(E.unpad(data), expected, repr(data))

    def test_chr_and_ord_are_those_captured_at_import(self):
        def broken(*args):
            raise AssertionError("looked up at call time")
        with replaced(builtins, "chr", broken):
            with replaced(builtins, "ord", broken):
                self.assertEqual(E.unpad(E.pad("abc", 8)), "abc")


class Base64(unittest.TestCase):
    def test_round_trip(self):
        self.assertEqual(E.encode(""), "")
        for data in ["a", "\x00\xff" * 40, "".join(map(chr, range(256)))]:
            self.assertEqual(to_bytes(E.encode(data)), base64.b64encode(to_bytes(data)))
            self.assertEqual(E.decode(E.encode(data)), data)

    def test_base64_errors_pass_through(self):
        exc, names = raised(E.decode, "abc")
        # TypeError on 2, binascii.Error on 3: the module's own.
        self.assertTrue(type(exc) is type(raised(base64.b64decode, b"abc")[0]))
        self.assertEqual(str(exc), "Incorrect padding")
        self.assertEqual(native_entries(names), ["cipherel.EncryptionImpl.decode"])

    def test_functions_are_looked_up_at_call_time(self):
        with replaced(cipherel, "b64encode", lambda text: b"replaced " + text):
            self.assertEqual(E.encode("x"), "replaced x")
        with replaced(cipherel, "b64decode", None):
            exc, names = raised(E.decode, "eA==")
            self.assertTrue(type(exc) is NameError)
            self.assertEqual(exc.args, ("b64decode",))
            self.assertEqual(native_entries(names), ["cipherel.EncryptionImpl.decode"])
            with replaced(builtins, "b64decode", lambda text: b"builtin " + text):
                self.assertEqual(E.decode("eA=="), "builtin eA==")


class KeyGen(unittest.TestCase):
    def test_keys_are_distinct_and_hold_no_zero_byte(self):
        # A zero byte would end the key text early: about 12% of keys had one.
        keys = [RAW.key_gen() for _ in range(3000)]
        self.assertEqual(set(type(k) for k in keys), set([bytes]))
        self.assertEqual(set(len(k) for k in keys), set([32]))
        self.assertEqual([k for k in keys if b"\0" in k], [])
        self.assertEqual(len(set(keys)), len(keys))

    def test_leading_zero_acts_as_the_empty_key_text(self):
        key = "\0" + E.key_gen()[1:]
        block = E.pad("generated")
        self.assertEqual(E.encrypt(block, key), E.encrypt(block, ""))
        self.assertEqual(E.unpad(E.decrypt(E.encrypt(block, key), "")), "generated")

    def test_texts_under_earlier_keys_still_decrypt(self):
        # Made by an earlier build, under a key with a zero byte as key_gen
        # used to hand out: only the 11 bytes before the zero count.
        key = ("29 72 bb 04 4d 96 df 28 71 ba 03 00 95 de 27 70"
               " b9 02 4b 94 dd 26 6f b8 01 4a 93 dc 25 6e b7 00").replace(" ", "")
        key = binascii.unhexlify(key.encode("ascii"))
        stored = binascii.unhexlify(b"5c3fbcd80ef76ddac55be0b7fae5c135cd33e36f7334583a"
                                    b"3eef3373b0c052ab3b7de1bdc9d065031efb1d690c22c159")
        plain = "a record stored under an older key"
        for decrypt in (lambda text: E.decrypt(text, key), Cipher(key).decrypt,
                        Cipher(key[:11]).decrypt):
            self.assertEqual(E.unpad(decrypt(stored)), plain)


def text(size, seed=0):
    """`size` bytes whose blocks differ, and differ again with `seed`."""
    unit = "".join(chr((i * 131 + seed * 17 + 7) % 256) for i in range(4096))
    return (unit * (size // 4096 + 1))[:size]


def outcome(func, *args):
    """("ok", result) or ("error", exception type, its args)."""
    try:
        return "ok", func(*args)
    except Exception:
        exc = sys.exc_info()[1]
        return "error", type(exc), exc.args


LOCK_RELEASE = 64 * 1024  # Cipher releases the interpreter lock from this length up


class CipherParity(unittest.TestCase):
    """Cipher(k) gives byte for byte what EncryptionImpl gives under k."""

    def test_table(self):
        sizes = [0, 16, 32, 4096, LOCK_RELEASE - 16, LOCK_RELEASE, LOCK_RELEASE + 16, 1 << 20]
        keys = ["", "k", "ab\0cd", "\0xyz", "x" * 32 + "beyond", E.key_gen()]
        for key in keys:
            cipher = Cipher(key)
            for size in sizes:
                data = text(size)
                self.assertEqual(cipher.encrypt(data), E.encrypt(data, key), (key, size))
                self.assertEqual(cipher.decrypt(data), E.decrypt(data, key), (key, size))

    def test_seeded_random_differential(self):
        rng = random.Random(11)
        # Slices of one pool; one byte in eight is zero, so key texts often end early.
        pool = "".join(chr(rng.choice([0] + [rng.randrange(1, 256)] * 7)) for _ in range(1 << 14))

        def random_bytes(n):
            start = rng.randrange(0, len(pool) - n)
            return pool[start:start + n]

        with quiet_stdout():
            for _ in range(200):
                key = random_bytes(rng.randrange(0, 41))
                size = rng.choice([16 * rng.randrange(0, 70), rng.randrange(0, 1100)])
                data = random_bytes(size)
                cipher = Cipher(key)
                for name in ("encrypt", "decrypt"):
                    self.assertEqual(outcome(getattr(cipher, name), data),
                                     outcome(getattr(E, name), data, key), (name, key, size))

    def test_keyword_forms(self):
        block = "0123456789abcdef"
        cipher = Cipher(key_data="k")
        self.assertEqual(cipher.encrypt(plain_text=block), E.encrypt(block, "k"))
        self.assertEqual(cipher.decrypt(cipher_text=block), E.decrypt(block, "k"))


class CipherFailures(unittest.TestCase):
    BLOCK = "0123456789abcdef"

    def test_arguments(self):
        msg = "Argument '%%s' has incorrect type (expected %s, got %%s)" % bytes.__name__
        no_len = "object of type 'NoneType' has no len()"
        cipher = cipherel.Cipher(b"k")
        b = b"0123456789abcdef"
        new, enc, dec = "cipherel.Cipher.__new__", "cipherel.Cipher.encrypt", "cipherel.Cipher.decrypt"
        check_failures(self, [
            (cipherel.Cipher, (u"k",), {}, TypeError, msg % ("key_data", TEXT), None),
            (cipherel.Cipher, (BytesSub(b"k"),), {}, TypeError, msg % ("key_data", "BytesSub"), None),
            (cipherel.Cipher, (None,), {}, TypeError, KEY_NONE, new),
            (cipherel.Cipher, (), {}, TypeError,
             "Cipher() takes exactly 1 positional argument (0 given)", new),
            (cipherel.Cipher, (b"k", b"l"), {}, TypeError,
             "Cipher() takes exactly 1 positional argument (2 given)", new),
            (cipherel.Cipher, (), {"key": b"k"}, TypeError,
             "Cipher() takes exactly 1 positional argument (0 given)", new),
            (cipherel.Cipher, (b"k",), {"key_data": b"k"}, TypeError,
             "Cipher() got multiple values for keyword argument 'key_data'", new),
            (cipher.encrypt, (u"0123456789abcdef",), {}, TypeError,
             msg % ("plain_text", TEXT), None),
            (cipher.encrypt, (BytesSub(b),), {}, TypeError, msg % ("plain_text", "BytesSub"), None),
            (cipher.decrypt, (3,), {}, TypeError, msg % ("cipher_text", "int"), None),
            (cipher.encrypt, (None,), {}, TypeError, no_len, enc),
            (cipher.decrypt, (None,), {}, TypeError, no_len, dec),
            (cipher.encrypt, (), {}, TypeError,
             "encrypt() takes exactly 1 positional argument (0 given)", enc),
            (cipher.decrypt, (b, b"k"), {}, TypeError,
             "decrypt() takes exactly 1 positional argument (2 given)", dec),
            (cipher.encrypt, (b,), {"key_data": b"k"}, TypeError,
             "encrypt() got an unexpected keyword argument 'key_data'", enc),
            (cipher.encrypt, (b,), {"plain_text": b}, TypeError,
             "encrypt() got multiple values for keyword argument 'plain_text'", enc),
        ])

    def test_partial_blocks_raise_the_same_error_on_both_sides_of_the_lock_release(self):
        cipher = Cipher("k")
        cases = [(cipher.encrypt, "Encryption Failed", E.encrypt),
                 (cipher.decrypt, "Decryption Failed", E.decrypt)]
        for method, message, impl_method in cases:
            for size in (3, 17, LOCK_RELEASE + 1):
                with quiet_stdout():
                    exc, names = raised(method, "x" * size)
                    impl_exc = raised(impl_method, "x" * size, "k")[0]
                self.assertTrue(type(exc) is cipherel.OpenSSLError)
                self.assertTrue(exc.args is impl_exc.args)
                self.assertEqual(exc.args, (message,))
                self.assertEqual(native_entries(names), ["cipherel.Cipher." + method.__name__])


class CipherThreads(unittest.TestCase):
    def test_four_threads_with_large_texts(self):
        shared = Cipher("shared key")
        setups = [
            ("distinct keys", [("key %d" % i, Cipher("key %d" % i)) for i in range(4)]),
            ("one object", [("shared key", shared)] * 4),
        ]
        for label, ciphers in setups:
            jobs = []
            for i, (key, cipher) in enumerate(ciphers):
                data = text(1 << 20, seed=i)
                jobs.append((cipher, data, E.encrypt(data, key)))
            results = [None] * len(jobs)

            def work(i):
                cipher, data, expected = jobs[i]
                try:
                    results[i] = [cipher.encrypt(data) == expected and
                                  cipher.decrypt(expected) == data for _ in range(3)]
                except Exception:
                    results[i] = sys.exc_info()[1]

            threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            self.assertEqual(results, [[True] * 3] * len(jobs), label)


class CipherRefusals(unittest.TestCase):
    def test_pickling_and_copying(self):
        cipher = cipherel.Cipher(b"secret")
        pickled = "can't pickle Cipher objects"
        copied = "can't copy Cipher objects"
        cases = [(pickle.dumps, (cipher, protocol), pickled) for protocol in (0, 1, 2)]
        cases += [(cPickle.dumps, (cipher, protocol), pickled) for protocol in (0, 1, 2)]
        cases += [
            (cipher.__reduce__, (), pickled),
            (cipher.__reduce_ex__, (2,), pickled),
            (copy.copy, (cipher,), copied),
            (copy.deepcopy, (cipher,), copied),
        ]
        for func, args, message in cases:
            exc = raised(func, *args)[0]
            self.assertTrue(type(exc) is TypeError, (func, args, exc))
            self.assertEqual(str(exc), message)

    def test_nothing_shows_the_key(self):
        cipher = cipherel.Cipher(b"the key text")
        own = set(dir(cipher)) - set(dir(object()))
        self.assertEqual(sorted(own), ["__copy__", "__deepcopy__", "decrypt", "encrypt"])
        self.assertFalse(hasattr(cipher, "__dict__"))
        self.assertRaises(AttributeError, setattr, cipher, "key", b"other")
        self.assertTrue(re.match(r"<cipherel\.Cipher object at 0x[0-9a-fA-F]+>$", repr(cipher)))
        self.assertEqual(str(cipher), repr(cipher))

    def test_type(self):
        cls = cipherel.Cipher
        self.assertEqual(repr(cls), "<%s 'cipherel.Cipher'>" % CLASS)
        self.assertEqual(cls.__bases__, (object,))
        self.assertFalse(cls.__flags__ & HAVE_GC)
        self.assertTrue(cls.__doc__.startswith("Cipher(key_data)\n"))
        self.assertRaises(TypeError, type, "Sub", (cls,), {})


FAKE_LENGTH = r"""
import ctypes
import cipherel
E = cipherel.EncryptionImpl()
C = cipherel.Cipher(b"k")
data = bytes(bytearray(b"0123456789abcdef"))
# ob_size is a Py_ssize_t, a long on this platform.
size = ctypes.c_long.from_address(id(data) + object.__basicsize__)
def attempt(call, fake):
    size.value = fake
    try:
        call()
    except Exception as e:
        print(type(e).__name__, e.args)
    finally:
        size.value = 16
for encrypt, decrypt in [(lambda: E.encrypt(data, b"k"), lambda: E.decrypt(data, b"k")),
                         (lambda: C.encrypt(data), lambda: C.decrypt(data))]:
    attempt(encrypt, 2 ** 32 + 16)
    attempt(decrypt, 2 ** 32 + 16)
    attempt(encrypt, 2 ** 31 - 8)
print(repr(E.decrypt(C.encrypt(data), b"k")))
"""

FAILING_RANDOM = r"""
import ctypes
import cipherel
crypto = ctypes.CDLL("libcrypto.so.3")
BYTES = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
STATUS = ctypes.CFUNCTYPE(ctypes.c_int)
class RandMethod(ctypes.Structure):
    _fields_ = [("seed", ctypes.c_void_p), ("bytes", BYTES), ("cleanup", ctypes.c_void_p),
                ("add", ctypes.c_void_p), ("pseudorand", BYTES), ("status", STATUS)]
fail = BYTES(lambda buf, num: 0)
method = RandMethod(None, fail, None, None, fail, STATUS(lambda: 1))
crypto.RAND_set_rand_method(ctypes.byref(method))
try:
    cipherel.EncryptionImpl().key_gen()
except cipherel.OpenSSLError as e:
    print(e.args)
crypto.RAND_set_rand_method(None)
print(len(cipherel.EncryptionImpl().key_gen()))
"""

ONLY_BASE_PROVIDER = """openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
base = base_sect
[base_sect]
activate = 1
"""

DERIVATION_REPORT = r"""
import sys, traceback
import cipherel
for call in (lambda: cipherel.Cipher(b"k"),
             lambda: cipherel.EncryptionImpl().decrypt(b"x" * 16, b"k")):
    try:
        call()
    except cipherel.OpenSSLError as e:
        print(e.args, traceback.extract_tb(sys.exc_info()[2])[-1][2].split(" (")[0])
"""

# The key and IV follow the object header. Once the object is freed its
# memory holds zeros, or whatever the allocator has put there since, but no
# word of them.
WIPE_REPORT = r"""
import ctypes
import cipherel
cipher = cipherel.Cipher(b"wipe me")
address = id(cipher) + object.__basicsize__
size = cipherel.Cipher.__basicsize__ - object.__basicsize__
before = ctypes.string_at(address, size)
del cipher
after = ctypes.string_at(address, size)
words = range(0, size, 8)
print(size, before.count(b"\0") < 8, [i for i in words if after[i:i + 8] == before[i:i + 8]])
"""

IMPORT_REPORT = r"""
try:
    import cipherel
except Exception as e:
    import sys, traceback
    print(type(e).__name__, e)
    print(traceback.extract_tb(sys.exc_info()[2])[-1][2].split(" (")[0])
    print("cipherel" in sys.modules)
"""


class ChildInterpreter(unittest.TestCase):
    def test_core_lines_precede_the_exception(self):
        out, _ = run_python(
            "import cipherel\n"
            "E = cipherel.EncryptionImpl()\n"
            "print('before')\n"
            "for method in (E.encrypt, E.decrypt):\n"
            "    try:\n"
            "        method(b'abc', b'key')\n"
            "    except cipherel.OpenSSLError as e:\n"
            "        print(e.args)\n")
        self.assertEqual(out, "before\n"
                              "ERROR in EVP_EncryptFinal_ex \n('Encryption Failed',)\n"
                              "ERROR in EVP_DecryptFinal_ex\n('Decryption Failed',)\n")

    def test_cipher_core_lines_precede_the_exception(self):
        # The long texts fail with the interpreter lock released.
        out, err = run_python(
            "import cipherel\n"
            "C = cipherel.Cipher(b'key')\n"
            "for method in (C.encrypt, C.decrypt):\n"
            "    for size in (3, %d):\n"
            "        try:\n"
            "            method(b'x' * size)\n"
            "        except cipherel.OpenSSLError as e:\n"
            "            print(e.args)\n" % (LOCK_RELEASE + 1))
        self.assertEqual(out, "ERROR in EVP_EncryptFinal_ex \n('Encryption Failed',)\n" * 2 +
                              "ERROR in EVP_DecryptFinal_ex\n('Decryption Failed',)\n" * 2, err)

    def test_failing_derivation(self):
        # With only the base provider loaded libcrypto has no SHA-256, and
        # the derivation reports a key of 0 bits.
        handle, path = tempfile.mkstemp(suffix=".cnf")
        try:
            os.write(handle, ONLY_BASE_PROVIDER.encode("ascii"))
            os.close(handle)
            env = dict(os.environ)
            env["OPENSSL_CONF"] = path
            out, err = run_python(DERIVATION_REPORT, env)
        finally:
            os.remove(path)
        line = "Key size is 0 bits - should be 256 bits\n"
        self.assertEqual(out, line + "('Key Derivation Failed',) cipherel.Cipher.__new__\n" +
                              line + "('Decryption Failed',) cipherel.EncryptionImpl.decrypt\n",
                         err)

    def test_key_is_wiped_when_the_object_dies(self):
        out, err = run_python(WIPE_REPORT)
        self.assertEqual(out, "48 True []\n", err)

    def test_lengths_that_do_not_fit_are_refused(self):
        out, err = run_python(FAKE_LENGTH)
        refusals = ("OverflowError ('plain_text is too long for the cipher',)\n"
                    "OverflowError ('cipher_text is too long for the cipher',)\n"
                    "Input length 2147483640 is out of range\n"
                    "OpenSSLError ('Encryption Failed',)\n")
        self.assertEqual(out, refusals * 2 + repr(b"0123456789abcdef") + "\n", err)

    def test_failing_random_source_raises(self):
        out, _ = run_python(FAILING_RANDOM)
        self.assertEqual(out, "ERROR in RAND_bytes \n('Key Generation Failed',)\n32\n")

    def test_import_is_silent_on_the_interpreter_it_was_built_for(self):
        self.assertEqual(run_python("import cipherel"), ("", ""))

    def test_import_failures(self):
        cases = [
            ("import base64; del base64.b64encode",
             "ImportError cannot import name b64encode\ninit cipherel\nFalse\n"),
            # traceback needs ord to load on 3: it is imported first.
            ("import traceback\nimport %s as builtins; del builtins.ord" % builtins.__name__,
             "NameError ord\ninit cipherel\nFalse\n"),
        ]
        for setup, expected in cases:
            out, err = run_python(setup + "\n" + IMPORT_REPORT)
            self.assertEqual(out, expected, err)

    def test_import_after_a_failed_one(self):
        out, err = run_python(
            "import base64\n"
            "saved = base64.b64decode\n"
            "del base64.b64decode\n" + IMPORT_REPORT +
            "base64.b64decode = saved\n"
            "import cipherel\n"
            "print(cipherel.EncryptionImpl().decode(b'eA==').decode('ascii'))\n")
        self.assertEqual(out, "ImportError cannot import name b64decode\ninit cipherel\nFalse\nx\n",
                         err)

    def test_metaclass_of_openssl_error(self):
        cases = [
            # A classic class on 2; 3 has none.
            ("class Classic: pass", "type" if PY3 else "classobj"),
            ("class Meta(type): pass\nClassic = Meta('Classic', (Exception,), {})", "Meta"),
        ]
        for base, metaclass in cases:
            out, err = run_python(
                "import %s as builtins\n" % builtins.__name__ + base + "\n"
                "saved = Exception\n"
                "builtins.Exception = Classic\n"
                "import cipherel\n"
                "builtins.Exception = saved\n"
                "print(type(cipherel.OpenSSLError).__name__, "
                "cipherel.OpenSSLError.__bases__ == (Classic,))\n")
            self.assertEqual(out, "%s True\n" % metaclass, err)


if __name__ == "__main__":
    unittest.main()
