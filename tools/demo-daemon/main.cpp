// vorlund-demo-daemon [--port N] [--key-file PATH] | --help | --version
// Answers signed pinches on 127.0.0.1 until SIGINT or SIGTERM.

#include "demo_daemon.h"

#include "identity/key_file.h"
#include "protocol/limits.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

struct Options {
    int port = vorlund::defaultDaemonPort;
    std::optional<std::string> keyFile;
};

constexpr const char* usageLine = "Usage: vorlund-demo-daemon [--port N] [--key-file PATH]\n";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "vorlund-demo-daemon: " << problem << "\n" << usageLine;
    std::exit(2);
}

// In the form help2man reads.
[[noreturn]] void help() {
    std::cout
        << usageLine
        << "Answer signed pinches from Vorlund on 127.0.0.1 until SIGINT or SIGTERM: each answer\n"
           "echoes the prompt and is signed with the daemon's Ed25519 key. For development and\n"
           "as an example for daemon authors; the rules it keeps are in protocol.md (in the\n"
           "source's docs/, and installed in /usr/share/doc/vorlund/).\n"
           "\n"
           "  --port N         listen on 127.0.0.1:N (default 7575)\n"
           "  --key-file PATH  keep the daemon's key in PATH, made on first use (default: a\n"
           "                   new key at each start)\n"
           "  --help           show this help and exit\n"
           "  --version        show the version and exit\n";
    std::exit(0);
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
        if (name == "--help")
            help();
        if (name == "--version") {
            std::cout << "vorlund-demo-daemon " VORLUND_VERSION "\n";
            std::exit(0);
        }
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
