#!/usr/bin/python3
"""A scripted TLS peer for the end-to-end tests, shared by the Linux and the
Windows (Wine) legs.

    tls_peer.py start DIR    makes the certificates, starts serving in the
                             background, returns once DIR/ports is written
    tls_peer.py stop DIR     stops it

DIR receives:
  ca.pem            the private CA that the tests trust (SSL_CERT_FILE)
  body.bin          the body every serving scenario sends: an SQLite file
                    header that gives its size, then pattern bytes
  ca-expired-crl.pem  ca.pem and a CRL of the CA that expired yesterday
  fifo.pem          a FIFO (POSIX), which no one ever writes to
  seclevel1.cnf     an OpenSSL configuration at security level 1
  ports             "<scenario> <port>" lines
  <scenario>.bytes  the application bytes each scenario received, appended
                    connection after connection (for TLS scenarios only what
                    arrived inside a finished handshake)

Every scenario listens on 127.0.0.1 (the ipv6 ones on ::1, and only where
the system has it) on a port of its own and, once a
connection gets that far, reads the request up to its blank line and
answers "HTTP/1.0 200 OK" with body.bin, so a client that wrongly accepted
the peer would save a backup:
  trusted      a certificate for localhost from the CA; ends with close_notify
  ipsan        a certificate for the IP address 127.0.0.1 only
  ipv6san      on ::1, a certificate for the IP address ::1 only
  ipv6dns      on ::1, a certificate for localhost (a DNS name) only
  untrusted    a certificate for localhost from another CA
  wrongname    a certificate for wrong.example from the CA
  expired      a certificate for localhost from the CA, expired a year ago
  selfsigned   a self-signed certificate for localhost
  plain        no TLS at all: a plain HTTP server that answers the first
               bytes it receives
  cut          as trusted, but half of the body, no Content-Length, and the
               connection closed without close_notify
  cnonly       a certificate from the CA that names localhost in its subject
               CN alone, with no subject-alternative name
  stall        as trusted, but 5,004 bytes that are no database, no
               Content-Length, and then the connection held open
  stalldb      as trusted, body.bin without Content-Length, and then the
               connection held open
  slow         as trusted, but the first 12,000 bytes of the encrypted
               stream (less than one record) trickle at 1,500 bytes a second
  weakkey      a certificate for localhost from the CA with an RSA-1024 key
  rsakex       TLS 1.2 only, and only a suite without forward secrecy
               (RSA key exchange, AES-GCM)
  ecdhecbc     TLS 1.2 only, and only ECDHE suites with AES-CBC
"""

import datetime
import ipaddress
import struct
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

BODY_SIZE = 300 * 1024
HOLD_SECONDS = 20
SLOW_BYTES, SLOW_PIECE, SLOW_PAUSE = 12_000, 150, 0.1
DAY = datetime.timedelta(days=1)


def _name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def _certificate(subject, key, issuer, issuer_key, names=(), ca=False, expired=False):
    now = datetime.datetime.now(datetime.timezone.utc)
    start, end = (now - 400 * DAY, now - 365 * DAY) if expired else (now - DAY, now + 30 * DAY)
    builder = (x509.CertificateBuilder().subject_name(_name(subject)).issuer_name(_name(issuer))
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(start).not_valid_after(end)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if ca:
        builder = builder.add_extension(
            x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                          data_encipherment=False, key_agreement=False, key_cert_sign=True, crl_sign=True,
                          encipher_only=False, decipher_only=False), critical=True)
    else:
        builder = builder.add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                                        critical=False)
    if names:
        builder = builder.add_extension(x509.SubjectAlternativeName(list(names)), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def _pem(certificate):
    return certificate.public_bytes(serialization.Encoding.PEM)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def make_certificates(directory):
    """Writes ca.pem and a chain and key per TLS scenario; returns the
    scenarios' (chain file, key file)."""
    ca_key, other_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = _certificate("Dorvane Test CA", ca_key, "Dorvane Test CA", ca_key, ca=True)
    other = _certificate("Other Test CA", other_key, "Other Test CA", other_key, ca=True)
    with open(os.path.join(directory, "ca.pem"), "wb") as f:
        f.write(_pem(ca))
    now = datetime.datetime.now(datetime.timezone.utc)
    crl = (x509.CertificateRevocationListBuilder().issuer_name(_name("Dorvane Test CA"))
           .last_update(now - 30 * DAY).next_update(now - DAY).sign(ca_key, hashes.SHA256()))
    with open(os.path.join(directory, "ca-expired-crl.pem"), "wb") as f:
        f.write(_pem(ca) + crl.public_bytes(serialization.Encoding.PEM))
    localhost = [x509.DNSName("localhost")]
    ours, theirs = (ca, "Dorvane Test CA", ca_key), (other, "Other Test CA", other_key)
    leaves = {
        "trusted": ("localhost", localhost, ours, False),
        "stall": ("localhost", localhost, ours, False),
        "stalldb": ("localhost", localhost, ours, False),
        "slow": ("localhost", localhost, ours, False),
        "cnonly": ("localhost", [], ours, False),
        "weakkey": ("localhost", localhost, ours, False),
        "rsakex": ("localhost", localhost, ours, False),
        "ecdhecbc": ("localhost", localhost, ours, False),
        "cut": ("localhost", localhost, ours, False),
        "ipsan": ("127.0.0.1", [x509.IPAddress(ipaddress.IPv4Address("127.0.0.1"))], ours, False),
        "ipv6san": ("::1", [x509.IPAddress(ipaddress.IPv6Address("::1"))], ours, False),
        "ipv6dns": ("localhost", localhost, ours, False),
        "untrusted": ("localhost", localhost, theirs, False),
        "wrongname": ("wrong.example", [x509.DNSName("wrong.example")], ours, False),
        "expired": ("localhost", localhost, ours, True),
        "selfsigned": ("localhost", localhost, None, False),
    }
    files = {}
    for scenario, (subject, names, issuer, expired) in leaves.items():
        key = ec.generate_private_key(ec.SECP256R1())
        if scenario in RSA_KEY_BITS:
            key = rsa.generate_private_key(public_exponent=65537, key_size=RSA_KEY_BITS[scenario])
        if issuer is None:
            chain = _pem(_certificate(subject, key, subject, key, names))
        else:
            issuer_certificate, issuer_name, issuer_key = issuer
            leaf = _certificate(subject, key, issuer_name, issuer_key, names, expired=expired)
            chain = _pem(leaf) + _pem(issuer_certificate)
        chain_file, key_file = (os.path.join(directory, scenario + suffix) for suffix in (".chain.pem", ".key.pem"))
        with open(chain_file, "wb") as f:
            f.write(chain)
        with open(key_file, "wb") as f:
            f.write(_key_pem(key))
        files[scenario] = (chain_file, key_file)
    return files


RSA_KEY_BITS = {"weakkey": 1024, "rsakex": 2048}


def body():
    """An SQLite file header that declares the body's size (pages of 1024
    bytes, change counter equal to version-valid-for), then pattern bytes."""
    header = bytearray(b"SQLite format 3\0" + bytes(84))
    header[16:18] = struct.pack(">H", 1024)
    header[24:28] = header[92:96] = struct.pack(">I", 7)
    header[28:32] = struct.pack(">I", BODY_SIZE // 1024)
    return bytes(header) + bytes((i * 131 + i // 256) % 256 for i in range(100, BODY_SIZE))


def read_request(connection):
    received = b""
    while b"\r\n\r\n" not in received and len(received) < 65536:
        piece = connection.recv(65536)
        if not piece:
            break
        received += piece
    return received


class Scenario:
    def __init__(self, name, directory, context):
        self.name, self.directory, self.context = name, directory, context
        if name.startswith("ipv6"):
            self.listener = socket.create_server(("::1", 0), family=socket.AF_INET6)
        else:
            self.listener = socket.create_server(("127.0.0.1", 0))
        self.lock = threading.Lock()

    def record(self, data):
        with self.lock, open(os.path.join(self.directory, self.name + ".bytes"), "ab") as f:
            f.write(data)

    def serve(self):
        while True:
            connection, _ = self.listener.accept()
            threading.Thread(target=self.play, args=(connection,), daemon=True).start()

    def play(self, connection):
        connection.settimeout(10)
        if self.name == "slow":
            return self.play_slowly(connection)
        try:
            if self.context is not None:
                connection = self.context.wrap_socket(connection, server_side=True)
            # A plain HTTP server answers whatever first arrives, as a real
            # one answers a TLS hello with an error page.
            request = connection.recv(65536) if self.context is None else read_request(connection)
            self.record(request)
            payload = body()
            if self.name == "cut":
                connection.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + payload[: len(payload) // 2])
                return  # closed below without close_notify
            if self.name in ("stall", "stalldb"):
                connection.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + (bytes(5004) if self.name == "stall" else payload))
                time.sleep(HOLD_SECONDS)
                return
            connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + payload)
            if self.context is not None:
                connection = connection.unwrap()  # close_notify
        except (OSError, ssl.SSLError):
            pass  # a client that refused the peer
        finally:
            connection.close()


    def play_slowly(self, connection):
        """Plays trusted through memory BIOs, so that the encrypted stream's
        first bytes can trickle."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context.wrap_bio(incoming, outgoing, server_side=True)

        def call(operation, *arguments):
            while True:
                try:
                    result = operation(*arguments)
                    connection.sendall(outgoing.read())
                    return result
                except ssl.SSLWantReadError:
                    connection.sendall(outgoing.read())
                    piece = connection.recv(65536)
                    if not piece:
                        raise OSError("the client closed")
                    incoming.write(piece)

        try:
            call(tls.do_handshake)
            request = b""
            while b"\r\n\r\n" not in request:
                request += call(tls.read, 65536)
            self.record(request)
            payload = body()
            tls.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(payload) + payload)
            stream = outgoing.read()
            for start in range(0, SLOW_BYTES, SLOW_PIECE):
                connection.sendall(stream[start:start + SLOW_PIECE])
                time.sleep(SLOW_PAUSE)
            connection.sendall(stream[SLOW_BYTES:])
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            connection.sendall(outgoing.read())  # close_notify
        except (OSError, ssl.SSLError):
            pass
        finally:
            connection.close()


def server_context(name, files):
    if name == "plain":
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if name == "weakkey":
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    if name == "rsakex":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.set_ciphers("AES128-GCM-SHA256:AES256-GCM-SHA384")
    if name == "ecdhecbc":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.set_ciphers("ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA")
    context.load_cert_chain(*files[name])
    return context


def serve(directory):
    files = make_certificates(directory)
    with open(os.path.join(directory, "body.bin"), "wb") as f:
        f.write(body())
    if hasattr(os, "mkfifo"):
        os.mkfifo(os.path.join(directory, "fifo.pem"))
    with open(os.path.join(directory, "seclevel1.cnf"), "w") as f:
        f.write("openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\nsystem_default = policy\n"
                "[policy]\nCipherString = DEFAULT@SECLEVEL=1\n")
    scenarios = []
    for name in ("trusted", "ipsan", "untrusted", "wrongname", "expired", "selfsigned", "plain", "cut", "cnonly",
                 "stall", "stalldb", "slow", "weakkey", "rsakex", "ecdhecbc", "ipv6san", "ipv6dns"):
        try:
            scenarios.append(Scenario(name, directory, server_context(name, files)))
        except OSError:  # no IPv6 loopback here: the tests skip the ipv6 scenarios
            if not name.startswith("ipv6"):
                raise
    for scenario in scenarios:
        threading.Thread(target=scenario.serve, daemon=True).start()
    ports = "".join("%s %d\n" % (s.name, s.listener.getsockname()[1]) for s in scenarios)
    with open(os.path.join(directory, "ports.new"), "w") as f:
        f.write(ports)
    os.replace(os.path.join(directory, "ports.new"), os.path.join(directory, "ports"))
    # A peer left behind by a broken run ends by itself.
    time.sleep(3600)


def start(directory):
    os.makedirs(directory, exist_ok=True)
    stop(directory)
    for name in os.listdir(directory):
        os.remove(os.path.join(directory, name))
    # The server holds none of the caller's descriptors, so that a caller
    # waiting for its output (ctest) is not held up.
    with open(os.path.join(directory, "peer.log"), "wb") as log:
        child = subprocess.Popen([sys.executable, __file__, "serve", directory], start_new_session=True,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=True)
    with open(os.path.join(directory, "pid"), "w") as f:
        f.write(str(child.pid))
    for _ in range(300):
        if os.path.exists(os.path.join(directory, "ports")):
            return 0
        if child.poll() is not None:
            return 1
        time.sleep(0.1)
    return 1


def stop(directory):
    try:
        with open(os.path.join(directory, "pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    return 0


if __name__ == "__main__":
    command, directory = sys.argv[1], os.path.abspath(sys.argv[2])
    sys.exit({"start": start, "stop": stop, "serve": lambda d: serve(d) or 0}[command](directory))
