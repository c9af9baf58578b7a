#include "signing_key.h"

#include "protocol/sodium.h"

#include <sodium.h>

#include <new>
#include <utility>

namespace vorlund {

// The header fixes these sizes without pulling in libsodium.
static_assert(crypto_sign_SEEDBYTES == SigningKey::seedSize && crypto_sign_PUBLICKEYBYTES == 32 &&
              crypto_sign_SECRETKEYBYTES == 64 && crypto_sign_BYTES == 64);

namespace {

// libsodium's guarded allocation: locked against swapping, left out of core dumps, between pages
// that no access may touch.
std::uint8_t* guardedSecretKeyMemory() {
    ensureSodium();
    auto* memory = static_cast<std::uint8_t*>(sodium_malloc(crypto_sign_SECRETKEYBYTES));
    if (!memory)
        throw std::bad_alloc();
    return memory;
}

} // namespace

SigningKey::SigningKey() : secretKey_(guardedSecretKeyMemory()) {}

SigningKey SigningKey::fromSeed(std::span<const std::uint8_t, seedSize> seed) {
    SigningKey key;
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey;
    crypto_sign_seed_keypair(publicKey.data(), key.secretKey_, seed.data());
    sodium_mprotect_readonly(key.secretKey_);
    return key;
}

// libsodium draws the seed into its own buffer and wipes that; the key keeps it in locked memory.
SigningKey SigningKey::generate() {
    SigningKey key;
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey;
    crypto_sign_keypair(publicKey.data(), key.secretKey_);
    sodium_mprotect_readonly(key.secretKey_);
    return key;
}

SigningKey::SigningKey(SigningKey&& other) noexcept
    : secretKey_(std::exchange(other.secretKey_, nullptr)) {}

SigningKey& SigningKey::operator=(SigningKey&& other) noexcept {
    if (this != &other)
        sodium_free(std::exchange(secretKey_, std::exchange(other.secretKey_, nullptr)));
    return *this;
}

// Wipes the bytes before it gives the memory back; nothing to do for a moved-from key.
SigningKey::~SigningKey() {
    sodium_free(secretKey_);
}

std::span<const std::uint8_t, SigningKey::seedSize> SigningKey::seed() const {
    return std::span<const std::uint8_t, seedSize>(secretKey_, seedSize);
}

std::array<std::uint8_t, 32> SigningKey::publicKey() const {
    std::array<std::uint8_t, 32> publicKey;
    crypto_sign_ed25519_sk_to_pk(publicKey.data(), secretKey_);
    return publicKey;
}

std::array<std::uint8_t, 64> SigningKey::sign(std::span<const std::uint8_t> message) const {
    std::array<std::uint8_t, 64> signature;
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secretKey_);
    return signature;
}

} // namespace vorlund
