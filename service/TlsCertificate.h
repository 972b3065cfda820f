// What the service can tell about the certificate it serves before any
// client has to find out.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace backupservice {

// Texts worth a warning about the server's own certificate, the first one in
// the PEM chain `pem`, judged at `now`: that it has expired or is not valid
// yet (with its dates), or that its key is too small for today's clients
// (with its size). Empty when all is well, and when `pem` holds no
// certificate that can be read: the HTTP library then refuses to start.
std::vector<std::string> certificateWarnings(const std::string& pem, std::time_t now);

}  // namespace backupservice
