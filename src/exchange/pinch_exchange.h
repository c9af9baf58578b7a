#pragma once

#include "identity/client_identity.h"
#include "protocol/limits.h"
#include "protocol/records.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vorlund {

class ClientState;

inline constexpr std::int64_t pinchCostCap = 1000;

// Everything one exchange needs, copied at the press; later edits do not reach it.
struct PinchSnapshot {
    std::string prompt;
    QString daemonUrl;
    std::string bPubKey;
    std::shared_ptr<ClientIdentity> identity;
    std::string pinchId;
    std::int64_t requestedAt = 0;
};

PinchSnapshot takeSnapshot(const QString& prompt, const QString& daemonUrl,
                           const ClientState& state, std::chrono::system_clock::time_point now);

// What the window shows after an exchange. `shown` holds the answer when it is displayed
// (valid or invalid signature); otherwise the previous answer's fields stay.
struct ExchangeOutcome {
    std::optional<QString> errorText;
    std::optional<bool> sigValid;
    std::optional<DaemonResponse> shown;
    // shown's response as text, when it was made where a large answer was judged, off the GUI
    // thread; shown's response is then empty.
    std::optional<QString> shownResponse;
    // Nothing listened at the daemon's address.
    bool connectionRefused = false;
};

struct ExchangeSettings {
    // Bounds the whole wait for the daemon's answer, and any silence within it.
    std::chrono::milliseconds timeout{exchangeTimeout};
    qint64 maxBodyBytes = maxAnswerBodyBytes;
};

// The process's one network manager, owned by the GUI thread.
QNetworkAccessManager& sharedNetworkManager();

// Signs, sends and judges one pinch. Runs on the GUI thread; never throws.
QCoro::Task<ExchangeOutcome> exchangePinch(PinchSnapshot snapshot, ExchangeSettings settings = {});

} // namespace vorlund
