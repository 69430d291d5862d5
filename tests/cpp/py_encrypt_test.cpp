// The cipher core against independent references: NIST's AES-256-CBC vectors
// fix the reference cipher and the core's buffer-writing entry, and the test
// derives key and IV itself with its own SHA-256 loop from the built-in
// material, so a change of material, salt, derivation input or cipher mode
// shows up as a mismatch.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "py_encrypt.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes pattern(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<unsigned char>(i * 131 + 7);
    return out;
}

// The built-in values, as stored data depends on them.
const Bytes kSalt = from_hex("5c27e1930b7ac436");
const Bytes kMaterial = from_hex("4fa219d7638e25f0b43a6dc1589b07e6");

struct CoreCall {
    bool ok;
    Bytes out;
    int len;  // the length argument after the call
};

CoreCall run_core(unsigned char* (*core)(const unsigned char*, const char*, int*), const Bytes& in,
                  const std::string& key)
{
    int len = static_cast<int>(in.size());
    py_encrypt_buffer result(core(in.data(), key.c_str(), &len));
    if (!result)
        return {false, {}, len};
    return {true, Bytes(result.get(), result.get() + len), len};
}

// Reference AES-256-CBC without padding, checked against NIST below.
Bytes aes_256_cbc(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in)
{
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(),
                                                                  EVP_CIPHER_CTX_free);
    Bytes out(in.size() + 16);
    int len = 0, last = 0;
    EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(),
                                encrypt ? 1 : 0), 1);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx.get(), out.data() + len, &last), 1);
    out.resize(len + last);
    return out;
}

Bytes sha256(const Bytes& in)
{
    Bytes md(32);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(in.data(), in.size(), md.data(), &len, EVP_sha256(), nullptr), 1);
    return md;
}

// D_i = SHA-256^rounds(D_(i-1) || data || salt), D_0 empty; key and IV are
// the first 48 bytes of D_1 || D_2 || ...
void derive(const std::string& key_text, Bytes* key, Bytes* iv)
{
    Bytes data(kMaterial);
    std::string text = key_text.substr(0, key_text.find('\0')).substr(0, 32);
    data.insert(data.end(), text.begin(), text.end());
    data.resize(48, 0);
    Bytes stream, previous;
    while (stream.size() < 48) {
        Bytes block(previous);
        block.insert(block.end(), data.begin(), data.end());
        block.insert(block.end(), kSalt.begin(), kSalt.end());
        block = sha256(block);
        for (int round = 1; round < 1000; ++round)
            block = sha256(block);
        stream.insert(stream.end(), block.begin(), block.end());
        previous = block;
    }
    key->assign(stream.begin(), stream.begin() + 32);
    iv->assign(stream.begin() + 32, stream.begin() + 48);
}

// The entry both classes of the module use, with a key and IV of the caller's.
Bytes cipher_into(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in)
{
    py_cipher_key derived;
    std::copy(key.begin(), key.end(), derived.key);
    std::copy(iv.begin(), iv.end(), derived.iv);
    Bytes out(in.size());
    EXPECT_TRUE(py_cipher_into(encrypt ? py_direction::encrypt : py_direction::decrypt, derived,
                               in.data(), static_cast<int>(in.size()), out.data()));
    return out;
}

// NIST SP 800-38A F.2.5 (CBC-AES256.Encrypt) and F.2.6 (CBC-AES256.Decrypt):
// whole blocks, as the core takes them with its padding off.
TEST(NistCbcAes256, ReferenceAndCoreEntryMatch)
{
    const Bytes key = from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = from_hex("000102030405060708090a0b0c0d0e0f");
    const Bytes plain = from_hex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const Bytes cipher = from_hex(
        "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
        "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
    const struct {
        const char* name;
        Bytes (*run)(bool, const Bytes&, const Bytes&, const Bytes&);
    } ciphers[] = {{"reference", aes_256_cbc}, {"py_cipher_into", cipher_into}};
    for (const auto& c : ciphers) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.run(true, key, iv, plain), cipher);   // F.2.5
        EXPECT_EQ(c.run(false, key, iv, cipher), plain);  // F.2.6
    }
}

TEST(Cipher, EqualsAesUnderTheIndependentlyDerivedKeyAndIv)
{
    const std::string keys[] = {"", "k", "secret key text", std::string(31, 'q'),
                                std::string(32, 'r'), "0123456789abcdef0123456789abcdef-beyond"};
    for (const std::string& key_text : keys) {
        SCOPED_TRACE(key_text);
        Bytes key, iv;
        derive(key_text, &key, &iv);
        py_scoped_key derived;
        ASSERT_TRUE(py_derive_key(key_text.c_str(), &derived));
        EXPECT_EQ(Bytes(derived.key, derived.key + KEY_SIZE), key);
        EXPECT_EQ(Bytes(derived.iv, derived.iv + IV_SIZE), iv);
        for (size_t size : {16u, 64u, 4096u}) {
            SCOPED_TRACE(size);
            const Bytes plain = pattern(size);
            const Bytes expected = aes_256_cbc(true, key, iv, plain);
            CoreCall enc = run_core(py_encrypt, plain, key_text);
            ASSERT_TRUE(enc.ok);
            EXPECT_EQ(enc.out, expected);
            CoreCall dec = run_core(py_decrypt, expected, key_text);
            ASSERT_TRUE(dec.ok);
            EXPECT_EQ(dec.out, plain);
        }
    }
}

TEST(Cipher, KeyTextCountsUpToItsFirstZeroAndAtMost32Bytes)
{
    const Bytes plain = pattern(32);
    auto cipher = [&](const std::string& key) { return run_core(py_encrypt, plain, key).out; };
    const std::string base(32, 'x');
    EXPECT_EQ(cipher(base + "tail one"), cipher(base + "other tail"));
    EXPECT_NE(cipher(base.substr(0, 31) + "y"), cipher(base));
    EXPECT_EQ(cipher(std::string("abc\0def", 7)), cipher("abc"));
    EXPECT_EQ(cipher(std::string("\0xyz", 4)), cipher(""));
    EXPECT_NE(cipher("abc"), cipher(""));
}

TEST(Cipher, RoundTripsWholeBlocksOfAnySize)
{
    for (size_t size : {0u, 16u, 32u, 1u << 20}) {
        SCOPED_TRACE(size);
        const Bytes plain = pattern(size);
        CoreCall enc = run_core(py_encrypt, plain, "round trip");
        ASSERT_TRUE(enc.ok);
        EXPECT_EQ(enc.len, static_cast<int>(size));
        EXPECT_EQ(run_core(py_decrypt, enc.out, "round trip").out, plain);
    }
}

TEST(Cipher, WrongKeyDecryptsToOtherBytesOfTheSameLength)
{
    const Bytes plain = pattern(48);
    const Bytes cipher = run_core(py_encrypt, plain, "right").out;
    CoreCall dec = run_core(py_decrypt, cipher, "wrong");
    ASSERT_TRUE(dec.ok);
    EXPECT_EQ(dec.out.size(), plain.size());
    EXPECT_NE(dec.out, plain);
}

struct FailureCase {
    unsigned char* (*core)(const unsigned char*, const char*, int*);
    int len;
    std::string line;
};

// Lengths that are not whole blocks fail at the final step; lengths whose
// output would not fit an int are refused before any byte is read.
TEST(Cipher, FailuresWriteOneLineAndLeaveTheLengthAlone)
{
    const FailureCase cases[] = {
        {py_encrypt, 3, "ERROR in EVP_EncryptFinal_ex \n"},
        {py_encrypt, 17, "ERROR in EVP_EncryptFinal_ex \n"},
        {py_decrypt, 3, "ERROR in EVP_DecryptFinal_ex\n"},
        {py_decrypt, 31, "ERROR in EVP_DecryptFinal_ex\n"},
        {py_encrypt, INT_MAX - 14, "Input length 2147483633 is out of range\n"},
        {py_encrypt, INT_MAX, "Input length 2147483647 is out of range\n"},
        {py_encrypt, -1, "Input length -1 is out of range\n"},
        {py_decrypt, -16, "Input length -16 is out of range\n"},
    };
    const Bytes data = pattern(32);
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.len);
        int len = c.len;
        testing::internal::CaptureStdout();
        unsigned char* result = c.core(data.data(), "key", &len);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(len, c.len);
    }
}

// The module allocates exactly the input's length; a partial block must fail
// without writing past it (the sanitizer run sees any overrun).
TEST(CipherInto, PartialBlocksFailAtTheFinalStepWithinTheBuffer)
{
    py_scoped_key key;
    ASSERT_TRUE(py_derive_key("key", &key));
    const struct {
        py_direction direction;
        std::string line;
    } cases[] = {{py_direction::encrypt, "ERROR in EVP_EncryptFinal_ex \n"},
                 {py_direction::decrypt, "ERROR in EVP_DecryptFinal_ex\n"}};
    for (const auto& c : cases) {
        for (size_t size : {1u, 15u, 33u}) {
            SCOPED_TRACE(c.line + std::to_string(size));
            const Bytes in = pattern(size);
            Bytes out(size);
            testing::internal::CaptureStdout();
            EXPECT_FALSE(py_cipher_into(c.direction, key, in.data(), static_cast<int>(size),
                                        out.data()));
            EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        }
    }
}

TEST(KeyGen, GivesDistinct32ByteKeysEndedByAZero)
{
    py_encrypt_buffer first(py_key_gen());
    py_encrypt_buffer second(py_key_gen());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.get()[32], 0);
    EXPECT_EQ(second.get()[32], 0);
    EXPECT_NE(Bytes(first.get(), first.get() + 32), Bytes(second.get(), second.get() + 32));
}

// A random source standing in for OpenSSL's, installed through the method
// table that RAND_bytes still honours. Call n (from 1) fails when n is
// `failing_call`; any other fills the buffer with fills[n - 1], the last
// fill repeating.
struct FakeSource {
    std::vector<unsigned char> fills;
    int failing_call;
    int calls;
};
FakeSource fake_source;

int fake_bytes(unsigned char* buffer, int num)
{
    const int call = ++fake_source.calls;
    if (call == fake_source.failing_call)
        return 0;
    const size_t index = std::min<size_t>(call, fake_source.fills.size()) - 1;
    std::memset(buffer, fake_source.fills[index], num);
    return 1;
}

int rand_status() { return 1; }

const RAND_METHOD fake_method = {nullptr, fake_bytes, nullptr, nullptr, fake_bytes, rand_status};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
class FakeRandom {
public:
    explicit FakeRandom(std::vector<unsigned char> fills, int failing_call = 0)
        : saved_(RAND_get_rand_method())
    {
        fake_source = {std::move(fills), failing_call, 0};
        RAND_set_rand_method(&fake_method);
    }
    ~FakeRandom() { RAND_set_rand_method(saved_); }
    int calls() const { return fake_source.calls; }

private:
    const RAND_METHOD* saved_;
};
#pragma GCC diagnostic pop

TEST(KeyGen, FailingRandomSourceGivesNoKey)
{
    for (int failing_call : {1, 2}) {
        SCOPED_TRACE(failing_call);
        FakeRandom random({0x09}, failing_call);
        testing::internal::CaptureStdout();
        py_encrypt_buffer key(py_key_gen());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR in RAND_bytes \n");
        EXPECT_FALSE(key);
    }
    py_encrypt_buffer key(py_key_gen());
    EXPECT_TRUE(key);
}

// One draw is 48 bytes of data, then 8 of salt. With every byte 0x08 the
// derivation gives a key that starts with a zero byte, with 0x09 one that has
// none (both computed apart from OpenSSL, with Python's hashlib).
const Bytes kKeyOfFill08 =
    from_hex("006382a2e6832c53052a52dbd9f24371e2cd02e793e2a70c3610b5aecf96bb29");
const Bytes kKeyOfFill09 =
    from_hex("a01f6152d8280b1d3c92cd7056e0747f4902d52d076aeabd7d91bdde973ae13c");

TEST(KeyGen, DrawsAgainWhenTheKeyHasAZeroByte)
{
    FakeRandom random({0x08, 0x08, 0x09});
    py_encrypt_buffer key(py_key_gen());
    ASSERT_TRUE(key);
    EXPECT_EQ(Bytes(key.get(), key.get() + KEY_SIZE), kKeyOfFill09);
    EXPECT_EQ(key.get()[KEY_SIZE], 0);
    EXPECT_EQ(random.calls(), 4);
}

TEST(KeyGen, SourceThatOnlyGivesKeysWithZeroBytesFails)
{
    FakeRandom random({0x08});
    testing::internal::CaptureStdout();
    py_encrypt_buffer key(py_key_gen());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR in RAND_bytes \n");
    EXPECT_FALSE(key);
    EXPECT_EQ(random.calls(), static_cast<int>(2 * KEY_GEN_DRAWS));
}

}  // namespace
