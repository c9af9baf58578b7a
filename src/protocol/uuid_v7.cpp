#include "uuid_v7.h"

#include "sodium.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

namespace vorlund {

std::string uuidV7() {
    return uuidV7(std::chrono::system_clock::now());
}

std::string uuidV7(std::chrono::system_clock::time_point now) {
    using std::chrono::milliseconds;
    // A clock before the epoch has no meaning for a time-ordered identifier; use zero.
    const auto sinceEpoch = std::chrono::duration_cast<milliseconds>(now.time_since_epoch());
    const auto millis = static_cast<std::uint64_t>(std::max<std::int64_t>(sinceEpoch.count(), 0));

    std::array<std::uint8_t, 16> bytes{};
    for (int i = 0; i < 6; ++i)
        bytes[i] = static_cast<std::uint8_t>(millis >> (8 * (5 - i)));

    std::array<std::uint8_t, 10> random{};
    ensureSodium();
    randombytes_buf(random.data(), random.size());
    bytes[6] = 0x70 | (random[0] & 0x0f);
    bytes[7] = random[1];
    bytes[8] = 0x80 | (random[2] & 0x3f);
    for (int i = 9; i < 16; ++i)
        bytes[i] = random[i - 6];

    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

} // namespace vorlund
