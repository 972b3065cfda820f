// What a request asks for, decided from its method and target alone.
#pragma once

#include <string>

namespace backupservice {

// The fixed bodies of failure replies. The client recognises a failure by
// the status tag and shows the text between the reason tags.
extern const char* const kReasonInvalidCredentials;
extern const char* const kReasonNotFound;
extern const char* const kReasonUnavailable;
extern const char* const kReasonDatabaseBusy;
extern const char* const kReasonServiceBusy;
extern const char* const kReasonTooManyAttempts;
extern const char* const kReasonBodyRefused;
extern const char* const kReasonBadRequest;
extern const char* const kReasonMethodNotAllowed;
extern const char* const kReasonMissingCredentials;
// The Allow header of a 405 reply: the download path answers GET alone.
extern const char* const kAllowedMethods;
std::string taggedFailure(const std::string& reason);

// The path of a request target. Clients may send the absolute form
// ("http://host:port/path", as a proxy would receive it) or the origin form
// ("/path"); both come out as "/path". The query has already been split off
// by the HTTP library.
std::string targetPath(const std::string& target);

// Whether a request with these header values (null when absent) declares a
// body: any Transfer-Encoding, or a Content-Length other than 0.
bool declaresBody(const char* contentLength, const char* transferEncoding);

// Whether a request target as sent, before percent-decoding, has an encoded
// NUL byte ("%00") in its path, which decoding would cut the path short at.
bool hasEncodedNul(const std::string& rawTarget);

enum class Route {
    RetrieveDatabase,
    MethodNotAllowed,  // the download path with any method but GET (HEAD included)
    NotFound,
};

Route routeRequest(const std::string& method, const std::string& target);

}  // namespace backupservice
