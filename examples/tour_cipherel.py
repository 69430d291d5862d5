"""cipherel: AES-256-CBC under a key text, key generation, base 64 and
PKCS #5 padding; Cipher for many texts under one key text."""
import hashlib
import sys
from functools import partial

from benchlib import compare, heading

import cipherel

E = cipherel.EncryptionImpl()


def show(call, result):
    sys.stdout.write("%-40s -> %r\n" % (call, result))


def python_pad(data, size=16):
    n = size - len(data) % size
    return data + bytes(bytearray([n])) * n


def python_derivation(key_text, material=b"m" * 16, salt=b"s" * 8):
    """The work of the core's key and IV derivation in pure Python (hashlib):
    two chains of 1000 SHA-256 digests over 48 bytes of input and a salt."""
    data = (material + key_text.split(b"\0")[0][:32]).ljust(48, b"\0")
    stream, block = b"", b""
    while len(stream) < 48:
        block = hashlib.sha256(block + data + salt).digest()
        for _ in range(999):
            block = hashlib.sha256(block).digest()
        stream += block
    return stream[:32], stream[32:48]


def tour():
    heading("cipherel")
    padded = E.pad(b"attack at dawn")
    cipher = E.encrypt(padded, b"secret")
    text = E.encode(cipher)
    show("pad('attack at dawn')", padded)
    show("encrypt(_, 'secret')", cipher)
    show("encode(_)", text)
    show("unpad(decrypt(decode(_), 'secret'))", E.unpad(E.decrypt(E.decode(text), b"secret")))
    show("unpad(decrypt(_, 'wrong key'))", E.unpad(E.decrypt(cipher, b"wrong key")))
    show("pad('abc', 8)", E.pad(b"abc", 8))
    key = E.key_gen()
    show("encode(key_gen())", E.encode(key))
    show("decrypt(encrypt(padded, key), key)", E.decrypt(E.encrypt(padded, key), key))

    cipher = cipherel.Cipher(b"secret")
    show("Cipher('secret').encrypt(padded)", cipher.encrypt(padded))
    show("same as encrypt(padded, 'secret')", cipher.encrypt(padded) == E.encrypt(padded, b"secret"))
    show("unpad(Cipher('secret').decrypt(_))", E.unpad(cipher.decrypt(cipher.encrypt(padded))))

    sys.stdout.write("encrypt('abc', 'secret') [not whole blocks]: the core's line, then\n")
    sys.stdout.flush()
    try:
        E.encrypt(b"abc", b"secret")
    except cipherel.OpenSSLError:
        error = sys.exc_info()[1]
        sys.stdout.write("    %s%r\n" % (type(error).__name__, error.args))

    sys.stdout.write("\n")
    data = b"x" * 100
    compare("pad(100 bytes)", partial(E.pad, data),
            [("data + bytes of n, n times", partial(python_pad, data))], number=20000)
    block = b"\x5a" * 4096
    compare("encrypt(4 KiB): derivation and AES", partial(E.encrypt, block, b"secret"),
            [("the derivation alone in Python", partial(python_derivation, b"secret"))], number=20)
    for label, size in (("16 B", 16), ("4 KiB", 4096)):
        data = b"\x5a" * size
        compare("Cipher.encrypt(%s): key derived once" % label, partial(cipher.encrypt, data),
                [("EncryptionImpl.encrypt, derives per call", partial(E.encrypt, data, b"secret"))])


if __name__ == "__main__":
    tour()
