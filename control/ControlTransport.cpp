// The socket layer of the control session: name resolution, connection,
// write and read, each bounded by the one absolute deadline of the exchange.
//
// This file deliberately depends on nothing but the C library, so that the
// transport can be exercised without the codec behind it.

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "base/VantuError.h"
#include "control/VantuControl.h"

namespace vantu {
namespace VantuControl {

namespace {

bool beforeDeadline(Instant deadline) { return std::chrono::system_clock::now() < deadline; }

// Linux has no per-socket SO_NOSIGPIPE; every send carries this flag instead,
// so that a peer that went away yields EPIPE rather than killing the process.
constexpr int kSendFlags = MSG_NOSIGNAL;

// A JSON object document ends with "}" and optional white space. Bytes whose
// last significant byte is anything else cannot decode yet, so the full
// decode attempt is skipped for them: a long response arriving in many
// segments is then not re-parsed once per segment.
bool isJSONWhitespace(uint8_t byte) { return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r'; }

}  // namespace

int32_t remainingMilliseconds(Instant deadline, Instant now) {
    // Compare before subtracting: a distant-past deadline minus now would overflow.
    if (deadline <= now) return 0;
    const double seconds = std::chrono::duration<double>(deadline - now).count();
    if (seconds <= 0) return 0;
    const double millis = std::ceil(seconds * 1000.0);
    if (millis >= 2147483647.0) return 2147483647;
    return static_cast<int32_t>(millis);
}

int32_t remainingMilliseconds(Instant deadline) {
    return remainingMilliseconds(deadline, std::chrono::system_clock::now());
}

std::string posixMessage(int32_t code) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, which may or may not be `buffer`.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

void setNonBlocking(int socket) {
    // SIGPIPE is suppressed per send (MSG_NOSIGNAL) on this system; there is no
    // socket option for it to turn on here.
    const int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags < 0) throw VantuError("control socket setup failed: " + posixMessage(errno));
    if (::fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw VantuError("control socket setup failed: " + posixMessage(errno));
    }
}

void connect(int socket, const sockaddr* address, socklen_t length, Instant deadline) {
    if (::connect(socket, address, length) == 0) return;
    if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR) {
        throw VantuError("control connect failed: " + posixMessage(errno));
    }
    while (beforeDeadline(deadline)) {
        pollfd record{socket, POLLOUT, 0};
        const int ready = ::poll(&record, 1, remainingMilliseconds(deadline));
        if (ready > 0) {
            int pending = 0;
            socklen_t size = sizeof pending;
            if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &size) < 0) {
                throw VantuError("control connect check failed: " + posixMessage(errno));
            }
            if (pending == 0) return;
            throw VantuError("control connect failed: " + posixMessage(pending));
        }
        if (ready < 0 && errno != EINTR) {
            throw VantuError("control connect poll failed: " + posixMessage(errno));
        }
    }
    throw VantuError("control connect timed out");
}

int connectFirst(const addrinfo* addresses, Instant deadline) {
    std::string lastError = "no address";
    for (const addrinfo* entry = addresses; entry != nullptr; entry = entry->ai_next) {
        // Addresses share one deadline: a slow first address can leave no time for the next.
        if (!beforeDeadline(deadline)) break;
        const int socket = ::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (socket < 0) {
            lastError = posixMessage(errno);
            continue;
        }
        try {
            setNonBlocking(socket);
            connect(socket, entry->ai_addr, entry->ai_addrlen, deadline);
        } catch (const VantuError& error) {
            lastError = error.message();
            ::close(socket);
            continue;
        }
        return socket;
    }
    throw VantuError("control connect failed: " + lastError);
}

int connectControlSocket(const std::string& host, uint16_t port, Instant deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG;

    addrinfo* result = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
    if (status != 0 || result == nullptr) {
        if (result != nullptr) ::freeaddrinfo(result);
        throw VantuError(std::string("control DNS failed: ") + ::gai_strerror(status));
    }
    // The list is released on every path, the throwing one included.
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(result, &::freeaddrinfo);
    return connectFirst(owned.get(), deadline);
}

void writeControlPayload(const Bytes& payload, int socket, Instant deadline) {
    if (payload.empty()) return;
    size_t sent = 0;
    while (sent < payload.size()) {
        if (!beforeDeadline(deadline)) break;
        pollfd record{socket, POLLOUT, 0};
        const int ready = ::poll(&record, 1, remainingMilliseconds(deadline));
        if (ready == 0) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw VantuError("control write poll failed: " + posixMessage(errno));
        }
        const ssize_t written = ::send(socket, payload.data() + sent, payload.size() - sent, kSendFlags);
        if (written == 0) throw VantuError("control write failed: socket closed");
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            throw VantuError("control write failed: " + posixMessage(errno));
        }
        sent += static_cast<size_t>(written);
    }
    if (sent != payload.size()) throw VantuError("control write timed out");
}

ControlResponse readControlResponse(int socket, Instant deadline, const ResponseDecoder& decode) {
    const ChunkSource receive = [socket, deadline](uint8_t* buffer, size_t size) -> ssize_t {
        while (beforeDeadline(deadline)) {
            pollfd record{socket, POLLIN, 0};
            const int ready = ::poll(&record, 1, remainingMilliseconds(deadline));
            if (ready == 0) return -1;
            if (ready < 0) {
                if (errno == EINTR) continue;
                throw VantuError("control poll failed: " + posixMessage(errno));
            }
            // POLLHUP alone is not an error: the receive below then reports end of stream.
            if (record.revents & (POLLERR | POLLNVAL)) throw VantuError("control read failed: socket error");

            const ssize_t count = ::recv(socket, buffer, size, 0);
            if (count < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                throw VantuError("control read failed: " + posixMessage(errno));
            }
            return count;
        }
        return -1;
    };
    return readResponseChunks(receive, decode);
}

ControlResponse readResponseChunks(const ChunkSource& receive, const ResponseDecoder& decode) {
    Bytes received;
    uint8_t buffer[receiveChunkBytes];
    uint8_t lastSignificant = 0;
    for (;;) {
        const ssize_t count = receive(buffer, sizeof buffer);
        if (count <= 0) break;
        received.insert(received.end(), buffer, buffer + count);
        if (received.size() > maxResponseBytes) throw VantuError("control response too large");
        for (ssize_t i = count; i > 0; --i) {
            if (!isJSONWhitespace(buffer[i - 1])) {
                lastSignificant = buffer[i - 1];
                break;
            }
        }

        // A complete response ends the exchange at once, even while the
        // server keeps the connection open; an incomplete one is read further.
        if (lastSignificant == '}') {
            try {
                return decode(received);
            } catch (const VantuError&) {
            }
        }
    }
    if (received.empty()) throw VantuError("control request timed out");
    // End of stream or deadline with bytes in hand: their decoding error is the answer.
    return decode(received);
}

}  // namespace VantuControl
}  // namespace vantu
