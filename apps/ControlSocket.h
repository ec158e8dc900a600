#pragma once

// The daemon's local control channel: a UNIX stream socket that carries one
// app message per connection. The client writes the message and shuts down
// its sending side; the daemon reads to end of stream (or up to a size cap),
// hands the bytes to the provider, writes the reply and closes. Only the
// daemon's own user (or root) may talk to it: the socket is 0600 in a 0700
// directory, and the peer's credentials are checked on every connection.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "base/Bytes.h"
#include "base/VantuError.h"

namespace vantu::control {

inline constexpr const char* kDefaultControlSocket = "/run/vantu/vantud.sock";
inline constexpr const char* kDefaultStateDir = "/var/lib/vantu";
// vantuctl's request for the status summary. It is vantud's to answer, not
// an app message: it starts with a byte that UTF-8 never holds, so no app
// message can look like it (the provider reads such bytes as "diagnostics").
inline constexpr const char* kStatusRequest = "\xff" "vantu-status";
// A message longer than this is cut here; app messages are short commands.
inline constexpr size_t kMaxMessageBytes = 64 * 1024;
// A client that neither finishes its message nor reads the reply within this
// time loses its connection.
inline constexpr std::chrono::seconds kConnectionDeadline{10};

// Creates the socket's directory (0700) when it is missing, along with its
// missing parents (0755, like /run itself). An existing directory is left
// as it is. Throws VantuError.
inline void makeSocketDirectory(const std::string& socketPath) {
    const auto slash = socketPath.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    const std::string dir = socketPath.substr(0, slash);
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw VantuError(dir + " is not a directory");
        return;
    }
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        const std::string part = dir.substr(0, pos);
        const mode_t mode = pos == std::string::npos ? 0700 : 0755;
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            throw VantuError("cannot create " + part + ": " + std::strerror(errno));
        }
        if (pos == std::string::npos) ::chmod(part.c_str(), 0700);  // mkdir honours the umask
    }
}

// The client side, used by vantuctl.
struct ControlReply {
    enum class Status { answered, notRunning, failed };
    Status status = Status::failed;
    std::string reply;  // the reply bytes when answered
    std::string error;  // what went wrong otherwise
};

// Sends one message and reads the reply to end of stream. notRunning means
// nobody listens on the path (no socket, or a socket left by a dead daemon);
// an empty reply counts as a failure, since the daemon always has a report.
inline ControlReply sendControlMessage(const std::string& path, const std::string& message,
                                       std::chrono::milliseconds timeout) {
    ControlReply result;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        result.error = "control socket path too long: " + path;
        return result;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = std::string("socket: ") + std::strerror(errno);
        return result;
    }
    auto fail = [&](ControlReply::Status status, const std::string& text) {
        ::close(fd);
        result.status = status;
        result.error = text;
        return result;
    };
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int e = errno;
        const bool absent = e == ENOENT || e == ECONNREFUSED || e == ENOTDIR;
        return fail(absent ? ControlReply::Status::notRunning : ControlReply::Status::failed,
                    "cannot connect to " + path + ": " + std::strerror(e));
    }
    // The daemon closes without a word on a client it refuses.
    const std::string refused =
        path + " closed the connection without a reply (vantud answers only its own user and root)";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto waitFor = [&](short events) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, events, 0};
            const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
            if (rc > 0) return true;
            if (rc < 0 && errno != EINTR) return false;
        }
    };
    size_t sent = 0;
    while (sent < message.size()) {
        if (!waitFor(POLLOUT)) return fail(ControlReply::Status::failed, "timed out sending to " + path);
        const ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == EPIPE || errno == ECONNRESET) return fail(ControlReply::Status::failed, refused);
            return fail(ControlReply::Status::failed, "sending to " + path + ": " + std::strerror(errno));
        }
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char buffer[16384];
    for (;;) {
        if (!waitFor(POLLIN)) return fail(ControlReply::Status::failed, "timed out waiting for the reply on " + path);
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == ECONNRESET) return fail(ControlReply::Status::failed, refused);
            return fail(ControlReply::Status::failed, "reading the reply: " + std::string(std::strerror(errno)));
        }
        result.reply.append(buffer, static_cast<size_t>(n));
    }
    if (result.reply.empty()) return fail(ControlReply::Status::failed, refused);
    ::close(fd);
    result.status = ControlReply::Status::answered;
    return result;
}

// The daemon side. Everything runs as asynchronous operations on the given
// io_context (the provider's work queue), so a slow client never blocks it.
class ControlSocketServer {
public:
    // Hands one message to whoever answers it; `reply` may be called later,
    // on the same io_context, exactly once.
    using Handler = std::function<void(Bytes message, std::function<void(Bytes reply)> reply)>;
    using Logger = std::function<void(const std::string&)>;

    ControlSocketServer(asio::io_context& io, std::string path, Handler handler, Logger log = {})
        : io_(io), path_(std::move(path)), handler_(std::move(handler)), log_(std::move(log)), acceptor_(io) {}
    ~ControlSocketServer() { close(); }
    ControlSocketServer(const ControlSocketServer&) = delete;
    ControlSocketServer& operator=(const ControlSocketServer&) = delete;

    // Binds and listens. A socket file left by a daemon that is gone is
    // replaced; one that still answers means another daemon runs, which is
    // an error. Throws VantuError.
    void open() {
        makeSocketDirectory(path_);
        struct stat st{};
        if (::lstat(path_.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) throw VantuError(path_ + " exists and is not a socket");
            const ControlReply probe = probeOnly(path_);
            if (probe.status != ControlReply::Status::notRunning) {
                throw VantuError("another daemon answers on " + path_);
            }
            ::unlink(path_.c_str());
        }
        // The socket is created 0600 from the start: no moment in which
        // another user could connect.
        const mode_t previous = ::umask(0177);
        std::error_code ec;
        acceptor_.open(asio::local::stream_protocol(), ec);
        if (!ec) acceptor_.bind(asio::local::stream_protocol::endpoint(path_), ec);
        ::umask(previous);
        if (!ec) acceptor_.listen(16, ec);
        if (ec) {
            std::error_code ignored;
            acceptor_.close(ignored);
            throw VantuError("cannot listen on " + path_ + ": " + ec.message());
        }
        ::chmod(path_.c_str(), 0600);
        bound_ = true;
        accept();
    }

    // Stops accepting and removes the socket file. Connections in progress
    // finish or time out on their own. Idempotent.
    void close() {
        std::error_code ignored;
        if (acceptor_.is_open()) acceptor_.close(ignored);
        if (bound_) {
            ::unlink(path_.c_str());
            bound_ = false;
        }
        *alive_ = false;
    }

    const std::string& path() const { return path_; }
    uint64_t handled() const { return handled_; }
    uint64_t refused() const { return refused_; }

private:
    struct Connection {
        explicit Connection(asio::io_context& io) : socket(io), deadline(io) {}
        asio::local::stream_protocol::socket socket;
        asio::steady_timer deadline;
        std::string message;
        char chunk[4096];
        Bytes reply;
    };

    // Connects and disconnects without sending a message, so that a live
    // daemon's provider is not asked anything.
    static ControlReply probeOnly(const std::string& path) {
        ControlReply result;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof address.sun_path - 1));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return result;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            result.status = (errno == ECONNREFUSED || errno == ENOENT) ? ControlReply::Status::notRunning
                                                                        : ControlReply::Status::failed;
        } else {
            result.status = ControlReply::Status::answered;
        }
        ::close(fd);
        return result;
    }

    void log(const std::string& line) const {
        if (log_) log_(line);
    }

    void accept() {
        auto connection = std::make_shared<Connection>(io_);
        acceptor_.async_accept(connection->socket, [this, connection, alive = alive_](const std::error_code& ec) {
            if (!*alive || ec == asio::error::operation_aborted) return;
            if (!ec) serve(connection);
            accept();
        });
    }

    void serve(const std::shared_ptr<Connection>& connection) {
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(connection->socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            (peer.uid != 0 && peer.uid != ::geteuid())) {
            ++refused_;
            log("control socket: refused a connection from uid " + std::to_string(peer.uid));
            return;  // the socket closes with the connection object
        }
        connection->deadline.expires_after(kConnectionDeadline);
        connection->deadline.async_wait([connection](const std::error_code& ec) {
            if (ec) return;
            std::error_code ignored;
            connection->socket.close(ignored);
        });
        readMore(connection);
    }

    void readMore(const std::shared_ptr<Connection>& connection) {
        connection->socket.async_read_some(
            asio::buffer(connection->chunk),
            [this, connection, alive = alive_](const std::error_code& ec, size_t n) {
                if (!connection->socket.is_open()) return;  // timed out
                if (!ec) {
                    // Past the cap the rest is read and dropped: closing with
                    // unread bytes would reset the connection before the
                    // client has its reply.
                    const size_t room = kMaxMessageBytes - connection->message.size();
                    connection->message.append(connection->chunk, std::min(n, room));
                    readMore(connection);
                    return;
                }
                if (ec != asio::error::eof || !*alive) return;
                dispatch(connection);
            });
    }

    void dispatch(const std::shared_ptr<Connection>& connection) {
        ++handled_;
        Bytes message(connection->message.begin(), connection->message.end());
        handler_(std::move(message), [connection](Bytes reply) {
            connection->reply = std::move(reply);
            asio::async_write(connection->socket, asio::buffer(connection->reply),
                              [connection](const std::error_code&, size_t) {
                                  std::error_code ignored;
                                  connection->deadline.cancel();
                                  connection->socket.shutdown(asio::socket_base::shutdown_both, ignored);
                                  connection->socket.close(ignored);
                              });
        });
    }

    asio::io_context& io_;
    std::string path_;
    Handler handler_;
    Logger log_;
    asio::local::stream_protocol::acceptor acceptor_;
    bool bound_ = false;
    uint64_t handled_ = 0;
    uint64_t refused_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantu::control
