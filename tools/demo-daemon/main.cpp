// vorlund-demo-daemon [--port N] [--key-file PATH]
// Answers signed pinches on 127.0.0.1 until SIGINT or SIGTERM.

#include "demo_daemon.h"

#include "identity/key_file.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int defaultPort = 7575;

struct Options {
    int port = defaultPort;
    std::optional<std::string> keyFile;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "vorlund-demo-daemon: " << problem << "\n"
              << "usage: vorlund-demo-daemon [--port N] [--key-file PATH]\n";
    std::exit(2);
}

int parsePort(const std::string& text) {
    std::size_t used = 0;
    int port = 0;
    try {
        port = std::stoi(text, &used);
    } catch (const std::exception&) {
        usage("not a port: " + text);
    }
    if (used != text.size() || port < 1 || port > 65535)
        usage("not a port: " + text);
    return port;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name != "--port" && name != "--key-file")
            usage("unknown argument " + std::string(name));
        if (i + 1 == argc)
            usage(std::string(name) + " needs a value");
        const std::string value = argv[++i];
        if (name == "--port")
            options.port = parsePort(value);
        else
            options.keyFile = value;
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    // Blocked before any thread starts, so only sigwait below sees them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    try {
        vorlund::DemoDaemon daemon(
            options.keyFile ? vorlund::loadOrCreateKeyFile(*options.keyFile,
                                                           vorlund::KeyFileOfWrongLength::refuse)
                            : vorlund::SigningKey::generate());
        const int port = daemon.start(options.port);
        std::cout << "public key: " << daemon.publicKeyHex() << "\n"
                  << "url: http://127.0.0.1:" << port << "/pinch" << std::endl;
        int received = 0;
        sigwait(&endSignals, &received);
        daemon.stop();
    } catch (const std::exception& error) {
        std::cerr << "vorlund-demo-daemon: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
