#pragma once

// A deterministic platform for tests: a work queue driven by a virtual clock,
// scriptable outside sessions and connections, a scriptable default path, an
// in-memory packet flow, defaults store and log, and a capturing tunnel host.
// Nothing here touches the network or real time, so an 8-second handshake
// timeout or a 40-second keepalive failure runs in microseconds.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Platform.h"

namespace vantu::sim {

class SimClock : public Clock {
public:
    Instant now() const override { return now_; }
    void set(Instant t) { now_ = t; }
private:
    // An arbitrary, fixed starting point keeps event timestamps reproducible.
    Instant now_ = Instant(std::chrono::seconds(1'800'000'000));
};

// Serial queue in virtual time. Work runs only inside run*/advance* calls, in
// deadline order, ties in scheduling order; submitted work is due "now".
class SimWorkQueue : public WorkQueue {
public:
    const Clock& clock() const override { return clock_; }
    void submit(std::function<void()> work) override;
    void after(Duration delay, std::function<void()> work) override;
    std::shared_ptr<Cancellable> repeating(Duration first, Duration interval, std::function<void()> handler) override;
    std::shared_ptr<Cancellable> readSource(int fd, std::function<void()> onReadable,
                                            std::function<void()> onCancel) override;

    // Runs everything due at the current virtual time (including work that
    // this work schedules for now). Returns the number of items run.
    size_t runUntilIdle();
    // Moves virtual time forward to now + d, running every item that falls
    // due on the way at its own deadline (the clock reads that deadline
    // while the item runs).
    void advance(Duration d);
    void advanceTo(Instant t);
    size_t pendingCount() const;
    SimClock& simClock() { return clock_; }
    // A sim read source becomes readable when the test says so.
    void makeReadable(int fd);

private:
    struct Item { Instant due; uint64_t order; std::function<void()> work; };
    void schedule(Instant due, std::function<void()> work);
    bool runNextDue(Instant limit);
    SimClock clock_;
    std::vector<Item> items_;
    uint64_t nextOrder_ = 0;
    struct Source;
    std::map<int, std::weak_ptr<Source>> sources_;
};

class SimPacketFlow : public PacketFlow {
public:
    explicit SimPacketFlow(WorkQueue& queue) : queue_(queue) {}
    void readPackets(ReadCompletion completion) override;
    void writePackets(const std::vector<Bytes>& packets, const std::vector<int>& protocols) override;

    // Queues one batch for the system side; it is delivered (on the work
    // queue) to the pending or the next read.
    void inject(std::vector<Bytes> batch);
    // inject() of copies made in buffers the reader handed back (through
    // recyclePackets), as a device read fills reused buffers.
    void injectCopies(const std::vector<Bytes>& batch);
    void recyclePackets(std::vector<Bytes>& packets) override;
    size_t recycledBuffers() const { return spare_.size(); }
    bool readPending() const { return static_cast<bool>(pendingRead_); }
    int readRequests = 0;
    int writeCalls = 0;  // writePackets() calls, however many packets each
    // Off: written packets are counted in writeCount but not kept.
    bool recordWrites = true;
    size_t writeCount = 0;
    std::vector<Bytes> written;
    std::vector<int> writtenProtocols;

private:
    void deliverIfPossible();
    WorkQueue& queue_;
    ReadCompletion pendingRead_;
    std::deque<std::vector<Bytes>> batches_;
    std::vector<Bytes> spare_;
};

// A scriptable outside UDP session. The test sets its state, delivers
// datagrams or errors, and inspects what was written.
class SimUDPSession : public UDPSession {
public:
    SimUDPSession(WorkQueue& queue, std::string host, std::string port)
        : host(std::move(host)), port(std::move(port)), queue_(queue) {}
    UDPSessionState state() const override { return state_; }
    void setReadHandler(ReadHandler handler, size_t maxDatagrams) override;
    void writeDatagram(Bytes datagram, ErrorCompletion completion) override;
    void writeDatagrams(std::vector<Bytes> datagrams, BatchCompletion completion) override;
    void cancel() override;

    void setState(UDPSessionState s) { state_ = s; }
    // Delivers through the work queue, as the real platform does.
    void deliver(std::vector<Bytes> datagrams);
    void deliverError(const std::string& description);
    // Write completions: immediate success by default; when failWrites is set
    // they fail with that text. When holdWriteCompletions is set they wait in
    // heldCompletions until completeHeldWrites().
    std::optional<std::string> failWrites;
    bool holdWriteCompletions = false;
    void completeHeldWrites(std::optional<std::string> error = std::nullopt);

    const std::string host, port;
    std::vector<Bytes> writes;
    size_t batchWrites = 0;  // writeDatagrams() calls
    // Off: batches are counted in writeCount but not kept, and their
    // buffers go back to the writer as a real socket's do.
    bool recordWrites = true;
    size_t writeCount = 0;
    size_t maxDatagrams = 0;
    bool cancelled = false;
    bool hasReadHandler() const { return static_cast<bool>(handler_); }

private:
    WorkQueue& queue_;
    UDPSessionState state_ = UDPSessionState::preparing;
    ReadHandler handler_;
    std::vector<ErrorCompletion> held_;
};

class SimTCPConnection : public TCPConnection {
public:
    SimTCPConnection(WorkQueue& queue, std::string host, std::string port)
        : host(std::move(host)), port(std::move(port)), queue_(queue) {}
    TCPConnectionState state() const override { return state_; }
    void readMinimumLength(size_t minimum, size_t maximum,
                           std::function<void(Bytes, std::optional<TunnelError>)> completion) override;
    void write(Bytes data, ErrorCompletion completion) override;
    void closeWrite() override { writeClosed = true; }
    void cancel() override;

    void setState(TCPConnectionState s) { state_ = s; }
    // Bytes from the remote end, through the work queue to the pending or
    // the next read; an empty buffer ends the stream.
    void deliver(Bytes data);
    void deliverError(const std::string& description);
    const std::string host, port;
    std::vector<Bytes> writes;
    bool cancelled = false;
    bool writeClosed = false;
    // When set, write completions wait in order until completeHeldWrites(n):
    // a remote end that takes data slowly.
    bool holdWriteCompletions = false;
    void completeHeldWrites(size_t count);

private:
    WorkQueue& queue_;
    std::deque<ErrorCompletion> heldWrites_;
    TCPConnectionState state_ = TCPConnectionState::connecting;
    std::function<void(Bytes, std::optional<TunnelError>)> pendingRead_;
    Bytes buffered_;
    // What the pending read may take, and a scripted end of stream or error
    // that waits for the next read when none is pending.
    size_t readMaximum_ = 0;
    bool endOfStream_ = false;
    std::optional<std::string> pendingError_;
};

class SimTunnelHost : public TunnelHost {
public:
    explicit SimTunnelHost(WorkQueue& queue) : queue_(queue) {}
    std::optional<ProtocolConfiguration> protocolConfiguration() const override { return protocol; }
    void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings> settings, ErrorCompletion completion) override;
    void cancelTunnelWithError(const TunnelError& error) override { cancellations.push_back(error); }
    std::shared_ptr<UDPSession> createUDPSession(const std::string& host, const std::string& port) override;
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string& host, const std::string& port) override;
    std::optional<NetworkPath> defaultPath() const override { return path; }

    // Script.
    std::optional<ProtocolConfiguration> protocol;
    std::optional<NetworkPath> path = NetworkPath{PathStatus::satisfied, false, false, "eth0 192.0.2.1 192.0.2.10"};
    // The state new UDP sessions start in.
    UDPSessionState initialUDPState = UDPSessionState::ready;
    // When set, applying settings fails with this text.
    std::optional<std::string> settingsError;
    // Called for each new UDP session before it is returned (to script it).
    std::function<void(SimUDPSession&)> onNewUDPSession;

    // Captured.
    std::vector<std::optional<TunnelNetworkSettings>> appliedSettings;
    std::vector<TunnelError> cancellations;
    std::vector<std::shared_ptr<SimUDPSession>> udpSessions;
    std::vector<std::shared_ptr<SimTCPConnection>> tcpConnections;

private:
    WorkQueue& queue_;
};

class MemoryDefaultsStore : public DefaultsStore {
public:
    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override;
    std::optional<std::string> string(const std::string& key) const override;
    int64_t integer(const std::string& key) const override;
    std::optional<std::map<std::string, double>> dictionary(const std::string& key) const override;
    void setStringArray(const std::string& key, const std::vector<std::string>& value) override;
    void setString(const std::string& key, const std::string& value) override;
    void setInteger(const std::string& key, int64_t value) override;
    void setDictionary(const std::string& key, const std::map<std::string, double>& value) override;
    void remove(const std::string& key) override;
    int writes = 0;

private:
    using Value = std::variant<std::vector<std::string>, std::string, int64_t, std::map<std::string, double>>;
    std::map<std::string, Value> values_;
};

class CapturingLog : public SystemLog {
public:
    void write(const std::string& line) override { lines.push_back(line); }
    bool contains(const std::string& text) const;
    std::vector<std::string> lines;
};

// Everything a provider needs, wired together.
struct SimPlatform {
    SimWorkQueue queue;
    SimPacketFlow packetFlow{queue};
    SimTunnelHost host{queue};
    MemoryDefaultsStore defaults;
    CapturingLog log;
    Platform platform() { return Platform{queue, packetFlow, host, defaults, log}; }
};

}  // namespace vantu::sim
