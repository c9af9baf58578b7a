#pragma once

#include "protocol/hex.h"

#include <array>
#include <cstdint>
#include <span>

namespace vorlund {

// An Ed25519 private key. The 32-byte seed is what the key file holds. Move-only; the secret
// bytes live in memory of their own that is never swapped out, is left out of core dumps, is
// read-only once the key is made, and is wiped when the key goes away.
class SigningKey {
public:
    static constexpr std::size_t seedSize = 32;

    static SigningKey fromSeed(std::span<const std::uint8_t, seedSize> seed);
    static SigningKey generate();

    SigningKey(SigningKey&& other) noexcept;
    SigningKey& operator=(SigningKey&& other) noexcept;
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
    ~SigningKey();

    std::span<const std::uint8_t, seedSize> seed() const;
    std::array<std::uint8_t, 32> publicKey() const;
    std::array<std::uint8_t, 64> sign(std::span<const std::uint8_t> message) const;

private:
    SigningKey();
    std::uint8_t* secretKey_; // seed followed by public key, as libsodium keeps it; null once moved
};

} // namespace vorlund
