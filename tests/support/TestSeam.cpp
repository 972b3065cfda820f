// The test seam: the state behind the controls of TestSeam.h and the hooks
// the platform asks (platform/TestSeam.h). Compiled into
// dorvane_core_testable only.
#include "support/TestSeam.h"

#include "platform/Platform.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace seam {
namespace {

struct ArmedFailure {
    int iCode = 0;
    int iTimes = 0;
    std::thread::id thread;  // only calls on the arming thread fail
};

std::atomic<bool> g_bArmed{false};
std::atomic<std::int64_t> g_clockOffset{0};
std::atomic<std::uint32_t> g_renamePatienceMs{0};
std::mutex g_mutex;
std::array<ArmedFailure, static_cast<size_t>(Call::Count)> g_failures;
std::map<std::string, ScriptedAnswer> g_answers;
bool g_bInjectPending = false;
std::uintptr_t g_injected = 0;
std::thread::id g_injectThread;

}  // namespace

void FailNext(Call call, int iCode, int iTimes) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_failures[static_cast<size_t>(call)] = ArmedFailure{iCode, iTimes, std::this_thread::get_id()};
    g_bArmed.store(true, std::memory_order_relaxed);
}

namespace {

// The parts of a WSALookupServiceNextW answer as 64-bit Windows lays them
// out in the caller's buffer: the WSAQUERYSETW itself, the service class
// GUID, and per address a CSADDR_INFO (two SOCKET_ADDRESS, type, protocol).
constexpr std::uint32_t kQuerySetBytes = 120;
constexpr std::uint32_t kGuidBytes = 16;
constexpr std::uint32_t kCsAddrInfoBytes = 40;

// The UTF-16 units of a UTF-8 name with its NUL.
std::uint32_t Utf16Units(const std::string& szName) {
    std::uint32_t uUnits = 1;
    for (const char c : szName) {
        const unsigned char b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) uUnits += b >= 0xF0 ? 2 : 1;  // a 4-byte sequence takes two units
    }
    return uUnits;
}

}  // namespace

void ScriptNameService(const std::string& szName, const std::vector<ScriptedAddress>& addresses,
                       const std::string& szCanonicalName) {
    std::lock_guard<std::mutex> guard(g_mutex);
    ScriptedAnswer& answer = g_answers[szName];
    answer.addresses = addresses;
    answer.uBytes = kQuerySetBytes + kGuidBytes + 2 * Utf16Units(szCanonicalName.empty() ? szName : szCanonicalName);
    for (const ScriptedAddress& address : addresses) {
        // The local and the remote socket address, each of the address's size.
        answer.uBytes += kCsAddrInfoBytes + 2 * static_cast<std::uint32_t>(address.bytes.size());
    }
    g_bArmed.store(true, std::memory_order_relaxed);
}

void InjectNextSocket(std::uintptr_t s) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_bInjectPending = true;
    g_injected = s;
    g_injectThread = std::this_thread::get_id();
    g_bArmed.store(true, std::memory_order_relaxed);
}

bool TakeInjectedSocket(std::uintptr_t* ps) {
    if (!g_bArmed.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!g_bInjectPending || g_injectThread != std::this_thread::get_id()) return false;
    g_bInjectPending = false;
    *ps = g_injected;
    return true;
}

bool IsInjectedSocket(std::uintptr_t s) {
    if (!g_bArmed.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_injectThread == std::this_thread::get_id() && g_injected == s;
}

void AdvanceClock(int iSeconds) { g_clockOffset.fetch_add(iSeconds, std::memory_order_relaxed); }

std::int64_t ClockOffset() { return g_clockOffset.load(std::memory_order_relaxed); }

void ShortenRenamePatience(std::uint32_t uMilliseconds) {
    g_renamePatienceMs.store(uMilliseconds, std::memory_order_relaxed);
}

std::uint32_t RenamePatienceMs() {
    if (const std::uint32_t uShortened = g_renamePatienceMs.load(std::memory_order_relaxed)) return uShortened;
    const char* szFromEnvironment = std::getenv("DORVANE_SEAM_RENAME_PATIENCE_MS");
    return szFromEnvironment != nullptr ? static_cast<std::uint32_t>(std::strtoul(szFromEnvironment, nullptr, 10)) : 0;
}

void Reset() {
    g_clockOffset.store(0, std::memory_order_relaxed);
    g_renamePatienceMs.store(0, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(g_mutex);
    g_failures.fill(ArmedFailure{});
    g_answers.clear();
    g_bInjectPending = false;
    g_injected = 0;
    g_injectThread = std::thread::id();
    g_bArmed.store(false, std::memory_order_relaxed);
}

bool ShouldFail(Call call, int* piCode) {
    if (!g_bArmed.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    ArmedFailure& failure = g_failures[static_cast<size_t>(call)];
    if (failure.iTimes <= 0 || failure.thread != std::this_thread::get_id()) return false;
    --failure.iTimes;
    *piCode = failure.iCode;
    return true;
}

const ScriptedAnswer* FindScriptedAnswer(const std::string& szName) {
    if (!g_bArmed.load(std::memory_order_relaxed)) return nullptr;
    std::lock_guard<std::mutex> guard(g_mutex);
    auto it = g_answers.find(szName);
    return it == g_answers.end() ? nullptr : &it->second;
}

ScriptedAddress MakeIpv4Address(const char* szDotted, std::uint16_t uPort) {
    // sockaddr_in has the same 16-byte layout on Windows and POSIX: the
    // family in host order, then port and address in network order.
    unsigned aOctets[4] = {0, 0, 0, 0};
    int iIndex = 0;
    for (const char* p = szDotted; *p != '\0' && iIndex < 4; ++p) {
        if (*p == '.') {
            ++iIndex;
            continue;
        }
        aOctets[iIndex] = aOctets[iIndex] * 10 + static_cast<unsigned>(*p - '0');
    }
    ScriptedAddress address;
    address.bytes.assign(16, 0);
    const std::uint16_t uFamily = 2;
    std::memcpy(address.bytes.data(), &uFamily, sizeof uFamily);
    address.bytes[2] = static_cast<unsigned char>(uPort >> 8);
    address.bytes[3] = static_cast<unsigned char>(uPort & 0xff);
    for (int i = 0; i < 4; ++i) address.bytes[4 + i] = static_cast<unsigned char>(aOctets[i]);
    return address;
}

ScriptedAddress MakeIpv6Address(const char* szText) {
    // sockaddr_in6: the family in host order (Winsock's number, which the
    // platform reads on every system), port, flow information, the 16
    // bytes, the scope.
    ScriptedAddress address;
    address.bytes.assign(28, 0);
    const std::uint16_t uFamily = winsock::kAfInet6;
    std::memcpy(address.bytes.data(), &uFamily, sizeof uFamily);
    winsock::ParseIpv6(szText, address.bytes.data() + 8);
    return address;
}

ScriptedAddress MakeUnconvertibleAddress() {
    ScriptedAddress address;
    address.bytes.assign(16, 0);
    const std::uint16_t uFamily = 0x7ff0;  // no system knows this family
    std::memcpy(address.bytes.data(), &uFamily, sizeof uFamily);
    return address;
}

}  // namespace seam
