#include "model_server.h"

#include "json_strings_at.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace vorlund {

namespace {

using Clock = std::chrono::steady_clock;

// Messages from the server are shown in one line of the window; a few hundred characters say
// what went wrong.
constexpr std::size_t maxMessageBytes = 300;
// An answer beyond this waits for one of a few turns to be read, signed and encoded: 32 answers
// of 16 MiB at once, with the copies that signing and encoding make, took 2 GB. Answers of
// up to costCap tokens are far smaller.
constexpr std::size_t largeAnswerBytes = 256 * 1024;
constexpr std::ptrdiff_t largeAnswerTurns = 2;

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

int portOf(const std::string& text) {
    const bool digits =
        !text.empty() && text.size() <= 5 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoi(text) < 1 || std::stoi(text) > 65535)
        throw std::invalid_argument("the model server's port is not a port: " + text);
    return std::stoi(text);
}

// The server's words as one line of plain text, cut at a character's start.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    if (text.size() > maxMessageBytes) {
        std::size_t cut = maxMessageBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
            --cut;
        text.resize(cut);
        text += "…";
    }
    return text;
}

DaemonReply badGateway(std::string reason) {
    return refusal(502, std::move(reason));
}

} // namespace

bool ModelServerAddress::unencryptedOverNetwork() const {
    const bool loopback = host == "localhost" || host == "::1" || host.starts_with("127.");
    return !https && !loopback;
}

ModelServerAddress parseModelServerUrl(const std::string& url) {
    ModelServerAddress address;
    const auto schemeEnd = url.find("://");
    const std::string scheme = lowerCase(url.substr(0, schemeEnd));
    if (schemeEnd == url.npos || (scheme != "http" && scheme != "https"))
        throw std::invalid_argument("the model server's URL must start with http:// or https://");
    address.https = scheme == "https";
    const std::string rest = url.substr(schemeEnd + 3);
    const auto authorityEnd = std::min(rest.find('/'), rest.size());
    const std::string authority = rest.substr(0, authorityEnd);
    std::string path = rest.substr(authorityEnd);
    if (path.find_first_of("?#") != path.npos)
        throw std::invalid_argument("the model server's URL must not hold a query or fragment");
    if (authority.find('@') != authority.npos)
        throw std::invalid_argument(
            "the model server's URL must not hold a user name; give a key with --api-key-file");
    const bool bracketed = authority.starts_with('[');
    const auto hostEnd = bracketed ? authority.find(']') + 1 : authority.rfind(':');
    if (bracketed && hostEnd == 0)
        throw std::invalid_argument("the model server's URL has no closing ] after its address");
    address.host = authority.substr(bracketed ? 1 : 0,
                                    hostEnd == authority.npos ? hostEnd : hostEnd - 2 * bracketed);
    if (address.host.empty())
        throw std::invalid_argument("the model server's URL names no host");
    const std::string port = hostEnd < authority.size() ? authority.substr(hostEnd) : "";
    if (!port.empty() && port[0] != ':')
        throw std::invalid_argument("the model server's URL has text after its host: " + port);
    address.port = port.size() > 1 ? portOf(port.substr(1)) : address.https ? 443 : 80;

    while (path.ends_with('/'))
        path.pop_back();
    if (path.ends_with("/chat/completions"))
        path.resize(path.size() - std::string_view("/chat/completions").size());
    address.basePath = path.empty() ? "/v1" : path;
    address.shown = scheme + "://" + authority + address.basePath;
    return address;
}

struct ModelServer::Exchange {
    httplib::Error error = httplib::Error::Unknown;
    int status = 0;
    std::string body;
    bool tooLarge = false, late = false;
    bool large = false; // has taken one of the turns for large answers
    std::chrono::milliseconds took{0};
};

ModelServer::ModelServer(ModelServerSettings settings)
    : settings_(std::move(settings)), largeAnswerTurns_(largeAnswerTurns) {}

std::shared_ptr<void> ModelServer::turnOf(const Exchange& exchange) {
    if (!exchange.large)
        return nullptr;
    return std::shared_ptr<void>(nullptr, [this](void*) { largeAnswerTurns_.release(); });
}

std::variant<ModelAnswer, DaemonReply> ModelServer::answer(const PinchRequest& request) {
    const auto deadline = Clock::now() + settings_.timeout;
    auto model = modelName(deadline);
    if (const auto* refused = std::get_if<DaemonReply>(&model))
        return *refused;
    const nlohmann::json completion = {
        {"model", std::get<std::string>(model)},
        {"messages", {{{"role", "user"}, {"content", request.prompt}}}},
        {"max_tokens", request.costCap},
        {"stream", false}};
    const Exchange exchange = send("POST", "/chat/completions", completion.dump(), deadline);
    auto turn = turnOf(exchange);
    const auto picked =
        jsonStringsAt(exchange.body, {{".choices", "#0", ".message", ".content"}, {".model"}});
    if (exchange.error != httplib::Error::Success || exchange.status / 100 != 2 || !picked ||
        !(*picked)[0]) {
        forgetModel(); // it may have been unloaded, or another server started in its place
        return failure(exchange, "gave no answer text");
    }
    return ModelAnswer{.text = *(*picked)[0],
                       .modelVersion = (*picked)[1].value_or(std::get<std::string>(model)),
                       .latency = exchange.took,
                       .turn = std::move(turn)};
}

std::variant<std::string, DaemonReply> ModelServer::modelName(Clock::time_point deadline) {
    if (!settings_.model.empty())
        return settings_.model;
    {
        const std::lock_guard lock(mutex_);
        if (listedModel_)
            return *listedModel_;
    }
    const Exchange exchange = send("GET", "/models", "", deadline);
    const auto turn = turnOf(exchange);
    const auto picked = jsonStringsAt(exchange.body, {{".data", "#0", ".id"}});
    if (exchange.error == httplib::Error::Success && exchange.status == 404)
        return badGateway("model server " + settings_.address.shown +
                          " does not list its models: name one with --model");
    if (exchange.error != httplib::Error::Success || exchange.status / 100 != 2 || !picked ||
        !(*picked)[0] || (*picked)[0]->empty())
        return failure(exchange, "lists no models: name one with --model");
    const std::lock_guard lock(mutex_);
    listedModel_ = *(*picked)[0];
    return *listedModel_;
}

void ModelServer::forgetModel() {
    const std::lock_guard lock(mutex_);
    listedModel_.reset();
}

ModelServer::Exchange ModelServer::send(const std::string& method, const std::string& path,
                                        std::string body, Clock::time_point deadline) {
    const ModelServerAddress& address = settings_.address;
    std::unique_ptr<httplib::ClientImpl> client =
        address.https ? std::make_unique<httplib::SSLClient>(address.host, address.port)
                      : std::make_unique<httplib::ClientImpl>(address.host, address.port);
    // Whole milliseconds, rounded up: httplib waits in whole milliseconds, rounded down, and a
    // wait that ended before the deadline would read as a broken exchange, not a late one.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        std::max(deadline - Clock::now(), Clock::duration(0)));
    client->set_connection_timeout(left);
    client->set_read_timeout(left);
    client->set_write_timeout(left);
    // Or the body waits for the server's delayed acknowledgement of the head.
    client->set_tcp_nodelay(true);

    Exchange exchange;
    httplib::Request request;
    request.method = method;
    request.path = address.basePath + path;
    request.headers = {{"Accept", "application/json"}};
    if (!body.empty())
        request.headers.emplace("Content-Type", "application/json");
    if (!settings_.apiKey.empty())
        request.headers.emplace("Authorization", "Bearer " + settings_.apiKey);
    request.body = std::move(body);
    // Each read waits at most until the deadline, but a server that trickles its answer would
    // take longer: so the deadline is checked as it arrives too.
    request.response_handler = [&](const httplib::Response& response) {
        exchange.tooLarge =
            response.get_header_value<std::uint64_t>("Content-Length") > maxAnswerBytes;
        exchange.late = Clock::now() > deadline;
        return !exchange.tooLarge && !exchange.late;
    };
    request.content_receiver = [&](const char* data, std::size_t size, std::uint64_t,
                                   std::uint64_t) {
        exchange.tooLarge = exchange.body.size() + size > maxAnswerBytes;
        exchange.late = Clock::now() > deadline;
        // The server waits while this one waits for its turn.
        if (!exchange.large && !exchange.tooLarge && !exchange.late &&
            exchange.body.size() + size > largeAnswerBytes) {
            exchange.large = largeAnswerTurns_.try_acquire_until(deadline);
            exchange.late = !exchange.large;
        }
        if (exchange.tooLarge || exchange.late)
            return false;
        exchange.body.append(data, size);
        return true;
    };
    httplib::Response response;
    const auto start = Clock::now();
    client->send(request, response, exchange.error);
    exchange.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    exchange.late = exchange.late || Clock::now() >= deadline;
    exchange.status = response.status;
    return exchange;
}

// What the client is told when the server gave no usable answer; `what` says what a server that
// answered 2xx did wrong.
DaemonReply ModelServer::failure(const Exchange& exchange, const std::string& what) const {
    const std::string server = "model server " + settings_.address.shown;
    using httplib::Error;
    if (exchange.tooLarge)
        return badGateway(server + " answered with more than 16 MiB");
    if (exchange.late)
        return refusal(504, "model server did not answer within " +
                                std::to_string(settings_.timeout.count()) + " s");
    switch (exchange.error) {
    case Error::Success:
        break;
    case Error::Connection:
    case Error::ConnectionTimeout:
        return badGateway(server + " refused the connection or cannot be reached: is it running?");
    case Error::SSLServerVerification:
        return badGateway(server + ": its certificate does not verify with this system's store");
    case Error::SSLConnection:
        return badGateway(server + ": the TLS handshake failed; is it an https server?");
    default:
        return badGateway(server + " ended the exchange early (" +
                          httplib::to_string(exchange.error) + ")");
    }
    if (exchange.status / 100 == 2)
        return badGateway("model server " + what);
    // Servers say what went wrong as {"error": {"message": …}} or {"error": "…"}; an HTML page
    // says nothing a window can show.
    const auto said = jsonStringsAt(exchange.body, {{".error", ".message"}, {".error"}});
    const std::optional<std::string> message =
        said ? (*said)[0] ? (*said)[0] : (*said)[1] : std::nullopt;
    return badGateway(server + " answered " + std::to_string(exchange.status) +
                      (message ? ": " + oneLine(*message) : ""));
}

} // namespace vorlund
