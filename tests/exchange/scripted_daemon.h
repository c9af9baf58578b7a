#pragma once

#include "identity/signing_key.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <string>
#include <thread>

namespace vorlund::test {

// The bytes a text of a script stands for: a string as it is, {"hex": digits}, {"repeat": text,
// "bytes": n} (the text over and over, cut at n bytes), or an array of these, joined.
std::string textOf(const nlohmann::json& text);

// A daemon on 127.0.0.1 that writes exactly what its script says. On every connection it reads
// the request whole, takes the steps in turn, and closes. A step is a text to write;
// {"status": n, "body": text} an answer with its length; {"answer": {fields}, "tamper": [[from,
// to], ...]} the demo daemon's own answer to the request, its fields changed before it is signed
// and its text after, with an optional "status" (400 for a request unlike the client's); {"pause":
// ms}; or "reset", which ends the connection with a TCP reset.
class ScriptedDaemon {
public:
    ScriptedDaemon(nlohmann::json script, const SigningKey& key);
    ~ScriptedDaemon();
    ScriptedDaemon(const ScriptedDaemon&) = delete;
    ScriptedDaemon& operator=(const ScriptedDaemon&) = delete;

    int port() const { return port_; }
    int requestCount() const { return requestCount_; }

private:
    void serve();
    void play(int fd, const std::string& head, const std::string& body);

    const nlohmann::json script_;
    const SigningKey& key_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> requestCount_ = 0;
    std::thread thread_;
};

} // namespace vorlund::test
