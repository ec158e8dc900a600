// vantuctl: sends one app message to vantud and prints the reply. When no
// daemon answers, it builds the same report from the state the daemon left
// in its state directory (the event log and the report taken at the last
// stop), so that why a tunnel ended can be read after it ended.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "apps/ControlSocket.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/SqliteDefaultsStore.h"

namespace {

using namespace vantu;

constexpr int kExitAnswered = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotRunning = 3;

void printUsage(std::ostream& out) {
    out << "Usage: vantuctl [--control-socket PATH] [--state-dir DIR] [--timeout SECONDS] [MESSAGE]\n"
           "       vantuctl --help\n"
           "\n"
           "Sends MESSAGE to vantud and prints its reply, the tunnel's diagnostics report.\n"
           "  diagnostics        the report (the default MESSAGE)\n"
           "  resetDiagnostics   reset the counters and the event log, then the report\n"
           "Any other text is answered with the report as well.\n"
           "\n"
           "When no daemon answers on the control socket, the report is built from the\n"
           "state saved in the state directory: the recent events and the report taken\n"
           "when the tunnel last stopped. A note on stderr says the daemon is not running.\n"
           "\n"
           "Options:\n"
           "  --control-socket PATH  the daemon's socket (default "
        << control::kDefaultControlSocket
        << ")\n"
           "  --state-dir DIR        the daemon's state directory (default "
        << control::kDefaultStateDir
        << ")\n"
           "  --timeout SECONDS      how long to wait for the reply (default 15; a daemon\n"
           "                         in the middle of its control exchange answers late)\n"
           "\n"
           "Exit status: 0 the daemon answered; 3 the daemon is not running and the\n"
           "report comes from the saved state; 1 no report could be had; 2 bad usage.\n";
}

// Platform objects for a provider that only reads its saved state: nothing
// here is reached by the app-message path.
class NoPacketFlow final : public PacketFlow {
public:
    void readPackets(ReadCompletion) override {}
    void writePackets(const std::vector<Bytes>&, const std::vector<int>&) override {}
};

class NoTunnelHost final : public TunnelHost {
public:
    explicit NoTunnelHost(WorkQueue& queue) : queue_(queue) {}
    std::optional<ProtocolConfiguration> protocolConfiguration() const override { return std::nullopt; }
    void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings>, ErrorCompletion completion) override {
        queue_.submit([completion] {
            if (completion) completion(TunnelError::fromVantu("no tunnel host in vantuctl"));
        });
    }
    void cancelTunnelWithError(const TunnelError&) override {}
    std::shared_ptr<UDPSession> createUDPSession(const std::string&, const std::string&) override { return nullptr; }
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string&, const std::string&) override {
        return nullptr;
    }
    std::optional<NetworkPath> defaultPath() const override { return std::nullopt; }

private:
    WorkQueue& queue_;
};

class SilentLog final : public SystemLog {
public:
    void write(const std::string&) override {}
};

// The provider's report from the saved state alone.
std::optional<std::string> offlineReport(const std::string& stateDir, const std::string& message,
                                         std::string& error) {
    const std::string path = stateDir + "/state.db";
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        error = "no saved state in " + stateDir + " (" + path + " does not exist)";
        return std::nullopt;
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        error = "cannot open " + path + ": permission denied (run as the daemon's user, usually root)";
        return std::nullopt;
    }
    try {
        AsioWorkQueue queue;
        SqliteDefaultsStore store(path);
        NoPacketFlow flow;
        NoTunnelHost host(queue);
        SilentLog log;
        auto provider = PacketTunnelProvider::create(Platform{queue, flow, host, store, log});
        std::optional<std::string> report;
        provider->handleAppMessage(Bytes(message.begin(), message.end()), [&report](std::optional<Bytes> reply) {
            const Bytes bytes = reply.value_or(Bytes{});
            report = std::string(bytes.begin(), bytes.end());
        });
        if (!queue.runUntil([&report] { return report.has_value(); }, Duration(10.0))) {
            error = "reading the saved state timed out";
            return std::nullopt;
        }
        return report;
    } catch (const std::exception& e) {
        error = std::string("cannot read the saved state: ") + e.what();
        return std::nullopt;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = control::kDefaultControlSocket;
    std::string stateDir = control::kDefaultStateDir;
    std::optional<std::string> message;
    double timeoutSeconds = 15;
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        for (size_t i = 0; i < args.size(); ++i) {
            std::string arg = args[i];
            std::optional<std::string> inlineValue;
            if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
                inlineValue = arg.substr(arg.find('=') + 1);
                arg = arg.substr(0, arg.find('='));
            }
            auto value = [&]() -> std::string {
                if (inlineValue) return *inlineValue;
                if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
                return args[++i];
            };
            if (arg == "--help" || arg == "-h") {
                printUsage(std::cout);
                return kExitAnswered;
            } else if (arg == "--control-socket") {
                socketPath = value();
            } else if (arg == "--state-dir") {
                stateDir = value();
            } else if (arg == "--timeout") {
                const std::string text = value();
                size_t used = 0;
                timeoutSeconds = std::stod(text, &used);
                if (used != text.size() || !(timeoutSeconds > 0) || timeoutSeconds > 3600) {
                    throw std::invalid_argument("--timeout must be a number of seconds from 0 to 3600");
                }
            } else if (arg == "--") {
                if (i + 1 < args.size()) message = args[++i];
            } else if (arg.rfind("--", 0) == 0) {
                throw std::invalid_argument("unknown option \"" + arg + "\"");
            } else if (!message) {
                message = arg;
            } else {
                throw std::invalid_argument("only one MESSAGE may be given");
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "vantuctl: " << e.what() << "\n\n";
        printUsage(std::cerr);
        return kExitUsage;
    }
    const std::string text = message.value_or("diagnostics");

    const auto timeout = std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
    const control::ControlReply answer = control::sendControlMessage(socketPath, text, timeout);
    if (answer.status == control::ControlReply::Status::answered) {
        std::cout << answer.reply;
        if (!answer.reply.empty() && answer.reply.back() != '\n') std::cout << '\n';
        return kExitAnswered;
    }
    if (answer.status == control::ControlReply::Status::failed) {
        std::cerr << "vantuctl: " << answer.error << std::endl;
        return kExitFailed;
    }

    std::cerr << "vantuctl: vantud is not running (" << answer.error << "); the report below comes from the state "
              << "saved in " << stateDir << std::endl;
    std::string error;
    const auto report = offlineReport(stateDir, text, error);
    if (!report) {
        std::cerr << "vantuctl: " << error << std::endl;
        return kExitFailed;
    }
    std::cout << *report;
    if (!report->empty() && report->back() != '\n') std::cout << '\n';
    return kExitNotRunning;
}
