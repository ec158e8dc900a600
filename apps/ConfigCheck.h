#pragma once

// What vantud makes of its configuration file, said out loud: the values in
// effect (after the reading rules: a value of the wrong type counts as
// absent), a warning for every key it does not know and every value of the
// wrong type, and a warning for a file with a secret that other users can
// read. `vantud --check-config` prints all of it; every start logs the
// warnings.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Text.h"
#include "apps/CommandLine.h"
#include "base/VantuError.h"
#include "VantuPacketTunnel/config/VantuConfig.h"
#include "control/VantuControl.h"

namespace vantu::daemon {

struct ConfigurationCheck {
    std::vector<std::pair<std::string, std::string>> effective;  // name, value as shown
    std::vector<std::string> warnings;
    std::optional<std::string> error;  // the configuration cannot start a tunnel
};

inline std::string jsonTypeText(const nlohmann::json& value) {
    if (value.is_string()) return "text " + value.dump();
    if (value.is_boolean()) return "the boolean " + value.dump();
    if (value.is_number()) return "the number " + value.dump();
    if (value.is_null()) return "null";
    return std::string("a") + (value.is_array() ? " list" : "n object");
}

// The keys of the file, their JSON type, and what a missing or mistyped one
// means. The tunnel's own keys come first; killSwitch is vantud's.
struct KnownKey {
    const char* name;
    enum class Type { text, boolean, textList } type;
    // What the value becomes, for the warning; nullptr for the TLS keys,
    // where a mistyped value is an error (it never falls back to plain text).
    const char* whenAbsent;
};

inline const std::vector<KnownKey>& knownConfigurationKeys() {
    static const std::vector<KnownKey> keys = {
        {"server", KnownKey::Type::text, "missing, and the tunnel cannot start"},
        {"secretKey", KnownKey::Type::text, "missing, and the tunnel cannot start"},
        {"dnsServers", KnownKey::Type::textList, "no upstream DNS servers"},
        {"deviceID", KnownKey::Type::text, "empty"},
        {"clientVersion", KnownKey::Type::text, "empty"},
        {"useServerRouting", KnownKey::Type::boolean, "true"},
        {"clientDirectCoreEnabled", KnownKey::Type::boolean, "false"},
        {"clientDirectTCPEnabled", KnownKey::Type::boolean, "false"},
        {"serverCertificateSHA256", KnownKey::Type::text, nullptr},
        {"serverCAFile", KnownKey::Type::text, nullptr},
        {"killSwitch", KnownKey::Type::boolean, "false"},
    };
    return keys;
}

inline ConfigurationCheck checkConfiguration(const nlohmann::json& document) {
    ConfigurationCheck check;
    const auto& keys = knownConfigurationKeys();
    for (const auto& [key, value] : document.items()) {
        const auto known = std::find_if(keys.begin(), keys.end(), [&](const KnownKey& k) { return key == k.name; });
        if (known == keys.end()) {
            check.warnings.push_back("unknown key \"" + key + "\" is ignored");
            continue;
        }
        bool fits = false;
        const char* wanted = "";
        switch (known->type) {
            case KnownKey::Type::text:
                fits = value.is_string();
                wanted = "text";
                break;
            case KnownKey::Type::boolean:
                fits = value.is_boolean();
                wanted = "a boolean (true or false, without quotes)";
                break;
            case KnownKey::Type::textList:
                fits = value.is_array() &&
                       std::all_of(value.begin(), value.end(), [](const nlohmann::json& e) { return e.is_string(); });
                wanted = "a list of texts";
                break;
        }
        if (!fits && known->whenAbsent) {
            check.warnings.push_back("\"" + key + "\" is " + jsonTypeText(value) + ", not " + wanted +
                                     "; it counts as absent: " + known->whenAbsent);
        }
    }
    try {
        const VantuConfig config = VantuConfig::fromProviderConfiguration(document);
        const auto kill = document.find("killSwitch");
        check.effective = {
            {"server", config.host + ":" + std::to_string(config.controlPort)},
            {"secretKey", config.secret.empty() ? "(empty)" : "******** (" + std::to_string(config.secret.size()) +
                                                                 " characters)"},
            {"dnsServers", config.dnsServers.empty() ? "(none)" : joined(config.dnsServers, ", ")},
            {"deviceID", config.deviceID.empty() ? "(empty)" : config.deviceID},
            {"clientVersion", config.clientVersion.empty() ? "(empty)" : config.clientVersion},
            {"useServerRouting", config.useServerRouting ? "true" : "false"},
            {"clientDirectCoreEnabled", config.clientDirectCoreEnabled ? "true" : "false"},
            {"clientDirectTCPEnabled", config.clientDirectTCPEnabled ? "true" : "false"},
            {"serverCertificateSHA256", config.serverCertificateSHA256.empty()
                                            ? "(none)"
                                            : VantuControl::fingerprintText(config.serverCertificateSHA256)},
            {"serverCAFile", config.serverCAFile.empty() ? "(none)" : config.serverCAFile},
            {"control session", config.usesControlTLS() ? "TLS 1.3" : "plain TCP (no certificate pinned)"},
            {"killSwitch", kill != document.end() && kill->is_boolean() && kill->get<bool>() ? "true" : "false"},
        };
    } catch (const VantuError& e) {
        // A TLS key's error names that key; the hint is for the other two.
        const std::string message = e.what();
        const bool tlsKey = std::any_of(keys.begin(), keys.end(), [&](const KnownKey& k) {
            return !k.whenAbsent && message.find(k.name) != std::string::npos;
        });
        check.error = tlsKey ? message : message + " (server must be text \"host:port\" and secretKey text)";
    }
    return check;
}

using cli::secretFileWarning;

}  // namespace vantu::daemon
