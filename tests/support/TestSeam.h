// The tests' controls of the platform's test seam (platform/TestSeam.h):
// make a chosen call fail with a chosen Winsock code, script the answers of
// the name service, hand the exchange one end of a socket pair, move the
// clock. They exist only in the tests' build (dorvane_core_testable).
#pragma once

#include "platform/TestSeam.h"

#include <cstdint>
#include <string>
#include <vector>

namespace seam {

// The next iTimes calls of `call` made on the calling thread fail with the
// Winsock code iCode. Other threads (a test's scripted peer) are not touched.
void FailNext(Call call, int iCode, int iTimes = 1);

// When winsock::LookupHostAddress is asked for szName, its answer lists
// these addresses in order, in place of the system's. The answer gives back
// szCanonicalName (szName when empty), which takes its room in the answer
// as Windows counts it.
void ScriptNameService(const std::string& szName, const std::vector<ScriptedAddress>& addresses,
                       const std::string& szCanonicalName = std::string());

// Lets a test or fuzzer play the peer over a socket pair instead of a
// listening socket: the next socket() call on the calling thread returns s,
// and connect() on s reports the connection as under way (select() then
// shows it writable). s should be one end of MakeSocketPair's pair.
void InjectNextSocket(std::uintptr_t s);
// A connected pair of stream sockets, as winsock handles. False on failure.
// Implemented with the test side of the platform (TestSockets*).
bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond);

// Moves os::CurrentTime() forward by iSeconds, for every thread, so that
// limits counted in minutes can be reached at once. Reset() undoes it.
void AdvanceClock(int iSeconds);

// Shortens how long a staged file's rename is retried while its final name
// is held open (30 s in the product) to uMilliseconds. A program built with
// the seam reads the same from DORVANE_SEAM_RENAME_PATIENCE_MS in its
// environment. Reset() undoes it.
void ShortenRenamePatience(std::uint32_t uMilliseconds);

// Drops every armed failure, scripted answer and injected socket, and puts
// the clock back.
void Reset();

// Builds a system IPv4 socket address for a dotted text and port, for
// scripting answers.
ScriptedAddress MakeIpv4Address(const char* szDotted, std::uint16_t uPort);
// The system's sockaddr_in6 for IPv6 text, port 0.
ScriptedAddress MakeIpv6Address(const char* szText);
// An address of a family that no system knows (never an IPv4 address).
ScriptedAddress MakeUnconvertibleAddress();

}  // namespace seam
