// Shared by the exchange fuzz targets: plays the server of one
// HTTPConnection::Download over a socket pair handed to the exchange
// through the platform seam, and checks the reply split.
#pragma once

#include "SocketManager/DownloadResult.h"
#include "SocketManager/HTTPConnection.h"
#include "driver/TaggedText.h"
#include "log/MyLog.h"
#include "platform/Platform.h"
#include "support/TestSeam.h"
#include "support/StringBody.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

namespace fuzzpeer {

// Replies stay well under a socket pair's buffer, so the peer can write
// the whole reply before the exchange starts.
constexpr std::size_t kMaxReply = 64 * 1024;
constexpr std::int32_t kTimeoutSeconds = 30;

// The exchange's log file, once the log is set up.
inline std::filesystem::path& LogPath() {
    static std::filesystem::path path;
    return path;
}

// On a violation the end of the exchange's log goes with the report: it
// tells how the exchange ended.
inline void Require(bool bHolds, const char* szWhat) {
    if (bHolds) return;
    std::fprintf(stderr, "property violated: %s\n", szWhat);
    if (std::FILE* pLog = LogPath().empty() ? nullptr : std::fopen(LogPath().string().c_str(), "rb")) {
        char aTail[2048];
        std::fseek(pLog, 0, SEEK_END);
        const long lSize = std::ftell(pLog);
        std::fseek(pLog, lSize > static_cast<long>(sizeof aTail) ? lSize - static_cast<long>(sizeof aTail) : 0,
                   SEEK_SET);
        const std::size_t uRead = std::fread(aTail, 1, sizeof aTail, pLog);
        std::fclose(pLog);
        std::fprintf(stderr, "end of the exchange's log:\n%.*s\n", static_cast<int>(uRead), aTail);
    }
    std::abort();
}

// The exchange logs through g_pLog: one log in a private temporary
// directory for the whole run, removed at exit.
class FuzzLog {
public:
    FuzzLog() : m_log("fuzz") {
        std::random_device random;
        m_dir = std::filesystem::temp_directory_path() / ("dorvane-fuzz-" + std::to_string(random()));
        std::filesystem::create_directories(m_dir);
        std::snprintf(m_log.m_szWorkingDirectory, sizeof m_log.m_szWorkingDirectory, "%s/", m_dir.string().c_str());
        std::snprintf(m_log.m_szLogFile, sizeof m_log.m_szLogFile, "%s", "fuzz.txt");
        Require(m_log.GetWorkingDirectory(), "the fuzz log can be set up");
        g_pLog = &m_log;
        LogPath() = m_dir / "fuzz.txt";
    }
    ~FuzzLog() {
        g_pLog = nullptr;
        LogPath().clear();
        std::error_code error;
        std::filesystem::remove_all(m_dir, error);
    }

private:
    MyLog m_log;
    std::filesystem::path m_dir;
};

inline void StartLogOnce() { static FuzzLog log; }

// How the peer sends the reply and ends the connection.
enum class PeerEnd {
    Shutdown,           // all sent, sending side shut before the exchange starts
    CloseFirst,         // all sent, closed before the exchange starts: the request cannot be sent
    ResetAfterRequest,  // all sent, closed with the request unread: the exchange sees a reset
    Pieces,             // a first piece before the exchange, the rest in slices once the
                        // request arrived, then the sending side shut: several pieces to join
    Count
};

struct PeerScript {
    PeerEnd end = PeerEnd::Shutdown;
    std::size_t uFirstPiece = 0;  // Pieces: bytes sent before the exchange starts
    std::size_t uSlice = 1;       // Pieces: bytes per later send
};

struct Outcome {
    explicit Outcome(std::size_t uRefusePast) : body(uRefusePast) { result.pBodyDestination = &body; }
    bool bOk = false;
    bool bConnectFailed = false;
    testsupport::StringBody body;
    DownloadResult result{};
};

// Sends all of [pData, pData + uLength) in sends of at most uSlice bytes.
// False when the connection is gone (the exchange may have ended early).
inline bool SendAll(std::uintptr_t s, const char* pData, std::size_t uLength, std::size_t uSlice) {
    for (std::size_t uDone = 0; uDone < uLength;) {
        const std::size_t uNow = uLength - uDone < uSlice ? uLength - uDone : uSlice;
        const int iSent = winsock::send(s, pData + uDone, static_cast<int>(uNow), 0);
        if (iSent <= 0) return false;
        uDone += static_cast<std::size_t>(iSent);
    }
    return true;
}

// Blocks until the request (or the end of the connection) arrives.
inline void WaitForRequest(std::uintptr_t s) {
    winsock::FdSet readSet;
    winsock::FdZero(&readSet);
    winsock::FdAdd(s, &readSet);
    const winsock::TimeVal wait{kTimeoutSeconds, 0};
    winsock::select(static_cast<int>(s) + 1, &readSet, nullptr, nullptr, &wait);
}

// Runs one exchange against a peer that sends `reply` as scripted, into a
// body destination that refuses bytes past uRefusePast (0: none). The
// caller frees outcome.result.pData with delete[].
inline void RunExchange(const std::string& reply, const PeerScript& script, Outcome& outcome) {
    StartLogOnce();
    std::uintptr_t client = 0, peer = 0;
    Require(seam::MakeSocketPair(&client, &peer), "a socket pair can be made");
    const bool bPieces = script.end == PeerEnd::Pieces;
    const std::size_t uFirst = bPieces && script.uFirstPiece < reply.size() ? script.uFirstPiece : reply.size();
    Require(SendAll(peer, reply.data(), uFirst, reply.size() + 1), "the peer can write before the exchange");
    bool bPeerOpen = true;
    std::thread player;
    if (script.end == PeerEnd::Shutdown) {
        winsock::shutdown(peer, winsock::kSdSend);
    } else if (script.end == PeerEnd::CloseFirst) {
        winsock::closesocket(peer);
        bPeerOpen = false;
    } else if (script.end == PeerEnd::ResetAfterRequest) {
        player = std::thread([peer]() {
            WaitForRequest(peer);
            winsock::closesocket(peer);
        });
        bPeerOpen = false;
    } else {
        const std::size_t uSlice = script.uSlice > 0 ? script.uSlice : 1;
        player = std::thread([peer, &reply, uFirst, uSlice]() {
            WaitForRequest(peer);
            SendAll(peer, reply.data() + uFirst, reply.size() - uFirst, uSlice);
            winsock::shutdown(peer, winsock::kSdSend);
        });
    }
    seam::InjectNextSocket(client);
    // The peer always ends the connection, so no wait ever runs out. The
    // exchange counts whole seconds: a limit of 1 can end a pass that merely
    // straddles a second boundary on a busy machine, so the limit is long.
    outcome.bOk = HTTPConnection::Download("127.0.0.1:80/x", "", "", "", "", 0, kTimeoutSeconds, false, &outcome.result,
                                           &outcome.bConnectFailed);
    if (player.joinable()) player.join();
    if (bPeerOpen) winsock::closesocket(peer);
    seam::Reset();
}

// The first blank line ("\r\n\r\n" or "\n\n", whichever starts first):
// its index and length, or npos.
inline std::size_t BlankLine(const std::string& data, std::size_t* puLength) {
    const std::size_t uCrLf = data.find("\r\n\r\n");
    const std::size_t uLf = data.find("\n\n");
    *puLength = uCrLf < uLf ? 4 : 2;
    return uCrLf < uLf ? uCrLf : uLf;
}

// The reply split, on what arrived: the header runs to the end of the first
// blank line and stays in pData, the rest went to the destination; without
// a blank line pData holds everything, and the body is what starts at the
// first "<__Return__>" (tag included), or nothing. Returns what arrived,
// which must begin the reply the peer wrote.
inline std::string CheckSplit(const Outcome& o, const std::string& reply) {
    const DownloadResult& r = o.result;
    const std::string data(r.pData, static_cast<std::size_t>(r.iDataLength));
    const std::string& body = o.body.m_bytes;
    Require(r.iBodyLength == static_cast<std::int64_t>(body.size()), "iBodyLength counts what the destination took");
    std::size_t uSeparator = 0;
    const std::size_t uAt = BlankLine(data, &uSeparator);
    const std::string arrived = uAt == std::string::npos ? data : data + body;
    Require(reply.compare(0, arrived.size(), arrived) == 0, "what arrived begins the reply, in order");
    if (uAt != std::string::npos) {
        Require(r.iHeaderEnd == static_cast<std::int32_t>(uAt), "iHeaderEnd is the first blank line");
        Require(uAt + uSeparator == data.size(), "the header ends with its blank line");
        return arrived;
    }
    const std::size_t uTag = data.find("<__Return__>");
    if (uTag != std::string::npos) {
        Require(r.iHeaderEnd == static_cast<std::int32_t>(uTag), "without a blank line the body starts at the tag");
        Require(body == data.substr(uTag), "the body runs from the tag to the end");
    } else {
        Require(r.iHeaderEnd == -1 && body.empty(), "no separator: no body");
    }
    return arrived;
}

}  // namespace fuzzpeer
