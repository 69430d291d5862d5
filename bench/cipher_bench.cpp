// The native floor of one cipherel call: what no implementation of it can
// avoid (one EVP_BytesToKey of 1000 rounds plus AES-256-CBC of the data, with
// a fresh context), next to the cipher core itself: its C entries, which
// derive at every call, and py_cipher_into under a key derived once (what
// Cipher runs). bench_cipherel.py runs the Floor entries with
// --benchmark_format=json and sets EncryptionImpl's timings against them.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "py_encrypt.h"

namespace {

const unsigned char kSalt[8] = {1, 2, 3, 4, 5, 6, 7, 8};

struct FreeContext {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

void derive(unsigned char* key, unsigned char* iv)
{
    unsigned char data[KEY_DATA_LEN] = {'m', 'a', 't', 'e', 'r', 'i', 'a', 'l', 'k', 'e', 'y'};
    if (EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha256(), kSalt, data, KEY_DATA_LEN, HASH_ROUNDS,
                       key, iv) != static_cast<int>(KEY_SIZE))
        std::abort();
}

void aes(int encrypt, const unsigned char* key, const unsigned char* iv,
         const std::vector<unsigned char>& in, std::vector<unsigned char>& out)
{
    std::unique_ptr<EVP_CIPHER_CTX, FreeContext> ctx(EVP_CIPHER_CTX_new());
    int len = 0, last = 0;
    if (!ctx || !EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv, encrypt))
        std::abort();
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    if (!EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())) ||
        !EVP_CipherFinal_ex(ctx.get(), out.data() + len, &last))
        std::abort();
}

void set_bytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Derive(benchmark::State& state)
{
    unsigned char key[KEY_SIZE], iv[16];
    for (auto _ : state) {
        derive(key, iv);
        benchmark::DoNotOptimize(key);
    }
}

void RawAes(benchmark::State& state, int encrypt)
{
    std::vector<unsigned char> in(state.range(0), 0x5a), out(state.range(0) + 16);
    unsigned char key[KEY_SIZE] = {7}, iv[16] = {9};
    for (auto _ : state) {
        aes(encrypt, key, iv, in, out);
        benchmark::DoNotOptimize(out.data());
    }
    set_bytes(state);
}

void Floor(benchmark::State& state, int encrypt)
{
    std::vector<unsigned char> in(state.range(0), 0x5a), out(state.range(0) + 16);
    unsigned char key[KEY_SIZE], iv[16];
    for (auto _ : state) {
        derive(key, iv);
        aes(encrypt, key, iv, in, out);
        benchmark::DoNotOptimize(out.data());
    }
    set_bytes(state);
}

void Core(benchmark::State& state, unsigned char* (*core)(const unsigned char*, const char*, int*))
{
    std::vector<unsigned char> in(state.range(0), 0x5a);
    for (auto _ : state) {
        int len = static_cast<int>(in.size());
        unsigned char* out = core(in.data(), "bench key", &len);
        if (!out)
            std::abort();
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    set_bytes(state);
}

void CipherInto(benchmark::State& state, py_direction direction)
{
    std::vector<unsigned char> in(state.range(0), 0x5a), out(state.range(0));
    py_scoped_key key;
    if (!py_derive_key("bench key", &key))
        std::abort();
    for (auto _ : state) {
        if (!py_cipher_into(direction, key, in.data(), static_cast<int>(in.size()), out.data()))
            std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    set_bytes(state);
}

void PyEncrypt(benchmark::State& state) { Core(state, py_encrypt); }
void PyDecrypt(benchmark::State& state) { Core(state, py_decrypt); }

// Entry names: Derive, RawAes/<direction>/<bytes>, Floor/<direction>/<bytes>,
// CipherInto/<direction>/<bytes>, PyEncrypt/<bytes>, PyDecrypt/<bytes>.
void sizes(benchmark::internal::Benchmark* bench)
{
    bench->Arg(16)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(Derive)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RawAes, encrypt, 1)->Apply(sizes);
BENCHMARK_CAPTURE(RawAes, decrypt, 0)->Apply(sizes);
BENCHMARK_CAPTURE(Floor, encrypt, 1)->Apply(sizes);
BENCHMARK_CAPTURE(Floor, decrypt, 0)->Apply(sizes);
BENCHMARK_CAPTURE(CipherInto, encrypt, py_direction::encrypt)->Apply(sizes);
BENCHMARK_CAPTURE(CipherInto, decrypt, py_direction::decrypt)->Apply(sizes);
BENCHMARK(PyEncrypt)->Apply(sizes);
BENCHMARK(PyDecrypt)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
