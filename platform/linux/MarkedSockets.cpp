#include "platform/linux/MarkedSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "platform/linux/Netlink.h"

namespace vantu {

namespace {

constexpr size_t kMaxBatch = 64;

std::optional<uint16_t> parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

// The soft errors a connected UDP socket reports for an earlier datagram
// (ICMP unreachable): they say nothing about the next one.
bool isSoftUDPError(int e) {
    return e == ECONNREFUSED || e == EHOSTUNREACH || e == ENETUNREACH || e == EHOSTDOWN;
}

// A tunnel's data channel moves bursts of full-size datagrams; the kernel's
// default buffers (about 200 KiB) overflow under a single TCP stream and turn
// into retransmissions inside the tunnel. Ask for 4 MiB; the FORCE variants
// pass the rmem_max/wmem_max caps when we hold CAP_NET_ADMIN, the plain ones
// are the best effort otherwise.
void enlargeDatagramBuffers(int fd) {
    const int bytes = 4 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
}

// A non-blocking IPv4 socket with the mark set; -1 and errno on failure.
int markedSocket(int type, uint32_t mark, std::string* step) {
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *step = "socket";
        return -1;
    }
    if (mark != 0 && ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        *step = "cannot set SO_MARK";
        return -1;
    }
    if (type == SOCK_DGRAM) {
        enlargeDatagramBuffers(fd);
        // Bursts from one sender arrive as one buffer per receive slot;
        // reading splits them back. Without GRO it reads the same.
        UDPBatchReceiver::enableGRO(fd);
    }
    return fd;
}

// The receive slots of every UDP session read on this thread. Sessions are
// read one at a time on their queue's thread, and each copies what it
// received out before the next read, so one set of slots serves them all:
// a direct flow per source port of an application must not cost the
// 2 MiB of slots of its own that a batch of 32 datagrams needs.
UDPBatchReceiver& sharedReceiver() {
    thread_local UDPBatchReceiver receiver(kMaxBatch);
    return receiver;
}

template <typename Endpoint>
std::string endpointText(const Endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

TunnelError posixError(int code, const std::string& context) {
    const std::string reason = std::strerror(code);
    return TunnelError::platform("posix", code, context.empty() ? reason : context + ": " + reason);
}

namespace {

// Turns host:port into one IPv4 endpoint without blocking the queue: a dotted
// quad at once, a name through Asio's resolver thread with the answer posted
// back. The owner is held weakly while the resolver runs, and the answer is
// dropped when `stillWaiting` says the owner has moved on (cancelled).
template <typename Protocol, typename Owner, typename StillWaiting, typename Connect, typename Fail>
void resolveEndpoint(Owner& owner, asio::ip::basic_resolver<Protocol>& resolver, const std::string& host,
                     const std::string& portText, StillWaiting stillWaiting, Connect connect, Fail fail) {
    const auto port = parsePort(portText);
    if (!port) {
        fail(owner, TunnelError::platform("posix", EINVAL, "invalid port " + portText));
        return;
    }
    if (auto address = parseIPv4(host)) {
        connect(owner, typename Protocol::endpoint(asio::ip::address_v4(*address), *port));
        return;
    }
    std::weak_ptr<Owner> weak = owner.weak_from_this();
    resolver.async_resolve(Protocol::v4(), host, portText, asio::ip::resolver_base::numeric_service,
                           [weak, host, stillWaiting, connect, fail](
                               const asio::error_code& ec, typename asio::ip::basic_resolver<Protocol>::results_type results) {
                               auto self = weak.lock();
                               if (!self || !stillWaiting(*self)) return;
                               if (ec || results.empty()) {
                                   fail(*self, TunnelError::platform(
                                                   "dns", ec ? ec.value() : EAI_NONAME,
                                                   "cannot resolve " + host + ": " +
                                                       (ec ? ec.message() : std::string("no IPv4 address"))));
                                   return;
                               }
                               connect(*self, results.begin()->endpoint());
                           });
}

}  // namespace

// ---------------------------------------------------------------- UDP

MarkedUDPSession::MarkedUDPSession(PrivateTag, AsioWorkQueue& queue, std::string host, std::string port,
                                   uint32_t mark)
    : queue_(queue), host_(std::move(host)), port_(std::move(port)), mark_(mark), resolver_(queue.context()),
      socket_(queue.context()) {}

MarkedUDPSession::~MarkedUDPSession() {
    asio::error_code ec;
    socket_.close(ec);
}

std::shared_ptr<MarkedUDPSession> MarkedUDPSession::create(AsioWorkQueue& queue, const std::string& host,
                                                           const std::string& port, uint32_t mark) {
    auto session = std::make_shared<MarkedUDPSession>(PrivateTag{}, queue, host, port, mark);
    session->start();
    return session;
}

void MarkedUDPSession::start() {
    resolveEndpoint(
        *this, resolver_, host_, port_, [](MarkedUDPSession& s) { return s.state_ == UDPSessionState::preparing; },
        [](MarkedUDPSession& s, const asio::ip::udp::endpoint& endpoint) { s.connectTo(endpoint); },
        [](MarkedUDPSession& s, const TunnelError& error) { s.fail(error); });
}

void MarkedUDPSession::connectTo(const asio::ip::udp::endpoint& endpoint) {
    std::string step;
    const int fd = markedSocket(SOCK_DGRAM, mark_, &step);
    if (fd < 0) {
        fail(posixError(errno, step));
        return;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(endpoint.port());
    sin.sin_addr.s_addr = htonl(endpoint.address().to_v4().to_uint());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
        const int e = errno;
        ::close(fd);
        fail(posixError(e, "connect to " + endpointText(endpoint)));
        return;
    }
    asio::error_code ec;
    socket_.assign(asio::ip::udp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
        fail(posixError(ec.value(), "register socket"));
        return;
    }
    state_ = UDPSessionState::ready;
    flushWrites();
    if (readHandler_ && !reading_) {
        reading_ = true;
        std::weak_ptr<MarkedUDPSession> weak = weak_from_this();
        asio::post(queue_.context(), [weak] {
            if (auto self = weak.lock()) self->readBatch();
        });
    }
}

void MarkedUDPSession::fail(const TunnelError& error) {
    if (state_ == UDPSessionState::failed || state_ == UDPSessionState::cancelled) return;
    state_ = UDPSessionState::failed;
    failure_ = error;
    asio::error_code ec;
    socket_.close(ec);
    auto writes = std::move(writes_);
    writes_.clear();
    queuedBytes_ = 0;
    for (auto& w : writes) finish(w, error);
    postDone();
}

void MarkedUDPSession::setReadHandler(ReadHandler handler, size_t maxDatagrams) {
    readHandler_ = std::move(handler);
    maxDatagrams_ = std::clamp<size_t>(maxDatagrams, 1, kMaxBatch);
    if (state_ != UDPSessionState::ready || reading_ || !readHandler_) return;
    reading_ = true;
    std::weak_ptr<MarkedUDPSession> weak = weak_from_this();
    asio::post(queue_.context(), [weak] {
        if (auto self = weak.lock()) self->readBatch();
    });
}

void MarkedUDPSession::readBatch() {
    if (state_ != UDPSessionState::ready || !readHandler_) {
        reading_ = false;
        return;
    }
    UDPBatchReceiver& receiver = sharedReceiver();
    std::vector<Bytes> datagrams;
    long received;
    for (;;) {
        received = receiver.receive(
            socket_.native_handle(),
            [&](const uint8_t* data, size_t size, const sockaddr*, socklen_t) { datagrams.emplace_back(data, data + size); },
            maxDatagrams_);
        if (received >= 0) break;
        const int e = static_cast<int>(-received);
        if (isSoftUDPError(e)) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            std::weak_ptr<MarkedUDPSession> weak = weak_from_this();
            socket_.async_wait(asio::socket_base::wait_read, [weak](const asio::error_code& ec) {
                auto self = weak.lock();
                if (!self) return;
                if (ec) {
                    self->reading_ = false;
                    return;
                }
                self->readBatch();
            });
            return;
        }
        // A hard error: the session is over; the handler hears it once.
        reading_ = false;
        auto handler = readHandler_;
        const TunnelError error = posixError(e);
        fail(error);
        if (handler) handler({}, error);
        return;
    }
    // With GRO one message may hold dozens of datagrams: the handler still
    // gets at most maxDatagrams at a time.
    for (size_t at = 0; at < datagrams.size();) {
        const size_t take = std::min(maxDatagrams_, datagrams.size() - at);
        std::vector<Bytes> batch;
        if (at == 0 && take == datagrams.size()) {
            batch = std::move(datagrams);
        } else {
            batch.assign(std::make_move_iterator(datagrams.begin() + static_cast<std::ptrdiff_t>(at)),
                         std::make_move_iterator(datagrams.begin() + static_cast<std::ptrdiff_t>(at + take)));
        }
        at += take;
        auto handler = readHandler_;  // a copy: the handler may replace or cancel
        handler(std::move(batch), std::nullopt);
        if (state_ != UDPSessionState::ready || !readHandler_) {
            reading_ = false;
            return;
        }
    }
    std::weak_ptr<MarkedUDPSession> weak = weak_from_this();
    asio::post(queue_.context(), [weak] {
        if (auto self = weak.lock()) self->readBatch();
    });
}

void MarkedUDPSession::writeDatagram(Bytes datagram, ErrorCompletion completion) {
    enqueue(PendingWrite{std::move(datagram), std::move(completion), nullptr, 0});
    if (state_ == UDPSessionState::ready && !waitingWritable_) flushWrites();
    postDone();
}

void MarkedUDPSession::writeDatagrams(std::vector<Bytes> datagrams, BatchCompletion completion) {
    if (datagrams.empty()) return;
    const size_t count = datagrams.size();
    auto batch = std::make_shared<BatchState>(BatchState{std::move(datagrams),
                                                         std::vector<std::optional<TunnelError>>(count), count,
                                                         std::move(completion)});
    for (size_t i = 0; i < count; ++i) enqueue(PendingWrite{Bytes{}, nullptr, batch, i});
    if (state_ == UDPSessionState::ready && !waitingWritable_) flushWrites();
    postDone();
}

void MarkedUDPSession::enqueue(PendingWrite write) {
    const bool queueing = state_ == UDPSessionState::preparing || state_ == UDPSessionState::waiting ||
                          state_ == UDPSessionState::ready;
    if (queueing &&
        (writes_.size() >= kMaxQueuedDatagrams || queuedBytes_ + write.bytes().size() > kMaxQueuedBytes)) {
        ++droppedDatagrams_;
        finish(write, std::nullopt);
        return;
    }
    if (queueing) {
        queuedBytes_ += write.bytes().size();
        writes_.push_back(std::move(write));
        return;
    }
    if (state_ == UDPSessionState::cancelled) {
        finish(write, posixError(ECANCELED));
        return;
    }
    finish(write, failure_ ? *failure_ : posixError(ENOTCONN));
}

void MarkedUDPSession::finish(PendingWrite& write, const std::optional<TunnelError>& error) {
    if (write.batch) {
        write.batch->results[write.index] = error;
        if (--write.batch->remaining == 0) done_.push_back(Done{nullptr, std::nullopt, std::move(write.batch)});
        return;
    }
    if (write.completion) done_.push_back(Done{std::move(write.completion), error, nullptr});
}

void MarkedUDPSession::finishFront(const std::optional<TunnelError>& error) {
    PendingWrite& front = writes_.front();
    queuedBytes_ -= front.bytes().size();
    finish(front, error);
    writes_.pop_front();
}

void MarkedUDPSession::postDone() {
    if (done_.empty()) return;
    asio::post(queue_.context(), [done = std::move(done_)]() mutable {
        for (Done& d : done) {
            if (d.batch) {
                if (d.batch->completion) d.batch->completion(d.batch->results, d.batch->datagrams);
            } else {
                d.completion(d.error);
            }
        }
    });
    done_.clear();
}

void MarkedUDPSession::flushWrites() {
    int softErrors = 0;
    while (state_ == UDPSessionState::ready && !writes_.empty()) {
        const size_t count = std::min(writes_.size(), UDPBatchSender::kMaxMessages * UDPBatchSender::kMaxSegments);
        sendBatch_.clear();
        for (size_t i = 0; i < count; ++i) {
            const Bytes& bytes = writes_[i].bytes();
            sendBatch_.push_back({bytes.data(), bytes.size()});
        }
        const UDPBatchSender::Result result = sender_.send(socket_.native_handle(), sendBatch_.data(), count);
        for (size_t i = 0; i < result.sent; ++i) finishFront(std::nullopt);
        if (result.error == 0) continue;
        const int e = result.error;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            waitingWritable_ = true;
            std::weak_ptr<MarkedUDPSession> weak = weak_from_this();
            socket_.async_wait(asio::socket_base::wait_write, [weak](const asio::error_code& ec) {
                auto self = weak.lock();
                if (!self) return;
                self->waitingWritable_ = false;
                if (!ec) self->flushWrites();
                self->postDone();
            });
            break;
        }
        // A soft error left by an earlier datagram (an ICMP message): the
        // send did not happen and the error is now cleared, so try again,
        // but only a few times for the same datagram.
        if (isSoftUDPError(e) && ++softErrors < 3) continue;
        softErrors = 0;
        for (size_t i = 0; i < result.failed && !writes_.empty(); ++i) finishFront(posixError(e));
    }
    postDone();
}

void MarkedUDPSession::cancel() {
    if (state_ == UDPSessionState::cancelled) return;
    state_ = UDPSessionState::cancelled;
    resolver_.cancel();
    asio::error_code ec;
    socket_.close(ec);
    auto writes = std::move(writes_);
    writes_.clear();
    queuedBytes_ = 0;
    for (auto& w : writes) finish(w, posixError(ECANCELED));
    postDone();
}

std::string MarkedUDPSession::localEndpoint() const {
    asio::error_code ec;
    auto endpoint = socket_.local_endpoint(ec);
    return ec ? "" : endpointText(endpoint);
}

std::string MarkedUDPSession::remoteEndpoint() const {
    asio::error_code ec;
    auto endpoint = socket_.remote_endpoint(ec);
    return ec ? "" : endpointText(endpoint);
}

// ---------------------------------------------------------------- TCP

MarkedTCPConnection::MarkedTCPConnection(PrivateTag, AsioWorkQueue& queue, std::string host, std::string port,
                                         uint32_t mark)
    : queue_(queue), host_(std::move(host)), port_(std::move(port)), mark_(mark), resolver_(queue.context()),
      socket_(queue.context()) {}

MarkedTCPConnection::~MarkedTCPConnection() {
    asio::error_code ec;
    socket_.close(ec);
}

std::shared_ptr<MarkedTCPConnection> MarkedTCPConnection::create(AsioWorkQueue& queue, const std::string& host,
                                                                 const std::string& port, uint32_t mark) {
    auto connection = std::make_shared<MarkedTCPConnection>(PrivateTag{}, queue, host, port, mark);
    connection->start();
    return connection;
}

void MarkedTCPConnection::start() {
    resolveEndpoint(
        *this, resolver_, host_, port_,
        [](MarkedTCPConnection& c) { return c.state_ == TCPConnectionState::connecting; },
        [](MarkedTCPConnection& c, const asio::ip::tcp::endpoint& endpoint) { c.connectTo(endpoint); },
        [](MarkedTCPConnection& c, const TunnelError& error) { c.fail(error); });
}

void MarkedTCPConnection::connectTo(const asio::ip::tcp::endpoint& endpoint) {
    std::string step;
    const int fd = markedSocket(SOCK_STREAM, mark_, &step);
    if (fd < 0) {
        fail(posixError(errno, step));
        return;
    }
    asio::error_code ec;
    socket_.assign(asio::ip::tcp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
        fail(posixError(ec.value(), "register socket"));
        return;
    }
    std::weak_ptr<MarkedTCPConnection> weak = weak_from_this();
    socket_.async_connect(endpoint, [weak, endpoint](const asio::error_code& error) {
        auto self = weak.lock();
        if (!self || self->state_ != TCPConnectionState::connecting) return;
        if (error) {
            self->fail(posixError(error.value(), "connect to " + endpointText(endpoint)));
            return;
        }
        self->state_ = TCPConnectionState::connected;
        self->writeNext();
    });
}

void MarkedTCPConnection::fail(const TunnelError& error) {
    if (state_ == TCPConnectionState::disconnected || state_ == TCPConnectionState::cancelled) return;
    state_ = TCPConnectionState::disconnected;
    failure_ = error;
    asio::error_code ec;
    socket_.close(ec);
    auto writes = std::move(writes_);
    writes_.clear();
    writing_ = false;
    auto read = std::move(read_);
    read_ = nullptr;
    asio::post(queue_.context(), [writes = std::move(writes), read = std::move(read), error]() mutable {
        for (auto& w : writes)
            if (w.completion) w.completion(error);
        if (read) read({}, error);
    });
}

void MarkedTCPConnection::readMinimumLength(size_t minimum, size_t maximum, ReadCompletion completion) {
    auto reject = [this, &completion](const TunnelError& error) {
        asio::post(queue_.context(), [completion = std::move(completion), error] { completion({}, error); });
    };
    if (state_ == TCPConnectionState::cancelled) return reject(posixError(ECANCELED));
    if (state_ != TCPConnectionState::connected) return reject(failure_ ? *failure_ : posixError(ENOTCONN));
    if (read_) return reject(posixError(EBUSY, "a read is already pending"));
    maximum = std::max<size_t>(maximum, 1);
    minimum = std::clamp<size_t>(minimum, 1, maximum);
    read_ = std::move(completion);
    readBuffer_.resize(maximum);
    std::weak_ptr<MarkedTCPConnection> weak = weak_from_this();
    asio::async_read(socket_, asio::buffer(readBuffer_), asio::transfer_at_least(minimum),
                     [weak](const asio::error_code& ec, size_t n) {
                         auto self = weak.lock();
                         if (!self || !self->read_) return;  // cancelled or failed: already answered
                         if (ec && ec != asio::error::eof) {
                             self->fail(posixError(ec.value()));  // answers the read
                             return;
                         }
                         auto completion = std::move(self->read_);
                         self->read_ = nullptr;
                         // At end of stream: what arrived before it, or empty data.
                         Bytes data(self->readBuffer_.begin(), self->readBuffer_.begin() + static_cast<long>(n));
                         completion(std::move(data), std::nullopt);
                     });
}

void MarkedTCPConnection::write(Bytes data, ErrorCompletion completion) {
    if (state_ == TCPConnectionState::cancelled || state_ == TCPConnectionState::disconnected ||
        state_ == TCPConnectionState::invalid) {
        const TunnelError error = state_ == TCPConnectionState::cancelled ? posixError(ECANCELED)
                                  : failure_                              ? *failure_
                                                                          : posixError(ENOTCONN);
        asio::post(queue_.context(), [completion = std::move(completion), error] {
            if (completion) completion(error);
        });
        return;
    }
    writes_.push_back({std::move(data), std::move(completion)});
    if (state_ == TCPConnectionState::connected && !writing_) writeNext();
}

void MarkedTCPConnection::closeWrite() {
    closeWriteRequested_ = true;
    writeNext();
}

void MarkedTCPConnection::writeNext() {
    if (writing_ || state_ != TCPConnectionState::connected) return;
    if (writes_.empty()) {
        // Everything asked for is sent: now the remote end may see the end.
        if (closeWriteRequested_) {
            closeWriteRequested_ = false;
            asio::error_code ec;
            socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
        }
        return;
    }
    writing_ = true;
    std::weak_ptr<MarkedTCPConnection> weak = weak_from_this();
    // The front element stays in place (deque references are stable) until
    // its write completes.
    asio::async_write(socket_, asio::buffer(writes_.front().data), [weak](const asio::error_code& ec, size_t) {
        auto self = weak.lock();
        if (!self || !self->writing_) return;  // cancelled or failed: already answered
        self->writing_ = false;
        if (ec) {
            self->fail(posixError(ec.value()));  // answers this write and the queued ones
            return;
        }
        auto completion = std::move(self->writes_.front().completion);
        self->writes_.pop_front();
        if (completion) completion(std::nullopt);
        self->writeNext();
    });
}

void MarkedTCPConnection::cancel() {
    if (state_ == TCPConnectionState::cancelled) return;
    state_ = TCPConnectionState::cancelled;
    resolver_.cancel();
    asio::error_code ec;
    socket_.close(ec);
    auto writes = std::move(writes_);
    writes_.clear();
    writing_ = false;
    auto read = std::move(read_);
    read_ = nullptr;
    const TunnelError error = posixError(ECANCELED);
    asio::post(queue_.context(), [writes = std::move(writes), read = std::move(read), error]() mutable {
        for (auto& w : writes)
            if (w.completion) w.completion(error);
        if (read) read({}, error);
    });
}

std::string MarkedTCPConnection::localEndpoint() const {
    asio::error_code ec;
    auto endpoint = socket_.local_endpoint(ec);
    return ec ? "" : endpointText(endpoint);
}

}  // namespace vantu
