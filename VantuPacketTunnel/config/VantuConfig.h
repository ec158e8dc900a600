#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Bytes.h"

namespace vantu {

// The configuration of one tunnel start, read once from the
// provider-configuration dictionary and never changed afterwards.
struct VantuConfig {
    std::string host;
    uint16_t controlPort = 0;
    std::string secret;
    std::string deviceID;
    std::string clientVersion;
    std::vector<std::string> dnsServers;
    bool useServerRouting = true;
    bool clientDirectCoreEnabled = false;
    bool clientDirectTCPEnabled = false;
    std::string dynamicDirectRouteCacheKey;
    // The control session runs over TLS when either pin is set. The
    // fingerprint is the SHA-256 of the server's leaf certificate (DER), 32
    // bytes, and ignores the chain; the CA file (PEM) makes the chain and the
    // host name count instead. Both set: both must hold.
    Bytes serverCertificateSHA256;
    std::string serverCAFile;
    // The name the certificate must carry with serverCAFile: the configured
    // host, which withHost keeps, since recovery connects to the address in
    // use. Empty: the host itself.
    std::string serverName;

    VantuConfig() = default;
    VantuConfig(std::string host, uint16_t controlPort, std::string secret, std::string deviceID,
                std::string clientVersion, std::vector<std::string> dnsServers, bool useServerRouting,
                bool clientDirectCoreEnabled, bool clientDirectTCPEnabled, std::string dynamicDirectRouteCacheKey);

    // A copy addressed to another host; the cache key stays the original one.
    VantuConfig withHost(const std::string& newHost) const;

    bool usesControlTLS() const { return !serverCertificateSHA256.empty() || !serverCAFile.empty(); }

    bool operator==(const VantuConfig&) const = default;

    // Validates the provider-configuration dictionary (a JSON object; nullopt
    // when the profile carries none). Throws VantuError with
    // "missing tunnel provider configuration" or "invalid server:port", or
    // "invalid serverCertificateSHA256" / "invalid serverCAFile" for a TLS
    // key that is present but unusable (null, another type, empty text, a
    // malformed pin): dropping it would fall back to plain text. So once
    // either key is named, the record uses TLS or there is no record.
    static VantuConfig fromProviderConfiguration(const std::optional<nlohmann::json>& dictionary);
};

inline constexpr const char* dynamicDirectRouteCachePrefix = "vantu.dynamicDirectRoutes.";

// "vantu.dynamicDirectRoutes." + 24 lower-case hex digits of
// SHA-256(lower(host) + "|" + secret).
std::string dynamicDirectRouteCacheKey(const std::string& host, const std::string& secret);

}  // namespace vantu
