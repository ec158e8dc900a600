#include "server/DataService.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <asio/post.hpp>
#include <iterator>

namespace vantu::server {

namespace {

// Datagrams taken per wake-up before yielding to other handlers.
constexpr int kReceiveBatch = 64;
constexpr size_t kNonceLength = 12;
constexpr size_t kTagLength = 16;
constexpr uint8_t kPongFrame[] = {kFramePong, 'p', 'o', 'n', 'g'};


}  // namespace

DataService::DataService(asio::io_context& io, const ServerConfig& config, SessionTable& sessions, ServerStats& stats,
                         Logger log, PacketSink& sink)
    : config_(config),
      sessions_(sessions),
      stats_(stats),
      log_(std::move(log)),
      sink_(sink),
      socket_(io),
      receiver_(kReceiveBatch) {}

void DataService::start() {
    const asio::ip::udp::endpoint endpoint(asio::ip::make_address(config_.dataAddress), config_.dataPort);
    socket_.open(endpoint.protocol());
    socket_.bind(endpoint);
    // All clients share this one socket: give it room for their bursts
    // (the FORCE options pass the sysctl caps when running as root).
    const int bytes = 16 << 20;
    const int fd = socket_.native_handle();
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    // Sends never wait: a datagram that does not fit the socket buffer is
    // dropped like any other lost datagram.
    socket_.non_blocking(true);
    // Datagrams of one client that arrive together are taken as one buffer
    // and cut apart here: one trip through the stack instead of one each.
    UDPBatchReceiver::enableGRO(fd);
    port_ = socket_.local_endpoint().port();
    receive();
}

void DataService::stop() {
    std::error_code ignored;
    socket_.close(ignored);
}

void DataService::receive() {
    socket_.async_wait(asio::socket_base::wait_read, [this](const std::error_code& ec) {
        if (ec == asio::error::operation_aborted || !socket_.is_open()) return;
        if (ec) {
            log_("data: receive failed: " + ec.message());
        } else {
            const long received = receiver_.receive(
                socket_.native_handle(), [this](const uint8_t* data, size_t length, const sockaddr* from, socklen_t fromLength) {
                    if (fromLength > from_.capacity()) return;
                    std::memcpy(from_.data(), from, fromLength);
                    from_.resize(fromLength);
                    handleDatagram(data, length, from_);
                });
            if (received < 0 && received != -EAGAIN && received != -EWOULDBLOCK) {
                log_(std::string("data: receive failed: ") + std::strerror(static_cast<int>(-received)));
            }
            sink_.flush();
            flushSends();
        }
        receive();
    });
}

std::shared_ptr<ServerSession> DataService::openUnit(const uint8_t* data, size_t length, uint32_t& seq,
                                                     std::optional<uint8_t>& type, Bytes& body) {
    if (length < kNonceLength + kTagLength) {
        ++stats_.unitsTooShort;
        return nullptr;
    }
    const uint32_t sessionID = readBE32(data);
    seq = readBE32(data + 4);
    const uint32_t direction = readBE32(data + 8);

    auto session = sessions_.find(sessionID);
    if (!session) {
        ++stats_.unitsUnknownSession;
        return nullptr;
    }
    // Both directions share one key, so a unit the server sealed itself could
    // otherwise be reflected back at it and consume the client's sequence
    // numbers in the replay window.
    if (direction != VantuSession::kClientDirection) {
        ++stats_.unitsWrongDirection;
        return nullptr;
    }
    // Cheap check first; the window only moves once the tag verified.
    if (!session->mayAccept(seq)) {
        ++stats_.unitsReplayed;
        return nullptr;
    }
    try {
        type = session->cipher.openFrame(data + kNonceLength, length - kNonceLength - kTagLength,
                                         data + length - kTagLength, data, body);
    } catch (const std::exception&) {
        ++stats_.unitsAuthFailed;
        session->noteAuthFailure();
        return nullptr;
    }
    return session;
}

const Bytes& DataService::pongFrame() {
    static const Bytes pong(std::begin(kPongFrame), std::end(kPongFrame));
    return pong;
}

void DataService::handleDatagram(const uint8_t* data, size_t length, const asio::ip::udp::endpoint& from) {
    ++stats_.datagramsReceived;
    uint32_t seq = 0;
    std::optional<uint8_t> type;
    const auto session = openUnit(data, length, seq, type, body_);
    if (!session) return;
    if (!session->acceptUnit(seq, from)) {
        ++stats_.unitsReplayed;
        return;
    }
    ++stats_.unitsAccepted;
    if (handleFrame(*session, type, body_)) sendFrame(*session, from, kPongFrame, sizeof kPongFrame);
}

bool DataService::handleFrame(ServerSession& session, std::optional<uint8_t> type, const Bytes& body) {
    if (!type) {
        ++stats_.framesIgnored;
        return false;
    }
    switch (*type) {
        case kFramePing:
            ++stats_.pingsAnswered;
            return true;
        case kFrameData: {
            // Only the session's own tunnel address may appear as source:
            // replies are routed by destination, so a forged source would
            // steer them to another client.
            if (body.size() < 20 || (body[0] >> 4) != 4 || readBE32(&body[12]) != session.tunnelIP) {
                ++stats_.packetsRejected;
                return false;
            }
            ++stats_.packetsDelivered;
            sink_.deliver(body);
            return false;
        }
        default:
            ++stats_.framesIgnored;
            return false;
    }
}

void DataService::sendToClient(const Bytes& packet) {
    if (packet.size() < 20 || (packet[0] >> 4) != 4) {
        ++stats_.packetsWithoutSession;
        return;
    }
    const auto session = sessions_.findByTunnelIP(readBE32(&packet[16]));
    if (!session) {
        ++stats_.packetsWithoutSession;
        return;
    }
    frame_.clear();
    frame_.push_back(kFrameServerData);
    frame_.insert(frame_.end(), packet.begin(), packet.end());
    if (streamSender && streamSender(*session, frame_.data(), frame_.size())) {
        ++stats_.packetsToClients;
        return;
    }
    const auto endpoint = session->endpoint();
    if (!endpoint) {
        ++stats_.packetsWithoutSession;
        return;
    }
    ++stats_.packetsToClients;
    sendFrame(*session, *endpoint, frame_.data(), frame_.size());
}

void DataService::sendFrame(ServerSession& session, const asio::ip::udp::endpoint& to, const uint8_t* frame,
                            size_t length) {
    if (txCount_ == txUnits_.size()) {
        txUnits_.emplace_back();
        txTo_.emplace_back();
    }
    Bytes& unit = txUnits_[txCount_];
    unit.clear();
    try {
        if (!session.seal(frame, length, unit)) {
            ++stats_.sendFailures;
            return;
        }
    } catch (const std::exception& e) {
        ++stats_.sendFailures;
        log_("data: sealing for session " + hex8(session.id) + " failed: " + e.what());
        return;
    }
    if (session.sendingExhausted() && session.nextSendSeq() == 0xFFFFFFFF) {
        log_("data: session " + hex8(session.id) + " used its last sequence number; it sends nothing more");
    }
    txTo_[txCount_] = to;
    ++txCount_;
    if (txCount_ >= UDPBatchSender::kMaxMessages * UDPBatchSender::kMaxSegments) {
        flushSends();
        return;
    }
    // Packets from the TUN arrive in handlers of their own; whatever they
    // seal before this posted flush runs leaves in one system call.
    if (!txFlushPosted_) {
        txFlushPosted_ = true;
        asio::post(socket_.get_executor(), [this] { flushSends(); });
    }
}

void DataService::flushSends() {
    txFlushPosted_ = false;
    if (txCount_ == 0) return;
    txBatch_.clear();
    for (size_t i = 0; i < txCount_; ++i) {
        txBatch_.push_back({txUnits_[i].data(), txUnits_[i].size(), txTo_[i].data(),
                            static_cast<socklen_t>(txTo_[i].size())});
    }
    size_t done = 0;
    while (done < txCount_ && socket_.is_open()) {
        const UDPBatchSender::Result result = sender_.send(socket_.native_handle(), txBatch_.data() + done, txCount_ - done);
        done += result.sent;
        if (result.error == 0) continue;
        // Sends never wait: what the socket buffer cannot take now is lost
        // like any datagram on the way, and counted.
        if (result.error == EAGAIN || result.error == EWOULDBLOCK) {
            stats_.sendFailures += txCount_ - done;
            break;
        }
        stats_.sendFailures += result.failed;
        done += result.failed;
    }
    txCount_ = 0;
}

}  // namespace vantu::server
