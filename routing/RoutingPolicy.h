#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantu {

struct RouteOutbound {
    std::string tag;
    std::optional<std::string> type;
    bool operator==(const RouteOutbound&) const = default;
};

struct RouteRule {
    std::optional<std::string> type;
    std::optional<std::vector<std::string>> domain;
    std::optional<std::vector<std::string>> ip;
    std::optional<std::string> network;
    std::string outboundTag;
    bool operator==(const RouteRule&) const = default;
};

// The server's routing policy document: which domains and address ranges
// bypass the tunnel. A plain value, decoded once per control session.
class RoutingPolicy {
public:
    std::optional<int64_t> version;
    std::optional<std::string> domainStrategy;
    std::optional<bool> server_routing_enabled;
    std::optional<bool> client_route_learning_enabled;
    std::optional<std::vector<std::string>> dns_servers;
    std::optional<std::vector<std::string>> direct_domains;
    std::optional<std::vector<std::string>> proxy_domains;
    std::optional<std::vector<std::string>> direct_ips;
    std::optional<std::vector<std::string>> proxy_ips;
    std::optional<std::vector<RouteOutbound>> outbounds;
    std::optional<std::vector<RouteRule>> rules;

    // Strict decoding: null or absent leaves a member empty; a present member
    // of the wrong JSON type, or a missing required key, throws VantuError
    // with a text describing the problem.
    static RoutingPolicy decode(const nlohmann::json& object);

    bool matchesDirectDomain(const std::string& name) const;
    std::vector<std::string> directIPRoutes() const;

    // Equality compares the document, not the compiled matcher.
    bool operator==(const RoutingPolicy& other) const;

private:
    struct Matcher;
    // Normalised entries and compiled patterns, built on first use and shared
    // by copies (the document never changes after decoding, apart from
    // client_route_learning_enabled which the matcher does not read).
    mutable std::shared_ptr<const Matcher> matcher_;
    const Matcher& matcher() const;
};

}  // namespace vantu
