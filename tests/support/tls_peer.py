#!/usr/bin/python3
"""A scripted TLS peer for the end-to-end tests, shared by the Linux and the
Windows (Wine) legs.

    tls_peer.py start DIR    makes the certificates, starts serving in the
                             background, returns once DIR/ports is written
    tls_peer.py stop DIR     stops it

DIR receives:
  ca.pem            the private CA that the tests trust (SSL_CERT_FILE)
  body.bin          the body every serving scenario sends
  ports             "<scenario> <port>" lines
  <scenario>.bytes  the application bytes each scenario received, appended
                    connection after connection (for TLS scenarios only what
                    arrived inside a finished handshake)

Every scenario listens on 127.0.0.1 on a port of its own and, once a
connection gets that far, reads the request up to its blank line and
answers "HTTP/1.0 200 OK" with body.bin, so a client that wrongly accepted
the peer would save a backup:
  trusted      a certificate for localhost from the CA; ends with close_notify
  ipsan        a certificate for the IP address 127.0.0.1 only
  untrusted    a certificate for localhost from another CA
  wrongname    a certificate for wrong.example from the CA
  expired      a certificate for localhost from the CA, expired a year ago
  selfsigned   a self-signed certificate for localhost
  plain        no TLS at all: a plain HTTP server that answers the first
               bytes it receives
  cut          as trusted, but half of the body, no Content-Length, and the
               connection closed without close_notify
"""

import datetime
import ipaddress
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
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

BODY_SIZE = 300_000
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
    localhost = [x509.DNSName("localhost")]
    ours, theirs = (ca, "Dorvane Test CA", ca_key), (other, "Other Test CA", other_key)
    leaves = {
        "trusted": ("localhost", localhost, ours, False),
        "cut": ("localhost", localhost, ours, False),
        "ipsan": ("127.0.0.1", [x509.IPAddress(ipaddress.IPv4Address("127.0.0.1"))], ours, False),
        "untrusted": ("localhost", localhost, theirs, False),
        "wrongname": ("wrong.example", [x509.DNSName("wrong.example")], ours, False),
        "expired": ("localhost", localhost, ours, True),
        "selfsigned": ("localhost", localhost, None, False),
    }
    files = {}
    for scenario, (subject, names, issuer, expired) in leaves.items():
        key = ec.generate_private_key(ec.SECP256R1())
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


def body():
    return bytes((i * 131 + i // 256) % 256 for i in range(BODY_SIZE))


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
            connection.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + payload)
            if self.context is not None:
                connection = connection.unwrap()  # close_notify
        except (OSError, ssl.SSLError):
            pass  # a client that refused the peer
        finally:
            connection.close()


def serve(directory):
    files = make_certificates(directory)
    with open(os.path.join(directory, "body.bin"), "wb") as f:
        f.write(body())
    scenarios = []
    for name in ("trusted", "ipsan", "untrusted", "wrongname", "expired", "selfsigned", "plain", "cut"):
        context = None
        if name != "plain":
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.minimum_version = ssl.TLSVersion.TLSv1_2
            context.load_cert_chain(*files[name])
        scenarios.append(Scenario(name, directory, context))
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
