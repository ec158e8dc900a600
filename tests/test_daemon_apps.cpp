// vantud's command line and configuration file, and the control socket that
// vantud and vantuctl share (run over a real UNIX socket in a temporary
// directory).

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <gtest/gtest.h>

#include "apps/ControlSocket.h"
#include "apps/DaemonOptions.h"

using namespace vantu;
using namespace vantu::daemon;
using namespace std::chrono_literals;

namespace {

DaemonOptions parse(std::vector<std::string> args) { return parseDaemonArguments(args); }

std::string usageError(std::vector<std::string> args) {
    try {
        parse(std::move(args));
    } catch (const UsageError& e) {
        return e.what();
    }
    return "";
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vantu-apps-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    return path;
}

mode_t modeOf(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// An io_context on a thread of its own, standing in for vantud's queue.
class IoThread {
public:
    IoThread() : guard_(io.get_executor()), thread_([this] { io.run(); }) {}
    ~IoThread() {
        guard_.reset();
        io.stop();
        thread_.join();
    }
    // Runs f on the io thread and waits for it.
    template <typename F>
    void sync(F f) {
        std::atomic<bool> done{false};
        asio::post(io, [&] {
            f();
            done = true;
        });
        while (!done) std::this_thread::sleep_for(1ms);
    }
    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
};

}  // namespace

TEST(DaemonOptions, ParsesEveryOptionAndKeepsTheDefaults) {
    const DaemonOptions defaults = parse({"--config", "/etc/vantu/vantud.json"});
    EXPECT_EQ(defaults.configPath, "/etc/vantu/vantud.json");
    EXPECT_EQ(defaults.stateDir, "/var/lib/vantu");
    EXPECT_EQ(defaults.statePath(), "/var/lib/vantu/state.db");
    EXPECT_EQ(defaults.controlSocket, "/run/vantu/vantud.sock");
    EXPECT_EQ(defaults.host.tunName, "vantu0");
    EXPECT_EQ(defaults.host.table, 7373u);
    EXPECT_EQ(defaults.host.fwmark, 7373u);
    EXPECT_EQ(defaults.host.virtualDnsAddress, "100.100.100.100");
    EXPECT_EQ(defaults.host.dnsMode, DnsMode::automatic);
    EXPECT_EQ(defaults.host.resolvConfPath, "/etc/resolv.conf");
    EXPECT_FALSE(defaults.help);

    const DaemonOptions all =
        parse({"--config=c.json", "--state-dir", "/srv/vantu/", "--tun-name", "tun%d", "--control-socket",
               "/tmp/v.sock", "--table", "100", "--fwmark", "0x1ccd", "--rule-priority", "500", "--virtual-dns",
               "198.18.0.53", "--dns=resolvconf", "--resolv-conf", "/tmp/resolv.conf"});
    EXPECT_EQ(all.configPath, "c.json");
    EXPECT_EQ(all.stateDir, "/srv/vantu");  // trailing slash dropped
    EXPECT_EQ(all.statePath(), "/srv/vantu/state.db");
    EXPECT_EQ(all.host.tunName, "tun%d");
    EXPECT_EQ(all.controlSocket, "/tmp/v.sock");
    EXPECT_EQ(all.host.table, 100u);
    EXPECT_EQ(all.host.fwmark, 0x1ccdu);
    EXPECT_EQ(all.host.suppressRulePriority, 500u);
    EXPECT_EQ(all.host.fwmarkRulePriority, 501u);
    EXPECT_EQ(all.host.virtualDnsAddress, "198.18.0.53");
    EXPECT_EQ(all.host.dnsMode, DnsMode::resolvConf);
    EXPECT_EQ(all.host.resolvConfPath, "/tmp/resolv.conf");

    EXPECT_EQ(parse({"--config", "c", "--dns", "resolved"}).host.dnsMode, DnsMode::systemdResolved);
    EXPECT_EQ(parse({"--config", "c", "--dns", "none"}).host.dnsMode, DnsMode::none);
    EXPECT_EQ(parse({"--config", "c", "--dns", "auto"}).host.dnsMode, DnsMode::automatic);
    // --help needs nothing else.
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"-h"}).help);
    for (DnsMode mode : {DnsMode::automatic, DnsMode::systemdResolved, DnsMode::resolvConf, DnsMode::none}) {
        EXPECT_EQ(parseDnsMode(dnsModeName(mode)), mode);
    }
}

TEST(DaemonOptions, RejectsWhatCannotRun) {
    EXPECT_EQ(usageError({}), "--config FILE is required");
    EXPECT_EQ(usageError({"--config"}), "--config needs a value");
    EXPECT_EQ(usageError({"--config", "c", "--bogus"}), "unknown argument \"--bogus\"");
    EXPECT_EQ(usageError({"--config", "c", "--dns", "dnsmasq"}),
              "--dns must be auto, resolved, resolvconf or none, not \"dnsmasq\"");
    EXPECT_NE(usageError({"--config", "c", "--table", "254"}).find("system's tables"), std::string::npos);
    EXPECT_NE(usageError({"--config", "c", "--table", "255"}), "");
    EXPECT_NE(usageError({"--config", "c", "--table", "253"}), "");
    EXPECT_EQ(usageError({"--config", "c", "--fwmark", "0"}),
              "--fwmark must be a number from 1 to 4294967295, not \"0\"");
    EXPECT_NE(usageError({"--config", "c", "--fwmark", "-5"}), "");
    EXPECT_NE(usageError({"--config", "c", "--fwmark", "12abc"}), "");
    EXPECT_NE(usageError({"--config", "c", "--fwmark", "4294967296"}), "");
    EXPECT_EQ(parse({"--config", "c", "--fwmark", "4294967295"}).host.fwmark, 4294967295u);
    EXPECT_NE(usageError({"--config", "c", "--rule-priority", "32765"}), "");
    EXPECT_EQ(usageError({"--config", "c", "--virtual-dns", "100.100.100"}),
              "--virtual-dns must be an IPv4 address, not \"100.100.100\"");
    EXPECT_NE(usageError({"--config", "c", "--tun-name", "sixteen-letters!"}), "");
    EXPECT_NE(usageError({"--config", "c", "--tun-name", ""}), "");
    EXPECT_NE(usageError({"--config", "c", "--resolv-conf", "relative/resolv.conf"}), "");
    EXPECT_NE(usageError({"--config", "c", "--control-socket", std::string(108, 'x')}), "");
}

TEST(DaemonOptions, ConfigurationFileKeepsJsonTypes) {
    TempDir dir;
    const auto good = writeFile(dir.path() + "/good.json", R"({
        "server": "vpn.example.net:8443", "secretKey": "s3cret", "dnsServers": ["192.0.2.53"],
        "deviceID": "laptop", "clientVersion": "1.0", "useServerRouting": false,
        "clientDirectCoreEnabled": "true", "clientDirectTCPEnabled": 1, "extra": {"kept": true}})");
    const ProviderConfiguration config = loadProviderConfiguration(good);
    EXPECT_EQ(config["server"], "vpn.example.net:8443");
    EXPECT_TRUE(config["useServerRouting"].is_boolean());
    EXPECT_FALSE(config["useServerRouting"].get<bool>());
    // No conversion: the provider decides what a text or a number means.
    EXPECT_TRUE(config["clientDirectCoreEnabled"].is_string());
    EXPECT_TRUE(config["clientDirectTCPEnabled"].is_number_integer());
    EXPECT_EQ(config["dnsServers"], nlohmann::json::array({"192.0.2.53"}));
    EXPECT_EQ(config["extra"]["kept"], true);

    try {
        loadProviderConfiguration(writeFile(dir.path() + "/list.json", R"(["server"])"));
        FAIL() << "a list was accepted";
    } catch (const VantuError& e) {
        EXPECT_NE(std::string(e.what()).find("must hold one JSON object, not array"), std::string::npos);
    }
    EXPECT_THROW(loadProviderConfiguration(writeFile(dir.path() + "/broken.json", "{\"server\": ")), VantuError);
    EXPECT_THROW(loadProviderConfiguration(dir.path() + "/missing.json"), VantuError);
}

TEST(ControlSocket, CarriesOneMessageAndItsReplyPerConnection) {
    TempDir dir;
    const std::string path = dir.path() + "/run/vantu/vantud.sock";
    IoThread io;
    std::vector<std::string> received;
    control::ControlSocketServer server(io.io, path, [&](Bytes message, std::function<void(Bytes)> reply) {
        received.emplace_back(message.begin(), message.end());
        // Answered later, as the provider does from its queue.
        asio::post(io.io, [reply, text = received.back()] { reply(bytesOf("report for " + text)); });
    });
    io.sync([&] { server.open(); });

    // Directory and socket are the owner's alone.
    EXPECT_EQ(modeOf(dir.path() + "/run/vantu"), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);

    auto first = control::sendControlMessage(path, "diagnostics", 5s);
    ASSERT_EQ(first.status, control::ControlReply::Status::answered) << first.error;
    EXPECT_EQ(first.reply, "report for diagnostics");
    auto second = control::sendControlMessage(path, "resetDiagnostics", 5s);
    EXPECT_EQ(second.reply, "report for resetDiagnostics");
    auto empty = control::sendControlMessage(path, "", 5s);
    EXPECT_EQ(empty.reply, "report for ");

    // A message over the cap is cut at the cap, and the client still gets
    // its reply once it has finished sending.
    const std::string huge(control::kMaxMessageBytes + 5000, 'x');
    auto big = control::sendControlMessage(path, huge, 5s);
    ASSERT_EQ(big.status, control::ControlReply::Status::answered) << big.error;
    io.sync([&] {
        ASSERT_EQ(received.size(), 4u);
        EXPECT_EQ(received[0], "diagnostics");
        EXPECT_EQ(received[1], "resetDiagnostics");
        EXPECT_EQ(received[2], "");
        EXPECT_EQ(received[3].size(), control::kMaxMessageBytes);
        EXPECT_EQ(server.handled(), 4u);
    });

    // A second daemon on the same socket is refused while the first lives.
    control::ControlSocketServer rival(io.io, path, [](Bytes, std::function<void(Bytes)>) {});
    std::string rivalError;
    io.sync([&] {
        try {
            rival.open();
        } catch (const VantuError& e) {
            rivalError = e.what();
        }
    });
    EXPECT_EQ(rivalError, "another daemon answers on " + path);

    io.sync([&] { server.close(); });
    EXPECT_FALSE(std::filesystem::exists(path));
    auto gone = control::sendControlMessage(path, "diagnostics", 1s);
    EXPECT_EQ(gone.status, control::ControlReply::Status::notRunning);
}

TEST(ControlSocket, ReplacesASocketLeftByADeadDaemonButNoOtherFile) {
    TempDir dir;
    const std::string path = dir.path() + "/vantud.sock";
    // What a killed daemon leaves: a bound socket file nobody listens on.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    auto stale = control::sendControlMessage(path, "diagnostics", 1s);
    EXPECT_EQ(stale.status, control::ControlReply::Status::notRunning);
    EXPECT_NE(stale.error.find("Connection refused"), std::string::npos) << stale.error;

    IoThread io;
    control::ControlSocketServer server(io.io, path, [](Bytes, std::function<void(Bytes)> reply) {
        reply(bytesOf("fresh"));
    });
    io.sync([&] { server.open(); });
    EXPECT_EQ(control::sendControlMessage(path, "x", 5s).reply, "fresh");
    io.sync([&] { server.close(); });

    // A regular file in the way is never deleted.
    writeFile(path, "not a socket");
    control::ControlSocketServer blocked(io.io, path, [](Bytes, std::function<void(Bytes)>) {});
    std::string error;
    io.sync([&] {
        try {
            blocked.open();
        } catch (const VantuError& e) {
            error = e.what();
        }
    });
    EXPECT_EQ(error, path + " exists and is not a socket");
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "not a socket");
}

TEST(ControlSocket, ClientGivesUpOnASilentDaemon) {
    TempDir dir;
    const std::string path = dir.path() + "/vantud.sock";
    IoThread io;
    // A handler that never replies: the client's timeout ends the wait.
    control::ControlSocketServer server(io.io, path, [](Bytes, std::function<void(Bytes)>) {});
    io.sync([&] { server.open(); });
    const auto started = std::chrono::steady_clock::now();
    auto result = control::sendControlMessage(path, "diagnostics", 300ms);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(result.status, control::ControlReply::Status::failed);
    EXPECT_EQ(result.error, "timed out waiting for the reply on " + path);
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 3s);
    io.sync([&] { server.close(); });
}
