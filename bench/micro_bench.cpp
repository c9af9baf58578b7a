// Micro-benchmarks of the protocol and signing paths, each beside the raw libsodium call on the
// same bytes, so the report shows our overhead as a ratio rather than as absolute time.
#include "identity/signing_key.h"
#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/sodium.h"
#include "protocol/uuid_v7.h"
#include "protocol/verify.h"
#include "ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <sodium.h>

namespace {

using namespace vorlund;

const std::array<std::uint8_t, 32> clientSeed{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const std::array<std::uint8_t, 32> daemonSeed{42, 43, 44, 45, 46, 47, 48, 49};

ClientSigningPayload clientPayload() {
    return {hex(SigningKey::fromSeed(clientSeed).publicKey()), 1000,
            "0192f3a4-5b6c-7d8e-9f01-23456789abcd",
            "Say hello to a new lobster joining the Tollmere. One sentence.", 1700000000};
}

// A signed answer of a typical size.
DaemonResponse signedAnswer() {
    const auto daemon = SigningKey::fromSeed(daemonSeed);
    DaemonResponse answer{"Hello, new lobster: the Tollmere welcomes you with open claws.",
                          37,
                          "demo-1",
                          "5d41402abc4b2a76b9719d911017c5925d41402abc4b2a76b9719d911017c592",
                          1700000000123,
                          "0192f3a4-5b6c-7d8e-9f01-23456789abcd",
                          clientPayload().bPubKey,
                          hex(daemon.publicKey()),
                          ""};
    answer.aSig = hex(daemon.sign(canonicalEncode(signingPayloadOf(answer))));
    return answer;
}

void canonicalEncodeServerPayload(benchmark::State& state) {
    const auto payload = signingPayloadOf(signedAnswer());
    for (auto _ : state)
        benchmark::DoNotOptimize(canonicalEncode(payload));
}
BENCHMARK(canonicalEncodeServerPayload);

void rawSign(benchmark::State& state) {
    const auto key = SigningKey::fromSeed(clientSeed);
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), key.seed().data());
    const auto message = canonicalEncode(clientPayload());
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    for (auto _ : state) {
        crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                             secretKey.data());
        benchmark::DoNotOptimize(signature);
    }
}
BENCHMARK(rawSign);

void sign(benchmark::State& state) {
    const auto key = SigningKey::fromSeed(clientSeed);
    const auto message = canonicalEncode(clientPayload());
    for (auto _ : state)
        benchmark::DoNotOptimize(key.sign(message));
}
BENCHMARK(sign);

void rawVerify(benchmark::State& state) {
    const auto answer = signedAnswer();
    const auto message = canonicalEncode(signingPayloadOf(answer));
    const auto publicKey = *hexToData(answer.aPubKey);
    const auto signature = *hexToData(answer.aSig);
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto_sign_verify_detached(signature.data(), message.data(),
                                                             message.size(), publicKey.data()));
}
BENCHMARK(rawVerify);

void verifyDaemonResponse(benchmark::State& state) {
    const auto answer = signedAnswer();
    if (!vorlund::verifyDaemonResponse(answer, answer.bPubKey))
        state.SkipWithError("the benchmark's answer does not verify");
    for (auto _ : state)
        benchmark::DoNotOptimize(vorlund::verifyDaemonResponse(answer, answer.bPubKey));
}
BENCHMARK(verifyDaemonResponse);

void hexToDataOfSignature(benchmark::State& state) {
    const std::string text = signedAnswer().aSig;
    for (auto _ : state)
        benchmark::DoNotOptimize(hexToData(text));
}
BENCHMARK(hexToDataOfSignature);

void uuidV7(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(vorlund::uuidV7());
}
BENCHMARK(uuidV7);

} // namespace

int main(int argc, char** argv) {
    vorlund::ensureSodium();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"sign", "rawSign", 1.10}, {"verifyDaemonResponse", "rawVerify", 1.15}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
