#pragma once

// Sending many UDP datagrams with few system calls, for the data channel on
// both ends: runs of equal-sized datagrams to one destination go out as one
// UDP GSO message (the kernel cuts it, and the stack below is walked once
// per run instead of once per datagram), everything else as one sendmmsg
// call for up to kMaxMessages messages.

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vantu {

class UDPBatchSender {
public:
    // One datagram: its bytes and, for an unconnected socket, where it goes
    // (null for a connected one). Consecutive datagrams with the same
    // destination pointer content can share one GSO message.
    struct Datagram {
        const uint8_t* data;
        size_t size;
        const sockaddr* to = nullptr;
        socklen_t toLength = 0;
    };
    struct Result {
        size_t sent = 0;    // datagrams handed to the kernel, from the front
        int error = 0;      // errno of the message that stopped the call, 0 when all went
        size_t failed = 0;  // datagrams in that message (a GSO run fails as a whole)
    };

    static constexpr size_t kMaxMessages = 64;
    // The kernel takes at most 64 segments in one GSO message, and all of
    // them must fit one IP datagram's 64 KiB.
    static constexpr size_t kMaxSegments = 64;
    static constexpr size_t kMaxGSOBytes = 65000;

    // Sends the datagrams in order until all are sent or one message fails;
    // the caller decides what an error means (EAGAIN: wait until writable).
    // MSG_DONTWAIT is always set. EINTR is retried here.
    Result send(int fd, const Datagram* datagrams, size_t count);

    // GSO is used until the kernel refuses it once (an old kernel, or a
    // route through a device without checksum offload); from then on each
    // datagram is its own message.
    bool gsoEnabled() const { return gso_; }
    void disableGSO() { gso_ = false; }

private:
    struct Message {
        size_t first;  // index of its first datagram
        size_t count;  // datagrams in it
    };

    bool gso_ = true;
    std::vector<mmsghdr> headers_;
    std::vector<iovec> iov_;
    std::vector<Message> messages_;
    std::vector<uint8_t> control_;
};

// Receiving many UDP datagrams with one system call: recvmmsg into slots
// of 64 KiB, each of which may hold a GRO buffer (datagrams of one sender
// that the kernel kept together) that is cut back into its datagrams here.
// The slots are only used during receive(): sockets that are read one after
// the other (all on one thread) can share one receiver.
class UDPBatchReceiver {
public:
    static constexpr size_t kSlotBytes = 65536;

    explicit UDPBatchReceiver(size_t slots);
    size_t slots() const { return slots_; }

    // Asks the kernel to keep datagrams of one flow together (UDP_GRO);
    // false where it cannot, and receiving works the same without it.
    static bool enableGRO(int fd);

    // One recvmmsg call (MSG_DONTWAIT; EINTR retried) for at most
    // `maxMessages` messages (all slots when 0). Calls
    // onDatagram(data, size, from, fromLength) for every datagram, in
    // order. Returns the number of datagrams, or -errno (-EAGAIN when none
    // was waiting).
    template <typename OnDatagram>
    long receive(int fd, OnDatagram&& onDatagram, size_t maxMessages = 0) {
        const long messages = receiveMessages(fd, maxMessages == 0 ? slots_ : std::min(maxMessages, slots_));
        if (messages < 0) return messages;
        long datagrams = 0;
        for (long m = 0; m < messages; ++m) {
            const mmsghdr& header = headers_[static_cast<size_t>(m)];
            const uint8_t* data = slot(static_cast<size_t>(m));
            const size_t length = header.msg_len;
            const size_t segment = segmentSize(header.msg_hdr, length);
            for (size_t at = 0; at < length || (length == 0 && at == 0); at += segment) {
                const size_t size = std::min(segment, length - at);
                onDatagram(data + at, size, reinterpret_cast<const sockaddr*>(&from_[static_cast<size_t>(m)]),
                           header.msg_hdr.msg_namelen);
                ++datagrams;
                if (length == 0) break;
            }
        }
        return datagrams;
    }

private:
    long receiveMessages(int fd, size_t messages);
    uint8_t* slot(size_t i) { return buffer_.get() + i * kSlotBytes; }
    // The GRO segment size of a message, or its whole length.
    static size_t segmentSize(const msghdr& header, size_t length);

    size_t slots_;
    // Not zeroed: the kernel writes a slot before it is read, and pages
    // that no datagram ever reached are never touched.
    std::unique_ptr<uint8_t[]> buffer_;
    std::vector<mmsghdr> headers_;
    std::vector<iovec> iov_;
    std::vector<sockaddr_storage> from_;
    std::vector<uint8_t> control_;
};

}  // namespace vantu
