#!/usr/bin/env python3
"""Peers for exercising the client's direct relays on the netns topology.

  serve ADDR UDP_PORT TCP_PORT [RESET_PORT]
                                 on the web host: a UDP echo, and a TCP sink
                                 that reads an 8-byte big-endian length and
                                 that many bytes, then answers the SHA-256 of
                                 what it read as hex and a newline; on
                                 RESET_PORT a server that sends 1000 bytes and
                                 then aborts the connection (RST)
  read-to-end HOST PORT          reads until the stream ends; prints "end N"
                                 for an orderly end after N bytes, "reset N"
                                 for a reset
  upload HOST PORT FILE          sends FILE to the sink, prints its answer
  udp-echo HOST PORT COUNT SIZE  COUNT datagrams of SIZE random bytes on one
                                 socket; prints how many came back unchanged
  udp-flows HOST PORT COUNT HOLD [RATE]
                                 one datagram from each of COUNT sockets (so
                                 COUNT source ports, COUNT flows), RATE new
                                 flows a second (paced in bursts of 200 when
                                 not given), resent to the silent ones for a
                                 few rounds; prints "flows COUNT echoed N
                                 (datagrams sent D; first round S s, E echoed
                                 after it)" and keeps the sockets open HOLD
                                 seconds more, so that echoes never meet a
                                 closed port

Everything stays on the addresses it is given; the scripts that call it only
pass the topology's own documentation addresses.
"""

import hashlib
import os
import resource
import selectors
import socket
import socketserver
import struct
import sys
import threading
import time


def serve(address, udp_port, tcp_port, reset_port=None):
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    udp.bind((address, udp_port))

    def echo():
        while True:
            data, peer = udp.recvfrom(65535)
            udp.sendto(data, peer)

    threading.Thread(target=echo, daemon=True).start()

    class Sink(socketserver.BaseRequestHandler):
        def handle(self):
            header = self._exactly(8)
            if header is None:
                return
            (length,) = struct.unpack("!Q", header)
            digest = hashlib.sha256()
            left = length
            while left:
                chunk = self.request.recv(min(left, 1 << 16))
                if not chunk:
                    return
                digest.update(chunk)
                left -= len(chunk)
            self.request.sendall(digest.hexdigest().encode() + b"\n")

        def _exactly(self, n):
            data = b""
            while len(data) < n:
                chunk = self.request.recv(n - len(data))
                if not chunk:
                    return None
                data += chunk
            return data

    class Server(socketserver.ThreadingTCPServer):
        allow_reuse_address = True
        daemon_threads = True

    if reset_port:
        aborting = socket.create_server((address, reset_port))

        def abort_each():
            while True:
                conn, _ = aborting.accept()
                conn.sendall(b"r" * 1000)
                time.sleep(0.3)
                # A zero linger time turns close() into a reset.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()

        threading.Thread(target=abort_each, daemon=True).start()

    server = Server((address, tcp_port), Sink)
    print(f"serving udp {address}:{udp_port} tcp {address}:{tcp_port}", flush=True)
    server.serve_forever()


def upload(host, port, path, half_close=False):
    size = os.path.getsize(path)
    with socket.create_connection((host, port), timeout=30) as s, open(path, "rb") as f:
        s.sendall(struct.pack("!Q", size))
        while True:
            chunk = f.read(1 << 16)
            if not chunk:
                break
            s.sendall(chunk)
        if half_close:
            # Done sending, still waiting for the answer.
            s.shutdown(socket.SHUT_WR)
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = s.recv(128)
            if not chunk:
                break
            answer += chunk
    print(answer.decode().strip())


def read_to_end(host, port):
    with socket.create_connection((host, port), timeout=10) as s:
        n = 0
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    print(f"end {n}")
                    return
                n += len(chunk)
        except ConnectionResetError:
            print(f"reset {n}")


def udp_echo(host, port, count, size):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect((host, port))
    s.settimeout(2)
    good = 0
    for _ in range(count):
        payload = os.urandom(size)
        s.send(payload)
        try:
            if s.recv(65535) == payload:
                good += 1
        except socket.timeout:
            pass
    print(f"echoed {good} of {count}")


def udp_flows(host, port, count, hold, rate=0):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    selector = selectors.DefaultSelector()
    sockets = []
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setblocking(False)
        s.connect((host, port))
        sockets.append(s)
        selector.register(s, selectors.EVENT_READ, i)
    echoed = set()
    datagrams = 0

    def drain(seconds):
        deadline = time.monotonic() + seconds
        while True:
            for key, _ in selector.select(timeout=max(0.0, min(0.05, deadline - time.monotonic()))):
                try:
                    key.fileobj.recv(2048)
                    echoed.add(key.data)
                except (BlockingIOError, ConnectionRefusedError):
                    pass
            if len(echoed) == count or time.monotonic() >= deadline:
                return

    # Paced, so that a burst does not overflow the TUN device's queue; the
    # silent ones are sent again: the flow is the same, its source port is.
    first_round, first_echoed = 0.0, 0
    for round_ in range(4):
        silent = [i for i in range(count) if i not in echoed]
        if not silent:
            break
        started = time.monotonic()
        for n, i in enumerate(silent):
            try:
                sockets[i].send(b"flow %d" % i)
                datagrams += 1
            except (BlockingIOError, ConnectionRefusedError):
                pass
            if rate > 0:
                # On schedule for `rate` a second, reading echoes meanwhile.
                due = started + (n + 1) / rate
                if due > time.monotonic():
                    drain(due - time.monotonic())
            elif n % 200 == 199:
                drain(0.02)
        if round_ == 0:
            first_round = time.monotonic() - started
        drain(2)
        if round_ == 0:
            first_echoed = len(echoed)
    print(f"flows {count} echoed {len(echoed)} (datagrams sent {datagrams}; first round {first_round:.2f} s, "
          f"{first_echoed} echoed after it)", flush=True)
    time.sleep(hold)


def main(argv):
    if len(argv) >= 5 and argv[1] == "serve":
        serve(argv[2], int(argv[3]), int(argv[4]), int(argv[5]) if len(argv) >= 6 else None)
    elif len(argv) >= 4 and argv[1] == "read-to-end":
        read_to_end(argv[2], int(argv[3]))
    elif len(argv) >= 5 and argv[1] in ("upload", "upload-half-close"):
        upload(argv[2], int(argv[3]), argv[4], half_close=argv[1] == "upload-half-close")
    elif len(argv) >= 6 and argv[1] == "udp-echo":
        udp_echo(argv[2], int(argv[3]), int(argv[4]), int(argv[5]))
    elif len(argv) >= 6 and argv[1] == "udp-flows":
        udp_flows(argv[2], int(argv[3]), int(argv[4]), float(argv[5]), float(argv[6]) if len(argv) >= 7 else 0)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
