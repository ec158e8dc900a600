#pragma once

// Packet path batches: while a batch of packets from the system or of units
// from the server is handled, what it sends is gathered and handed to the
// platform in one call at the end (one system call for many packets instead
// of one each).

#include <memory>
#include <vector>

#include "base/Bytes.h"
#include "platform/Platform.h"

namespace vantu {

struct PacketBatches {
    int depth = 0;  // open PacketBatchScopes
    std::shared_ptr<UDPSession> outboundCarrier;
    std::vector<Bytes> outboundUnits;
    // Stream frames appended to the TCP write buffer during the batch, sent
    // with one send() at its end.
    bool streamFlushPending = false;
    std::vector<Bytes> inboundPackets;
    std::vector<int> inboundProtocols;
    // Buffers of units and packets that are done, kept for the next ones so
    // that the steady state allocates nothing per packet.
    std::vector<Bytes> spareBuffers;
};

class PacketTunnelProvider;

// Gathers the packet path's writes while it lives; the outermost scope
// writes them when it ends.
class PacketBatchScope {
public:
    explicit PacketBatchScope(PacketTunnelProvider& provider);
    ~PacketBatchScope();
    PacketBatchScope(const PacketBatchScope&) = delete;
    PacketBatchScope& operator=(const PacketBatchScope&) = delete;

private:
    PacketTunnelProvider& provider_;
};

}  // namespace vantu
