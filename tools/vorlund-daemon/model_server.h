#pragma once

#include "pinch_answer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <variant>

namespace vorlund {

// Where an OpenAI-compatible chat-completions API is served.
struct ModelServerAddress {
    bool https = false;
    std::string host;
    int port = 0;
    std::string basePath; // such as "/v1", without a trailing slash
    std::string shown;    // scheme, host, port and basePath, as messages name the server

    // Prompts and answers to it would cross a network in plain text.
    bool unencryptedOverNetwork() const;
};

// The address as users type it: the server's root (http://localhost:11434, taken to serve the
// API under /v1), the API's base (…/v1) or the whole endpoint (…/v1/chat/completions).
// Throws std::invalid_argument with a one-line reason for anything else.
ModelServerAddress parseModelServerUrl(const std::string& url);

struct ModelServerSettings {
    ModelServerAddress address;
    std::string model;  // empty: the first model the server lists
    std::string apiKey; // empty: none is sent
    std::chrono::seconds timeout{50};
};

// Answers pinches from a model server: one POST {base}/chat/completions per pinch, the prompt
// as one user message and costCap as max_tokens. A failure of the server becomes a 502 or 504
// with one line that says what happened, in the server's own words where it gave some.
// Safe to use from several threads; each pinch is a request of its own.
class ModelServer {
public:
    explicit ModelServer(ModelServerSettings settings);

    std::variant<ModelAnswer, DaemonReply> answer(const PinchRequest& request);

    // The largest answer read from the server; the reading stops there.
    static constexpr std::size_t maxAnswerBytes = 16 * 1024 * 1024;

private:
    struct Exchange;
    std::variant<std::string, DaemonReply>
    modelName(std::chrono::steady_clock::time_point deadline);
    Exchange send(const std::string& method, const std::string& path, std::string body,
                  std::chrono::steady_clock::time_point deadline);
    DaemonReply failure(const Exchange& exchange, const std::string& what) const;
    void forgetModel();
    // Gives a large answer's turn back when the last holder lets go of it.
    std::shared_ptr<void> turnOf(const Exchange& exchange);

    const ModelServerSettings settings_;
    std::mutex mutex_;
    std::optional<std::string> listedModel_; // what GET /models named, until a failure
    std::counting_semaphore<> largeAnswerTurns_;
};

} // namespace vorlund
