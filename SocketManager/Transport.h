// The transport chain of one exchange: layers stacked on one connection
// (the socket at the bottom, TLS at the top when the scheme asks for it),
// each with the same few operations. The exchange talks to the top layer
// only and never asks which layers are under it.
#pragma once

#include "SocketManager/MySocket.h"
#include "SocketManager/TlsChannel.h"
#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace transport {

// What a layer's call gives, and what the layer waits for.
enum class Wait : std::uint8_t {
    Readable,  // call again once the socket is readable
    Writable,  // call again once the socket is writable
    Done,      // the call did its work
    Closed,    // Receive: the peer ended the stream cleanly
    Failed     // see Fault(); the chain is unusable
};

// Why a call answered Failed. The socket's codes are kept for the caller
// to log; the TLS layer logs its failures itself.
enum class Fault : std::uint8_t {
    None,
    Refused,        // the connection was refused (Code())
    SendFailed,     // send() failed (Code())
    ReceiveFailed,  // recv() failed (Code())
    Tls,            // TLS could not begin, or its handshake or certificate failed (logged)
    Network,        // the handshake's socket call failed (logged)
    CutShort,       // TLS: the stream broke after the handshake (logged)
    ProxyRefused,   // the proxy answered CONNECT with a status other than 2xx (Code())
    ProxyBroken     // the proxy closed, or its reply to CONNECT is not HTTP or too large
};

// The socket's readiness, as the last select() found it.
struct Readiness {
    bool bReadable = false;
    bool bWritable = false;
    bool bException = false;
};

// One layer. Each owns the layer below it (null at the bottom).
class Layer {
public:
    virtual ~Layer() = default;
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // Moves the opening on (connecting, a handshake), lower layers first;
    // Done once this layer and those below it are open.
    virtual Wait Open() = 0;
    // Sends from pBytes (uLength > 0); Done with *puSent > 0.
    virtual Wait Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) = 0;
    // Receives up to uCapacity bytes; Done with *puReceived > 0. Call
    // again until it gives something other than Done before waiting.
    virtual Wait Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived) = 0;
    // What the layer waits for before its next call can go on (Readable or
    // Writable); bHasToSend: the caller has bytes left to send.
    virtual Wait Waiting(bool bHasToSend) const = 0;
    // Why the last call answered Failed, and the socket's code with it.
    virtual transport::Fault Fault() const { return m_pBelow->Fault(); }
    virtual int Code() const { return m_pBelow->Code(); }
    // The raw bytes the connection brought so far, at every layer.
    virtual std::uint64_t BytesReceived() const { return m_pBelow->BytesReceived(); }
    // Hands down the readiness of the socket for the calls of this pass.
    virtual void Ready(const Readiness& ready) { m_pBelow->Ready(ready); }
    // The socket at the bottom, for select().
    virtual winsock::SOCKET Handle() const { return m_pBelow->Handle(); }
    // Whether the socket at the bottom has connected.
    virtual bool Connected() const { return m_pBelow->Connected(); }

protected:
    explicit Layer(std::unique_ptr<Layer> pBelow) : m_pBelow(std::move(pBelow)) {}
    // Destroyed after the derived layer's members, so that a layer's own
    // closing still finds the layers below it open.
    std::unique_ptr<Layer> m_pBelow;
};

// Closes a socket (writing its close records), then frees it.
struct CloseSocket {
    void operator()(MySocket* pSocket) const {
        pSocket->Close();
        delete pSocket;
    }
};
using SocketPtr = std::unique_ptr<MySocket, CloseSocket>;

// The bottom: a connecting or connected socket. Each readiness the pass
// hands down serves one system call, so that one select() is followed by
// at most one send() and one recv().
class SocketLayer : public Layer {
public:
    explicit SocketLayer(SocketPtr pSocket) : Layer(nullptr), m_pSocket(std::move(pSocket)) {}
    Wait Open() override;
    Wait Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) override;
    Wait Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived) override;
    Wait Waiting(bool bHasToSend) const override;
    transport::Fault Fault() const override { return m_eFault; }
    int Code() const override { return m_iCode; }
    std::uint64_t BytesReceived() const override { return m_uReceived; }
    void Ready(const Readiness& ready) override { m_ready = ready; }
    winsock::SOCKET Handle() const override { return m_pSocket->m_iSocket; }
    bool Connected() const override { return m_pSocket->m_bConnected; }

private:
    Wait Failed(transport::Fault eFault);

    SocketPtr m_pSocket;
    Readiness m_ready;
    transport::Fault m_eFault = transport::Fault::None;
    int m_iCode = 0;
    std::uint64_t m_uReceived = 0;
};

// An HTTP CONNECT tunnel through a forward proxy, over the layers below
// once they are open: sends the CONNECT request, then reads the proxy's
// reply header a byte at a time, so that no byte after it is taken from
// the layers above; a 2xx status opens the tunnel, which then passes every
// call through.
class TunnelLayer : public Layer {
public:
    // The most bytes of the proxy's reply header.
    static constexpr std::size_t kReplyLimit = 16 * 1024;

    // request: the whole CONNECT request.
    TunnelLayer(std::unique_ptr<Layer> pBelow, std::string request)
        : Layer(std::move(pBelow)), m_request(std::move(request)) {}
    Wait Open() override;
    Wait Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) override {
        return m_pBelow->Send(pBytes, uLength, puSent);
    }
    Wait Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived) override {
        return m_pBelow->Receive(pBuffer, uCapacity, puReceived);
    }
    Wait Waiting(bool bHasToSend) const override;
    transport::Fault Fault() const override;
    // The proxy's status after ProxyRefused.
    int Code() const override;

private:
    // The reply header is whole: its status decides.
    Wait Replied();

    std::string m_request;
    std::size_t m_uSent = 0;
    std::string m_reply;  // the proxy's reply header so far
    bool m_bBelowOpen = false;
    bool m_bOpen = false;
    transport::Fault m_eFault = transport::Fault::None;
    int m_iStatus = 0;
};

// TLS over the layers below, once they are open: the handshake checks the
// certificate against szHost; nothing is sent before it passed. The session
// reads and writes the socket itself, so the layers below must hold no
// bytes of their own once open.
class TlsLayer : public Layer {
public:
    // szHost (not owned) outlives the layer.
    TlsLayer(std::unique_ptr<Layer> pBelow, const char* szHost) : Layer(std::move(pBelow)), m_szHost(szHost) {}
    // Sends close_notify when the socket takes it, before the layers below close.
    ~TlsLayer() override;
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;
    Wait Open() override;
    Wait Send(const char* pBytes, std::size_t uLength, std::size_t* puSent) override;
    Wait Receive(char* pBuffer, std::size_t uCapacity, std::size_t* puReceived) override;
    Wait Waiting(bool bHasToSend) const override;
    transport::Fault Fault() const override;
    std::uint64_t BytesReceived() const override;

private:
    // A channel's answer as the chain's; bOpening: during the handshake.
    Wait FromResult(TlsChannel::Result result, bool bOpening);

    const char* m_szHost;
    std::unique_ptr<TlsChannel> m_pChannel;  // made once the layers below are open
    bool m_bOpen = false;
    transport::Fault m_eFault = transport::Fault::None;
};

}  // namespace transport
