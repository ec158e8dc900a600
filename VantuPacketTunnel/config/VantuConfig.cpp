#include "VantuPacketTunnel/config/VantuConfig.h"

#include <array>
#include <string_view>
#include <utility>

#include <openssl/evp.h>

#include "base/Bytes.h"
#include "base/VantuError.h"
#include "base/Text.h"

namespace vantu {

namespace {

constexpr const char* kMissingConfiguration = "missing tunnel provider configuration";
constexpr const char* kInvalidServerPort = "invalid server:port";
constexpr const char* kInvalidFingerprint =
    "invalid serverCertificateSHA256: expected 64 hexadecimal digits, colons allowed between bytes";
constexpr const char* kInvalidCAFile = "invalid serverCAFile: expected a file path";

// The value under `key` when it is a JSON string; any other type counts as absent.
std::optional<std::string> stringValue(const nlohmann::json& dictionary, const char* key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// JSON booleans only: neither the text "true" nor a number is a boolean here.
bool boolValue(const nlohmann::json& dictionary, const char* key, bool fallback) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_boolean()) return fallback;
    return it->get<bool>();
}

// A list all of whose elements are text; anything else, including a list with
// a single non-text element, yields the empty list.
std::vector<std::string> stringListValue(const nlohmann::json& dictionary, const char* key) {
    auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->is_array()) return {};
    std::vector<std::string> out;
    out.reserve(it->size());
    for (const auto& element : *it) {
        if (!element.is_string()) return {};
        out.push_back(element.get<std::string>());
    }
    return out;
}

// Splits "host:port" once at a colon, skipping colons at the very start and
// dropping an empty remainder, so that ":443" and "gateway:" each give one
// piece. Everything after the first separating colon stays in the second
// piece, colons included.
std::vector<std::string_view> splitServer(std::string_view text) {
    std::vector<std::string_view> pieces;
    size_t start = text.find_first_not_of(':');
    if (start == std::string_view::npos) return pieces;
    size_t colon = text.find(':', start);
    if (colon == std::string_view::npos) {
        pieces.push_back(text.substr(start));
        return pieces;
    }
    pieces.push_back(text.substr(start, colon - start));
    std::string_view rest = text.substr(colon + 1);
    if (!rest.empty()) pieces.push_back(rest);
    return pieces;
}

// Plain decimal digits only (no sign, no blanks), at most 65535.
std::optional<uint16_t> parsePort(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// What a TLS key holds instead of usable text, for its error.
const char* notUsableText(const nlohmann::json& value) {
    if (value.is_null()) return "null";
    if (value.is_boolean()) return "a boolean";
    if (value.is_number()) return "a number";
    if (value.is_array()) return "a list";
    if (value.is_object()) return "an object";
    return "empty text";
}

// The text under a TLS key, or nullopt when the key is not there at all.
// Unlike the other keys, a TLS key that is named is used or fails the load:
// null, another type or empty text read as absent would quietly send the
// secret in plain text to whoever answers.
std::optional<std::string> tlsKeyText(const nlohmann::json& dictionary, const char* key, const char* invalid) {
    const auto it = dictionary.find(key);
    if (it == dictionary.end()) return std::nullopt;
    if (!it->is_string() || it->get_ref<const std::string&>().empty()) {
        throw VantuError(std::string(invalid) + ", not " + notUsableText(*it));
    }
    return it->get<std::string>();
}

// "AB:cd:..." or "abcd..." -> 32 bytes; nullopt for anything else.
std::optional<Bytes> parseFingerprint(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ':') {
            if (high >= 0) return std::nullopt;  // a colon inside a byte
            continue;
        }
        const int digit = hexDigitValue(c);
        if (digit < 0) return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0 || out.size() != 32) return std::nullopt;
    return out;
}

}  // namespace

VantuConfig::VantuConfig(std::string host, uint16_t controlPort, std::string secret, std::string deviceID,
                         std::string clientVersion, std::vector<std::string> dnsServers, bool useServerRouting,
                         bool clientDirectCoreEnabled, bool clientDirectTCPEnabled,
                         std::string dynamicDirectRouteCacheKey)
    : host(std::move(host)),
      controlPort(controlPort),
      secret(std::move(secret)),
      deviceID(std::move(deviceID)),
      clientVersion(std::move(clientVersion)),
      dnsServers(std::move(dnsServers)),
      useServerRouting(useServerRouting),
      clientDirectCoreEnabled(clientDirectCoreEnabled),
      clientDirectTCPEnabled(clientDirectTCPEnabled),
      dynamicDirectRouteCacheKey(std::move(dynamicDirectRouteCacheKey)),
      serverName(this->host) {}

VantuConfig VantuConfig::withHost(const std::string& newHost) const {
    VantuConfig copy = *this;
    copy.host = newHost;
    return copy;
}

VantuConfig VantuConfig::fromProviderConfiguration(const std::optional<nlohmann::json>& dictionary) {
    if (!dictionary || !dictionary->is_object()) throw VantuError(kMissingConfiguration);
    const nlohmann::json& dict = *dictionary;

    auto server = stringValue(dict, "server");
    auto secret = stringValue(dict, "secretKey");
    if (!server || !secret) throw VantuError(kMissingConfiguration);

    auto pieces = splitServer(*server);
    if (pieces.size() != 2) throw VantuError(kInvalidServerPort);
    auto port = parsePort(pieces[1]);
    if (!port) throw VantuError(kInvalidServerPort);
    std::string host(pieces[0]);

    std::string cacheKey = vantu::dynamicDirectRouteCacheKey(host, *secret);
    VantuConfig config(std::move(host), *port, std::move(*secret), stringValue(dict, "deviceID").value_or(""),
                       stringValue(dict, "clientVersion").value_or(""), stringListValue(dict, "dnsServers"),
                       boolValue(dict, "useServerRouting", true), boolValue(dict, "clientDirectCoreEnabled", false),
                       boolValue(dict, "clientDirectTCPEnabled", false), std::move(cacheKey));

    if (const auto text = tlsKeyText(dict, "serverCertificateSHA256", kInvalidFingerprint)) {
        const std::optional<Bytes> fingerprint = parseFingerprint(*text);
        if (!fingerprint) throw VantuError(kInvalidFingerprint);
        config.serverCertificateSHA256 = *fingerprint;
    }
    if (auto text = tlsKeyText(dict, "serverCAFile", kInvalidCAFile)) config.serverCAFile = std::move(*text);
    return config;
}

std::string dynamicDirectRouteCacheKey(const std::string& host, const std::string& secret) {
    const std::string material = asciiLower(host) + "|" + secret;
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(material.data(), material.size(), digest.data(), &digestLength, EVP_sha256(), nullptr) != 1 ||
        digestLength < 12) {
        throw VantuError("SHA-256 failed");
    }
    return std::string(dynamicDirectRouteCachePrefix) +
           hexPrefix(Bytes(digest.begin(), digest.begin() + digestLength), 12);
}

}  // namespace vantu
