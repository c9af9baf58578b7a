#include "hostile_cases.h"

#include "demo_daemon.h"
#include "exchange_fixture.h"

#include "protocol/canonical.h"
#include "protocol/hex.h"

#include <QByteArray>

#include <functional>
#include <stdexcept>

namespace vorlund::test {

namespace {

using namespace std::chrono_literals;
using Script = ScriptedDaemon::Script;
using Edit = std::function<void(DaemonResponse&)>;

constexpr std::int64_t honestLatencyMs = 12;

const SigningKey& daemonKey() {
    static const SigningKey key = keyFromByte(7);
    return key;
}

void sign(DaemonResponse& answer) {
    answer.aSig = hex(daemonKey().sign(canonicalEncode(signingPayloadOf(answer))));
}

// The answer an honest daemon gives to request, changed by edit before it is signed.
DaemonResponse signedAnswerTo(const RawRequest& request, const Edit& edit = {}) {
    const PinchRequest pinch = parsePinchRequest(request.body);
    DaemonResponse answer{.response = "Hello, new lobster.",
                          .latencyMs = honestLatencyMs,
                          .modelVersion = "hostile-1",
                          .promptHash = std::string(64, 'e'),
                          .timestamp = 1700000000123,
                          .pinchId = pinch.pinchId,
                          .bPubKey = pinch.bPubKey,
                          .aPubKey = hex(daemonKey().publicKey()),
                          .aSig = {}};
    if (edit)
        edit(answer);
    sign(answer);
    return answer;
}

// text with the first from replaced; a rewrite that finds nothing is a broken case, not a pass.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == text.npos)
        throw std::logic_error("nothing to replace: " + from);
    text.replace(at, from.size(), to);
    return text;
}

// An answer with a length, on a connection the daemon closes after it.
std::string httpAnswer(int status, std::string_view body, std::string_view extraHeaders = {}) {
    return "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Type: text/plain\r\n" +
           std::string(extraHeaders) + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + std::string(body);
}

std::string chunked(std::string_view body) {
    std::string out;
    constexpr std::size_t piece = 64 * 1024;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const std::string_view part = body.substr(at, piece);
        out += QByteArray::number(qulonglong(part.size()), 16).toStdString() + "\r\n";
        out.append(part);
        out += "\r\n";
    }
    return out + "0\r\n\r\n";
}

Script writes(std::string bytes) {
    return [bytes = std::move(bytes)](const RawRequest&, RawConnection& connection) {
        connection.write(bytes);
    };
}

// Answers 200 with the JSON of a signed answer, rewritten as text by rewrite.
Script answersWith(Edit edit, std::function<std::string(std::string)> rewrite = {}) {
    return [=](const RawRequest& request, RawConnection& connection) {
        std::string body = encodeDaemonResponse(signedAnswerTo(request, edit));
        if (rewrite)
            body = rewrite(std::move(body));
        connection.write(httpAnswer(200, body));
    };
}

Script rewritesAnswer(std::function<std::string(std::string)> rewrite) {
    return answersWith({}, std::move(rewrite));
}

HostileCase& add(std::vector<HostileCase>& cases, QString name, Script script, Verdict verdict,
                 ExchangeSettings settings = {}) {
    cases.push_back(HostileCase{std::move(name), std::move(script), std::move(verdict), settings});
    return cases.back();
}

// Reports the case's memory, and holds the client to ceiling when that is not zero.
void watchMemory(HostileCase& hostile, qint64 ceiling = 0) {
    hostile.bigBody = true;
    hostile.peakGrowthCeiling = ceiling;
}

ExchangeSettings waitingFor(std::chrono::milliseconds timeout) {
    ExchangeSettings settings;
    settings.timeout = timeout;
    return settings;
}

Verdict fails(QString errorText) {
    Verdict verdict;
    verdict.errorText = std::move(errorText);
    return verdict;
}

Verdict failsWith(QString prefix) {
    Verdict verdict = fails(std::move(prefix));
    verdict.errorIsPrefix = true;
    return verdict;
}

// Qt would send the pinch again on a new connection; the client refuses to.
Verdict failsToAnswer() {
    return fails(QStringLiteral("request failed: the connection ended without a valid answer (a "
                                "pinch is never sent twice)"));
}

Verdict refused() {
    Verdict verdict = fails(QStringLiteral("Response was for a different recipient — refusing."));
    verdict.sigValid = false;
    return verdict;
}

Verdict shows(bool sigValid, std::string response, qint64 latencyMs = honestLatencyMs) {
    Verdict verdict;
    if (!sigValid)
        verdict.errorText =
            QStringLiteral("Daemon signature did not verify against its claimed public key.");
    verdict.sigValid = sigValid;
    verdict.shownResponse = std::make_shared<const std::string>(std::move(response));
    verdict.shownLatencyMs = latencyMs;
    return verdict;
}

// Text of the given size in bytes, with multi-byte characters in it.
std::shared_ptr<const std::string> bulkText(std::size_t bytes) {
    const std::string pattern = "lobster \xF0\x9F\xA6\x9E pinch \xC3\xA9 ";
    auto text = std::make_shared<std::string>();
    text->reserve(bytes);
    while (text->size() + pattern.size() <= bytes)
        text->append(pattern);
    text->append(bytes - text->size(), 'x');
    return text;
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

void statusCases(std::vector<HostileCase>& cases) {
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    for (int status : {204, 400, 418, 500, 599}) {
        const std::string body = status == 204 ? "" : "status " + std::to_string(status);
        add(cases, QStringLiteral("status %1").arg(status), writes(httpAnswer(status, body)),
            fails(QStringLiteral("daemon %1: ").arg(status) + QString::fromStdString(body)));
    }
    add(cases, "100 Continue, then 418", writes(interim + httpAnswer(418, "teapot")),
        fails("daemon 418: teapot"));
    add(
        cases, "100 Continue, then a signed answer",
        [=](const RawRequest& request, RawConnection& connection) {
            connection.write(interim +
                             httpAnswer(200, encodeDaemonResponse(signedAnswerTo(request))));
        },
        shows(true, "Hello, new lobster."));
    add(cases, "100 Continue, then the connection closes", writes(interim), failsToAnswer());
    // Qt passes over 100 Continue only: any other interim status ends the exchange as if it
    // were final, and what follows it is dropped.
    add(cases, "101 Switching Protocols",
        writes("HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n"), fails("daemon 101: "));
    add(cases, "199, then 500", writes("HTTP/1.1 199 Odd\r\n\r\n" + httpAnswer(500, "late")),
        fails("daemon 199: "));
    add(cases, "401 asking for a password",
        writes(httpAnswer(401, "who are you?", "WWW-Authenticate: Basic realm=\"daemon\"\r\n")),
        fails("daemon 401: who are you?"));
    add(cases, "204 with a body", writes(httpAnswer(204, "unexpected")), fails("daemon 204: "));
    add(cases, "not HTTP at all", writes("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"), failsToAnswer());
}

void encodingCases(std::vector<HostileCase>& cases) {
    const std::pair<const char*, std::string> notUtf8[] = {
        {"invalid byte", "bad \xFF byte"},
        {"overlong slash", "over \xC0\xAF long"},
        {"lone surrogate", "half \xED\xA0\x80 pair"},
        {"truncated at the end", "euro \xE2\x82"},
    };
    for (const auto& [what, body] : notUtf8)
        add(cases, QStringLiteral("500 body not UTF-8: %1").arg(what),
            writes(httpAnswer(500, body)), fails("daemon 500: (no body)"));
    add(cases, "500 body with a byte-order mark", writes(httpAnswer(500, "\xEF\xBB\xBFmarked")),
        fails(QStringLiteral("daemon 500: \uFEFFmarked")));
    add(cases, "response not UTF-8", rewritesAnswer([](std::string body) {
            return replaced(body, "Hello, new lobster.", "Hello, \xFF lobster.");
        }),
        failsWith("request failed: invalid JSON: "));
    add(cases, "byte-order mark before the answer",
        rewritesAnswer([](std::string body) { return "\xEF\xBB\xBF" + body; }),
        fails("request failed: invalid JSON: the body starts with a byte-order mark"));
    add(cases, "trailing garbage after the answer",
        rewritesAnswer([](std::string body) { return body + "garbage"; }),
        failsWith("request failed: invalid JSON: "));
    add(cases, "a second object after the answer",
        rewritesAnswer([](std::string body) { return body + "{}"; }),
        failsWith("request failed: invalid JSON: "));
    // qCompress gives a zlib stream after a four-byte length: 64 MiB in 64 KiB.
    const QByteArray bomb = qCompress(QByteArray(64 * 1024 * 1024, '0'), 9).mid(4);
    add(cases, "deflate bomb is not inflated",
        writes(httpAnswer(200, bomb.toStdString(), "Content-Encoding: deflate\r\n")),
        failsWith("request failed: invalid JSON: "));
}

void sizeCases(std::vector<HostileCase>& cases) {
    const ExchangeSettings window;
    const std::size_t bound = std::size_t(window.maxBodyBytes);
    const QString tooLarge = QStringLiteral("request failed: the answer is larger than 16 MiB");

    // Ceilings only where the daemon writes bytes prepared beforehand, so that all the memory
    // the case takes is the client's, and generous, as Qt's buffers in flight and the allocator
    // add their share. A refused answer needs no more than the bound; an error page needs the
    // body and its text, three times the bound. Each ceiling leaves room for one more bound,
    // well short of another copy of the text.
    const qint64 refusedCeiling = 4 * window.maxBodyBytes;
    const qint64 errorPageCeiling = 6 * window.maxBodyBytes;

    const auto errorPage = bulkText(bound);
    watchMemory(add(cases, "16 MiB error page, exactly the bound",
                    writes(httpAnswer(500, *errorPage)),
                    fails("daemon 500: " + QString::fromStdString(*errorPage))),
                errorPageCeiling);

    // A signed answer whose JSON is exactly the bound: the response fills what the other
    // fields leave.
    const std::string emptyResponse = encodeDaemonResponse(DaemonResponse{
        .response = {},
        .latencyMs = honestLatencyMs,
        .modelVersion = "hostile-1",
        .promptHash = std::string(64, 'e'),
        .timestamp = 1700000000123,
        .pinchId = std::string(36, 'p'),
        .bPubKey = std::string(64, 'b'),
        .aPubKey = std::string(64, 'a'),
        .aSig = std::string(128, 's'),
    });
    const std::string bulkResponse(bound - emptyResponse.size(), 'r');
    watchMemory(add(cases, "signed answer of exactly 16 MiB",
                    answersWith([=](DaemonResponse& a) { a.response = bulkResponse; }),
                    shows(true, bulkResponse)));

    const auto overBound = bulkText(bound + 1);
    watchMemory(
        add(cases, "16 MiB + 1, announced", writes(httpAnswer(200, *overBound)), fails(tooLarge)),
        refusedCeiling);
    watchMemory(
        add(cases, "16 MiB + 1, chunked",
            writes("HTTP/1.1 500 Oops\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(*overBound)),
            fails(tooLarge)),
        refusedCeiling);
    watchMemory(add(cases, "16 MiB + 1, until the connection closes",
                    writes("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + *overBound),
                    fails(tooLarge)),
                refusedCeiling);

    const auto tenMegabytes = bulkText(10'000'000);
    watchMemory(add(cases, "10 MB response, signed",
                    answersWith([=](DaemonResponse& a) { a.response = *tenMegabytes; }),
                    shows(true, *tenMegabytes)));
    watchMemory(
        add(cases, "10 MB response, signature invalid",
            answersWith([=](DaemonResponse& a) { a.response = *tenMegabytes; },
                        [](std::string body) { return replaced(body, "lobster", "LOBSTER"); }),
            shows(false, replaced(*tenMegabytes, "lobster", "LOBSTER"))));
}

void connectionCases(std::vector<HostileCase>& cases) {
    const ExchangeSettings threeSeconds = waitingFor(3s);
    const ExchangeSettings oneSecond = waitingFor(1s);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";

    add(
        cases, "trickles one byte a second",
        [=](const RawRequest&, RawConnection& connection) {
            connection.write(head);
            connection.trickle(std::string(1000, 'x'), 1s);
        },
        fails("request failed: timed out after 3 s"), threeSeconds);
    add(
        cases, "says nothing", [](const RawRequest&, RawConnection& c) { c.pause(5s); },
        fails("request failed: timed out (no data for 1 s)"), oneSecond);
    add(
        cases, "headers, then silence",
        [=](const RawRequest&, RawConnection& connection) {
            connection.write(head + "partial");
            connection.pause(5s);
        },
        fails("request failed: timed out after 1 s"), oneSecond);
    add(
        cases, "closes before answering", [](const RawRequest&, RawConnection&) {},
        failsToAnswer());
    add(cases, "closes mid-body", writes(head + std::string(100, 'x')),
        fails("request failed: the connection ended before the whole answer arrived (100 of "
              "1000 bytes)"));
    // Not "daemon 500: half an error": a part of an answer is not the daemon's answer.
    add(cases, "closes mid-body of an error page",
        writes("HTTP/1.1 500 Oops\r\nContent-Length: 1000\r\n\r\nhalf an error"),
        fails("request failed: the connection ended before the whole answer arrived (13 of "
              "1000 bytes)"));
    add(cases, "closes mid-chunk",
        writes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\nabc"), failsToAnswer());
    add(
        cases, "resets before answering",
        [](const RawRequest&, RawConnection& connection) { connection.reset(); }, failsToAnswer());
    add(
        cases, "resets mid-body",
        [=](const RawRequest&, RawConnection& connection) {
            connection.write(head + std::string(100, 'x'));
            connection.pause(100ms);
            connection.reset();
        },
        // A reset may also discard what the client had not read yet.
        failsWith("request failed: the connection ended "));
}

void jsonCases(std::vector<HostileCase>& cases) {
    const std::string deep = nested(100'000);
    add(cases, "100,000 levels deep in an unknown key", rewritesAnswer([=](std::string body) {
            return replaced(body, "{", "{\"deep\":" + deep + ",");
        }),
        shows(true, "Hello, new lobster."));
    add(cases, "100,000 levels deep in place of the response",
        rewritesAnswer(
            [=](std::string body) { return replaced(body, "\"Hello, new lobster.\"", deep); }),
        fails("request failed: key \"response\" is not a string"));
    add(cases, "100,000 levels, never closed",
        writes(httpAnswer(200, "{\"response\":" + std::string(100'000, '['))),
        failsWith("request failed: invalid JSON: "));

    // The decoder keeps the last of duplicate keys; the signature is checked over what is
    // shown, so a second value can never borrow the first one's signature.
    const std::string first = "Hello, new lobster.";
    add(cases, "duplicate response, a forged one first", rewritesAnswer([](std::string body) {
            return replaced(body, "{", "{\"response\":\"forged\",");
        }),
        shows(true, first));
    add(cases, "duplicate response, a forged one last", rewritesAnswer([](std::string body) {
            return body.substr(0, body.size() - 1) + ",\"response\":\"forged\"}";
        }),
        shows(false, "forged"));
    add(cases, "duplicate bPubKey, the last another client's", rewritesAnswer([](std::string body) {
            return body.substr(0, body.size() - 1) + ",\"bPubKey\":\"" + std::string(64, 'c') +
                   "\"}";
        }),
        refused());

    const auto latencyAs = [](std::string number) {
        return rewritesAnswer([=](std::string body) {
            return replaced(body, "\"latencyMs\":12", "\"latencyMs\":" + number);
        });
    };
    add(cases, "latencyMs 1e400", latencyAs("1e400"),
        failsWith("request failed: invalid JSON: number overflow"));
    add(cases, "latencyMs 1.0", latencyAs("1.0"),
        fails("request failed: key \"latencyMs\" is not an integer"));
    add(cases, "latencyMs 9223372036854775808", latencyAs("9223372036854775808"),
        fails("request failed: key \"latencyMs\" is outside the signed 64-bit range"));
    add(cases, "latencyMs -0, signed as 0",
        answersWith(
            [](DaemonResponse& a) { a.latencyMs = 0; },
            [](std::string body) { return replaced(body, "\"latencyMs\":0", "\"latencyMs\":-0"); }),
        shows(true, first, 0));
    add(cases, "latencyMs smallest 64-bit integer", answersWith([](DaemonResponse& a) {
            a.latencyMs = std::numeric_limits<std::int64_t>::min();
        }),
        shows(true, first, std::numeric_limits<std::int64_t>::min()));
    add(cases, "timestamp 9223372036854775808", rewritesAnswer([](std::string body) {
            return replaced(body, "1700000000123", "9223372036854775808");
        }),
        fails("request failed: key \"timestamp\" is outside the signed 64-bit range"));

    for (std::size_t bytes : {31, 33})
        add(cases, QStringLiteral("aPubKey of %1 bytes").arg(bytes),
            answersWith([=](DaemonResponse& a) {
                a.aPubKey =
                    hex(daemonKey().publicKey()).substr(0, 62) + std::string(2 * bytes - 62, 'a');
            }),
            fails(
                QStringLiteral("request failed: badPublicKey(public key must be 32 bytes, got %1)")
                    .arg(bytes)));
}

} // namespace

std::string hostileDaemonKeyHex() {
    return hex(daemonKey().publicKey());
}

std::vector<HostileCase> hostileCases() {
    std::vector<HostileCase> cases;
    statusCases(cases);
    encodingCases(cases);
    sizeCases(cases);
    connectionCases(cases);
    jsonCases(cases);
    return cases;
}

} // namespace vorlund::test
