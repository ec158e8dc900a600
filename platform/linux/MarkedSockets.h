#pragma once

// Outside connections of the tunnel: sockets whose packets carry the
// daemon's firewall mark (SO_MARK). The policy rule "not fwmark MARK lookup
// TABLE" sends every unmarked packet into the tunnel's routing table, so
// marked sockets use the ordinary routes and never loop through the tunnel.
// A mark of 0 sets no mark (tests without CAP_NET_ADMIN).
//
// Host names resolve on Asio's resolver thread; the result, like every other
// completion and handler here, runs on the work queue. Create, use and
// cancel these objects on the queue thread. IPv4 only.

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include "platform/Platform.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/UDPBatch.h"

namespace vantu {

// A connected UDP socket to one endpoint.
//
// States: preparing while the host name resolves, ready once the socket is
// connected (at once for a dotted quad), failed when resolution or the
// socket failed, cancelled after cancel(). Reading starts when a read
// handler is set and the session is ready; each call of the handler carries
// a batch of up to maxDatagrams datagrams, or an error after which no more
// calls follow. ICMP errors of earlier datagrams (connection refused, host
// unreachable) are not read errors: the endpoint may come back.
// Writes issued while preparing are sent once ready; every write's
// completion runs once, on the queue, after the call returned. Writes wait
// in a bounded queue (while preparing, or while the socket buffer is full):
// beyond kMaxQueuedDatagrams or kMaxQueuedBytes a datagram is dropped the way
// a full network card drops it, its completion reports success and
// droppedDatagrams() counts it. Failing the write instead would count
// against the data channel, which ends after a few failures; a burst of
// traffic is congestion, not a broken channel.
class MarkedUDPSession final : public UDPSession, public std::enable_shared_from_this<MarkedUDPSession> {
public:
    static std::shared_ptr<MarkedUDPSession> create(AsioWorkQueue& queue, const std::string& host,
                                                    const std::string& port, uint32_t mark);
    ~MarkedUDPSession() override;

    UDPSessionState state() const override { return state_; }
    void setReadHandler(ReadHandler handler, size_t maxDatagrams) override;
    void writeDatagram(Bytes datagram, ErrorCompletion completion) override;
    // The batch goes out in as few system calls as the kernel allows (UDP
    // GSO for runs of equal-sized datagrams, sendmmsg otherwise).
    void writeDatagrams(std::vector<Bytes> datagrams, BatchCompletion completion) override;
    void cancel() override;
    uint64_t droppedDatagrams() const override { return droppedDatagrams_; }

    static constexpr size_t kMaxQueuedDatagrams = 1024;
    static constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;

    // Why the session failed, when it did.
    const std::optional<TunnelError>& failure() const { return failure_; }
    // "address:port" of both ends once ready, empty before.
    std::string localEndpoint() const;
    std::string remoteEndpoint() const;
    // The socket, -1 before ready and after cancel (for diagnostics).
    int nativeHandle() { return socket_.is_open() ? socket_.native_handle() : -1; }

    struct PrivateTag {};
    MarkedUDPSession(PrivateTag, AsioWorkQueue& queue, std::string host, std::string port, uint32_t mark);

private:
    struct BatchState {
        std::vector<Bytes> datagrams;  // kept here until the batch is done, then handed back
        std::vector<std::optional<TunnelError>> results;
        size_t remaining;
        BatchCompletion completion;
    };
    // A datagram of writeDatagram() carries its bytes and completion, one
    // of writeDatagrams() its place in the batch.
    struct PendingWrite {
        Bytes datagram;
        ErrorCompletion completion;
        std::shared_ptr<BatchState> batch;
        size_t index = 0;
        const Bytes& bytes() const { return batch ? batch->datagrams[index] : datagram; }
    };
    // A completion due to run, with its result (or a batch whose last
    // datagram is done).
    struct Done {
        ErrorCompletion completion;
        std::optional<TunnelError> error;
        std::shared_ptr<BatchState> batch;
    };

    void start();
    void connectTo(const asio::ip::udp::endpoint& endpoint);
    void fail(const TunnelError& error);
    void readBatch();
    void enqueue(PendingWrite write);
    void flushWrites();
    void finish(PendingWrite& write, const std::optional<TunnelError>& error);
    void finishFront(const std::optional<TunnelError>& error);
    // Runs every completion that finish() collected, in order, in one
    // handler on the queue: never inside the call that wrote.
    void postDone();

    AsioWorkQueue& queue_;
    std::string host_;
    std::string port_;
    uint32_t mark_;
    UDPSessionState state_ = UDPSessionState::preparing;
    std::optional<TunnelError> failure_;
    asio::ip::udp::resolver resolver_;
    asio::ip::udp::socket socket_;
    ReadHandler readHandler_;
    size_t maxDatagrams_ = 1;
    bool reading_ = false;
    bool waitingWritable_ = false;
    std::deque<PendingWrite> writes_;  // waiting for ready or for buffer space
    size_t queuedBytes_ = 0;           // the datagrams in writes_
    uint64_t droppedDatagrams_ = 0;
    std::vector<Done> done_;
    UDPBatchSender sender_;
    std::vector<UDPBatchSender::Datagram> sendBatch_;
};

// A TCP connection to one endpoint.
//
// States: connecting while resolving and connecting, connected, disconnected
// after a failed connect or a read/write error, cancelled after cancel().
// Writes are sent in call order (queued while connecting); one read at a
// time: its completion gets 1..maximum bytes, or empty data without error
// at end of stream, or an error. Completions run once, on the queue; after
// cancel() outstanding ones run with ECANCELED.
class MarkedTCPConnection final : public TCPConnection, public std::enable_shared_from_this<MarkedTCPConnection> {
public:
    static std::shared_ptr<MarkedTCPConnection> create(AsioWorkQueue& queue, const std::string& host,
                                                       const std::string& port, uint32_t mark);
    ~MarkedTCPConnection() override;

    TCPConnectionState state() const override { return state_; }
    void readMinimumLength(size_t minimum, size_t maximum,
                           std::function<void(Bytes data, std::optional<TunnelError> error)> completion) override;
    void write(Bytes data, ErrorCompletion completion) override;
    void closeWrite() override;
    void cancel() override;

    const std::optional<TunnelError>& failure() const { return failure_; }
    std::string localEndpoint() const;
    int nativeHandle() { return socket_.is_open() ? socket_.native_handle() : -1; }

    struct PrivateTag {};
    MarkedTCPConnection(PrivateTag, AsioWorkQueue& queue, std::string host, std::string port, uint32_t mark);

private:
    using ReadCompletion = std::function<void(Bytes, std::optional<TunnelError>)>;
    struct PendingWrite {
        Bytes data;
        ErrorCompletion completion;
    };

    void start();
    void connectTo(const asio::ip::tcp::endpoint& endpoint);
    void fail(const TunnelError& error);
    void writeNext();

    AsioWorkQueue& queue_;
    std::string host_;
    std::string port_;
    uint32_t mark_;
    TCPConnectionState state_ = TCPConnectionState::connecting;
    std::optional<TunnelError> failure_;
    asio::ip::tcp::resolver resolver_;
    asio::ip::tcp::socket socket_;
    std::deque<PendingWrite> writes_;
    bool writing_ = false;
    bool closeWriteRequested_ = false;
    ReadCompletion read_;
    Bytes readBuffer_;
};

// The error form of a system call failure: domain "posix", the errno value,
// and the system's text for it.
TunnelError posixError(int code, const std::string& context = "");

}  // namespace vantu
