#pragma once

#include <chrono>
#include <cstdint>
#include <array>
#include <memory>
#include <string>
#include <unordered_map>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "server/ConnectionGate.h"
#include "server/GateSweep.h"
#include "server/LogBudget.h"
#include "server/SecretGuard.h"
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
//
// Admission (ConnectionGate): a connection has controlTimeout to deliver
// its whole request; at most maxControlConnectionsPerPeer are open from one
// address; when maxControlConnections are open, the oldest connection
// still without a whole request is dropped to admit a newcomer (or, when
// there is none, the oldest one already answered). A real client sends its
// request at once, so an idle flood only displaces itself.
class ControlService {
public:
    // Loads the TLS certificate and key when configured; throws ConfigError
    // when they cannot be used.
    ControlService(asio::io_context& io, const ServerConfig& config, SessionTable& sessions, ServerStats& stats,
                   Logger log, ServerClock clock = {});

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

    // One request line from `peer` (address and port, for the log), whose
    // address counts as `address` (peerKey) -> the response object.
    // Never throws.
    nlohmann::json handleRequest(const std::string& line, const std::string& peer, const std::string& address);

private:
    class Connection;
    // The gate and the open connections by id, shared with each connection,
    // which gives its place back when it goes away.
    struct Open {
        explicit Open(ConnectionGate::Limits limits) : gate(limits) {}
        ConnectionGate gate;
        std::unordered_map<uint64_t, std::weak_ptr<Connection>> connections;
    };
    void accept();
    void acceptLater();
    void admit(asio::ip::tcp::socket socket);
    void drop(uint64_t id);
    void note(LogBudget& budget, const std::string& line);

    asio::io_context& io_;
    const ServerConfig& config_;
    SessionTable& sessions_;
    ServerStats& stats_;
    Logger log_;
    ServerClock now_;
    std::unique_ptr<asio::ssl::context> tls_;
    asio::ip::tcp::acceptor acceptor_;
    uint16_t port_ = 0;
    uint16_t dataPort_ = 0;
    uint64_t nextID_ = 1;
    std::shared_ptr<Open> open_;
    GateSweep sweep_;
    asio::steady_timer acceptRetry_;
    // What is left of a request after the answer is read here and thrown
    // away; one buffer serves every connection.
    std::array<char, 4096> discard_{};
    // Lines a peer can cause are bounded; the accept failure is logged
    // once per episode.
    LogBudget admissionLog_{5, std::chrono::seconds(10)};
    LogBudget requestLog_{10, std::chrono::seconds(10)};
    LogBudget secretLog_{5, std::chrono::seconds(10)};
    SecretGuard guesses_;
    bool acceptFailing_ = false;
    bool stopped_ = false;
};

}  // namespace vantu::server
