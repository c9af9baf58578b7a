#pragma once

#include "protocol/hex.h"

#include <array>
#include <cstdint>
#include <span>

namespace vorlund {

// An Ed25519 private key. The 32-byte seed is what the key file holds. Move-only; the secret
// bytes are wiped when the key goes away.
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
    SigningKey() = default;
    std::array<std::uint8_t, 64> secretKey_{}; // seed followed by public key, as libsodium keeps it
};

} // namespace vorlund
