// Creates a ClientState the way a window does and prints the key once it is published.
// Lets tests watch the fatal start-up path from outside the process.

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
