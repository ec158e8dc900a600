#include "server/StreamDataService.h"

#include <algorithm>

namespace vantu::server {

namespace {

// One read of the service's buffer; a connection that fills it is read
// again on its next turn, after the others had theirs.
constexpr size_t kReadBytes = 65536;
constexpr int kReadsPerTurn = 4;

}  // namespace

struct StreamDataService::Connection {
    Connection(asio::ip::tcp::socket s, uint64_t id, std::string address)
        : socket(std::move(s)), id(id), address(std::move(address)) {}
    asio::ip::tcp::socket socket;
    const uint64_t id;
    const std::string address;
    std::optional<uint32_t> session;  // set by the first authenticated unit
    Bytes pending;  // the part of a unit (or of its length) received so far
    Bytes queued;   // stream frames waiting for the socket
    Bytes writing;  // the frames of the write in flight
    bool closed = false;
};

StreamDataService::StreamDataService(asio::io_context& io, const ServerConfig& config, DataService& data,
                                     SessionTable& sessions, ServerStats& stats, Logger log, ServerClock clock)
    : io_(io), config_(config), data_(data), sessions_(sessions), stats_(stats), log_(std::move(log)),
      now_(orSteadyClock(std::move(clock))), maxUnitBytes_(config.maxUnitBytes()), acceptor_(io), acceptRetry_(io),
      gate_({config.maxStreamPending, config.maxStreamPendingPerPeer, config.streamAuthTimeout}),
      sweep_(io, gate_, now_, [this](const std::vector<uint64_t>& expired) { closeExpired(expired); }),
      rx_(kReadBytes) {
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
    acceptor_.listen(asio::socket_base::max_listen_connections);
    accept();
}

void StreamDataService::stop() {
    std::error_code ignored;
    acceptor_.close(ignored);
    sweep_.stop();
    acceptRetry_.cancel();
    for (auto& [id, connection] : connections_) {
        connection->closed = true;
        connection->socket.close(ignored);
    }
    connections_.clear();
    bySession_.clear();
}

void StreamDataService::note(LogBudget& budget, const std::string& line) {
    if (auto admitted = budget.admit(line, now_())) log_(*admitted);
}

void StreamDataService::accept() {
    acceptor_.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            // Out of descriptors: the connection stays in the backlog, and
            // accepting again at once would fail the same way in a loop.
            if (!acceptFailing_) log_("data: tcp accept failed: " + ec.message() + "; pausing accepts");
            acceptFailing_ = true;
            acceptRetry_.expires_after(kAcceptRetryDelay);
            acceptRetry_.async_wait([this](const std::error_code& wait) {
                if (!wait && acceptor_.is_open()) accept();
            });
            return;
        }
        acceptFailing_ = false;
        std::error_code error;
        const auto remote = socket.remote_endpoint(error);
        const std::string address = error ? std::string("unknown") : peerKey(remote.address());
        const uint64_t id = nextConnectionID_++;
        const auto admission = gate_.admit(id, address, now_());
        if (!admission.admitted) {
            ++stats_.streamRefused;
            note(refusedLog_, "data: refusing tcp connections from " + address + ": " +
                                  std::to_string(gate_.from(address)) + " unauthenticated from that address");
            socket.close(error);
            accept();
            return;
        }
        if (admission.evicted) {
            ++stats_.streamEvicted;
            if (const auto it = connections_.find(*admission.evicted); it != connections_.end()) close(it->second);
            note(closedLog_, "data: " + std::to_string(gate_.size()) +
                                 " unauthenticated tcp connections; the oldest made room for a new one");
        }
        socket.set_option(asio::ip::tcp::no_delay(true), error);
        socket.non_blocking(true, error);
        auto connection = std::make_shared<Connection>(std::move(socket), id, address);
        connections_[id] = connection;
        ++stats_.streamConnections;
        sweep_.arm();
        read(connection);
        accept();
    });
}

void StreamDataService::closeExpired(const std::vector<uint64_t>& expired) {
    stats_.streamTimeouts += expired.size();
    for (const uint64_t id : expired) {
        if (const auto it = connections_.find(id); it != connections_.end()) close(it->second);
    }
    note(closedLog_, "data: closed " + std::to_string(expired.size()) +
                         " tcp connections without an authenticated unit in time");
}

void StreamDataService::read(const std::shared_ptr<Connection>& connection) {
    connection->socket.async_wait(asio::socket_base::wait_read, [this, connection](const std::error_code& ec) {
        if (connection->closed) return;
        if (ec) {
            close(connection);
            return;
        }
        for (int turn = 0; turn < kReadsPerTurn && !connection->closed; ++turn) {
            std::error_code error;
            const size_t n = connection->socket.read_some(asio::buffer(rx_), error);
            if (error == asio::error::would_block || error == asio::error::try_again) break;
            if (error) {
                close(connection);
                break;
            }
            handleBytes(connection, rx_.data(), n);
            if (n < rx_.size()) break;
        }
        data_.flushDelivered();
        if (!connection->closed) read(connection);
    });
}

bool StreamDataService::checkLength(const std::shared_ptr<Connection>& connection, uint32_t length) {
    if (length != 0 && length <= maxUnitBytes_) return true;
    ++stats_.streamFramesInvalid;
    note(closedLog_, "data: tcp connection from " + connection->address + " announced a unit of " +
                         std::to_string(length) + " bytes (at most " + std::to_string(maxUnitBytes_) +
                         "); closed");
    close(connection);
    return false;
}

void StreamDataService::handleBytes(const std::shared_ptr<Connection>& connection, const uint8_t* data,
                                    size_t length) {
    Bytes& pending = connection->pending;
    // First complete the unit begun in an earlier read, taking no more
    // bytes than it needs; the rest is read where it lies.
    if (!pending.empty()) {
        if (pending.size() < 4) {
            const size_t take = std::min(4 - pending.size(), length);
            pending.insert(pending.end(), data, data + take);
            data += take;
            length -= take;
            if (pending.size() < 4) return;
            if (!checkLength(connection, readBE32(pending.data()))) return;
        }
        const size_t whole = 4 + size_t{readBE32(pending.data())};
        const size_t take = std::min(whole - pending.size(), length);
        pending.insert(pending.end(), data, data + take);
        data += take;
        length -= take;
        if (pending.size() < whole) return;
        handleUnit(connection, pending.data() + 4, whole - 4);
        pending.clear();
        if (connection->closed) return;
    }
    size_t at = 0;
    while (length - at >= 4) {
        const uint32_t unitLength = readBE32(data + at);
        if (!checkLength(connection, unitLength)) return;
        if (length - at - 4 < unitLength) break;
        handleUnit(connection, data + at + 4, unitLength);
        if (connection->closed) return;
        at += 4 + size_t{unitLength};
    }
    pending.assign(data + at, data + length);
}

void StreamDataService::handleUnit(const std::shared_ptr<Connection>& connection, const uint8_t* unit,
                                   size_t length) {
    ++stats_.datagramsReceived;
    uint32_t seq = 0;
    std::optional<uint8_t> type;
    const auto session = data_.openUnit(unit, length, seq, type, body_);
    if (!session) return;
    if (connection->session && *connection->session != session->id) {
        ++stats_.streamForeignUnits;
        close(connection);
        return;
    }
    if (!session->acceptStreamUnit(seq)) {
        ++stats_.unitsReplayed;
        return;
    }
    ++stats_.unitsAccepted;
    if (!connection->session) bind(connection, session->id);
    if (data_.handleFrame(*session, type, body_)) {
        const Bytes& pong = DataService::pongFrame();
        queueUnit(connection, *session, pong.data(), pong.size());
    }
}

void StreamDataService::bind(const std::shared_ptr<Connection>& connection, uint32_t sessionID) {
    gate_.remove(connection->id);
    connection->session = sessionID;
    std::weak_ptr<Connection>& slot = bySession_[sessionID];
    const auto previous = slot.lock();
    slot = connection;
    if (previous && previous != connection) {
        ++stats_.streamReplaced;
        close(previous);
    }
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

void StreamDataService::close(const std::shared_ptr<Connection>& closing) {
    if (closing->closed) return;
    // `closing` may be the table's own entry, which the erase below destroys.
    const std::shared_ptr<Connection> connection = closing;
    connection->closed = true;
    std::error_code ignored;
    connection->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    connection->socket.close(ignored);
    gate_.remove(connection->id);
    connections_.erase(connection->id);
    if (!connection->session) return;
    const auto it = bySession_.find(*connection->session);
    if (it == bySession_.end() || it->second.lock() != connection) return;  // replaced by a newer one
    bySession_.erase(it);
    if (sessions_.remove(*connection->session)) {
        log_("data: session " + hex8(*connection->session) + " ended with its tcp connection; " +
             sessions_.poolUse().text());
    }
}

}  // namespace vantu::server
