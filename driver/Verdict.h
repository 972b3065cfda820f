// What an attempt's reply comes to: whether its body is a whole backup,
// and, when it is not, the driver's record that says why and the run's
// exit status for it.
#pragma once

#include "SocketManager/DownloadResult.h"

#include <string>

// Judges a reply that HTTPConnection::Download returned true for and whose
// body is no failure reply. bodyStart holds the body's first bytes (up to
// kSqliteHeaderSize), bodyLead its first bytes after the leading white
// space (up to kWebPageLeadSize). Returns Dorvane::kExitDone when the body is a whole
// backup; otherwise logs why, with one of the driver's records, and
// returns the exit status that reason gives the run.
int JudgeReply(const DownloadResult& result, const std::string& bodyStart, const std::string& bodyLead);

// The exit status of an exchange that failed (Download returned false)
// for the reason it gives.
int ExchangeFailureStatus(ExchangeFailure eFailure);
