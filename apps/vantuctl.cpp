// vantuctl: the tunnel's status at a glance, its diagnostics report, and any
// app message sent to vantud as it is. When no daemon answers, the status
// and the report come from the state the daemon left in its state directory
// (the event log and the report taken at the last stop), so that why a
// tunnel ended can be read after it ended.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "apps/CommandLine.h"
#include "apps/ControlSocket.h"
#include "apps/CtlOptions.h"
#include "diagnostics/Status.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/SqliteDefaultsStore.h"

namespace {

using namespace vantu;

constexpr int kExitAnswered = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotRunning = 3;

void printUsage(std::ostream& out) {
    out << "Usage: vantuctl [options] [status [--json]]\n"
           "  or:  vantuctl [options] report | reset | send TEXT\n"
           "  or:  vantuctl --help | --version\n"
           "\n"
           "Commands:\n"
           "  status       the tunnel at a glance (the default): state, server, address,\n"
           "               uptime, last frame from the server, traffic, DNS and direct\n"
           "               flows, the last failure; with --json one JSON object\n"
           "  report       the full diagnostics report\n"
           "  reset        reset the counters and the event log, then the report\n"
           "  send TEXT    send TEXT to the tunnel as an app message, print the reply\n"
           "\n"
           "When no daemon answers on the control socket, the status and the report\n"
           "come from the state saved in the state directory: the recent events and the\n"
           "report taken when the tunnel last stopped.\n"
           "\n"
           "Options:\n"
           "  -j, --json             status as JSON (stable keys; null where nothing applies)\n"
           "  --control-socket PATH  the daemon's socket (default "
        << control::kDefaultControlSocket
        << ")\n"
           "  --state-dir DIR        the daemon's state directory (default "
        << control::kDefaultStateDir
        << ")\n"
           "  --timeout SECONDS      how long to wait for the reply (default 15; a daemon\n"
           "                         in the middle of its control exchange answers late)\n"
           "  -h, --help             this text\n"
           "  -V, --version          the version\n"
           "\n"
           "Exit status: 0 the daemon answered; 3 the daemon is not running and what is\n"
           "shown comes from the saved state; 1 nothing could be had; 2 bad usage.\n";
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

// The report taken at the last stop, from the saved state; empty when none.
std::string savedStopSnapshot(const std::string& stateDir, std::string& error) {
    const std::string path = stateDir + "/state.db";
    if (::access(path.c_str(), F_OK) != 0) return "";
    if (::access(path.c_str(), R_OK | W_OK) != 0) {
        error = "cannot open " + path + ": permission denied (run as the daemon's user, usually root)";
        return "";
    }
    try {
        SqliteDefaultsStore store(path);
        return store.string(DiagnosticsState::kLastStoppedSnapshotKey).value_or("");
    } catch (const std::exception& e) {
        error = std::string("cannot read the saved state: ") + e.what();
        return "";
    }
}

void printText(const std::string& text) {
    std::cout << text;
    if (!text.empty() && text.back() != '\n') std::cout << '\n';
}

int runStatus(const ctl::CtlOptions& options, const control::ControlReply& answer) {
    nlohmann::json status;
    int exitCode = kExitAnswered;
    if (answer.status == control::ControlReply::Status::answered) {
        status = nlohmann::json::parse(answer.reply, nullptr, false);
        if (!status.is_object() || !status.contains("state")) {
            std::cerr << "vantuctl: the daemon did not answer the status request (an older vantud?); "
                         "try 'vantuctl report'" << std::endl;
            return kExitFailed;
        }
    } else {
        std::string error;
        status = stoppedTunnelStatus(savedStopSnapshot(options.stateDir, error));
        if (!error.empty()) std::cerr << "vantuctl: " << error << std::endl;
        exitCode = kExitNotRunning;
    }
    if (options.json) {
        std::cout << status.dump(2) << std::endl;
    } else {
        std::cout << formatTunnelStatus(status);
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    ctl::CtlOptions options;
    try {
        options = ctl::parseCtlArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const cli::UsageError& e) {
        cli::printUsageError("vantuctl", e.what());
        return kExitUsage;
    }
    if (options.help) {
        printUsage(std::cout);
        return kExitAnswered;
    }
    if (options.version) {
        cli::printVersion("vantuctl");
        return kExitAnswered;
    }

    const auto timeout = std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000));
    const control::ControlReply answer = control::sendControlMessage(options.controlSocket, options.message(), timeout);
    if (answer.status == control::ControlReply::Status::failed) {
        std::cerr << "vantuctl: " << answer.error << std::endl;
        return kExitFailed;
    }
    if (options.command == ctl::Command::status) return runStatus(options, answer);
    if (answer.status == control::ControlReply::Status::answered) {
        printText(answer.reply);
        return kExitAnswered;
    }

    std::cerr << "vantuctl: vantud is not running (" << answer.error << "); the report below comes from the state "
              << "saved in " << options.stateDir << std::endl;
    std::string error;
    const auto report = offlineReport(options.stateDir, options.message(), error);
    if (!report) {
        std::cerr << "vantuctl: " << error << std::endl;
        return kExitFailed;
    }
    printText(*report);
    return kExitNotRunning;
}
