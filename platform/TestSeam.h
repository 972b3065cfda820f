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

// Drops every armed failure and scripted answer.
void Reset();

// For the platform implementations. True when `call` must fail now; the
// code is then in *piCode.
bool ShouldFail(Call call, int* piCode);
// The scripted addresses for a UTF-8 name, or null when none are scripted.
const std::vector<ScriptedAddress>* ScriptedAnswer(const std::string& szName);

// Builds a system IPv4 socket address (as AddressToString reads it) for
// a dotted text and port, for scripting answers.
ScriptedAddress MakeIpv4Address(const char* szDotted, std::uint16_t uPort);
// An address of a family that no system converts to text.
ScriptedAddress MakeUnconvertibleAddress();

}  // namespace seam
