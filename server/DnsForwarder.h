#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "server/PacketSink.h"

namespace vantu::server {

// Answers the DNS queries clients send into the tunnel. A client's resolver
// normally gets its answers from the client itself; when the client's own
// upstream fails it sends the query packet into the tunnel unchanged, often
// to an address that exists nowhere (the client's virtual resolver address).
// This sink takes every client packet that is UDP to port 53, whatever its
// destination, asks the configured forwarder for the payload, and answers
// with an IPv4/UDP packet from the query's destination address and port 53,
// back to the client through sendToClients. Every other packet goes to the
// inner sink, whose packets for clients pass through unchanged.
//
// Whoever can send datagrams with the upstream's address could forge
// answers, and they reach clients (and feed their route learning). So each
// query leaves from a socket of its own, connected to the upstream (the
// kernel drops datagrams from any other source) and bound to a port the
// kernel picks at random, with a random ID of the forwarder's own (two
// clients may use the same one; the client's is restored in the answer).
// An answer counts only if it carries that ID and repeats the query's
// question section byte for byte; anything else on the socket is ignored
// and the real answer is still awaited. At most maxInFlight queries (and so
// sockets) wait at once; beyond that a query is dropped, as is one
// unanswered after `timeout` (the client's resolver asks again).
//
// Threads: deliver() may run on any thread and only hands the query over;
// the upstream socket and the table of waiting queries live on the sink's
// own thread, which also calls sendToClients.
class DnsForwardingSink final : public PacketSink {
public:
    struct Options {
        asio::ip::udp::endpoint upstream;
        size_t maxInFlight = 512;
        std::chrono::milliseconds timeout{4000};
    };

    // A client packet carrying a DNS query, as this sink sees it.
    struct Query {
        uint32_t client = 0;  // host order
        uint16_t clientPort = 0;
        uint32_t destination = 0;  // the address the query was sent to
        Bytes payload;             // the DNS message
    };

    DnsForwardingSink(Options options, std::shared_ptr<PacketSink> inner);
    ~DnsForwardingSink() override;
    DnsForwardingSink(const DnsForwardingSink&) = delete;
    DnsForwardingSink& operator=(const DnsForwardingSink&) = delete;

    // Starts the thread; each query opens a socket of its own.
    void start();
    // Joins the thread; idempotent. Queries still waiting are dropped.
    void stop();

    void deliver(const Bytes& packet) override;
    void flush() override { inner_->flush(); }

    // The query in an IPv4 packet that is UDP to port 53 with a DNS query
    // (not a response) of at least a header; nullopt for anything else,
    // fragments included. Pure.
    static std::optional<Query> parseQuery(const Bytes& packet);
    // The end of the question section of a DNS message (the offset just
    // after it), or nullopt when the message does not hold all the
    // questions its header counts. Pure.
    static std::optional<size_t> questionEnd(const uint8_t* message, size_t length);
    // An IPv4/UDP packet with valid checksums. Pure.
    static Bytes udpPacket(uint32_t source, uint16_t sourcePort, uint32_t destination, uint16_t destinationPort,
                           const uint8_t* payload, size_t length);

    uint64_t forwarded() const { return forwarded_; }
    uint64_t answered() const { return answered_; }
    uint64_t timedOut() const { return timedOut_; }
    uint64_t dropped() const { return dropped_; }  // over the bound, no question, or the send failed
    uint64_t mismatched() const { return mismatched_; }  // datagrams that were not the awaited answer
    PacketSink& inner() { return *inner_; }

private:
    struct Waiting {
        explicit Waiting(asio::io_context& io) : socket(io) {}
        asio::ip::udp::socket socket;
        Query query;
        uint16_t originalID = 0;
        uint16_t upstreamID = 0;
        size_t questionEnd = 0;
        std::chrono::steady_clock::time_point deadline;
    };

    void forward(Query query);
    void receive(uint64_t key);
    // Whether the datagram in rx_ is the answer `waiting` awaits.
    bool isAnswer(const Waiting& waiting, size_t length) const;
    void answer(std::unordered_map<uint64_t, std::unique_ptr<Waiting>>::iterator it, size_t length);
    void scheduleSweep();
    void release(size_t count);

    Options options_;
    std::shared_ptr<PacketSink> inner_;
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    asio::steady_timer sweep_;
    std::thread thread_;
    bool started_ = false;
    bool stopping_ = false;
    // Queries handed over or waiting; bounds both the queue into the thread
    // and the table.
    std::atomic<size_t> pending_{0};
    std::unordered_map<uint64_t, std::unique_ptr<Waiting>> waiting_;
    uint64_t nextKey_ = 0;
    // Every socket is read into this one buffer, in the handler itself.
    std::array<uint8_t, 65536> rx_{};
    std::atomic<uint64_t> forwarded_{0};
    std::atomic<uint64_t> answered_{0};
    std::atomic<uint64_t> timedOut_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> mismatched_{0};
};

// "ADDRESS[:PORT]" (IPv4, port 53 when absent) -> endpoint; throws
// ConfigError naming the key for anything else.
asio::ip::udp::endpoint parseDnsForwarder(const std::string& text);

// The "dns_forwarder" key of a server configuration file, which the core
// configuration does not know: removes it from `document` and returns the
// forwarder, or nullopt without the key. Throws ConfigError for a value that
// is not such a string.
std::optional<asio::ip::udp::endpoint> extractDnsForwarder(nlohmann::json& document);

// The text for --help describing that key.
std::string dnsForwarderConfigHelp();

}  // namespace vantu::server
