// Cipher core: key and IV are derived from the caller's key text joined to
// built-in material, so one key text always gives the same cipher; block
// padding is off and left to the caller. Every buffer is the call's own, so
// calls from several threads may overlap.
#include "py_encrypt.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const int SALT_LEN = 8;

struct FreeContext {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, FreeContext>;

py_encrypt_buffer zeroed_buffer(int size)
{
    // calloc(0) may answer null; one byte keeps an empty result apart from a failure.
    return py_encrypt_buffer(static_cast<unsigned char*>(std::calloc(size > 0 ? size : 1, 1)));
}

// Each failure is one line on stdout, flushed so that it lands in order with
// what the host process writes through its own buffers.
bool fail(const char* line)
{
    std::puts(line);
    std::fflush(stdout);
    return false;
}

bool fail_key_size(int key_size)
{
    std::printf("Key size is %d bits - should be 256 bits\n", key_size);
    std::fflush(stdout);
    return false;
}

bool fail_length(int length)
{
    std::printf("Input length %d is out of range\n", length);
    std::fflush(stdout);
    return false;
}

// The material is stored scrambled so that it is not one readable run of
// bytes in the binary; none of the unscrambled bytes is zero, which keeps the
// caller's key text at byte 16 of the derivation input.
void py_const_key(unsigned char* blob)
{
    static const unsigned char scrambled[HARD_KEY_LEN] = {
        0x24, 0xf6, 0xf8, 0x75, 0x04, 0xce, 0x58, 0x5e,
        0x17, 0x56, 0x34, 0x3b, 0x47, 0x43, 0x72, 0x60,
    };
    unsigned char mask = 0x6b;
    for (uint32_t i = 0; i < HARD_KEY_LEN; ++i) {
        blob[i] = scrambled[i] ^ mask;
        mask = static_cast<unsigned char>(mask * 5 + 0x3d);
    }
}

// The two directions differ only in their EVP calls, the output reserve of
// py_encrypt and the failure lines (whose trailing blanks differ too).
struct CipherSteps {
    int (*init)(EVP_CIPHER_CTX*, const EVP_CIPHER*, ENGINE*, const unsigned char*,
                const unsigned char*);
    int (*update)(EVP_CIPHER_CTX*, unsigned char*, int*, const unsigned char*, int);
    int (*final)(EVP_CIPHER_CTX*, unsigned char*, int*);
    int room;  // output bytes py_encrypt reserves beyond the input
    const char* init_failed;
    const char* update_failed;
    const char* final_failed;
};

const CipherSteps encrypt_steps = {
    EVP_EncryptInit_ex, EVP_EncryptUpdate, EVP_EncryptFinal_ex, static_cast<int>(IV_SIZE) - 1,
    "ERROR in EVP_EncryptInit_ex ", "ERROR in EVP_EncryptUpdate ",
    "ERROR in EVP_EncryptFinal_ex ",
};

const CipherSteps decrypt_steps = {
    EVP_DecryptInit_ex, EVP_DecryptUpdate, EVP_DecryptFinal_ex, 0,
    "ERROR in EVP_DecryptInit_ex ", "ERROR in EVP_DecryptUpdate",
    "ERROR in EVP_DecryptFinal_ex",
};

const CipherSteps& steps_for(py_direction direction)
{
    return direction == py_direction::encrypt ? encrypt_steps : decrypt_steps;
}

unsigned char* run_cipher(py_direction direction, const unsigned char* in, const char* key_data,
                          int* in_len)
{
    if (!py_cipher_length_ok(direction, *in_len))
        return nullptr;
    py_scoped_key key;
    if (!py_derive_key(key_data, &key))
        return nullptr;
    py_encrypt_buffer out = zeroed_buffer(*in_len + steps_for(direction).room);
    if (!out) {
        fail("ERROR in calloc ");
        return nullptr;
    }
    // Without padding the result is exactly as long as the input, so
    // *in_len already holds the result length.
    if (!py_cipher_into(direction, key, in, *in_len, out.get()))
        return nullptr;
    return out.release();
}

// One draw of py_key_gen: fresh random data and salt through the derivation.
bool draw_key(unsigned char* key)
{
    unsigned char data[KEY_DATA_LEN];
    unsigned char salt[SALT_LEN];
    // Both results count: a failed random source must not hand out a
    // predictable key as if all were well.
    if (RAND_bytes(data, KEY_DATA_LEN) != 1 || RAND_bytes(salt, SALT_LEN) != 1)
        return fail("ERROR in RAND_bytes ");
    unsigned char iv[IV_SIZE];
    int key_size = EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha256(), salt, data, KEY_DATA_LEN,
                                  HASH_ROUNDS, key, iv);
    if (key_size != static_cast<int>(KEY_SIZE))
        return fail_key_size(key_size);
    return true;
}

}  // namespace

bool py_derive_key(const char* key_data, py_cipher_key* out)
{
    unsigned char salt[SALT_LEN];
    salt[0] = 0x5c;
    salt[1] = 0x27;
    salt[2] = 0xe1;
    salt[3] = 0x93;
    salt[4] = 0x0b;
    salt[5] = 0x7a;
    salt[6] = 0xc4;
    salt[7] = 0x36;
    unsigned char blob[HARD_KEY_LEN];
    py_const_key(blob);

    char key_data_merged[KEY_DATA_LEN + 1];
    std::memset(key_data_merged, 0, KEY_DATA_LEN);
    std::memcpy(key_data_merged, blob, HARD_KEY_LEN);
    // C-string semantics on purpose: the key text ends at its first zero byte
    // and only its first 32 bytes count.
    std::strncat(key_data_merged, key_data, KEY_SIZE);
    key_data_merged[KEY_DATA_LEN] = '\0';

    int key_size = EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha256(), salt,
                                  reinterpret_cast<unsigned char*>(key_data_merged), KEY_DATA_LEN,
                                  HASH_ROUNDS, out->key, out->iv);
    if (key_size != static_cast<int>(KEY_SIZE))
        return fail_key_size(key_size);
    return true;
}

bool py_cipher_length_ok(py_direction direction, int length)
{
    // Refused rather than cut: the output length, reserve included, must fit an int.
    if (length < 0 || length > INT_MAX - steps_for(direction).room)
        return fail_length(length);
    return true;
}

bool py_cipher_into(py_direction direction, const py_cipher_key& key, const unsigned char* in,
                    int length, unsigned char* out)
{
    const CipherSteps& steps = steps_for(direction);
    Context ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return fail("ERROR in EVP_CIPHER_CTX_new ");
    if (!steps.init(ctx.get(), EVP_aes_256_cbc(), nullptr, key.key, key.iv))
        return fail(steps.init_failed);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    // With padding off one update on a fresh context writes whole blocks
    // only, never more than it reads, and the final step writes nothing.
    int written = 0;
    if (!steps.update(ctx.get(), out, &written, in, length))
        return fail(steps.update_failed);
    int last_block_len = 0;
    if (!steps.final(ctx.get(), out + written, &last_block_len))
        return fail(steps.final_failed);
    return true;
}

extern "C" unsigned char* py_encrypt(const unsigned char* plain_text, const char* key_data,
                                     int* plain_text_len)
{
    return run_cipher(py_direction::encrypt, plain_text, key_data, plain_text_len);
}

extern "C" unsigned char* py_decrypt(const unsigned char* cipher_text, const char* key_data,
                                     int* cipher_text_len)
{
    return run_cipher(py_direction::decrypt, cipher_text, key_data, cipher_text_len);
}

extern "C" unsigned char* py_key_gen(void)
{
    py_encrypt_buffer key = zeroed_buffer(KEY_SIZE + 1);
    if (!key) {
        fail("ERROR in calloc ");
        return nullptr;
    }
    // A zero byte would end the key text early when the key is used, and
    // about one draw in eight has one.
    for (uint32_t draw = 0; draw < KEY_GEN_DRAWS; ++draw) {
        if (!draw_key(key.get()))
            return nullptr;
        if (!std::memchr(key.get(), 0, KEY_SIZE))
            return key.release();
    }
    fail("ERROR in RAND_bytes ");
    return nullptr;
}
