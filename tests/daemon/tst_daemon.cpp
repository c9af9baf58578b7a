#include "json_rows.h"
#include "loopback_server.h"

#include "daemon.h"
#include "model_server.h"

#include "identity/posix_file.h"
#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "protocol/verify.h"

#include <QRegularExpression>
#include <QtTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

using namespace vorlund;
using nlohmann::json;

namespace {

const SigningKey clientKey = SigningKey::generate();

PinchRequest signedPinch(const std::string& prompt, std::int64_t requestedAt = time(nullptr)) {
    static int made = 0;
    PinchRequest pinch{.bPubKey = hex(clientKey.publicKey()),
                       .bSig = "",
                       .costCap = 1000,
                       .pinchId = "pinch-" + std::to_string(++made),
                       .prompt = prompt,
                       .requestedAt = requestedAt};
    pinch.bSig = hex(clientKey.sign(canonicalEncode(signingPayloadOf(pinch))));
    return pinch;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != text.npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A model server that speaks the chat-completions API as the row says, and keeps what it was
// sent.
class ScriptedModelServer {
public:
    explicit ScriptedModelServer(const json& script) {
        server_.Get("/v1/models", [script](const httplib::Request&, httplib::Response& answer) {
            const json models = script.value("models", json::array({"listed-model"}));
            json listed = {{"object", "list"}, {"data", json::array()}};
            for (const json& id : models)
                listed["data"].push_back({{"id", id}, {"object", "model"}});
            answer.status = models.is_number() ? models.get<int>() : 200;
            answer.set_content(listed.dump(), "application/json");
        });
        server_.Post("/v1/chat/completions", [this, script](const httplib::Request& request,
                                                            httplib::Response& answer) {
            sent_ = {{"body", json::parse(request.body, nullptr, false)},
                     {"authorization", request.get_header_value("Authorization")}};
            std::this_thread::sleep_for(std::chrono::milliseconds(script.value("delayMs", 0)));
            answer.status = script.value("status", 200);
            const json body =
                script.contains("contentOfBytes")
                    ? json{{"choices",
                            {{{"message",
                               {{"content", std::string(script["contentOfBytes"], 'x')}}}}}}}
                    : script.value("body", json{});
            std::string text = body.is_string() ? body.get<std::string>() : body.dump();
            text.resize(std::max(text.size(), script.value("paddedTo", std::size_t(0))), ' ');
            if (!script.value("chunked", false))
                return answer.set_content(text, "application/json");
            answer.set_chunked_content_provider(
                "application/json", [text](std::size_t offset, httplib::DataSink& sink) {
                    if (offset < text.size())
                        return sink.write(text.data() + offset,
                                          std::min<std::size_t>(64 * 1024, text.size() - offset));
                    sink.done();
                    return true;
                });
        });
        server_.start();
    }
    int port() const { return server_.port(); }
    const json& sent() const { return sent_; }

private:
    json sent_ = json::object();
    test::LoopbackServer server_; // stopped before what its handlers write goes
};

sockaddr_in loopback(int port) {
    return {.sin_family = AF_INET,
            .sin_port = htons(std::uint16_t(port)),
            .sin_addr = {htonl(INADDR_LOOPBACK)},
            .sin_zero = {}};
}

// A loopback port that refuses connections and that no one else gets, while `fd` is open.
int refusingPort(int fd) {
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The bytes a connection to the daemon answers to `sent`, until the daemon closes it.
std::string rawExchange(int port, const std::string& sent) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    std::string received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, sent.data(), sent.size(), MSG_NOSIGNAL) == ssize_t(sent.size())) {
        char buffer[4096];
        for (ssize_t count; (count = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            received.append(buffer, std::size_t(count));
    }
    ::close(fd);
    return received;
}

std::string postOf(const std::string& body, int port) {
    return "POST /pinch HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

} // namespace

class DaemonTest : public QObject {
    Q_OBJECT

private slots:
    // The daemon in front of a model server: what the server is sent, and what the client sees.
    void modelServer_data() { addJsonRows(ROWS_FILE, "modelServer"); }
    void modelServer() {
        json row = fetchedJsonRow();
        std::optional<ScriptedModelServer> server;
        if (row.contains("server"))
            server.emplace(row["server"]);
        const FileDescriptor unused(::socket(AF_INET, SOCK_STREAM, 0));
        const int port = server ? server->port() : refusingPort(unused.get());
        const std::string base = "http://127.0.0.1:" + std::to_string(port);
        row = json::parse(
            replaced(replaced(row.dump(), "{base}", base), "{port}", std::to_string(port)));

        const auto address = parseModelServerUrl(row.value("url", base + "/v1"));
        ModelServer model({.address = address,
                           .model = row.value("model", ""),
                           .apiKey = row.value("apiKey", ""),
                           .timeout = std::chrono::seconds(row.value("timeout", 30))});
        std::ostringstream log;
        Daemon daemon(
            SigningKey::generate(), {}, std::chrono::system_clock::now,
            [&](const PinchRequest& pinch) { return model.answer(pinch); }, &log);
        const PinchRequest pinch = signedPinch(row.value("prompt", "Grüß dich 🦞\n\"/\""));
        httplib::Client client("127.0.0.1", daemon.start(0));
        client.set_read_timeout(std::chrono::seconds(60));
        const auto result = client.Post("/pinch", encodePinchRequest(pinch), "application/json");
        QVERIFY(result);
        QCOMPARE(result->status, row.value("status", 200));
        // One line for the journal, without the prompt or the answer.
        const QRegularExpression logLine("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ " +
                                         QString::fromStdString(pinch.pinchId) + " " +
                                         QString::number(result->status) + " model \\d+ ms\n$");
        QVERIFY2(logLine.match(QString::fromStdString(log.str())).hasMatch(), log.str().c_str());
        if (result->status != 200) {
            QCOMPARE(result->body, row.at("reason").get<std::string>());
            return;
        }
        const DaemonResponse answer = decodeDaemonResponse(result->body);
        QVERIFY(verifyDaemonResponse(answer, pinch.bPubKey));
        QCOMPARE(json({answer.response, answer.modelVersion}), row.at("answer"));
        const json expected = {{"body",
                                {{"model", row.value("asked", "listed-model")},
                                 {"messages", {{{"role", "user"}, {"content", pinch.prompt}}}},
                                 {"max_tokens", 1000},
                                 {"stream", false}}},
                               {"authorization", row.value("authorization", "")}};
        QCOMPARE(server->sent().dump(), expected.dump());
    }

    // The replay set under a flood of pinches dated ahead: steps of pinch id, requestedAt, the
    // daemon's clock and the verdict.
    void replay_data() { addJsonRows(ROWS_FILE, "replay"); }
    void replay() {
        const json row = fetchedJsonRow();
        RecentPinches recent(row.at("capacity"));
        const char* verdicts[] = {"firstSeen", "answeredAlready", "tooOldToTell"};
        for (const json& step : row.at("steps"))
            QCOMPARE(verdicts[int(recent.remember(step[0], step[1], step[2]))],
                     step[3].get<std::string>());
    }

    // Requests written as bytes, and what comes back before the daemon closes the connection.
    void connection_data() { addJsonRows(ROWS_FILE, "connection"); }
    void connection() {
        Daemon daemon(SigningKey::generate());
        const int port = daemon.start(0);
        const json row =
            json::parse(replaced(fetchedJsonRow().dump(), "{port}", std::to_string(port)));
        std::string sent =
            replaced(row.value("head", ""), "{pad}", std::string(row.value("pad", 0), 'x'));
        for (int field = 0; field < row.value("extraFields", 0); ++field)
            sent.insert(sent.size() - 2, "X-" + std::to_string(field) + ": 1\r\n");
        for (int i = 0; i < row.value("pinches", 0); ++i)
            sent += postOf(encodePinchRequest(signedPinch("hi")), port);
        const std::string received =
            rawExchange(port, sent + sent.substr(0, row.value("repeat", 0)));
        json statuses = json::array();
        for (auto at = received.find("HTTP/1.1 "); at != received.npos;
             at = received.find("HTTP/1.1 ", at + 1))
            statuses.push_back(std::stoi(received.substr(at + 9, 3)));
        QCOMPARE(statuses.size(), row.at("answers").get<std::size_t>());
        QCOMPARE(statuses.back().get<int>(), row.at("lastStatus").get<int>());
        QVERIFY2(
            received.ends_with(row.at("lastReason").get<std::string>()),
            received.substr(received.size() - std::min<std::size_t>(received.size(), 300)).c_str());
    }
};

QTEST_GUILESS_MAIN(DaemonTest)
#include "tst_daemon.moc"
