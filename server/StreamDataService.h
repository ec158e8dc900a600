#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "server/ConnectionGate.h"
#include "server/DataService.h"
#include "server/GateSweep.h"
#include "server/LogBudget.h"
#include "server/ServerConfig.h"
#include "server/ServerStats.h"
#include "server/SessionTable.h"

namespace vantu::server {

// The TCP data service, on the data port's number beside the UDP one. Each
// connection carries encrypted units, each preceded by its length as a
// 32-bit big-endian integer. Units pass exactly the checks of the UDP
// service (same session table, same replay windows).
//
// Anyone can connect, so until a connection has presented an authenticated
// unit it is held under the control service's discipline (ConnectionGate):
// capped per address and in total, the oldest making room when full, and
// closed after streamAuthTimeout. A length of 0 or above the longest valid
// unit (ServerConfig::maxUnitBytes) means the stream is not ours, and the
// connection is closed before anything of the unit is kept. Bytes are read
// into one buffer of the service; a connection keeps only the part of a
// unit that has arrived.
//
// The first authenticated unit binds the connection to its session: it
// carries that session's replies, a unit of another session closes it, a
// newer connection of the session replaces it, and when the session's
// connection closes the session ends (a client never reopens one: its TCP
// channel has no recovery), which gives its tunnel address back.
//
// Towards a client that reads slowly, at most kMaxQueuedBytes wait per
// connection; beyond that units are dropped and counted, as the UDP service
// drops datagrams that do not fit its socket buffer.
//
// Runs on the io_context thread, like DataService.
class StreamDataService {
public:
    StreamDataService(asio::io_context& io, const ServerConfig& config, DataService& data, SessionTable& sessions,
                      ServerStats& stats, Logger log, ServerClock clock = {});
    ~StreamDataService();

    // Binds (throws std::system_error) on `port` and starts accepting.
    void start(uint16_t port);
    void stop();

    static constexpr size_t kMaxQueuedBytes = 8 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

private:
    struct Connection;
    void accept();
    void read(const std::shared_ptr<Connection>& connection);
    void handleBytes(const std::shared_ptr<Connection>& connection, const uint8_t* data, size_t length);
    // False when the length is invalid and the connection was closed.
    bool checkLength(const std::shared_ptr<Connection>& connection, uint32_t length);
    void handleUnit(const std::shared_ptr<Connection>& connection, const uint8_t* unit, size_t length);
    void bind(const std::shared_ptr<Connection>& connection, uint32_t sessionID);
    bool send(ServerSession& session, const uint8_t* frame, size_t length);
    void queueUnit(const std::shared_ptr<Connection>& connection, ServerSession& session, const uint8_t* frame,
                   size_t length);
    void write(const std::shared_ptr<Connection>& connection);
    void close(const std::shared_ptr<Connection>& connection);
    void closeExpired(const std::vector<uint64_t>& expired);
    void note(LogBudget& budget, const std::string& line);

    asio::io_context& io_;
    const ServerConfig& config_;
    DataService& data_;
    SessionTable& sessions_;
    ServerStats& stats_;
    Logger log_;
    ServerClock now_;
    const size_t maxUnitBytes_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    bool acceptFailing_ = false;
    uint64_t nextConnectionID_ = 1;
    std::map<uint64_t, std::shared_ptr<Connection>> connections_;
    ConnectionGate gate_;
    GateSweep sweep_;
    // The connection each session's replies go to.
    std::map<uint32_t, std::weak_ptr<Connection>> bySession_;
    std::vector<uint8_t> rx_;  // every connection reads into this one
    Bytes body_;               // the frame being handled, reused
    LogBudget refusedLog_{5, std::chrono::seconds(10)};
    LogBudget closedLog_{5, std::chrono::seconds(10)};
};

}  // namespace vantu::server
