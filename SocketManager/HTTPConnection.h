// One complete HTTP/1.0 exchange: connect, send the request, read the reply
// until the server closes or a time-out ends the wait, split it into header
// and body.
#pragma once

#include "SocketManager/DownloadResult.h"

#include <cstdint>
#include <string>

class HTTPConnection {
public:
    // Fetches szURL ("[scheme//]host[:port][/path?query]"). szDefaultIPAddress
    // (null or empty for none) is used when the host does not resolve.
    // szUserAgent and szExtraHeader must not be null (empty selects the
    // built-in User-Agent and no extra line). iPostDataLength > 0 makes the
    // request a POST carrying that many bytes of pPostData.
    // iTimeout (seconds) bounds each wait and, with bAbsoluteTimeout, the
    // whole call; otherwise the time since the last send or receive.
    // *pResult (all fields zero) receives the reply; the caller frees it.
    // *pbConnectFailed is set only when the connection attempt is reported
    // failed. True when at least one byte arrived and nothing failed that
    // makes the reply unusable; every failure is logged.
    static bool Download(const char* szURL, const char* szDefaultIPAddress, const char* szUserAgent,
                         const char* szExtraHeader, const char* pPostData, std::int32_t iPostDataLength,
                         std::int32_t iTimeout, bool bAbsoluteTimeout, DownloadResult* pResult,
                         bool* pbConnectFailed);

    // The request bytes for host, port and path (path "" sends "/").
    static std::string BuildRequest(const char* szHost, std::int32_t iPort, const char* szPath,
                                    const char* szUserAgent, const char* szExtraHeader, const char* pPostData,
                                    std::int32_t iPostDataLength);

    // The most bytes a reply may have: the total and its spare byte must
    // fit a signed 32-bit length. Tests lower it to reach the limit cheaply;
    // 0 restores the default.
    static void SetReplyLimitForTesting(std::int32_t iLimit);
};
