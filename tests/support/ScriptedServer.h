// A scripted HTTP peer on loopback for the tests: it records the raw bytes
// each connection sends and plays a script per connection (reply bytes,
// pieces with pauses, silence, a close without reply, a reset), or a
// forward proxy's (a CONNECT reply, then a tunnel to another loopback port).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct Step {
    enum class Kind {
        ReadRequest,  // read until the header's blank line and any declared body
        Send,         // send the bytes
        Pause,        // wait iMilliseconds
        HoldOpen,     // keep the connection open, reading, until the peer closes
        Reset,        // close with a reset (linger 0)
        Call,         // run the test's function, on the server's thread
        SendUrgent,   // send the bytes as urgent (out-of-band) data
        Relay,        // a proxy's tunnel: connect to 127.0.0.1:iPort and copy both ways until either closes
    };
    Kind kind;
    std::string bytes;
    int iMilliseconds = 0;
    std::function<void()> call = nullptr;
    int iPort = 0;
};

// What one connection plays; after its last step the connection is closed
// gracefully unless the script reset it or held it open.
using Script = std::vector<Step>;

Step ReadRequest();
Step Send(std::string bytes);
Step Pause(int iMilliseconds);
Step HoldOpen();
Step Reset();
Step Call(std::function<void()> call);
Step SendUrgent(std::string bytes);
Step Relay(int iPort);

// Common scripts.
Script Reply(const std::string& bytes);  // read, send, close
Script ReplyInPieces(const std::string& bytes, std::size_t uPiece, int iPauseMs);
Script CloseWithoutReply();  // read, close
std::string HttpReply(const std::string& body, int iStatus = 200, bool bContentLength = true);

class ScriptedServer {
public:
    // Listens on 127.0.0.1 (or ::1 with bIpv6) on a port the system picks.
    // Connections beyond the scripts given are read and closed without reply.
    explicit ScriptedServer(std::vector<Script> scripts, bool bIpv6 = false);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return m_iPort; }
    // Whether it listens: false where the system has no IPv6 loopback.
    bool Listening() const { return m_iPort != 0; }
    // The raw bytes received on each connection so far, in order.
    std::vector<std::string> Requests();
    int Connections();
    // Waits until iCount connections have finished their scripts (or ends
    // after a generous bound so a broken test cannot hang).
    bool WaitForConnections(int iCount);

private:
    void AcceptLoop();
    void Play(std::uintptr_t s, const Script& script, std::size_t uIndex);
    bool ReadUntilRequestEnd(std::uintptr_t s, std::size_t uIndex);
    bool HoldUntilPeerCloses(std::uintptr_t s, std::size_t uIndex);
    // Connects to 127.0.0.1:iPort and copies bytes both ways (recording the
    // client's) until either side closes.
    void RelayTo(std::uintptr_t s, int iPort, std::size_t uIndex);
    bool WaitReadable(std::uintptr_t s);
    void Record(std::size_t uIndex, const char* pData, int iLength);

    std::vector<Script> m_scripts;
    std::uintptr_t m_listenSocket;
    int m_iPort = 0;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::condition_variable m_finished;
    std::vector<std::string> m_requests;
    int m_iFinished = 0;
    std::thread m_thread;
};

}  // namespace testsupport
