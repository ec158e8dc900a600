#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <exception>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "base/Text.h"
#include "base/Utf8.h"

namespace vantu {

namespace {

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

}  // namespace

VantuConfig PacketTunnelProvider::loadConfig() const {
    const auto protocol = host.protocolConfiguration();
    if (!protocol || !protocol->isPacketTunnelProvider) {
        throw VantuError("missing tunnel provider configuration");
    }
    return VantuConfig::fromProviderConfiguration(protocol->providerConfiguration);
}

std::optional<std::string> PacketTunnelProvider::resolveIPv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* results = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &results);
    if (rc != 0 || results == nullptr) {
        if (results != nullptr) ::freeaddrinfo(results);
        return std::nullopt;
    }
    std::optional<std::string> address;
    if (results->ai_addr != nullptr && results->ai_addr->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(results->ai_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) address = std::string(text);
    }
    ::freeaddrinfo(results);
    return address;
}

void PacketTunnelProvider::startTunnel(StartCompletion completionHandler) {
    // The provider is kept alive for the whole start: the platform waits for
    // this completion whatever happens.
    auto self = shared_from_this();
    queue.submit([self, completion = std::move(completionHandler)]() {
        PacketTunnelProvider& p = *self;

        // Every failure before the data channel ends the start the same way.
        auto failStart = [&p, &completion](const TunnelError& error) {
            p.lifecycle.lastTunnelFailure = "startTunnel failed: " + error.description();
            p.recordDiagnostic(p.lifecycle.lastTunnelFailure);
            if (completion) completion(error);
        };

        p.lifecycle.isTerminatingTunnel = false;
        p.loadPersistedDiagnostics();
        p.recordDiagnostic("startTunnel");

        VantuConfig config;
        try {
            config = p.loadConfig();
        } catch (const VantuError& error) {
            failStart(TunnelError::fromVantu(error));
            return;
        }
        p.activeConfig = config;
        const std::string endpoint = config.host + ":" + std::to_string(config.controlPort);
        p.recordDiagnostic("config server=" + endpoint + " serverRouting=" + boolText(config.useServerRouting) +
                           " directCoreUDP=" + boolText(config.clientDirectCoreEnabled) +
                           " directCoreTCP=" + boolText(config.clientDirectTCPEnabled) +
                           " dns=" + joined(config.dnsServers, ","));
        p.recordDiagnostic("opening control session to " + endpoint);

        // The control exchange blocks the queue for its whole deadline, so no
        // other provider work interleaves with the start.
        std::shared_ptr<VantuSession> opened;
        try {
            opened = p.openControlSession(config);
        } catch (const std::exception& error) {
            // Anything escaping the exchange is this start's failure; the
            // platform hears about it like any other. The text may quote
            // what the server sent, so it is made UTF-8 before it is kept.
            failStart(TunnelError::fromVantu(replacingInvalidUTF8(error.what())));
            return;
        }
        if (!opened) {
            failStart(TunnelError::fromVantu("control session rejected"));
            return;
        }
        p.session = opened;

        p.directCore.udpEnabled = config.clientDirectCoreEnabled;
        p.directCore.tcpEnabled = config.clientDirectTCPEnabled;
        p.directCore.tcpDisabledForSession = false;
        p.directCore.tcpFailureWindowStartedAt = kDistantPast;
        p.directCore.tcpFailureWindowCount = 0;
        p.learnedRoutes.cacheKey = config.dynamicDirectRouteCacheKey;
        if (p.directCore.udpEnabled || p.directCore.tcpEnabled) {
            p.learnedRoutes.routes = p.loadCachedDynamicDirectRoutes(config.dynamicDirectRouteCacheKey);
        } else {
            p.learnedRoutes.routes.clear();
        }
        ++p.learnedRoutes.version;

        p.recordDiagnostic("control session opened tunnelIP=" + opened->tunnelIP +
                           " dataPort=" + std::to_string(opened->dataPort) + " mtu=" + std::to_string(opened->mtu) +
                           " transport=" + opened->transport);

        // A host the resolver cannot turn into IPv4 is handed on as written.
        const std::string serverAddress = resolveIPv4(config.host).value_or(config.host);
        p.recordDiagnostic("server address resolved to " + serverAddress);

        // The completion is stored in the provider (dataChannel.handshakeCompletion), so
        // it holds the provider weakly.
        std::weak_ptr<PacketTunnelProvider> weak = self;
        p.startDataChannel(serverAddress, opened,
                           [weak, serverAddress, completion](std::optional<TunnelError> error) {
                               if (auto provider = weak.lock()) {
                                   provider->continueStartAfterDataChannel(error, serverAddress, completion);
                               }
                           });
    });
}

void PacketTunnelProvider::continueStartAfterDataChannel(std::optional<TunnelError> error,
                                                         const std::string& serverAddress,
                                                         StartCompletion completion) {
    if (error) {
        lifecycle.lastTunnelFailure = "data channel handshake failed: " + error->description();
        recordDiagnostic(lifecycle.lastTunnelFailure);
        if (completion) completion(error);
        return;
    }
    // A verified handshake always belongs to the current session; only a
    // teardown racing the verification could leave none, and then the start
    // has nothing left to configure.
    if (!session) {
        const auto stopped = TunnelError::fromVantu("tunnel stopped during start");
        lifecycle.lastTunnelFailure = "data channel handshake failed: " + stopped.description();
        recordDiagnostic(lifecycle.lastTunnelFailure);
        if (completion) completion(stopped);
        return;
    }
    recordDiagnostic(upperCased(session->transport) + " data channel verified");
    currentServerAddress = serverAddress;
    const TunnelNetworkSettings settings = networkSettings(serverAddress, *session);

    // The platform delivers the settings completion through the work queue.
    // The provider is held strongly: the start completion must still be
    // answered, and nothing in the provider holds this closure.
    auto self = shared_from_this();
    host.setTunnelNetworkSettings(settings, [self, completion](std::optional<TunnelError> settingsError) {
        if (settingsError) {
            self->lifecycle.lastTunnelFailure = "setTunnelNetworkSettings failed: " + settingsError->description();
            self->recordDiagnostic(self->lifecycle.lastTunnelFailure);
            if (completion) completion(settingsError);
            return;
        }
        self->lifecycle.tunnelUpSince = self->now();
        self->recordDiagnostic("network settings applied");
        self->readPackets();
        if (completion) completion(std::nullopt);
    });
}

}  // namespace vantu
