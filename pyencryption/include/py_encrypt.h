/* Cipher core of the cipherel module: AES-256-CBC over libcrypto with a key
 * and IV derived from a key text and built-in material, and key generation.
 * It knows no interpreter objects and keeps no state, so calls may overlap.
 * Results are heap buffers that the caller releases with free(); a failure
 * returns null after one line on stdout. */
#ifndef PY_ENCRYPT_H
#define PY_ENCRYPT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

static const uint32_t HARD_KEY_LEN = 16; /* built-in key material, bytes */
static const uint32_t KEY_DATA_LEN = 48; /* bytes handed to the key derivation */
static const uint32_t KEY_SIZE = 32;     /* AES-256 key; the derivation must report this */
static const uint32_t IV_SIZE = 16;      /* the AES block */
static const uint32_t HASH_ROUNDS = 1000; /* iterations of the key derivation */
static const uint32_t KEY_GEN_DRAWS = 64; /* random draws py_key_gen makes at most */

/* Encrypts *plain_text_len bytes (a multiple of 16: padding is the caller's
 * business) under the zero-terminated key text. On success *plain_text_len
 * holds the result length; on failure it is left as it was. */
unsigned char* py_encrypt(const unsigned char* plain_text, const char* key_data,
                          int* plain_text_len);

/* The inverse of py_encrypt, with the same length convention. */
unsigned char* py_decrypt(const unsigned char* cipher_text, const char* key_data,
                          int* cipher_text_len);

/* A fresh random 32-byte key followed by a zero byte. The key holds no zero
 * byte of its own, so all of it counts when it serves as a key text: a draw
 * whose key has one (about one in eight) is thrown away for a new draw. A
 * source whose first KEY_GEN_DRAWS draws all have one counts as failed and
 * gets the line of a failed random draw. */
unsigned char* py_key_gen(void);

#ifdef __cplusplus
}

#include <openssl/crypto.h>

#include <cstdlib>
#include <memory>

/* Owns a buffer the core returned, releasing it with free(). */
struct py_encrypt_free {
    void operator()(unsigned char* buffer) const { std::free(buffer); }
};
using py_encrypt_buffer = std::unique_ptr<unsigned char, py_encrypt_free>;

/* The entries below let a caller derive once and cipher many times, into a
 * buffer of its own; py_encrypt and py_decrypt are made of them. */

enum class py_direction { encrypt, decrypt };

/* AES key and IV derived from a key text. Plain data, so that it can live
 * inside an interpreter object; its holder wipes it with OPENSSL_cleanse. */
struct py_cipher_key {
    unsigned char key[KEY_SIZE];
    unsigned char iv[IV_SIZE];
};

/* A py_cipher_key on the stack, wiped when it goes out of scope. */
struct py_scoped_key : py_cipher_key {
    py_scoped_key() = default;
    py_scoped_key(const py_scoped_key&) = delete;
    py_scoped_key& operator=(const py_scoped_key&) = delete;
    ~py_scoped_key() { OPENSSL_cleanse(static_cast<py_cipher_key*>(this), sizeof(py_cipher_key)); }
};

/* Derives key and IV from the zero-terminated key text as py_encrypt does:
 * up to its first zero byte, at most 32 bytes of it count. */
bool py_derive_key(const char* key_data, py_cipher_key* out);

/* Whether `length` input bytes may be ciphered in `direction`: py_encrypt's
 * result, with its reserve, must fit an int. */
bool py_cipher_length_ok(py_direction direction, int length);

/* Ciphers `length` bytes (checked by py_cipher_length_ok) from `in` into
 * `out`, which has room for `length` bytes; on success exactly `length`
 * bytes were written. Whole blocks only: any other length fails at the final
 * step, as py_encrypt does. Calls no interpreter function, so it may run with
 * the interpreter lock released. */
bool py_cipher_into(py_direction direction, const py_cipher_key& key, const unsigned char* in,
                    int length, unsigned char* out);
#endif

#endif
