// Fuzzes cipherel through the interpreter. Input: byte 0 picks the key text's
// length (0-63), byte 1 a block size for pad (0-255), then the key text, then
// the data. Asserts that pad/unpad round-trip under that block size, that
// pad/encrypt/decrypt/unpad round-trips (decrypting under the key text cut
// the way the core reads it), that encrypting the raw data fails exactly
// when it is not whole blocks, and that Cipher(key) gives what EncryptionImpl
// gives under the key, bytes or failure, for the data and for the data
// repeated beyond the length from which Cipher releases the interpreter lock.
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "embedded_python.h"
#include "fuzz_support.h"
#include "pyglue/compat.h"
#include "pyglue/ref.h"

using pyglue::Ref;

namespace {

PyObject* impl;
PyObject* cipher_type;
PyObject* openssl_error;

const Py_ssize_t LOCK_RELEASE = 64 * 1024;

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
    cipher_type = module ? PyObject_GetAttrString(module.get(), "Cipher") : nullptr;
    openssl_error = module ? PyObject_GetAttrString(module.get(), "OpenSSLError") : nullptr;
    if (!impl || !cipher_type || !openssl_error)
        finding("cannot import cipherel");
    return true;
}

Ref bytes(const uint8_t* data, size_t size)
{
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
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
    if (PyBytes_GET_SIZE(got.get()) != PyBytes_GET_SIZE(expected) ||
        std::memcmp(PyBytes_AS_STRING(got.get()), PyBytes_AS_STRING(expected),
                    PyBytes_GET_SIZE(expected)) != 0)
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
    Ref size = Ref::steal(pyglue::int_from_long(block_size));
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
    if (!cipher || PyBytes_GET_SIZE(cipher.get()) != PyBytes_GET_SIZE(padded.get()))
        finding("encrypt of padded data");
    Ref decrypted = call("decrypt", cipher.get(), core_key);
    expect_equal(decrypted, padded.get(), "decrypt(encrypt(x)) != x");
    expect_equal(call("unpad", decrypted.get()), plain, "unpad after decrypt");

    Ref raw = call("encrypt", plain, key);
    if (PyBytes_GET_SIZE(plain) % 16 != 0)
        expect_error(raw, openssl_error, "encrypt of partial blocks must fail");
    else if (!raw || PyBytes_GET_SIZE(raw.get()) != PyBytes_GET_SIZE(plain))
        finding("encrypt of whole blocks");
}

// A call's result, or the exception it raised.
struct Outcome {
    Ref result;
    Ref error_type;
    Ref error_value;
};

Outcome outcome(PyObject* result)
{
    Outcome out;
    out.result = Ref::steal(result);
    if (!out.result) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        out.error_type = Ref::steal(type);
        out.error_value = Ref::steal(value);
        Ref dropped = Ref::steal(tb);  // where it was raised is not compared
    }
    return out;
}

// Both the same bytes, or both OpenSSLError with the same message.
void expect_same(const Outcome& ours, const Outcome& theirs, const char* what)
{
    if (ours.result && theirs.result)
        return expect_equal(ours.result, theirs.result.get(), what);
    if (ours.result || theirs.result || ours.error_type.get() != openssl_error ||
        theirs.error_type.get() != openssl_error)
        finding(what);
    Ref our_args = Ref::steal(PyObject_GetAttrString(ours.error_value.get(), "args"));
    Ref their_args = Ref::steal(PyObject_GetAttrString(theirs.error_value.get(), "args"));
    if (!our_args || !their_args ||
        PyObject_RichCompareBool(our_args.get(), their_args.get(), Py_EQ) != 1)
        finding(what);
}

void check_parity(PyObject* cipher, PyObject* data, PyObject* key)
{
    static const char* const methods[] = {"encrypt", "decrypt"};
    for (const char* method : methods) {
        Outcome ours = outcome(
            PyObject_CallMethod(cipher, const_cast<char*>(method), const_cast<char*>("(O)"), data));
        Outcome theirs = outcome(call(method, data, key).release());
        expect_same(ours, theirs, "Cipher(key) differs from EncryptionImpl under key");
    }
}

void check_cipher_object(PyObject* plain, PyObject* key)
{
    Ref cipher = Ref::steal(PyObject_CallFunctionObjArgs(cipher_type, key, nullptr));
    if (!cipher)
        finding("Cipher(key)");
    check_parity(cipher.get(), plain, key);
    const Py_ssize_t size = PyBytes_GET_SIZE(plain);
    if (size == 0)
        return;
    Ref large = Ref::steal(PySequence_Repeat(plain, LOCK_RELEASE / size + 1));
    if (!large)
        finding("cannot build the large text");
    check_parity(cipher.get(), large.get(), key);
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
    check_cipher_object(plain.get(), key.get());
    return 0;
}
