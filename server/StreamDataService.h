#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "server/DataService.h"
#include "server/ServerConfig.h"
#include "server/ServerStats.h"
#include "server/SessionTable.h"

namespace vantu::server {

// The TCP data service, on the data port's number beside the UDP one. Each
// connection carries encrypted units, each preceded by its length as a
// 32-bit big-endian integer. Units pass exactly the checks of the UDP
// service (same session table, same replay windows); the connection a
// session's last unit arrived on carries that session's replies. A length of
// 0 or above 1 MiB means the stream lost its framing, and the connection is
// closed.
//
// Towards a client that reads slowly, at most kMaxQueuedBytes wait per
// connection; beyond that units are dropped and counted, as the UDP service
// drops datagrams that do not fit its socket buffer.
//
// Runs on the io_context thread, like DataService.
class StreamDataService {
public:
    StreamDataService(asio::io_context& io, const ServerConfig& config, DataService& data, ServerStats& stats,
                      Logger log);
    ~StreamDataService();

    // Binds (throws std::system_error) on `port` and starts accepting.
    void start(uint16_t port);
    void stop();

    static constexpr uint32_t kMaxFrameBytes = 1048576;
    static constexpr size_t kMaxQueuedBytes = 8 * 1024 * 1024;

private:
    struct Connection;
    void accept();
    void read(const std::shared_ptr<Connection>& connection);
    void handleBytes(const std::shared_ptr<Connection>& connection, size_t length);
    bool send(ServerSession& session, const uint8_t* frame, size_t length);
    void queueUnit(const std::shared_ptr<Connection>& connection, ServerSession& session, const uint8_t* frame,
                   size_t length);
    void write(const std::shared_ptr<Connection>& connection);
    void close(const std::shared_ptr<Connection>& connection);

    asio::io_context& io_;
    const ServerConfig& config_;
    DataService& data_;
    ServerStats& stats_;
    Logger log_;
    asio::ip::tcp::acceptor acceptor_;
    uint64_t nextConnectionID_ = 1;
    std::map<uint64_t, std::shared_ptr<Connection>> connections_;
    // The connection each session's replies go to.
    std::map<uint32_t, std::weak_ptr<Connection>> bySession_;
    Bytes body_;  // the frame being handled, reused
};

}  // namespace vantu::server
