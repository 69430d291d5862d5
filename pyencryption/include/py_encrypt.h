/* Cipher core of the cipherel module: AES-256-CBC over libcrypto with a key
 * and IV derived from a key text and built-in material, and key generation.
 * It knows no interpreter objects. Results are heap buffers that the caller
 * releases with free(); a failure returns null after one line on stdout. */
#ifndef PY_ENCRYPT_H
#define PY_ENCRYPT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

static const uint32_t HARD_KEY_LEN = 16; /* built-in key material, bytes */
static const uint32_t KEY_DATA_LEN = 48; /* bytes handed to the key derivation */
static const uint32_t KEY_SIZE = 32;     /* AES-256 key; the derivation must report this */
static const uint32_t HASH_ROUNDS = 1000; /* iterations of the key derivation */

/* Encrypts *plain_text_len bytes (a multiple of 16: padding is the caller's
 * business) under the zero-terminated key text. On success *plain_text_len
 * holds the result length; on failure it is left as it was. */
unsigned char* py_encrypt(const unsigned char* plain_text, const char* key_data,
                          int* plain_text_len);

/* The inverse of py_encrypt, with the same length convention. */
unsigned char* py_decrypt(const unsigned char* cipher_text, const char* key_data,
                          int* cipher_text_len);

/* A fresh random 32-byte key followed by a zero byte. */
unsigned char* py_key_gen(void);

#ifdef __cplusplus
}

#include <cstdlib>
#include <memory>

/* Owns a buffer the core returned, releasing it with free(). */
struct py_encrypt_free {
    void operator()(unsigned char* buffer) const { std::free(buffer); }
};
using py_encrypt_buffer = std::unique_ptr<unsigned char, py_encrypt_free>;
#endif

#endif
