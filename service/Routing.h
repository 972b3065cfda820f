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
std::string taggedFailure(const std::string& reason);

// The path of a request target. Clients may send the absolute form
// ("http://host:port/path", as a proxy would receive it) or the origin form
// ("/path"); both come out as "/path". The query has already been split off
// by the HTTP library.
std::string targetPath(const std::string& target);

enum class Route { RetrieveDatabase, NotFound };

Route routeRequest(const std::string& method, const std::string& target);

}  // namespace backupservice
