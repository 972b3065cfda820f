// The test seam's hooks in the platform layer: where both platform
// implementations ask whether a call should fail, which socket to hand out,
// what the name service should answer, and how far the clock is moved.
//
// They ask only through the DORVANE_SEAM_* macros at the end of this file.
// The seam exists only in the tests' build of the code (dorvane_core_testable,
// compiled with DORVANE_TEST_SEAM), whose implementation and whose controls
// for the tests live in tests/support/TestSeam.*: there, when nothing is
// armed, a check is one relaxed atomic load. In the product the checks are
// constants, they compile to nothing, and no seam function is linked in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace seam {

// The calls a test can make fail. LookupServiceBegin, LookupServiceNext and
// AddressToString are steps of winsock::LookupHostAddress: its start, the
// fetch of its answer, and the conversion of each IPv4 address to text.
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

// One address of a scripted name-service answer: the raw bytes of a system
// socket address.
struct ScriptedAddress {
    std::vector<unsigned char> bytes;
};

// A scripted answer, which winsock::LookupHostAddress reads in place of the
// system's. uBytes is the room it takes in the look-up's answer buffer,
// counted as 64-bit Windows fills it: the WSAQUERYSETW, the class GUID, the
// name in UTF-16, and per address a CSADDR_INFO with its local and remote
// socket addresses.
struct ScriptedAnswer {
    std::vector<ScriptedAddress> addresses;
    std::uint32_t uBytes = 0;
};

// True when `call` must fail now; the Winsock code is then in *piCode.
bool ShouldFail(Call call, int* piCode);
// The socket to hand out instead of a new one, and whether a socket is
// such a stand-in.
bool TakeInjectedSocket(std::uintptr_t* ps);
bool IsInjectedSocket(std::uintptr_t s);
// The scripted answer for a UTF-8 name, or null when none is scripted.
const ScriptedAnswer* FindScriptedAnswer(const std::string& szName);
// The seconds the tests have moved os::CurrentTime() forward.
std::int64_t ClockOffset();
// How long, in milliseconds, a staged file's rename is retried while its
// final name is held open, when a test has shortened it; 0 otherwise.
std::uint32_t RenamePatienceMs();

}  // namespace seam

// The seam's checks, for the platform implementations only. Each stands
// where a call asks the seam; in the product each is a constant.
//   DORVANE_SEAM_SHOULD_FAIL(call, piCode)  ShouldFail, or false
//   DORVANE_SEAM_TAKE_INJECTED_SOCKET(ps)    TakeInjectedSocket, or false
//   DORVANE_SEAM_IS_INJECTED_SOCKET(s)       IsInjectedSocket, or false
//   DORVANE_SEAM_SCRIPTED_ANSWER(szName)     FindScriptedAnswer, or null
//   DORVANE_SEAM_CLOCK_OFFSET()              ClockOffset, or 0
//   DORVANE_SEAM_RENAME_PATIENCE_MS()        RenamePatienceMs, or 0
#if defined(DORVANE_TEST_SEAM)
#define DORVANE_SEAM_SHOULD_FAIL(call, piCode) ::seam::ShouldFail((call), (piCode))
#define DORVANE_SEAM_TAKE_INJECTED_SOCKET(ps) ::seam::TakeInjectedSocket(ps)
#define DORVANE_SEAM_IS_INJECTED_SOCKET(s) ::seam::IsInjectedSocket(s)
#define DORVANE_SEAM_SCRIPTED_ANSWER(szName) ::seam::FindScriptedAnswer(szName)
#define DORVANE_SEAM_CLOCK_OFFSET() ::seam::ClockOffset()
#define DORVANE_SEAM_RENAME_PATIENCE_MS() ::seam::RenamePatienceMs()
#else
#define DORVANE_SEAM_SHOULD_FAIL(call, piCode) ((void)(call), (void)(piCode), false)
#define DORVANE_SEAM_TAKE_INJECTED_SOCKET(ps) ((void)(ps), false)
#define DORVANE_SEAM_IS_INJECTED_SOCKET(s) ((void)(s), false)
#define DORVANE_SEAM_CLOCK_OFFSET() \
    std::int64_t { 0 }
#define DORVANE_SEAM_RENAME_PATIENCE_MS() \
    std::uint32_t { 0 }
#define DORVANE_SEAM_SCRIPTED_ANSWER(szName) ((void)sizeof(szName), static_cast<const ::seam::ScriptedAnswer*>(nullptr))
#endif
