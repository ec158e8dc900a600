#pragma once

// The one object that owns a running tunnel. Its fields are grouped by concern;
// each group's operations are defined in the folder of their subsystem:
//   VantuPacketTunnel/  configuration, start, network settings, stop
//   datachannel/        frames, UDP channel, keepalive
//   packetpath/         the packet read loop
//   diagnostics/        event log, channel summaries, report, app messages
// Everything runs on the platform's one serial work queue; callbacks hold the
// provider weakly and check the data-channel generation or the identity of
// the transport object they belong to before touching state.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VantuPacketTunnel/Bytes.h"
#include "VantuPacketTunnel/Time.h"
#include "VantuPacketTunnel/VantuError.h"
#include "VantuPacketTunnel/config/VantuConfig.h"
#include "datachannel/crypto/ReplayWindow.h"
#include "datachannel/crypto/VantuSession.h"
#include "platform/Platform.h"
#include "directcore/DirectSessions.h"
#include "directcore/codec/DirectCodec.h"
#include "routing/LocalDNSResolver.h"
#include "routing/TunnelDNSQueries.h"

namespace vantu {

using StartCompletion = std::function<void(std::optional<TunnelError>)>;
using HandshakeCompletion = std::function<void(std::optional<TunnelError>)>;

struct PendingDNSQuery;

// The direct routes in the form the per-packet gate needs, rebuilt only when
// the session or the learned set changes.
struct CompiledDirectRoutes {
    std::weak_ptr<VantuSession> session;
    bool forSession = false;
    uint64_t learnedVersion = 0;
    size_t learnedCount = 0;
    bool valid = false;
    std::vector<std::pair<uint32_t, uint32_t>> networks;  // (network, mask)
    bool contains(uint32_t address) const {
        for (const auto& [network, mask] : networks)
            if ((address & mask) == network) return true;
        return false;
    }
};

class PacketTunnelProvider : public std::enable_shared_from_this<PacketTunnelProvider> {
public:
    // ------------------------------------------------------------ constants
    static constexpr int kMaxDiagnosticEvents = 120;
    static constexpr const char* kDiagnosticEventsKey = "vantu.diagnostics.events";
    static constexpr const char* kDiagnosticSequenceKey = "vantu.diagnostics.sequence";
    static constexpr const char* kLastStoppedSnapshotKey = "vantu.diagnostics.lastStoppedSnapshot";
    static constexpr bool packetLoggingEnabled = false;
    static constexpr bool dnsRoutingLoggingEnabled = false;
    static constexpr int kMaxDynamicDirectRoutes = 192;
    static constexpr int kMaxSystemDynamicDirectRoutes = 128;
    static constexpr double kDynamicDirectRouteCacheTTL = 21600.0;

    static constexpr const char* kDNSUpstreamPort = "53";
    static constexpr const char* kDefaultDNSUpstream = "1.1.1.1";
    static constexpr double kDNSReadinessDeadline = 2.0;
    static constexpr double kDNSReadinessPollInterval = 0.05;
    static constexpr double kDNSQueryTimeout = 3.0;
    static constexpr size_t kMaxDNSQueriesInFlight = 256;

    static constexpr double kUDPReadinessDeadline = 4.0;
    static constexpr double kUDPReadinessPollInterval = 0.1;
    static constexpr double kHandshakeTimeout = 8.0;
    static constexpr double kHandshakePingInterval = 1.0;
    static constexpr size_t kUDPDatagramBatch = 32;
    static constexpr double keepaliveInterval = 10.0;
    static constexpr double keepaliveTimeout = 35.0;
    static constexpr double kDirectActivityKeepaliveInterval = 10.0;

    static constexpr double kDirectUDPReadyDeadline = 2.0;
    static constexpr double kDirectUDPReadyPollInterval = 0.05;
    static constexpr double kDirectUDPIdleLimit = 30.0;
    static constexpr size_t kDirectUDPDatagramBatch = 32;
    static constexpr double kDirectTCPConnectDeadline = 5.0;
    static constexpr double kDirectTCPReadyPollInterval = 0.05;
    static constexpr double kDirectTCPIdleLimit = 60.0;
    static constexpr double kDirectTCPFailureWindow = 20.0;
    static constexpr int kDirectTCPFailuresToDisable = 6;
    static constexpr int64_t kDefaultTunnelMTU = 1420;
    // The largest window towards the application: without window scaling
    // (our SYN-ACK offers none) a TCP window field holds at most this.
    static constexpr size_t kDirectTCPWindow = 65535;
    // Flows are keyed by what applications choose (a source port each):
    // beyond these the flow quiet longest makes room for the new one.
    static constexpr size_t kDefaultMaxDirectUDPFlows = 16384;
    static constexpr size_t kDefaultMaxDirectTCPFlows = 2048;
    // What the TCP relay holds of one connection's data (accepted from the
    // application, not yet taken by the outside connection), and of all
    // connections' data together.
    static constexpr size_t kDirectTCPMaxHeldBytesPerFlow = kDirectTCPWindow;
    static constexpr size_t kDirectTCPMaxHeldBytes = 64 << 20;
    // Retransmission towards the application: the first timeout, its
    // ceiling as it doubles, the expiries in a row after which the
    // application is taken for gone, and the duplicate acknowledgements that
    // tell of a lost segment at once.
    static constexpr double kDirectTCPRetransmitTimeout = 0.2;
    static constexpr double kDirectTCPMaxRetransmitTimeout = 3.2;
    static constexpr int kDirectTCPMaxRetransmitTimeouts = 6;
    static constexpr int kDirectTCPDuplicateAcks = 3;
    // TCP data channel.
    static constexpr int64_t maxTCPWriteBufferBytes = 8388608;
    static constexpr int64_t kTCPCompactionThreshold = 65536;
    static constexpr uint32_t kMaxTCPFrameBytes = 1048576;
    static constexpr size_t kTCPReceiveChunk = 65535;
    static constexpr int kTCPSocketBufferBytes = 4194304;
    static constexpr double kTCPWriteRetryDelay = 0.01;
    // A connect to a silent server would otherwise hold the work queue for
    // the system's own SYN timeout, about two minutes.
    static constexpr double kTCPConnectTimeout = 4.0;
    // Lines about undecryptable units: a burst of this many, then this many
    // a second, whatever an on-path sender floods the channel with.
    static constexpr double kDecryptLogBurst = 5.0;
    static constexpr double kDecryptLogLinesPerSecond = 1.0;

    static constexpr uint8_t kFramePing = 0x01;
    static constexpr uint8_t kFrameData = 0x02;
    static constexpr uint8_t kFramePong = 0x81;
    static constexpr uint8_t kFrameServerData = 0x82;

    explicit PacketTunnelProvider(Platform platform);
    static std::shared_ptr<PacketTunnelProvider> create(Platform platform) {
        return std::make_shared<PacketTunnelProvider>(platform);
    }
    PacketTunnelProvider(const PacketTunnelProvider&) = delete;
    PacketTunnelProvider& operator=(const PacketTunnelProvider&) = delete;

    // ------------------------------------------------------------ platform entry points
    void startTunnel(StartCompletion completionHandler);
    void stopTunnel(int reason, std::function<void()> completionHandler);
    void handleAppMessage(const Bytes& message, std::function<void(std::optional<Bytes>)> completionHandler);

    // ============================================================ state
    // Session and configuration
    std::shared_ptr<VantuSession> session;
    std::optional<VantuConfig> activeConfig;
    std::string currentServerAddress;
    WorkQueue& queue;

    // Data channel
    int dataFD = -1;
    std::shared_ptr<Cancellable> dataSource;
    std::shared_ptr<UDPSession> udpSession;
    int64_t dataChannelGeneration = 0;
    std::optional<HandshakeCompletion> handshakeCompletion;
    bool handshakeCompleted = false;
    bool udpReadySeen = false;
    Bytes tcpReadBuffer;
    Bytes tcpWriteBuffer;
    int64_t tcpWriteOffset = 0;
    bool tcpWriteRetryScheduled = false;

    // Data channel counters and last errors
    int64_t udpSendAttempts = 0, udpSendCompletions = 0, udpSendFailures = 0, udpDatagramsReceived = 0;
    std::string lastUDPSessionState = "not-started";
    std::string lastUDPSendError;
    int64_t tcpSendAttempts = 0, tcpSendFailures = 0, tcpSentBytes = 0, tcpReceivedBytes = 0, tcpFramesReceived = 0;
    std::string lastTCPSendError, lastTCPReceiveError;
    // Frames refused because the write buffer was full: congestion towards a
    // slow server, counted and reported but not a broken channel.
    int64_t tcpSendBufferOverflows = 0;
    bool tcpSendBufferOverflowReported = false;  // one event per episode
    std::string lastSentPlainPreview, lastReceivedPlainPreview, lastDecryptError;
    // IP packets carried by data frames and their bytes, whatever the
    // transport: what `vantuctl status` shows as traffic.
    int64_t tunnelPacketsOut = 0, tunnelBytesOut = 0, tunnelPacketsIn = 0, tunnelBytesIn = 0;
    // Every unit that did not open counts; the log lines about them are
    // rate limited and say how many were left out in between.
    int64_t decryptFailures = 0, decryptLogLinesSuppressed = 0;
    double decryptLogTokens = kDecryptLogBurst;

    // Packet path batches: while a batch of packets from the system or of
    // units from the server is handled, what it sends is gathered and
    // handed to the platform in one call at the end (one system call for
    // many packets instead of one each).
    struct PacketBatches {
        int depth = 0;  // open PacketBatchScopes
        std::shared_ptr<UDPSession> outboundCarrier;
        std::vector<Bytes> outboundUnits;
        // Stream frames appended to the TCP write buffer during the batch,
        // sent with one send() at its end.
        bool streamFlushPending = false;
        std::vector<Bytes> inboundPackets;
        std::vector<int> inboundProtocols;
        // Buffers of units and packets that are done, kept for the next
        // ones so that the steady state allocates nothing per packet.
        std::vector<Bytes> spareBuffers;
    };
    PacketBatches packetBatches;
    Instant decryptLogRefilledAt = kDistantPast;
    // The session whose sequence numbers ran out, once its channel was failed
    // for it: later sends on it are dropped without another event.
    std::weak_ptr<VantuSession> exhaustedSendSession;
    // Server units already seen, or too old to tell: a copy replayed by
    // someone on the path is dropped, so it neither reaches the system twice
    // nor keeps the keepalive satisfied. One window per session.
    ReplayWindow serverUnitWindow;
    std::weak_ptr<VantuSession> serverUnitWindowSession;
    int64_t replayedUnitsDropped = 0, reflectedUnitsDropped = 0;

    // UDP data recovery
    bool dataRecoveryInProgress = false;
    int64_t dataRecoveryAttempts = 0, dataRecoverySuccesses = 0, dataRecoveryFailures = 0;
    std::string lastDataRecoveryError;

    // Keepalive and default path
    std::shared_ptr<Cancellable> keepaliveSource;
    Instant lastDataFrameReceivedAt = kDistantPast;
    Instant lastKeepaliveProbeAt = kDistantPast;
    int64_t keepaliveTimeouts = 0;
    std::optional<NetworkPath> lastDefaultPath;
    std::string lastDefaultPathSummary;

    // Termination and stop
    bool isTerminatingTunnel = false;
    Instant tunnelUpSince = kDistantPast;  // when the network settings of the last start took
    std::string lastTunnelFailure;
    std::string lastStopReason;
    std::string lastStoppedSnapshot;

    // Learned direct routes
    std::set<std::string> dynamicDirectRoutes;
    std::string dynamicDirectRouteCacheKey;
    bool dynamicRouteUpdateScheduled = false, dynamicRouteUpdateInFlight = false;
    std::vector<std::function<void()>> dynamicRouteUpdateCompletions, inFlightDynamicRouteUpdateCompletions;
    Instant lastDynamicRouteUpdateAt = kDistantPast;
    std::string lastDynamicRouteUpdateError;
    int64_t lastDynamicRouteApplyDurationMS = 0, lastAppliedDynamicRouteCount = 0;
    int64_t dynamicRouteApplyAttempts = 0, dynamicRouteApplySuccesses = 0, dynamicRouteApplyFailures = 0,
            dynamicRouteApplySchedules = 0;

    // DNS
    std::map<std::string, std::shared_ptr<UDPSession>> dnsSessions;
    int64_t dnsQueryCount = 0, dnsResponseCount = 0, dnsFallbackCount = 0, dnsFailureCount = 0;
    bool dnsInFlightLimitReached = false;  // logged once per episode
    // The queries sent into the tunnel by the fallback: only their answers,
    // besides the upstream's, teach direct routes.
    TunnelDNSQueries tunnelDNSQueries;
    int64_t dnsDirectMatchCount = 0, dnsDirectInsertedRoutes = 0, dnsDirectRepeatedMatches = 0,
            dnsDirectLimitDrops = 0;

    // Direct core
    bool clientDirectCoreEnabled = false, clientDirectTCPEnabled = false;
    bool directTCPDisabledForSession = false;
    Instant directTCPFailureWindowStartedAt = kDistantPast;
    int64_t directTCPFailureWindowCount = 0;
    Instant lastDirectActivityKeepaliveAt = kDistantPast;
    DirectFlowTable<DirectUDPSessionBox> directUDPSessions;
    DirectFlowTable<DirectTCPSessionBox> directTCPSessions;
    size_t maxDirectUDPFlows = kDefaultMaxDirectUDPFlows, maxDirectTCPFlows = kDefaultMaxDirectTCPFlows;
    std::shared_ptr<HeldBytes::Pool> directTCPHeldBytes =
        std::make_shared<HeldBytes::Pool>(HeldBytes::Pool{0, kDirectTCPMaxHeldBytes});
    // Bumped whenever dynamicDirectRoutes changes, so the gate's compiled
    // routes know when to rebuild.
    uint64_t dynamicDirectRoutesVersion = 0;
    CompiledDirectRoutes compiledDirectRoutes;
    int64_t directUDPPacketsIntercepted = 0, directUDPSessionsOpened = 0, directUDPPayloadsSent = 0,
            directUDPResponsesWritten = 0, directUDPReadFailures = 0, directUDPWriteFailures = 0,
            directUDPTimeouts = 0, directUDPIdleCloses = 0;
    int64_t directTCPSegmentsIntercepted = 0, directTCPSessionsOpened = 0, directTCPPayloadsSent = 0,
            directTCPResponsesWritten = 0, directTCPConnectFailures = 0, directTCPReadFailures = 0,
            directTCPWriteFailures = 0, directTCPIdleCloses = 0;
    // Flows closed to make room for new ones, and application data dropped
    // unacknowledged because the relay held as much as it may.
    int64_t directUDPEvictions = 0, directTCPEvictions = 0, directTCPHeldLimitDrops = 0;
    // Application payload beyond the window we advertised, dropped unacknowledged.
    int64_t directTCPWindowDrops = 0;
    // Segments sent to the application again, and connections reset because
    // the application acknowledged nothing through every retransmission.
    int64_t directTCPRetransmits = 0, directTCPRetransmitResets = 0;

    // Diagnostics
    int64_t diagnosticsSequence = 0;
    std::vector<std::string> diagnosticsEvents;

    // ============================================================ operations
    // --- configuration and start (VantuPacketTunnel/)
    VantuConfig loadConfig() const;
    static std::optional<std::string> resolveIPv4(const std::string& host);
    // The control exchange; replaceable so that tests can run the start
    // sequence without a control server. Defaults to VantuControl::open.
    std::function<std::shared_ptr<VantuSession>(const VantuConfig&)> openControlSession;

    // --- network settings (VantuPacketTunnel/)
    TunnelNetworkSettings networkSettings(const std::string& serverAddress, const VantuSession& session);
    static std::optional<IPv4Route> serverExclusionRoute(const std::string& address);

    // --- stop and termination (VantuPacketTunnel/)
    static std::string stopReasonDescription(int reason);
    void closeDataChannel();
    void terminateTunnel(const std::string& reason);
    void finishDynamicRouteUpdateCompletions();

    // --- frames (datachannel/)
    void sendFrame(uint8_t type, const Bytes& payload);
    void sendPingFrame();
    void sendPlainFrame(const Bytes& frame);
    void sealAndSendFrame(std::optional<uint8_t> type, const uint8_t* payload, size_t length);
    void decryptAndHandlePacket(const Bytes& unit) { decryptAndHandlePacket(unit.data(), unit.size()); }
    void decryptAndHandlePacket(const uint8_t* unit, size_t size);
    void handleFrame(const Bytes& frame);
    void handleFrame(uint8_t type, Bytes&& body);
    // Gathers the packet path's writes while it lives; the outermost scope
    // writes them when it ends.
    class PacketBatchScope {
    public:
        explicit PacketBatchScope(PacketTunnelProvider& provider) : provider_(provider) {
            ++provider_.packetBatches.depth;
        }
        ~PacketBatchScope() {
            if (--provider_.packetBatches.depth == 0) provider_.flushPacketBatches();
        }
        PacketBatchScope(const PacketBatchScope&) = delete;
        PacketBatchScope& operator=(const PacketBatchScope&) = delete;

    private:
        PacketTunnelProvider& provider_;
    };
    void flushPacketBatches();
    void flushOutboundUnits();
    Bytes takeSpareBuffer();
    void keepSpareBuffers(std::vector<Bytes>& buffers);

    // --- UDP data channel (datachannel/)
    void startDataChannel(const std::string& host, std::shared_ptr<VantuSession> session, HandshakeCompletion completion);
    void startUDPConnection(const std::string& host, std::shared_ptr<VantuSession> session, int64_t generation);
    void waitForUDPSessionReady(std::shared_ptr<UDPSession> udp, const std::string& host,
                                std::shared_ptr<VantuSession> session, int64_t generation, Instant deadline);
    void scheduleUDPPing(std::shared_ptr<UDPSession> udp, int64_t generation);
    void finishHandshake(std::optional<TunnelError> error);
    void failDataChannel(const std::string& message);

    // --- TCP data channel (datachannel/)
    void startTCPConnection(const std::string& host, std::shared_ptr<VantuSession> session, int64_t generation);
    void receiveSocketFrames();
    void receiveTCPBytes(const Bytes& bytes);
    // Throws VantuError "TCP send buffer overflow" when the frame does not fit.
    void enqueueTCPWrite(const Bytes& streamFrame);
    void flushTCPWriteBuffer();
    void compactTCPWriteBufferIfNeeded();
    void failTCPSend(const std::string& text);
    void scheduleTCPWriteRetry();
    void scheduleTCPPing(int64_t generation);

    // --- UDP data recovery (datachannel/)
    void recoverUDPDataChannel(const std::string& reason);
    void openFreshSessionForUDPRecovery(const VantuConfig& config, const std::string& reason);
    void finishFailedUDPRecovery(const std::string& message);

    // --- keepalive and default path (datachannel/)
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
    // At `sequence`, or at serverNextSequence when none is given.
    void sendDirectTCP(uint8_t flags, const uint8_t* payload, size_t length, const DirectTCPKey& key,
                       DirectTCPSessionBox& box, std::optional<uint32_t> sequence = std::nullopt);
    void sendDirectTCPReset(const DirectTCPKey& key, uint32_t sequence, uint32_t acknowledgement);
    void writeDirectTCPPayload(Bytes data, const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void flushDirectTCPPendingWrites(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void readDirectTCP(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void sendDirectTCPPayload(const Bytes& data, const DirectTCPKey& key,
                              const std::shared_ptr<DirectTCPSessionBox>& box);
    // The application acknowledged `advanced` more sequence numbers (none
    // for a duplicate). False when that ended the connection.
    bool directTCPAcknowledged(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box,
                               uint32_t advanced, bool duplicate);
    // Something is outstanding towards the application from now on, or
    // again after progress: the retransmission timer runs from now.
    void startDirectTCPRetransmitTimer(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void armDirectTCPRetransmitTimer(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    void expiredDirectTCPRetransmit(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box);
    // Sends the oldest unacknowledged segment (or our FIN) again.
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
    // Ends a query once: a reply packet for an answer, the query into the
    // tunnel otherwise.
    void finishDNSQuery(const std::shared_ptr<PendingDNSQuery>& pending, std::optional<Bytes> response);
    // A query into the tunnel, noted so that its answer may teach routes.
    void sendDNSQueryIntoTunnel(const LocalDNSResolver::Query& query);
    // Every packet from the tunnel: only an answer to a query this client
    // sent there teaches routes. Calls completion exactly once, after the
    // learned set took them.
    void applyDirectRoutesFromDNS(const Bytes& packet, const std::function<void()>& completion);
    // An answer known to be for one of this client's queries (the upstream's
    // reply, or a matched answer from the tunnel); completion as above.
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

    // Platform services.
    PacketFlow& packetFlow;
    TunnelHost& host;
    DefaultsStore& defaults;
    SystemLog& systemLog;

private:
    // Continuation of the start sequence once the data channel answered.
    void continueStartAfterDataChannel(std::optional<TunnelError> error, const std::string& serverAddress,
                                       StartCompletion completion);
    void handleReadBatch(const std::vector<Bytes>& packets);
    bool isCurrentDNSQuery(const PendingDNSQuery& pending, const UDPSession* upstream) const;
    void handleDNSUpstreamRead(const std::shared_ptr<PendingDNSQuery>& pending, const UDPSession& upstream,
                               std::vector<Bytes> datagrams, std::optional<TunnelError> error);
    // The overall bound of a query has passed.
    void expiredDNSQuery(const std::shared_ptr<PendingDNSQuery>& pending, const UDPSession& upstream);
    void handleUDPWriteCompletion(const std::weak_ptr<UDPSession>& written, std::optional<TunnelError> error,
                                  size_t unitLength);
};

}  // namespace vantu
