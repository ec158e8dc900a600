#include "server/StreamDataService.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <array>
#include <cstdio>

namespace vantu::server {

namespace {


}  // namespace

struct StreamDataService::Connection {
    explicit Connection(asio::ip::tcp::socket s, uint64_t id) : socket(std::move(s)), id(id) {}
    asio::ip::tcp::socket socket;
    const uint64_t id;
    std::array<uint8_t, 65536> rx{};
    Bytes pending;  // received bytes not yet forming a whole unit
    Bytes queued;   // stream frames waiting for the socket
    Bytes writing;  // the frames of the write in flight
    bool closed = false;
};

StreamDataService::StreamDataService(asio::io_context& io, const ServerConfig& config, DataService& data,
                                     ServerStats& stats, Logger log)
    : io_(io), config_(config), data_(data), stats_(stats), log_(std::move(log)), acceptor_(io) {
    data_.streamSender = [this](ServerSession& session, const uint8_t* frame, size_t length) {
        return send(session, frame, length);
    };
}

StreamDataService::~StreamDataService() { data_.streamSender = nullptr; }

void StreamDataService::start(uint16_t port) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(config_.dataAddress), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    accept();
}

void StreamDataService::stop() {
    std::error_code ignored;
    acceptor_.close(ignored);
    for (auto& [id, connection] : connections_) {
        connection->closed = true;
        connection->socket.close(ignored);
    }
    connections_.clear();
    bySession_.clear();
}

void StreamDataService::accept() {
    acceptor_.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            log_("data: tcp accept failed: " + ec.message());
            // Out of descriptors: try again a little later instead of spinning.
            auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
            timer->async_wait([this, timer](const std::error_code&) { accept(); });
            return;
        }
        std::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        auto connection = std::make_shared<Connection>(std::move(socket), nextConnectionID_++);
        connections_[connection->id] = connection;
        ++stats_.streamConnections;
        read(connection);
        accept();
    });
}

void StreamDataService::read(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_read_some(asio::buffer(connection->rx),
                                       [this, connection](const std::error_code& ec, size_t length) {
                                           if (connection->closed) return;
                                           if (ec) {
                                               close(connection);
                                               return;
                                           }
                                           handleBytes(connection, length);
                                           data_.flushDelivered();
                                           if (!connection->closed) read(connection);
                                       });
}

void StreamDataService::handleBytes(const std::shared_ptr<Connection>& connection, size_t length) {
    Bytes& buffer = connection->pending;
    buffer.insert(buffer.end(), connection->rx.begin(), connection->rx.begin() + static_cast<std::ptrdiff_t>(length));
    size_t at = 0;
    while (buffer.size() - at >= 4) {
        const uint32_t unitLength = readBE32(buffer.data() + at);
        if (unitLength == 0 || unitLength > kMaxFrameBytes) {
            ++stats_.streamFramesInvalid;
            close(connection);
            return;
        }
        if (buffer.size() - at < 4 + static_cast<size_t>(unitLength)) break;
        const uint8_t* unit = buffer.data() + at + 4;
        at += 4 + unitLength;

        ++stats_.datagramsReceived;
        uint32_t seq = 0;
        std::optional<uint8_t> type;
        const auto session = data_.openUnit(unit, unitLength, seq, type, body_);
        if (!session) continue;
        if (!session->acceptStreamUnit(seq)) {
            ++stats_.unitsReplayed;
            continue;
        }
        ++stats_.unitsAccepted;
        // The latest connection that proved the key carries the replies.
        bySession_[session->id] = connection;
        if (data_.handleFrame(*session, type, body_)) {
            const Bytes& pong = DataService::pongFrame();
            queueUnit(connection, *session, pong.data(), pong.size());
        }
        if (connection->closed) return;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(at));
}

bool StreamDataService::send(ServerSession& session, const uint8_t* frame, size_t length) {
    const auto it = bySession_.find(session.id);
    if (it == bySession_.end()) return false;
    const auto connection = it->second.lock();
    if (!connection || connection->closed) {
        bySession_.erase(it);
        return false;
    }
    queueUnit(connection, session, frame, length);
    return true;
}

void StreamDataService::queueUnit(const std::shared_ptr<Connection>& connection, ServerSession& session,
                                  const uint8_t* frame, size_t length) {
    if (connection->queued.size() + connection->writing.size() >= kMaxQueuedBytes) {
        ++stats_.streamUnitsDropped;
        return;
    }
    Bytes& out = connection->queued;
    const size_t at = out.size();
    out.resize(at + 4);
    if (!session.seal(frame, length, out)) {
        out.resize(at);
        ++stats_.sendFailures;
        if (session.sendingExhausted()) {
            log_("data: session " + hex8(session.id) + " used its last sequence number; it sends nothing more");
        }
        return;
    }
    const uint32_t unitLength = static_cast<uint32_t>(out.size() - at - 4);
    out[at] = static_cast<uint8_t>(unitLength >> 24);
    out[at + 1] = static_cast<uint8_t>(unitLength >> 16);
    out[at + 2] = static_cast<uint8_t>(unitLength >> 8);
    out[at + 3] = static_cast<uint8_t>(unitLength);
    if (connection->writing.empty()) write(connection);
}

void StreamDataService::write(const std::shared_ptr<Connection>& connection) {
    if (connection->closed || connection->queued.empty()) return;
    connection->writing.swap(connection->queued);
    connection->queued.clear();
    asio::async_write(connection->socket, asio::buffer(connection->writing),
                      [this, connection](const std::error_code& ec, size_t) {
                          connection->writing.clear();
                          if (connection->closed) return;
                          if (ec) {
                              ++stats_.sendFailures;
                              close(connection);
                              return;
                          }
                          write(connection);
                      });
}

void StreamDataService::close(const std::shared_ptr<Connection>& connection) {
    if (connection->closed) return;
    connection->closed = true;
    std::error_code ignored;
    connection->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    connection->socket.close(ignored);
    connections_.erase(connection->id);
    for (auto it = bySession_.begin(); it != bySession_.end();) {
        const auto held = it->second.lock();
        it = (!held || held == connection) ? bySession_.erase(it) : std::next(it);
    }
}

}  // namespace vantu::server
