#include "SocketManager/TlsChannel.h"

#include "log/MyLog.h"
#include "utility/SocketErrorText.h"

namespace {

const char kSourceFile[] = "SocketManager/TlsChannel";
const char kLabel[] = "TlsChannel";

// The lines of this module's log records.
constexpr int kLineTrust = 34;        // the trust in use
constexpr int kLineTrustFile = 40;    // SSL_CERT_FILE cannot be used
constexpr int kLineSetupFailed = 46;  // the library could not set up a session
constexpr int kLineHandshake = 70;    // the handshake failed
constexpr int kLineCertificate = 76;  // the certificate was refused
constexpr int kLineSocket = 90;       // a socket call failed under TLS
constexpr int kLineTruncated = 96;    // the stream ended without close_notify
constexpr int kLineStream = 102;      // a record could not be read or written

}  // namespace

TlsChannel::TlsChannel(const char* szHost) : m_szHost(szHost) {}

std::unique_ptr<TlsChannel> TlsChannel::Open(winsock::SOCKET s, const char* szHost) {
    std::unique_ptr<TlsChannel> pChannel(new TlsChannel(szHost));
    const tls::ClientSession& session = pChannel->m_session;
    if (pChannel->m_session.Start(s, szHost)) {
        g_pLog->Write(kLabel, 0, kSourceFile, kLineTrust, "Trust: %s", session.TrustText());
        return pChannel;
    }
    if (session.LastFailure() == tls::Failure::TrustFile) {
        g_pLog->Write(kLabel, 3, kSourceFile, kLineTrustFile, "Cannot use the trust store: %s", session.FailureText());
    } else {
        g_pLog->Write(kLabel, 3, kSourceFile, kLineSetupFailed, "TLS set-up failed: %s", session.FailureText());
    }
    return nullptr;
}

TlsChannel::Result TlsChannel::FromStep(tls::Step step, const char* szDoing) {
    switch (step) {
        case tls::Step::Done:
            return Result::Done;
        case tls::Step::WantRead:
        case tls::Step::WantWrite:
            m_bWantsWrite = step == tls::Step::WantWrite;
            return Result::Wait;
        case tls::Step::Closed:
            return Result::Ended;
        case tls::Step::Failed:
            break;
    }
    const char* szReason = m_session.FailureText();
    switch (m_session.LastFailure()) {
        case tls::Failure::Certificate:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineCertificate, "Certificate of %s refused: %s", m_szHost,
                          szReason);
            break;
        case tls::Failure::Socket: {
            const int iCode = winsock::WSAGetLastError();
            g_pLog->Write(kLabel, 3, kSourceFile, kLineSocket, "TLS %s failed, error code: %d, error: %s", szDoing,
                          iCode, GetSocketErrorText(iCode));
            break;
        }
        case tls::Failure::Truncated:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineTruncated, "TLS %s: the connection ended without close_notify",
                          szDoing);
            break;
        case tls::Failure::Stream:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineStream, "TLS %s failed: %s", szDoing, szReason);
            break;
        default:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineHandshake, "TLS handshake with %s failed: %s", m_szHost,
                          szReason);
            break;
    }
    return Result::Failed;
}

TlsChannel::Result TlsChannel::Handshake() { return FromStep(m_session.Handshake(), "handshake"); }

TlsChannel::Result TlsChannel::Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) {
    return FromStep(m_session.Write(pBytes, uLength, puSent), "send");
}

TlsChannel::Result TlsChannel::Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived,
                                       bool* pbEndedByError) {
    const Result result = FromStep(m_session.Read(pBuffer, uCapacity, puReceived), "receive");
    if (result == Result::Failed) *pbEndedByError = true;
    return result;
}
