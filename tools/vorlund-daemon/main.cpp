// vorlund-daemon [--port N] [--key-file FILE] [--model-server URL] [--model NAME]
//                [--api-key-file FILE] [--model-timeout SECONDS] | --help | --version
// Answers signed pinches on 127.0.0.1 until SIGINT or SIGTERM.

#include "api_key_file.h"
#include "daemon.h"
#include "model_server.h"

#include "identity/data_folder.h"
#include "identity/key_file.h"
#include "protocol/limits.h"

#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

struct Options {
    int port = vorlund::defaultDaemonPort;
    std::optional<std::string> keyFile;
    std::optional<std::string> modelServer, model, apiKeyFile;
    int modelTimeout = 50;
};

constexpr const char* usageLine =
    "Usage: vorlund-daemon [--port N] [--key-file FILE] [--model-server URL] [--model NAME]\n"
    "                      [--api-key-file FILE] [--model-timeout SECONDS]\n";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "vorlund-daemon: " << problem << "\n" << usageLine;
    std::exit(2);
}

// In the form help2man reads.
[[noreturn]] void help() {
    std::cout
        << usageLine
        << "Answer signed pinches from Vorlund on 127.0.0.1 until SIGINT or SIGTERM, each answer\n"
           "signed with the daemon's Ed25519 key: from a model server that speaks the OpenAI\n"
           "chat-completions API (llama.cpp's server, Ollama, vLLM, LM Studio, LocalAI), or\n"
           "without one by echoing the prompt. The rules it keeps are in protocol.md (in the\n"
           "source's docs/, and installed in /usr/share/doc/vorlund/).\n"
           "\n"
           "  --port N                listen on 127.0.0.1:N (default 7575)\n"
           "  --key-file FILE         keep the daemon's key in FILE, made on first use (default:\n"
           "                          vorlund-daemon/identity.key in the user's data folder)\n"
           "  --model-server URL      answer from the model server at URL, such as\n"
           "                          http://127.0.0.1:8080/v1 (its root or its\n"
           "                          /v1/chat/completions do as well)\n"
           "  --model NAME            ask for the model NAME (default: the first the server "
           "lists)\n"
           "  --api-key-file FILE     send the first line of FILE as the bearer key; FILE must be\n"
           "                          private to you\n"
           "  --model-timeout SECONDS give up on the model server after SECONDS (default 50)\n"
           "  --help                  show this help and exit\n"
           "  --version               show the version and exit\n";
    std::exit(0);
}

int parseNumber(const std::string& text, int most, const char* what) {
    std::size_t used = 0;
    int number = 0;
    try {
        number = std::stoi(text, &used);
    } catch (const std::exception&) {
        usage(std::string("not ") + what + ": " + text);
    }
    if (used != text.size() || number < 1 || number > most)
        usage(std::string("not ") + what + ": " + text);
    return number;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    const std::map<std::string_view, std::optional<std::string>*> texts = {
        {"--key-file", &options.keyFile},
        {"--model-server", &options.modelServer},
        {"--model", &options.model},
        {"--api-key-file", &options.apiKeyFile}};
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help")
            help();
        if (name == "--version") {
            std::cout << "vorlund-daemon " VORLUND_VERSION "\n";
            std::exit(0);
        }
        if (name != "--port" && name != "--model-timeout" && !texts.contains(name))
            usage("unknown argument " + std::string(name));
        if (i + 1 == argc)
            usage(std::string(name) + " needs a value");
        const std::string value = argv[++i];
        if (name == "--port")
            options.port = parseNumber(value, 65535, "a port");
        else if (name == "--model-timeout")
            options.modelTimeout = parseNumber(value, 24 * 3600, "a number of seconds");
        else
            *texts.at(name) = value;
    }
    if (!options.modelServer && (options.model || options.apiKeyFile))
        usage("--model and --api-key-file need --model-server");
    return options;
}

vorlund::SigningKey daemonKey(const Options& options) {
    if (options.keyFile)
        return vorlund::loadOrCreateKeyFile(*options.keyFile,
                                            vorlund::KeyFileOfWrongLength::refuse);
    return vorlund::loadOrCreateKey(vorlund::userDataFolder() / "vorlund-daemon");
}

// How pinches are answered: by echo, or from the model server named.
vorlund::AnswerSource answerSource(const Options& options) {
    if (!options.modelServer)
        return {};
    vorlund::ModelServerSettings settings{
        .address = vorlund::parseModelServerUrl(*options.modelServer),
        .model = options.model.value_or(""),
        .apiKey = options.apiKeyFile ? vorlund::readApiKeyFile(*options.apiKeyFile) : "",
        .timeout = std::chrono::seconds(options.modelTimeout)};
    std::cerr << "vorlund-daemon: answering from the model server " << settings.address.shown
              << "\n";
    if (settings.address.unencryptedOverNetwork())
        std::cerr << "vorlund-daemon: prompts and answers will cross the network "
                     "unencrypted; use https:// for a model server on another machine\n";
    auto server = std::make_shared<vorlund::ModelServer>(std::move(settings));
    return [server](const vorlund::PinchRequest& request) { return server->answer(request); };
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    // Large answers from a model server are allocated and freed by many threads: glibc would
    // keep them in per-thread arenas, raising its threshold for mmap to their size, so that a
    // burst of them stayed resident for days. Buffers of 1 MiB and more go back at once.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);

    // Blocked before any thread starts, so only sigwait below sees them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    try {
        vorlund::Daemon daemon(daemonKey(options), {}, std::chrono::system_clock::now,
                               answerSource(options), &std::cerr);
        const int port = daemon.start(options.port);
        std::cout << "public key: " << daemon.publicKeyHex() << "\n"
                  << "url: http://127.0.0.1:" << port << "/pinch" << std::endl;
        int received = 0;
        sigwait(&endSignals, &received);
        daemon.stop();
    } catch (const std::exception& error) {
        std::cerr << "vorlund-daemon: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
