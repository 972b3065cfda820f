#include "SocketManager/Transport.h"

namespace transport {

Wait SocketLayer::Failed(transport::Fault eFault) {
    m_eFault = eFault;
    return Wait::Failed;
}

Wait SocketLayer::Open() {
    if (m_pSocket->m_bConnected) return Wait::Done;
    if (!m_ready.bWritable) return Wait::Writable;
    m_ready.bWritable = false;
    if (m_ready.bException) {
        m_iCode = winsock::WSAGetLastError();
        return Failed(transport::Fault::Refused);
    }
    m_pSocket->m_bConnecting = false;
    m_pSocket->m_bConnected = true;
    return Wait::Done;
}

Wait SocketLayer::Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) {
    if (!m_ready.bWritable) return Wait::Writable;
    m_ready.bWritable = false;
    const int iSent = winsock::send(m_pSocket->m_iSocket, pBytes, static_cast<int>(uLength), 0);
    if (iSent == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        if (iCode == winsock::kWsaEWouldBlock) return Wait::Writable;
        m_iCode = iCode;
        return Failed(transport::Fault::SendFailed);
    }
    if (iSent == 0) return Wait::Writable;
    *puSent = static_cast<std::size_t>(iSent);
    return Wait::Done;
}

Wait SocketLayer::Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived) {
    if (!m_ready.bReadable) return Wait::Readable;
    m_ready.bReadable = false;
    const int iReceived = winsock::recv(m_pSocket->m_iSocket, pBuffer, static_cast<int>(uCapacity), 0);
    if (iReceived == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        if (iCode == winsock::kWsaEWouldBlock) return Wait::Readable;
        m_iCode = iCode;
        return Failed(transport::Fault::ReceiveFailed);
    }
    if (iReceived == 0) return Wait::Closed;
    m_uReceived += static_cast<std::uint64_t>(iReceived);
    *puReceived = static_cast<std::size_t>(iReceived);
    return Wait::Done;
}

Wait SocketLayer::Waiting(bool bHasToSend) const {
    return m_pSocket->m_bConnecting || bHasToSend ? Wait::Writable : Wait::Readable;
}

Wait TunnelLayer::Open() {
    if (m_bOpen) return Wait::Done;
    if (!m_bBelowOpen) {
        const Wait below = m_pBelow->Open();
        if (below != Wait::Done) return below;
        m_bBelowOpen = true;
    }
    while (m_uSent < m_request.size()) {
        std::size_t uSent = 0;
        const Wait sending = m_pBelow->Send(m_request.data() + m_uSent, m_request.size() - m_uSent, &uSent);
        if (sending != Wait::Done) return sending;
        m_uSent += uSent;
    }
    for (;;) {
        char c = '\0';
        std::size_t uReceived = 0;
        const Wait receiving = m_pBelow->Receive(&c, 1, &uReceived);
        if (receiving == Wait::Closed) {
            m_eFault = transport::Fault::ProxyBroken;
            return Wait::Failed;
        }
        if (receiving != Wait::Done) return receiving;
        m_reply += c;
        const std::size_t uSize = m_reply.size();
        if ((uSize >= 4 && m_reply.compare(uSize - 4, 4, "\r\n\r\n") == 0) ||
            (uSize >= 2 && m_reply.compare(uSize - 2, 2, "\n\n") == 0)) {
            return Replied();
        }
        if (uSize >= kReplyLimit) {
            m_eFault = transport::Fault::ProxyBroken;
            return Wait::Failed;
        }
    }
}

Wait TunnelLayer::Replied() {
    // "HTTP/1.x NNN ...": the three digits after the first blank.
    const std::size_t uBlank = m_reply.find(' ');
    const bool bHttp =
        m_reply.compare(0, 5, "HTTP/") == 0 && uBlank != std::string::npos && uBlank + 3 < m_reply.size();
    int iStatus = 0;
    for (std::size_t i = 1; bHttp && i <= 3; ++i) {
        const char c = m_reply[uBlank + i];
        iStatus = c >= '0' && c <= '9' && iStatus >= 0 ? iStatus * 10 + (c - '0') : -1;
    }
    if (iStatus < 100) {
        m_eFault = transport::Fault::ProxyBroken;
        return Wait::Failed;
    }
    m_iStatus = iStatus;
    if (iStatus / 100 != 2) {
        m_eFault = transport::Fault::ProxyRefused;
        return Wait::Failed;
    }
    m_bOpen = true;
    std::string().swap(m_reply);
    return Wait::Done;
}

Wait TunnelLayer::Waiting(bool bHasToSend) const {
    if (m_bOpen) return m_pBelow->Waiting(bHasToSend);
    return m_pBelow->Waiting(!m_bBelowOpen || m_uSent < m_request.size());
}

transport::Fault TunnelLayer::Fault() const {
    return m_eFault != transport::Fault::None ? m_eFault : m_pBelow->Fault();
}

int TunnelLayer::Code() const { return m_eFault != transport::Fault::None ? m_iStatus : m_pBelow->Code(); }

TlsLayer::~TlsLayer() {
    if (m_pChannel != nullptr) m_pChannel->Close();
}

Wait TlsLayer::FromResult(TlsChannel::Result result, bool bOpening) {
    switch (result) {
        case TlsChannel::Result::Done:
            return Wait::Done;
        case TlsChannel::Result::Wait:
            return m_pChannel->WantsWrite() ? Wait::Writable : Wait::Readable;
        case TlsChannel::Result::Ended:
            return Wait::Closed;
        case TlsChannel::Result::Failed:
            break;
    }
    const tls::Failure eFailure = m_pChannel->Failure();
    if (bOpening) {
        m_eFault = eFailure == tls::Failure::Socket ? transport::Fault::Network : transport::Fault::Tls;
    } else {
        m_eFault = eFailure == tls::Failure::Certificate ? transport::Fault::Tls : transport::Fault::CutShort;
    }
    return Wait::Failed;
}

Wait TlsLayer::Open() {
    if (m_bOpen) return Wait::Done;
    if (m_pChannel == nullptr) {
        const Wait below = m_pBelow->Open();
        if (below != Wait::Done) return below;
        m_pChannel = TlsChannel::Open(Handle(), m_szHost);
        if (m_pChannel == nullptr) {
            m_eFault = transport::Fault::Tls;
            return Wait::Failed;
        }
        return Wait::Writable;  // the handshake begins by writing, in the next pass
    }
    const Wait step = FromResult(m_pChannel->Handshake(), true);
    m_bOpen = step == Wait::Done;
    return step;
}

Wait TlsLayer::Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) {
    return FromResult(m_pChannel->Send(pBytes, uLength, puSent), false);
}

Wait TlsLayer::Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived) {
    bool bEndedByError = false;  // every failure ends the reply by error, as the caller records
    return FromResult(m_pChannel->Receive(pBuffer, uCapacity, puReceived, &bEndedByError), false);
}

Wait TlsLayer::Waiting(bool bHasToSend) const {
    if (m_pChannel == nullptr) return m_pBelow->Waiting(bHasToSend);
    return m_pChannel->WantsWrite() ? Wait::Writable : Wait::Readable;
}

transport::Fault TlsLayer::Fault() const { return m_eFault != transport::Fault::None ? m_eFault : m_pBelow->Fault(); }

std::uint64_t TlsLayer::BytesReceived() const {
    return m_pBelow->BytesReceived() + (m_pChannel != nullptr ? m_pChannel->BytesReceived() : 0);
}

}  // namespace transport
