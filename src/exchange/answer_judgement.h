#pragma once

#include "pinch_exchange.h"

#include <QByteArray>

#include <string_view>

namespace vorlund {

// An exchange that ended with one message and nothing to show.
ExchangeOutcome failedWith(QString errorText);

// What the window shows for a complete HTTP answer: the status check, then decoding, then
// the recipient and signature checks. The body is released once decoded.
ExchangeOutcome judgeAnswer(int status, QByteArray body, std::string_view expectedBPubKey);

} // namespace vorlund
