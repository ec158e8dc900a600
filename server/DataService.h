#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "platform/linux/UDPBatch.h"
#include "server/PacketSink.h"
#include "server/ServerConfig.h"
#include "server/ServerStats.h"
#include "server/SessionTable.h"

namespace vantu::server {

// Frame types of the plain frames inside encrypted units.
constexpr uint8_t kFramePing = 0x01;
constexpr uint8_t kFrameData = 0x02;
constexpr uint8_t kFramePong = 0x81;
constexpr uint8_t kFrameServerData = 0x82;

// The UDP data service. Each datagram is one encrypted unit: the nonce
// (session id, sequence, direction), the ciphertext of one plain frame and
// the tag. A unit is routed by the session id in its first four bytes and
// must authenticate under that session's key and pass its replay window;
// everything else is dropped without an answer, so that nothing on this port
// answers a sender who holds no session key.
//
// Runs on one io_context thread; every member, sendToClient included, must
// be called on that thread.
class DataService {
public:
    DataService(asio::io_context& io, const ServerConfig& config, SessionTable& sessions, ServerStats& stats,
                Logger log, PacketSink& sink);

    // Binds (throws std::system_error) and starts receiving.
    void start();
    void stop();
    uint16_t port() const { return port_; }

    // Seals one IPv4 packet as a server data frame for the session holding
    // its destination address and sends it to that client: on its TCP data
    // connection when it has one, otherwise to its latest UDP endpoint.
    void sendToClient(const Bytes& packet);

    // The checks every unit passes, whatever carried it: length, a known
    // session, the client's direction, the replay window and the tag. On
    // success the session and the opened frame, with the unit's sequence
    // number in `seq`; the unit is not yet recorded in the window. Null
    // otherwise, counted in the stats.
    // The frame comes back as its type byte (none for an empty frame) and
    // the rest in `body`, whose buffer is reused from call to call.
    std::shared_ptr<ServerSession> openUnit(const uint8_t* data, size_t length, uint32_t& seq,
                                            std::optional<uint8_t>& type, Bytes& body);
    // Dispatches an accepted frame: data goes to the sink. True when the
    // frame was a ping whose pong the caller sends back on its own carrier.
    bool handleFrame(ServerSession& session, std::optional<uint8_t> type, const Bytes& body);
    // Ends a batch of handleFrame() calls: the sink writes what it gathered.
    void flushDelivered() { sink_.flush(); }
    static const Bytes& pongFrame();

    // Sends a sealed frame to a client over TCP; returns false when the
    // session has no TCP data connection. Set by the TCP data service.
    std::function<bool(ServerSession& session, const uint8_t* frame, size_t length)> streamSender;

private:
    void receive();
    void handleDatagram(const uint8_t* data, size_t length, const asio::ip::udp::endpoint& from);
    // Seals the frame into the send batch; the batch goes out when the
    // current receive batch ends, or from a handler posted for it.
    void sendFrame(ServerSession& session, const asio::ip::udp::endpoint& to, const uint8_t* frame, size_t length);
    void flushSends();

    const ServerConfig& config_;
    SessionTable& sessions_;
    ServerStats& stats_;
    Logger log_;
    PacketSink& sink_;
    asio::ip::udp::socket socket_;
    uint16_t port_ = 0;
    UDPBatchReceiver receiver_;
    asio::ip::udp::endpoint from_;
    Bytes body_;  // the frame being handled, reused
    Bytes frame_;
    // Sealed units waiting for one batched send, with their destinations;
    // the buffers are kept and reused, only the first txCount_ are live.
    std::vector<Bytes> txUnits_;
    std::vector<asio::ip::udp::endpoint> txTo_;
    size_t txCount_ = 0;
    bool txFlushPosted_ = false;
    UDPBatchSender sender_;
    std::vector<UDPBatchSender::Datagram> txBatch_;
};

}  // namespace vantu::server
