#include "server/SessionTable.h"

#include <openssl/rand.h>

#include "base/VantuError.h"

namespace vantu::server {

namespace {

void randomBytes(uint8_t* out, size_t length) {
    if (RAND_bytes(out, static_cast<int>(length)) != 1) throw VantuError("random number generator failed");
}

}  // namespace

// ---------------------------------------------------------------- ServerSession

bool ServerSession::seal(const uint8_t* frame, size_t length, Bytes& out) {
    uint32_t seq;
    {
        std::lock_guard lock(mutex_);
        if (exhausted_) return false;
        seq = nextSendSeq_;
        if (nextSendSeq_ == 0xFFFFFFFF) {
            exhausted_ = true;
        } else {
            ++nextSendSeq_;
        }
        ++counters_.unitsSent;
    }
    const auto nonce = makeNonce(id, seq, kServerDirection);
    out.reserve(out.size() + 12 + length + 16);
    out.insert(out.end(), nonce.begin(), nonce.end());
    cipher.sealInto(frame, length, nonce.data(), out);
    return true;
}

bool ServerSession::mayAccept(uint32_t seq) const {
    std::lock_guard lock(mutex_);
    return replay_.check(seq);
}

bool ServerSession::acceptUnit(uint32_t seq, const asio::ip::udp::endpoint& from) {
    std::lock_guard lock(mutex_);
    if (!replay_.commit(seq)) {
        ++counters_.unitsReplayed;
        return false;
    }
    ++counters_.unitsAccepted;
    if (endpoint_ && *endpoint_ != from) ++counters_.endpointChanges;
    endpoint_ = from;
    lastActivity_ = std::chrono::steady_clock::now();
    return true;
}

bool ServerSession::acceptStreamUnit(uint32_t seq) {
    std::lock_guard lock(mutex_);
    if (!replay_.commit(seq)) {
        ++counters_.unitsReplayed;
        return false;
    }
    ++counters_.unitsAccepted;
    lastActivity_ = std::chrono::steady_clock::now();
    return true;
}

void ServerSession::noteAuthFailure() {
    std::lock_guard lock(mutex_);
    ++counters_.unitsAuthFailed;
}

std::optional<asio::ip::udp::endpoint> ServerSession::endpoint() const {
    std::lock_guard lock(mutex_);
    return endpoint_;
}

ServerSession::Counters ServerSession::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

bool ServerSession::sendingExhausted() const {
    std::lock_guard lock(mutex_);
    return exhausted_;
}

uint32_t ServerSession::nextSendSeq() const {
    std::lock_guard lock(mutex_);
    return nextSendSeq_;
}

void ServerSession::setNextSendSeqForTesting(uint32_t seq) {
    std::lock_guard lock(mutex_);
    nextSendSeq_ = seq;
    exhausted_ = false;
}

std::chrono::steady_clock::time_point ServerSession::lastActivity() const {
    std::lock_guard lock(mutex_);
    return lastActivity_;
}

// ---------------------------------------------------------------- SessionTable

SessionTable::SessionTable(IPv4Subnet subnet, std::string cipherName)
    : subnet_(subnet), cipherName_(std::move(cipherName)), keyLength_(cipherName_ == "chacha20-poly1305" ? 32 : 16) {}

uint32_t SessionTable::freshID() const {
    // Zero is avoided so that it can never be mistaken for "no session".
    for (;;) {
        uint8_t raw[4];
        randomBytes(raw, sizeof raw);
        const uint32_t id = readBE32(raw);
        if (id != 0 && !byID_.count(id)) return id;
    }
}

std::optional<uint32_t> SessionTable::allocateAddress() {
    for (uint32_t a = subnet_.serverAddress() + 1; a <= subnet_.lastClientAddress(); ++a) {
        if (!bindings_.count(a)) return a;
    }
    // Every address is bound: take back the least recently used binding of a
    // device that has no live session.
    std::optional<uint32_t> victim;
    uint64_t oldest = UINT64_MAX;
    for (const auto& [address, binding] : bindings_) {
        if (idByAddress_.count(address)) continue;
        if (binding.lastUse < oldest) {
            oldest = binding.lastUse;
            victim = address;
        }
    }
    if (victim) {
        addressByDevice_.erase(bindings_[*victim].deviceID);
        bindings_.erase(*victim);
    }
    return victim;
}

SessionGrant SessionTable::open(const std::string& deviceID) {
    SessionGrant grant;
    grant.key.resize(keyLength_);
    randomBytes(grant.key.data(), grant.key.size());
    VantuCipher cipher(cipherName_, grant.key);

    std::lock_guard lock(mutex_);
    if (deviceID.empty() && anonymousLive_ >= maxAnonymous()) {
        grant.displaced = leastRecentAnonymous();
        if (grant.displaced) removeLocked(*grant.displaced);
    }
    uint32_t address = 0;
    const auto bound = deviceID.empty() ? addressByDevice_.end() : addressByDevice_.find(deviceID);
    if (bound != addressByDevice_.end()) {
        address = bound->second;
        if (auto live = idByAddress_.find(address); live != idByAddress_.end()) {
            grant.replaced = live->second;
            removeLocked(live->second);
        }
    } else {
        const auto fresh = allocateAddress();
        if (!fresh) throw VantuError("tunnel address pool exhausted");
        address = *fresh;
        bindings_[address] = Binding{deviceID, 0};
        if (!deviceID.empty()) addressByDevice_[deviceID] = address;
    }
    bindings_[address].lastUse = ++useClock_;

    const uint32_t id = freshID();
    if (deviceID.empty()) ++anonymousLive_;
    grant.session = std::make_shared<ServerSession>(id, deviceID, address, std::move(cipher));
    byID_[id] = grant.session;
    idByAddress_[address] = id;
    return grant;
}

std::optional<uint32_t> SessionTable::leastRecentAnonymous() const {
    std::optional<uint32_t> oldest;
    std::pair<std::chrono::steady_clock::time_point, uint64_t> oldestUse{};
    for (const auto& [id, session] : byID_) {
        if (!session->deviceID.empty()) continue;
        // Ties (sessions that never sent anything) go to the older grant.
        const std::pair use{session->lastActivity(), bindings_.at(session->tunnelIP).lastUse};
        if (!oldest || use < oldestUse) {
            oldest = id;
            oldestUse = use;
        }
    }
    return oldest;
}

void SessionTable::removeLocked(uint32_t id) {
    const auto it = byID_.find(id);
    if (it == byID_.end()) return;
    const uint32_t address = it->second->tunnelIP;
    const bool anonymous = it->second->deviceID.empty();
    byID_.erase(it);
    if (auto a = idByAddress_.find(address); a != idByAddress_.end() && a->second == id) idByAddress_.erase(a);
    // An anonymous session's address is free again; a device keeps its own.
    if (anonymous) {
        bindings_.erase(address);
        --anonymousLive_;
    }
}

std::shared_ptr<ServerSession> SessionTable::find(uint32_t id) const {
    std::lock_guard lock(mutex_);
    const auto it = byID_.find(id);
    return it == byID_.end() ? nullptr : it->second;
}

std::shared_ptr<ServerSession> SessionTable::findByTunnelIP(uint32_t tunnelIP) const {
    std::lock_guard lock(mutex_);
    const auto a = idByAddress_.find(tunnelIP);
    if (a == idByAddress_.end()) return nullptr;
    const auto it = byID_.find(a->second);
    return it == byID_.end() ? nullptr : it->second;
}

bool SessionTable::remove(uint32_t id) {
    std::lock_guard lock(mutex_);
    const bool present = byID_.count(id) != 0;
    removeLocked(id);
    return present;
}

std::vector<uint32_t> SessionTable::expireIdle(std::chrono::steady_clock::time_point cutoff) {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> expired;
    for (const auto& [id, session] : byID_) {
        if (session->lastActivity() < cutoff) expired.push_back(id);
    }
    for (uint32_t id : expired) removeLocked(id);
    return expired;
}

size_t SessionTable::size() const {
    std::lock_guard lock(mutex_);
    return byID_.size();
}

PoolUse SessionTable::poolUse() const {
    std::lock_guard lock(mutex_);
    return PoolUse{subnet_.clientCapacity(), bindings_.size(), byID_.size(), anonymousLive_};
}

std::string PoolUse::text() const {
    return "tunnel addresses: " + std::to_string(bound) + " of " + std::to_string(capacity) + " in use, " +
           std::to_string(live) + " sessions (" + std::to_string(anonymous) + " anonymous)";
}

std::optional<uint32_t> SessionTable::addressOf(const std::string& deviceID) const {
    std::lock_guard lock(mutex_);
    const auto it = addressByDevice_.find(deviceID);
    if (it == addressByDevice_.end()) return std::nullopt;
    return it->second;
}

}  // namespace vantu::server
