// The TLS layer of one exchange: a client session over the exchange's
// connected socket, with its failures logged. The exchange reads and writes
// through it instead of the plain socket when the URL's scheme is "https:".
#pragma once

#include "platform/Platform.h"
#include "platform/Tls.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class TlsChannel {
public:
    // What a call gives the exchange.
    enum class Result {
        Done,    // the call did its work
        Wait,    // call again once the socket is ready as WantsWrite() says
        Ended,   // Receive: the server's close_notify, the stream's clean end
        Failed,  // logged; the channel is unusable
    };

    // Prepares TLS for szHost (as configured; see tls::ClientSession::Start)
    // on the connected socket s, which stays the caller's. Null, after
    // logging, when the trust store or the library cannot be set up.
    static std::unique_ptr<TlsChannel> Open(winsock::SOCKET s, const char* szHost);

    // Drives the handshake and the certificate check; Done once both passed.
    Result Handshake();
    // Sends from pBytes (uLength > 0); Done with *puSent > 0 bytes on the
    // socket.
    Result Send(const char* pBytes, std::size_t uLength, std::size_t* puSent);
    // Receives up to uCapacity bytes; Done with *puReceived > 0. Call again
    // until it gives something other than Done before waiting. A stream
    // that ends without close_notify, or with an error, is Failed and
    // sets *pbEndedByError.
    Result Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived, bool* pbEndedByError);
    // Whether the last Wait waits for the socket to be writable (else
    // readable).
    bool WantsWrite() const { return m_bWantsWrite; }
    // The raw bytes the socket brought so far, handshake included (see
    // tls::ClientSession::BytesReceived).
    std::uint64_t BytesReceived() const { return m_session.BytesReceived(); }
    // Why the channel failed, after Failed.
    tls::Failure Failure() const { return m_session.LastFailure(); }
    // Sends close_notify when the socket takes it; never waits.
    void Close() { m_session.Close(); }

private:
    explicit TlsChannel(const char* szHost);
    // Turns a session step into a result; failures are logged as met in
    // szDoing ("handshake", "send", "receive").
    Result FromStep(tls::Step step, const char* szDoing);

    tls::ClientSession m_session;
    const char* m_szHost;       // the caller's, outlives the channel
    bool m_bWantsWrite = true;  // the handshake begins by writing
};
