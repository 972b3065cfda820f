// The TLS client of the platform: one session over a connected,
// non-blocking socket, driven by the caller's select() loop.
//
// Two implementations provide it: TlsPosix.cpp (OpenSSL) and
// TlsWindows.cpp (Schannel through SSPI, with the chain checked by crypt32).
// CMake links exactly one, beside Platform*.cpp. Both read and write the
// socket only through winsock::recv and winsock::send, so socket errors
// are Winsock codes in winsock::WSAGetLastError() on both systems, as for
// plain sockets.
//
// What a session guarantees, on both systems:
// - TLS 1.2 at least, 1.3 where both sides have it; no ALPN. TLS 1.2 only
//   with forward-secret AEAD suites (ECDHE with AES-GCM or ChaCha20-Poly1305)
//   where the library lets the client choose, and no renegotiation: a
//   server's request for one is refused.
// - Server Name Indication carries the host name, unless the host is a
//   dotted IPv4 address, when none is sent.
// - The server's chain is verified against the trust store, and its
//   certificate must name the host: a DNS subject-alternative name
//   (wildcards as RFC 6125 allows), or for a dotted IPv4 host an IP
//   subject-alternative name. The subject's common name never counts, and
//   a certificate without subject-alternative names names no host.
// - Trust is the system's own store (OpenSSL's default verify paths; the
//   Windows Trusted Root store), unless the environment variable
//   SSL_CERT_FILE names a PEM bundle (set and not empty; Windows has no
//   empty variables): then that bundle alone is trusted.
//   A bundle that is not a regular file (never waited on: a FIFO, a
//   device, a directory), cannot be read or holds no certificate fails
//   Start; the system store is never used instead. Without SSL_CERT_FILE,
//   OpenSSL's default paths honour SSL_CERT_DIR.
// - Revocation is checked best effort: a certificate known to be revoked
//   is refused; an unknown or offline status is accepted.
// - Handshake returns Done only once the chain and the name are verified,
//   so no application byte is ever sent to an unverified peer.
#pragma once

#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>

namespace tls {

// What a call of a session asks of its caller.
enum class Step {
    Done,       // the call did its work
    WantRead,   // call again once the socket is readable
    WantWrite,  // call again once the socket is writable
    Closed,     // Read: the server's close_notify arrived, the stream's clean end
    Failed      // see Failure() and FailureText(); the session is unusable
};

// Why a session failed.
enum class Failure {
    None,
    TrustFile,    // SSL_CERT_FILE cannot be read or holds no certificate
    Setup,        // the library could not set up a session
    Handshake,    // the handshake failed (protocol, peer's alert, not TLS at all)
    Certificate,  // the chain is not trusted, or does not name the host
    Socket,       // a socket call failed: the code is in winsock::WSAGetLastError()
    Truncated,    // the connection ended without the server's close_notify
    Stream        // a record could not be decrypted or read
};

class ClientSession {
public:
    ClientSession();
    // Frees the library's state. Does not close the socket, which the
    // caller owns.
    ~ClientSession();
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // Prepares a session on the connected socket s for szHost (UTF-8, as
    // configured: a name or a dotted IPv4 address; shorter than 4096
    // bytes) and loads the trust store. Sends nothing. Once per object.
    // False on failure (TrustFile, with the file's name in FailureText(),
    // or Setup).
    bool Start(winsock::SOCKET s, const char* szHost);

    // Drives the handshake and the verification. Done when the session is
    // ready for Read and Write; WantRead/WantWrite to be called again once
    // the socket is ready; Failed (Handshake, Certificate, Socket,
    // Truncated) otherwise.
    Step Handshake();

    // Reads up to uCapacity decrypted bytes into pBuffer. Done with
    // *puRead > 0. The caller calls Read again until it returns something
    // other than Done before it waits on the socket: a session never holds
    // decrypted bytes back when it answers WantRead. Closed at the server's
    // close_notify; Failed (Truncated when the socket ended without it,
    // Socket, Stream) otherwise.
    Step Read(char* pBuffer, std::size_t uCapacity, std::size_t* puRead);

    // Encrypts and sends bytes from pBytes. Done with *puWritten > 0 bytes
    // wholly handed to the socket. After WantWrite or WantRead, call again
    // with the same bytes once the socket is ready. Failed (Socket, Stream).
    Step Write(const char* pBytes, std::size_t uLength, std::size_t* puWritten);

    // Sends close_notify if the socket takes it now; never waits, never fails
    // visibly.
    void Close();

    // The raw bytes read from the socket so far, handshake and record
    // framing included: the connection's sign of life while a record is
    // still arriving and nothing can be decrypted yet.
    std::uint64_t BytesReceived() const;

    // The trust Start loaded, for the log, as UTF-8 of at most 511 bytes:
    // "SSL_CERT_FILE <path>: <n> certificates", or "the system store"
    // followed by ", SSL_CERT_DIR <dir>" when OpenSSL's default paths take
    // that variable. "" before a Start that succeeded.
    const char* TrustText() const;

    Failure LastFailure() const;
    // The library's own reason for the last failure, as UTF-8 (OpenSSL's
    // error or verify text; on Windows the SECURITY_STATUS or crypt32 code in
    // hexadecimal and its system text), at most 511 bytes; "" when none.
    // Valid until the next call on the session.
    const char* FailureText() const;

private:
    struct Impl;
    Impl* m_pImpl;
};

}  // namespace tls
