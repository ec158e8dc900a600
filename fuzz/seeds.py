#!/usr/bin/env python3
"""Writes starting corpora for the fuzz targets, built like the unit tests'
inputs: DNS queries and answers with pointers, UDP and TCP packets with
options, control responses, configurations and data frames.

Usage: seeds.py OUTPUT_DIR   (one subdirectory per target)
"""

import json
import os
import struct
import sys


def ipv4(proto, src, dst, l4, ihl_words=0):
    ihl = 20 + 4 * ihl_words
    head = struct.pack("!BBHHHBBH4s4s", 0x40 | (ihl // 4), 0, ihl + len(l4), 0x1234, 0x4000, 64, proto, 0,
                       bytes(src), bytes(dst))
    return head + b"\x01" * (ihl - 20) + l4


def udp(src, sport, dst, dport, payload, ihl_words=0):
    return ipv4(17, src, dst, struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload, ihl_words)


def tcp(src, sport, dst, dport, flags, seq=1, ack=0, options=b"", payload=b""):
    off = (20 + len(options)) // 4
    head = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, off << 4, flags, 65535, 0, 0)
    return ipv4(6, src, dst, head + options + payload)


def name(text):
    out = b""
    for label in text.split("."):
        if label:
            out += bytes([len(label)]) + label.encode()
    return out + b"\x00"


def dns(ident, flags, question, answers=(), ancount=None):
    body = name(question) + struct.pack("!HH", 1, 1)
    for owner, rtype, rdata in answers:
        body += owner + struct.pack("!HHIH", rtype, 1, 300, len(rdata)) + rdata
    count = len(answers) if ancount is None else ancount
    return struct.pack("!HHHHHH", ident, flags, 1, count, 0, 0) + body


def checksum(data, initial=0):
    total = initial
    for i in range(0, len(data) - 1, 2):
        total += (data[i] << 8) | data[i + 1]
    if len(data) % 2:
        total += data[-1] << 8
    while total >> 16:
        total = (total & 0xffff) + (total >> 16)
    return ~total & 0xffff


def checked_tcp(src, dst, seq, payload, flags=0x10, ident=0x1234):
    """An IPv4/TCP packet with both checksums valid."""
    head = struct.pack("!HHIIBBHHH", 40000, 443, seq, 7, 5 << 4, flags, 65535, 0, 0)
    segment = head + payload
    pseudo = bytes(src) + bytes(dst) + struct.pack("!BBH", 0, 6, len(segment))
    segment = segment[:16] + struct.pack("!H", checksum(pseudo + segment)) + segment[18:]
    ip = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(segment), ident, 0x4000, 64, 6, 0,
                               bytes(src), bytes(dst)))
    ip[10:12] = struct.pack("!H", checksum(bytes(ip)))
    return bytes(ip) + segment


def vnet(flags=0, gso_type=0, hdr_len=0, gso_size=0, csum_start=0, csum_offset=0):
    # virtio_net_hdr, little-endian as the device uses it on this machine
    return struct.pack("<BBHHHH", flags, gso_type, hdr_len, gso_size, csum_start, csum_offset)


APP, FAR, RES = [10, 7, 0, 2], [203, 0, 113, 5], [100, 100, 100, 100]
PTR = b"\xc0\x0c"
ANSWERS = [
    dns(1, 0x8180, "api.example.com", [(PTR, 5, name("edge.example.net")), (name("edge.example.net"), 1, bytes([203, 0, 113, 10]))]),
    dns(2, 0x8180, "example.com", [(PTR, 1, bytes([198, 51, 100, 7])), (PTR, 28, b"\x01" * 16)], ancount=5),
    dns(3, 0x8180, "loop.example.com", [(b"\xc0\x25", 1, b"\x01\x02\x03\x04")]),
]
SEEDS = {
    "fuzz_dns": [udp(APP, 40000, RES, 53, dns(7, 0x0100, "web.vantu.test")),
                 udp(APP, 40000, RES, 53, dns(7, 0x0100, "www.example.com"), ihl_words=1)]
                + [udp(RES, 53, APP, 40000, a) for a in ANSWERS],
    "fuzz_direct_codecs": [udp(APP, 999, FAR, 443, b"ping"),
                           tcp(APP, 999, FAR, 443, 0x02, options=b"\x02\x04\x05\xb4"),
                           tcp(APP, 999, FAR, 443, 0x02, options=b"\x01\x01\x03\x03\x06\x02\x04\x05\x78\x00\x00\x00"),
                           tcp(APP, 999, FAR, 443, 0x18, payload=b"GET / HTTP/1.1\r\n\r\n")],
    # Reads of the TUN device: a plain packet, a TCP super-packet to cut
    # (partial checksum, 100-byte segments), and one that asks for UDP
    # segmentation, which the device was never told to do.
    "fuzz_tun_offload": [vnet() + checked_tcp(APP, FAR, 1, b"x" * 100),
                         vnet(1, 1, 40, 100, 20, 16) + checked_tcp(APP, FAR, 1, b"y" * 350, flags=0x18),
                         vnet(1, 5, 28, 100, 20, 6) + udp(APP, 999, FAR, 443, b"z" * 300)],
    "fuzz_control_response": [json.dumps({
        "status": "ok", "session_id": "0a0b0c0d", "session_key": "MDEyMzQ1Njc4OWFiY2RlZg==",
        "cipher": "aes-128-gcm", "tunnel_ip": "192.0.2.2", "tunnel_mtu": 1380, "data_port": 5555, "transport": "udp",
        "routing": {"direct_domains": ["example.com", "regexp:^a.*"], "direct_ips": ["203.0.113.0/24"],
                    "dns_servers": ["9.9.9.9"], "client_route_learning_enabled": True}}).encode(),
        b'{"status": "error", "message": "invalid secret"}'],
    "fuzz_config": [json.dumps({"server": "192.0.2.1:443", "secretKey": "s", "dnsServers": ["9.9.9.9"],
                                "useServerRouting": True, "clientDirectCoreEnabled": True}).encode(),
                    json.dumps({"server": "[::1]:443", "secretKey": 5}).encode()],
    # First byte: 0 a sealed unit, 1 a plain frame, 2 an outbound packet,
    # 3 bytes of the stream transport (length-prefixed units).
    "fuzz_frames": [b"\x01\x82" + udp(RES, 53, APP, 40000, ANSWERS[0]), b"\x01\x81", b"\x01\x82" + b"\x45" * 40,
                    b"\x00" + b"\x01\x02\x03\x04" + b"\x00" * 8 + b"\x11" * 30,
                    b"\x02" + udp(APP, 40000, RES, 53, dns(9, 0x0100, "example.com")),
                    b"\x02" + tcp(APP, 999, FAR, 443, 0x02, options=b"\x02\x04\x05\xb4"),
                    b"\x02" + udp(APP, 999, FAR, 443, b"ping"),
                    b"\x03" + b"\x00\x00\x00\x1d" + b"\x01\x02\x03\x04" + b"\x00" * 25 + b"\x00\x00\x00",
                    b"\x03" + b"\x00\x00\x00\x00", b"\x03" + b"\x7f\xff\xff\xff"],
}


def main():
    out = sys.argv[1]
    for target, seeds in SEEDS.items():
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        for i, seed in enumerate(seeds):
            with open(os.path.join(folder, "seed-%d" % i), "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main()
