#!/usr/bin/env python3
"""Timed downloads from a keep-alive server, for bench/keepalive.sh: Dorvane
against curl, and with --compare a second Dorvane (another build).

The server, in this process on 127.0.0.1, answers every request on a
connection with "HTTP/1.1 200 OK", a Content-Length and the file, and then
keeps the connection open for the next request, as an HTTP/1.1 server or a
proxy that honours "Proxy-Connection: Keep-Alive" does. A client that reads
until the server closes waits for its own time-out. Clients are run with
bench.py's measure(), each round in a shuffled order of its own; every
download is compared byte for byte with the file.
"""

import argparse
import os
import random
import socket
import statistics
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import QUERY_PATH, measure, same_bytes  # noqa: E402


def serve_connection(connection, payload):
    """Answers each request of one connection with payload; returns when the client closes."""
    with connection:
        pending = b""
        while True:
            while b"\r\n\r\n" not in pending and b"\n\n" not in pending:
                block = connection.recv(65536)
                if not block or len(pending) > 1 << 20:
                    return
                pending += block
            pending = b""
            header = ("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n"
                      "Connection: keep-alive\r\n\r\n" % len(payload)).encode()
            try:
                connection.sendall(header + payload)
            except OSError:
                return


def start_server(payload):
    listener = socket.create_server(("127.0.0.1", 0))

    def accept_loop():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=serve_connection, args=(connection, payload), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    return listener.getsockname()[1]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True, help="the run's temporary directory")
    p.add_argument("--file", required=True, help="the file the server sends")
    p.add_argument("--dorvane", required=True)
    p.add_argument("--compare", default="", help="a second Dorvane program, run as Dorvane-B")
    p.add_argument("--runs", type=int, default=5)
    args = p.parse_args()
    with open(args.file, "rb") as f:
        payload = f.read()
    port = start_server(payload)
    server = "http://127.0.0.1:%d" % port
    clients = [("Dorvane", os.path.abspath(args.dorvane))]
    if args.compare:
        clients.append(("Dorvane-B", os.path.abspath(args.compare)))
    for name, program in clients:
        os.makedirs(os.path.join(args.dir, name), exist_ok=True)
        subprocess.run([program, server, "user@example.com", "secret"], cwd=os.path.join(args.dir, name),
                       env=dict(os.environ, TMPDIR=os.path.join(args.dir, name)), check=True,
                       stdout=subprocess.DEVNULL)
    os.makedirs(os.path.join(args.dir, "curl"), exist_ok=True)
    curl_out = os.path.join(args.dir, "curl", "out.bin")
    commands = {name: [program] for name, program in clients}
    commands["curl"] = ["curl", "-s", "-f", "-o", curl_out, server + QUERY_PATH]
    walls = {name: [] for name in commands}
    failures = []
    for round_number in range(args.runs):
        order = sorted(commands)
        random.Random(round_number).shuffle(order)
        for name in order:
            cwd = os.path.join(args.dir, name)
            status, wall, _, _, _ = measure(commands[name], cwd, dict(os.environ, TMPDIR=cwd))
            saved = [os.path.join(cwd, n) for n in os.listdir(cwd) if n.startswith("Database.") or n == "out.bin"]
            if status != 0 or len(saved) != 1 or not same_bytes(saved[0], args.file):
                failures.append("%s round %d: exit %d, %d files" % (name, round_number + 1, status, len(saved)))
            else:
                walls[name].append(wall)
            for path in saved:
                os.remove(path)
    print("\n== Keep-alive server (%d bytes, Content-Length, connection left open): wall time of %d runs ==" % (
        len(payload), args.runs))
    print("%-10s %10s %10s %10s" % ("client", "median s", "min s", "max s"))
    for name in ["Dorvane", "Dorvane-B", "curl"]:
        if walls.get(name):
            w = walls[name]
            print("%-10s %10.3f %10.3f %10.3f" % (name, statistics.median(w), min(w), max(w)))
    if failures:
        print("FAILED runs (left out): " + ", ".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
