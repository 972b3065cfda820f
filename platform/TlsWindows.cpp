// The TLS client on Windows: Schannel through SSPI, the chain checked with
// crypt32. Not written yet: every session fails to start.
#include "platform/Tls.h"

namespace tls {

struct ClientSession::Impl {};

ClientSession::ClientSession() : m_pImpl(nullptr) {}
ClientSession::~ClientSession() = default;
bool ClientSession::Start(winsock::SOCKET, const char*) { return false; }
Step ClientSession::Handshake() { return Step::Failed; }
Step ClientSession::Read(char*, std::size_t, std::size_t*) { return Step::Failed; }
Step ClientSession::Write(const char*, std::size_t, std::size_t*) { return Step::Failed; }
void ClientSession::Close() {}
Failure ClientSession::LastFailure() const { return Failure::Setup; }
const char* ClientSession::FailureText() const { return "TLS is not available in this build"; }

}  // namespace tls
