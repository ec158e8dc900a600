#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <asio/ip/udp.hpp>

#include "base/Bytes.h"
#include "datachannel/crypto/VantuSession.h"
#include "datachannel/crypto/ReplayWindow.h"
#include "server/ServerConfig.h"

namespace vantu::server {

// A session id as the logs and the control protocol write it: eight
// lower-case hex digits.
inline std::string hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Direction constant of the units the server seals ("S2C\0"); clients seal
// theirs with VantuSession::kClientDirection.
constexpr uint32_t kServerDirection = 0x53324300;

// One granted session. The identity and key never change; the data-path
// state below is guarded by `mutex` because a packet sink may send from its
// own thread while the data service receives.
class ServerSession {
public:
    ServerSession(uint32_t id, std::string deviceID, uint32_t tunnelIP, VantuCipher cipher)
        : id(id), deviceID(std::move(deviceID)), tunnelIP(tunnelIP), cipher(std::move(cipher)) {}

    const uint32_t id;
    const std::string deviceID;
    const uint32_t tunnelIP;  // host order
    const VantuCipher cipher;

    struct Counters {
        uint64_t unitsAccepted = 0;
        uint64_t unitsReplayed = 0;
        uint64_t unitsAuthFailed = 0;
        uint64_t unitsSent = 0;
        uint64_t endpointChanges = 0;
    };

    // Seals one plain frame with the next server sequence number, appending
    // the unit to `out`. Returns false, sealing nothing, once every sequence
    // number has been used: a nonce is never repeated under one key.
    bool seal(const uint8_t* frame, size_t length, Bytes& out);
    // Records the authenticated unit `seq` in the replay window; false when it
    // is a replay (or too old), in which case nothing else changes. On success
    // the sender's endpoint becomes the reply endpoint.
    bool acceptUnit(uint32_t seq, const asio::ip::udp::endpoint& from);
    // The same for a unit that came on a TCP data connection: the window and
    // the activity move, the UDP reply endpoint stays as it is.
    bool acceptStreamUnit(uint32_t seq);
    // The cheap pre-authentication replay test.
    bool mayAccept(uint32_t seq) const;
    void noteAuthFailure();

    std::optional<asio::ip::udp::endpoint> endpoint() const;
    Counters counters() const;
    bool sendingExhausted() const;
    // The next sequence number the server would send; exposed for tests.
    uint32_t nextSendSeq() const;
    void setNextSendSeqForTesting(uint32_t seq);
    std::chrono::steady_clock::time_point lastActivity() const;

private:
    friend class SessionTable;
    mutable std::mutex mutex_;
    ReplayWindow replay_;
    std::optional<asio::ip::udp::endpoint> endpoint_;
    uint32_t nextSendSeq_ = 1;
    bool exhausted_ = false;
    Counters counters_;
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
};

struct SessionGrant {
    std::shared_ptr<ServerSession> session;
    Bytes key;
    // The session this one replaced (same device), if any.
    std::optional<uint32_t> replaced;
    // The anonymous session ended to make room for this one, if any.
    std::optional<uint32_t> displaced;
};

// How much of the tunnel address pool is taken.
struct PoolUse {
    size_t capacity = 0;   // client addresses in the subnet
    size_t bound = 0;      // held by a live session or kept for a device
    size_t live = 0;       // sessions
    size_t anonymous = 0;  // live sessions without a device ID
    std::string text() const;
};

// Sessions by id and by tunnel address, plus the device -> address bindings
// that give a device the same tunnel address each time it opens. Thread-safe.
//
// A client without a device ID cannot be told from the next one, and the
// server never learns that its tunnel stopped: each of its starts opens a
// new session, which would hold its address until it idles out (or for
// good without an idle timeout). So anonymous sessions hold at most half
// the pool; beyond that, opening one ends the anonymous session that was
// active longest ago, which gives its address back. Named devices always
// find the other half.
class SessionTable {
public:
    SessionTable(IPv4Subnet subnet, std::string cipherName);

    // A fresh session with a random id and key. An empty device ID gets an
    // address for as long as its session lives; a named device keeps its
    // address binding and any earlier session of it is replaced. Throws
    // VantuError "tunnel address pool exhausted" when no address is free.
    SessionGrant open(const std::string& deviceID);
    // How many live anonymous sessions the pool takes.
    size_t maxAnonymous() const { return std::max<size_t>(1, subnet_.clientCapacity() / 2); }

    std::shared_ptr<ServerSession> find(uint32_t id) const;
    std::shared_ptr<ServerSession> findByTunnelIP(uint32_t tunnelIP) const;
    bool remove(uint32_t id);
    // Removes sessions without activity since `cutoff`; returns their ids.
    std::vector<uint32_t> expireIdle(std::chrono::steady_clock::time_point cutoff);
    size_t size() const;
    PoolUse poolUse() const;
    // The address bound to a device, live session or not.
    std::optional<uint32_t> addressOf(const std::string& deviceID) const;

private:
    struct Binding {
        std::string deviceID;  // empty for an anonymous session's address
        uint64_t lastUse = 0;
    };

    uint32_t freshID() const;
    // The anonymous session to end for a new one: the least recently active.
    std::optional<uint32_t> leastRecentAnonymous() const;
    std::optional<uint32_t> allocateAddress();
    void removeLocked(uint32_t id);

    const IPv4Subnet subnet_;
    const std::string cipherName_;
    const size_t keyLength_;
    mutable std::mutex mutex_;
    std::unordered_map<uint32_t, std::shared_ptr<ServerSession>> byID_;
    std::unordered_map<uint32_t, uint32_t> idByAddress_;
    std::unordered_map<std::string, uint32_t> addressByDevice_;
    std::map<uint32_t, Binding> bindings_;  // address -> holder
    uint64_t useClock_ = 0;
    size_t anonymousLive_ = 0;
};

}  // namespace vantu::server
