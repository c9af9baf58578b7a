#pragma once

#include "pinch_exchange.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <optional>

namespace vorlund {

// The daemon's HTTP answer, or why no whole answer arrived.
struct DaemonHttpResult {
    std::optional<QString> transportFailure;
    // Nothing listened at the daemon's address.
    bool connectionRefused = false;
    int status = 0; // 0 when the answer carries no HTTP status
    QByteArray body;
};

// POSTs a JSON body through the shared network manager and waits for the whole answer, whatever
// its status, reading at most settings.maxBodyBytes of it.
QCoro::Task<DaemonHttpResult> postToDaemon(QUrl url, QByteArray body, ExchangeSettings settings);

} // namespace vorlund
