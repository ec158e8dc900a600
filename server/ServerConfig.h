#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "datachannel/crypto/Aead.h"

namespace vantu::server {

// A configuration that cannot be served; the message names the offending key.
class ConfigError : public std::runtime_error {
public:
    explicit ConfigError(const std::string& message) : std::runtime_error(message) {}
};

// An IPv4 network in host byte order.
struct IPv4Subnet {
    uint32_t network = 0;
    int prefix = 0;

    uint32_t mask() const { return prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix); }
    uint32_t broadcast() const { return network | ~mask(); }
    // The first host address, held by the server itself.
    uint32_t serverAddress() const { return network + 1; }
    // Client addresses run from serverAddress() + 1 to this one.
    uint32_t lastClientAddress() const { return broadcast() - 1; }
    size_t clientCapacity() const { return size_t(lastClientAddress() - serverAddress()); }
    bool contains(uint32_t address) const { return (address & mask()) == network; }
};

// "10.7.0.0/24" -> subnet; throws ConfigError for malformed text, a prefix
// outside 8..30 (too few or too many hosts to hand out) or host bits set.
IPv4Subnet parseTunnelSubnet(const std::string& text);
// Dotted quad -> host-order address; nullopt when the text is not one.
std::optional<uint32_t> parseIPv4(const std::string& text);
std::string formatIPv4(uint32_t hostOrder);

struct ServerConfig {
    std::string controlAddress = "127.0.0.1";
    uint16_t controlPort = 0;  // 0: an ephemeral port, reported after start
    std::string dataAddress = "127.0.0.1";
    uint16_t dataPort = 0;
    std::string transport = "udp";
    std::string cipher = "aes-128-gcm";
    std::vector<std::string> secrets;
    std::string tunnelSubnet = "10.7.0.0/24";
    int64_t tunnelMTU = 1420;
    std::vector<std::string> dnsServers;
    // Sent to clients as "routing"; the DNS servers are merged into its
    // "dns_servers" because that is where clients look for them.
    std::optional<nlohmann::json> routing;
    // A real client sends its request as soon as it is connected, so a
    // connection gets little time for it (the TLS handshake included).
    std::chrono::milliseconds controlTimeout{2000};
    size_t maxRequestBytes = 64 * 1024;
    // Control connections open at once, in total and from one address (an
    // IPv6 /64 counts as one address). Beyond the per-address cap a new
    // connection is closed at once; when the total is reached, the oldest
    // connection that has not yet sent its whole request is dropped to make
    // room (ConnectionGate), so that an idle flood cannot starve clients.
    size_t maxControlConnections = 1024;
    size_t maxControlConnectionsPerPeer = 8;
    // The TCP data service under the same rules, for connections that have
    // not yet presented an authenticated unit; once one has, it belongs to
    // its session (one per session) and no longer counts here.
    size_t maxStreamPending = 512;
    size_t maxStreamPendingPerPeer = 8;
    std::chrono::milliseconds streamAuthTimeout{5000};
    // 0 keeps sessions until their device opens again.
    std::chrono::seconds sessionIdleTimeout{600};
    std::string packetSink = "echo";
    // PEM files; with both set the control port speaks TLS 1.3 only, so the
    // secrets and session keys it carries cannot be read on the path.
    std::string controlTLSCertificate;
    std::string controlTLSKey;
    bool controlTLS() const { return !controlTLSCertificate.empty(); }

    // Throws ConfigError describing the first problem found.
    void validate() const;
    IPv4Subnet subnet() const { return parseTunnelSubnet(tunnelSubnet); }
    // Key length of the configured cipher in bytes.
    size_t keyLength() const;
    // The longest unit a client can send: one packet of the tunnel MTU in a
    // data frame, with the unit's nonce and tag.
    size_t maxUnitBytes() const { return static_cast<size_t>(tunnelMTU) + 1 + aead::kNonceLength + aead::kTagLength; }
    // The "routing" object as clients receive it, or nullopt to omit the key.
    std::optional<nlohmann::json> routingForClients() const;

    // Strict: unknown keys and values of the wrong type are errors.
    static ServerConfig fromJSON(const nlohmann::json& document);
    static ServerConfig load(const std::string& path);
    // The configuration file format, for --help; `morePacketSinks` continues
    // the description of "packet_sink" (the sinks built outside this core).
    static std::string formatHelp(const std::string& morePacketSinks = "");
    // The limits the services hold peers to, for --help.
    static std::string limitsHelp();
};

}  // namespace vantu::server
