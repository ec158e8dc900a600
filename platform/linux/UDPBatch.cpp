#include "platform/linux/UDPBatch.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <cerrno>
#include <cstring>

namespace vantu {

namespace {

bool sameDestination(const UDPBatchSender::Datagram& a, const UDPBatchSender::Datagram& b) {
    if (a.to == b.to) return true;
    if (!a.to || !b.to || a.toLength != b.toLength) return false;
    return std::memcmp(a.to, b.to, a.toLength) == 0;
}

constexpr size_t kControlSpace = CMSG_SPACE(sizeof(uint16_t));

}  // namespace

UDPBatchSender::Result UDPBatchSender::send(int fd, const Datagram* datagrams, size_t count) {
    Result result;
    size_t next = 0;
    while (next < count) {
        // Cut what is left into messages: with GSO a message is a run of
        // datagrams to one destination, all of the run's first size except
        // a smaller last one (the kernel cuts at that size).
        messages_.clear();
        size_t end = next;
        while (end < count && messages_.size() < kMaxMessages) {
            const Datagram& first = datagrams[end];
            size_t run = 1;
            size_t bytes = first.size;
            if (gso_) {
                while (end + run < count && run < kMaxSegments) {
                    const Datagram& candidate = datagrams[end + run];
                    if (candidate.size == 0 || candidate.size > first.size || bytes + candidate.size > kMaxGSOBytes ||
                        !sameDestination(first, candidate)) {
                        break;
                    }
                    bytes += candidate.size;
                    ++run;
                    if (candidate.size < first.size) break;
                }
            }
            messages_.push_back({end, run});
            end += run;
        }

        headers_.assign(messages_.size(), mmsghdr{});
        iov_.resize(end - next);
        control_.assign(messages_.size() * kControlSpace, 0);
        size_t at = 0;
        for (size_t m = 0; m < messages_.size(); ++m) {
            const Message& message = messages_[m];
            for (size_t k = 0; k < message.count; ++k) {
                const Datagram& d = datagrams[message.first + k];
                iov_[at + k] = {const_cast<uint8_t*>(d.data), d.size};
            }
            msghdr& header = headers_[m].msg_hdr;
            header.msg_iov = &iov_[at];
            header.msg_iovlen = message.count;
            header.msg_name = const_cast<sockaddr*>(datagrams[message.first].to);
            header.msg_namelen = datagrams[message.first].toLength;
            if (message.count > 1) {
                header.msg_control = &control_[m * kControlSpace];
                header.msg_controllen = kControlSpace;
                cmsghdr* cmsg = CMSG_FIRSTHDR(&header);
                cmsg->cmsg_level = SOL_UDP;
                cmsg->cmsg_type = UDP_SEGMENT;
                cmsg->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const auto segment = static_cast<uint16_t>(datagrams[message.first].size);
                std::memcpy(CMSG_DATA(cmsg), &segment, sizeof segment);
            }
            at += message.count;
        }

        const int sent = ::sendmmsg(fd, headers_.data(), static_cast<unsigned>(headers_.size()), MSG_DONTWAIT);
        if (sent < 0) {
            const int e = errno;
            if (e == EINTR) continue;
            const Message& failing = messages_.front();
            // A kernel or a route that cannot segment: the same datagrams
            // again, one message each, and never GSO again.
            if (failing.count > 1 && (e == EIO || e == EINVAL || e == EOPNOTSUPP || e == ENOPROTOOPT)) {
                gso_ = false;
                continue;
            }
            result.error = e;
            result.failed = failing.count;
            return result;
        }
        // Fewer than asked: the next call starts at the first message that
        // did not go and reports why it stopped.
        for (int m = 0; m < sent; ++m) {
            result.sent += messages_[static_cast<size_t>(m)].count;
            next += messages_[static_cast<size_t>(m)].count;
        }
    }
    return result;
}

namespace {
constexpr size_t kReceiveControlSpace = CMSG_SPACE(sizeof(int));
}  // namespace

UDPBatchReceiver::UDPBatchReceiver(size_t slots)
    : slots_(std::max<size_t>(slots, 1)),
      buffer_(new uint8_t[slots_ * kSlotBytes]),
      headers_(slots_),
      iov_(slots_),
      from_(slots_),
      control_(slots_ * kReceiveControlSpace) {}

bool UDPBatchReceiver::enableGRO(int fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}

long UDPBatchReceiver::receiveMessages(int fd, size_t messages) {
    for (size_t i = 0; i < messages; ++i) {
        iov_[i] = {slot(i), kSlotBytes};
        msghdr& header = headers_[i].msg_hdr;
        header = {};
        header.msg_iov = &iov_[i];
        header.msg_iovlen = 1;
        header.msg_name = &from_[i];
        header.msg_namelen = sizeof(sockaddr_storage);
        header.msg_control = &control_[i * kReceiveControlSpace];
        header.msg_controllen = kReceiveControlSpace;
        headers_[i].msg_len = 0;
    }
    for (;;) {
        const int received = ::recvmmsg(fd, headers_.data(), static_cast<unsigned>(messages), MSG_DONTWAIT, nullptr);
        if (received >= 0) return received;
        if (errno != EINTR) return -errno;
    }
}

size_t UDPBatchReceiver::segmentSize(const msghdr& header, size_t length) {
    for (const cmsghdr* cmsg = CMSG_FIRSTHDR(&header); cmsg != nullptr;
         cmsg = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(cmsg))) {
        if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_GRO) {
            int segment = 0;
            std::memcpy(&segment, CMSG_DATA(cmsg), sizeof segment);
            if (segment > 0) return static_cast<size_t>(segment);
        }
    }
    return length == 0 ? 1 : length;
}

}  // namespace vantu
