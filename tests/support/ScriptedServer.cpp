#include "support/ScriptedServer.h"

#include "platform/Platform.h"
#include "support/TestSockets.h"

#include <chrono>
#include <cstdlib>

namespace testsupport {
namespace {

constexpr long kPollMicroseconds = 20000;

std::size_t DeclaredLength(const std::string& header) {
    std::string lower;
    for (char c : header) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const std::size_t uAt = lower.find("content-length:");
    if (uAt == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoul(header.c_str() + uAt + 15, nullptr, 10));
}

}  // namespace

Step ReadRequest() { return Step{Step::Kind::ReadRequest, "", 0}; }
Step Send(std::string bytes) { return Step{Step::Kind::Send, std::move(bytes), 0}; }
Step Pause(int iMilliseconds) { return Step{Step::Kind::Pause, "", iMilliseconds}; }
Step HoldOpen() { return Step{Step::Kind::HoldOpen, "", 0}; }
Step Reset() { return Step{Step::Kind::Reset, "", 0}; }
Step SendUrgent(std::string bytes) { return Step{Step::Kind::SendUrgent, std::move(bytes), 0}; }
Step Call(std::function<void()> call) { return Step{Step::Kind::Call, "", 0, std::move(call)}; }
Step Relay(int iPort) { return Step{Step::Kind::Relay, "", 0, nullptr, iPort}; }

Script Reply(const std::string& bytes) { return {ReadRequest(), Send(bytes)}; }

Script ReplyInPieces(const std::string& bytes, std::size_t uPiece, int iPauseMs) {
    Script script{ReadRequest()};
    for (std::size_t i = 0; i < bytes.size(); i += uPiece) {
        if (i > 0) script.push_back(Pause(iPauseMs));
        script.push_back(Send(bytes.substr(i, uPiece)));
    }
    return script;
}

Script CloseWithoutReply() { return {ReadRequest()}; }

std::string HttpReply(const std::string& body, int iStatus, bool bContentLength) {
    std::string reply = "HTTP/1.0 " + std::to_string(iStatus) + (iStatus == 200 ? " OK" : " Error") + "\r\n";
    reply += "Content-Type: application/octet-stream\r\n";
    if (bContentLength) reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return reply + "\r\n" + body;
}

ScriptedServer::ScriptedServer(std::vector<Script> scripts, bool bIpv6) : m_scripts(std::move(scripts)) {
    m_listenSocket = winsock::socket(bIpv6 ? winsock::kAfInet6 : winsock::kAfInet, winsock::kSockStream, 0);
    int iBound = winsock::kSocketError;
    if (bIpv6) {
        winsock::SockAddrIn6 address{};
        address.sin6_family = static_cast<std::uint16_t>(winsock::kAfInet6);
        winsock::ParseIpv6("::1", address.sin6_addr);
        iBound = winsock::bind(m_listenSocket, &address, sizeof address);
    } else {
        winsock::SockAddrIn address{};
        address.sin_family = static_cast<std::uint16_t>(winsock::kAfInet);
        address.sin_addr = winsock::inet_addr("127.0.0.1");
        iBound = winsock::bind(m_listenSocket, &address, sizeof address);
    }
    if (m_listenSocket != winsock::kInvalidSocket && iBound == 0 && winsock::listen(m_listenSocket, 8) == 0) {
        m_iPort = winsock::BoundPort(m_listenSocket);
    }
    if (Listening()) m_thread = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    winsock::closesocket(m_listenSocket);
}

std::vector<std::string> ScriptedServer::Requests() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requests;
}

int ScriptedServer::Connections() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(m_requests.size());
}

bool ScriptedServer::WaitForConnections(int iCount) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_finished.wait_for(lock, std::chrono::seconds(60), [&] { return m_iFinished >= iCount; });
}

bool ScriptedServer::WaitReadable(std::uintptr_t s) {
    winsock::FdSet readSet;
    winsock::FdZero(&readSet);
    winsock::FdAdd(s, &readSet);
    const winsock::TimeVal wait{0, kPollMicroseconds};
    return winsock::select(0, &readSet, nullptr, nullptr, &wait) > 0;
}

void ScriptedServer::AcceptLoop() {
    std::size_t uIndex = 0;
    while (!m_bStop) {
        if (!WaitReadable(m_listenSocket)) continue;
        const winsock::SOCKET s = winsock::accept(m_listenSocket, nullptr, nullptr);
        if (s == winsock::kInvalidSocket) continue;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_requests.emplace_back();
        }
        const Script script = uIndex < m_scripts.size() ? m_scripts[uIndex] : CloseWithoutReply();
        Play(s, script, uIndex);
        ++uIndex;
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_iFinished;
        m_finished.notify_all();
    }
}

void ScriptedServer::Record(std::size_t uIndex, const char* pData, int iLength) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_requests[uIndex].append(pData, static_cast<std::size_t>(iLength));
}

bool ScriptedServer::ReadUntilRequestEnd(std::uintptr_t s, std::size_t uIndex) {
    for (;;) {
        const std::string sofar = Requests()[uIndex];
        const std::size_t uEnd = sofar.find("\r\n\r\n");
        if (uEnd != std::string::npos && sofar.size() >= uEnd + 4 + DeclaredLength(sofar.substr(0, uEnd))) return true;
        if (m_bStop) return false;
        if (!WaitReadable(s)) continue;
        char aBuffer[4096];
        const int iRead = winsock::recv(s, aBuffer, sizeof aBuffer, 0);
        if (iRead <= 0) return false;
        Record(uIndex, aBuffer, iRead);
    }
}

bool ScriptedServer::HoldUntilPeerCloses(std::uintptr_t s, std::size_t uIndex) {
    while (!m_bStop) {
        if (!WaitReadable(s)) continue;
        char aBuffer[4096];
        const int iRead = winsock::recv(s, aBuffer, sizeof aBuffer, 0);
        if (iRead <= 0) return true;
        Record(uIndex, aBuffer, iRead);
    }
    return true;
}

void ScriptedServer::RelayTo(std::uintptr_t s, int iPort, std::size_t uIndex) {
    const winsock::SOCKET target = winsock::socket(winsock::kAfInet, winsock::kSockStream, 0);
    winsock::SockAddrIn address{};
    address.sin_family = static_cast<std::uint16_t>(winsock::kAfInet);
    address.sin_addr = winsock::inet_addr("127.0.0.1");
    address.sin_port = static_cast<std::uint16_t>((iPort >> 8 & 0xff) | (iPort & 0xff) << 8);
    if (winsock::connect(target, &address, sizeof address) != 0) {
        winsock::closesocket(target);
        return;
    }
    for (bool bOpen = true; bOpen && !m_bStop;) {
        winsock::FdSet readSet;
        winsock::FdZero(&readSet);
        winsock::FdAdd(s, &readSet);
        winsock::FdAdd(target, &readSet);
        const winsock::TimeVal wait{0, kPollMicroseconds};
        if (winsock::select(0, &readSet, nullptr, nullptr, &wait) <= 0) continue;
        for (const winsock::SOCKET from : {static_cast<winsock::SOCKET>(s), target}) {
            if (!bOpen || !winsock::FdIsSet(from, &readSet)) continue;
            char aBuffer[16384];
            const int iRead = winsock::recv(from, aBuffer, sizeof aBuffer, 0);
            if (iRead <= 0) {
                bOpen = false;
                break;
            }
            if (from == s) Record(uIndex, aBuffer, iRead);
            const winsock::SOCKET to = from == s ? target : s;
            for (int iSent = 0; iSent < iRead;) {
                const int iNow = winsock::send(to, aBuffer + iSent, iRead - iSent, 0);
                if (iNow <= 0) break;
                iSent += iNow;
            }
        }
    }
    winsock::closesocket(target);
}

void ScriptedServer::Play(std::uintptr_t s, const Script& script, std::size_t uIndex) {
    for (const Step& step : script) {
        if (m_bStop) break;
        if (step.kind == Step::Kind::ReadRequest && !ReadUntilRequestEnd(s, uIndex)) break;
        if (step.kind == Step::Kind::Pause) std::this_thread::sleep_for(std::chrono::milliseconds(step.iMilliseconds));
        if (step.kind == Step::Kind::HoldOpen) HoldUntilPeerCloses(s, uIndex);
        if (step.kind == Step::Kind::Call) step.call();
        if (step.kind == Step::Kind::Relay) RelayTo(s, step.iPort, uIndex);
        if (step.kind == Step::Kind::SendUrgent) {
            winsock::send(s, step.bytes.data(), static_cast<int>(step.bytes.size()), winsock::kMsgOob);
        }
        if (step.kind == Step::Kind::Send) {
            std::size_t uSent = 0;
            while (uSent < step.bytes.size()) {
                const int iSent =
                    winsock::send(s, step.bytes.data() + uSent, static_cast<int>(step.bytes.size() - uSent), 0);
                if (iSent <= 0) break;
                uSent += static_cast<std::size_t>(iSent);
            }
        }
        if (step.kind == Step::Kind::Reset) {
            const winsock::LingerOption linger{1, 0};
            winsock::SetLinger(s, &linger);
            break;
        }
    }
    winsock::closesocket(s);
}

}  // namespace testsupport
