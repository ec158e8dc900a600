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

#include "server/DnsForwarder.h"
#include "server/EchoResponder.h"
#include "server/ServerConfig.h"
#include "server/TunSink.h"
#include "server/VantuServer.h"

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: vantu-server --config FILE\n"
           "       vantu-server --help\n\n"
           "Grants tunnel sessions on a TCP control port and carries their encrypted\n"
           "packets on a UDP data port. SIGINT or SIGTERM stops it.\n\n"
        << vantu::server::ServerConfig::formatHelp() << vantu::server::tunSinkConfigHelp()
        << vantu::server::dnsForwarderConfigHelp()
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

}  // namespace

int main(int argc, char** argv) {
    std::string configPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(std::cout);
            return 0;
        }
        if (arg == "--config" && i + 1 < argc) {
            configPath = argv[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            configPath = arg.substr(9);
        } else {
            std::cerr << "vantu-server: unknown argument \"" << arg << "\"\n\n";
            printUsage(std::cerr);
            return 2;
        }
    }
    if (configPath.empty()) {
        std::cerr << "vantu-server: --config FILE is required\n\n";
        printUsage(std::cerr);
        return 2;
    }

    // Block the stop signals before any thread exists so that every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

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
            sink = tun;
        }
        if (dnsForwarder) {
            if (!sink) sink = std::make_shared<vantu::server::EchoResponder>();
            dns = std::make_shared<vantu::server::DnsForwardingSink>(
                vantu::server::DnsForwardingSink::Options{*dnsForwarder}, sink);
            sink = dns;
        }
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
                " (udp); tunnel " + config.tunnelSubnet + ", cipher " + config.cipher + ", sink " + sinkText);

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
        logLine("stopped");
    } catch (const vantu::server::ConfigError& e) {
        std::cerr << "vantu-server: invalid configuration: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vantu-server: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
