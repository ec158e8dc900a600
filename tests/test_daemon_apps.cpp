// The command lines of vantud, vantuctl and vantu-server, vantud's
// configuration file, the control socket that vantud and vantuctl share (run
// over a real UNIX socket in a temporary directory), and the status summary
// of a provider running on the simulated platform.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <gtest/gtest.h>

#include "apps/ConfigCheck.h"
#include "apps/ControlSocket.h"
#include "apps/CtlOptions.h"
#include "apps/DaemonOptions.h"
#include "apps/ProcessLimits.h"
#include "apps/ServiceStatus.h"
#include "diagnostics/Status.h"
#include "platform/linux/ServiceNotifier.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/SystemLogs.h"
#include "server/ServerOptions.h"
#include "tests/linux_test_support.h"
#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::daemon;
using namespace vantu::testing;
using namespace std::chrono_literals;

namespace {

// Every option's value, in one line.
std::string summary(const DaemonOptions& o) {
    const LinuxTunnelHostOptions& h = o.host;
    return o.configPath + " " + o.statePath() + " " + o.controlSocket + " " + h.tunName + " table " +
           std::to_string(h.table) + " mark " + std::to_string(h.fwmark) + " rules " +
           std::to_string(h.suppressRulePriority) + "/" + std::to_string(h.fwmarkRulePriority) + " dns " +
           h.virtualDnsAddress + " " + dnsModeName(h.dnsMode) + " " + h.resolvConfPath;
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

// What opening `server` on the io thread throws, "" when it opens.
std::string openError(IoThread& io, control::ControlSocketServer& server) {
    std::string error;
    io.sync([&] {
        try {
            server.open();
        } catch (const VantuError& e) {
            error = e.what();
        }
    });
    return error;
}

// A UNIX socket of `type` bound to `path`.
int boundUnixSocket(const std::string& path, int type) {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    return fd;
}

}  // namespace

TEST(DaemonOptions, ParsesEveryOptionAndKeepsTheDefaults) {
    struct Case {
        std::vector<std::string> args;
        std::string options;
    };
    for (const Case& c : std::vector<Case>{
             {{"--config", "/etc/vantu/vantud.json"},
              "/etc/vantu/vantud.json /var/lib/vantu/state.db /run/vantu/vantud.sock vantu0 table 7373 mark 7373 "
              "rules 7372/7373 dns 100.100.100.100 auto /etc/resolv.conf"},
             // The state directory's trailing slash is dropped; the fwmark rule follows the suppress rule.
             {{"--config=c.json", "--state-dir", "/srv/vantu/", "--tun-name", "tun%d", "--control-socket", "/tmp/v.sock",
               "--table", "100", "--fwmark", "0x1cce", "--rule-priority", "500", "--virtual-dns", "198.18.0.53",
               "--dns=resolvconf", "--resolv-conf", "/tmp/resolv.conf"},
              "c.json /srv/vantu/state.db /tmp/v.sock tun%d table 100 mark 7374 rules 500/501 dns 198.18.0.53 "
              "resolvconf /tmp/resolv.conf"},
             {{"-c", "c", "--dns", "resolved", "--fwmark", "4294967295"},
              "c /var/lib/vantu/state.db /run/vantu/vantud.sock vantu0 table 7373 mark 4294967295 rules 7372/7373 "
              "dns 100.100.100.100 resolved /etc/resolv.conf"},
             {{"--conf=a.json", "--tun", "t1", "--dns", "none"},  // abbreviations
              "a.json /var/lib/vantu/state.db /run/vantu/vantud.sock t1 table 7373 mark 7373 rules 7372/7373 "
              "dns 100.100.100.100 none /etc/resolv.conf"},
         }) {
        EXPECT_EQ(summary(parseDaemonArguments(c.args)), c.options) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(parseDaemonArguments({"-c", "c", "--dns", "auto"}).host.dnsMode, DnsMode::automatic);
    // --help and --version need nothing else.
    EXPECT_TRUE(parseDaemonArguments({"--help"}).help);
    EXPECT_TRUE(parseDaemonArguments({"-h"}).help);
    EXPECT_TRUE(parseDaemonArguments({"-V"}).version);
    EXPECT_FALSE(parseDaemonArguments({"-c", "c"}).help);
}

TEST(DaemonOptions, ConfigurationFileKeepsJsonTypes) {
    TempDir dir;
    const auto good = writeText(dir.path + "/good.json", R"({
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
        loadProviderConfiguration(writeText(dir.path + "/list.json", R"(["server"])"));
        FAIL() << "a list was accepted";
    } catch (const VantuError& e) {
        EXPECT_NE(std::string(e.what()).find("must hold one JSON object, not array"), std::string::npos);
    }
    EXPECT_THROW(loadProviderConfiguration(writeText(dir.path + "/broken.json", "{\"server\": ")), VantuError);
    EXPECT_THROW(loadProviderConfiguration(dir.path + "/missing.json"), VantuError);
}

TEST(ControlSocket, CarriesOneMessageAndItsReplyPerConnection) {
    TempDir dir;
    const std::string path = dir.path + "/run/vantu/vantud.sock";
    IoThread io;
    std::vector<std::string> received;
    control::ControlSocketServer server(io.io, path, [&](Bytes message, std::function<void(Bytes)> reply) {
        received.emplace_back(message.begin(), message.end());
        // Answered later, as the provider does from its queue.
        asio::post(io.io, [reply, text = received.back()] { reply(bytesOf("report for " + text)); });
    });
    io.sync([&] { server.open(); });

    // Directory and socket are the owner's alone.
    EXPECT_EQ(modeOf(dir.path + "/run/vantu"), 0700u);
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
    EXPECT_EQ(openError(io, rival), "another daemon answers on " + path);

    io.sync([&] { server.close(); });
    EXPECT_FALSE(std::filesystem::exists(path));
    auto gone = control::sendControlMessage(path, "diagnostics", 1s);
    EXPECT_EQ(gone.status, control::ControlReply::Status::notRunning);
}

TEST(ControlSocket, ReplacesASocketLeftByADeadDaemonButNoOtherFile) {
    TempDir dir;
    const std::string path = dir.path + "/vantud.sock";
    // What a killed daemon leaves: a bound socket file nobody listens on.
    ::close(boundUnixSocket(path, SOCK_STREAM));
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
    writeText(path, "not a socket");
    control::ControlSocketServer blocked(io.io, path, [](Bytes, std::function<void(Bytes)>) {});
    EXPECT_EQ(openError(io, blocked), path + " exists and is not a socket");
    EXPECT_EQ(readText(path), "not a socket");
}

TEST(ControlSocket, ClientGivesUpOnASilentDaemon) {
    TempDir dir;
    const std::string path = dir.path + "/vantud.sock";
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

namespace {

// What a program's own output and exit status are, run as a user would.
struct ProgramRun {
    int status = -1;
    std::string out, err;
};

ProgramRun runProgram(const std::string& program, const std::string& arguments) {
    TempDir dir;
    const std::string command = std::string(VANTU_BINARY_DIR) + "/" + program + " " + arguments + " >" + dir.path +
                                "/out 2>" + dir.path + "/err </dev/null";
    ProgramRun run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readText(dir.path + "/out");
    run.err = readText(dir.path + "/err");
    return run;
}

template <typename Parse>
std::string errorOf(Parse parse, std::vector<std::string> args) {
    try {
        parse(args);
    } catch (const cli::UsageError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(CommandLine, EveryProgramRejectsWhatItCannotRunInOneWording) {
    const auto daemon = [](const std::vector<std::string>& a) { parseDaemonArguments(a); };
    const auto ctl = [](const std::vector<std::string>& a) { ctl::parseCtlArguments(a); };
    const auto server = [](const std::vector<std::string>& a) { server::parseServerArguments(a); };
    struct Case {
        std::function<void(const std::vector<std::string>&)> parse;
        std::vector<std::string> args;
        std::string error;
    };
    const std::string kSystemTable = "--table must not be one of the system's tables (253 default, 254 main, 255 local)";
    const std::string kMark = "--fwmark must be a number from 1 to 4294967295, not ";
    const std::vector<Case> cases = {
        {daemon, {"-c", "c", "--bogus"}, "unknown option \"--bogus\""},
        {daemon, {"-c", "c", "-x"}, "unknown option \"-x\""},
        {daemon, {"-c", "c", "--help=yes"}, "--help takes no value"},
        {daemon, {"-c", "c", "stray"}, "unexpected argument \"stray\""},
        {daemon, {"--state-dir"}, "--state-dir needs a value"},
        {daemon, {"-c"}, "--config needs a value"},
        {daemon, {}, "--config FILE is required"},
        {daemon, {"-c", "c", "--dns", "dnsmasq"}, "--dns must be auto, resolved, resolvconf or none, not \"dnsmasq\""},
        {daemon, {"-c", "c", "--table", "254"}, kSystemTable},
        {daemon, {"-c", "c", "--table", "255"}, kSystemTable},
        {daemon, {"-c", "c", "--table", "253"}, kSystemTable},
        {daemon, {"-c", "c", "--fwmark", "0"}, kMark + "\"0\""},
        {daemon, {"-c", "c", "--fwmark", "-5"}, kMark + "\"-5\""},
        {daemon, {"-c", "c", "--fwmark", "12abc"}, kMark + "\"12abc\""},
        {daemon, {"-c", "c", "--fwmark", "4294967296"}, kMark + "\"4294967296\""},
        {daemon, {"-c", "c", "--rule-priority", "32765"}, "--rule-priority must be below 32765 (the main table's rule)"},
        {daemon, {"-c", "c", "--virtual-dns", "100.100.100"}, "--virtual-dns must be an IPv4 address, not \"100.100.100\""},
        {daemon, {"-c", "c", "--tun-name", "sixteen-letters!"}, "--tun-name must be 1 to 15 characters"},
        {daemon, {"-c", "c", "--tun-name", ""}, "--tun-name must be 1 to 15 characters"},
        {daemon, {"-c", "c", "--resolv-conf", "relative/resolv.conf"}, "--resolv-conf must be an absolute path"},
        {daemon, {"-c", "c", "--control-socket", std::string(108, 'x')}, "--control-socket must be a path of 1 to 107 characters"},
        {ctl, {"bogus"}, "unknown command \"bogus\" (commands: status, report, reset, send)"},
        {ctl, {"status", "--bogus"}, "unknown option \"--bogus\""},
        {ctl, {"send"}, "send needs the TEXT to send"},
        {ctl, {"report", "extra"}, "unexpected argument \"extra\""},
        {ctl, {"report", "--json"}, "--json goes with status only"},
        {ctl, {"--timeout", "0"}, "--timeout must be a number of seconds above 0 and up to 3600, not \"0\""},
        {ctl, {"--timeout=5s"}, "--timeout must be a number of seconds above 0 and up to 3600, not \"5s\""},
        {ctl, {"--timeout"}, "--timeout needs a value"},
        {server, {}, "--config FILE is required"},
        {server, {"--config", "s.json", "more"}, "unexpected argument \"more\""},
        {server, {"--port", "1"}, "unknown option \"--port\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorOf(c.parse, c.args), c.error) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(server::parseServerArguments({"-c", "s.json"}).configPath, "s.json");
    EXPECT_TRUE(server::parseServerArguments({"--version"}).version);
}

TEST(CommandLine, VantuctlCommandsBecomeTheirMessages) {
    struct Case {
        std::vector<std::string> args;
        ctl::Command command;
        std::string message;
        bool json;
    };
    const std::vector<Case> cases = {
        {{}, ctl::Command::status, control::kStatusRequest, false},
        {{"status", "--json"}, ctl::Command::status, control::kStatusRequest, true},
        {{"-j"}, ctl::Command::status, control::kStatusRequest, true},
        {{"report"}, ctl::Command::report, "diagnostics", false},
        {{"reset"}, ctl::Command::reset, "resetDiagnostics", false},
        {{"send", "hello there"}, ctl::Command::send, "hello there", false},
        {{"send", "--", "--not-an-option"}, ctl::Command::send, "--not-an-option", false},
    };
    for (const Case& c : cases) {
        const ctl::CtlOptions options = ctl::parseCtlArguments(c.args);
        EXPECT_EQ(options.command, c.command) << ::testing::PrintToString(c.args);
        EXPECT_EQ(options.message(), c.message) << ::testing::PrintToString(c.args);
        EXPECT_EQ(options.json, c.json) << ::testing::PrintToString(c.args);
    }
    const ctl::CtlOptions all =
        ctl::parseCtlArguments({"report", "--control-socket", "/tmp/s.sock", "--state-dir=/tmp/st", "--timeout", "2.5"});
    EXPECT_EQ(all.controlSocket, "/tmp/s.sock");
    EXPECT_EQ(all.stateDir, "/tmp/st");
    EXPECT_DOUBLE_EQ(all.timeoutSeconds, 2.5);
    // The status request can never be an app message an app writes: it is not UTF-8.
    EXPECT_EQ(static_cast<unsigned char>(control::kStatusRequest[0]), 0xffu);
}

TEST(CommandLine, ProgramsPrintTheirVersionAndOneLineUsageErrors) {
    for (const std::string program : {"vantud", "vantuctl", "vantu-server"}) {
        const ProgramRun version = runProgram(program, "--version");
        EXPECT_EQ(version.status, 0) << program;
        EXPECT_EQ(version.out, program + " " + VANTU_VERSION + "\n");

        const ProgramRun bad = runProgram(program, "--no-such-option");
        EXPECT_EQ(bad.status, 2) << program;
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.err, program + ": unknown option \"--no-such-option\"\nTry '" + program +
                               " --help' for more information.\n");

        const ProgramRun help = runProgram(program, "--help");
        EXPECT_EQ(help.status, 0) << program;
        EXPECT_NE(help.out.find("Usage: " + program), std::string::npos) << help.out;
    }
    // The "tun" value of packet_sink is described under packet_sink, and the
    // limits the server holds peers to are there.
    const std::string help = runProgram("vantu-server", "--help").out;
    const auto sinkKey = help.find("\n  packet_sink "), tunValue = help.find("\"tun\" carries client packets");
    std::smatch nextKey;
    ASSERT_TRUE(std::regex_search(help.begin() + long(sinkKey) + 1, help.end(), nextKey, std::regex("\n  [a-z]")));
    EXPECT_LT(sinkKey, tunValue);
    EXPECT_LT(tunValue, size_t(nextKey.position(0)) + sinkKey + 1) << "another key comes between packet_sink and \"tun\"";
    EXPECT_NE(help.find("at most 8 connections from one address and 1024 in all"), std::string::npos) << help;
    const ProgramRun unknown = runProgram("vantuctl", "stauts");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");  // no report in place of an answer
    EXPECT_EQ(unknown.err.substr(0, unknown.err.find('\n')),
              "vantuctl: unknown command \"stauts\" (commands: status, report, reset, send)");
}

TEST(Status, FollowsARunningProviderAndItsStop) {
    ProviderHarness h;
    auto& p = *h.provider;
    nlohmann::json status = tunnelStatus(p);
    EXPECT_EQ(status["state"], "down");
    for (const char* key : {"server", "uptimeSeconds", "dns", "lastStop"}) EXPECT_TRUE(status[key].is_null()) << key;

    h.startSuccessfully();
    // The server's pongs keep the keepalive content on the way to 65 s.
    for (int i = 0; i < 5; ++i) {
        h.advance(13);
        h.pong();
    }
    // Two packets out through the read loop, three in from the server.
    h.sim.packetFlow.inject({ipv4Packet(100, 17, {203, 0, 113, 9}, 443), ipv4Packet(60, 6, {203, 0, 113, 9}, 443)});
    h.run();
    h.deliverFrames({dataFrame(ipv4Packet(40, 17, {10, 7, 0, 2}, 5000), kServerData),
                     dataFrame(ipv4Packet(1400, 6, {10, 7, 0, 2}, 5000), kServerData),
                     dataFrame(ipv4Packet(28, 17, {10, 7, 0, 2}, 5000), kServerData)});
    h.advance(4);
    ASSERT_TRUE(h.sim.host.cancellations.empty()) << h.sim.host.cancellations.front().description();

    // Every key, always present: scripts may rely on them. Direct core is off here.
    status = tunnelStatus(p);
    EXPECT_EQ(status, (nlohmann::json{
                          {"state", "up"}, {"server", "192.0.2.1"}, {"transport", "udp"}, {"tunnelAddress", "10.7.0.2"},
                          {"uptimeSeconds", 69}, {"lastFrameAgeSeconds", 4}, {"directCore", nullptr},
                          {"traffic", {{"bytesIn", 1468}, {"bytesOut", 160}, {"packetsIn", 3}, {"packetsOut", 2}}},
                          {"dns", {{"queries", 0}, {"responses", 0}, {"fallbacks", 0}, {"failures", 0}}},
                          {"lastFailure", nullptr}, {"lastStop", nullptr}}));
    EXPECT_EQ(formatTunnelStatus(status),
              "tunnel up\n"
              "  server       192.0.2.1 over udp\n"
              "  address      10.7.0.2\n"
              "  uptime       1m 09s\n"
              "  last frame   4s ago\n"
              "  traffic      in 1.4 KiB (3 packets), out 160 B (2 packets)\n"
              "  dns          0 queries, 0 answered, 0 into the tunnel, 0 failed\n");

    // Direct core on: its flows are counted.
    p.directCore.udpEnabled = true;
    p.directCore.udpSessionsOpened = 7;
    p.directCore.udpWriteFailures = 1;
    status = tunnelStatus(p);
    EXPECT_EQ(status["directCore"], (nlohmann::json{{"udp", {{"active", 0}, {"opened", 7}, {"failures", 1}}},
                                                    {"tcp", nullptr}}));
    EXPECT_NE(formatTunnelStatus(status).find("  direct udp   0 open, 7 opened, 1 failed\n"), std::string::npos);
    p.directCore.udpEnabled = false;

    p.recovery.inProgress = true;
    EXPECT_EQ(tunnelStatus(p)["state"], "recovering");
    p.recovery.inProgress = false;

    ASSERT_EQ(h.stop(1), 1);
    status = tunnelStatus(p);
    EXPECT_EQ(status["state"], "down");
    EXPECT_TRUE(status["uptimeSeconds"].is_null());
    EXPECT_EQ(status["lastStop"]["reason"], "userInitiated");
    EXPECT_EQ(status["lastStop"]["server"], "192.0.2.1");
    EXPECT_EQ(status["lastStop"]["time"], PacketTunnelProvider::formatTimestamp(h.t0 + std::chrono::seconds(69)));

    // What vantuctl shows from the saved state once the daemon is gone.
    const nlohmann::json stopped = stoppedTunnelStatus(p.diagnostics.lastStoppedSnapshot);
    EXPECT_EQ(stopped["state"], "not running");
    EXPECT_EQ(stopped["lastStop"], status["lastStop"]);
    EXPECT_TRUE(stopped["traffic"].is_null());
    EXPECT_EQ(formatTunnelStatus(stopped), "vantud is not running\n  last stop    " +
                                               status["lastStop"]["time"].get<std::string>() + " (userInitiated)\n");
    EXPECT_EQ(formatTunnelStatus(stoppedTunnelStatus("")), "vantud is not running\n  last stop    none recorded\n");
}

TEST(Status, LastFailureAndStopComeFromTheReportLinesOnly) {
    const std::string snapshot =
        "vantu tunnel diagnostics\n"
        "time=2026-03-01T10:00:00.000Z\n"
        "session=open transport=tcp tunnelIP=10.7.0.9 server=198.51.100.4\n"
        "lastTunnelFailure=keepalive timed out after 35s\n"
        "lastStop=reason=2 providerFailed\n"
        "recent events:\n"
        "2026-03-01T09:59:00.000Z #4 lastStop=forged by a peer's text\n";
    const nlohmann::json status = stoppedTunnelStatus(snapshot);
    EXPECT_EQ(status["lastStop"], (nlohmann::json{{"time", "2026-03-01T10:00:00.000Z"}, {"reason", "providerFailed"},
                                                  {"failure", "keepalive timed out after 35s"},
                                                  {"server", "198.51.100.4"}}));
    EXPECT_EQ(status["lastFailure"], "keepalive timed out after 35s");
    EXPECT_EQ(formatTunnelStatus(status),
              "vantud is not running\n"
              "  last failure keepalive timed out after 35s\n"
              "  last stop    2026-03-01T10:00:00.000Z (providerFailed)\n");

    struct Unit {
        int64_t value;
        std::string bytes, duration;
    };
    for (const Unit& u : std::vector<Unit>{{0, "0 B", "0s"},
                                           {1023, "1023 B", "17m 03s"},
                                           {1536, "1.5 KiB", "25m 36s"},
                                           {3 * 1048576 + 104858, "3.1 MiB", "37d 14h 56m"}}) {
        EXPECT_EQ(formatByteCount(u.value), u.bytes);
        EXPECT_EQ(formatDuration(u.value), u.duration);
    }
    EXPECT_EQ(formatDuration(3600 * 5 + 62), "5h 01m 02s");
}

TEST(Status, VantuctlShowsTheDaemonsAnswerOrTheSavedStop) {
    TempDir dir;
    const std::string socket = dir.path + "/vantud.sock";
    const std::string where = " --control-socket " + socket + " --state-dir " + dir.path;

    // No daemon and no saved state.
    ProgramRun run = runProgram("vantuctl", "status" + where);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "vantud is not running\n  last stop    none recorded\n");

    // No daemon, a saved stop.
    {
        SqliteDefaultsStore store(dir.path + "/state.db");
        store.setString(DiagnosticsState::kLastStoppedSnapshotKey,
                        "time=2026-03-01T10:00:00.000Z\nlastStop=userInitiated\n");
    }
    run = runProgram("vantuctl", "status --json" + where);
    EXPECT_EQ(run.status, 3);
    const nlohmann::json offline = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(offline.is_object()) << run.out;
    EXPECT_EQ(offline["state"], "not running");
    EXPECT_EQ(offline["lastStop"]["reason"], "userInitiated");

    // A daemon: the status request is answered with JSON, anything else
    // passes as the app message it is.
    IoThread io;
    std::vector<std::string> received;
    control::ControlSocketServer server(io.io, socket, [&](Bytes message, std::function<void(Bytes)> reply) {
        received.emplace_back(message.begin(), message.end());
        if (received.back() == control::kStatusRequest) {
            nlohmann::json status = stoppedTunnelStatus("");
            status["state"] = "up";
            status["server"] = "192.0.2.1";
            status["transport"] = "tcp";
            status["uptimeSeconds"] = 3725;
            reply(bytesOf(status.dump()));
        } else {
            reply(bytesOf("report for " + received.back()));
        }
    });
    io.sync([&] { server.open(); });
    run = runProgram("vantuctl", where);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "tunnel up\n  server       192.0.2.1 over tcp\n  uptime       1h 02m 05s\n"
                       "  last frame   none yet\n");
    run = runProgram("vantuctl", "status -j" + where);
    EXPECT_EQ(nlohmann::json::parse(run.out, nullptr, false)["uptimeSeconds"], 3725);
    EXPECT_EQ(runProgram("vantuctl", "report" + where).out, "report for diagnostics\n");
    EXPECT_EQ(runProgram("vantuctl", "reset" + where).out, "report for resetDiagnostics\n");
    EXPECT_EQ(runProgram("vantuctl", "send 'any text'" + where).out, "report for any text\n");
    io.sync([&] {
        EXPECT_EQ(received, (std::vector<std::string>{control::kStatusRequest, control::kStatusRequest, "diagnostics",
                                                      "resetDiagnostics", "any text"}));
    });
    io.sync([&] { server.close(); });
}

// A configuration no tunnel can start with ends in the failed start it is:
// exit status 2 with one line on standard error, and the failure and the
// stop recorded for vantuctl to show once vantud is gone.
TEST(Status, AConfigurationErrorIsRecordedAsAFailedStart) {
    struct Case {
        std::string file, failure;
    };
    const std::vector<Case> cases{
        {R"({"server": "192.0.2.1", "secretKey": "k"})", "invalid server:port"},
        {R"({"server": "192.0.2.1:70000", "secretKey": "k"})", "invalid server:port"},
        {R"({"server": 19202, "secretKey": "k"})", "missing tunnel provider configuration"},
        {R"({"server": "192.0.2.1:443"})", "missing tunnel provider configuration"},
        {"{ not json", "missing tunnel provider configuration"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string where = " --control-socket " + dir.path + "/vantud.sock --state-dir " + dir.path + "/state";
        const std::string config = writeText(dir.path + "/client.json", c.file);
        ProgramRun run = runProgram("vantud", "--config " + config + where);
        EXPECT_EQ(run.status, 2) << c.file << run.err;
        EXPECT_EQ(run.err.rfind("vantud: ", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;

        run = runProgram("vantuctl", "status" + where);
        EXPECT_EQ(run.status, 3) << c.file;
        EXPECT_TRUE(contains(run.out, "  last failure startTunnel failed: " + c.failure + "\n")) << c.file << run.out;
        EXPECT_TRUE(contains(run.out, "(configurationFailed)")) << run.out;
        run = runProgram("vantuctl", "report" + where);
        EXPECT_TRUE(contains(run.out, "startTunnel failed: " + c.failure)) << c.file << run.out;
        EXPECT_TRUE(contains(run.out, "lastStop=reason=7 configurationFailed")) << run.out;
    }
}

TEST(ServiceNotify, TheServiceManagerHearsEveryStepInOrder) {
    TempDir dir;
    // The service manager's end: a datagram socket, as systemd listens on.
    const std::string path = dir.path + "/notify";
    const int listener = boundUnixSocket(path, SOCK_DGRAM | SOCK_NONBLOCK);

    ServiceNotifier notifier;
    EXPECT_FALSE(notifier.status("nobody listens"));  // outside a service: nothing happens
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);

    ServiceStatus service(notifier);
    ProviderHarness h;
    service.starting("192.0.2.1:443");
    h.startSuccessfully();
    service.up(tunnelStatus(*h.provider), "vantu0");
    service.observe(tunnelStatus(*h.provider));  // unchanged: nothing sent
    h.provider->recovery.inProgress = true;
    service.observe(tunnelStatus(*h.provider));
    service.observe(tunnelStatus(*h.provider));
    h.provider->recovery.inProgress = false;
    service.observe(tunnelStatus(*h.provider));
    service.failed("tunnel failed: keepalive timed out");
    service.stopping("tunnel failed");
    ::unsetenv("NOTIFY_SOCKET");

    std::vector<std::string> received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(listener, buffer, sizeof buffer, 0)) > 0;) received.emplace_back(buffer, n);
    ::close(listener);
    const std::string up = "STATUS=Tunnel up on vantu0: 192.0.2.1 over udp, address 10.7.0.2";
    EXPECT_EQ(received, (std::vector<std::string>{
                            "STATUS=Connecting to 192.0.2.1:443",
                            "READY=1\n" + up,
                            "STATUS=Recovering the data channel to 192.0.2.1",
                            up,
                            "STATUS=Failed: tunnel failed: keepalive timed out",
                            "STOPPING=1\nSTATUS=Stopping: tunnel failed",
                        }));
    EXPECT_EQ(notifier.sent().size(), received.size() + 1);  // and the one before NOTIFY_SOCKET
}

TEST(ServiceNotify, LogLinesGetPrioritiesAndSkipAJournalStderr) {
    for (const auto& [line, priority] : std::vector<std::pair<std::string, int>>{
             {"VantuPacketTunnel: network settings applied", LOG_INFO},
             {"VantuPacketTunnel: UDP data channel verified", LOG_INFO},
             {"VantuPacketTunnel: terminating tunnel: keepalive timed out", LOG_WARNING},
             {"platform: applying tunnel settings failed: netlink: EPERM", LOG_WARNING},
             {"vantud: cannot set src_valid_mark", LOG_WARNING},
             {"VantuPacketTunnel: decrypt failed for 40 bytes", LOG_WARNING}})
        EXPECT_EQ(logPriorityOf(line), priority) << line;

    TempDir dir;
    const int fd = ::open((dir.path + "/stream").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct stat st{};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(isJournalStream(fd));
    const std::string same = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ::setenv("JOURNAL_STREAM", same.c_str(), 1);
    EXPECT_TRUE(isJournalStream(fd));
    EXPECT_FALSE(isJournalStream(STDIN_FILENO));  // another file: a terminal or a pipe
    ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str(), 1);
    EXPECT_FALSE(isJournalStream(fd));
    ::setenv("JOURNAL_STREAM", "garbage", 1);
    EXPECT_FALSE(isJournalStream(fd));
    ::unsetenv("JOURNAL_STREAM");
    ::close(fd);
}

TEST(ConfigurationCheck, WarnsAboutUnknownKeysAndMistypedValuesAndShowsWhatCounts) {
    const nlohmann::json document = nlohmann::json::parse(R"({
        "server": "vpn.example.net:8443", "secretKey": "s3cret", "deviceID": "laptop",
        "useServerRouting": "false", "clientDirectCoreEnabled": 1, "dnsServers": ["192.0.2.53", 5],
        "colour": "blue", "killSwitch": true})");
    const ConfigurationCheck check = checkConfiguration(document);
    EXPECT_FALSE(check.error.has_value());
    // In key order: the parsed object keeps its keys sorted.
    EXPECT_EQ(check.warnings,
              (std::vector<std::string>{
                  "\"clientDirectCoreEnabled\" is the number 1, not a boolean (true or false, without quotes); it "
                  "counts as absent: false",
                  "unknown key \"colour\" is ignored",
                  "\"dnsServers\" is a list, not a list of texts; it counts as absent: no upstream DNS servers",
                  "\"useServerRouting\" is text \"false\", not a boolean (true or false, without quotes); it counts "
                  "as absent: true",
              }));
    const std::vector<std::pair<std::string, std::string>> effective = {
        {"server", "vpn.example.net:8443"},
        {"secretKey", "******** (6 characters)"},
        {"dnsServers", "(none)"},
        {"deviceID", "laptop"},
        {"clientVersion", "(empty)"},
        {"useServerRouting", "true"},
        {"clientDirectCoreEnabled", "false"},
        {"clientDirectTCPEnabled", "false"},
        {"serverCertificateSHA256", "(none)"},
        {"serverCAFile", "(none)"},
        {"control session", "plain TCP (no certificate pinned)"},
        {"killSwitch", "true"},
    };
    EXPECT_EQ(check.effective, effective);

    const ConfigurationCheck clean = checkConfiguration(validProviderConfiguration());
    EXPECT_TRUE(clean.warnings.empty());
    EXPECT_FALSE(clean.error.has_value());
    for (const char* broken : {R"({"server": "vpn.example.net"})", R"({"server": "h:1", "secretKey": 7})",
                               R"({"server": "h:99999", "secretKey": "k"})"}) {
        EXPECT_TRUE(checkConfiguration(nlohmann::json::parse(broken)).error.has_value()) << broken;
    }
    // A mistyped TLS key stops the start rather than counting as absent, and
    // the error names that key, not the server or the secret.
    const ConfigurationCheck pinned = checkConfiguration(
        nlohmann::json::parse(R"({"server": "h:1", "secretKey": "k", "serverCertificateSHA256": null})"));
    EXPECT_TRUE(pinned.warnings.empty()) << pinned.warnings.front();
    EXPECT_EQ(pinned.error,
              "invalid serverCertificateSHA256: expected 64 hexadecimal digits, colons allowed between bytes, not null");

    TempDir dir;
    const std::string file = writeText(dir.path + "/vantud.json", document.dump());
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(secretFileWarning(file, "secretKey"),
              file + " holds secretKey and other users can read it (mode 0644); chmod 600 " + file);
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(secretFileWarning(file, "secretKey"), std::nullopt);
}

TEST(ConfigurationCheck, ProgramsCheckTheirFilesWithoutStarting) {
    TempDir dir;
    const std::string client = writeText(dir.path + "/client.json",
                                         R"({"server": "192.0.2.1:443", "secretKey": "hunter22", "colour": 1})");
    ::chmod(client.c_str(), 0640);
    ProgramRun run = runProgram("vantud", "--check-config --config " + client);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("  secretKey                ******** (8 characters)\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("warning: unknown key \"colour\" is ignored\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("(mode 0640)"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("hunter22"), std::string::npos) << "the secret was printed";

    const std::string missing = writeText(dir.path + "/missing.json", R"({"server": "192.0.2.1:443"})");
    run = runProgram("vantud", "--check-config -c " + missing);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.out.find("error: missing tunnel provider configuration"), std::string::npos) << run.out;

    const std::string server = writeText(dir.path + "/server.json",
                                         R"({"control_port": 8443, "data_port": 8443, "secrets": ["hunter22"],
                                             "tunnel_subnet": "10.7.0.0/24"})");
    ::chmod(server.c_str(), 0600);
    run = runProgram("vantu-server", "--check-config --config " + server);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("  secrets                      1 (masked)\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("hunter22"), std::string::npos);
    const std::string badServer = writeText(dir.path + "/bad.json", R"({"control_port": "8443"})");
    run = runProgram("vantu-server", "--check-config --config " + badServer);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.rfind("error: ", 0), 0u) << run.out;
}

// vantud and vantu-server take the whole hard limit of descriptors at start
// (one connection, flow or query each); vantu-server says how many it has.
TEST(ProcessLimits, ProgramsRaiseTheSoftDescriptorLimitToTheHardOne) {
    rlimit normal{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &normal), 0);
    ASSERT_GT(normal.rlim_max, 256u);
    rlimit low = normal;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(vantu::cli::raiseDescriptorLimit(), normal.rlim_max);
    rlimit raised{};
    ::getrlimit(RLIMIT_NOFILE, &raised);
    EXPECT_EQ(raised.rlim_cur, normal.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &normal);

    TempDir dir;
    const std::string config = writeText(dir.path + "/server.json", R"({"control_address": "127.0.0.1",
        "data_address": "127.0.0.1", "control_port": 0, "data_port": 0, "secrets": ["s"], "tunnel_subnet": "10.7.0.0/24"})");
    const std::string log = dir.path + "/log";
    ASSERT_EQ(std::system(("ulimit -Sn 256 && exec " + std::string(VANTU_BINARY_DIR) + "/vantu-server --config " +
                           config + " 2>" + log + " </dev/null & echo $! >" + dir.path + "/pid")
                              .c_str()),
              0);
    const std::string expected = "up to " + std::to_string(normal.rlim_max) + " descriptors";
    for (int i = 0; i < 500 && readText(log).find("descriptors") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(std::stoi(readText(dir.path + "/pid")), SIGTERM);
    EXPECT_NE(readText(log).find(expected), std::string::npos) << readText(log);
}
