#!/usr/bin/env python3
"""Timed downloads for bench/run.sh: Dorvane against curl and wget, in clear
and, with --tls-server, over TLS against curl.

Every client is started from here and reaped with os.wait4, which gives its
wall time and its user and system CPU time; its peak resident set size comes
from /usr/bin/time. The clients are run in turn, one round after another,
each round in an order of its own (shuffled, seeded with the round's
number), so that other load on the machine, and what ran just before a
client, falls on all of them alike: a run's cost depends on its
predecessor, and a fixed order gives one client the same one every round.
Each download is compared byte for byte with the served file and deleted
afterwards. Only loopback (127.0.0.1) is used; every process is killed
after PROCESS_TIME_LIMIT_S.
"""

import argparse
import glob
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

MIB = 1024 * 1024
PROCESS_TIME_LIMIT_S = 600  # a run that takes longer is killed and counts as failed
QUERY_PATH = "/as/wapi/retrieve_db?Email=user%40example.com&Password=secret"


def measure(argv, cwd, env=None):
    """Runs argv to its end; returns (exit status, wall s, user s, sys s, peak RSS KiB).

    Wall and CPU times come from os.wait4 here. The peak RSS comes from
    /usr/bin/time -f %M: Linux carries a parent's peak over fork and exec,
    so a process started straight from this script would never show less
    than the script's own size; /usr/bin/time is small.
    """
    rss_file = os.path.join(cwd, ".peak-rss")
    with open(os.devnull, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, cwd=cwd, env=env,
                                stdout=out, stderr=subprocess.STDOUT)
        killer = threading.Timer(PROCESS_TIME_LIMIT_S, lambda: os.kill(proc.pid, signal.SIGKILL))
        killer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            killer.cancel()
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    rss = 0
    try:
        with open(rss_file) as f:
            rss = int(f.read().split()[-1])
        os.remove(rss_file)
    except (OSError, ValueError, IndexError):
        pass
    return proc.returncode, wall, usage.ru_utime, usage.ru_stime, rss


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def flush_writeback():
    """Writes out what earlier runs left dirty, so that no run pays for another's writes."""
    subprocess.run(["sync"], check=False)


# --- Phases of one Dorvane run, from the times of a few system calls

PHASES = [
    ("start", "program start to connect()"),
    ("header", "connect() to creating the staged .part file (request, reply header)"),
    ("stream", "receiving and writing the body: the .part file to fsync()"),
    ("flush", "the final flush: fsync() to rename()"),
    ("exit", "directory flush, log, exit: rename() to exit_group()"),
]
TRACED_CALLS = "trace=execve,connect,openat,fsync,rename,exit_group"


def phase_times(trace_path):
    """Durations (s) of PHASES in one run, from its `strace -f -ttt` log; None when a mark is missing."""
    marks = {}
    line_re = re.compile(r"^\d+\s+(\d+\.\d+)\s+(\w+)\((.*)$")
    with open(trace_path, errors="replace") as f:
        for line in f:
            m = line_re.match(line)
            if not m:
                continue
            t, call, rest = float(m.group(1)), m.group(2), m.group(3)
            marks.setdefault("start", t)
            if call == "connect":
                marks.setdefault("connect", t)
            elif call == "openat" and '.part"' in rest:
                marks.setdefault("part", t)
            elif call == "fsync" and "part" in marks:
                marks.setdefault("fsync", t)
            elif call == "rename" and '.part"' in rest:  # not the log's own renames
                marks.setdefault("rename", t)
            elif call == "exit_group":
                marks["exit"] = t
    order = ["start", "connect", "part", "fsync", "rename", "exit"]
    if any(k not in marks for k in order):
        return None
    return [marks[order[i + 1]] - marks[order[i]] for i in range(len(order) - 1)]


class Bench:
    def __init__(self, args):
        self.args = args
        self.dir = args.dir
        self.url = args.server + QUERY_PATH
        self.work = os.path.join(self.dir, "work")
        os.makedirs(self.work, exist_ok=True)
        self.results = {}  # (size MiB, client) -> [(wall, user, sys, rss KiB)]
        self.phase_results = {}  # (size MiB, client) -> [[phase durations]]
        self.failures = []
        self.source = None
        # One or two Dorvane programs (the second to compare a change with
        # the current code), and the first again over TLS, each in its own
        # work directory and TMPDIR: name -> (program, server address).
        self.dorvanes = {"Dorvane": (args.dorvane, args.server)}
        if args.compare:
            self.dorvanes["Dorvane-B"] = (args.compare, args.server)
        if args.tls_server:
            self.dorvanes["Dorvane-TLS"] = (args.dorvane, args.tls_server)
            if args.compare:
                self.dorvanes["Dorvane-B-TLS"] = (args.compare, args.tls_server)
        self.tls_url = args.tls_server + QUERY_PATH
        self.clients = [(name, self.run_dorvane, True) for name in self.dorvanes] + [
            ("curl", self.run_curl, True),
            ("curl+fsync", self.run_curl_fsync, True),  # curl -o, then its file flushed as Dorvane flushes
            ("wget", self.run_wget, True),
            ("loopback", self.run_loopback, False),  # curl -o /dev/null: what the connection allows
            ("cp", self.run_cp, True),  # the same bytes written to disk, no network
            ("cp+fsync", self.run_cp_fsync, True),  # ... and flushed: the floor of a durable download
        ]
        if args.tls_server:
            self.clients += [
                ("curl-TLS", self.run_curl_tls, True),  # curl --cacert -o, over TLS
                ("loopback-TLS", self.run_loopback_tls, False),  # curl -o /dev/null over TLS
            ]

    def dorvane_dirs(self, name):
        base = os.path.join(self.work, name)
        return base, os.path.join(base, "tmp")

    def dorvane_env(self, name):
        env = dict(os.environ, TMPDIR=self.dorvane_dirs(name)[1])
        if self.args.ca:
            env["SSL_CERT_FILE"] = self.args.ca
        return env

    def configure_dorvanes(self):
        for name, (program, server) in self.dorvanes.items():
            cwd, tmp = self.dorvane_dirs(name)
            os.makedirs(tmp, exist_ok=True)
            argv = [program, server, "user@example.com", "secret"]
            subprocess.run(argv, cwd=cwd, env=self.dorvane_env(name), check=True, stdout=subprocess.DEVNULL,
                           timeout=60)
            if not os.path.exists(os.path.join(cwd, "Ostrel.cfg")):
                sys.exit("bench: %s did not write Ostrel.cfg" % program)

    # --- the clients: each returns (measure() result, saved file or None, note)

    def remove_backups(self, cwd):
        for old in glob.glob(os.path.join(cwd, "Database.*")):
            os.remove(old)

    def run_dorvane(self, name):
        cwd, tmp = self.dorvane_dirs(name)
        self.remove_backups(cwd)
        r = measure([self.dorvanes[name][0]], cwd, self.dorvane_env(name))
        saved = glob.glob(os.path.join(cwd, "Database.*.db"))
        note = ""
        try:
            with open(os.path.join(tmp, "Dorvane.txt"), "rb") as f:
                if b"Repeat to Dorvane" in f.read():
                    note = "needed the second attempt"
        except OSError:
            note = "no log"
        return r, (saved[0] if len(saved) == 1 else None), note

    def saved_by(self, argv, name):
        """Runs a client that writes the body to work/NAME; returns what the clients return."""
        out = os.path.join(self.work, name)
        r = measure([a.replace("@OUT@", out) for a in argv], self.work)
        return r, (out if r[0] == 0 and os.path.exists(out) else None), ""

    def run_curl(self, _):
        return self.saved_by(["curl", "-s", "-o", "@OUT@", self.url], "curl.out")

    def run_curl_fsync(self, _):
        return self.saved_by(["sh", "-c", 'curl -s -o "$1" "$2" && sync "$1"', "sh", "@OUT@", self.url], "curl.out")

    def run_wget(self, _):
        return self.saved_by(["wget", "-q", "-O", "@OUT@", self.url], "wget.out")

    def run_curl_tls(self, _):
        return self.saved_by(["curl", "-s", "--cacert", self.args.ca, "-o", "@OUT@", self.tls_url], "curl.out")

    def run_loopback(self, _):
        return measure(["curl", "-s", "-o", "/dev/null", self.url], self.work), None, ""

    def run_loopback_tls(self, _):
        return measure(["curl", "-s", "--cacert", self.args.ca, "-o", "/dev/null", self.tls_url], self.work), None, ""

    def run_cp(self, _):
        out = os.path.join(self.work, "cp.out")
        r = measure(["cp", self.source, out], self.work)
        return r, (out if r[0] == 0 else None), ""

    def run_cp_fsync(self, _):
        out = os.path.join(self.work, "cp.out")
        r = measure(["sh", "-c", 'cp "$1" "$2" && sync "$2"', "sh", self.source, out], self.work)
        return r, (out if r[0] == 0 else None), ""

    # --- one size

    def serve(self, size_mib):
        """Points the served link at this size's file and checks the server's reply."""
        self.source = os.path.join(self.dir, "data", "%d.bin" % size_mib)
        link = os.path.join(self.dir, "body.db")
        tmp_link = link + ".new"
        if os.path.lexists(tmp_link):
            os.remove(tmp_link)
        os.symlink(self.source, tmp_link)
        os.replace(tmp_link, link)
        check_server_closes(self.args.server, size_mib * MIB)
        # Untimed warm-up: the served file in the page cache, nginx awake.
        subprocess.run(["curl", "-s", "-o", "/dev/null", self.url], check=True, timeout=PROCESS_TIME_LIMIT_S)

    def one_size(self, size_mib):
        self.serve(size_mib)
        print("\n== %d MiB: %d rounds; each round runs every client once, in an order of its own ==" % (
            size_mib, self.args.runs), flush=True)
        for rnd in range(self.args.runs):
            order = list(self.clients)
            random.Random(rnd).shuffle(order)
            for name, run, check in order:
                flush_writeback()
                (status, wall, user, system, rss), saved, note = run(name)
                ok = status == 0
                if check:
                    ok = ok and saved is not None and same_bytes(saved, self.source)
                if saved is not None and os.path.exists(saved):
                    os.remove(saved)
                print("  round %d  %-9s  wall %7.3f s  cpu %7.3f s (user %.3f sys %.3f)  peak RSS %7.1f MiB  %s%s" % (
                    rnd + 1, name, wall, user + system, user, system, rss / 1024.0, "ok" if ok else "FAILED",
                    ("  [" + note + "]") if note else ""), flush=True)
                if not ok:
                    self.failures.append("%d MiB %s round %d" % (size_mib, name, rnd + 1))
                    continue
                self.results.setdefault((size_mib, name), []).append((wall, user, system, rss))
        self.phases(size_mib)

    def phases(self, size_mib):
        """Dorvane's wall time by phase: strace stops the program only at a few marking calls."""
        if self.args.phase_runs <= 0:
            return
        if shutil.which("strace") is None:
            print("(strace is missing: no phase timing)")
            return
        trace = os.path.join(self.work, "strace.txt")
        for rnd in range(self.args.phase_runs):
            for name in self.dorvanes:
                cwd, _ = self.dorvane_dirs(name)
                flush_writeback()
                self.remove_backups(cwd)
                # The seccomp filter leaves poll and recv untraced, at full speed.
                argv = ["strace", "-f", "--seccomp-bpf", "-ttt", "-o", trace, "-e", TRACED_CALLS,
                        self.dorvanes[name][0]]
                measure(argv, cwd, self.dorvane_env(name))
                saved = glob.glob(os.path.join(cwd, "Database.*.db"))
                ok = len(saved) == 1 and same_bytes(saved[0], self.source)
                self.remove_backups(cwd)
                times = phase_times(trace) if ok else None
                if times is None:
                    print("  phase run %d of %s: no result (download failed or a mark is missing)" % (rnd + 1, name))
                    continue
                self.phase_results.setdefault((size_mib, name), []).append(times)

    # --- output

    def table(self):
        print("\n== Results: medians of %d runs per client and size (clients shuffled round by round) ==" % (
            self.args.runs))
        hdr = "%-8s %-10s %8s %7s %8s %8s %8s %9s %8s %8s %9s" % (
            "size", "client", "wall s", "MiB/s", "cpu s", "user s", "sys s", "peak MiB", "RSS/body", "vs curl", "RSS/curl")
        print(hdr)
        print("-" * len(hdr))
        verdicts = []
        for size in self.args.sizes:
            for name, _, _ in self.clients:
                # Clients over TLS are set against curl over TLS.
                curl = self.results.get((size, "curl-TLS" if name.endswith("-TLS") else "curl"))
                curl_wall = statistics.median(r[0] for r in curl) if curl else None
                curl_rss = statistics.median(r[3] for r in curl) / 1024.0 if curl else None
                runs = self.results.get((size, name))
                label = name + ("*" if name in ("loopback", "loopback-TLS", "cp", "cp+fsync") else "")
                if not runs:
                    print("%-8s %-10s %8s" % ("%d MiB" % size, label, "no data"))
                    continue
                wall = statistics.median(r[0] for r in runs)
                cpu = statistics.median(r[1] + r[2] for r in runs)
                user = statistics.median(r[1] for r in runs)
                system = statistics.median(r[2] for r in runs)
                rss = statistics.median(r[3] for r in runs) / 1024.0
                ratio = "%.2f" % (wall / curl_wall) if curl_wall else "-"
                rss_ratio = "%.2f" % (rss / curl_rss) if curl_rss else "-"
                print("%-8s %-10s %8.3f %7.0f %8.3f %8.3f %8.3f %9.1f %8.2f %8s %9s" % (
                    "%d MiB" % size, label, wall, size / wall, cpu, user, system, rss, rss / size, ratio, rss_ratio))
                if not name.startswith("Dorvane"):
                    continue
                if size == 1024:
                    verdicts.append("%s, %d MiB: wall time / curl's = %s (target <= 1.00): %s" % (
                        name, size, ratio, "met" if curl_wall and wall <= curl_wall else "NOT met"))
                verdicts.append("%s, %d MiB: peak RSS / curl's = %s (target <= 2.00): %s" % (
                    name, size, rss_ratio, "met" if curl_rss and rss <= 2 * curl_rss else "NOT met"))
            print()
        print("* reference rows: loopback = curl -s -o /dev/null (what the connection allows, nothing written);")
        print("  cp = cp of the served file into the work directory (the cost of writing the bytes, no network);")
        print("  cp+fsync = the same, then sync of the copy: what writing the bytes durably costs on this disk.")
        print("  cpu = user + sys of the client alone (nginx not counted); RSS/body = peak MiB / size MiB;")
        print("  curl+fsync = curl -o, then sync of its file: the same durability as Dorvane's, which flushes")
        print("  its file to stable storage before it takes its name; curl and wget do not flush.")
        print("  loopback-TLS = curl -s -o /dev/null over TLS; curl-TLS = curl --cacert -o over TLS.")
        print("  vs curl = median wall time / curl's median wall time; RSS/curl = peak RSS / curl's (over TLS,")
        print("  curl-TLS's).")
        for v in verdicts:
            print(v)
        if self.failures:
            print("FAILED runs (left out of the medians): " + ", ".join(self.failures))

    def phase_table(self):
        if not self.phase_results:
            return
        print("\n== Where Dorvane's wall time goes: medians of %d runs per size under strace ==" % self.args.phase_runs)
        keys = sorted(self.phase_results)
        print("%-8s " % "phase" + "".join("%20s" % ("%s %d MiB" % (n, s)) for s, n in keys) + "   measured")
        for i, (phase, what) in enumerate(PHASES):
            print("%-8s " % phase + "".join(
                "%18.3f s" % statistics.median(r[i] for r in self.phase_results[k]) for k in keys) + "   " + what)
        print("%-8s " % "total" + "".join(
            "%18.3f s" % statistics.median(sum(r) for r in self.phase_results[k]) for k in keys))


def check_server_closes(server, body_bytes):
    """Sends Dorvane's kind of request (absolute-form target, HTTP/1.0) and checks that
    the server sends the whole body, then closes the connection by itself."""
    host, port = server.split("//", 1)[1].split(":")
    port = int(port)
    request = ("GET %s%s HTTP/1.0\r\n" % (server, QUERY_PATH) + "Accept-Language: en-us\r\nPragma: no-cache\r\n" +
               "Host: %s:%d\r\nProxy-Connection: Keep-Alive\r\n\r\n" % (host, port)).encode()
    start = time.perf_counter()
    total = 0
    head = b""
    closed = False
    with socket.create_connection((host, port), timeout=30) as s:
        s.sendall(request)
        while time.perf_counter() - start < 120:
            block = s.recv(1 << 20)
            if not block:
                closed = True
                break
            if len(head) < 4096:
                head += block[:4096]
            total += len(block)
    if not closed:
        sys.exit("bench: the server did not close the connection after the reply")
    header_end = head.find(b"\r\n\r\n")
    header = head[:max(header_end, 0)].decode("latin-1")
    status = header.split("\r\n", 1)[0]
    length = None
    for line in header.split("\r\n"):
        if line.lower().startswith("content-length:"):
            length = int(line.split(":", 1)[1])
    body = total - header_end - 4
    if header_end < 0 or " 200 " not in status + " " or length != body_bytes or body != body_bytes:
        sys.exit("bench: unexpected reply: %r, %d body bytes" % (header, body))
    print("server check: %s, Content-Length %d, all of the body arrived, then the server closed (%.3f s)" % (
        status, length, time.perf_counter() - start))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True, help="the run's temporary directory (data/, body.db link, work/)")
    p.add_argument("--server", required=True, help="http://127.0.0.1:PORT")
    p.add_argument("--dorvane", required=True)
    p.add_argument("--compare", default="", help="a second Dorvane program, run as Dorvane-B")
    p.add_argument("--tls-server", default="", help="https://localhost:PORT: the same files over TLS")
    p.add_argument("--ca", default="", help="the CA bundle that the TLS server's certificate chains to")
    p.add_argument("--sizes", required=True, help="MiB, comma or space separated")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--phase-runs", type=int, default=3, help="Dorvane runs under strace per size; 0: none")
    args = p.parse_args()
    args.sizes = [int(s) for s in args.sizes.replace(",", " ").split()]
    args.dorvane = os.path.abspath(args.dorvane)
    args.compare = os.path.abspath(args.compare) if args.compare else ""
    if not 1 <= args.runs <= 100 or not 0 <= args.phase_runs <= 100:
        sys.exit("bench: RUNS must be 1..100 and PHASE_RUNS 0..100")
    b = Bench(args)
    b.configure_dorvanes()
    for size in args.sizes:
        b.one_size(size)
    b.table()
    b.phase_table()
    return 1 if b.failures else 0


if __name__ == "__main__":
    sys.exit(main())
