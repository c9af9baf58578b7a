// Creates a ClientState as a window does and prints the key once published, so tests
// can watch the fatal start-up path from outside.

#include "app/client_state.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    vorlund::ClientState state;
    QObject::connect(&state, &vorlund::ClientState::bPubKeyHexChanged, &application, [&] {
        std::printf("%s\n", qPrintable(state.bPubKeyHex()));
        application.quit();
    });
    return application.exec();
}
