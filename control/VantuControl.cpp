// The control request and response: the request line, strict decoding of
// the server's answer, and its validation into a session record.

#include "control/VantuControl.h"

#include <unistd.h>

#include <array>
#include <limits>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/Utf8.h"
#include "base/VantuError.h"
#include "base/Text.h"

namespace vantu {
namespace VantuControl {

namespace {

using nlohmann::json;

// The parser quotes the bytes where it stopped, and those may be the very
// bytes that are not UTF-8; the message ends up in events and the store.
VantuError decodeError(const std::string& detail) {
    return VantuError("invalid control response: " + replacingInvalidUTF8(detail));
}

// A key whose value is null counts as absent.
const json* presentField(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::string> stringField(const json& object, const char* key) {
    const json* value = presentField(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) throw decodeError(std::string("\"") + key + "\" is not a string");
    return value->get<std::string>();
}

// Integers only: a number written with a fraction or exponent, or a number in
// quotes, is a different JSON type and fails the document.
std::optional<int64_t> integerField(const json& object, const char* key) {
    const json* value = presentField(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto unsignedValue = value->get<uint64_t>();
        if (unsignedValue > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            throw decodeError(std::string("\"") + key + "\" is out of range");
        }
        return static_cast<int64_t>(unsignedValue);
    }
    if (!value->is_number_integer()) throw decodeError(std::string("\"") + key + "\" is not an integer");
    return value->get<int64_t>();
}

std::string lowercasedASCII(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Closes the control socket on every path once it is connected.
class SocketCloser {
public:
    explicit SocketCloser(int socket) : socket_(socket) {}
    ~SocketCloser() { ::close(socket_); }
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;

private:
    int socket_;
};

}  // namespace

ControlResponse ControlResponse::decode(const Bytes& bytes) {
    json document;
    try {
        document = json::parse(bytes.begin(), bytes.end());
    } catch (const json::exception& error) {
        throw decodeError(error.what());
    }
    if (!document.is_object()) throw decodeError("not a JSON object");

    ControlResponse response;
    auto status = stringField(document, "status");
    if (!status) throw decodeError("missing \"status\"");
    response.status = std::move(*status);
    response.message = stringField(document, "message");
    response.udp_port = integerField(document, "udp_port");
    response.data_port = integerField(document, "data_port");
    response.transport = stringField(document, "transport");
    response.cipher = stringField(document, "cipher");
    response.session_id = stringField(document, "session_id");
    response.session_key = stringField(document, "session_key");
    response.tunnel_ip = stringField(document, "tunnel_ip");
    response.tunnel_mtu = integerField(document, "tunnel_mtu");
    if (const json* routing = presentField(document, "routing")) {
        if (!routing->is_object()) throw decodeError("\"routing\" is not an object");
        try {
            response.routing = RoutingPolicy::decode(*routing);
        } catch (const VantuError& error) {
            throw decodeError("routing: " + error.message());
        } catch (const json::exception& error) {
            throw decodeError(std::string("routing: ") + error.what());
        }
    }
    return response;
}

Bytes encodeRequest(const VantuConfig& config, const std::string& action,
                    const std::optional<std::string>& preferredTransport) {
    json object = json::object();
    object["action"] = action;
    object["secret"] = config.secret;
    object["device_id"] = config.deviceID;
    object["client_version"] = config.clientVersion;
    if (preferredTransport) object["data_transport"] = *preferredTransport;

    std::string text;
    try {
        text = object.dump();
    } catch (const json::exception& error) {
        // Text that is not UTF-8 cannot be serialised; the encoder's own words explain it.
        throw VantuError(error.what());
    }
    Bytes line(text.begin(), text.end());
    line.push_back(0x0A);
    return line;
}

ControlResponse request(const VantuConfig& config, const std::string& action,
                        const std::optional<std::string>& preferredTransport, Instant deadline) {
    const Bytes line = encodeRequest(config, action, preferredTransport);
    const int socket = connectControlSocket(config.host, config.controlPort, deadline);
    SocketCloser closer(socket);
    if (config.usesControlTLS()) {
        // The channel goes before the closer: its close_notify needs the socket.
        const std::string& name = config.serverName.empty() ? config.host : config.serverName;
        TLSChannel channel(socket, TLSPin{config.serverCertificateSHA256, config.serverCAFile, name}, deadline);
        channel.write(line, deadline);
        return channel.read(deadline, &ControlResponse::decode);
    }
    writeControlPayload(line, socket, deadline);
    return readControlResponse(socket, deadline, &ControlResponse::decode);
}

ControlResponse request(const VantuConfig& config, const std::string& action,
                        const std::optional<std::string>& preferredTransport) {
    const Instant deadline = std::chrono::system_clock::now() +
                             std::chrono::duration_cast<Instant::duration>(Duration(requestTimeout));
    return request(config, action, preferredTransport, deadline);
}

std::optional<uint32_t> parseSessionID(const std::string& text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<uint64_t>(digit);
        // Leading zeros are harmless; a value past 32 bits is not an identifier.
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<Bytes> decodeBase64(const std::string& text) {
    // Padded standard alphabet only: no white space, no URL-safe letters, no
    // missing padding.
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::array<int, 4> v{};
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=') {
                // Padding may only fill the last one or two places of the last group.
                if (!last || j < 2) return std::nullopt;
                ++padding;
                v[j] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;
            v[j] = base64Value(c);
            if (v[j] < 0) return std::nullopt;
        }
        const uint32_t group = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        out.push_back(static_cast<uint8_t>(group >> 16));
        if (padding < 2) out.push_back(static_cast<uint8_t>(group >> 8));
        if (padding < 1) out.push_back(static_cast<uint8_t>(group));
    }
    return out;
}

std::shared_ptr<VantuSession> sessionFromResponse(const VantuConfig& config, const ControlResponse& response,
                                                  const LogSink& log) {
    if (response.status != "ok") {
        throw VantuError(response.message.value_or("control session rejected"));
    }

    // The three are read in this order; the message is the same for each.
    const char* const missingParameters = "control response is missing tunnel parameters";
    const std::optional<uint32_t> sessionID =
        response.session_id ? parseSessionID(*response.session_id) : std::nullopt;
    if (!sessionID) throw VantuError(missingParameters);
    const std::optional<Bytes> keyData = response.session_key ? decodeBase64(*response.session_key) : std::nullopt;
    if (!keyData) throw VantuError(missingParameters);
    if (!response.tunnel_ip) throw VantuError(missingParameters);

    // A present data_port wins even when it is unusable.
    const int64_t dataPort = response.data_port.value_or(response.udp_port.value_or(0));
    if (dataPort <= 0 || dataPort > 65535) throw VantuError("control response is missing data port");

    const std::string cipherName = lowercasedASCII(response.cipher.value_or("aes-128-gcm"));
    const std::string transport = lowercasedASCII(response.transport.value_or("udp"));
    if (transport != "udp" && transport != "tcp") {
        throw VantuError("macOS packet tunnel does not support transport " + transport);
    }

    // The server's routing policy applies only when the client asks for it,
    // but its DNS servers are a fallback either way.
    std::optional<RoutingPolicy> routingPolicy;
    if (config.useServerRouting && response.routing) {
        routingPolicy = *response.routing;
        routingPolicy->client_route_learning_enabled = config.clientDirectCoreEnabled || config.clientDirectTCPEnabled;
    }
    std::vector<std::string> dnsServers = config.dnsServers;
    if (dnsServers.empty() && response.routing && response.routing->dns_servers) {
        dnsServers = *response.routing->dns_servers;
    }

    if (log) {
        log(std::string("client routing overrides: useServerRouting=") + boolText(config.useServerRouting) +
            " directCoreUDP=" + boolText(config.clientDirectCoreEnabled) +
            " directCoreTCP=" + boolText(config.clientDirectTCPEnabled) + " dns=" + joined(dnsServers, ","));
    }

    const int64_t mtu = response.tunnel_mtu.value_or(defaultTunnelMTU);
    return std::make_shared<VantuSession>(*sessionID, *keyData, cipherName, *response.tunnel_ip, mtu,
                                          static_cast<uint16_t>(dataPort), transport, std::move(dnsServers),
                                          std::move(routingPolicy));
}

std::shared_ptr<VantuSession> open(const VantuConfig& config, const LogSink& log, Instant deadline) {
    const ControlResponse response = request(config, "open", std::nullopt, deadline);
    return sessionFromResponse(config, response, log);
}

std::shared_ptr<VantuSession> open(const VantuConfig& config, const LogSink& log) {
    const ControlResponse response = request(config, "open", std::nullopt);
    return sessionFromResponse(config, response, log);
}

}  // namespace VantuControl
}  // namespace vantu
