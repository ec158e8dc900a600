// The TCP branch of the data channel: one marked TCP connection to the
// server's data port carrying length-prefixed encrypted units, read through a
// read source on the work queue and written from a bounded buffer by
// non-blocking sends.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

namespace {

std::string errnoText(int code) { return std::strerror(code); }

// Connects the non-blocking socket, waiting at most `timeout` seconds.
// Returns 0 or the errno of the failure.
int connectWithin(int fd, const sockaddr_in& address, double timeout) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ETIMEDOUT;
        int pending = 0;
        socklen_t size = sizeof pending;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return errno;
        return pending;
    }
}

}  // namespace

void PacketTunnelProvider::startTCPConnection(const std::string& serverHost,
                                              std::shared_ptr<VantuSession> channelSession, int64_t generation) {
    const auto failHandshake = [this](const std::string& text) { finishHandshake(TunnelError::fromVantu(text)); };

    // Non-blocking from the start: the connect below is bounded by poll, and
    // the read loop relies on would-block results to stop.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        failHandshake("TCP socket failed: " + errnoText(errno));
        return;
    }
    // Without the mark the channel's own packets would be routed into the
    // tunnel they carry.
    if (const uint32_t mark = host.outsideSocketMark(); mark != 0) {
        if (::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
            const int e = errno;
            ::close(fd);
            failHandshake("TCP socket failed: cannot set SO_MARK: " + errnoText(e));
            return;
        }
    }
    const int bufferBytes = DataChannelState::kTCPSocketBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    // (Linux has no per-socket SIGPIPE switch; every send passes MSG_NOSIGNAL.)
    // Each frame is a packet of someone's flow: a small one (an ACK, a
    // keystroke) must not wait for the acknowledgement of the segment before
    // it. A batch of frames is gathered before it is sent, so this costs no
    // extra segments under load.
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(channelSession->dataPort));
    if (::inet_pton(AF_INET, serverHost.c_str(), &address.sin_addr) != 1) {
        ::close(fd);
        failHandshake("invalid data host " + serverHost);
        return;
    }
    if (const int e = connectWithin(fd, address, DataChannelState::kTCPConnectTimeout); e != 0) {
        ::close(fd);
        failHandshake("TCP connect failed: " + errnoText(e));
        return;
    }
    dataChannel.dataFD = fd;

    const std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
    try {
        dataChannel.dataSource = queue.readSource(
            fd,
            [weak, generation] {
                const auto self = weak.lock();
                if (self && self->dataChannel.dataChannelGeneration == generation) self->receiveSocketFrames();
            },
            [fd] { ::close(fd); });
    } catch (const std::exception& e) {
        // closeDataChannel closes dataChannel.dataFD itself when there is no source.
        failHandshake(std::string("TCP socket failed: ") + e.what());
        return;
    }
    log("TCP socket ready " + serverHost + ":" + std::to_string(channelSession->dataPort));
    scheduleTCPPing(generation);

    queue.after(Duration(DataChannelState::kHandshakeTimeout), [weak, generation] {
        const auto self = weak.lock();
        if (!self || self->dataChannel.dataChannelGeneration != generation || self->dataChannel.handshakeCompleted) return;
        self->log("handshake timeout waiting for encrypted pong");
        self->finishHandshake(
            TunnelError::fromVantu("Vantu encrypted TCP handshake timed out; " + self->tcpDiagnostics()));
    });
}

void PacketTunnelProvider::scheduleTCPPing(int64_t generation) {
    // The generation keeps the ping chain of a closed channel from running
    // on beside the chain of the next one.
    if (!session || session->transport != "tcp" || dataChannel.dataFD < 0 || dataChannel.handshakeCompleted ||
        dataChannel.dataChannelGeneration != generation) {
        return;
    }
    sendPingFrame();
    queue.after(Duration(DataChannelState::kHandshakePingInterval), [weak = weak_from_this(), generation] {
        if (const auto self = weak.lock()) self->scheduleTCPPing(generation);
    });
}

void PacketTunnelProvider::receiveSocketFrames() {
    if (dataChannel.dataFD < 0 || !session) return;
    const int fd = dataChannel.dataFD;
    const int64_t generation = dataChannel.dataChannelGeneration;
    // The packets of every frame these reads bring reach the system in one write.
    const PacketBatchScope batch(*this);
    Bytes chunk(DataChannelState::kTCPReceiveChunk);
    // A fast sender must not hold the queue forever: after this many chunks
    // the source fires again for the rest.
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n == 0) {
            dataChannel.lastTCPReceiveError = "peer closed data channel";
            log("TCP peer closed data channel");
            failDataChannel("TCP peer closed data channel");
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            dataChannel.lastTCPReceiveError = errnoText(errno);
            log("TCP recv failed: " + dataChannel.lastTCPReceiveError);
            failDataChannel("TCP recv failed: " + dataChannel.lastTCPReceiveError);
            return;
        }
        const Bytes received(chunk.begin(), chunk.begin() + n);
        if (session && session->transport == "tcp") {
            dataChannel.tcpReceivedBytes += n;
            receiveTCPBytes(received);
        } else {
            decryptAndHandlePacket(received);
        }
        // A frame may have ended this channel (and another may have started).
        if (dataChannel.dataChannelGeneration != generation || dataChannel.dataFD != fd || !session) return;
    }
}

void PacketTunnelProvider::receiveTCPBytes(const Bytes& bytes) {
    const int64_t generation = dataChannel.dataChannelGeneration;
    dataChannel.tcpReadBuffer.insert(dataChannel.tcpReadBuffer.end(), bytes.begin(), bytes.end());
    // Frames are taken from a moving offset and the consumed prefix removed
    // once, so many small frames in one read cost no repeated shifting.
    size_t offset = 0;
    for (;;) {
        const size_t available = dataChannel.tcpReadBuffer.size() - offset;
        if (available < 4) break;
        const uint32_t length = readBE32(dataChannel.tcpReadBuffer.data() + offset);
        if (length == 0 || length > DataChannelState::kMaxTCPFrameBytes) {
            const std::string text = "TCP invalid frame size " + std::to_string(length);
            log(text);
            if (!dataChannel.handshakeCompleted) {
                closeDataChannel();
                finishHandshake(TunnelError::fromVantu(text));
            } else {
                // The stream has lost its framing and cannot be resynchronised;
                // a channel closed quietly here would leave the tunnel without
                // a carrier and without a keepalive to notice.
                failDataChannel(text);
            }
            return;
        }
        if (available < static_cast<size_t>(length) + 4) break;
        const uint8_t* unit = dataChannel.tcpReadBuffer.data() + offset + 4;
        offset += static_cast<size_t>(length) + 4;
        ++dataChannel.tcpFramesReceived;
        decryptAndHandlePacket(unit, length);
        if (dataChannel.dataChannelGeneration != generation) return;  // closed meanwhile: its buffer is gone
    }
    dataChannel.tcpReadBuffer.erase(dataChannel.tcpReadBuffer.begin(), dataChannel.tcpReadBuffer.begin() + static_cast<std::ptrdiff_t>(offset));
}

void PacketTunnelProvider::enqueueTCPWrite(const Bytes& streamFrame) {
    compactTCPWriteBufferIfNeeded();
    const int64_t pending = static_cast<int64_t>(dataChannel.tcpWriteBuffer.size()) - dataChannel.tcpWriteOffset;
    if (pending + static_cast<int64_t>(streamFrame.size()) > DataChannelState::maxTCPWriteBufferBytes) {
        throw VantuError("TCP send buffer overflow");
    }
    dataChannel.tcpWriteBuffer.insert(dataChannel.tcpWriteBuffer.end(), streamFrame.begin(), streamFrame.end());
    // Inside a packet batch the frames of the whole batch leave together
    // when it ends: one send() and fuller segments instead of one each.
    if (packetBatches.depth > 0) {
        packetBatches.streamFlushPending = true;
        return;
    }
    flushTCPWriteBuffer();
}

void PacketTunnelProvider::flushTCPWriteBuffer() {
    if (!session || session->transport != "tcp" || dataChannel.dataFD < 0) {
        Bytes().swap(dataChannel.tcpWriteBuffer);
        dataChannel.tcpWriteOffset = 0;
        dataChannel.tcpWriteRetryScheduled = false;
        return;
    }
    for (;;) {
        if (dataChannel.tcpWriteOffset >= static_cast<int64_t>(dataChannel.tcpWriteBuffer.size())) {
            dataChannel.tcpWriteBuffer.clear();
            dataChannel.tcpWriteOffset = 0;
            dataChannel.tcpWriteRetryScheduled = false;
            return;
        }
        const ssize_t n = ::send(dataChannel.dataFD, dataChannel.tcpWriteBuffer.data() + dataChannel.tcpWriteOffset,
                                 dataChannel.tcpWriteBuffer.size() - static_cast<size_t>(dataChannel.tcpWriteOffset), MSG_NOSIGNAL);
        if (n > 0) {
            dataChannel.tcpWriteOffset += n;
            dataChannel.tcpSentBytes += n;
            compactTCPWriteBufferIfNeeded();
            continue;
        }
        if (n == 0) {
            failTCPSend("socket closed while sending");
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            scheduleTCPWriteRetry();
            return;
        }
        // A failure that does not end the channel leaves the bytes for the
        // next flush; one that does empties the buffer with the channel.
        failTCPSend(errnoText(errno));
        return;
    }
}

void PacketTunnelProvider::compactTCPWriteBufferIfNeeded() {
    if (dataChannel.tcpWriteOffset <= 0) return;
    const int64_t length = static_cast<int64_t>(dataChannel.tcpWriteBuffer.size());
    if (dataChannel.tcpWriteOffset == length) {
        dataChannel.tcpWriteBuffer.clear();
        dataChannel.tcpWriteOffset = 0;
    } else if (dataChannel.tcpWriteOffset > DataChannelState::kTCPCompactionThreshold && dataChannel.tcpWriteOffset > length / 2) {
        dataChannel.tcpWriteBuffer.erase(dataChannel.tcpWriteBuffer.begin(), dataChannel.tcpWriteBuffer.begin() + dataChannel.tcpWriteOffset);
        dataChannel.tcpWriteOffset = 0;
    }
}

void PacketTunnelProvider::failTCPSend(const std::string& text) {
    ++dataChannel.tcpSendFailures;
    dataChannel.lastTCPSendError = text;
    recordDiagnostic("TCP send failed: " + text);
    if (!dataChannel.handshakeCompleted) {
        finishHandshake(TunnelError::fromVantu("TCP send failed: " + text));
    } else if (dataChannel.tcpSendFailures >= 3) {
        failDataChannel("TCP send failed: " + text);
    }
}

void PacketTunnelProvider::scheduleTCPWriteRetry() {
    if (dataChannel.tcpWriteRetryScheduled) return;
    dataChannel.tcpWriteRetryScheduled = true;
    queue.after(Duration(DataChannelState::kTCPWriteRetryDelay), [weak = weak_from_this(), generation = dataChannel.dataChannelGeneration] {
        const auto self = weak.lock();
        // A retry of a closed channel must not clear the flag of the next one.
        if (!self || self->dataChannel.dataChannelGeneration != generation) return;
        self->dataChannel.tcpWriteRetryScheduled = false;
        self->flushTCPWriteBuffer();
    });
}

}  // namespace vantu
