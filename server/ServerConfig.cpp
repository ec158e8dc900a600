#include "server/ServerConfig.h"

#include <arpa/inet.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include "base/VantuError.h"
#include "routing/RoutingPolicy.h"
#include "server/SecretGuard.h"

namespace vantu::server {

namespace {

const std::set<std::string> kKnownKeys = {
    "control_address",   "control_port",
    "data_address",      "data_port",
    "transport",         "cipher",
    "secrets",           "tunnel_subnet",
    "tunnel_mtu",        "dns_servers",
    "routing",           "control_timeout_seconds",
    "max_request_bytes", "session_idle_timeout_seconds",
    "packet_sink",       "control_tls_certificate",
    "control_tls_key",
};

std::string typeName(const nlohmann::json& value) { return value.type_name(); }

std::string requireString(const nlohmann::json& doc, const char* key) {
    const auto& v = doc.at(key);
    if (!v.is_string()) throw ConfigError(std::string(key) + " must be a string, not " + typeName(v));
    return v.get<std::string>();
}

int64_t requireInteger(const nlohmann::json& doc, const char* key) {
    const auto& v = doc.at(key);
    if (!v.is_number_integer()) throw ConfigError(std::string(key) + " must be an integer, not " + typeName(v));
    return v.get<int64_t>();
}

double requireNumber(const nlohmann::json& doc, const char* key) {
    const auto& v = doc.at(key);
    if (!v.is_number()) throw ConfigError(std::string(key) + " must be a number, not " + typeName(v));
    return v.get<double>();
}

std::vector<std::string> requireStringList(const nlohmann::json& doc, const char* key) {
    const auto& v = doc.at(key);
    if (!v.is_array()) throw ConfigError(std::string(key) + " must be a list of strings, not " + typeName(v));
    std::vector<std::string> out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (!v[i].is_string()) {
            throw ConfigError(std::string(key) + "[" + std::to_string(i) + "] must be a string, not " + typeName(v[i]));
        }
        out.push_back(v[i].get<std::string>());
    }
    return out;
}

uint16_t requirePort(const nlohmann::json& doc, const char* key) {
    const int64_t port = requireInteger(doc, key);
    if (port < 0 || port > 65535) {
        throw ConfigError(std::string(key) + " must be 0 to 65535 (0 picks a free port), not " + std::to_string(port));
    }
    return static_cast<uint16_t>(port);
}

bool isListenAddress(const std::string& text) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

}  // namespace

std::optional<uint32_t> parseIPv4(const std::string& text) {
    in_addr addr{};
    if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
    return ntohl(addr.s_addr);
}

std::string formatIPv4(uint32_t hostOrder) {
    return std::to_string(hostOrder >> 24) + "." + std::to_string((hostOrder >> 16) & 0xff) + "." +
           std::to_string((hostOrder >> 8) & 0xff) + "." + std::to_string(hostOrder & 0xff);
}

IPv4Subnet parseTunnelSubnet(const std::string& text) {
    const auto slash = text.find('/');
    if (slash == std::string::npos) {
        throw ConfigError("tunnel_subnet must be an IPv4 network with a prefix length, such as 10.7.0.0/24, not \"" +
                          text + "\"");
    }
    const auto address = parseIPv4(text.substr(0, slash));
    const std::string prefixText = text.substr(slash + 1);
    if (!address || prefixText.empty() || prefixText.size() > 2 ||
        prefixText.find_first_not_of("0123456789") != std::string::npos) {
        throw ConfigError("tunnel_subnet must be an IPv4 network with a prefix length, such as 10.7.0.0/24, not \"" +
                          text + "\"");
    }
    IPv4Subnet subnet;
    subnet.prefix = std::stoi(prefixText);
    if (subnet.prefix < 8 || subnet.prefix > 30) {
        throw ConfigError("tunnel_subnet prefix must be 8 to 30 so that the server and at least one client fit, not /" +
                          prefixText);
    }
    subnet.network = *address;
    if ((subnet.network & subnet.mask()) != subnet.network) {
        throw ConfigError("tunnel_subnet \"" + text + "\" has host bits set; the network is " +
                          formatIPv4(subnet.network & subnet.mask()) + "/" + prefixText);
    }
    return subnet;
}

size_t ServerConfig::keyLength() const { return cipher == "chacha20-poly1305" ? 32 : 16; }

void ServerConfig::validate() const {
    if (!isListenAddress(controlAddress)) {
        throw ConfigError("control_address must be an IPv4 or IPv6 address, not \"" + controlAddress + "\"");
    }
    if (!isListenAddress(dataAddress)) {
        throw ConfigError("data_address must be an IPv4 or IPv6 address, not \"" + dataAddress + "\"");
    }
    if (transport != "udp" && transport != "tcp") {
        throw ConfigError("transport must be \"udp\" or \"tcp\", not \"" + transport + "\"");
    }
    if (cipher != "aes-128-gcm" && cipher != "chacha20-poly1305") {
        throw ConfigError("cipher must be \"aes-128-gcm\" or \"chacha20-poly1305\", not \"" + cipher + "\"");
    }
    if (secrets.empty()) throw ConfigError("secrets must list at least one accepted secret");
    for (size_t i = 0; i < secrets.size(); ++i) {
        if (secrets[i].empty()) throw ConfigError("secrets[" + std::to_string(i) + "] is empty");
    }
    parseTunnelSubnet(tunnelSubnet);
    if (tunnelMTU < 576 || tunnelMTU > 9000) {
        throw ConfigError("tunnel_mtu must be 576 to 9000, not " + std::to_string(tunnelMTU));
    }
    for (size_t i = 0; i < dnsServers.size(); ++i) {
        if (!parseIPv4(dnsServers[i])) {
            throw ConfigError("dns_servers[" + std::to_string(i) + "] must be an IPv4 address, not \"" + dnsServers[i] +
                              "\"");
        }
    }
    if (routing) {
        if (!routing->is_object()) throw ConfigError("routing must be an object, not " + typeName(*routing));
        if (!dnsServers.empty() && routing->contains("dns_servers") && !(*routing)["dns_servers"].is_null()) {
            throw ConfigError("dns_servers is given both at the top level and inside routing; keep one");
        }
        // Clients reject the whole control response when the policy does not
        // decode, so a bad policy must stop the server instead.
        try {
            (void)RoutingPolicy::decode(*routing);
        } catch (const std::exception& e) {
            throw ConfigError(std::string("routing is not a valid routing policy: ") + e.what());
        }
    }
    if (controlTimeout.count() <= 0) throw ConfigError("control_timeout_seconds must be greater than 0");
    if (maxRequestBytes < 256) throw ConfigError("max_request_bytes must be at least 256");
    if (sessionIdleTimeout.count() < 0) throw ConfigError("session_idle_timeout_seconds must not be negative");
    if (packetSink != "echo") throw ConfigError("packet_sink must be \"echo\", not \"" + packetSink + "\"");
    // The TCP data service listens on the data port's number, which must
    // then not be the control service's TCP port.
    if (transport == "tcp" && dataPort != 0 && dataPort == controlPort) {
        throw ConfigError("with transport \"tcp\", data_port must differ from control_port");
    }
    if (controlTLSCertificate.empty() != controlTLSKey.empty()) {
        throw ConfigError("control_tls_certificate and control_tls_key go together; give both or neither");
    }
}

std::optional<nlohmann::json> ServerConfig::routingForClients() const {
    if (!routing && dnsServers.empty()) return std::nullopt;
    nlohmann::json out = routing ? *routing : nlohmann::json::object();
    if (!dnsServers.empty()) out["dns_servers"] = dnsServers;
    return out;
}

ServerConfig ServerConfig::fromJSON(const nlohmann::json& doc) {
    if (!doc.is_object()) throw ConfigError("the configuration must be a JSON object, not " + typeName(doc));
    for (const auto& item : doc.items()) {
        if (!kKnownKeys.count(item.key())) throw ConfigError("unknown configuration key \"" + item.key() + "\"");
    }
    for (const char* key : {"control_port", "data_port", "secrets", "tunnel_subnet"}) {
        if (!doc.contains(key)) throw ConfigError(std::string("missing required key \"") + key + "\"");
    }

    ServerConfig c;
    // A file-configured server listens on every interface unless told otherwise.
    c.controlAddress = doc.contains("control_address") ? requireString(doc, "control_address") : "0.0.0.0";
    c.dataAddress = doc.contains("data_address") ? requireString(doc, "data_address") : "0.0.0.0";
    c.controlPort = requirePort(doc, "control_port");
    c.dataPort = requirePort(doc, "data_port");
    if (doc.contains("transport")) c.transport = requireString(doc, "transport");
    if (doc.contains("cipher")) c.cipher = requireString(doc, "cipher");
    c.secrets = requireStringList(doc, "secrets");
    c.tunnelSubnet = requireString(doc, "tunnel_subnet");
    if (doc.contains("tunnel_mtu")) c.tunnelMTU = requireInteger(doc, "tunnel_mtu");
    if (doc.contains("dns_servers")) c.dnsServers = requireStringList(doc, "dns_servers");
    if (doc.contains("routing")) c.routing = doc.at("routing");
    if (doc.contains("control_timeout_seconds")) {
        const double seconds = requireNumber(doc, "control_timeout_seconds");
        if (!(seconds > 0) || seconds > 3600) {
            throw ConfigError("control_timeout_seconds must be greater than 0 and at most 3600");
        }
        c.controlTimeout = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
    }
    if (doc.contains("max_request_bytes")) {
        const int64_t n = requireInteger(doc, "max_request_bytes");
        if (n < 256 || n > 16 * 1024 * 1024) {
            throw ConfigError("max_request_bytes must be 256 to 16777216, not " + std::to_string(n));
        }
        c.maxRequestBytes = static_cast<size_t>(n);
    }
    if (doc.contains("session_idle_timeout_seconds")) {
        const int64_t n = requireInteger(doc, "session_idle_timeout_seconds");
        if (n < 0) throw ConfigError("session_idle_timeout_seconds must not be negative");
        c.sessionIdleTimeout = std::chrono::seconds(n);
    }
    if (doc.contains("packet_sink")) c.packetSink = requireString(doc, "packet_sink");
    if (doc.contains("control_tls_certificate")) {
        c.controlTLSCertificate = requireString(doc, "control_tls_certificate");
    }
    if (doc.contains("control_tls_key")) c.controlTLSKey = requireString(doc, "control_tls_key");
    c.validate();
    return c;
}

ServerConfig ServerConfig::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ConfigError("cannot read configuration file " + path);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text.str());
    } catch (const nlohmann::json::parse_error& e) {
        throw ConfigError(path + " is not valid JSON: " + e.what());
    }
    try {
        return fromJSON(doc);
    } catch (const ConfigError& e) {
        throw ConfigError(path + ": " + e.what());
    }
}

std::string ServerConfig::formatHelp(const std::string& morePacketSinks) {
    return R"(Configuration file: one JSON object. Unknown keys are errors.

  control_address   string   address of the TCP control service (default "0.0.0.0")
  control_port      integer  required; 0 picks a free port
  data_address      string   address of the data service (default "0.0.0.0")
  data_port         integer  required; 0 picks a free port
  transport         string   data transport granted to clients: "udp" (default) or
                             "tcp" (the TCP data service then listens on the data
                             port's number as well)
  cipher            string   "aes-128-gcm" (default) or "chacha20-poly1305"
  secrets           list     required; the secrets a client may present
  tunnel_subnet     string   required; tunnel network such as "10.7.0.0/24", prefix
                             8 to 30; the server is the first host (.1), clients
                             get .2, .3, ... and a device keeps its address
  tunnel_mtu        integer  MTU told to clients, 576 to 9000 (default 1420)
  dns_servers       list     IPv4 DNS servers for clients, sent inside "routing"
                             as "dns_servers" (do not give them in both places)
  routing           object   routing policy sent to clients as "routing"
  control_timeout_seconds        number   a control connection must deliver its
                                          whole request line (TLS handshake
                                          included) within this time (default 2)
  max_request_bytes              integer  longest request line (default 65536)
  session_idle_timeout_seconds   integer  drop sessions idle this long; 0 keeps
                                          them until their device opens again
                                          (default 600)
  packet_sink       string   where client packets go: "echo" (default) answers
                             ICMP echo requests and echoes UDP datagrams;
)" + morePacketSinks +
           R"(  control_tls_certificate   string   PEM certificate (chain) file; with it and
                                     control_tls_key the control port speaks
                                     TLS 1.3 only. Clients pin the certificate's
                                     SHA-256 (serverCertificateSHA256) or its CA
                                     (serverCAFile)
  control_tls_key           string   PEM private key file of that certificate
)";
}

std::string ServerConfig::limitsHelp() {
    const ServerConfig c;
    const auto n = [](auto value) { return std::to_string(value); };
    const auto seconds = [](std::chrono::milliseconds d) { return std::to_string(d.count() / 1000); };
    return "Limits (fixed), against peers that hold connections or guess secrets; an IPv6\n"
           "/64 counts as one address:\n"
           "  control service   at most " + n(c.maxControlConnectionsPerPeer) + " connections from one address and " +
           n(c.maxControlConnections) + " in all. A\n"
           "                    connection has control_timeout_seconds for its whole\n"
           "                    request; when all places are taken, the oldest connection\n"
           "                    without a whole request is dropped to admit a new one.\n"
           "  failed secrets    " + n(static_cast<int>(SecretGuard::kBurst)) + " tries per address, then one per " +
           n(SecretGuard::kRefill.count()) + " s; an address that runs\n"
           "                    out waits " + n(SecretGuard::kFirstBackoff.count()) +
           " s, twice as long each time (up to " + n(SecretGuard::kMaxBackoff.count() / 60) + " min),\n"
           "                    and is refused unchecked meanwhile.\n"
           "  TCP data service  until a connection has presented an authenticated unit: at\n"
           "                    most " + n(c.maxStreamPendingPerPeer) + " from one address and " + n(c.maxStreamPending) +
           " in all (the oldest making\n"
           "                    room), " + seconds(c.streamAuthTimeout) +
           " s each. A unit longer than tunnel_mtu + " + n(c.maxUnitBytes() - size_t(c.tunnelMTU)) + " bytes\n"
           "                    closes the connection. Then it belongs to its session (one\n"
           "                    each), and the session ends when it closes.\n"
           "  tunnel addresses  sessions without a device ID hold at most half the pool;\n"
           "                    beyond that a new one ends the one active longest ago.\n";
}

}  // namespace vantu::server
