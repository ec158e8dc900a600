#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "server/ControlService.h"
#include "server/DataService.h"
#include "server/PacketSink.h"
#include "server/ServerConfig.h"
#include "server/ServerStats.h"
#include "server/SessionTable.h"
#include "server/StreamDataService.h"

namespace vantu::server {

// The whole server: control service, data service (UDP, and TCP on the same
// port number when the configuration grants "tcp"), session table and packet
// sink, all driven by one io_context on a thread of its own.
class VantuServer {
public:
    // Without a sink the configured one is built ("echo": an EchoResponder).
    // Without a logger nothing is logged. The clock times the services'
    // limits and deadlines (the steady clock when empty). Throws ConfigError
    // for a configuration that cannot be served.
    explicit VantuServer(ServerConfig config, std::shared_ptr<PacketSink> sink = nullptr, Logger log = {},
                         ServerClock clock = {});
    ~VantuServer();
    VantuServer(const VantuServer&) = delete;
    VantuServer& operator=(const VantuServer&) = delete;

    // Binds both services (std::system_error) and starts the network
    // thread. Once only.
    void start();
    // Closes every socket and joins the network thread. Idempotent.
    void stop();

    uint16_t controlPort() const { return control_->port(); }
    uint16_t dataPort() const { return data_->port(); }
    const ServerConfig& config() const { return config_; }
    SessionTable& sessions() { return *sessions_; }
    const ServerStats& stats() const { return stats_; }
    PacketSink& sink() { return *sink_; }

    // Packets for clients handed over from other threads wait for the
    // network thread; beyond either bound they are dropped and counted in
    // stats().packetsToClientsDropped.
    static constexpr size_t kMaxQueuedToClients = 1024;
    static constexpr size_t kMaxQueuedBytesToClients = 4 * 1024 * 1024;

private:
    void routeToClients(const Bytes& packet);
    void sendHandedOver();
    void scheduleSweep();

    const ServerConfig config_;
    Logger log_;
    ServerClock clock_;
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    ServerStats stats_;
    std::unique_ptr<SessionTable> sessions_;
    std::shared_ptr<PacketSink> sink_;
    std::unique_ptr<DataService> data_;
    std::unique_ptr<StreamDataService> stream_;  // only when "tcp" is granted
    std::unique_ptr<ControlService> control_;
    asio::steady_timer sweepTimer_;
    std::thread thread_;
    bool started_ = false;
    // Packets for clients from other threads (the sink's reader). One
    // handler on the network thread takes all that arrived since it was
    // posted, instead of a handler and an allocation per packet; the buffers
    // of the slots go back and forth between the two lists and are reused.
    struct HandOver {
        std::mutex mutex;
        std::vector<Bytes> slots;
        size_t count = 0;
        size_t bytes = 0;
        bool posted = false;
    } handOver_;
    std::vector<Bytes> sending_;  // network thread only
};

}  // namespace vantu::server
