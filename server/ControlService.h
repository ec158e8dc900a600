#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "server/ServerConfig.h"
#include "server/ServerStats.h"
#include "server/SessionTable.h"

namespace vantu::server {

// The TLS 1.3 server context for the control port from the configured PEM
// files; ConfigError names the file that fails.
std::unique_ptr<asio::ssl::context> makeControlTLSContext(const ServerConfig& config);

// The TCP control service: each connection carries one request line and gets
// one response line, then the server closes it. Everything runs as
// asynchronous operations on one io_context, so a slow or silent client
// holds nothing but its own socket and is dropped when its time is up.
// With a TLS certificate configured every connection starts with a TLS 1.3
// handshake (under the same time limit) and nothing is served in clear text.
class ControlService {
public:
    // Loads the TLS certificate and key when configured; throws ConfigError
    // when they cannot be used.
    ControlService(asio::io_context& io, const ServerConfig& config, SessionTable& sessions, ServerStats& stats,
                   Logger log);

    // Binds and listens (throws std::system_error), then starts accepting.
    // `dataPort` is the bound data port that "open" hands out.
    void start(uint16_t dataPort);
    // Stops accepting and closes every open connection. Call on the io thread
    // or after the io_context has stopped.
    void stop();
    uint16_t port() const { return port_; }

    // How long accepting pauses after accept() failed (out of descriptors):
    // retrying at once would only spin on the same error.
    static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

    // One request line -> the response object. Never throws.
    nlohmann::json handleRequest(const std::string& line, const std::string& peer);

private:
    class Connection;
    // Open connections, in total and by peer address. Shared with each
    // connection, which gives its place back when it goes away.
    struct Slots {
        size_t total = 0;
        std::map<std::string, size_t> perPeer;
    };
    void accept();
    void acceptLater();

    asio::io_context& io_;
    const ServerConfig& config_;
    SessionTable& sessions_;
    ServerStats& stats_;
    Logger log_;
    std::unique_ptr<asio::ssl::context> tls_;
    asio::ip::tcp::acceptor acceptor_;
    uint16_t port_ = 0;
    uint16_t dataPort_ = 0;
    // Weak so that a finished connection frees itself; stop() closes the rest.
    std::vector<std::weak_ptr<Connection>> connections_;
    std::shared_ptr<Slots> slots_ = std::make_shared<Slots>();
    asio::steady_timer acceptRetry_;
    // Logged once per episode, not once per refused connection or failure.
    bool refusing_ = false;
    bool acceptFailing_ = false;
    bool stopped_ = false;
};

}  // namespace vantu::server
