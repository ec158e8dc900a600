#pragma once

// The state of relayed direct flows: one box per flow, the bounded tables
// that hold them, and the byte count that all relayed TCP connections hold
// together.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "base/Bytes.h"
#include "base/Time.h"
#include "directcore/codec/DirectCodec.h"
#include "platform/Platform.h"

namespace vantu {

// What every box carries for its table: its last activity and its place in
// the table's order of activity.
struct DirectFlowEntry {
    Instant lastSeen = kDistantPast;
    std::list<DirectFlowKey>::iterator activity{};
    bool listed = false;
};

// Bytes held in memory on behalf of relayed connections, shared by all of
// them against one limit. Each connection's HeldBytes gives back its part
// when it goes, however it goes (removed, evicted, or dropped with the whole
// table at a stop).
class HeldBytes {
public:
    struct Pool {
        size_t total = 0;
        size_t limit = SIZE_MAX;
    };
    explicit HeldBytes(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}
    ~HeldBytes() { pool_->total -= mine_; }
    HeldBytes(const HeldBytes&) = delete;
    HeldBytes& operator=(const HeldBytes&) = delete;

    // What the pool can still take.
    size_t room() const { return pool_->total >= pool_->limit ? 0 : pool_->limit - pool_->total; }
    void add(size_t n) {
        mine_ += n;
        pool_->total += n;
    }
    void release(size_t n) {
        n = n < mine_ ? n : mine_;
        mine_ -= n;
        pool_->total -= n;
    }

private:
    std::shared_ptr<Pool> pool_;
    size_t mine_ = 0;
};

// The flows of one protocol, keyed by their 4-tuple. Applications choose the
// keys (a program that sends from many source ports opens as many flows),
// so the table is bounded by its owner, and keeps its flows in the order of
// their last activity: finding the one quiet longest, to make room, costs
// nothing however many there are.
template <typename Box>
class DirectFlowTable {
public:
    using Map = std::map<DirectFlowKey, std::shared_ptr<Box>>;
    using const_iterator = typename Map::const_iterator;

    const_iterator begin() const { return flows_.begin(); }
    const_iterator end() const { return flows_.end(); }
    const_iterator find(const DirectFlowKey& key) const { return flows_.find(key); }
    size_t size() const { return flows_.size(); }
    bool empty() const { return flows_.empty(); }
    size_t count(const DirectFlowKey& key) const { return flows_.count(key); }
    // The key's box, or null.
    std::shared_ptr<Box> lookup(const DirectFlowKey& key) const {
        const auto it = flows_.find(key);
        return it == flows_.end() ? nullptr : it->second;
    }

    // Stores a box under a free key as the most recently active flow.
    void insert(const DirectFlowKey& key, std::shared_ptr<Box> box, Instant now) {
        box->lastSeen = now;
        box->activity = order_.insert(order_.end(), key);
        box->listed = true;
        flows_[key] = std::move(box);
    }
    // The box's flow was active now (a box of this table only).
    void touch(Box& box, Instant now) {
        box.lastSeen = now;
        if (box.listed) order_.splice(order_.end(), order_, box.activity);
    }
    // Removes the key's box and returns it (null when there was none).
    std::shared_ptr<Box> take(const DirectFlowKey& key) {
        const auto it = flows_.find(key);
        if (it == flows_.end()) return nullptr;
        std::shared_ptr<Box> box = std::move(it->second);
        flows_.erase(it);
        if (box->listed) order_.erase(box->activity);
        box->listed = false;
        return box;
    }
    // The key of the flow quiet longest; the table must not be empty.
    const DirectFlowKey& longestIdle() const { return order_.front(); }

    struct Room {
        size_t evicted = 0;
        bool episodeBegins = false;  // the first evictions since the table had room to spare
    };
    // Before a new flow: room under `limit`, made by evicting the flows
    // quiet longest (evict(key) removes one). A full table is one episode
    // until it is back at three quarters of the limit, so that it can be
    // reported once, not at every new flow.
    template <typename Evict>
    Room makeRoom(size_t limit, Evict&& evict) {
        if (flows_.size() * 4 <= limit * 3) full_ = false;
        Room room;
        while (!flows_.empty() && flows_.size() >= limit) {
            const DirectFlowKey oldest = longestIdle();
            evict(oldest);
            if (flows_.count(oldest)) take(oldest);
            ++room.evicted;
        }
        if (room.evicted > 0 && !full_) full_ = room.episodeBegins = true;
        return room;
    }
    std::vector<std::shared_ptr<Box>> takeAll() {
        std::vector<std::shared_ptr<Box>> boxes;
        boxes.reserve(flows_.size());
        for (auto& [key, box] : flows_) {
            box->listed = false;
            boxes.push_back(std::move(box));
        }
        flows_.clear();
        order_.clear();
        return boxes;
    }
    void clear() { takeAll(); }

private:
    Map flows_;
    std::list<DirectFlowKey> order_;  // least recently active first
    bool full_ = false;
};

// One relayed direct UDP flow. Shared by the flow table and the callbacks,
// which compare it with the table's entry to know whether they still belong.
struct DirectUDPSessionBox : DirectFlowEntry {
    std::shared_ptr<UDPSession> session;
};

// Data sent to the application and not yet acknowledged by it, from the
// oldest byte on: what a retransmission sends again.
class UnacknowledgedBytes {
public:
    size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    const uint8_t* at(size_t offset) const { return data_.data() + head_ + offset; }
    void append(const uint8_t* bytes, size_t length) { data_.insert(data_.end(), bytes, bytes + length); }
    // The application acknowledged the first n bytes. The front is dropped
    // lazily, so a stream of small acknowledgements moves no memory.
    void consume(size_t n) {
        head_ += n < size() ? n : size();
        if (head_ == data_.size()) {
            data_.clear();
            head_ = 0;
        } else if (head_ >= 16384 && head_ * 2 >= data_.size()) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() {
        Bytes().swap(data_);
        head_ = 0;
    }

private:
    Bytes data_;
    size_t head_ = 0;
};

// One relayed direct TCP connection: the provider plays the remote host
// towards the application, and relays the byte stream over `connection`.
struct DirectTCPSessionBox : DirectFlowEntry {
    explicit DirectTCPSessionBox(std::shared_ptr<HeldBytes::Pool> pool = std::make_shared<HeldBytes::Pool>())
        : held(std::move(pool)) {}

    std::shared_ptr<TCPConnection> connection;
    uint32_t clientNextSequence = 0;  // next byte expected from the application
    uint32_t serverNextSequence = 0;  // next byte sent to the application
    int maxPayloadSize = 0;
    std::vector<Bytes> pendingWrites;  // accepted before the connection connected
    // What the application acknowledged and how much more it takes: outside
    // reads wait while the bytes it has not acknowledged fill its window, so
    // nothing is ever sent that its stack would have to drop.
    uint32_t clientAcknowledged = 0;
    uint32_t clientWindow = 0;
    bool readOutstanding = false;
    bool connected = false;
    // The application sent its FIN: the outside stream is closed for
    // writing once what it sent is out, and our FIN follows the remote
    // end's, so an application that half-closes still gets its reply.
    bool clientFinished = false;
    // Bytes accepted from the application that the outside connection has
    // not taken yet. The window we advertise shrinks by them, so a slow
    // remote end slows the application instead of growing memory.
    size_t outsideBacklog = 0;
    uint16_t advertisedWindow = 0xffff;
    // The right edge of the window last advertised: payload beyond it is
    // dropped, not acknowledged.
    uint32_t windowEdge = 0;
    // The outside backlog and the unacknowledged bytes towards the
    // application, counted against the limit of all connections together.
    HeldBytes held;
    bool readRetryScheduled = false;  // reading waits for room in that limit

    // Retransmission towards the application.
    struct Retransmission {
        UnacknowledgedBytes unacknowledged;
        bool finSent = false;             // our FIN is the last sequence number sent
        Instant deadline = kDistantPast;  // when the oldest unacknowledged data is sent again
        double timeout = 0;               // the current retransmission timeout, seconds
        bool timerArmed = false;
        int timeouts = 0;        // expiries in a row without progress
        int duplicateAcks = 0;   // in a row, for the same acknowledgement
        bool recovering = false;
        uint32_t recoveryPoint = 0;  // what was sent when the recovery began
    } retransmission;
};

}  // namespace vantu
