// The daemon in front of a model server: how much it adds to a direct call on loopback, and its
// memory while 32 pinches wait on a slow model server. The daemon runs as its own process, the
// model servers are scripted here.
#include "bench.h"
#include "loopback_server.h"

#include "identity/signing_key.h"
#include "protocol/canonical.h"
#include "protocol/json_codec.h"

#include <QProcess>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace vorlund;
using std::chrono::milliseconds;

namespace {

constexpr const char* completion =
    R"({"model":"bench-model","choices":[{"index":0,"message":{"role":"assistant",)"
    R"("content":"A short answer of about the size a model gives."},"finish_reason":"stop"}]})";

// A model server that answers every completion with answer after delay, 48 at once.
class ModelServer : public test::LoopbackServer {
public:
    ModelServer(milliseconds delay, std::string answer) {
        new_task_queue = [] { return new httplib::ThreadPool(48); };
        set_tcp_nodelay(true);
        set_write_timeout(std::chrono::seconds(60)); // as model servers wait for slow readers
        Post("/v1/chat/completions", [delay, answer](const auto&, httplib::Response& reply) {
            std::this_thread::sleep_for(delay);
            reply.set_content(answer, "application/json");
        });
        start();
    }
};

// The daemon program before a model server, listening, until destroyed.
struct Daemon : QProcess {
    Daemon(const ModelServer& model, const QString& keyFile) {
        setStandardErrorFile(QProcess::nullDevice()); // its pinch log
        start(DAEMON_PATH,
              {"--port", QString::number(port), "--model", "bench-model", "--key-file", keyFile,
               "--model-server", QStringLiteral("http://127.0.0.1:%1/v1").arg(model.port())});
        if (!waitForReadyRead(30'000)) // it prints its URL once it listens
            std::abort();
    }
    ~Daemon() override {
        terminate();
        waitForFinished();
    }
    long kib(const char* field) const {
        return bench::statusKiB(std::to_string(processId()), field);
    }
    const int port = test::LoopbackServer().start(); // a free port, let go again at once
};

std::string pinchBody(const SigningKey& key, int number) {
    PinchRequest pinch{hex(key.publicKey()),
                       "",
                       1000,
                       "bench-" + std::to_string(number),
                       "How far is it from here to the sea?",
                       std::int64_t(time(nullptr))};
    pinch.bSig = hex(key.sign(canonicalEncode(signingPayloadOf(pinch))));
    return encodePinchRequest(pinch);
}

} // namespace

int main(int argc, char** argv) {
    const QCoreApplication app(argc, argv);
    const SigningKey key = SigningKey::generate();
    const QTemporaryDir keys;

    // Added latency: a direct call and a pinch through the daemon, taken in turns.
    constexpr int rounds = 400, warmup = 20;
    {
        const ModelServer fast(milliseconds(0), completion);
        const Daemon daemon(fast, keys.filePath("fast.key"));
        httplib::Client direct("127.0.0.1", fast.port()), viaDaemon("127.0.0.1", daemon.port);
        for (httplib::Client* client : {&direct, &viaDaemon}) {
            client->set_keep_alive(true);
            client->set_tcp_nodelay(true);
        }
        const std::string request = R"({"model":"bench-model","messages":[{"role":"user",)"
                                    R"("content":"How far is it from here to the sea?"}],)"
                                    R"("max_tokens":1000,"stream":false})";
        std::vector<double> directMs, daemonMs, addedMs;
        for (int i = 0; i < warmup + rounds; ++i) {
            const std::string pinch = pinchBody(key, i);
            const double start = bench::monotonicMillis();
            const auto plain = direct.Post("/v1/chat/completions", request, "application/json");
            const double middle = bench::monotonicMillis();
            const auto pinched = viaDaemon.Post("/pinch", pinch, "application/json");
            const double end = bench::monotonicMillis();
            if (!plain || plain->status != 200 || !pinched || pinched->status != 200) {
                std::fprintf(stderr, "an exchange failed in round %d\n", i);
                return 1;
            }
            if (i < warmup)
                continue;
            directMs.push_back(middle - start);
            daemonMs.push_back(end - middle);
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
                              std::string(15 << 20, 'x') + R"("}}]})";
    for (const std::string& answer : {std::string(completion), large}) {
        const ModelServer slow(milliseconds(3000), answer);
        const Daemon daemon(slow, keys.filePath("slow.key"));
        const long idle = daemon.kib("VmRSS");
        std::atomic<int> answered = 0;
        std::vector<std::thread> clients;
        for (int i = 0; i < 32; ++i)
            clients.emplace_back([&, body = pinchBody(key, 1000 + i)] {
                httplib::Client client("127.0.0.1", daemon.port);
                client.set_read_timeout(std::chrono::seconds(60));
                const auto reply = client.Post("/pinch", body, "application/json");
                answered += reply && reply->status == 200 ? 1 : 0;
            });
        std::this_thread::sleep_for(milliseconds(1500));
        const long waiting = daemon.kib("VmRSS");
        for (std::thread& client : clients)
            client.join();
        std::printf("memory with 32 pinches waiting on a slow model server, answers of %zu bytes "
                    "(%d answered 200):\n  idle %ld kB, while waiting %ld kB, peak %ld kB\n",
                    answer.size(), answered.load(), idle, waiting, daemon.kib("VmHWM"));
    }
    return 0;
}
