#include "server/DataService.h"

#include <sys/socket.h>

#include <cstdio>
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
    : config_(config), sessions_(sessions), stats_(stats), log_(std::move(log)), sink_(sink), socket_(io) {}

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
    port_ = socket_.local_endpoint().port();
    receive();
}

void DataService::stop() {
    std::error_code ignored;
    socket_.close(ignored);
}

void DataService::receive() {
    socket_.async_receive_from(asio::buffer(rx_), from_, [this](const std::error_code& ec, size_t length) {
        if (ec == asio::error::operation_aborted || !socket_.is_open()) return;
        if (ec) {
            log_("data: receive failed: " + ec.message());
        } else {
            handleDatagram(rx_.data(), length, from_);
            // Take what else is queued without another trip through the reactor.
            for (int i = 1; i < kReceiveBatch; ++i) {
                std::error_code again;
                const size_t n = socket_.receive_from(asio::buffer(rx_), from_, 0, again);
                if (again) break;
                handleDatagram(rx_.data(), n, from_);
            }
            sink_.flush();
        }
        receive();
    });
}

std::shared_ptr<ServerSession> DataService::openUnit(const uint8_t* data, size_t length, uint32_t& seq, Bytes& frame) {
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
        frame = session->cipher.open(data + kNonceLength, length - kNonceLength - kTagLength,
                                     data + length - kTagLength, data);
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
    Bytes frame;
    const auto session = openUnit(data, length, seq, frame);
    if (!session) return;
    if (!session->acceptUnit(seq, from)) {
        ++stats_.unitsReplayed;
        return;
    }
    ++stats_.unitsAccepted;
    if (handleFrame(*session, frame)) sendFrame(*session, from, kPongFrame, sizeof kPongFrame);
}

bool DataService::handleFrame(ServerSession& session, Bytes& frame) {
    if (frame.empty()) {
        ++stats_.framesIgnored;
        return false;
    }
    switch (frame[0]) {
        case kFramePing:
            ++stats_.pingsAnswered;
            return true;
        case kFrameData: {
            // Only the session's own tunnel address may appear as source:
            // replies are routed by destination, so a forged source would
            // steer them to another client.
            const size_t n = frame.size() - 1;
            if (n < 20 || (frame[1] >> 4) != 4 || readBE32(&frame[1 + 12]) != session.tunnelIP) {
                ++stats_.packetsRejected;
                return false;
            }
            frame.erase(frame.begin());
            ++stats_.packetsDelivered;
            sink_.deliver(frame);
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
    tx_.clear();
    try {
        if (!session.seal(frame, length, tx_)) {
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
    std::error_code ec;
    socket_.send_to(asio::buffer(tx_), to, 0, ec);
    if (ec) ++stats_.sendFailures;
}

}  // namespace vantu::server
