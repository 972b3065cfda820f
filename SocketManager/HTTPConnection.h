// One complete HTTP/1.0 exchange: connect, send the request, read the reply
// until the server closes or a time-out ends the wait; the header is kept,
// the body streamed to the caller's destination.
#pragma once

#include "SocketManager/DownloadResult.h"

#include <cstdint>
#include <string>

class HTTPConnection {
public:
    // The most bytes held in memory while looking for the header's blank
    // line; a reply that has none within them fails.
    static constexpr std::int32_t kHeaderLimit = 16 * 1024 * 1024;

    // Fetches szURL ("[scheme//]host[:port][/path?query]"); an "https:"
    // scheme (any letter case) fetches it over TLS, with the certificate
    // checked against the URL's host (see TlsChannel), and sends nothing
    // before that check has passed. The host may be an IPv6 address in
    // brackets ("http://[::1]:8080/"), which the request names so.
    // szDefaultIPAddress (null or empty for none) is used when the host has
    // no IPv4 address; without it, the host's first IPv6 address. When
    // connecting fails, the host's other addresses (both families) are
    // tried in the order of its answer before the call fails.
    // szUserAgent and szExtraHeader must not be null (empty selects the
    // built-in User-Agent and no extra line). iPostDataLength > 0 makes the
    // request a POST carrying that many bytes of pPostData.
    // iTimeout (seconds) bounds each wait and, with bAbsoluteTimeout, the
    // whole call; otherwise the time since the last send or receive.
    // *pResult (all fields zero but pBodyDestination) receives the reply:
    // the header ends at the first blank line ("\r\n\r\n" or "\n\n",
    // whichever comes first) and stays in pData; every byte after it goes to
    // pResult->pBodyDestination as it arrives, so the body's size is bounded
    // by the destination alone. A reply with no blank line is held in pData
    // (at most kHeaderLimit bytes); when the server ends it, its body is
    // what starts at "<__Return__>", handed to the destination then, or
    // none. The caller frees pData.
    // A proxy named by the environment (see EnvironmentProxy) carries the
    // exchange: "https:" through its CONNECT tunnel, with TLS to the URL's
    // host inside it; "http:" by sending it the request. Its failures are
    // logged naming it and fail the call as the network's.
    // *pbConnectFailed is set only when the connection attempt is reported
    // failed. True when at least one byte arrived and nothing failed that
    // makes the reply unusable; every failure is logged, except a refusal of
    // the destination, which its owner reports.
    static bool Download(const char* szURL, const char* szDefaultIPAddress, const char* szUserAgent,
                         const char* szExtraHeader, const char* pPostData, std::int32_t iPostDataLength,
                         std::int32_t iTimeout, bool bAbsoluteTimeout, DownloadResult* pResult, bool* pbConnectFailed);

    // The request bytes for host, port and path (path "" sends "/"), every
    // line ending in CR LF and the header in an empty CR LF line. The
    // request line's scheme is "https://" with bSecure, else "http://"; the
    // request line and the Host line carry the port unless it is the
    // scheme's default (443, 80). A szProxyAuthorization other than ""
    // ("Basic ...") is sent as the Proxy-Authorization line.
    static std::string BuildRequest(const char* szHost, std::int32_t iPort, const char* szPath, const char* szUserAgent,
                                    const char* szExtraHeader, const char* pPostData, std::int32_t iPostDataLength,
                                    bool bSecure = false, const char* szProxyAuthorization = "");
};
