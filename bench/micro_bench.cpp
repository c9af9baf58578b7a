// Micro-benchmarks of the protocol and signing paths, each beside the raw libsodium call on the
// same bytes, so the report shows our overhead as a ratio rather than as absolute time; and
// decoding the largest answer the client takes, deeply nested beside flat.
#include "identity/signing_key.h"
#include "peak_growth.h"
#include "pinch_answer.h"
#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "protocol/uuid_v7.h"
#include "protocol/verify.h"
#include "ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdio>

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

// The most of an answer's body the client reads.
constexpr std::size_t bodyBound = 16 << 20;

// An answer of exactly bodyBound bytes, nearly all of them in the response.
std::string flatAnswer() {
    DaemonResponse answer = signedAnswer();
    answer.response.clear();
    answer.response.assign(bodyBound - encodeDaemonResponse(answer).size(), 'r');
    return encodeDaemonResponse(answer);
}

// "decoded", or the reason the window would show.
std::string decodeOnce(std::string_view body) {
    try {
        benchmark::DoNotOptimize(decodeDaemonResponse(body));
        return "decoded";
    } catch (const DecodeError& error) {
        return std::string("request failed: ") + error.what();
    }
}

// The outcome of decoding body, and how far that made the process's memory peak above what it
// held with the body already read, in bodies: the goal is under 4.
std::string firstDecoding(const std::string& body) {
    const vorlund::test::PeakGrowth memory;
    std::string report = decodeOnce(body);
    if (const auto growth = memory.bytes()) {
        const double bodies = double(*growth) / double(body.size());
        char figure[96];
        std::snprintf(figure, sizeof figure, "; peak +%.1f MiB, %.2f bodies (goal < 4: %s)",
                      double(*growth) / (1 << 20), bodies, bodies < 4 ? "met" : "missed");
        report += figure;
    }
    return report;
}

// The label is the report of the first decoding alone, so that every repetition shows the same
// one and the summary keeps it.
void decodeRepeatedly(benchmark::State& state, const std::string& body, const std::string& report) {
    state.SetLabel(report);
    for (auto _ : state)
        decodeOnce(body);
}

void decodeFlatAnswer(benchmark::State& state) {
    static const std::string body = flatAnswer(), report = firstDecoding(body);
    decodeRepeatedly(state, body, report);
}
BENCHMARK(decodeFlatAnswer)->Unit(benchmark::kMillisecond);

// A hostile daemon's answer: nothing but '[', as much as the client reads.
void decodeNestedBrackets(benchmark::State& state) {
    static const std::string body(bodyBound, '['), report = firstDecoding(body);
    decodeRepeatedly(state, body, report);
}
BENCHMARK(decodeNestedBrackets)->Unit(benchmark::kMillisecond);

void uuidV7(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(vorlund::uuidV7());
}
BENCHMARK(uuidV7);

} // namespace

int main(int argc, char** argv) {
    vorlund::ensureSodium();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"sign", "rawSign", 1.10},
                            {"verifyDaemonResponse", "rawVerify", 1.15},
                            {"decodeNestedBrackets", "decodeFlatAnswer", 1.0}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
