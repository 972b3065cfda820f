// Test seam of the platform layer: lets a test make a chosen call fail with
// a chosen Winsock code, and script the answers of the name service, so that
// failure paths no real socket produces on demand can be exercised.
//
// Both platform implementations ask the seam at the top of each call,
// through the DORVANE_SEAM_* macros at the end of this file. The seam exists
// only in the tests' build of the code (dorvane_core_testable, compiled with
// DORVANE_TEST_SEAM): there, when nothing is armed, a check is one relaxed
// atomic load. In the product the checks are constants, they compile to
// nothing, and none of the functions below is linked in.
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

// A scripted name-service entry: when winsock::LookupHostAddress is asked
// for szName, the answer lists these addresses in order, in place of the
// system's. Each address is the raw bytes of a system socket address.
// LookupServiceBegin, LookupServiceNext and AddressToString name the steps
// of that call that FailNext can make fail: the start, the fetch of the
// answer, and the conversion of each IPv4 address to text.
struct ScriptedAddress {
    std::vector<unsigned char> bytes;
};
void ScriptNameService(const std::string& szName, const std::vector<ScriptedAddress>& addresses);

// A scripted answer as the platform reads it. uBytes is the room it takes
// in the look-up's answer buffer, counted as 4 bytes and, per address, 4
// bytes and the address.
struct ScriptedAnswer {
    std::vector<ScriptedAddress> addresses;
    std::uint32_t uBytes = 4;
};

// Lets a test or fuzzer play the peer over a socket pair instead of a
// listening socket: the next socket() call on the calling thread returns s,
// and connect() on s reports the connection as under way (select() then
// shows it writable). s should be one end of MakeSocketPair's pair.
void InjectNextSocket(std::uintptr_t s);
// A connected pair of stream sockets, as winsock handles. False on failure.
// Implemented with the test side of the platform (tests/support/TestSockets*).
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
// The scripted answer for a UTF-8 name, or null when none is scripted.
const ScriptedAnswer* FindScriptedAnswer(const std::string& szName);

// Builds a system IPv4 socket address for a dotted text and port, for
// scripting answers.
ScriptedAddress MakeIpv4Address(const char* szDotted, std::uint16_t uPort);
// An address of a family that no system knows (never an IPv4 address).
ScriptedAddress MakeUnconvertibleAddress();

}  // namespace seam

// The seam's checks, for the platform implementations only. Each stands
// where a call asks the seam; in the product each is a constant.
//   DORVANE_SEAM_SHOULD_FAIL(call, piCode)  ShouldFail, or false
//   DORVANE_SEAM_TAKE_INJECTED_SOCKET(ps)    TakeInjectedSocket, or false
//   DORVANE_SEAM_IS_INJECTED_SOCKET(s)       IsInjectedSocket, or false
//   DORVANE_SEAM_SCRIPTED_ANSWER(szName)     FindScriptedAnswer, or null
//   DORVANE_SEAM_CLOCK_OFFSET()              ClockOffset, or 0
#if defined(DORVANE_TEST_SEAM)
#define DORVANE_SEAM_SHOULD_FAIL(call, piCode) ::seam::ShouldFail((call), (piCode))
#define DORVANE_SEAM_TAKE_INJECTED_SOCKET(ps) ::seam::TakeInjectedSocket(ps)
#define DORVANE_SEAM_IS_INJECTED_SOCKET(s) ::seam::IsInjectedSocket(s)
#define DORVANE_SEAM_SCRIPTED_ANSWER(szName) ::seam::FindScriptedAnswer(szName)
#define DORVANE_SEAM_CLOCK_OFFSET() ::seam::ClockOffset()
#else
#define DORVANE_SEAM_SHOULD_FAIL(call, piCode) ((void)(call), (void)(piCode), false)
#define DORVANE_SEAM_TAKE_INJECTED_SOCKET(ps) ((void)(ps), false)
#define DORVANE_SEAM_IS_INJECTED_SOCKET(s) ((void)(s), false)
#define DORVANE_SEAM_CLOCK_OFFSET() std::int64_t{0}
#define DORVANE_SEAM_SCRIPTED_ANSWER(szName) \
    ((void)sizeof(szName), static_cast<const ::seam::ScriptedAnswer*>(nullptr))
#endif
