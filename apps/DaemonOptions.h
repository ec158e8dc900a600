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

#include "apps/CommandLine.h"
#include "apps/ControlSocket.h"
#include "platform/Platform.h"
#include "platform/linux/LinuxTunnelHost.h"

namespace vantu::daemon {

using cli::UsageError;

struct DaemonOptions {
    bool help = false;
    bool version = false;
    bool checkConfig = false;  // print the configuration as read, and its warnings
    bool cleanupOnly = false;  // remove what a daemon left, and exit
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
    static const std::vector<cli::Option> known = {
        {"help", false, 'h'},        {"version", false, 'V'},    {"config", true, 'c'},
        {"check-config", false},     {"cleanup", false},         {"kill-switch", false},
        {"state-dir", true},         {"tun-name", true},         {"control-socket", true},
        {"table", true},             {"fwmark", true},           {"rule-priority", true},
        {"virtual-dns", true},       {"dns", true},              {"resolv-conf", true},
        {"resolv-conf-backup", true},
    };
    const auto operands = cli::parseOptions(args, known, [&](const std::string& name, const std::string& value) {
        const std::string option = "--" + name;
        if (name == "help") {
            options.help = true;
        } else if (name == "version") {
            options.version = true;
        } else if (name == "check-config") {
            options.checkConfig = true;
        } else if (name == "cleanup") {
            options.cleanupOnly = true;
        } else if (name == "kill-switch") {
            options.host.killSwitch = true;
        } else if (name == "config") {
            options.configPath = value;
        } else if (name == "state-dir") {
            options.stateDir = value;
            while (options.stateDir.size() > 1 && options.stateDir.back() == '/') options.stateDir.pop_back();
            if (options.stateDir.empty()) throw UsageError("--state-dir must not be empty");
        } else if (name == "tun-name") {
            options.host.tunName = value;
            if (value.empty() || value.size() >= 16) throw UsageError("--tun-name must be 1 to 15 characters");
        } else if (name == "control-socket") {
            options.controlSocket = value;
            if (value.empty() || value.size() >= 108) {
                throw UsageError("--control-socket must be a path of 1 to 107 characters");
            }
        } else if (name == "table") {
            options.host.table = parseUnsigned32(option, value);
            const uint32_t t = options.host.table;
            if (t == 253 || t == 254 || t == 255) {
                throw UsageError("--table must not be one of the system's tables (253 default, 254 main, 255 local)");
            }
        } else if (name == "fwmark") {
            options.host.fwmark = parseUnsigned32(option, value);
        } else if (name == "rule-priority") {
            // The suppress rule takes this priority, the fwmark rule the next.
            const uint32_t p = parseUnsigned32(option, value);
            if (p >= 32765) throw UsageError("--rule-priority must be below 32765 (the main table's rule)");
            options.host.suppressRulePriority = p;
            options.host.fwmarkRulePriority = p + 1;
        } else if (name == "virtual-dns") {
            in_addr parsed{};
            if (inet_pton(AF_INET, value.c_str(), &parsed) != 1) {
                throw UsageError("--virtual-dns must be an IPv4 address, not \"" + value + "\"");
            }
            options.host.virtualDnsAddress = value;
        } else if (name == "dns") {
            options.host.dnsMode = parseDnsMode(value);
        } else if (name == "resolv-conf" || name == "resolv-conf-backup") {
            if (value.empty() || value[0] != '/') throw UsageError(option + " must be an absolute path");
            (name == "resolv-conf" ? options.host.resolvConfPath : options.host.resolvConfBackupPath) = value;
        }
    });
    if (!operands.empty()) throw UsageError("unexpected argument \"" + operands.front() + "\"");
    if (!options.help && !options.version && !options.cleanupOnly && options.configPath.empty()) {
        throw UsageError("--config FILE is required");
    }
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
           "  or:  vantud --help | --version\n"
           "\n"
           "Runs the Vantu tunnel in the foreground: opens a TUN device, connects to the\n"
           "server named in FILE, routes all IPv4 traffic through the tunnel and points\n"
           "the system resolver at it. Needs CAP_NET_ADMIN (root, or the systemd unit).\n"
           "\n"
           "Options:\n"
           "  -c, --config FILE      the tunnel configuration (required; see below)\n"
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
           "  --check-config         read FILE, print the values in effect (the secret\n"
           "                         masked) and every warning, and exit: 0 when a\n"
           "                         tunnel could start with it, 2 when not\n"
           "  --kill-switch          keep traffic blocked when the tunnel fails and while\n"
           "                         the daemon is restarted, until an explicit stop\n"
           "                         (also \"killSwitch\": true in FILE); see below\n"
           "  --cleanup              remove the rules, routes, addresses and DNS changes a\n"
           "                         daemon with these options left, and exit (--config\n"
           "                         optional); the unit's stop path runs it\n"
           "  -h, --help             this text\n"
           "  -V, --version          the version\n"
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
           "  serverCertificateSHA256  string   SHA-256 of the server's control certificate\n"
           "                                    (64 hex digits, colons allowed); the control\n"
           "                                    session then runs over TLS 1.3 and fails on\n"
           "                                    any other certificate\n"
           "  serverCAFile             string   PEM CA file: TLS 1.3 with the certificate\n"
           "                                    checked against it and the server's name\n"
           "  Without either key the control session is plain TCP, and the secret and\n"
           "  session key can be read on the path. A pin of the wrong type or form stops\n"
           "  the start instead of counting as absent.\n"
           "JSON types are kept: a boolean written as \"true\" is text, not a boolean,\n"
           "and a value of the wrong type counts as absent. Unknown keys and values of\n"
           "the wrong type are warned about on every start (and by --check-config), as\n"
           "is a file with the secret that other users can read.\n"
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
           "  exits 1; so does a tunnel that fails while running and cannot be rebuilt.\n"
           "  A lost UDP data channel (server silent for 35 s, path changed) is rebuilt\n"
           "  while vantud keeps running and the routes stay in place: first on the same\n"
           "  session, then with a fresh control session; a lost TCP channel ends it.\n"
           "  Control socket: one message per connection, read to end of stream (at most\n"
           "  64 KiB); the reply is the diagnostics report. \"resetDiagnostics\" resets the\n"
           "  counters and the event log. Use vantuctl.\n"
           "\n"
           "Kill switch:\n"
           "  The tunnel table also holds an unreachable default behind the TUN's, so no\n"
           "  unmarked packet leaves outside the tunnel while the rules exist. When the\n"
           "  tunnel fails, vantud exits 1 leaving the rules and the unreachable defaults\n"
           "  (IPv4 and IPv6), and the next start keeps them while it connects; the\n"
           "  daemon's own marked sockets still reach the server. SIGTERM removes\n"
           "  everything as always. vantud --cleanup removes it too, except when run by\n"
           "  the unit after a failure that the unit restarts (SERVICE_RESULT other than\n"
           "  success, EXIT_STATUS other than 2) with the kill switch on.\n"
           "\n"
           "Exit status: 0 stopped by a signal; 1 the tunnel failed to start or failed\n"
           "while running; 2 bad command line or configuration file.\n";
    return out.str();
}

}  // namespace vantu::daemon
