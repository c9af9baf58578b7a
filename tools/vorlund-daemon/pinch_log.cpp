#include "pinch_log.h"

#include <ctime>

namespace vorlund {

namespace {

constexpr std::size_t maxIdCharacters = 64;

} // namespace

std::string pinchLogLine(std::chrono::system_clock::time_point at, std::string_view pinchId,
                         int status, std::optional<std::chrono::milliseconds> modelTook) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char time[32] = "";
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string id;
    for (const char c : pinchId.substr(0, maxIdCharacters))
        id += c > ' ' && c < 0x7f ? c : '?';
    if (pinchId.size() > maxIdCharacters)
        id += "...";
    return std::string(time) + " " + (id.empty() ? "-" : id) + " " + std::to_string(status) +
           (modelTook ? " model " + std::to_string(modelTook->count()) + " ms" : "") + "\n";
}

} // namespace vorlund
