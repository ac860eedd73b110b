#!/usr/bin/env python3
"""An upstream that misbehaves on purpose, for the soak: UDP and plain TCP on
one port, DNS over TLS on another, each in front of a real resolver. What it
does to a query follows the query name's first label:

  ok        forwarded, the answer relayed       silent   never answered
  refused   REFUSED                             tc       TC set, no records
  garbage   0-600 random bytes                  short    5 bytes
  wrongid   the right answer under another id   late     the answer after 9 s
  big       4000 bytes (sent to a query without EDNS)
  reset     (TCP, DoT) half the answer, then a reset
  overlong  (TCP, DoT) a length prefix longer than the data that follows

Any other name is forwarded. A second UDP port forwards to a DNSSEC server,
dropping every tenth query. Counts of what was done go to --stats as
key=value lines when the proxy ends (SIGTERM).

  fault_proxy.py --address A --port P --tls-port T --cert PEM --key KEY
                 --upstream HOST:PORT [--dnssec-port P2 --dnssec-upstream HOST:PORT]
                 [--stats FILE]
"""
import argparse
import collections
import os
import random
import signal
import socket
import ssl
import struct
import sys
import threading
import time

counts = collections.Counter()
counts_lock = threading.Lock()


def count(key):
    with counts_lock:
        counts[key] += 1


def first_label(query):
    if len(query) < 13:
        return ""
    n = query[12]
    return query[13:13 + n].decode("ascii", "replace").lower()


def question_end(query):
    at = 12
    while at < len(query) and query[at] != 0:
        at += 1 + query[at]
    return min(at + 5, len(query))


def header_reply(query, flags_or, rcode):
    """The query's header and question, as an answer with no records."""
    end = question_end(query)
    flags = struct.unpack("!H", query[2:4])[0] | 0x8000 | flags_or
    flags = (flags & ~0xF) | rcode
    return query[:2] + struct.pack("!HHHHH", flags, 1, 0, 0, 0) + query[12:end]


def big_reply(query):
    reply = bytearray(header_reply(query, 0, 0))
    records = 0
    while len(reply) < 4000:
        reply += b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + bytes([192, 0, 2, records % 250])
        records += 1
    reply[6:8] = struct.pack("!H", records)
    return bytes(reply)


class Forwarder:
    """Asks a resolver over UDP, one socket per query, bounded in time."""

    def __init__(self, upstream):
        host, port = upstream.rsplit(":", 1)
        self.address = (host, int(port))

    def ask(self, query, timeout=3.0):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(timeout)
            s.sendto(query, self.address)
            try:
                answer, _ = s.recvfrom(65535)
                return answer
            except OSError:
                return None


def udp_reply(kind, query, forwarder):
    """What goes back over UDP for a query of this kind, or None."""
    if kind == "silent":
        return None
    if kind == "refused":
        return header_reply(query, 0, 5)
    if kind == "tc":
        return header_reply(query, 0x0200, 0)
    if kind == "garbage":
        return os.urandom(random.randint(0, 600))
    if kind == "short":
        return os.urandom(5)
    if kind == "big":
        return big_reply(query)
    answer = forwarder.ask(query)
    if answer is None:
        return None
    if kind == "wrongid":
        wrong = (struct.unpack("!H", answer[:2])[0] + 1 + random.randint(0, 65533)) & 0xFFFF
        return struct.pack("!H", wrong) + answer[2:]
    return answer


def serve_udp(sock, forwarder, drop_every=0):
    seen = 0
    while True:
        query, peer = sock.recvfrom(65535)
        seen += 1
        if drop_every and seen % drop_every == 0:
            count("dnssec_dropped")
            continue
        kind = first_label(query) if not drop_every else "dnssec"
        count("udp_" + kind if not drop_every else "dnssec_forwarded")

        def work(query=query, peer=peer, kind=kind):
            if kind == "late":
                time.sleep(9)
            reply = udp_reply(kind, query, forwarder)
            if reply is not None:
                sock.sendto(reply, peer)

        threading.Thread(target=work, daemon=True).start()


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def serve_stream(conn, forwarder, prefix):
    """One TCP or TLS connection: length-prefixed queries until it closes."""
    try:
        conn.settimeout(30)
        while True:
            head = read_exact(conn, 2)
            if head is None:
                return
            query = read_exact(conn, struct.unpack("!H", head)[0])
            if query is None:
                return
            kind = first_label(query)
            count(prefix + kind)
            if kind == "silent":
                continue
            answer = forwarder.ask(query)
            if answer is None:
                continue
            if kind == "reset":
                conn.sendall(struct.pack("!H", len(answer)) + answer[: len(answer) // 2])
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            if kind == "overlong":
                conn.sendall(struct.pack("!H", len(answer) + 100) + answer)
                time.sleep(10)
                return
            if kind == "refused":
                answer = header_reply(query, 0, 5)
            conn.sendall(struct.pack("!H", len(answer)) + answer)
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def accept_loop(listener, forwarder, prefix, tls=None):
    while True:
        conn, _ = listener.accept()
        count(prefix + "connections")

        def handshake_and_serve(conn=conn):
            if tls is not None:
                try:
                    conn.settimeout(10)
                    conn = tls.wrap_socket(conn, server_side=True)
                except (OSError, ssl.SSLError):
                    conn.close()
                    return
            serve_stream(conn, forwarder, prefix)

        threading.Thread(target=handshake_and_serve, daemon=True).start()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--address", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--tls-port", type=int, required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--upstream", required=True)
    p.add_argument("--dnssec-port", type=int)
    p.add_argument("--dnssec-upstream")
    p.add_argument("--stats")
    a = p.parse_args()

    def finish(*_):
        if a.stats:
            with counts_lock, open(a.stats, "w") as out:
                for key in sorted(counts):
                    out.write("%s=%d\n" % (key, counts[key]))
        os._exit(0)

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)

    forwarder = Forwarder(a.upstream)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((a.address, a.port))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((a.address, a.port))
    tcp.listen(256)
    dot = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    dot.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    dot.bind((a.address, a.tls_port))
    dot.listen(256)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(a.cert, a.key)

    threads = [
        threading.Thread(target=serve_udp, args=(udp, forwarder), daemon=True),
        threading.Thread(target=accept_loop, args=(tcp, forwarder, "tcp_"), daemon=True),
        threading.Thread(target=accept_loop, args=(dot, forwarder, "dot_", tls), daemon=True),
    ]
    if a.dnssec_port:
        sec = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sec.bind((a.address, a.dnssec_port))
        threads.append(threading.Thread(target=serve_udp, args=(sec, Forwarder(a.dnssec_upstream), 10), daemon=True))
    for t in threads:
        t.start()
    print("fault proxy listening", flush=True)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    sys.exit(main())
