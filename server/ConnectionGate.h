#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <asio/ip/address.hpp>

namespace vantu::server {

// The address a peer is counted under: an IPv4 address as it is (also when
// it arrives IPv4-mapped on an IPv6 socket), an IPv6 address by its /64, the
// smallest prefix a single host is usually given.
std::string peerKey(const asio::ip::address& address);

// Which connections a listening service keeps. A connection is unproven
// until it shows it belongs to a real client (a whole control request, an
// authenticated data unit); until then it holds a place that an idle flood
// could otherwise fill:
// - one address holds at most `perAddress` places; beyond that a newcomer
//   is refused;
// - when all `total` places are taken, the oldest unproven connection
//   gives its place to the newcomer: a real client proves itself within a
//   round trip, so an idle flood only ever evicts itself;
// - an unproven connection whose `proveWithin` has passed is expired.
// A proven connection keeps its place (until removed) but neither expires
// nor makes room. One whose business is done (answered, now only waiting
// for the peer to close) keeps its place too, but makes room when no
// unproven one is left. Pure: the caller closes the connections it is told
// about and passes the time in, so that the rules run in virtual time in
// tests.
class ConnectionGate {
public:
    using Time = std::chrono::steady_clock::time_point;
    struct Limits {
        size_t total;
        size_t perAddress;
        std::chrono::milliseconds proveWithin;
    };
    struct Admission {
        bool admitted = false;
        // The connection that gave up its place (already removed).
        std::optional<uint64_t> evicted;
    };

    explicit ConnectionGate(Limits limits) : limits_(limits) {}

    Admission admit(uint64_t id, const std::string& address, Time now);
    void prove(uint64_t id);
    void done(uint64_t id);
    // Gone, or handed over to a table of its own. Unknown ids are ignored.
    void remove(uint64_t id);
    // The unproven connections whose time is up at `now`, oldest first;
    // they are removed.
    std::vector<uint64_t> expire(Time now);

    size_t size() const { return entries_.size(); }
    size_t unproven() const { return unproven_.size(); }
    size_t from(const std::string& address) const;
    const Limits& limits() const { return limits_; }

private:
    enum class State { unproven, proven, done };
    struct Entry {
        std::string address;
        Time deadline;
        State state = State::unproven;
        std::list<uint64_t>::iterator order;  // in unproven_ or done_
    };
    void erase(std::unordered_map<uint64_t, Entry>::iterator it);
    void unlist(Entry& entry);

    Limits limits_;
    std::unordered_map<uint64_t, Entry> entries_;
    // Unproven ids in admission order, which is also deadline order; done
    // ones in the order they were done.
    std::list<uint64_t> unproven_;
    std::list<uint64_t> done_;
    std::unordered_map<std::string, size_t> perAddress_;
};

}  // namespace vantu::server
