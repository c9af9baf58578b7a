#pragma once

#include "scripted_daemon.h"

#include "exchange/pinch_exchange.h"

#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorlund::test {

// How the window must look after an exchange with a hostile daemon.
struct Verdict {
    QString errorText;          // the one message line; a null string for none
    bool errorIsPrefix = false; // the rest is the platform's own description
    std::optional<bool> sigValid;
    // The answer text shown, or null when nothing of the answer may be shown.
    std::shared_ptr<const std::string> shownResponse;
    qint64 shownLatencyMs = 0;
};

struct HostileCase {
    QString name;
    ScriptedDaemon::Script script;
    Verdict verdict;
    ExchangeSettings settings;    // the window's own unless a case needs a shorter wait
    bool bigBody = false;         // a case whose memory use is worth reporting
    qint64 peakGrowthCeiling = 0; // the most the client may take, in bytes; 0: not checked
};

// The public key of the key that signs the cases' answers.
std::string hostileDaemonKeyHex();

// Every case, each against its own fresh daemon.
std::vector<HostileCase> hostileCases();

} // namespace vorlund::test
