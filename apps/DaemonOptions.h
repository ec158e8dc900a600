#pragma once

// Command line and configuration file of vantud, kept apart from main() so
// that they can be tested without starting a tunnel.

#include <arpa/inet.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/ControlSocket.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxTunnelHost.h"

namespace vantu::daemon {

// A command line that cannot be run; main prints it with the usage.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct DaemonOptions {
    bool help = false;
    std::string configPath;
    std::string stateDir = control::kDefaultStateDir;
    std::string controlSocket = control::kDefaultControlSocket;
    LinuxTunnelHostOptions host;  // tun name, table, fwmark, virtual DNS, DNS mode, resolv.conf

    std::string statePath() const { return stateDir + "/state.db"; }
};

inline const char* dnsModeName(DnsMode mode) {
    switch (mode) {
        case DnsMode::automatic: return "auto";
        case DnsMode::systemdResolved: return "resolved";
        case DnsMode::resolvConf: return "resolvconf";
        case DnsMode::none: return "none";
    }
    return "auto";
}

inline DnsMode parseDnsMode(const std::string& text) {
    if (text == "auto") return DnsMode::automatic;
    if (text == "resolved") return DnsMode::systemdResolved;
    if (text == "resolvconf") return DnsMode::resolvConf;
    if (text == "none") return DnsMode::none;
    throw UsageError("--dns must be auto, resolved, resolvconf or none, not \"" + text + "\"");
}

// Decimal or 0x-prefixed hexadecimal, 1 to 2^32-1.
inline uint32_t parseUnsigned32(const std::string& option, const std::string& text) {
    size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || text[0] == '-' || text[0] == '+' || value == 0 ||
        value > 0xffffffffULL) {
        throw UsageError(option + " must be a number from 1 to 4294967295, not \"" + text + "\"");
    }
    return static_cast<uint32_t>(value);
}

inline DaemonOptions parseDaemonArguments(const std::vector<std::string>& args) {
    DaemonOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                inlineValue = true;
            }
        }
        auto next = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--config") {
            options.configPath = next();
        } else if (arg == "--state-dir") {
            options.stateDir = next();
            while (options.stateDir.size() > 1 && options.stateDir.back() == '/') options.stateDir.pop_back();
            if (options.stateDir.empty()) throw UsageError("--state-dir must not be empty");
        } else if (arg == "--tun-name") {
            options.host.tunName = next();
            if (options.host.tunName.empty() || options.host.tunName.size() >= 16) {
                throw UsageError("--tun-name must be 1 to 15 characters");
            }
        } else if (arg == "--control-socket") {
            options.controlSocket = next();
            if (options.controlSocket.empty() || options.controlSocket.size() >= 108) {
                throw UsageError("--control-socket must be a path of 1 to 107 characters");
            }
        } else if (arg == "--table") {
            options.host.table = parseUnsigned32(arg, next());
            const uint32_t t = options.host.table;
            if (t == 253 || t == 254 || t == 255) {
                throw UsageError("--table must not be one of the system's tables (253 default, 254 main, 255 local)");
            }
        } else if (arg == "--fwmark") {
            options.host.fwmark = parseUnsigned32(arg, next());
        } else if (arg == "--rule-priority") {
            // The suppress rule takes this priority, the fwmark rule the next.
            const uint32_t p = parseUnsigned32(arg, next());
            if (p >= 32765) throw UsageError("--rule-priority must be below 32765 (the main table's rule)");
            options.host.suppressRulePriority = p;
            options.host.fwmarkRulePriority = p + 1;
        } else if (arg == "--virtual-dns") {
            const std::string address = next();
            in_addr parsed{};
            if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
                throw UsageError("--virtual-dns must be an IPv4 address, not \"" + address + "\"");
            }
            options.host.virtualDnsAddress = address;
        } else if (arg == "--dns") {
            options.host.dnsMode = parseDnsMode(next());
        } else if (arg == "--resolv-conf") {
            options.host.resolvConfPath = next();
            if (options.host.resolvConfPath.empty() || options.host.resolvConfPath[0] != '/') {
                throw UsageError("--resolv-conf must be an absolute path");
            }
        } else if (arg == "--resolv-conf-backup") {
            options.host.resolvConfBackupPath = next();
            if (options.host.resolvConfBackupPath.empty() || options.host.resolvConfBackupPath[0] != '/') {
                throw UsageError("--resolv-conf-backup must be an absolute path");
            }
        } else {
            throw UsageError("unknown argument \"" + args[i] + "\"");
        }
    }
    if (!options.help && options.configPath.empty()) throw UsageError("--config FILE is required");
    return options;
}

// The configuration file: one JSON object whose keys and value types are
// those of the provider-configuration dictionary. It is handed over as it
// is; the provider checks the keys and reports a bad value when it starts.
inline ProviderConfiguration loadProviderConfiguration(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw VantuError("cannot read configuration file " + path);
    std::stringstream text;
    text << in.rdbuf();
    ProviderConfiguration document;
    try {
        document = nlohmann::json::parse(text.str());
    } catch (const nlohmann::json::parse_error& e) {
        throw VantuError(path + " is not valid JSON: " + e.what());
    }
    if (!document.is_object()) {
        throw VantuError(path + " must hold one JSON object, not " + std::string(document.type_name()));
    }
    return document;
}

inline std::string daemonUsage() {
    const LinuxTunnelHostOptions defaults;
    std::ostringstream out;
    out << "Usage: vantud --config FILE [options]\n"
           "       vantud --help\n"
           "\n"
           "Runs the Vantu tunnel in the foreground: opens a TUN device, connects to the\n"
           "server named in FILE, routes all IPv4 traffic through the tunnel and points\n"
           "the system resolver at it. Needs CAP_NET_ADMIN (root, or the systemd unit).\n"
           "\n"
           "Options:\n"
           "  --config FILE          the tunnel configuration (required; see below)\n"
           "  --state-dir DIR        persisted state: the event log, the last stop's\n"
           "                         report, learned routes, in DIR/state.db\n"
           "                         (default " << control::kDefaultStateDir << ")\n"
           "  --tun-name NAME        the TUN device (default " << defaults.tunName << "; a pattern such as\n"
           "                         vantu%d lets the kernel pick the number)\n"
           "  --control-socket PATH  where vantuctl reaches the daemon (default\n"
           "                         " << control::kDefaultControlSocket << "; its directory is created 0700,\n"
           "                         the socket is 0600)\n"
           "  --table N              routing table holding the tunnel's routes (default "
        << defaults.table << ")\n"
           "  --fwmark N             firewall mark of the daemon's own sockets, which keeps\n"
           "                         them outside the tunnel (default " << defaults.fwmark << "; 0x.. accepted)\n"
           "  --rule-priority N      priority of the first of the two policy rules; the\n"
           "                         second gets N+1 (default " << defaults.suppressRulePriority << ")\n"
           "  --virtual-dns ADDR     the resolver address the system is pointed at; it is\n"
           "                         routed into the tunnel and assigned nowhere, and vantud\n"
           "                         answers the queries sent to it (default " << defaults.virtualDnsAddress << ")\n"
           "  --dns MODE             how the system resolver is pointed at the tunnel:\n"
           "                           auto        systemd-resolved when it runs, else resolvconf\n"
           "                           resolved    resolvectl dns, domain ~. and default-route\n"
           "                                       on the TUN link (reverted on stop)\n"
           "                           resolvconf  rewrite resolv.conf, keeping the original\n"
           "                                       as a backup until stop\n"
           "                           none        leave DNS alone\n"
           "                         (default auto)\n"
           "  --resolv-conf PATH     the file the resolvconf mode rewrites (default\n"
           "                         " << defaults.resolvConfPath << ")\n"
           "  --resolv-conf-backup PATH\n"
           "                         where the original is kept meanwhile (default the\n"
           "                         file's path + .vantud-backup); for a read-only /etc\n"
           "                         where only the file is writable (the systemd unit),\n"
           "                         which is then rewritten in place\n"
           "  -h, --help             this text\n"
           "\n"
           "Configuration file: one JSON object with the tunnel's settings.\n"
           "  server                   string   host:port of the server's control service\n"
           "  secretKey                string   the secret the server accepts\n"
           "  dnsServers               list     upstream DNS servers (IPv4 text)\n"
           "  deviceID                 string   this device's identifier\n"
           "  clientVersion            string   reported to the server\n"
           "  useServerRouting         boolean  follow the server's routing policy\n"
           "  clientDirectCoreEnabled  boolean  relay direct UDP flows outside the tunnel\n"
           "  clientDirectTCPEnabled   boolean  relay direct TCP flows outside the tunnel\n"
           "JSON types are kept: a boolean written as \"true\" is text, not a boolean.\n"
           "Example:\n"
           "  {\"server\": \"vpn.example.net:8443\", \"secretKey\": \"...\",\n"
           "   \"deviceID\": \"laptop-1\", \"useServerRouting\": true}\n"
           "\n"
           "Behaviour:\n"
           "  Before starting, routes, rules and a resolv.conf change left by a crashed\n"
           "  earlier run are removed; a resolv.conf backup is restored whatever --dns\n"
           "  is now. Events go to syslog (ident vantud) and stderr.\n"
           "  SIGTERM or SIGINT stops the tunnel, removes every route, rule, address and\n"
           "  DNS change, and exits 0. A failed start prints the error on stderr and\n"
           "  exits 1; so does a tunnel that fails while running (server gone, keepalive\n"
           "  timed out).\n"
           "  Control socket: one message per connection, read to end of stream (at most\n"
           "  64 KiB); the reply is the diagnostics report. \"resetDiagnostics\" resets the\n"
           "  counters and the event log. Use vantuctl.\n"
           "\n"
           "Exit status: 0 stopped by a signal; 1 the tunnel failed to start or failed\n"
           "while running; 2 bad command line or configuration file.\n";
    return out.str();
}

}  // namespace vantu::daemon
