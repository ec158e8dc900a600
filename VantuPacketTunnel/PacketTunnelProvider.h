#pragma once

// The one object that owns a running tunnel. Each subsystem keeps its state
// in a struct of its own folder, where its operations below are defined.
// Everything runs on the platform's one serial work queue; callbacks hold the
// provider weakly and check the data-channel generation or the identity of
// the transport object they belong to before touching state.

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VantuPacketTunnel/LifecycleState.h"
#include "VantuPacketTunnel/config/VantuConfig.h"
#include "datachannel/DataChannelState.h"
#include "datachannel/KeepaliveState.h"
#include "datachannel/RecoveryState.h"
#include "diagnostics/DiagnosticsState.h"
#include "directcore/DirectCoreState.h"
#include "packetpath/PacketBatches.h"
#include "routing/LocalDNSResolver.h"
#include "routing/provider/DNSState.h"
#include "routing/provider/LearnedRoutes.h"

namespace vantu {

using StartCompletion = std::function<void(std::optional<TunnelError>)>;
struct PendingDNSQuery;

class PacketTunnelProvider : public std::enable_shared_from_this<PacketTunnelProvider> {
public:
    explicit PacketTunnelProvider(Platform platform);
    static std::shared_ptr<PacketTunnelProvider> create(Platform platform) {
        return std::make_shared<PacketTunnelProvider>(platform);
    }
    PacketTunnelProvider(const PacketTunnelProvider&) = delete;
    PacketTunnelProvider& operator=(const PacketTunnelProvider&) = delete;

    void startTunnel(StartCompletion completionHandler);
    void stopTunnel(int reason, std::function<void()> completionHandler);
    void handleAppMessage(const Bytes& message, std::function<void(std::optional<Bytes>)> completionHandler);

    // State, one struct per subsystem, then the operations by folder.
    std::shared_ptr<VantuSession> session;
    std::optional<VantuConfig> activeConfig;
    std::string currentServerAddress;
    WorkQueue& queue;
    LifecycleState lifecycle;
    DataChannelState dataChannel;
    PacketBatches packetBatches;
    RecoveryState recovery;
    KeepaliveState keepalive;
    LearnedRoutes learnedRoutes;
    DNSState dns;
    DirectCoreState directCore;
    DiagnosticsState diagnostics;
    // --- configuration, start, network settings, stop (VantuPacketTunnel/)
    VantuConfig loadConfig() const;
    static std::optional<std::string> resolveIPv4(const std::string& host);
    // The control exchange (VantuControl::open); tests replace it.
    std::function<std::shared_ptr<VantuSession>(const VantuConfig&)> openControlSession;
    TunnelNetworkSettings networkSettings(const std::string& serverAddress, const VantuSession& session);
    static std::optional<IPv4Route> serverExclusionRoute(const std::string& address);
    static std::string stopReasonDescription(int reason);
    void closeDataChannel();
    void terminateTunnel(const std::string& reason);
    void finishDynamicRouteUpdateCompletions();

    // --- frames and packet batches (datachannel/, packetpath/)
    void sendFrame(uint8_t type, const Bytes& payload);
    void sendPingFrame();
    void sendPlainFrame(const Bytes& frame);
    void sealAndSendFrame(std::optional<uint8_t> type, const uint8_t* payload, size_t length);
    void decryptAndHandlePacket(const Bytes& unit) { decryptAndHandlePacket(unit.data(), unit.size()); }
    void decryptAndHandlePacket(const uint8_t* unit, size_t size);
    void handleFrame(const Bytes& frame);
    void handleFrame(uint8_t type, Bytes&& body);
    void flushPacketBatches();
    void flushOutboundUnits();
    Bytes takeSpareBuffer();
    void keepSpareBuffers(std::vector<Bytes>& buffers);

    // --- UDP and TCP data channels, recovery, keepalive (datachannel/)
    void startDataChannel(const std::string& host, std::shared_ptr<VantuSession> session, HandshakeCompletion completion);
    void startUDPConnection(const std::string& host, std::shared_ptr<VantuSession> session, int64_t generation);
    void waitForUDPSessionReady(std::shared_ptr<UDPSession> udp, const std::string& host,
                                std::shared_ptr<VantuSession> session, int64_t generation, Instant deadline);
    void scheduleUDPPing(std::shared_ptr<UDPSession> udp, int64_t generation);
    void finishHandshake(std::optional<TunnelError> error);
    void failDataChannel(const std::string& message);
    void startTCPConnection(const std::string& host, std::shared_ptr<VantuSession> session, int64_t generation);
    void receiveSocketFrames();
    void receiveTCPBytes(const Bytes& bytes);
    void enqueueTCPWrite(const Bytes& streamFrame);
    void flushTCPWriteBuffer();
    void compactTCPWriteBufferIfNeeded();
    void failTCPSend(const std::string& text);
    void scheduleTCPWriteRetry();
    void scheduleTCPPing(int64_t generation);
    void recoverUDPDataChannel(const std::string& reason);
    void openFreshSessionForUDPRecovery(const VantuConfig& config, const std::string& reason);
    void finishFailedUDPRecovery(const std::string& message);
    void startKeepalive();
    void runKeepaliveProbe();
    std::string defaultPathSummary() const;
    bool isDefaultPathUnavailable() const;

    // --- packet read loop (packetpath/)
    void readPackets();
    bool handleDirectCorePacket(const Bytes& packet);
    std::set<std::string> currentCoreDirectRoutes() const;
    void sendDirectActivityKeepaliveIfNeeded();

    // --- direct core (directcore/)
    void handleDirectUDPDatagram(DirectUDPCore::Datagram datagram);
    std::shared_ptr<DirectUDPSessionBox> makeDirectUDPSession(const DirectUDPKey& key);
    void writeDirectUDPPayload(Bytes payload, const DirectUDPKey& key, const std::shared_ptr<DirectUDPSessionBox>& box,
                               Instant deadline);
    void scheduleDirectUDPCleanup(const DirectUDPKey& key);
    void removeDirectUDPSession(const DirectUDPKey& key);
    void makeRoomForDirectUDPFlow();
    void handleDirectTCPSegment(DirectTCPCore::Segment segment);
    void makeDirectTCPSession(const DirectTCPKey& key, const DirectTCPCore::Segment& syn);
    int directTCPMaxPayloadSize(std::optional<int> clientMSS) const;
    void waitForDirectTCPReady(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box,
                               Instant deadline);
    void sendDirectTCP(uint8_t flags, const uint8_t* payload, size_t length, const DirectTCPKey& key,
                       DirectTCPSessionBox& box, std::optional<uint32_t> sequence = std::nullopt);
    void sendDirectTCPReset(const DirectTCPKey& key, uint32_t sequence, uint32_t acknowledgement);
    void writeDirectTCPPayload(Bytes data, const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void flushDirectTCPPendingWrites(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void readDirectTCP(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void sendDirectTCPPayload(const Bytes& data, const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    bool directTCPAcknowledged(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box,
                               uint32_t advanced, bool duplicate);
    void startDirectTCPRetransmitTimer(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void armDirectTCPRetransmitTimer(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void expiredDirectTCPRetransmit(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void retransmitDirectTCP(const DirectTCPKey& key, DirectTCPSessionBox& box);
    void scheduleDirectTCPCleanup(const DirectTCPKey& key);
    void recordDirectTCPFailure(const std::string& reason, bool fatal);
    void disableDirectTCPForSession(const std::string& reason);
    void removeDirectTCPSession(const DirectTCPKey& key);
    void makeRoomForDirectTCPFlow();
    bool isDirectDestination(uint32_t address);

    // --- DNS answering and learned direct routes (routing/provider/)
    void resolveDNSQuery(LocalDNSResolver::Query query);
    void waitForDNSSessionReady(const std::shared_ptr<UDPSession>& upstream,
                                const std::shared_ptr<PendingDNSQuery>& pending, Instant deadline);
    void finishDNSQuery(const std::shared_ptr<PendingDNSQuery>& pending, std::optional<Bytes> response);
    void sendDNSQueryIntoTunnel(const LocalDNSResolver::Query& query);
    void applyDirectRoutesFromDNS(const Bytes& packet, const std::function<void()>& completion);
    void learnDirectRoutesFromAnswer(const Bytes& packet, const std::function<void()>& completion);
    static std::optional<std::string> dynamicDirectRouteKey(const std::string& route);
    std::set<std::string> loadCachedDynamicDirectRoutes(const std::string& cacheKey);
    void persistDynamicDirectRoutes();
    void applyDynamicDirectRoutesIfNeeded(bool waitForApply, const std::function<void()>& completion);

    // --- diagnostics (diagnostics/)
    void log(const std::string& message) const;
    void logDNS(const std::string& message) const;
    void logPacket(const std::string& message) const;
    void recordDiagnostic(const std::string& message);
    std::string diagnosticTimestamp() const;
    static std::string formatTimestamp(Instant instant);
    void loadPersistedDiagnostics();
    void persistDiagnostics();
    std::string udpDiagnostics();
    std::string tcpDiagnostics() const;
    void resetUDPDiagnostics();
    void resetTCPDiagnostics();
    void persistLastStoppedSnapshot();
    std::string diagnosticsSnapshot(bool includeLastStoppedSnapshot = true);
    std::string formatAgeSince(Instant instant) const;
    void resetDiagnosticsCounters();

    Instant now() const { return queue.now(); }
    PacketFlow& packetFlow;  // the platform's services
    TunnelHost& host;
    DefaultsStore& defaults;
    SystemLog& systemLog;

private:
    void continueStartAfterDataChannel(std::optional<TunnelError> error, const std::string& serverAddress,
                                       StartCompletion completion);
    void handleReadBatch(const std::vector<Bytes>& packets);
    bool isCurrentDNSQuery(const PendingDNSQuery& pending, const UDPSession* upstream) const;
    void handleDNSUpstreamRead(const std::shared_ptr<PendingDNSQuery>& pending, const UDPSession& upstream,
                               std::vector<Bytes> datagrams, std::optional<TunnelError> error);
    void expiredDNSQuery(const std::shared_ptr<PendingDNSQuery>& pending, const UDPSession& upstream);
    void handleUDPWriteCompletion(const std::weak_ptr<UDPSession>& written, std::optional<TunnelError> error,
                                  size_t unitLength);
};

}  // namespace vantu
