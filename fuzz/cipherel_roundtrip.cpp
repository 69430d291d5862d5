// Fuzzes cipherel through the interpreter. Input: byte 0 picks the key text's
// length (0-63), byte 1 a block size for pad (0-255), then the key text, then
// the data. Asserts that pad/unpad round-trip under that block size, that
// pad/encrypt/decrypt/unpad round-trips (decrypting under the key text cut
// the way the core reads it), and that encrypting the raw data fails exactly
// when it is not whole blocks.
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

PyObject* impl;
PyObject* openssl_error;

bool setup()
{
    ensure_python();
    // The core writes a line to stdout for every refused input; the fuzzer
    // reports on stderr.
    if (!std::freopen("/dev/null", "w", stdout))
        finding("cannot silence stdout");
    Ref module = Ref::steal(PyImport_ImportModule("cipherel"));
    Ref cls = Ref::steal(module ? PyObject_GetAttrString(module.get(), "EncryptionImpl") : nullptr);
    impl = cls ? PyObject_CallObject(cls.get(), nullptr) : nullptr;
    openssl_error = module ? PyObject_GetAttrString(module.get(), "OpenSSLError") : nullptr;
    if (!impl || !openssl_error)
        finding("cannot import cipherel");
    return true;
}

Ref bytes(const uint8_t* data, size_t size)
{
    return Ref::steal(PyString_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                 static_cast<Py_ssize_t>(size)));
}

Ref call(const char* method, PyObject* first, PyObject* second = nullptr)
{
    return Ref::steal(PyObject_CallMethod(impl, const_cast<char*>(method),
                                          const_cast<char*>(second ? "(OO)" : "(O)"), first,
                                          second));
}

void expect_equal(const Ref& got, PyObject* expected, const char* what)
{
    if (!got)
        finding(what);
    if (PyString_GET_SIZE(got.get()) != PyString_GET_SIZE(expected) ||
        std::memcmp(PyString_AS_STRING(got.get()), PyString_AS_STRING(expected),
                    PyString_GET_SIZE(expected)) != 0)
        finding(what);
}

void expect_error(const Ref& got, PyObject* type, const char* what)
{
    if (got || !PyErr_ExceptionMatches(type))
        finding(what);
    PyErr_Clear();
}

void check_pad(PyObject* plain, int block_size)
{
    Ref size = Ref::steal(PyInt_FromLong(block_size));
    Ref padded = call("pad", plain, size.get());
    if (block_size == 0)
        return expect_error(padded, PyExc_ZeroDivisionError, "pad with block size 0");
    if (!padded)
        finding("pad");
    expect_equal(call("unpad", padded.get()), plain, "unpad(pad(x, n)) != x");
}

void check_cipher(PyObject* plain, PyObject* key, PyObject* core_key)
{
    Ref padded = call("pad", plain);
    if (!padded)
        finding("pad");
    Ref cipher = call("encrypt", padded.get(), key);
    if (!cipher || PyString_GET_SIZE(cipher.get()) != PyString_GET_SIZE(padded.get()))
        finding("encrypt of padded data");
    Ref decrypted = call("decrypt", cipher.get(), core_key);
    expect_equal(decrypted, padded.get(), "decrypt(encrypt(x)) != x");
    expect_equal(call("unpad", decrypted.get()), plain, "unpad after decrypt");

    Ref raw = call("encrypt", plain, key);
    if (PyString_GET_SIZE(plain) % 16 != 0)
        expect_error(raw, openssl_error, "encrypt of partial blocks must fail");
    else if (!raw || PyString_GET_SIZE(raw.get()) != PyString_GET_SIZE(plain))
        finding("encrypt of whole blocks");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = setup();
    if (!ready || size < 2)
        return 0;
    const size_t key_len = std::min<size_t>(data[0] % 64, size - 2);
    const uint8_t* key_text = data + 2;
    // What the core reads of a key text: up to its first zero byte, at most 32 bytes.
    const size_t core_len = std::min<size_t>(strnlen(reinterpret_cast<const char*>(key_text),
                                                     key_len), 32);
    Ref key = bytes(key_text, key_len);
    Ref core_key = bytes(key_text, core_len);
    Ref plain = bytes(key_text + key_len, size - 2 - key_len);
    if (!key || !core_key || !plain)
        finding("cannot build strings");
    check_pad(plain.get(), data[1]);
    check_cipher(plain.get(), key.get(), core_key.get());
    return 0;
}
