// Test seam of the platform layer: lets a test make a chosen call fail with
// a chosen Winsock code, and script the answers of the name service, so that
// failure paths no real socket produces on demand can be exercised.
//
// Both platform implementations ask the seam at the top of each call. When
// nothing is armed the check is one relaxed atomic load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace seam {

enum class Call {
    Socket,
    SetSockOpt,
    IoctlSocket,
    Connect,
    Select,
    Send,
    Recv,
    CloseSocket,
    GetHostByName,
    LookupServiceBegin,
    LookupServiceNext,
    AddressToString,
    Count
};

// The next iTimes calls of `call` made on the calling thread fail with the
// Winsock code iCode. Other threads (a test's scripted peer) are not touched.
void FailNext(Call call, int iCode, int iTimes = 1);

// A scripted name-service entry: when LookupServiceBegin is asked for
// szName, the answer lists these addresses in order. Each address is the
// raw bytes of a system socket address; an address that AddressToString
// cannot convert (a family it does not know) is written as given.
struct ScriptedAddress {
    std::vector<unsigned char> bytes;
};
void ScriptNameService(const std::string& szName, const std::vector<ScriptedAddress>& addresses);

// Lets a test or fuzzer play the peer over a socket pair instead of a
// listening socket: the next socket() call on the calling thread returns s,
// and connect() on s reports the connection as under way (select() then
// shows it writable). s should be one end of MakeSocketPair's pair.
void InjectNextSocket(std::uintptr_t s);
// A connected pair of stream sockets, as winsock handles. False on failure.
// Implemented by each platform.
bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond);

// Moves os::CurrentTime() forward by iSeconds, for every thread, so that
// limits counted in minutes can be reached at once. Reset() undoes it.
void AdvanceClock(int iSeconds);
// For the platform: the seconds AdvanceClock has added so far.
std::int64_t ClockOffset();

// Drops every armed failure, scripted answer and injected socket, and puts
// the clock back.
void Reset();

// For the platform implementations. True when `call` must fail now; the
// code is then in *piCode.
bool ShouldFail(Call call, int* piCode);
// For the platform implementations: the socket to hand out instead of a new
// one, and whether a socket is such a stand-in.
bool TakeInjectedSocket(std::uintptr_t* ps);
bool IsInjectedSocket(std::uintptr_t s);
// The scripted addresses for a UTF-8 name, or null when none are scripted.
const std::vector<ScriptedAddress>* ScriptedAnswer(const std::string& szName);

// Builds a system IPv4 socket address (as AddressToString reads it) for
// a dotted text and port, for scripting answers.
ScriptedAddress MakeIpv4Address(const char* szDotted, std::uint16_t uPort);
// An address of a family that no system converts to text.
ScriptedAddress MakeUnconvertibleAddress();

}  // namespace seam
