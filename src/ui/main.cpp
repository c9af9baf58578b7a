#include "app/client_state.h"
#include "probe/first_frame_probe.h"
#include "protocol/sodium.h"
#include "ui/content_view.h"
#include "ui/fatal_error_box.h"
#include "ui/main_window.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QResource>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace {

// --help and --version are answered before the window system is touched, so they work without
// a display. Every other argument is left alone, as before: Qt takes its own options.
void answerHelpOrVersion(int argc, char* argv[]) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends prompts, signed with a key of your own, to a daemon on this "
                       "machine and shows its answers with a check of their signature."));
    // So that Qt's own -platform or -reverse never read as -p or -v.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    parser.parse(arguments);
    if (!parser.isSet(help) && !parser.isSet(version))
        return;
    QCoreApplication noWindow(argc, argv); // names the program in the usage line
    if (parser.isSet(help))
        parser.showHelp(); // both exit with status 0
    parser.showVersion();
}

// Nobody watches an offscreen or minimal platform: there standard error is the whole report.
bool someoneMayBeWatching() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("Vorlund"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORLUND_VERSION));
    answerHelpOrVersion(argc, argv);
    QGuiApplication app(argc, argv);
    QGuiApplication::setOrganizationDomain(QStringLiteral("vorlund.org"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.vorlund.client"));
    // Fusion draws with the desktop's palette, light or dark.
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    vorlund::ensureSodium();
    if (someoneMayBeWatching())
        vorlund::setFatalErrorReport(vorlund::showFatalErrorBox);

    // The window has no "+selector" variants of its files. Without the built-in selectors, the
    // file selector that the application engine puts on every URL it resolves has none to look
    // for either.
    qputenv("QT_NO_BUILTIN_SELECTORS", "1");
    QQmlApplicationEngine engine;
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &app,
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    QQuickWindow* window = vorlund::loadMainWindow(engine);
    // The menu's icon on the window too, for the window manager, once the first frame is out.
    // Raw pixels: decoding any image file would load every image plugin, and an SVG Qt's SVG
    // engine, which nothing at start needs.
    if (window)
        QObject::connect(
            window, &QQuickWindow::frameSwapped, &app,
            [] {
                const QByteArray pixels =
                    QResource(QStringLiteral(":/vorlund/window-icon.rgba")).uncompressedData();
                const QIcon icon(
                    QPixmap::fromImage(QImage(reinterpret_cast<const uchar*>(pixels.constData()),
                                              64, 64, QImage::Format_RGBA8888_Premultiplied)));
                QGuiApplication::setWindowIcon(icon);
            },
            Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    // The start-up benchmark asks for its measurement: the first frame with the key, then quit.
    if (window && qEnvironmentVariableIsSet(vorlund::firstFrameProbeVariable)) {
        const auto* view = window->findChild<vorlund::ContentView*>(QStringLiteral("contentView"));
        vorlund::probeFirstFrame(*window,
                                 [view] { return !view->state()->bPubKeyHex().isEmpty(); });
    }
    return app.exec();
}
