#include "daemon_hint.h"

#include "content_view.h"

#include <QCoreApplication>
#include <QUrl>

namespace vorlund {

namespace {

const QLatin1String daemonCommand("vorlund-daemon");

QString tr(const char* text) {
    return QCoreApplication::translate("DaemonHint", text);
}

// The base of an OpenAI-style API that the URL points into: the part before
// "/chat/completions", or the path up to and including its first "v1" segment.
QString modelServerBase(const QUrl& url) {
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return {};
    const QString path = url.path();
    qsizetype end = -1;
    if (path.endsWith(QLatin1String("/chat/completions")))
        end = path.size() - qsizetype(sizeof "/chat/completions" - 1);
    else if (const qsizetype v1 = path.indexOf(QLatin1String("/v1/")); v1 >= 0)
        end = v1 + 3;
    if (end < 0)
        return {};
    QUrl base = url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment);
    base.setPath(path.left(end));
    return base.toString();
}

// The daemon listens on 127.0.0.1 only and accepts only the Host names 127.0.0.1 and localhost,
// without TLS: anywhere else, starting it would not make the address answer.
bool daemonCouldListenAt(const QUrl& url) {
    return url.scheme() == QLatin1String("http") &&
           (url.host() == QLatin1String("127.0.0.1") || url.host() == QLatin1String("localhost"));
}

} // namespace

QString daemonHint(const QString& daemonUrl, bool connectionRefused) {
    const QUrl url(daemonUrl, QUrl::StrictMode);
    if (const QString base = modelServerBase(url); !base.isEmpty())
        return tr("This looks like a model server's address, and a model server does not take "
                  "pinches. To put the daemon that comes with Vorlund in front of it, run: %1 "
                  "and send to the address it prints.")
            .arg(daemonCommand + QLatin1String(" --model-server ") + base);
    if (!connectionRefused || !daemonCouldListenAt(url))
        return {};
    const int defaultPort = QUrl(ContentView::defaultDaemonURL).port();
    const int port = url.port(80);
    return tr("No daemon answers at this address. To try the daemon that comes with Vorlund, "
              "run: %1")
        .arg(port == defaultPort
                 ? QString(daemonCommand)
                 : daemonCommand + QLatin1String(" --port ") + QString::number(port));
}

} // namespace vorlund
