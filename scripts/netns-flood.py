#!/usr/bin/env python3
"""Floods vantu-server as an attacker would, for the end-to-end tests.

Runs inside a test namespace and connects only to the address it is given
(the server's, in the same test topology); every mode stops by itself.

  hold HOST PORT --sources 198.51.100.10-209 --connections N [--prefix L]
       [--renew] --seconds S
      N connections spread evenly over the source addresses. With --prefix,
      each announces a data unit of L bytes (a 4-byte length) and sends all
      of it but the last byte; without, it sends nothing. With --renew, a
      connection the server closes is opened again at once.
  open HOST PORT --secret S --count N
      N control exchanges one after another, as a client's start makes them:
      success is an "ok" answer within 1 s (a client gives up after 4 s).
  guess HOST PORT --seconds S
      Wrong secrets from one address, each as soon as the last was answered.

Each mode prints one JSON object of counts on its last line; hold also
prints one every second.
"""

import argparse
import json
import resource
import selectors
import socket
import struct
import sys
import time


def source_list(pattern):
    prefix, _, last = pattern.rpartition(".")
    first, _, end = last.partition("-")
    return [f"{prefix}.{n}" for n in range(int(first), int(end or first) + 1)]


def hold(args):
    sources = source_list(args.sources)
    payload = b""
    if args.prefix is not None:
        payload = struct.pack(">I", args.prefix) + bytes(args.prefix - 1)
    sel = selectors.DefaultSelector()
    counts = {"opened": 0, "closed": 0, "failed": 0, "open": 0}

    def start(source):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((source, 0))
            s.connect_ex((args.host, args.port))
        except OSError:
            s.close()
            counts["failed"] += 1
            return
        counts["opened"] += 1
        counts["open"] += 1
        sel.register(s, selectors.EVENT_WRITE, {"source": source, "sent": 0, "connected": False})

    def finish(key):
        sel.unregister(key.fileobj)
        key.fileobj.close()
        counts["closed"] += 1
        counts["open"] -= 1
        if args.renew and time.monotonic() < deadline:
            start(key.data["source"])

    for i in range(args.connections):
        start(sources[i % len(sources)])
    deadline = time.monotonic() + args.seconds
    next_report = time.monotonic() + 1
    scratch = bytearray(65536)
    view = memoryview(payload)
    while time.monotonic() < deadline:
        for key, mask in sel.select(0.1):
            state = key.data
            s = key.fileobj
            if not state["connected"]:
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    finish(key)
                    continue
                state["connected"] = True
            if mask & selectors.EVENT_READ:
                try:
                    if s.recv_into(scratch) == 0:
                        finish(key)
                except BlockingIOError:
                    pass
                except OSError:
                    finish(key)
                continue
            try:
                while state["sent"] < len(payload):
                    state["sent"] += s.send(view[state["sent"]:state["sent"] + 1048576])
            except BlockingIOError:
                continue
            except OSError:
                finish(key)
                continue
            sel.modify(s, selectors.EVENT_READ, state)
        if time.monotonic() >= next_report:
            next_report += 1
            print(json.dumps(counts), flush=True)
    print(json.dumps(counts), flush=True)


def exchange(host, port, request, timeout):
    """The answer to one request line, and the seconds it took."""
    began = time.monotonic()
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(json.dumps(request).encode() + b"\n")
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    return json.loads(data or b"{}"), time.monotonic() - began


def open_sessions(args):
    ok, slowest, failures = 0, 0.0, []
    request = {"action": "open", "secret": args.secret, "device_id": "flood-probe", "client_version": "flood"}
    for _ in range(args.count):
        try:
            answer, took = exchange(args.host, args.port, request, 4)
            slowest = max(slowest, took)
            if answer.get("status") == "ok" and took <= 1:
                ok += 1
            else:
                failures.append(answer.get("message", f"{took:.2f} s"))
        except (OSError, ValueError) as e:
            failures.append(str(e))
        time.sleep(0.05)
    print(json.dumps({"ok": ok, "count": args.count, "slowest_ms": round(slowest * 1000), "failures": failures[:5]}))


def guess(args):
    counts = {"checked": 0, "refused": 0, "other": 0}
    request = {"action": "open", "secret": "a-wrong-guess", "device_id": "", "client_version": "flood"}
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        try:
            message = exchange(args.host, args.port, request, 4)[0].get("message", "")
        except (OSError, ValueError):
            message = ""
        if message == "invalid secret":
            counts["checked"] += 1
        elif message.startswith("too many failed secrets"):
            counts["refused"] += 1
        else:
            counts["other"] += 1
    counts["checked_per_second"] = round(counts["checked"] / args.seconds, 2)
    counts["answers_per_second"] = round((counts["checked"] + counts["refused"]) / args.seconds, 1)
    print(json.dumps(counts))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["hold", "open", "guess"])
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("--sources", default="0.0.0.0")
    parser.add_argument("--connections", type=int, default=100)
    parser.add_argument("--prefix", type=int)
    parser.add_argument("--renew", action="store_true")
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--secret", default="")
    parser.add_argument("--count", type=int, default=20)
    args = parser.parse_args()
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    {"hold": hold, "open": open_sessions, "guess": guess}[args.mode](args)


if __name__ == "__main__":
    sys.exit(main())
