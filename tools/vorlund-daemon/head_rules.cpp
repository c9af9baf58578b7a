#include "head_rules.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace vorlund {

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool namesThisDaemon(const std::string& host, int port) {
    const std::string name = lowerCase(host);
    const auto colon = name.rfind(':');
    const std::string address = name.substr(0, colon);
    // Clients leave out the port when it is HTTP's default.
    const bool portMatches =
        colon == name.npos ? port == 80 : name.substr(colon + 1) == std::to_string(port);
    return (address == "127.0.0.1" || address == "localhost") && portMatches;
}

// application/json in any letter case, with or without parameters such as a charset.
bool isJson(const std::string& contentType) {
    std::string type = lowerCase(contentType.substr(0, contentType.find(';')));
    type.erase(type.find_last_not_of(" \t") + 1);
    return type == "application/json";
}

} // namespace

std::optional<DaemonReply> refusalOfHead(const httplib::Request& request, int port) {
    if (request.get_header_value_count("Host") != 1 ||
        !namesThisDaemon(request.get_header_value("Host"), port))
        return refusal(421, "Host must be 127.0.0.1:" + std::to_string(port) +
                                " or localhost:" + std::to_string(port));
    if (request.method != "POST" || request.path != "/pinch")
        return refusal(404, "only POST /pinch is served here");
    // A body without a length would be read until the client stops sending.
    if (!request.has_header("Content-Length") || request.has_header("Transfer-Encoding"))
        return refusal(411, "the body must come with a Content-Length");
    if (request.get_header_value<std::uint64_t>("Content-Length") > maxRequestBodyBytes)
        return refusal(413, "the body is larger than 1 MiB");
    if (!isJson(request.get_header_value("Content-Type")))
        return refusal(415, "Content-Type must be application/json");
    return std::nullopt;
}

} // namespace vorlund
