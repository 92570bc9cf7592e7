// Throughput of the mail codecs and digests: Base64 both ways, MD5, HMAC-MD5,
// and one DIGEST-MD5 response value.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "mail/Base64.h"
#include "mail/CMd5A.h"
#include "mail/SmtpAuth.h"

static std::string Payload(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++) data[i] = static_cast<char>('a' + i % 26);
    return data;
}

static void BM_Base64Encode(benchmark::State& state) {
    std::string data = Payload(static_cast<size_t>(state.range(0)));
    std::vector<char> out(data.size() * 2 + 8);
    for (auto _ : state) benchmark::DoNotOptimize(Base64::Base64Encode(out.data(), data.data(), static_cast<int>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(64)->Arg(4096);

static void BM_Base64Decode(benchmark::State& state) {
    std::string data = Payload(static_cast<size_t>(state.range(0)));
    std::vector<char> text(data.size() * 2 + 8), out(data.size() + 8);
    Base64::Base64Encode(text.data(), data.data(), static_cast<int>(data.size()));
    for (auto _ : state) benchmark::DoNotOptimize(Base64::Base64Decode(out.data(), text.data(), data.size() + 4));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Arg(64)->Arg(4096);

static void BM_Md5(benchmark::State& state) {
    std::string data = Payload(static_cast<size_t>(state.range(0)));
    CMd5A md5;
    for (auto _ : state) benchmark::DoNotOptimize(md5.MDString(data.c_str()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(64)->Arg(65536);

static void BM_HmacMd5Challenge(benchmark::State& state) {
    CMd5A md5;
    for (auto _ : state)
        benchmark::DoNotOptimize(md5.hmac_md5("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"));
}
BENCHMARK(BM_HmacMd5Challenge);

static void BM_DigestMd5Response(benchmark::State& state) {
    CMd5A md5;
    char secret[16];
    std::memcpy(secret, md5.MDHexString("chris:elwood.innosoft.com:secret"), 16);
    char out[33];
    for (auto _ : state)
        benchmark::DoNotOptimize(digest_md5_hmac(out, secret, "OA6MG9tEQGm2hh", 1, "OA6MHXh6VqTrRk",
                                                 DIGEST_MD5_QOP_AUTH, nullptr, "smtp/127.0.0.1", 0,
                                                 DIGEST_MD5_CIPHER_RC4, nullptr, nullptr, nullptr, nullptr));
}
BENCHMARK(BM_DigestMd5Response);

BENCHMARK_MAIN();
