"""orvex._addrix: the MAIL and RCPT arguments of an SMTP session, split into
source route, user, domain and ESMTP parameters."""
import sys
from email.utils import parseaddr
from functools import partial

from bench_addrix import split_mail_from
from benchlib import compare, heading
from orvex._addrix import parse_address, parse_mail_from, parse_rcpt_to, unescape_local_part

# What a client sent; the server reads the command word, the parser the rest.
TRANSCRIPT = [
    "EHLO client.example.org",
    "MAIL FROM:<john.smith@example.org> SIZE=2048 BODY=8BITMIME",
    "RCPT TO:<postmaster>",
    'RCPT TO:<"jane doe"@example.com> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;jane@example.com',
    "RCPT TO:<@relay.example.net:ops@[192.168.10.20]>",
    "RCPT TO: Bob Smith <bob@example.com> (the loose way)",
    "MAIL FROM <missing-colon@example.org>",
    "DATA",
]

PARSERS = {"MAIL": parse_mail_from, "RCPT": parse_rcpt_to}


def tour():
    heading("orvex._addrix")
    for line in TRANSCRIPT:
        verb, _, argument = line.partition(" ")
        sys.stdout.write("C: %s\n" % line)
        if verb not in PARSERS:
            continue
        try:
            route, user, domain, params = PARSERS[verb](argument)
        except ValueError:
            sys.stdout.write("   -> ValueError: %s\n" % sys.exc_info()[1])
            continue
        sys.stdout.write("   -> route %r, user %r, domain %r\n      parameters %r\n"
                         % (route, user, domain, params))

    sys.stdout.write("\n")
    for text in ['"foo@bar"', "j@d (Joe)", "Joe Smith <j@d>", "<a@b c\\d>"]:
        sys.stdout.write("parse_address(%r) -> %r\n" % (text, parse_address(text)))
    sys.stdout.write("unescape_local_part(%r) -> %r\n"
                     % ('"jane\\"doe"', unescape_local_part('"jane\\"doe"')))

    sys.stdout.write("\n")
    text = "John Smith <john.smith@example.org>"
    compare("parse_address(display name)", partial(parse_address, text),
            [("email.utils.parseaddr", partial(parseaddr, text))], number=2000)
    argument = TRANSCRIPT[1].partition(" ")[2]
    compare("parse_mail_from(MAIL argument)", partial(parse_mail_from, argument),
            [("pure-Python split", partial(split_mail_from, argument))], number=2000)


if __name__ == "__main__":
    tour()
