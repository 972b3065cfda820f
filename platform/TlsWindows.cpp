// The TLS client on Windows: Schannel through SSPI, the server's certificate
// judged by crypt32.
//
// Schannel is told to leave the certificate to us
// (SCH_CRED_MANUAL_CRED_VALIDATION): Wine's Schannel accepts any certificate,
// so a session that relied on it would trust every server there, and the
// tests under Wine would prove nothing. Once Schannel has finished the
// handshake, Verify takes the server's certificate, builds its chain with
// CertGetCertificateChain (over the SSL_CERT_FILE bundle alone when one is
// set), checks the SSL policy and the DNS name with
// CertVerifyCertificateChainPolicy, and matches a dotted IPv4 host against
// the certificate's IP subject-alternative names. Wine implements those
// crypt32 calls, so Windows and Wine judge a certificate alike.
//
// Ciphertext arrives in one buffer of kInputBytes. Records are decrypted in
// place there and their plaintext is handed to the caller from there, so a
// read costs one copy; the unread ciphertext moves to the front only once no
// plaintext is left in the buffer.
#include "platform/Tls.h"

// SCH_CREDENTIALS and TLS_PARAMETERS are declared only with the first
// defined, the chain parameters' revocation time-out only with the second.
#define SCHANNEL_USE_BLACKLISTS
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#define SECURITY_WIN32

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winternl.h>  // UNICODE_STRING, which SCH_CREDENTIALS's parameters use
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace tls {
namespace {

// Room for ciphertext that has arrived and is not yet consumed: many whole
// records (a record carries at most 16 KiB and some bytes of framing), so
// that one recv() brings in a dozen records of a large download.
constexpr std::size_t kInputBytes = 256 * 1024;

// The largest trust bundle read. Debian's whole bundle is about 200 KiB.
constexpr std::size_t kBundleMaxBytes = 16 * 1024 * 1024;

// How long the revocation check may spend fetching lists and answers, in
// all, in milliseconds. Past it the status is unknown, which is accepted.
constexpr DWORD kRevocationTimeoutMs = 3000;

constexpr std::size_t kTextBytes = 512;

// The SSL policy's flag that leaves revocation out (wininet.h names it).
constexpr DWORD kIgnoreRevocation = 0x00000080;

constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

// The TLS 1.2 suites taken: ECDHE with AES-GCM or ChaCha20-Poly1305, by
// their IANA numbers (ECDSA and RSA certificates alike).
constexpr DWORD kForwardSecretAead[] = {0xC02B, 0xC02C, 0xC02F, 0xC030, 0xCCA8, 0xCCA9};

constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

// The engine configuration as Windows 7 laid it out, ending with
// hExclusiveTrustedPeople. Windows takes every size it ever defined; Wine
// takes this one and the older one without the exclusive stores, and
// refuses the Windows 8 size that adds dwExclusiveFlags (E_INVALIDARG).
constexpr DWORD kEngineConfigBytes = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);

// The content type of an alert record (TLS 1.2 and earlier show it).
constexpr unsigned char kAlertRecord = 21;

// A record's header: type, version, length. DecryptMessage is never handed
// less, as Wine's would read the length beyond the bytes it is given.
constexpr std::size_t kRecordHeaderBytes = 5;

const char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
const char kPemEnd[] = "-----END CERTIFICATE-----";

// Cuts a UTF-8 sequence that snprintf left incomplete at the end of szText.
void TrimPartialCharacter(char* szText) {
    const std::size_t uLength = std::strlen(szText);
    std::size_t uLead = uLength;
    while (uLead > 0 && (static_cast<unsigned char>(szText[uLead - 1]) & 0xC0) == 0x80) --uLead;
    if (uLead == 0) return;
    const unsigned char uByte = static_cast<unsigned char>(szText[uLead - 1]);
    const std::size_t uNeeded = uByte >= 0xF0 ? 4 : uByte >= 0xE0 ? 3 : uByte >= 0xC0 ? 2 : 1;
    if (uLength - (uLead - 1) < uNeeded) szText[uLead - 1] = '\0';
}

// Texts for the codes this file reports most, for a system that has none
// of its own for them (Wine has no text for any SSPI or crypt32 code).
struct CodeText {
    HRESULT hrCode;
    const char* szText;
};
const CodeText kFallbackTexts[] = {
    {CERT_E_UNTRUSTEDROOT, "The certificate chain ends in a root certificate that is not trusted."},
    {CERT_E_CHAINING, "No certificate chain could be built to a trusted root certificate."},
    {CERT_E_EXPIRED, "A certificate of the chain has expired or is not yet valid."},
    {CERT_E_CN_NO_MATCH, "The certificate does not name the host."},
    {CERT_E_WRONG_USAGE, "The certificate is not valid for server authentication."},
    {CRYPT_E_REVOKED, "The certificate is revoked."},
    {TRUST_E_CERT_SIGNATURE, "The signature of a certificate does not verify."},
    {SEC_E_ILLEGAL_MESSAGE, "The message received was not valid TLS."},
    {SEC_E_ALGORITHM_MISMATCH, "The client and the server have no protocol or cipher in common."},
    {SEC_E_INTERNAL_ERROR, "The TLS library failed; the server may have refused the handshake."},
    {SEC_E_DECRYPT_FAILURE, "A record could not be decrypted."},
    {SEC_E_MESSAGE_ALTERED, "A record was altered."},
};

// "0x800B0109: <the system's text>" for a SECURITY_STATUS or crypt32 code,
// or "2: <text>" with bDecimal (Win32 and Winsock codes), into szOut
// (kTextBytes).
void DescribeCode(char* szOut, const char* szPrefix, DWORD dwCode, bool bDecimal) {
    char szSystem[kTextBytes];
    if (!os::SystemErrorText(static_cast<int>(dwCode), szSystem, sizeof szSystem) && !bDecimal) {
        for (const CodeText& fallback : kFallbackTexts) {
            if (static_cast<DWORD>(fallback.hrCode) == dwCode)
                std::snprintf(szSystem, sizeof szSystem, "%s", fallback.szText);
        }
    }
    char szCode[16];
    if (bDecimal) {
        std::snprintf(szCode, sizeof szCode, "%lu", static_cast<unsigned long>(dwCode));
    } else {
        std::snprintf(szCode, sizeof szCode, "0x%08lX", static_cast<unsigned long>(dwCode));
    }
    std::snprintf(szOut, kTextBytes, "%s%s%s%s", szPrefix, szCode, szSystem[0] != '\0' ? ": " : "", szSystem);
    TrimPartialCharacter(szOut);
}

std::string ToUtf8(const std::u16string& wszText) {
    const int iBytes = os::WideToUtf8(wszText.c_str(), -1, nullptr, 0);
    if (iBytes <= 0) return std::string();
    std::string szText(static_cast<std::size_t>(iBytes), '\0');
    os::WideToUtf8(wszText.c_str(), -1, &szText[0], iBytes);
    szText.resize(static_cast<std::size_t>(iBytes - 1));
    return szText;
}

// The value of SSL_CERT_FILE, read as UTF-16. False when it is not set.
bool CertFileVariable(std::u16string* pwszValue) {
    ::SetLastError(0);
    const DWORD dwUnits = ::GetEnvironmentVariableW(L"SSL_CERT_FILE", nullptr, 0);
    if (dwUnits == 0) {
        pwszValue->clear();
        return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    }
    std::vector<wchar_t> buffer(dwUnits);
    const DWORD dwCopied = ::GetEnvironmentVariableW(L"SSL_CERT_FILE", buffer.data(), dwUnits);
    if (dwCopied == 0 || dwCopied >= dwUnits) return false;
    pwszValue->assign(reinterpret_cast<const char16_t*>(buffer.data()), dwCopied);
    return true;
}

// Reads a whole file of at most kBundleMaxBytes. False with the system's
// code in *piError (0 when the file is too large).
bool ReadWholeFile(const std::u16string& wszPath, std::string* pText, int* piError) {
    std::FILE* pFile = os::OpenFileWide(wszPath.c_str(), "rb", os::LinkPolicy::Follow);
    if (pFile == nullptr) {
        *piError = os::LastSystemError();
        return false;
    }
    char aChunk[64 * 1024];
    bool bOk = true;
    for (;;) {
        const std::size_t uRead = std::fread(aChunk, 1, sizeof aChunk, pFile);
        if (pText->size() + uRead > kBundleMaxBytes) {
            *piError = 0;
            bOk = false;
            break;
        }
        pText->append(aChunk, uRead);
        if (uRead < sizeof aChunk) {
            if (std::ferror(pFile)) {
                *piError = os::LastSystemError();
                bOk = false;
            }
            break;
        }
    }
    std::fclose(pFile);
    return bOk;
}

// Adds each PEM certificate of szPem to hStore. Returns how many, or -1
// with the failing call's code in *pdwError when a certificate block cannot
// be decoded.
int AddPemCertificates(const std::string& szPem, HCERTSTORE hStore, DWORD* pdwError) {
    int iCount = 0;
    std::size_t uFrom = 0;
    for (;;) {
        const std::size_t uBegin = szPem.find(kPemBegin, uFrom);
        if (uBegin == std::string::npos) return iCount;
        const std::size_t uEnd = szPem.find(kPemEnd, uBegin);
        if (uEnd == std::string::npos) {
            *pdwError = ERROR_INVALID_DATA;  // a block without its end line
            return -1;
        }
        uFrom = uEnd + sizeof kPemEnd - 1;
        const char* pBlock = szPem.data() + uBegin;
        const DWORD dwBlock = static_cast<DWORD>(uFrom - uBegin);
        DWORD dwBytes = 0;
        if (!::CryptStringToBinaryA(pBlock, dwBlock, CRYPT_STRING_BASE64HEADER, nullptr, &dwBytes, nullptr, nullptr)) {
            *pdwError = ::GetLastError();
            return -1;
        }
        std::vector<BYTE> der(dwBytes);
        if (!::CryptStringToBinaryA(pBlock, dwBlock, CRYPT_STRING_BASE64HEADER, der.data(), &dwBytes, nullptr,
                                    nullptr) ||
            !::CertAddEncodedCertificateToStore(hStore, X509_ASN_ENCODING, der.data(), dwBytes,
                                                CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            *pdwError = ::GetLastError();
            return -1;
        }
        ++iCount;
    }
}

// The build number of the running Windows (RtlGetVersion, which no
// compatibility shim changes); 0 when it cannot be read.
DWORD WindowsBuild() {
    using VersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    const FARPROC pFound = hNtdll != nullptr ? ::GetProcAddress(hNtdll, "RtlGetVersion") : nullptr;
    if (pFound == nullptr) return 0;
    OSVERSIONINFOW version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    const auto pCall = reinterpret_cast<VersionCall>(reinterpret_cast<void*>(pFound));
    return pCall(&version) == 0 ? version.dwBuildNumber : 0;
}

// Whether this is Wine (its ntdll exports wine_get_version). Asked once.
bool RunningOnWine() {
    static const bool bWine = [] {
        const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
        return hNtdll != nullptr && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
    }();
    return bWine;
}

// The first builds that take SCH_CREDENTIALS (Windows 10 1809, Server
// 2019) and that have a supported TLS 1.3 (Server 2022, Windows 11); before
// the latter, TLS 1.3 exists only as an unsafe, registry-enabled preview.
constexpr DWORD kFirstSchCredentialsBuild = 17763;
constexpr DWORD kFirstTls13Build = 20348;

// Credentials for a client that judges the certificate itself, chosen by
// the build: SCH_CREDENTIALS with TLS 1.2, and 1.3 where the build has it;
// SCHANNEL_CRED, TLS 1.2 only, on older builds, and where SCH_CREDENTIALS is
// not understood (SEC_E_UNKNOWN_CREDENTIALS). The status returned is the
// first failure, not that of the fallback.
SECURITY_STATUS AcquireClientCredentials(CredHandle* phCredentials) {
    wchar_t* wszPackage = const_cast<wchar_t*>(UNISP_NAME_W);
    TimeStamp expiry;
    const DWORD dwBuild = WindowsBuild();
    SECURITY_STATUS first = SEC_E_OK;
    if (dwBuild >= kFirstSchCredentialsBuild || RunningOnWine()) {
        TLS_PARAMETERS parameters;
        std::memset(&parameters, 0, sizeof parameters);
        parameters.grbitDisabledProtocols =
            ~(dwBuild >= kFirstTls13Build ? kProtocols : static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT));
        SCH_CREDENTIALS credentials;
        std::memset(&credentials, 0, sizeof credentials);
        credentials.dwVersion = SCH_CREDENTIALS_VERSION;
        credentials.dwFlags = kCredentialFlags;
        credentials.cTlsParameters = 1;
        credentials.pTlsParameters = &parameters;
        first = ::AcquireCredentialsHandleW(nullptr, wszPackage, SECPKG_CRED_OUTBOUND, nullptr, &credentials, nullptr,
                                            nullptr, phCredentials, &expiry);
        if (first != SEC_E_UNKNOWN_CREDENTIALS) return first;
    }
    SCHANNEL_CRED older;
    std::memset(&older, 0, sizeof older);
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = kCredentialFlags;
    const SECURITY_STATUS status = ::AcquireCredentialsHandleW(nullptr, wszPackage, SECPKG_CRED_OUTBOUND, nullptr,
                                                               &older, nullptr, nullptr, phCredentials, &expiry);
    return status != SEC_E_OK && first != SEC_E_OK ? first : status;
}

// Builds the chain of pCert, with the certificates the server sent as
// intermediates, over hEngine (null: the system's, the Trusted Root store).
// A missing intermediate is never fetched from the network (AIA), so that
// a server that omits its intermediates fails here as it does with OpenSSL,
// and no fetch runs outside the revocation budget. Revocation is checked
// for every certificate but the root, within kRevocationTimeoutMs in all.
// Returns 0 or the failing call's code.
DWORD BuildChain(HCERTCHAINENGINE hEngine, PCCERT_CONTEXT pCert, PCCERT_CHAIN_CONTEXT* ppChain) {
    LPSTR aUsages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = aUsages;
    parameters.dwUrlRetrievalTimeout = kRevocationTimeoutMs;
    const DWORD dwFlags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT |
                          CERT_CHAIN_DISABLE_AIA;
    if (::CertGetCertificateChain(hEngine, pCert, nullptr, pCert->hCertStore, &parameters, dwFlags, nullptr, ppChain)) {
        return 0;
    }
    const DWORD dwError = ::GetLastError();
    return dwError != 0 ? dwError : static_cast<DWORD>(CERT_E_CHAINING);
}

// The smallest RSA key a chain may hold: 112 bits of security, as
// OpenSSL's security level 2 asks.
constexpr DWORD kMinRsaBits = 2048;

// 0 when no certificate of the chain has an RSA key smaller than
// kMinRsaBits, else NTE_BAD_KEY.
DWORD CheckKeySizes(PCCERT_CHAIN_CONTEXT pChain) {
    if (pChain->cChain == 0) return 0;
    const CERT_SIMPLE_CHAIN* pSimple = pChain->rgpChain[0];
    for (DWORD i = 0; i < pSimple->cElement; ++i) {
        const CERT_PUBLIC_KEY_INFO& key = pSimple->rgpElement[i]->pCertContext->pCertInfo->SubjectPublicKeyInfo;
        if (std::strcmp(key.Algorithm.pszObjId, szOID_RSA_RSA) != 0) continue;
        CERT_PUBLIC_KEY_INFO keyCopy = key;
        if (::CertGetPublicKeyLength(X509_ASN_ENCODING, &keyCopy) < kMinRsaBits) return static_cast<DWORD>(NTE_BAD_KEY);
    }
    return 0;
}

// The SSL policy for a server: a trusted root, validity, the server-auth
// usage, and the DNS name wszName (none is checked when it is null).
// Revocation is left out here (Wine would refuse an offline status): a
// known revocation is read from the chain by CheckChainStatus.
DWORD CheckSslPolicy(PCCERT_CHAIN_CONTEXT pChain, const wchar_t* wszName) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kIgnoreRevocation;
    ssl.pwszServerName = const_cast<wchar_t*>(wszName);
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, pChain, &policy, &status)) {
        const DWORD dwError = ::GetLastError();
        return dwError != 0 ? dwError : static_cast<DWORD>(CERT_E_CHAINING);
    }
    return status.dwError;
}

// The chain's own verdict, read after the policy has passed: Wine's SSL
// policy lets an incomplete chain (CERT_TRUST_IS_PARTIAL_CHAIN) through, so
// every error the chain reports refuses it, except an unknown or offline
// revocation status and the obsolete time-nesting flag. 0 when none.
DWORD CheckChainStatus(PCCERT_CHAIN_CONTEXT pChain) {
    const DWORD dwAccepted =
        CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
    const DWORD dwErrors = pChain->TrustStatus.dwErrorStatus & ~dwAccepted;
    if (dwErrors == 0) return 0;
    if (dwErrors & CERT_TRUST_IS_REVOKED) return static_cast<DWORD>(CRYPT_E_REVOKED);
    if (dwErrors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
    if (dwErrors & CERT_TRUST_IS_UNTRUSTED_ROOT) return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    if (dwErrors & CERT_TRUST_IS_NOT_TIME_VALID) return static_cast<DWORD>(CERT_E_EXPIRED);
    if (dwErrors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return static_cast<DWORD>(CERT_E_WRONG_USAGE);
    return static_cast<DWORD>(CERT_E_CHAINING);
}

// Whether an entry of the certificate's subject-alternative names
// satisfies bMatches (called with a CERT_ALT_NAME_ENTRY); false when it has
// none.
template <typename Match>
bool AnyAltName(PCCERT_CONTEXT pCert, Match bMatches) {
    const CERT_INFO* pInfo = pCert->pCertInfo;
    const CERT_EXTENSION* pNames = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, pInfo->cExtension, pInfo->rgExtension);
    if (pNames == nullptr) return false;
    CERT_ALT_NAME_INFO* pAltNames = nullptr;
    DWORD dwSize = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, pNames->Value.pbData, pNames->Value.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &pAltNames, &dwSize)) {
        return false;
    }
    bool bFound = false;
    for (DWORD i = 0; i < pAltNames->cAltEntry && !bFound; ++i) bFound = bMatches(pAltNames->rgAltEntry[i]);
    ::LocalFree(pAltNames);
    return bFound;
}

// Whether the certificate names the address of uLength bytes (4 for IPv4,
// 16 for IPv6; network order) in an IP subject-alternative name.
bool NamesAddress(PCCERT_CONTEXT pCert, const unsigned char* aAddress, DWORD uLength) {
    return AnyAltName(pCert, [aAddress, uLength](const CERT_ALT_NAME_ENTRY& entry) {
        return entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == uLength &&
               std::memcmp(entry.IPAddress.pbData, aAddress, uLength) == 0;
    });
}

// Whether the certificate has a DNS subject-alternative name. Without one
// the SSL policy would match the host against the subject's common name,
// which never counts.
bool HasDnsName(PCCERT_CONTEXT pCert) {
    return AnyAltName(pCert,
                      [](const CERT_ALT_NAME_ENTRY& entry) { return entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME; });
}

// What reading the socket brought.
enum class Arrival { Bytes, WouldBlock, Ended, Error, Full };

// What decrypting the next record gave.
enum class Record { Plain, Incomplete, Closed, Renegotiate, Failed };

}  // namespace

struct ClientSession::Impl {
    enum class State { New, Handshaking, Open, Renegotiating, Failed };

    State eState = State::New;
    winsock::SOCKET s = winsock::kInvalidSocket;
    std::u16string wszHost;
    bool bIpHost = false;
    unsigned char aAddress[16] = {};  // the host's address, network order, for an IP host
    DWORD uAddressLength = 0;         // its bytes: 4 for IPv4, 16 for IPv6

    HCERTSTORE hTrust = nullptr;         // the SSL_CERT_FILE bundle; null for the system store
    HCERTCHAINENGINE hEngine = nullptr;  // the engine trusting hTrust alone
    CredHandle credentials;
    bool bCredentials = false;
    CtxtHandle context;
    bool bContext = false;
    ULONG ulContextFlags = kContextFlags;
    SecPkgContext_StreamSizes sizes;

    // Negotiation: whether InitializeSecurityContext waits for more bytes,
    // whether it has finished, and whether the end must verify the
    // certificate (the first handshake, or a full renegotiation).
    bool bNeedInput = false;
    bool bNegotiated = false;
    bool bVerify = true;
    bool bTls12 = false;  // the protocol the handshake chose is TLS 1.2

    // Ciphertext: [uInStart, uInEnd) of pInput is not consumed yet.
    std::unique_ptr<char[]> pInput;
    std::size_t uInStart = 0;
    std::size_t uInEnd = 0;
    std::uint64_t uBytesRead = 0;  // all recv() brought, handshake included
    // Decrypted bytes not yet handed out, inside pInput before uInStart.
    const char* pPlain = nullptr;
    std::size_t uPlain = 0;
    // What ended the socket while Read still had bytes to return.
    bool bSocketEnded = false;
    int iSocketError = 0;
    bool bPeerClosed = false;

    // Bytes for the socket (a handshake token, or one record of Write);
    // uRecordPlain is the plaintext length of a record of Write.
    std::vector<char> output;
    std::size_t uOutSent = 0;
    std::size_t uRecordPlain = 0;
    bool bShutdown = false;

    Failure failure = Failure::None;
    char szText[kTextBytes] = "";
    char szTrust[kTextBytes] = "the system store";

    Impl() {
        std::memset(&credentials, 0, sizeof credentials);
        std::memset(&context, 0, sizeof context);
        std::memset(&sizes, 0, sizeof sizes);
    }

    ~Impl() {
        if (bContext) ::DeleteSecurityContext(&context);
        if (bCredentials) ::FreeCredentialsHandle(&credentials);
        if (hEngine != nullptr) ::CertFreeCertificateChainEngine(hEngine);
        if (hTrust != nullptr) ::CertCloseStore(hTrust, 0);
    }

    // --- Failures: each records why and returns Step::Failed.

    Step Fail(Failure why, const char* szWhat) {
        eState = State::Failed;
        failure = why;
        std::snprintf(szText, sizeof szText, "%s", szWhat);
        TrimPartialCharacter(szText);
        return Step::Failed;
    }

    Step FailStatus(Failure why, DWORD dwCode) {
        eState = State::Failed;
        failure = why;
        DescribeCode(szText, "", dwCode, false);
        return Step::Failed;
    }

    // The socket's error stays in winsock::WSAGetLastError().
    Step FailSocket() {
        eState = State::Failed;
        failure = Failure::Socket;
        DescribeCode(szText, "", static_cast<DWORD>(winsock::WSAGetLastError()), true);
        return Step::Failed;
    }

    const wchar_t* TargetName() const { return bIpHost ? nullptr : reinterpret_cast<const wchar_t*>(wszHost.c_str()); }

    // --- Start.

    bool SetHost(const char* szHost) {
        if (szHost == nullptr || szHost[0] == '\0' || std::strlen(szHost) >= 4096) {
            Fail(Failure::Setup, "the host name is empty or too long");
            return false;
        }
        const int iUnits = os::Utf8ToWide(szHost, -1, nullptr, 0);
        if (iUnits <= 0) {
            Fail(Failure::Setup, "the host name is not UTF-8");
            return false;
        }
        wszHost.assign(static_cast<std::size_t>(iUnits), u'\0');
        os::Utf8ToWide(szHost, -1, &wszHost[0], iUnits);
        wszHost.resize(static_cast<std::size_t>(iUnits - 1));
        in_addr address;
        in6_addr address6;
        if (::inet_pton(AF_INET, szHost, &address) == 1) {
            std::memcpy(aAddress, &address, sizeof address);
            uAddressLength = sizeof address;
        } else if (::inet_pton(AF_INET6, szHost, &address6) == 1) {
            std::memcpy(aAddress, &address6, sizeof address6);
            uAddressLength = sizeof address6;
        }
        bIpHost = uAddressLength != 0;
        return true;
    }

    // TrustFile, with a text that names the file: 'SSL_CERT_FILE "<path>"
    // <szWhat>', then the code and its text when bWithCode.
    bool FailTrustFile(const std::string& szPath, const char* szWhat, bool bWithCode = false, DWORD dwCode = 0,
                       bool bDecimal = false) {
        char szPrefix[kTextBytes];
        std::snprintf(szPrefix, sizeof szPrefix, "SSL_CERT_FILE \"%s\" %s%s", szPath.c_str(), szWhat,
                      bWithCode ? ": " : "");
        if (bWithCode) {
            DescribeCode(szText, szPrefix, dwCode, bDecimal);
        } else {
            std::snprintf(szText, sizeof szText, "%s", szPrefix);
            TrimPartialCharacter(szText);
        }
        eState = State::Failed;
        failure = Failure::TrustFile;
        return false;
    }

    // With SSL_CERT_FILE set, its bundle alone becomes the trust: a memory
    // store of its certificates, and a chain engine whose exclusive root
    // store it is. Without it the system's engine and store serve.
    bool LoadTrust() {
        std::u16string wszPath;
        if (!CertFileVariable(&wszPath)) return true;
        const std::string szPath = ToUtf8(wszPath);
        std::string szPem;
        int iError = 0;
        if (!ReadWholeFile(wszPath, &szPem, &iError)) {
            if (iError == 0) return FailTrustFile(szPath, "is larger than 16 MiB");
            return FailTrustFile(szPath, "cannot be read", true, static_cast<DWORD>(iError), true);
        }
        hTrust = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
        if (hTrust == nullptr) {
            FailStatus(Failure::Setup, ::GetLastError());
            return false;
        }
        DWORD dwError = 0;
        const int iCount = AddPemCertificates(szPem, hTrust, &dwError);
        if (iCount < 0) return FailTrustFile(szPath, "holds a certificate that cannot be read", true, dwError);
        if (iCount == 0) return FailTrustFile(szPath, "holds no certificate");
        std::snprintf(szTrust, sizeof szTrust, "SSL_CERT_FILE %s: %d certificates", szPath.c_str(), iCount);
        TrimPartialCharacter(szTrust);
        CERT_CHAIN_ENGINE_CONFIG config;
        std::memset(&config, 0, sizeof config);
        config.cbSize = kEngineConfigBytes;
        config.hExclusiveRoot = hTrust;
        if (!::CertCreateCertificateChainEngine(&config, &hEngine)) {
            hEngine = nullptr;
            FailStatus(Failure::Setup, ::GetLastError());
            return false;
        }
        return true;
    }

    bool Begin(winsock::SOCKET socket, const char* szHost) {
        if (eState != State::New) {
            Fail(Failure::Setup, "the session was started before");
            return false;
        }
        s = socket;
        if (!SetHost(szHost) || !LoadTrust()) return false;
        const SECURITY_STATUS status = AcquireClientCredentials(&credentials);
        if (status != SEC_E_OK) {
            FailStatus(Failure::Setup, static_cast<DWORD>(status));
            return false;
        }
        bCredentials = true;
        pInput.reset(new (std::nothrow) char[kInputBytes]);
        if (!pInput) {
            Fail(Failure::Setup, "no memory for the session's buffer");
            return false;
        }
        eState = State::Handshaking;
        return true;
    }

    // --- The socket.

    // Sends what output holds. Done once it is all gone.
    Step Flush() {
        while (uOutSent < output.size()) {
            const std::size_t uLeft = std::min<std::size_t>(output.size() - uOutSent, INT_MAX);
            const int iSent = winsock::send(s, output.data() + uOutSent, static_cast<int>(uLeft), 0);
            if (iSent > 0) {
                uOutSent += static_cast<std::size_t>(iSent);
            } else if (iSent == 0 || winsock::WSAGetLastError() == winsock::kWsaEWouldBlock) {
                return Step::WantWrite;
            } else {
                return FailSocket();
            }
        }
        output.clear();
        uOutSent = 0;
        return Step::Done;
    }

    // Receives into the free end of pInput, first moving the unconsumed
    // ciphertext to the front when no plaintext is left in the buffer.
    Arrival Receive() {
        if (uPlain == 0 && uInStart > 0) {
            std::memmove(pInput.get(), pInput.get() + uInStart, uInEnd - uInStart);
            uInEnd -= uInStart;
            uInStart = 0;
        }
        if (uInEnd == kInputBytes) return Arrival::Full;
        const int iGot = winsock::recv(s, pInput.get() + uInEnd, static_cast<int>(kInputBytes - uInEnd), 0);
        if (iGot > 0) {
            uInEnd += static_cast<std::size_t>(iGot);
            uBytesRead += static_cast<std::uint64_t>(iGot);
            return Arrival::Bytes;
        }
        if (iGot == 0) return Arrival::Ended;
        return winsock::WSAGetLastError() == winsock::kWsaEWouldBlock ? Arrival::WouldBlock : Arrival::Error;
    }

    // After a call that consumed input, keeps what it reports as extra.
    void KeepExtra(const SecBuffer& extra) {
        const bool bExtra =
            extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= uInEnd - uInStart;
        uInStart = bExtra ? uInEnd - extra.cbBuffer : uInEnd;
    }

    // --- Negotiation: the handshake, and a renegotiation the server asks for.

    // Drives InitializeSecurityContext until it is done and its last token
    // is sent. Done, WantRead, WantWrite or Failed.
    Step Negotiate() {
        for (;;) {
            const Step flushed = Flush();
            if (flushed != Step::Done) return flushed;
            if (bNegotiated) {
                bNegotiated = false;
                eState = State::Open;
                return Step::Done;
            }
            if (bNeedInput) {
                const Step received = ReceiveHandshake();
                if (received != Step::Done) return received;
            }
            if (!LooksLikeRecord()) return FailStatus(Failure::Handshake, static_cast<DWORD>(SEC_E_ILLEGAL_MESSAGE));
            if (!Advance()) return Step::Failed;
        }
    }

    // Whether the unconsumed input can begin a TLS record: a content type
    // from change_cipher_spec (20) to application_data (23), then major
    // version 3. Wine's Schannel would wait for the length that the first
    // bytes of a plain-text reply seem to announce, until the time-out.
    bool LooksLikeRecord() const {
        const std::size_t uHave = uInEnd - uInStart;
        const unsigned char* pRecord = reinterpret_cast<const unsigned char*>(pInput.get() + uInStart);
        if (uHave >= 1 && (pRecord[0] < 20 || pRecord[0] > 23)) return false;
        return uHave < 2 || pRecord[1] == 3;
    }

    Step ReceiveHandshake() {
        switch (Receive()) {
            case Arrival::Bytes:
                bNeedInput = false;
                return Step::Done;
            case Arrival::WouldBlock:
                return Step::WantRead;
            case Arrival::Ended:
                return Fail(Failure::Truncated, "the server closed the connection during the handshake");
            case Arrival::Error:
                return FailSocket();
            case Arrival::Full:
                break;
        }
        return Fail(Failure::Handshake, "a handshake message does not fit the session's buffer");
    }

    // One call of InitializeSecurityContext on the unconsumed input. Its
    // token goes to output; once it reports the handshake done, Conclude
    // verifies before that last token is sent. False on failure.
    bool Advance() {
        const bool bFirst = !bContext;
        const std::size_t uInStartBefore = uInStart;
        SecBuffer aIn[2] = {{static_cast<ULONG>(uInEnd - uInStart), SECBUFFER_TOKEN, pInput.get() + uInStart},
                            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc in = {SECBUFFER_VERSION, 2, aIn};
        SecBuffer aOut[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc out = {SECBUFFER_VERSION, 1, aOut};
        ULONG ulAttributes = 0;
        const SECURITY_STATUS status = ::InitializeSecurityContextW(
            &credentials, bFirst ? nullptr : &context, const_cast<wchar_t*>(TargetName()), ulContextFlags, 0, 0,
            bFirst ? nullptr : &in, 0, &context, &out, &ulAttributes, nullptr);
        if (bFirst && !FAILED(status)) bContext = true;
        if (aOut[0].pvBuffer != nullptr) {
            if (!FAILED(status) && aOut[0].cbBuffer > 0) {
                const char* pToken = static_cast<const char*>(aOut[0].pvBuffer);
                output.assign(pToken, pToken + aOut[0].cbBuffer);
                uOutSent = 0;
            }
            ::FreeContextBuffer(aOut[0].pvBuffer);
        }
        switch (status) {
            case SEC_E_INCOMPLETE_MESSAGE:
                bNeedInput = true;
                return true;
            case SEC_I_INCOMPLETE_CREDENTIALS:
                // The server asks for a client certificate; go on without one.
                if (ulContextFlags & ISC_REQ_USE_SUPPLIED_CREDS) break;
                ulContextFlags |= ISC_REQ_USE_SUPPLIED_CREDS;
                return true;
            case SEC_I_CONTINUE_NEEDED:
                if (!bFirst) KeepExtra(aIn[1]);
                // More input is needed once all is consumed, or when nothing was
                // consumed and nothing is to be sent (so that a call that makes
                // no progress is never repeated).
                bNeedInput = uInStart == uInEnd || (uInStart == uInStartBefore && output.empty());
                if (eState == State::Renegotiating) bVerify = true;
                return true;
            case SEC_E_OK:
                if (!bFirst) KeepExtra(aIn[1]);
                bNeedInput = false;
                return Conclude();
            default:
                break;
        }
        // A renegotiation fails a Read, which reports its failures as Stream.
        FailStatus(eState == State::Renegotiating ? Failure::Stream : Failure::Handshake, static_cast<DWORD>(status));
        return false;
    }

    // The handshake is done: check the protocol and the certificate when
    // this negotiation must, and learn the record sizes.
    bool Conclude() {
        if (bVerify && (!CheckProtocol() || !Verify())) return false;
        bVerify = false;
        const SECURITY_STATUS status = ::QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
        if (status != SEC_E_OK) {
            FailStatus(Failure::Handshake, static_cast<DWORD>(status));
            return false;
        }
        bNegotiated = true;
        return true;
    }

    // Wine's Schannel ignores the protocols that SCH_CREDENTIALS disables,
    // so the version actually chosen is checked here as well.
    bool CheckProtocol() {
        SecPkgContext_ConnectionInfo info;
        std::memset(&info, 0, sizeof info);
        const SECURITY_STATUS status = ::QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &info);
        if (status != SEC_E_OK) {
            FailStatus(Failure::Handshake, static_cast<DWORD>(status));
            return false;
        }
        bTls12 = (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) != 0;
        // The credentials leave the suites to the system, so a TLS 1.2
        // suite other than ECDHE with an AEAD cipher is refused here, before
        // any request byte.
        if (bTls12 && !IsForwardSecretAead(info)) {
            Fail(Failure::Handshake, "the server chose a TLS 1.2 suite without ECDHE and AES-GCM or ChaCha20");
            return false;
        }
        if ((info.dwProtocol & kProtocols) != 0) return true;
        const char* szChosen = (info.dwProtocol & SP_PROT_TLS1_1_CLIENT)   ? "TLS 1.1"
                               : (info.dwProtocol & SP_PROT_TLS1_0_CLIENT) ? "TLS 1.0"
                               : (info.dwProtocol & SP_PROT_SSL3_CLIENT)   ? "SSL 3.0"
                                                                           : "an unknown protocol";
        std::snprintf(szText, sizeof szText, "the server chose %s; TLS 1.2 at least is required", szChosen);
        failure = Failure::Handshake;
        eState = State::Failed;
        return false;
    }

    // Whether the TLS 1.2 suite chosen is one of kForwardSecretAead, by its
    // number where the system tells it (SECPKG_ATTR_CIPHER_INFO), else
    // whether its key exchange at least is ECDHE.
    bool IsForwardSecretAead(const SecPkgContext_ConnectionInfo& info) {
        SecPkgContext_CipherInfo cipher;
        std::memset(&cipher, 0, sizeof cipher);
        cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
        if (::QueryContextAttributesW(&context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
            cipher.dwCipherSuite != 0) {
            return std::find(std::begin(kForwardSecretAead), std::end(kForwardSecretAead), cipher.dwCipherSuite) !=
                   std::end(kForwardSecretAead);
        }
        return info.aiExch != CALG_RSA_KEYX && info.aiExch != CALG_DH_EPHEM && info.aiExch != CALG_DH_SF;
    }

    bool Verify() {
        PCCERT_CONTEXT pCert = nullptr;
        const SECURITY_STATUS status = ::QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &pCert);
        if (status != SEC_E_OK || pCert == nullptr) {
            FailStatus(Failure::Certificate, static_cast<DWORD>(status != SEC_E_OK ? status : SEC_E_NO_CREDENTIALS));
            return false;
        }
        const DWORD dwError = JudgeCertificate(pCert);
        ::CertFreeCertificateContext(pCert);
        if (dwError != 0) {
            FailStatus(Failure::Certificate, dwError);
            return false;
        }
        return true;
    }

    // 0 when the certificate is trusted for the host, else the reason's code.
    DWORD JudgeCertificate(PCCERT_CONTEXT pCert) const {
        PCCERT_CHAIN_CONTEXT pChain = nullptr;
        DWORD dwError = BuildChain(hEngine, pCert, &pChain);
        if (dwError == 0 && !bIpHost && !HasDnsName(pCert)) dwError = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
        if (dwError == 0) dwError = CheckSslPolicy(pChain, TargetName());
        if (dwError == 0) dwError = CheckChainStatus(pChain);
        if (dwError == 0) dwError = CheckKeySizes(pChain);
        if (dwError == 0 && bIpHost && !NamesAddress(pCert, aAddress, uAddressLength))
            dwError = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
        if (pChain != nullptr) ::CertFreeCertificateChain(pChain);
        return dwError;
    }

    // --- Reading.

    // Decrypts the record at uInStart in place. Called with no plaintext
    // left (uPlain 0).
    Record DecryptNext() {
        SecBuffer aBuffers[4] = {{static_cast<ULONG>(uInEnd - uInStart), SECBUFFER_DATA, pInput.get() + uInStart},
                                 {0, SECBUFFER_EMPTY, nullptr},
                                 {0, SECBUFFER_EMPTY, nullptr},
                                 {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, aBuffers};
        const bool bAlert = static_cast<unsigned char>(pInput[uInStart]) == kAlertRecord;
        const SECURITY_STATUS status = ::DecryptMessage(&context, &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return Record::Incomplete;
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
            FailStatus(Failure::Stream, static_cast<DWORD>(status));
            return Record::Failed;
        }
        const SecBuffer* pExtra = nullptr;
        for (const SecBuffer& buffer : aBuffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
                pPlain = static_cast<const char*>(buffer.pvBuffer);
                uPlain = buffer.cbBuffer;
            } else if (buffer.BufferType == SECBUFFER_EXTRA) {
                pExtra = &buffer;
            }
        }
        if (pExtra != nullptr) {
            KeepExtra(*pExtra);
        } else {
            uInStart = uInEnd;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) return Record::Closed;
        if (status == SEC_I_RENEGOTIATE) return Record::Renegotiate;
        // Wine's Schannel reports the server's close_notify as an alert
        // record that decrypts to nothing, not as SEC_I_CONTEXT_EXPIRED as
        // Windows does. A fatal alert fails the call, so there a bare alert
        // record is the clean end. On Windows it is some warning alert, and
        // reading goes on. TLS 1.3 hides a record's type, and such a close
        // then shows as the socket's end.
        if (bAlert && uPlain == 0 && RunningOnWine()) return Record::Closed;
        return Record::Plain;
    }

    // Hands out plaintext, decrypting and receiving while the caller's
    // buffer has room and the socket has bytes.
    Step ReadInto(char* pBuffer, std::size_t uCapacity, std::size_t* puRead) {
        std::size_t& uGot = *puRead;
        for (;;) {
            if (uPlain > 0) {
                const std::size_t uCopy = std::min(uPlain, uCapacity - uGot);
                std::memcpy(pBuffer + uGot, pPlain, uCopy);
                pPlain += uCopy;
                uPlain -= uCopy;
                uGot += uCopy;
                if (uGot == uCapacity) return Step::Done;
            }
            if (bPeerClosed) return uGot > 0 ? Step::Done : Step::Closed;
            if (eState == State::Renegotiating) {
                const Step negotiated = Negotiate();
                if (negotiated != Step::Done) return uGot > 0 ? Step::Done : negotiated;
                continue;
            }
            if (uInEnd - uInStart >= kRecordHeaderBytes) {
                switch (DecryptNext()) {
                    case Record::Plain:
                        continue;
                    case Record::Closed:
                        bPeerClosed = true;
                        continue;
                    case Record::Renegotiate:
                        // TLS 1.3's post-handshake messages (tickets, key
                        // updates) come this way too; only TLS 1.2's is a
                        // renegotiation, which is refused.
                        if (bTls12) {
                            Fail(Failure::Stream, "the server asked for a renegotiation, which is refused");
                            return uGot > 0 ? Step::Done : Step::Failed;
                        }
                        eState = State::Renegotiating;
                        bNeedInput = false;
                        continue;
                    case Record::Failed:
                        return uGot > 0 ? Step::Done : Step::Failed;
                    case Record::Incomplete:
                        break;
                }
            }
            Step stop = Step::Done;
            if (!ReceiveRecords(uGot > 0, &stop)) return stop;
        }
    }

    // Receives more ciphertext for ReadInto: true when bytes arrived, else
    // *pStop is what ReadInto returns. With bHolding (the caller already has
    // bytes to return) an end or an error of the socket is kept for the next
    // call, and Done returned now.
    bool ReceiveRecords(bool bHolding, Step* pStop) {
        Arrival arrival = Arrival::Ended;
        if (iSocketError != 0) {
            winsock::WSASetLastError(iSocketError);
            arrival = Arrival::Error;
        } else if (!bSocketEnded) {
            arrival = Receive();
        }
        switch (arrival) {
            case Arrival::Bytes:
                return true;
            case Arrival::WouldBlock:
                *pStop = bHolding ? Step::Done : Step::WantRead;
                return false;
            case Arrival::Ended:
                bSocketEnded = true;
                *pStop = bHolding ? Step::Done
                                  : Fail(Failure::Truncated, "the connection ended without the server's close_notify");
                return false;
            case Arrival::Error:
                if (bHolding) {
                    iSocketError = winsock::WSAGetLastError();
                    *pStop = Step::Done;
                } else {
                    *pStop = FailSocket();
                }
                return false;
            case Arrival::Full:
                break;
        }
        *pStop = Fail(Failure::Stream, "a record does not fit the session's buffer");
        return false;
    }

    // --- Writing.

    // Encrypts uLength bytes (at most one record's) into output.
    bool Seal(const char* pBytes, std::size_t uLength) {
        const std::size_t uHeader = sizes.cbHeader;
        output.assign(uHeader + uLength + sizes.cbTrailer, '\0');
        std::memcpy(output.data() + uHeader, pBytes, uLength);
        char* pRecord = output.data();
        SecBuffer aBuffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, pRecord},
                                 {static_cast<ULONG>(uLength), SECBUFFER_DATA, pRecord + uHeader},
                                 {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, pRecord + uHeader + uLength},
                                 {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, aBuffers};
        const SECURITY_STATUS status = ::EncryptMessage(&context, 0, &message, 0);
        if (status != SEC_E_OK) {
            output.clear();
            FailStatus(Failure::Stream, static_cast<DWORD>(status));
            return false;
        }
        output.resize(aBuffers[0].cbBuffer + aBuffers[1].cbBuffer + aBuffers[2].cbBuffer);
        uOutSent = 0;
        uRecordPlain = uLength;
        return true;
    }

    Step WriteFrom(const char* pBytes, std::size_t uLength, std::size_t* puWritten) {
        if (eState == State::Renegotiating) {
            const Step negotiated = Negotiate();
            if (negotiated != Step::Done) return negotiated;
        }
        if (uRecordPlain == 0 && !Seal(pBytes, std::min<std::size_t>(uLength, sizes.cbMaximumMessage))) {
            return Step::Failed;
        }
        const Step flushed = Flush();
        if (flushed != Step::Done) return flushed;
        *puWritten = uRecordPlain;
        uRecordPlain = 0;
        return Step::Done;
    }

    // --- Closing: close_notify, if the socket takes it at once. Skipped
    // while a record is half sent, which it would corrupt.
    void Shutdown() {
        if (eState != State::Open || bShutdown || uOutSent < output.size()) return;
        bShutdown = true;
        const int iSavedError = winsock::WSAGetLastError();
        DWORD dwType = SCHANNEL_SHUTDOWN;
        SecBuffer control = {sizeof dwType, SECBUFFER_TOKEN, &dwType};
        SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
        if (::ApplyControlToken(&context, &controlDesc) == SEC_E_OK) {
            SecBuffer token = {0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &token};
            ULONG ulAttributes = 0;
            const SECURITY_STATUS status =
                ::InitializeSecurityContextW(&credentials, &context, const_cast<wchar_t*>(TargetName()), ulContextFlags,
                                             0, 0, nullptr, 0, &context, &tokenDesc, &ulAttributes, nullptr);
            if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && token.pvBuffer != nullptr &&
                token.cbBuffer > 0) {
                winsock::send(s, static_cast<const char*>(token.pvBuffer), static_cast<int>(token.cbBuffer), 0);
            }
            if (token.pvBuffer != nullptr) ::FreeContextBuffer(token.pvBuffer);
        }
        winsock::WSASetLastError(iSavedError);
    }
};

ClientSession::ClientSession() : m_pImpl(new (std::nothrow) Impl) {}

ClientSession::~ClientSession() { delete m_pImpl; }

bool ClientSession::Start(winsock::SOCKET s, const char* szHost) {
    return m_pImpl != nullptr && m_pImpl->Begin(s, szHost);
}

Step ClientSession::Handshake() {
    if (m_pImpl == nullptr) return Step::Failed;
    switch (m_pImpl->eState) {
        case Impl::State::Handshaking:
            return m_pImpl->Negotiate();
        case Impl::State::Open:
        case Impl::State::Renegotiating:
            return Step::Done;
        case Impl::State::New:
            return m_pImpl->Fail(Failure::Setup, "the session was not started");
        case Impl::State::Failed:
            break;
    }
    return Step::Failed;
}

Step ClientSession::Read(char* pBuffer, std::size_t uCapacity, std::size_t* puRead) {
    *puRead = 0;
    if (m_pImpl == nullptr || m_pImpl->eState == Impl::State::Failed) return Step::Failed;
    if (m_pImpl->eState != Impl::State::Open && m_pImpl->eState != Impl::State::Renegotiating) {
        return m_pImpl->Fail(Failure::Setup, "the handshake has not finished");
    }
    if (uCapacity == 0) return m_pImpl->Fail(Failure::Setup, "no room to read into");
    return m_pImpl->ReadInto(pBuffer, uCapacity, puRead);
}

Step ClientSession::Write(const char* pBytes, std::size_t uLength, std::size_t* puWritten) {
    *puWritten = 0;
    if (m_pImpl == nullptr || m_pImpl->eState == Impl::State::Failed) return Step::Failed;
    if (m_pImpl->eState != Impl::State::Open && m_pImpl->eState != Impl::State::Renegotiating) {
        return m_pImpl->Fail(Failure::Setup, "the handshake has not finished");
    }
    if (uLength == 0) return Step::Done;
    return m_pImpl->WriteFrom(pBytes, uLength, puWritten);
}

void ClientSession::Close() {
    if (m_pImpl != nullptr) m_pImpl->Shutdown();
}

std::uint64_t ClientSession::BytesReceived() const { return m_pImpl != nullptr ? m_pImpl->uBytesRead : 0; }

const char* ClientSession::TrustText() const {
    return m_pImpl != nullptr && m_pImpl->eState != Impl::State::New && m_pImpl->failure == Failure::None
               ? m_pImpl->szTrust
               : "";
}

Failure ClientSession::LastFailure() const { return m_pImpl != nullptr ? m_pImpl->failure : Failure::Setup; }

const char* ClientSession::FailureText() const {
    return m_pImpl != nullptr ? m_pImpl->szText : "no memory for a TLS session";
}

}  // namespace tls
