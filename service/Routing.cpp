#include "Routing.h"

#include <cctype>

namespace backupservice {

const char* const kReasonInvalidCredentials = "Invalid e-mail address or password";
const char* const kReasonNotFound = "Not found";
const char* const kReasonUnavailable = "The database could not be read";
const char* const kReasonDatabaseBusy = "The database was busy (another program held it locked); try again later";
const char* const kReasonServiceBusy = "The service was busy with other downloads; try again later";
const char* const kReasonTooManyAttempts = "Too many attempts with a wrong e-mail address or password; try again later";
const char* const kReasonBodyRefused = "A request must not carry a body";
const char* const kReasonBadRequest = "Bad request";
const char* const kReasonMethodNotAllowed = "Method not allowed; the backup is fetched with GET";
const char* const kReasonMissingCredentials = "The request needs both an Email and a Password value";
const char* const kAllowedMethods = "GET";

std::string taggedFailure(const std::string& reason) {
    return "<__Status__>FAILED</__Status__><__Reason__>" + reason + "</__Reason__>";
}

namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string targetPath(const std::string& target) {
    for (const char* scheme : {"http://", "https://"}) {
        const std::string prefix(scheme);
        if (startsWithNoCase(target, prefix)) {
            const auto slash = target.find('/', prefix.size());
            return slash == std::string::npos ? "/" : target.substr(slash);
        }
    }
    return target;
}

bool declaresBody(const char* contentLength, const char* transferEncoding) {
    if (transferEncoding) return true;
    if (!contentLength) return false;
    const std::string length(contentLength);
    return length.empty() || length.find_first_not_of('0') != std::string::npos;
}

bool hasEncodedNul(const std::string& rawTarget) {
    return rawTarget.substr(0, rawTarget.find('?')).find("%00") != std::string::npos;
}

Route routeRequest(const std::string& method, const std::string& target) {
    if (targetPath(target) != "/as/wapi/retrieve_db") return Route::NotFound;
    return method == "GET" ? Route::RetrieveDatabase : Route::MethodNotAllowed;
}

}  // namespace backupservice
