#include "json_rows.h"
#include "scripted_daemon.h"

#include "daemon.h"

#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "ui/content_view.h"
#include "ui/daemon_hint.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <optional>

#include <sys/stat.h>

using namespace vorlund;
using namespace vorlund::test;
using nlohmann::json;

namespace {

SigningKey keyFrom(const QByteArray& seed) {
    std::array<std::uint8_t, SigningKey::seedSize> bytes{};
    std::copy_n(seed.begin(), std::min(seed.size(), qsizetype(bytes.size())), bytes.begin());
    return SigningKey::fromSeed(bytes);
}

const SigningKey daemonKey = keyFrom(QByteArray(32, 7));
const SigningKey primingKey = keyFrom(QByteArray(32, 3));

QString freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return QString::number(server.serverPort());
}

// What the window shows of an exchange, in the words of the cases file.
json shownBy(const ContentView& view) {
    json shown = {{"response", view.response().toStdString()},
                  {"aPubKey", view.aPubKey().toStdString()},
                  {"latencyMs", view.latencyMs()},
                  {"modelVersion", view.modelVersion().toStdString()},
                  {"pinchId", view.pinchId().toStdString()}};
    if (view.errorText().isValid())
        shown["error"] = view.errorText().toString().toStdString();
    if (view.sigValid().isValid())
        shown["sigValid"] = view.sigValid().toBool();
    if (!view.hint().isEmpty())
        shown["hint"] = view.hint().toStdString();
    if (view.replayed())
        shown["replayed"] = true;
    if (view.unverified())
        shown["unverified"] = true;
    return shown;
}

} // namespace

// Exchanges through the window's own send(), with daemons that write exact bytes; and the
// daemon that those daemons' answers come from.
class ExchangeTest : public QObject {
    Q_OBJECT

    QTemporaryDir dataHome_;
    std::unique_ptr<ContentView> view_;

    // Sends the view's prompt and waits for the outcome; the pinch id sent, or none if no
    // outcome came.
    std::optional<std::string> exchange(const QString& url, const ExchangeSettings& settings = {}) {
        view_->setDaemonURL(url);
        view_->setExchangeSettings(settings);
        QSignalSpy finished(view_.get(), &ContentView::exchangeFinished);
        view_->send();
        const std::string sent = view_->pinchId().toStdString();
        // An unusable URL ends the exchange within send() already.
        if ((finished.isEmpty() && !finished.wait(int(settings.timeout.count()) + 30000)) ||
            view_->isLoading())
            return std::nullopt;
        return sent;
    }

    static QString urlOf(const ScriptedDaemon& daemon) {
        return QStringLiteral("http://127.0.0.1:%1/pinch").arg(daemon.port());
    }

private slots:
    void initTestCase() {
        QVERIFY(dataHome_.isValid());
        qputenv("XDG_DATA_HOME", dataHome_.path().toUtf8());
        view_ = std::make_unique<ContentView>();
        QTRY_VERIFY_WITH_TIMEOUT(view_->canSend(), 10000);
    }

    void daemonCases_data() { addJsonRows(CASES_FILE, "cases"); }
    void daemonCases() {
        const json script = fetchedJsonRow().value("daemon", json::array());
        const ScriptedDaemon daemon(script, daemonKey);
        const json row = json::parse(QString::fromStdString(fetchedJsonRow().dump())
                                         .replace("{closedPort}", freePort())
                                         .replace("{port}", QString::number(daemon.port()))
                                         .toStdString());
        view_->setPrompt(QStringLiteral("hi"));
        const ScriptedDaemon primer(
            json::parse(R"([{"answer": {"modelVersion": "prime-1", "latencyMs": 7}}])"),
            primingKey);
        QVERIFY(exchange(urlOf(primer)) && view_->sigValid() == QVariant(true));

        const QString url = QString::fromStdString(row.value("url", ""));
        ExchangeSettings settings; // the window's own, unless the row says otherwise
        settings.timeout =
            std::chrono::milliseconds(row.value("timeoutMs", settings.timeout.count()));
        settings.maxBodyBytes = row.value("maxBodyBytes", settings.maxBodyBytes);
        const auto sent = exchange(url.isEmpty() ? urlOf(daemon) : url, settings);
        QVERIFY2(sent, "the exchange never ended");
        QCOMPARE(daemon.requestCount(), row.contains("daemon") ? 1 : 0);

        // Whatever of the answer is not shown stays as the earlier answer left it.
        json expected = row.at("shows");
        for (const char* text : {"response", "error", "errorStartsWith"})
            if (expected.contains(text))
                expected[text] = textOf(expected[text]);
        const bool answered = expected.contains("response");
        expected.update({{"response", expected.value("response", "")},
                         {"aPubKey", hex((answered ? daemonKey : primingKey).publicKey())},
                         {"latencyMs", expected.value("latencyMs", answered ? 12 : 7)},
                         {"modelVersion", answered ? "demo-1" : "prime-1"},
                         {"pinchId", expected.value("pinchId", *sent)}});
        const json shown = shownBy(*view_);
        const std::string error = shown.value("error", ""),
                          prefix = expected.value("errorStartsWith", "");
        if (!prefix.empty() && error.starts_with(prefix) && error.size() > prefix.size())
            expected["error"] = error; // the rest is the platform's own description
        expected.erase("errorStartsWith");
        QVERIFY2(
            shown == expected,
            (shown.dump().substr(0, 400) + "\nexpected " + expected.dump().substr(0, 400)).c_str());
    }

    // The snapshot taken at a press, and what an exchange makes of one built by hand.
    void snapshots_data() { addJsonRows(CASES_FILE, "snapshots"); }
    void snapshots() {
        const json row = fetchedJsonRow();
        const std::chrono::system_clock::time_point at{
            std::chrono::nanoseconds(row.at("nanoseconds").get<std::int64_t>())};
        PinchSnapshot snapshot =
            takeSnapshot("hi", "http://127.0.0.1:1/pinch", *view_->state(), at);
        QCOMPARE(snapshot.requestedAt, row.at("requestedAt").get<std::int64_t>());
        if (!row.contains("prompt"))
            return;
        snapshot.prompt = textOf(row["prompt"]);
        // then() rather than QCoro::waitFor, which clang 14 cannot compile under ASan here.
        auto outcome = std::make_shared<std::optional<ExchangeOutcome>>();
        exchangePinch(std::move(snapshot)).then([outcome](ExchangeOutcome o) { *outcome = o; });
        QTRY_VERIFY(outcome->has_value());
        const QString error = (*outcome)->errorText.value_or("(none)");
        QVERIFY2(error.startsWith(QString::fromStdString(row["error"])), qPrintable(error));
    }

    // What the window says to do after a failed exchange, by the address it went to.
    void hints_data() { addJsonRows(CASES_FILE, "hints"); }
    void hints() {
        const json row = fetchedJsonRow();
        QCOMPARE(daemonHint(QString::fromStdString(row.at("url")), row.value("refused", false))
                     .toStdString(),
                 row.value("hint", ""));
    }

    void daemonRequests_data() { addJsonRows(REQUESTS_FILE, "requests"); }
    void daemonRequests() {
        // Its clock at the moment the valid requests were signed.
        Daemon daemon(keyFrom(QByteArray(32, 7)), {},
                      [] { return std::chrono::system_clock::from_time_t(1'700'000'000); });
        const int port = daemon.start(0);
        const json row = json::parse(QString::fromStdString(fetchedJsonRow().dump())
                                         .replace("{port}", QString::number(port))
                                         .toStdString());
        std::string body = row.value("body", "");
        body.resize(std::max(body.size(), row.value("paddedTo", std::size_t(0))), ' ');
        const auto headers = row.value("headers", json::object()).get<httplib::Headers>();
        httplib::Client client("127.0.0.1", port);
        const auto post = [&] {
            return client.Post("/pinch", headers, body,
                               row.value("contentType", "application/json"));
        };
        if (row.value("sentBefore", false)) // as a replay finds it
            QCOMPARE(post().value().status, 200);
        const auto result = post();
        QVERIFY(result);
        QCOMPARE(result->status, row.value("status", 0));
        if (result->status != 200)
            QCOMPARE(QString::fromStdString(result->body), QString::fromStdString(row["reason"]));
        else { // the exchange cases show the rest of what the echo answers
            const DaemonResponse answer = decodeDaemonResponse(result->body);
            const PinchRequest request = decodePinchRequest(row.value("body", ""));
            const QByteArray digest = QCryptographicHash::hash(
                QByteArray::fromStdString(request.prompt), QCryptographicHash::Sha256);
            QCOMPARE(QByteArray::fromStdString(answer.promptHash), digest.toHex());
            QVERIFY2(answer.timestamp > 1'600'000'000'000, "the timestamp is not in milliseconds");
        }
    }

    // The daemon as started from a shell: it keeps its key in the file it is given, makes a
    // missing one private, and refuses one of the wrong length.
    void daemonProgram_data() { addJsonRows(REQUESTS_FILE, "programs"); }
    void daemonProgram() {
        const json row = fetchedJsonRow();
        const int endSignal = row.value("signal", 0);
        const QByteArray keyFile = QByteArray::fromHex(row.value("keyFile", "").c_str());
        QTemporaryDir dir;
        QFile key(dir.filePath(QString::fromStdString(row.value("key", "daemon.key"))));
        QVERIFY(!row.contains("keyFile") ||
                (key.open(QIODevice::WriteOnly) && key.write(keyFile) == keyFile.size()));
        QVERIFY(!row.value("fifo", false) ||
                ::mkfifo(QFile::encodeName(key.fileName()), 0600) == 0);
        key.close();
        const QString port = freePort();
        // Started the way a shell starts a background job: with SIGINT ignored.
        QStringList arguments{"-c", "trap '' INT; exec \"$0\" \"$@\"", DAEMON_PATH, "--port", port};
        for (const json& argument : row.at("arguments"))
            arguments << QString::fromStdString(argument);
        std::optional<Daemon> other;
        if (row.value("portTaken", false))
            other.emplace(keyFrom(QByteArray(32, 9))).start(port.toInt());
        QProcess process;
        process.setWorkingDirectory(dir.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", dir.path());
        process.setProcessEnvironment(environment);
        process.start("/bin/sh", arguments);
        if (endSignal != 0) { // serving once it has told its key and its address
            QTRY_VERIFY_WITH_TIMEOUT(process.peek(4096).count('\n') == 2, 10000);
            QVERIFY(key.open(QIODevice::ReadOnly));
            const QByteArray seed = key.readAll();
            QVERIFY(!row.contains("keyFile")
                        ? key.permissions() == (QFile::ReadOwner | QFile::WriteOwner |
                                                QFile::ReadUser | QFile::WriteUser)
                        : seed == keyFile);
            QCOMPARE(process.readAllStandardOutput().toStdString(),
                     "public key: " + hex(keyFrom(seed).publicKey()) +
                         "\nurl: http://127.0.0.1:" + port.toStdString() + "/pinch\n");
            ::kill(pid_t(process.processId()), endSignal);
        }
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), row.value("exitCode", -1));
        QVERIFY(process.readAllStandardError().contains(row.value("says", "").c_str()));
        // A refused key file stays as it was; a new one is made only to be used.
        QCOMPARE(key.size(), row.contains("keyFile") ? keyFile.size() : endSignal ? 32 : 0);
    }
};

QTEST_GUILESS_MAIN(ExchangeTest)
#include "tst_exchange.moc"
