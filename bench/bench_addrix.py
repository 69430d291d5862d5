"""orvex._addrix against the standard library's ways of reading addresses.

parse_address against email.utils.parseaddr, per kind of address and over a
mixed corpus (target: at least 10x faster over the corpus); parse_mail_from
against a pure-Python split of the same MAIL arguments, such as a small SMTP
server does (no target: the split checks much less). Then crafted 64 KB
addresses that nest the quoted re-parse as deep as they can, in parse_address
and parse_rcpt_to (target: under 10 ms per call)."""
import sys
from email.utils import parseaddr
from functools import partial

from benchlib import compare, fmt, heading, per_call
from orvex._addrix import parse_address, parse_mail_from, parse_rcpt_to

ADDRESSES = [
    ("bare", "postmaster@example.com"),
    ("bracketed", "<john.smith@mail.example.org>"),
    ("display name", "John Smith <john.smith@mail.example.org>"),
    ("quoted display name", '"Smith, John" <john.smith@mail.example.org>'),
    ("comment", "jsmith@example.org (John Smith)"),
    ("quoted local part", '<"john smith"@example.org>'),
    ("source route", "<@relay1.example.net,@relay2.example.net:user@example.com>"),
    ("address literal", "<admin@[192.168.10.20]>"),
]

MAIL_ARGUMENTS = [
    "FROM:<postmaster@example.com>",
    "FROM:<john.smith@mail.example.org> SIZE=12345 BODY=8BITMIME",
    "FROM:<> SIZE=2048",
    "FROM:<bounce-123@lists.example.net> RET=HDRS ENVID=QQ314159",
    "FROM:<@relay.example.net:user@example.com> SMTPUTF8",
    "FROM:<admin@[192.168.10.20]> AUTH=<>",
]

CORPUS_TARGET = 10.0

# Each unit repeated before 'ab"' nests the re-parse one level deeper.
CRAFTED_UNITS = [("quote+space", '" '), ("quote+tab", '"\t'), ("quote+parens", '"()')]
CRAFTED_SIZE = 64 * 1024
CRAFTED_TARGET = 10e-3


def split_mail_from(arg):
    """The address and (name, value) parameters of a MAIL argument, the way a
    small pure-Python SMTP server splits them."""
    arg = arg.strip()
    if arg[:5].upper() != "FROM:":
        raise ValueError("Expected FROM:")
    rest = arg[5:].lstrip()
    if rest.startswith("<"):
        end = rest.find(">")
        address, params = rest[1:end], rest[end + 1:]
    else:
        address, _, params = rest.partition(" ")
    user, _, domain = address.rpartition("@")
    parameters = []
    for param in params.split():
        name, eq, value = param.partition("=")
        parameters.append((name, value if eq else None))
    return user, domain, parameters


def each(func, texts):
    for text in texts:
        func(text)


def crafted(unit):
    tail = 'ab"'
    return unit * ((CRAFTED_SIZE - len(tail)) // len(unit)) + tail


def run_crafted():
    sys.stdout.write("\ncrafted %d KB addresses (target < %d ms per call)\n"
                     % (CRAFTED_SIZE // 1024, CRAFTED_TARGET * 1e3))
    for label, unit in CRAFTED_UNITS:
        text = crafted(unit)
        for name, parse, line in [("parse_address", parse_address, text),
                                  ("parse_rcpt_to", parse_rcpt_to, "TO:" + text)]:
            seconds = per_call(partial(parse, line))
            sys.stdout.write("%-46s %s %s\n"
                             % ("%s(%s)" % (name, label), fmt(seconds),
                                "met" if seconds < CRAFTED_TARGET else "MISSED"))


def run():
    heading("orvex._addrix")
    for label, text in ADDRESSES:
        compare("parse_address(%s)" % label, partial(parse_address, text),
                [("email.utils.parseaddr", partial(parseaddr, text))])

    texts = [text for _, text in ADDRESSES]
    sys.stdout.write("\n")
    corpus = compare("parse_address over %d addresses" % len(texts),
                     partial(each, parse_address, texts),
                     [("email.utils.parseaddr", partial(each, parseaddr, texts))])
    mail = compare("parse_mail_from over %d MAIL arguments" % len(MAIL_ARGUMENTS),
                   partial(each, parse_mail_from, MAIL_ARGUMENTS),
                   [("pure-Python split", partial(each, split_mail_from, MAIL_ARGUMENTS))])

    ratio = corpus["email.utils.parseaddr"]
    sys.stdout.write("\nper address: parse_address %s, parse_mail_from %s\n"
                     % (fmt(per_call(partial(each, parse_address, texts)) / len(texts)),
                        fmt(per_call(partial(each, parse_mail_from, MAIL_ARGUMENTS))
                            / len(MAIL_ARGUMENTS))))
    sys.stdout.write("%-42s %6.2fx (target >= %.1fx) %s\n"
                     % ("parse_address vs parseaddr", ratio, CORPUS_TARGET,
                        "met" if ratio >= CORPUS_TARGET else "MISSED"))
    sys.stdout.write("%-42s %6.2fx (no target)\n"
                     % ("parse_mail_from vs pure-Python split", mail["pure-Python split"]))
    run_crafted()


if __name__ == "__main__":
    run()
