// The daemon in front of a model server: how much it adds to a direct call on loopback, and its
// memory while 32 pinches wait on a slow model server. Both daemons run as their own process,
// the model servers are scripted here.

#include "loopback_server.h"
#include "stats.h"

#include "identity/signing_key.h"
#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/json_codec.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace vorlund;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* completion =
    R"({"model":"bench-model","choices":[{"index":0,"message":{"role":"assistant",)"
    R"("content":"A short answer of about the size a model gives."},"finish_reason":"stop"}]})";

// A model server that answers every completion with the same text after `delay`.
class ModelServer {
public:
    explicit ModelServer(std::chrono::milliseconds delay, std::string answer = completion) {
        server_.new_task_queue = [] { return new httplib::ThreadPool(48); };
        server_.set_tcp_nodelay(true);
        // As model servers do: an answer waits for a slow reader.
        server_.set_write_timeout(std::chrono::seconds(60));
        server_.Post("/v1/chat/completions",
                     [delay, answer](const httplib::Request&, httplib::Response& reply) {
                         std::this_thread::sleep_for(delay);
                         reply.set_content(answer, "application/json");
                     });
        server_.start();
    }
    int port() const { return server_.port(); }

private:
    test::LoopbackServer server_;
};

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{
        .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The daemon program in front of a model server, until destroyed.
class DaemonProcess {
public:
    DaemonProcess(int modelPort, const std::string& keyFile) : port_(freePort()) {
        const std::string port = std::to_string(port_),
                          url = "http://127.0.0.1:" + std::to_string(modelPort) + "/v1";
        std::vector<std::string> args = {DAEMON_PATH,      "--port",     port,
                                         "--model-server", url,          "--model",
                                         "bench-model",    "--key-file", keyFile};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0); // its pinch log
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn(&pid_, DAEMON_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        httplib::Client client("127.0.0.1", port_);
        for (int tries = 0; !client.Get("/") && tries < 1000; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~DaemonProcess() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    // A line of /proc/<pid>/status in kB, such as VmRSS or VmHWM.
    long kilobytes(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with(field + ":"))
                return std::stol(line.substr(field.size() + 1));
        return -1;
    }

private:
    int port_;
    pid_t pid_ = 0;
};

std::string pinchBody(const SigningKey& key, int number) {
    PinchRequest pinch{.bPubKey = hex(key.publicKey()),
                       .bSig = "",
                       .costCap = 1000,
                       .pinchId = "bench-" + std::to_string(number),
                       .prompt = "How far is it from here to the sea?",
                       .requestedAt = std::int64_t(time(nullptr))};
    pinch.bSig = hex(key.sign(canonicalEncode(signingPayloadOf(pinch))));
    return encodePinchRequest(pinch);
}

double millisecondsOf(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

} // namespace

int main() {
    const SigningKey key = SigningKey::generate();
    char keyDir[] = "/tmp/daemon-bench-XXXXXX";
    if (!::mkdtemp(keyDir))
        return 1;

    // Added latency: a direct call and a pinch through the daemon, taken in turns.
    constexpr int rounds = 400;
    {
        ModelServer fast(std::chrono::milliseconds(0));
        DaemonProcess daemon(fast.port(), std::string(keyDir) + "/fast.key");
        httplib::Client direct("127.0.0.1", fast.port()), viaDaemon("127.0.0.1", daemon.port());
        direct.set_keep_alive(true);
        direct.set_tcp_nodelay(true);
        viaDaemon.set_tcp_nodelay(true);
        viaDaemon.set_keep_alive(true);
        const std::string request = R"({"model":"bench-model","messages":[{"role":"user",)"
                                    R"("content":"How far is it from here to the sea?"}],)"
                                    R"("max_tokens":1000,"stream":false})";
        std::vector<std::string> bodies;
        for (int i = 0; i < rounds + 20; ++i)
            bodies.push_back(pinchBody(key, i));
        std::vector<double> directMs, daemonMs, addedMs;
        for (int i = 0; i < rounds + 20; ++i) {
            const auto start = Clock::now();
            const auto plain = direct.Post("/v1/chat/completions", request, "application/json");
            const auto middle = Clock::now();
            const auto pinched =
                viaDaemon.Post("/pinch", bodies[std::size_t(i)], "application/json");
            const auto end = Clock::now();
            if (!plain || plain->status != 200 || !pinched || pinched->status != 200) {
                std::cerr << "an exchange failed in round " << i << "\n";
                return 1;
            }
            if (i < 20) // warming up
                continue;
            directMs.push_back(millisecondsOf(middle - start));
            daemonMs.push_back(millisecondsOf(end - middle));
            addedMs.push_back(daemonMs.back() - directMs.back());
        }
        std::printf("added latency over a direct call, %d rounds on loopback:\n"
                    "  direct p50 %.3f ms, through the daemon p50 %.3f ms\n"
                    "  added p50 %.3f ms, p90 %.3f ms (goal p50 under 2 ms: %s)\n",
                    rounds, bench::median(directMs), bench::median(daemonMs),
                    bench::median(addedMs), bench::percentile(addedMs, 90),
                    bench::verdict(bench::median(addedMs) <= 2.0));
    }

    // Memory: 32 pinches at once, each waiting for a slow model server; then 32 whose answers
    // are 15 MiB each.
    const std::string large = R"({"model":"m","choices":[{"message":{"content":")" +
                              std::string(15 * 1024 * 1024, 'x') + R"("}}]})";
    const std::string small = completion;
    for (const std::string* answer : {&small, &large}) {
        constexpr int waiting = 32;
        ModelServer slow(std::chrono::milliseconds(3000), *answer);
        DaemonProcess daemon(slow.port(), std::string(keyDir) + "/slow.key");
        const long idle = daemon.kilobytes("VmRSS");
        std::vector<std::thread> clients;
        std::vector<int> statuses(waiting);
        for (int i = 0; i < waiting; ++i)
            clients.emplace_back([&, i] {
                httplib::Client client("127.0.0.1", daemon.port());
                client.set_read_timeout(std::chrono::seconds(60));
                const auto reply =
                    client.Post("/pinch", pinchBody(key, 1000 + i), "application/json");
                statuses[std::size_t(i)] = reply ? reply->status : -int(reply.error());
                if (reply && reply->status != 200)
                    std::cerr << reply->body.substr(0, 200) << "\n";
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const long whileWaiting = daemon.kilobytes("VmRSS");
        for (std::thread& client : clients)
            client.join();
        const long answered = long(std::count(statuses.begin(), statuses.end(), 200));
        std::printf("memory with %d pinches waiting on a slow model server, answers of %zu bytes "
                    "(%ld answered 200):\n"
                    "  idle %ld kB, while waiting %ld kB, peak %ld kB\n",
                    waiting, answer->size(), answered, idle, whileWaiting,
                    daemon.kilobytes("VmHWM"));
    }
    std::filesystem::remove_all(keyDir);
    return 0;
}
