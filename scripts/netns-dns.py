#!/usr/bin/env python3
"""A tiny authoritative DNS responder for the namespace topology.

Answers A queries for NAME.vantu.test (and vantu.test itself) with one
address, every other query with NXDOMAIN (AAAA and other types of our names
with an empty answer), and logs each query with the asking address, so the
demo and the tests can see which resolver asked. UDP only, one query per
datagram, standard library only.

Usage: netns-dns.py BIND_ADDRESS ANSWER_ADDRESS
"""

import socket
import struct
import sys

ZONE = "vantu.test"


def parse_question(packet):
    """Returns (id, flags, qname, qtype, qclass, end of question) or None."""
    if len(packet) < 12:
        return None
    ident, flags, qdcount = struct.unpack("!HHH", packet[:6])
    if qdcount != 1 or flags & 0x8000:
        return None
    labels, pos = [], 12
    while True:
        if pos >= len(packet):
            return None
        length = packet[pos]
        pos += 1
        if length == 0:
            break
        if length & 0xC0 or pos + length > len(packet):
            return None
        labels.append(packet[pos:pos + length].decode("ascii", "replace").lower())
        pos += length
    if pos + 4 > len(packet):
        return None
    qtype, qclass = struct.unpack("!HH", packet[pos:pos + 4])
    return ident, flags, ".".join(labels), qtype, qclass, pos + 4


def answer(packet, address):
    parsed = parse_question(packet)
    if parsed is None:
        return None, None
    ident, flags, name, qtype, qclass, end = parsed
    ours = name == ZONE or name.endswith("." + ZONE)
    rcode = 0 if ours else 3
    answers = b""
    if ours and qtype == 1 and qclass == 1:
        # Name pointer to the question (offset 12), A, IN, TTL 60, 4 bytes.
        answers = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + socket.inet_aton(address)
    reply_flags = 0x8000 | 0x0400 | (flags & 0x0100) | rcode  # response, authoritative, RD copied
    header = struct.pack("!HHHHHH", ident, reply_flags, 1, 1 if answers else 0, 0, 0)
    return header + packet[12:end] + answers, name


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    bind_address, answer_address = sys.argv[1], sys.argv[2]
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((bind_address, 53))
    print(f"answering {ZONE} with {answer_address} on {bind_address}:53", flush=True)
    while True:
        packet, peer = server.recvfrom(4096)
        reply, name = answer(packet, answer_address)
        if reply is None:
            continue
        print(f"{peer[0]} asked {name}", flush=True)
        server.sendto(reply, peer)


if __name__ == "__main__":
    sys.exit(main())
