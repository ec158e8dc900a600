#pragma once

// The data channel's state: the transport (UDP session or TCP stream) of the
// current generation, its handshake, its buffers, and what it counted.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "base/Time.h"
#include "datachannel/crypto/ReplayWindow.h"
#include "datachannel/crypto/VantuSession.h"
#include "platform/Platform.h"

namespace vantu {

using HandshakeCompletion = std::function<void(std::optional<TunnelError>)>;

struct DataChannelState {
    static constexpr double kUDPReadinessDeadline = 4.0;
    static constexpr double kUDPReadinessPollInterval = 0.1;
    static constexpr double kHandshakeTimeout = 8.0;
    static constexpr double kHandshakePingInterval = 1.0;
    static constexpr size_t kUDPDatagramBatch = 32;
    static constexpr int64_t kDefaultTunnelMTU = 1420;
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

    int dataFD = -1;
    std::shared_ptr<Cancellable> dataSource;
    std::shared_ptr<UDPSession> udpSession;
    // Bumped by every new channel; callbacks of an older one find it changed.
    int64_t dataChannelGeneration = 0;
    std::optional<HandshakeCompletion> handshakeCompletion;
    bool handshakeCompleted = false;
    bool udpReadySeen = false;
    Bytes tcpReadBuffer;
    Bytes tcpWriteBuffer;
    int64_t tcpWriteOffset = 0;
    bool tcpWriteRetryScheduled = false;

    // Counters and last errors.
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
};

}  // namespace vantu
