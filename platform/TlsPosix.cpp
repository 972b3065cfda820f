// The TLS client on POSIX systems: OpenSSL, reading and writing the socket
// through a BIO of our own over winsock::recv and winsock::send.
#include "platform/Tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tls {

namespace {

constexpr std::size_t kTextSize = 512;
// The lowest security level a session runs at, whatever the system's
// OpenSSL configuration says: 112 bits at least (RSA and DH keys of 2048
// bits, SHA-1 signatures refused).
constexpr int kMinSecurityLevel = 2;
// TLS 1.2 suites: forward-secret key exchange and AEAD ciphers only. TLS
// 1.3's suites are all such, and stay as the library has them.
const char kTls12Ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

// What the socket BIO saw of the socket, for telling a failure's kind.
struct SocketState {
    winsock::SOCKET s = winsock::kInvalidSocket;
    bool bEnded = false;           // recv() returned 0: the peer closed
    bool bFailed = false;          // a socket call failed other than "would block"
    std::uint64_t uBytesRead = 0;  // raw bytes recv() brought, handshake included
};

int SocketWrite(BIO* pBio, const char* pBytes, int iLength) {
    SocketState* pState = static_cast<SocketState*>(BIO_get_data(pBio));
    BIO_clear_retry_flags(pBio);
    const int iSent = winsock::send(pState->s, pBytes, iLength, 0);
    if (iSent >= 0) return iSent;
    if (winsock::WSAGetLastError() == winsock::kWsaEWouldBlock) {
        BIO_set_retry_write(pBio);
    } else {
        pState->bFailed = true;
    }
    return -1;
}

int SocketRead(BIO* pBio, char* pBuffer, int iLength) {
    SocketState* pState = static_cast<SocketState*>(BIO_get_data(pBio));
    BIO_clear_retry_flags(pBio);
    const int iReceived = winsock::recv(pState->s, pBuffer, iLength, 0);
    if (iReceived > 0) {
        pState->uBytesRead += static_cast<std::uint64_t>(iReceived);
        return iReceived;
    }
    if (iReceived == 0) {
        pState->bEnded = true;
        return 0;
    }
    if (winsock::WSAGetLastError() == winsock::kWsaEWouldBlock) {
        BIO_set_retry_read(pBio);
    } else {
        pState->bFailed = true;
    }
    return -1;
}

long SocketControl(BIO* pBio, int iCommand, long, void*) {
    if (iCommand == BIO_CTRL_FLUSH) return 1;
    if (iCommand == BIO_CTRL_EOF) return static_cast<SocketState*>(BIO_get_data(pBio))->bEnded ? 1 : 0;
    return 0;
}

int SocketCreate(BIO* pBio) {
    BIO_set_init(pBio, 1);
    return 1;
}

// The process's one socket BIO method, made on first use; null when the
// library cannot make it.
BIO_METHOD* SocketMethod() {
    static BIO_METHOD* pMethod = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        pMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Dorvane socket");
        if (pMethod == nullptr) return;
        BIO_meth_set_write(pMethod, SocketWrite);
        BIO_meth_set_read(pMethod, SocketRead);
        BIO_meth_set_ctrl(pMethod, SocketControl);
        BIO_meth_set_create(pMethod, SocketCreate);
    });
    return pMethod;
}

// Revocation, best effort: a chain is checked against the CRLs the trust
// store holds, and a certificate with no CRL to say otherwise passes.
int AcceptUnknownRevocation(int iPreverified, X509_STORE_CTX* pContext) {
    if (iPreverified == 0 && X509_STORE_CTX_get_error(pContext) == X509_V_ERR_UNABLE_TO_GET_CRL) {
        X509_STORE_CTX_set_error(pContext, X509_V_OK);
        return 1;
    }
    return iPreverified;
}

// Opens szFile for reading without waiting on it (a FIFO, a device): a BIO
// that owns the descriptor, or null with errno set unless it is a regular
// file.
BIO* OpenRegularFile(const char* szFile) {
    const int iFd = ::open(szFile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (iFd < 0) return nullptr;
    struct stat info = {};
    if (::fstat(iFd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int iError = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(iFd);
        errno = iError;
        return nullptr;
    }
    BIO* pBio = BIO_new_fd(iFd, BIO_CLOSE);
    if (pBio == nullptr) ::close(iFd);
    return pBio;
}

// Adds the certificates and CRLs of the PEM bundle pBio to pStore; the
// number of certificates, or -1 when the bundle cannot be read.
int LoadBundle(BIO* pBio, X509_STORE* pStore) {
    STACK_OF(X509_INFO)* pItems = PEM_X509_INFO_read_bio(pBio, nullptr, nullptr, nullptr);
    if (pItems == nullptr) return -1;
    int iCertificates = 0;
    bool bAdded = true;
    for (int i = 0; i < sk_X509_INFO_num(pItems) && bAdded; ++i) {
        const X509_INFO* pItem = sk_X509_INFO_value(pItems, i);
        if (pItem->x509 != nullptr) {
            bAdded = X509_STORE_add_cert(pStore, pItem->x509) == 1;
            ++iCertificates;
        }
        if (pItem->crl != nullptr) bAdded = bAdded && X509_STORE_add_crl(pStore, pItem->crl) == 1;
    }
    sk_X509_INFO_pop_free(pItems, X509_INFO_free);
    return bAdded ? iCertificates : -1;
}

// The session's protocol policy, the same whatever the system's OpenSSL
// configuration says: TLS 1.2 at least, kTls12Ciphers, security level
// kMinSecurityLevel or higher, and no renegotiation (a server that asks for
// one is answered with the no_renegotiation alert). False on failure.
bool SetPolicy(SSL_CTX* pContext) {
    SSL_CTX_set_security_level(pContext, std::max(kMinSecurityLevel, SSL_CTX_get_security_level(pContext)));
    SSL_CTX_set_options(pContext, SSL_OP_NO_RENEGOTIATION);
    return SSL_CTX_set_min_proto_version(pContext, TLS1_2_VERSION) == 1 &&
           SSL_CTX_set_cipher_list(pContext, kTls12Ciphers) == 1;
}

}  // namespace

struct ClientSession::Impl {
    SSL_CTX* pContext = nullptr;
    SSL* pSsl = nullptr;
    SocketState socket;
    Failure failure = Failure::None;
    char szText[kTextSize] = "";
    char szTrust[kTextSize] = "";
    Step pending = Step::Done;  // a failure or end met after Read had bytes to give

    ~Impl() {
        SSL_free(pSsl);  // frees the BIO too
        SSL_CTX_free(pContext);
    }

    Step Fail(Failure why, const char* szReason) {
        failure = why;
        std::snprintf(szText, sizeof szText, "%s", szReason);
        ERR_clear_error();
        return Step::Failed;
    }

    // Fails with the library's first queued error as the reason.
    Step FailWithLibraryError(Failure why, const char* szFallback) {
        const unsigned long ulError = ERR_peek_error();
        if (ulError == 0) return Fail(why, szFallback);
        char szReason[kTextSize];
        ERR_error_string_n(ulError, szReason, sizeof szReason);
        return Fail(why, szReason);
    }

    bool LoadTrust();
    bool SetUpVerification(const char* szHost);
    Step HandshakeFailed();
    Step Unfinished();
};

// The trust store: SSL_CERT_FILE's bundle alone when it is set, else the
// system's default paths (OpenSSL's, which honour SSL_CERT_DIR).
bool ClientSession::Impl::LoadTrust() {
    const char* szFile = std::getenv("SSL_CERT_FILE");
    if (szFile == nullptr || szFile[0] == '\0') {
        const char* szDirectory = std::getenv("SSL_CERT_DIR");
        if (szDirectory == nullptr || szDirectory[0] == '\0') {
            std::snprintf(szTrust, sizeof szTrust, "the system store");
        } else {
            std::snprintf(szTrust, sizeof szTrust, "the system store, SSL_CERT_DIR %s", szDirectory);
        }
        if (SSL_CTX_set_default_verify_paths(pContext) == 1) return true;
        FailWithLibraryError(Failure::Setup, "the system's trust store cannot be loaded");
        return false;
    }
    char szReason[kTextSize];
    BIO* pBio = OpenRegularFile(szFile);
    if (pBio == nullptr) {
        const char* szWhy = errno == EINVAL ? "not a regular file" : std::strerror(errno);
        std::snprintf(szReason, sizeof szReason, "SSL_CERT_FILE %s: %s", szFile, szWhy);
        Fail(Failure::TrustFile, szReason);
        return false;
    }
    const int iCertificates = LoadBundle(pBio, SSL_CTX_get_cert_store(pContext));
    BIO_free(pBio);
    std::snprintf(szTrust, sizeof szTrust, "SSL_CERT_FILE %s: %d certificates", szFile, iCertificates);
    if (iCertificates > 0) return true;
    const unsigned long ulError = ERR_peek_error();
    char szLibrary[256] = "no certificate in it";
    if (iCertificates < 0 && ulError != 0) ERR_error_string_n(ulError, szLibrary, sizeof szLibrary);
    std::snprintf(szReason, sizeof szReason, "SSL_CERT_FILE %s: %s", szFile, szLibrary);
    Fail(Failure::TrustFile, szReason);
    return false;
}

// The name the certificate must carry: an IP address for a dotted IPv4
// host or an IPv6 one (and no SNI), else a DNS name, sent as SNI too; a
// subject-alternative name either way, never the subject's common name.
bool ClientSession::Impl::SetUpVerification(const char* szHost) {
    X509_VERIFY_PARAM* pParam = SSL_get0_param(pSsl);
    X509_VERIFY_PARAM_set_flags(pParam, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    X509_VERIFY_PARAM_set_hostflags(pParam, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    SSL_set_verify(pSsl, SSL_VERIFY_PEER, AcceptUnknownRevocation);
    unsigned char aAddress[16];
    if (inet_pton(AF_INET, szHost, aAddress) == 1 || inet_pton(AF_INET6, szHost, aAddress) == 1) {
        return X509_VERIFY_PARAM_set1_ip_asc(pParam, szHost) == 1;
    }
    return SSL_set_tlsext_host_name(pSsl, szHost) == 1 && SSL_set1_host(pSsl, szHost) == 1;
}

// Why a handshake that did not finish failed.
Step ClientSession::Impl::HandshakeFailed() {
    const long lVerify = SSL_get_verify_result(pSsl);
    if (lVerify != X509_V_OK) return Fail(Failure::Certificate, X509_verify_cert_error_string(lVerify));
    if (socket.bFailed) return Fail(Failure::Socket, "");
    if (ERR_peek_error() == 0 && socket.bEnded) return Fail(Failure::Handshake, "the server closed the connection");
    return FailWithLibraryError(Failure::Handshake, "the handshake failed");
}

// What an SSL_read_ex or SSL_write_ex that returned 0 asks for. A failure
// the socket did not cause is Failure::Stream.
Step ClientSession::Impl::Unfinished() {
    switch (SSL_get_error(pSsl, 0)) {
        case SSL_ERROR_WANT_READ:
            return Step::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Step::Closed;
        default:
            break;
    }
    // A certificate is never accepted after the handshake, but were one
    // refused, it is refused as at the handshake.
    const long lVerify = SSL_get_verify_result(pSsl);
    if (lVerify != X509_V_OK) return Fail(Failure::Certificate, X509_verify_cert_error_string(lVerify));
    if (socket.bFailed) return Fail(Failure::Socket, "");
    const unsigned long ulError = ERR_peek_error();
    if (socket.bEnded && (ulError == 0 || ERR_GET_REASON(ulError) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        return Fail(Failure::Truncated, "the connection ended without close_notify");
    }
    return FailWithLibraryError(Failure::Stream, "the TLS stream failed");
}

ClientSession::ClientSession() : m_pImpl(new Impl) {}

ClientSession::~ClientSession() { delete m_pImpl; }

bool ClientSession::Start(winsock::SOCKET s, const char* szHost) {
    Impl& impl = *m_pImpl;
    ERR_clear_error();
    impl.socket.s = s;
    impl.pContext = SSL_CTX_new(TLS_client_method());
    if (impl.pContext == nullptr || !SetPolicy(impl.pContext)) {
        impl.FailWithLibraryError(Failure::Setup, "no TLS context");
        return false;
    }
    if (!impl.LoadTrust()) return false;
    impl.pSsl = SSL_new(impl.pContext);
    BIO_METHOD* pMethod = SocketMethod();
    BIO* pBio = pMethod != nullptr ? BIO_new(pMethod) : nullptr;
    if (impl.pSsl == nullptr || pBio == nullptr) {
        BIO_free(pBio);
        impl.FailWithLibraryError(Failure::Setup, "no TLS session");
        return false;
    }
    BIO_set_data(pBio, &impl.socket);
    SSL_set_bio(impl.pSsl, pBio, pBio);
    SSL_set_mode(impl.pSsl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_connect_state(impl.pSsl);
    if (!impl.SetUpVerification(szHost)) {
        impl.FailWithLibraryError(Failure::Setup, "the host name cannot be set");
        return false;
    }
    return true;
}

Step ClientSession::Handshake() {
    Impl& impl = *m_pImpl;
    ERR_clear_error();
    const int iResult = SSL_do_handshake(impl.pSsl);
    if (iResult == 1) return Step::Done;
    const int iError = SSL_get_error(impl.pSsl, iResult);
    if (iError == SSL_ERROR_WANT_READ) return Step::WantRead;
    if (iError == SSL_ERROR_WANT_WRITE) return Step::WantWrite;
    return impl.HandshakeFailed();
}

Step ClientSession::Read(char* pBuffer, std::size_t uCapacity, std::size_t* puRead) {
    Impl& impl = *m_pImpl;
    *puRead = 0;
    if (impl.pending != Step::Done) return impl.pending;
    // Records are at most 16 KiB: read as many as have arrived, up to the
    // caller's buffer.
    while (*puRead < uCapacity) {
        ERR_clear_error();
        std::size_t uRead = 0;
        if (SSL_read_ex(impl.pSsl, pBuffer + *puRead, uCapacity - *puRead, &uRead) == 1) {
            *puRead += uRead;
            continue;
        }
        const Step step = impl.Unfinished();
        if (*puRead == 0) return step;
        // The bytes go first; an end or failure waits for the next call.
        if (step != Step::WantRead && step != Step::WantWrite) impl.pending = step;
        break;
    }
    return Step::Done;
}

Step ClientSession::Write(const char* pBytes, std::size_t uLength, std::size_t* puWritten) {
    Impl& impl = *m_pImpl;
    *puWritten = 0;
    ERR_clear_error();
    if (SSL_write_ex(impl.pSsl, pBytes, uLength, puWritten) == 1) return Step::Done;
    const Step step = impl.Unfinished();
    // A close_notify while writing ends nothing we could still send.
    return step == Step::Closed ? impl.Fail(Failure::Stream, "the server closed the TLS session") : step;
}

void ClientSession::Close() {
    if (m_pImpl->pSsl == nullptr || !SSL_is_init_finished(m_pImpl->pSsl)) return;
    SSL_shutdown(m_pImpl->pSsl);
    ERR_clear_error();
}

const char* ClientSession::TrustText() const { return m_pImpl->failure == Failure::None ? m_pImpl->szTrust : ""; }

Failure ClientSession::LastFailure() const { return m_pImpl->failure; }

std::uint64_t ClientSession::BytesReceived() const { return m_pImpl->socket.uBytesRead; }

const char* ClientSession::FailureText() const { return m_pImpl->szText; }

}  // namespace tls
