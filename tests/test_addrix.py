"""orvex._addrix: the loose address scanner, the MAIL FROM / RCPT TO argument
parsers and the module surface; on Python 3 also its str arguments.

The cases are written as str of byte values (chr(0) to chr(255)). The
functions under these names call the module with the same bytes and check
that it gives back bytes, so the cases hold on Python 3 exactly as on 2."""
import functools
import random
import string
import sys
import unittest

from orvex import _addrix
from helpers import skip

PY3 = bytes is not str


def to_bytes(value):
    """A case's str as the bytes of its values (on 2 the str itself), in
    tuples and lists too."""
    if isinstance(value, (tuple, list)):
        return type(value)(to_bytes(v) for v in value)
    return value.encode("latin-1") if PY3 and isinstance(value, str) else value


def from_bytes(value):
    """A result in the cases' terms; every string in it must be bytes."""
    if isinstance(value, (tuple, list)):
        return type(value)(from_bytes(v) for v in value)
    if isinstance(value, (bytes, type(u""))):
        if type(value) is not bytes:
            raise AssertionError("%r is not bytes" % (value,))
        return value.decode("latin-1") if PY3 else value
    return value


def on_bytes(func):
    @functools.wraps(func)
    def call(text):
        return from_bytes(func(to_bytes(text)))
    return call


parse_address = on_bytes(_addrix.parse_address)
parse_mail_from = on_bytes(_addrix.parse_mail_from)
parse_rcpt_to = on_bytes(_addrix.parse_rcpt_to)
unescape_local_part = on_bytes(_addrix.unescape_local_part)

# Every byte that some state of the scanner treats specially.
SPECIALS = ' \t\n\r"()<>@:\\[]'

# How many times a quoted address is scanned again inside its quotes.
REPARSE_LIMIT = 8

# Units that, repeated k times before 'ab"', nest the re-parse k levels deep:
# each level strips one unit. At the limit the run in hand keeps its user
# part, which still holds the unit's tail.
NESTING_UNITS = ['" ', '"\t', '"()']


class Scanner(unittest.TestCase):
    def check(self, cases):
        for text, expected in cases:
            self.assertEqual(parse_address(text), expected, repr(text))

    def test_addresses(self):
        self.check([
            ("", ("", "", "", 0)),
            ("<>", ("", "", "", 2)),
            ("u@d", ("", "u", "d", 3)),
            ("<u@d>", ("", "u", "d", 5)),
            ("<postmaster>", ("", "postmaster", "", 12)),
            # '<' drops the user part collected before it, not the domain
            ("Joe Smith <j@d>", ("", "j", "d", 15)),
            ("a@b <c>", ("", "a", "b", 4)),
            ("a@b<c>", ("", "c", "", 6)),
            # whitespace after the domain ends a bare address
            ("j@d (Joe)", ("", "j", "d", 4)),
            ("j@d\tx", ("", "j", "d", 4)),
            ("j@d\nx", ("", "j", "d", 4)),
            ("j@d\rx", ("", "j", "d", 4)),
            ("j@d\"x", ("", "j", "d", 4)),
            ("j@d\x0bx", ("", "j", "d\x0bx", 5)),
            ("a@b@c", ("", "a", "b@c", 5)),
            ("a@b,c;d\\e)f", ("", "a", "b,c;d\\e)f", 11)),
            ("@d", ("", "", "d", 2)),
        ])

    def test_unquoted_whitespace_and_quotes(self):
        self.check([
            ("a b@c", ("", "ab", "c", 5)),
            ("a\t\n\rb@c", ("", "ab", "c", 7)),
            ("a\x0b\x0cb@c", ("", "a\x0b\x0cb", "c", 6)),
            ('"a b"@c', ("", "a b", "c", 7)),
            ('"a@b"@c', ("", "a@b", "c", 7)),
            ('"<a>(b)"@c', ("", "<a>(b)", "c", 10)),
            ('x"y"@z', ("", "xy", "z", 6)),
            ('"abc', ("", "abc", "", 4)),
            ('"a\\"b"@c', ("", 'a"b', "c", 8)),
            ('"a\\\\b"@c', ("", "a\\b", "c", 8)),
        ])

    def test_comments(self):
        self.check([
            ("j(x)@d", ("", "j", "d", 6)),
            # a comment opens only outside the domain
            ("j@d(x)", ("", "j", "d(x)", 6)),
            ("(a (b) c)u@d", ("", "u", "d", 12)),
            ("(a\\)b)x@y", ("", "x", "y", 9)),
            ("(<x@y>\"@)u@d", ("", "u", "d", 12)),
            ("a(b", ("", "a", "", 3)),
            ("a(b\\", ("", "a", "", 4)),
            ("a(\\)", ("", "a", "", 4)),
            ("u@d (x\\", ("", "u", "d", 4)),
        ])

    def test_escapes(self):
        self.check([
            ("a\\ b@c", ("", "a b", "c", 6)),
            ("a\\@b@c", ("", "a@b", "c", 6)),
            ("a\\<b@c", ("", "a<b", "c", 6)),
            ("ab\\", ("", "ab", "", 3)),
            # after done only escaped bytes reach the user part
            ("<a@b c\\d>", ("", "ad", "b", 9)),
            ("<a@b c>", ("", "a", "b", 7)),
            # in the domain a backslash is an ordinary byte
            ("a@b\\ c", ("", "a", "b\\", 5)),
        ])

    def test_brackets(self):
        self.check([
            ("<a@b", ("", "a", "b", 4)),
            ("<<a@b>>x", ("", "a", "b", 7)),
            ("<<a@b>x", ("", "a", "b", 7)),
            ("<a@b>>", ("", "a", "b", 5)),
            # a '>' with no '<' open does not stop, and ends the collecting
            ("a>b", ("", "a", "", 3)),
            ("a>b@c", ("", "a", "", 5)),
            ("a@b>c@d", ("", "a", "b", 7)),
            ("<a b>c", ("", "ab", "", 5)),
            ("<a@b c>d", ("", "a", "b", 7)),
            ("<a@b c", ("", "a", "b", 6)),
            ("x<y@z", ("", "y", "z", 5)),
            ("a@b<c@d>", ("", "c", "d", 8)),
        ])

    def test_source_routes(self):
        self.check([
            ("<@a,@b:u@c>", ("@a,@b:", "u", "c", 11)),
            ("@a:@b:u@c", ("@b:", "u", "c", 9)),
            ("@a:u@c", ("@a:", "u", "c", 6)),
            ("@:u@c", ("@:", "u", "c", 5)),
            ("<x@a:u>", ("@a:", "u", "", 7)),
            ("u@c:", ("@c:", "", "", 4)),
            # the source route survives a later '<' reset
            ("@a:<u@c>", ("@a:", "u", "c", 8)),
        ])

    def test_address_literals(self):
        self.check([
            ("<u@[10.0.0.1]> X", ("", "u", "[10.0.0.1]", 14)),
            ("u@[10.0.0.1]", ("", "u", "[10.0.0.1]", 12)),
            ("u@[1 2]", ("", "u", "[1 2]", 7)),
            ("u@[a>b<c\"d(e)\\f]", ("", "u", "[a>b<c\"d(e)\\f]", 16)),
            ("u@x[y]z", ("", "u", "x[y]", 6)),
            ("u@[1", ("", "u", "[1", 4)),
            ("u@[1]>>", ("", "u", "[1]", 5)),
            ("<<u@[1]>x>y", ("", "u", "[1]", 10)),
            ("<u@[1]x]>", ("", "u", "[1]", 9)),
            # '[' after done switches states without being collected
            ("<u@d e[x]>", ("", "u", "d", 10)),
            ("<u@d x@[<v@w>", ("", "u", "d", 13)),
        ])

    def test_quoted_address_is_scanned_again(self):
        self.check([
            ('"foo@bar"', ("", "foo", "bar", 9)),
            ('<"foo@bar">', ("", "foo", "bar", 11)),
            ('"foo"', ("", "foo", "", 5)),
            ('"<@r:foo@bar>"', ("@r:", "foo", "bar", 14)),
            ('x <"foo@bar"> y', ("", "foo", "bar", 13)),
            # the re-parse needs more than two bytes of user part...
            ('"ab"', ("", "ab", "", 4)),
            ('"a@"', ("", "a@", "", 4)),
            # ...no domain...
            ('"foo"@bar', ("", "foo", "bar", 9)),
            # ...and a double quote on both sides of the user part
            ('"foo@bar" x', ("", "foo@barx", "", 11)),
            ('x "foo@bar" y', ("", "xfoo@bary", "", 13)),
            ('"foo@bar"x', ("", "foo@barx", "", 10)),
            ('x"foo@bar"', ("", "xfoo@bar", "", 10)),
            ('"foo\\@bar"', ("", "foo@bar", "", 10)),
        ])

    def test_nul_and_high_bytes_are_collected(self):
        ordinary = [chr(b) for b in range(256) if chr(b) not in SPECIALS]
        for c in ordinary:
            self.assertEqual(parse_address("a%sb@c%sd" % (c, c)),
                             ("", "a%sb" % c, "c%sd" % c, 7), repr(c))

    def test_parts_longer_than_the_initial_buffers(self):
        ordinary = "".join([chr(b) for b in range(256) if chr(b) not in SPECIALS])
        route, user, domain = "r" * 300, ordinary * 8, "d." * 2000
        text = "<@%s:%s@%s>" % (route, user, domain)
        self.assertEqual(parse_address(text), ("@%s:" % route, user, domain, len(text)))

    def test_deep_quoted_nesting_stops_at_the_limit(self):
        # Each level strips a quote and a space. The run at the limit sees
        # ' ' + '" ' * m + '"ab"' and keeps every other space: those quoted.
        text = '" ' * 3000 + '"ab"'
        user = " " * ((3000 - REPARSE_LIMIT + 1) // 2) + "ab"
        self.assertEqual(parse_address(text), ("", user, "", len(text)))
        self.assertEqual(parse_rcpt_to("TO:" + text), ("", user, "", []))

    def test_reparse_limit_edge(self):
        entries = [(parse_address, ""), (parse_mail_from, "FROM:"), (parse_rcpt_to, "TO:")]
        for unit in NESTING_UNITS:
            for depth, user in [(REPARSE_LIMIT - 1, "ab"), (REPARSE_LIMIT, "ab"),
                                (REPARSE_LIMIT + 1, unit[1:] + "ab")]:
                text = unit * depth + 'ab"'
                # Without the limit every depth gives 'ab'.
                unlimited = ScannerModel(text)
                self.assertEqual(unlimited.run(), ("", "ab", "", len(text)))
                self.assertEqual(unlimited.levels, depth)
                for parse, keyword in entries:
                    self.assertEqual(parse(keyword + text)[:3], ("", user, ""),
                                     "%s %r x %d" % (parse.__name__, unit, depth))
                self.assertEqual(parse_address(text)[3], len(text))


class Unescape(unittest.TestCase):
    def test_unescape(self):
        cases = [
            ('"a\\"b"', 'a"b'),
            ("a\\\\b", "a\\b"),
            ("", ""),
            ("plain", "plain"),
            ('"a"b"c', "abc"),
            ('a\\', "a"),
            ('\\"\\\\', '"\\'),
            ('"', ""),
            ("a\x00b\xff", "a\x00b\xff"),
        ]
        for text, expected in cases:
            self.assertEqual(unescape_local_part(text), expected, repr(text))


def check_keyword_errors(test, cases):
    """Each (parse, message, texts): every text raises ValueError(message)."""
    for parse, message, texts in cases:
        for text in texts:
            try:
                parse(text)
            except ValueError:
                test.assertEqual(str(sys.exc_info()[1]), message)
            else:
                test.fail("%s accepted %r" % (parse.__name__, text))


class Commands(unittest.TestCase):
    def test_mail_from(self):
        cases = [
            ("FROM:<a@b> SIZE=10", ("", "a", "b", [("SIZE", "10")])),
            ("  from:  <a@b>   SIZE=10  BODY=7BIT",
             ("", "a", "b", [("SIZE", "10"), ("BODY", "7BIT")])),
            ("fRoM:a@b SIZE=5", ("", "a", "b", [("SIZE", "5")])),
            ("FROM:", ("", "", "", [])),
            ("FROM:<>", ("", "", "", [])),
            ("FROM:<> ", ("", "", "", [])),
            ("FROM:<a@b>SIZE=1", ("", "a", "b", [("SIZE", "1")])),
            ("\x0b\x0cFROM:\x0b\x0c<a@b>\x0b\x0cSIZE=1\r\n", ("", "a", "b", [("SIZE", "1")])),
            ("FROM:<@a,@b:u@c> BODY=8BITMIME", ("@a,@b:", "u", "c", [("BODY", "8BITMIME")])),
            # a bare address ends at the space after it
            ("FROM:a@b c=d", ("", "a", "b", [("c", "d")])),
            ("FROM:<a@b> SIZE=1 SIZE=2 X", ("", "a", "b", [("SIZE", "1"), ("SIZE", "2"), ("X", None)])),
        ]
        for text, expected in cases:
            self.assertEqual(parse_mail_from(text), expected, repr(text))

    def test_rcpt_to(self):
        cases = [
            ('TO:<"x@y"> NOTIFY=NEVER', ("", "x", "y", [("NOTIFY", "NEVER")])),
            ("TO:<u@[10.0.0.1]> NOTIFY=NEVER", ("", "u", "[10.0.0.1]", [("NOTIFY", "NEVER")])),
            ("TO:<@a,@b:u@c>", ("@a,@b:", "u", "c", [])),
            ("\tto: <Postmaster>", ("", "Postmaster", "", [])),
            ("tO:<u@d> ORCPT=rfc822;u@d", ("", "u", "d", [("ORCPT", "rfc822;u@d")])),
        ]
        for text, expected in cases:
            self.assertEqual(parse_rcpt_to(text), expected, repr(text))

    def test_keyword_mismatch(self):
        cases = [
            (parse_mail_from, "Expected FROM:",
             ["FROM :<a@b>", "FRO:<a@b>", "MAIL FROM:<a@b>", "", "   ", "FROM", "FROMZ<a@b>",
              "TO:<a@b>", "\x00FROM:<a@b>", "\xa0FROM:<a@b>", "FR\x00M:"]),
            (parse_rcpt_to, "Expected TO:",
             ["T:<a@b>", "TO :<a@b>", "", "T", "TO", "TOZ<a@b>", "RCPT TO:<a@b>", "FROM:<a@b>"]),
        ]
        check_keyword_errors(self, cases)

    def test_whitespace_before_keyword(self):
        whitespace = " \t\n\x0b\x0c\r"
        for b in range(256):
            text = chr(b) + "FROM:<a@b>"
            if chr(b) in whitespace:
                self.assertEqual(parse_mail_from(text), ("", "a", "b", []))
            else:
                self.assertRaises(ValueError, parse_mail_from, text)


def params(text):
    return parse_mail_from("FROM:<> " + text)[3]


class Parameters(unittest.TestCase):
    def test_parameter_lists(self):
        cases = [
            ("", []),
            ("SIZE=", [("SIZE", "")]),
            ("SIZE", [("SIZE", None)]),
            ("SIZE=10", [("SIZE", "10")]),
            ("A=B=C", [("A", "B"), ("C", None)]),
            ("A =B", [("A", None), ("B", None)]),
            ("=foo", [("foo", None)]),
            ("==a==", [("a", "")]),
            ("a.b", [("a", None), ("b", None)]),
            ("-x=1", [("-x", "1")]),
            ("X-Y=1;Z", [("X-Y", "1;Z")]),
            ("A=<x>", [("A", "<x>")]),
            ("A= B", [("A", ""), ("B", None)]),
            ("A=b\xe9c", [("A", "b"), ("c", None)]),
            ("a\xe9b", [("a", None), ("b", None)]),
            ("A=\x7f~!", [("A", "\x7f~!")]),
            ("a_b", [("a", None), ("b", None)]),
            ("A=1\x00B=2", [("A", "1"), ("B", "2")]),
            ("Size=1 size=2", [("Size", "1"), ("size", "2")]),
            (" ;; ,, ", []),
        ]
        for text, expected in cases:
            self.assertEqual(params(text), expected, repr(text))

    def test_byte_classes(self):
        name_chars = set(string.ascii_letters + string.digits + "-")
        for b in range(256):
            c = chr(b)
            if c in name_chars:
                expected = [("a%sb" % c, None)]
            elif c == "=":
                expected = [("a", "b")]
            else:
                expected = [("a", None), ("b", None)]
            self.assertEqual(params("a%sb" % c), expected, "name byte %#x" % b)
            # the byte that ends a value is consumed with it, even '='
            if 0x21 <= b <= 0x7f and c != "=":
                expected = [("a", "x%sy" % c)]
            else:
                expected = [("a", "x"), ("y", None)]
            self.assertEqual(params("a=x%sy" % c), expected, "value byte %#x" % b)


class ModuleSurface(unittest.TestCase):
    def test_constants_and_docstrings(self):
        self.assertEqual(_addrix.__version__, "$Revision: #1 $")
        self.assertEqual(len(_addrix.__doc__.split("\n")), 3)
        results = ("<source_route> - The source routing information\n"
                   "<user> - Username of the email address\n"
                   "<domain> - Domain of the email address\n"
                   "<parameters> - List of (name/value) tuples of SMTP params")
        self.assertEqual(parse_address.__doc__,
                         "parse_address(str) -> (source_route, user, domain, stop_offset)\n"
                         "Finds the email address in the given string.")
        self.assertEqual(parse_mail_from.__doc__,
                         "parse_mail_from(str) -> (source_route, user, domain, parameters)\n"
                         "Parses an SMTP mail from line.\n"
                         "Assumes str starts with FROM:\n" + results)
        self.assertEqual(parse_rcpt_to.__doc__,
                         "parse_rcpt_to(str) -> (source_route, user, domain, parameters)\n"
                         + results)
        self.assertEqual(unescape_local_part.__doc__,
                         "unescape_local_part(local_part) -> unescaped_str\n"
                         "This will unescape the local part of an email address, removing "
                         "quotes and\nbackslash escape characters.")

    def test_argument_errors(self):
        for func in (_addrix.parse_address, _addrix.parse_mail_from, _addrix.parse_rcpt_to,
                     _addrix.unescape_local_part):
            for args in [(), (b"a", b"b"), (None,), (3,), ([b"a"],)]:
                self.assertRaises(TypeError, func, *args)
            self.assertRaises(TypeError, func, text="a")

    def test_results_are_fresh_and_owned_by_the_caller(self):
        # sys.getrefcount(container[k]) is 2 when only the container holds it.
        def check_owned(container, count):
            for k in range(count):
                self.assertEqual(sys.getrefcount(container[k]), 2, repr(container[k]))

        result = _addrix.parse_address(b"<@r:user@domain>")
        self.assertEqual(sys.getrefcount(result), 2)
        self.assertEqual([type(part) for part in result], [bytes, bytes, bytes, int])
        check_owned(result, 3)
        for parse, text in [(_addrix.parse_mail_from, b"FROM:<@r:u@d> A=1 B"),
                            (_addrix.parse_rcpt_to, b"TO:<@r:u@d> A=1 B")]:
            result = parse(text)
            self.assertEqual(sys.getrefcount(result), 2)
            check_owned(result, 4)
            check_owned(result[3], 2)
            self.assertEqual([type(pair) for pair in result[3]], [tuple, tuple])
        self.assertEqual(sys.getrefcount(_addrix.unescape_local_part(b'"local\\"part"')), 1)


class TextArguments(unittest.TestCase):
    """Python 3 also takes str: its UTF-8 with surrogateescape is scanned,
    results come back as str decoded the same way, and the stop offset
    counts characters of the given str."""

    def python_2(self):
        """Whether the test ends here, skipped: 2 has no separate text type
        (and 2.6 no skip that ends a test)."""
        if not PY3:
            skip(self, "Python 2 has no separate text type to take")
        return not PY3

    @staticmethod
    def text(data):
        return data.decode("utf-8", "surrogateescape")

    def as_text(self, result):
        if isinstance(result, (tuple, list)):
            return type(result)(self.as_text(v) for v in result)
        return self.text(result) if isinstance(result, bytes) else result

    @staticmethod
    def char_offset(text, byte_offset):
        """Where in text the first byte_offset bytes of its encoding end."""
        for k in range(len(text) + 1):
            if len(text[:k].encode("utf-8", "surrogateescape")) == byte_offset:
                return k
        raise AssertionError("offset %d is inside a character of %r" % (byte_offset, text))

    def same_as_bytes(self, text):
        data = text.encode("utf-8", "surrogateescape")
        got = _addrix.parse_address(text)
        expected = _addrix.parse_address(data)
        self.assertEqual(got[:3], self.as_text(expected[:3]), repr(text))
        self.assertEqual([type(part) for part in got], [str, str, str, int])
        self.assertEqual(got[3], self.char_offset(text, expected[3]), repr(text))
        for parse, keyword in [(_addrix.parse_mail_from, "FROM:"), (_addrix.parse_rcpt_to, "TO:")]:
            self.assertEqual(parse(keyword + text), self.as_text(parse(to_bytes(keyword) + data)))

    def test_every_byte_survives(self):
        if self.python_2():
            return
        for b in range(256):
            c = self.text(bytes([b]))
            if c in SPECIALS:
                continue
            text = "a%sb@c%sd" % (c, c)
            self.assertEqual(_addrix.parse_address(text), ("", "a%sb" % c, "c%sd" % c, 7),
                             repr(c))
            self.assertEqual(_addrix.unescape_local_part('"x%s"' % c), "x" + c)
            self.same_as_bytes(text)

    def test_stop_offset_counts_characters(self):
        if self.python_2():
            return
        cases = [
            (u"J\u00f6rg <j\u00f6@d\u00f6.example> rest", 20),
            (u"\u00e9\udcff <u@d> x", 8),
            (u"\U0001f600 <\u4e2d@\u6587> \U0001f600", 7),
            (u"\udce9\udcc3\udca9<a@b> c", 8),
            (u"u@d\u00e9 x", 5),
        ]
        for text, stop in cases:
            self.assertEqual(_addrix.parse_address(text)[3], stop, repr(text))
            self.same_as_bytes(text)

    def test_random_texts_agree_with_bytes(self):
        if self.python_2():
            return
        rng = random.Random(20261210)
        pieces = list(SPECIALS) + ["a", "=", u"\u00e9", u"\u4e2d", u"\U0001f600", u"\udc80",
                                   u"\udcff", u"\udcc3", u"\udca9", " X=1"]
        for _ in range(3000):
            self.same_as_bytes("".join(rng.choice(pieces) for _ in range(rng.randint(0, 20))))

    def test_parameters_come_back_as_str(self):
        if self.python_2():
            return
        self.assertEqual(_addrix.parse_mail_from(u"FROM:<\u00e9@d> A=1 \u00e9B=\udcff X"),
                         ("", u"\u00e9", "d", [("A", "1"), ("B", ""), ("X", None)]))
        self.assertEqual(_addrix.parse_rcpt_to("TO:<u@d> NOTIFY=NEVER"),
                         ("", "u", "d", [("NOTIFY", "NEVER")]))

    def test_keyword_errors_are_those_of_bytes(self):
        if self.python_2():
            return
        texts = [u"\u00e9FROM:<a@b>", "", "RCPT TO:"]
        check_keyword_errors(self, [(_addrix.parse_mail_from, "Expected FROM:", texts),
                                    (_addrix.parse_rcpt_to, "Expected TO:", texts)])

    def test_surrogates_without_a_byte_are_refused(self):
        if self.python_2():
            return
        for text in [u"\ud800", u"a\udc7f@b", u"\udfff"]:
            self.assertRaises(UnicodeEncodeError, _addrix.parse_address, text)

    def test_other_types_are_refused(self):
        if self.python_2():
            return
        for arg in [bytearray(b"a@b"), memoryview(b"a@b"), 3, None]:
            try:
                _addrix.parse_address(arg)
            except TypeError:
                self.assertEqual(str(sys.exc_info()[1]),
                                 "argument must be bytes or str, not %s" % type(arg).__name__)
            else:
                self.fail("accepted %r" % (arg,))


class ScannerModel(object):
    """The scanner as its state tables describe it, kept independent of the
    native code so that random texts can be checked against it."""

    WRAP = 2 ** 32

    def __init__(self, addr, reparses=None):
        """reparses: how many times a quoted address may still be scanned
        again; None for no limit. After run(), levels says how many times it
        was."""
        self.addr = addr
        self.reparses = reparses
        self.levels = 0
        self.state = "user"
        self.user, self.domain, self.route = [], [], None
        self.user_start = self.user_stop = -1
        self.comment = 0
        self.brackets = 0
        self.done = self.stop = self.escape = False

    def run(self):
        addr = self.addr
        i = 0
        while i < len(addr):
            self.i = i
            c = addr[i]
            if self.comment:
                if c == ")":
                    self.comment -= 1
                elif c == "(":
                    self.comment += 1
                elif c == "\\":
                    if i + 1 == len(addr):
                        self.stop = True
                    i += 1
            elif self.escape:
                self.escape = False
                self.add_user(c)
            else:
                getattr(self, "on_" + self.state)(c)
            i += 1
            if self.stop:
                break
        i = min(i, len(addr))
        if self.user_stop == -1:
            self.user_stop = len(addr)
        start, stop = self.user_start, self.user_stop
        if (self.reparses != 0 and not self.domain and len(self.user) > 2 and start > 0
                and addr[start - 1] == '"' and stop > 0 and addr[stop - 1] == '"'):
            left = self.reparses
            if left is not None:
                left -= 1
            inner = ScannerModel(addr[start:stop], left)
            result = inner.run()
            self.levels = inner.levels + 1
            return result[:3] + (i,)
        return (self.route or "", "".join(self.user), "".join(self.domain), i)

    def add_user(self, c):
        if self.user_start == -1:
            self.user_start = self.i
        self.user.append(c)

    def user_reset(self):
        self.user = []
        self.user_start = self.user_stop = -1

    def open_bracket(self):
        self.brackets = (self.brackets + 1) % self.WRAP

    def close_bracket(self):
        self.brackets = (self.brackets - 1) % self.WRAP
        self.stop = self.brackets == 0

    def on_user(self, c):
        if c in " \t\n\r":
            return
        if c == '"':
            self.state = "quoted"
        elif c == "(":
            self.comment = 1
        elif c == "<":
            self.open_bracket()
            self.user_reset()
        elif c == ">":
            self.user_stop = self.i
            self.done = True
            self.close_bracket()
        elif c == "@":
            self.user_stop = self.i
            self.state = "domain"
        elif c == "\\":
            self.escape = True
        elif not self.done:
            self.add_user(c)

    def on_quoted(self, c):
        if c == '"':
            self.state = "user"
        elif c == "\\":
            self.escape = True
        elif not self.done:
            self.add_user(c)

    def on_domain(self, c):
        if c in ' \t\n\r"':
            self.state = "user"
            self.done = True
            self.stop = self.brackets == 0
        elif c == ">":
            self.done = True
            self.close_bracket()
        elif c in "<:":
            if c == "<":
                self.open_bracket()
            else:
                self.route = "@" + "".join(self.domain) + ":"
            self.user_reset()
            self.domain = []
            self.state = "user"
        else:
            if not self.done:
                self.domain.append(c)
            if c == "[":
                self.state = "literal"

    def on_literal(self, c):
        if not self.done:
            self.domain.append(c)
            if c == "]":
                self.done = True
                self.stop = self.brackets == 0
        elif c == ">":
            self.close_bracket()


class Differential(unittest.TestCase):
    # Quotes and letters weigh more so that quoted addresses are re-parsed.
    ALPHABET = SPECIALS * 2 + '"' * 6 + "abc" * 4 + "\x00\x0b\x0c,;\xe9"

    def test_model_agrees_on_tables(self):
        for text in ['"foo@bar"', "<@a,@b:u@c>", "(a\\)b)x@y", "<a@b c\\d>", "a>b", "u@[1 2]"]:
            self.assertEqual(ScannerModel(text).run(), parse_address(text))

    def test_random_texts(self):
        rng = random.Random(20240611)
        alphabet = self.ALPHABET
        for _ in range(30000):
            text = "".join([rng.choice(alphabet) for _ in range(rng.randint(0, 24))])
            self.assertEqual(parse_address(text), ScannerModel(text, REPARSE_LIMIT).run(),
                             repr(text))

    def test_limit_changes_only_texts_nesting_past_it(self):
        # Runs of nesting units before a random tail reach every depth; up to
        # the limit the results are those of the scan without one.
        rng = random.Random(20240612)
        units = NESTING_UNITS + ['"\n', '"\r', '"(x)', ' "', '"(\\))']
        tails = ['ab"', '"a@b"', '<"a@b">', '"@r:a@b"', ""]
        depths = set()
        for _ in range(10000):
            prefix = [rng.choice(units) for _ in range(rng.randint(0, REPARSE_LIMIT + 3))]
            tail = [rng.choice(self.ALPHABET) for _ in range(rng.randint(0, 10))]
            text = "".join(prefix + tail) + rng.choice(tails)
            unlimited = ScannerModel(text)
            expected = unlimited.run()
            if unlimited.levels > REPARSE_LIMIT:
                expected = ScannerModel(text, REPARSE_LIMIT).run()
            depths.add(min(unlimited.levels, REPARSE_LIMIT + 2))
            self.assertEqual(parse_address(text), expected, repr(text))
        self.assertEqual(depths, set(range(REPARSE_LIMIT + 3)))


if __name__ == "__main__":
    unittest.main()
