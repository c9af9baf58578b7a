#include "signing_key.h"

#include "protocol/sodium.h"

#include <sodium.h>

namespace vorlund {

// The header fixes these sizes without pulling in libsodium.
static_assert(crypto_sign_SEEDBYTES == SigningKey::seedSize && crypto_sign_PUBLICKEYBYTES == 32 &&
              crypto_sign_SECRETKEYBYTES == 64 && crypto_sign_BYTES == 64);

SigningKey SigningKey::fromSeed(std::span<const std::uint8_t, seedSize> seed) {
    ensureSodium();
    SigningKey key;
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey;
    crypto_sign_seed_keypair(publicKey.data(), key.secretKey_.data(), seed.data());
    return key;
}

SigningKey SigningKey::generate() {
    ensureSodium();
    std::array<std::uint8_t, seedSize> seed;
    randombytes_buf(seed.data(), seed.size());
    SigningKey key = fromSeed(seed);
    sodium_memzero(seed.data(), seed.size());
    return key;
}

SigningKey::SigningKey(SigningKey&& other) noexcept : secretKey_(other.secretKey_) {
    sodium_memzero(other.secretKey_.data(), other.secretKey_.size());
}

SigningKey& SigningKey::operator=(SigningKey&& other) noexcept {
    if (this != &other) {
        secretKey_ = other.secretKey_;
        sodium_memzero(other.secretKey_.data(), other.secretKey_.size());
    }
    return *this;
}

SigningKey::~SigningKey() {
    sodium_memzero(secretKey_.data(), secretKey_.size());
}

std::span<const std::uint8_t, SigningKey::seedSize> SigningKey::seed() const {
    return std::span<const std::uint8_t, seedSize>(secretKey_.data(), seedSize);
}

std::array<std::uint8_t, 32> SigningKey::publicKey() const {
    std::array<std::uint8_t, 32> publicKey;
    crypto_sign_ed25519_sk_to_pk(publicKey.data(), secretKey_.data());
    return publicKey;
}

std::array<std::uint8_t, 64> SigningKey::sign(std::span<const std::uint8_t> message) const {
    std::array<std::uint8_t, 64> signature;
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                         secretKey_.data());
    return signature;
}

} // namespace vorlund
