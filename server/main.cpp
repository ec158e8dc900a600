// vantu-server: the reference server for the tunnel's control and data
// protocols. Configuration comes from one JSON file; see --help.

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "apps/ProcessLimits.h"
#include "server/DnsForwarder.h"
#include "server/EchoResponder.h"
#include "server/ServerConfig.h"
#include "server/ServerOptions.h"
#include "server/TunSink.h"
#include "server/VantuServer.h"

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: vantu-server -c|--config FILE [--check-config]\n"
           "  or:  vantu-server --help | --version\n\n"
           "Grants tunnel sessions on a TCP control port and carries their encrypted\n"
           "packets on a UDP data port (and a TCP one of the same number when \"tcp\" is\n"
           "granted). SIGINT or SIGTERM stops it.\n"
           "--check-config reads FILE, prints the values in effect (secrets masked) and\n"
           "any warning, and exits: 0 when the server could start with it, 2 when not.\n\n"
        << vantu::server::ServerConfig::formatHelp(vantu::server::tunSinkConfigHelp())
        << vantu::server::dnsForwarderConfigHelp() << "\n"
        << vantu::server::ServerConfig::limitsHelp()
        << "\nExample:\n"
           "  {\n"
           "    \"control_address\": \"0.0.0.0\", \"control_port\": 8443,\n"
           "    \"data_address\": \"0.0.0.0\", \"data_port\": 8443,\n"
           "    \"cipher\": \"aes-128-gcm\", \"secrets\": [\"change-me\"],\n"
           "    \"tunnel_subnet\": \"10.7.0.0/24\", \"tunnel_mtu\": 1420,\n"
           "    \"dns_servers\": [\"192.0.2.53\"], \"dns_forwarder\": \"192.0.2.53\",\n"
           "    \"routing\": {\"direct_ips\": [\"198.51.100.0/24\"]}\n"
           "  }\n";
}

std::mutex logMutex;

void logLine(const std::string& line) {
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::lock_guard lock(logMutex);
    std::cerr << stamp << " vantu-server: " << line << std::endl;
}

// Loads the file as a start would, and says what it made of it.
int checkConfiguration(const std::string& path) {
    try {
        std::optional<std::string> tunName;
        std::optional<asio::ip::udp::endpoint> dnsForwarder;
        const vantu::server::ServerConfig c = vantu::server::loadServerConfigWithSink(
            path, tunName, [&](nlohmann::json& document) { dnsForwarder = vantu::server::extractDnsForwarder(document); });
        auto row = [](const std::string& name, const std::string& value) {
            std::cout << "  " << name << std::string(name.size() < 28 ? 29 - name.size() : 1, ' ') << value << "\n";
        };
        std::cout << "configuration " << path << "\n";
        row("control", c.controlAddress + " port " + std::to_string(c.controlPort) + " (tcp)");
        row("data", c.dataAddress + " port " + std::to_string(c.dataPort) + " (" + c.transport + ")");
        row("cipher", c.cipher);
        row("secrets", std::to_string(c.secrets.size()) + " (masked)");
        row("tunnel_subnet", c.tunnelSubnet + ", mtu " + std::to_string(c.tunnelMTU));
        std::string dns;
        for (const auto& server : c.dnsServers) dns += (dns.empty() ? "" : ", ") + server;
        row("dns_servers", dns.empty() ? "(none)" : dns);
        row("routing", c.routing ? "given" : "(none)");
        row("packet_sink", tunName ? "tun " + *tunName : c.packetSink);
        row("dns_forwarder", dnsForwarder ? dnsForwarder->address().to_string() + ":" +
                                                std::to_string(dnsForwarder->port())
                                          : "(none)");
        row("session_idle_timeout_seconds", std::to_string(c.sessionIdleTimeout.count()));
        if (auto warning = vantu::cli::secretFileWarning(path, "secrets")) std::cout << "warning: " << *warning << "\n";
        std::cout << "the server can start with it\n";
        return 0;
    } catch (const std::exception& e) {
        std::cout << "error: " << e.what() << "\n";
        return 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    vantu::server::ServerOptions options;
    try {
        options = vantu::server::parseServerArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const vantu::cli::UsageError& e) {
        vantu::cli::printUsageError("vantu-server", e.what());
        return 2;
    }
    if (options.help) {
        printUsage(std::cout);
        return 0;
    }
    if (options.version) {
        vantu::cli::printVersion("vantu-server");
        return 0;
    }
    const std::string configPath = options.configPath;
    if (options.checkConfig) return checkConfiguration(configPath);

    // Block the stop signals before any thread exists so that every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const uint64_t descriptors = vantu::cli::raiseDescriptorLimit();

    try {
        std::optional<std::string> tunName;
        std::optional<asio::ip::udp::endpoint> dnsForwarder;
        vantu::server::ServerConfig config = vantu::server::loadServerConfigWithSink(
            configPath, tunName, [&](nlohmann::json& document) { dnsForwarder = vantu::server::extractDnsForwarder(document); });
        // Declared before the server so that they outlive it; their threads
        // are stopped before the server shuts down.
        std::shared_ptr<vantu::server::TunSink> tun;
        std::shared_ptr<vantu::server::DnsForwardingSink> dns;
        std::shared_ptr<vantu::server::PacketSink> sink;
        if (tunName) {
            tun = std::make_shared<vantu::server::TunSink>(
                vantu::server::TunSink::Options{*tunName, config.subnet(), config.tunnelMTU});
            if (!tun->offloadRefusal().empty()) {
                logLine("tun sink: offloads refused on " + tun->name() + " (" + tun->offloadRefusal() +
                        "): one packet per read and write");
            }
            sink = tun;
        }
        if (dnsForwarder) {
            if (!sink) sink = std::make_shared<vantu::server::EchoResponder>();
            dns = std::make_shared<vantu::server::DnsForwardingSink>(
                vantu::server::DnsForwardingSink::Options{*dnsForwarder}, sink);
            sink = dns;
        }
        if (auto warning = vantu::cli::secretFileWarning(configPath, "secrets")) logLine("warning: " + *warning);
        vantu::server::VantuServer server(config, sink, logLine);
        server.start();
        if (dns) dns->start();
        if (tun) tun->start();
        std::string sinkText =
            tun ? "tun " + tun->name() + " (" + tun->address() + "/" + std::to_string(config.subnet().prefix) + ")"
                : config.packetSink;
        if (dns) sinkText += ", DNS queries to " + dnsForwarder->address().to_string() + ":" +
                             std::to_string(dnsForwarder->port());
        logLine("control service on " + config.controlAddress + " port " + std::to_string(server.controlPort()) +
                " (tcp), data service on " + config.dataAddress + " port " + std::to_string(server.dataPort()) +
                (config.transport == "tcp" ? " (udp and tcp); tunnel " : " (udp); tunnel ") + config.tunnelSubnet +
                ", cipher " + config.cipher + ", sink " + sinkText + "; up to " + std::to_string(descriptors) +
                " descriptors");

        int received = 0;
        sigwait(&stopSignals, &received);
        logLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
        if (tun) {
            tun->stop();
            logLine("tun " + tun->name() + ": " + std::to_string(tun->packetsIn()) + " packets in, " +
                    std::to_string(tun->packetsOut()) + " packets out, " + std::to_string(tun->writeFailures()) +
                    " write failures");
        }
        if (dns) {
            dns->stop();
            logLine("dns forwarder: " + std::to_string(dns->forwarded()) + " forwarded, " +
                    std::to_string(dns->answered()) + " answered, " + std::to_string(dns->timedOut()) +
                    " timed out, " + std::to_string(dns->dropped()) + " dropped");
        }
        server.stop();
        logLine("stopped; " + server.sessions().poolUse().text());
    } catch (const vantu::server::ConfigError& e) {
        std::cerr << "vantu-server: invalid configuration: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vantu-server: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
