#pragma once

#include <functional>

#include "base/Bytes.h"

namespace vantu::server {

// Where the IPv4 packets of all clients go, and where packets for clients
// come from. The server calls deliver() on its network thread for every data
// frame that authenticated; the sink answers through sendToClients, which the
// server sets before it starts. sendToClients routes each packet by its
// destination address to the session holding that tunnel address and may be
// called from any thread; packets for no live session are dropped.
class PacketSink {
public:
    virtual ~PacketSink() = default;

    virtual void deliver(const Bytes& packet) = 0;
    // Called after each batch of deliver() calls (one receive batch of the
    // data socket): a sink that gathers packets to write them together
    // writes what it holds now, so nothing waits for the next batch.
    virtual void flush() {}

    std::function<void(const Bytes& packet)> sendToClients;
};

}  // namespace vantu::server
