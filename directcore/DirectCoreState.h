#pragma once

// The direct core: UDP flows and TCP connections to direct destinations,
// relayed over outside sockets instead of the tunnel.

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "base/Time.h"
#include "datachannel/crypto/VantuSession.h"
#include "directcore/DirectSessions.h"
#include "directcore/codec/DirectCodec.h"
#include "platform/Platform.h"

namespace vantu {

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

struct DirectCoreState {
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

    bool udpEnabled = false, tcpEnabled = false;
    bool tcpDisabledForSession = false;
    Instant tcpFailureWindowStartedAt = kDistantPast;
    int64_t tcpFailureWindowCount = 0;
    Instant lastActivityKeepaliveAt = kDistantPast;
    DirectFlowTable<DirectUDPSessionBox> udpSessions;
    DirectFlowTable<DirectTCPSessionBox> tcpSessions;
    size_t maxUDPFlows = kDefaultMaxDirectUDPFlows, maxTCPFlows = kDefaultMaxDirectTCPFlows;
    std::shared_ptr<HeldBytes::Pool> tcpHeldBytes = std::make_shared<HeldBytes::Pool>(HeldBytes::Pool{0, kDirectTCPMaxHeldBytes});
    CompiledDirectRoutes compiledRoutes;
    int64_t udpPacketsIntercepted = 0, udpSessionsOpened = 0, udpPayloadsSent = 0, udpResponsesWritten = 0,
            udpReadFailures = 0, udpWriteFailures = 0, udpTimeouts = 0, udpIdleCloses = 0;
    int64_t tcpSegmentsIntercepted = 0, tcpSessionsOpened = 0, tcpPayloadsSent = 0, tcpResponsesWritten = 0,
            tcpConnectFailures = 0, tcpReadFailures = 0, tcpWriteFailures = 0, tcpIdleCloses = 0;
    // Flows closed to make room for new ones, and application data dropped
    // unacknowledged because the relay held as much as it may.
    int64_t udpEvictions = 0, tcpEvictions = 0, tcpHeldLimitDrops = 0;
    // Application payload beyond the window we advertised, dropped unacknowledged.
    int64_t tcpWindowDrops = 0;
    // Segments sent to the application again, and connections reset because
    // the application acknowledged nothing through every retransmission.
    int64_t tcpRetransmits = 0, tcpRetransmitResets = 0;
};

}  // namespace vantu
