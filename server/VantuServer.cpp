#include "server/VantuServer.h"

#include <algorithm>
#include <cstdio>

#include <asio/post.hpp>

#include "server/EchoResponder.h"

namespace vantu::server {

namespace {


ServerConfig validated(ServerConfig config) {
    config.validate();
    return config;
}

}  // namespace

VantuServer::VantuServer(ServerConfig config, std::shared_ptr<PacketSink> sink, Logger log, ServerClock clock)
    : config_(validated(std::move(config))),
      log_(log ? std::move(log) : Logger([](const std::string&) {})),
      clock_(orSteadyClock(std::move(clock))),
      sessions_(std::make_unique<SessionTable>(config_.subnet(), config_.cipher)),
      sink_(sink ? std::move(sink) : std::make_shared<EchoResponder>()),
      sweepTimer_(io_) {
    data_ = std::make_unique<DataService>(io_, config_, *sessions_, stats_, log_, *sink_);
    control_ = std::make_unique<ControlService>(io_, config_, *sessions_, stats_, log_, clock_);
    sink_->sendToClients = [this](const Bytes& packet) { routeToClients(packet); };
}

VantuServer::~VantuServer() {
    stop();
    sink_->sendToClients = nullptr;
}

void VantuServer::start() {
    if (started_) return;
    data_->start();
    if (config_.transport == "tcp") {
        stream_ = std::make_unique<StreamDataService>(io_, config_, *data_, *sessions_, stats_, log_, clock_);
        stream_->start(data_->port());
    }
    control_->start(data_->port());
    scheduleSweep();
    work_.emplace(io_.get_executor());
    started_ = true;
    thread_ = std::thread([this] {
        // A handler that throws must not take the whole service down.
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& e) {
                log_(std::string("error: unexpected failure in a network handler: ") + e.what());
            }
        }
    });
}

void VantuServer::stop() {
    if (!started_ || !thread_.joinable()) return;
    // Closing every socket and timer on the network thread lets each pending
    // operation finish as aborted; run() then returns on its own.
    asio::post(io_, [this] {
        control_->stop();
        if (stream_) stream_->stop();
        data_->stop();
        sweepTimer_.cancel();
    });
    work_.reset();
    thread_.join();
}

void VantuServer::routeToClients(const Bytes& packet) {
    if (io_.get_executor().running_in_this_thread()) {
        data_->sendToClient(packet);
        return;
    }
    // The sink's reader can take packets out of the device faster than the
    // network thread seals and sends them. Like a network card's transmit
    // ring, the queue in between is bounded: a packet that does not fit is
    // dropped and counted, and the protocols inside the tunnel see ordinary
    // loss. Waiting for room instead would stall the reader for every client.
    bool post = false;
    {
        const std::lock_guard<std::mutex> lock(handOver_.mutex);
        if (handOver_.count >= kMaxQueuedToClients || handOver_.bytes + packet.size() > kMaxQueuedBytesToClients) {
            ++stats_.packetsToClientsDropped;
            return;
        }
        if (handOver_.count == handOver_.slots.size()) handOver_.slots.emplace_back();
        handOver_.slots[handOver_.count++].assign(packet.begin(), packet.end());
        handOver_.bytes += packet.size();
        post = !handOver_.posted;
        handOver_.posted = true;
    }
    if (post) asio::post(io_, [this] { sendHandedOver(); });
}

void VantuServer::sendHandedOver() {
    size_t count = 0;
    {
        const std::lock_guard<std::mutex> lock(handOver_.mutex);
        handOver_.slots.swap(sending_);
        count = handOver_.count;
        handOver_.count = 0;
        handOver_.bytes = 0;
        handOver_.posted = false;
    }
    for (size_t i = 0; i < count; ++i) data_->sendToClient(sending_[i]);
}

void VantuServer::scheduleSweep() {
    if (config_.sessionIdleTimeout.count() == 0) return;
    const auto interval = std::clamp<std::chrono::steady_clock::duration>(
        config_.sessionIdleTimeout / 4, std::chrono::seconds(1), std::chrono::seconds(30));
    sweepTimer_.expires_after(interval);
    sweepTimer_.async_wait([this](const std::error_code& ec) {
        if (ec) return;
        const auto cutoff = std::chrono::steady_clock::now() - config_.sessionIdleTimeout;
        const auto expired = sessions_->expireIdle(cutoff);
        for (uint32_t id : expired) log_("session " + hex8(id) + " expired after idling");
        if (!expired.empty()) log_(sessions_->poolUse().text());
        scheduleSweep();
    });
}

}  // namespace vantu::server
