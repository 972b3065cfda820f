// Hands a snapshot file to libmicrohttpd piece by piece, so a large database
// is never held in memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Snapshot.h"

struct MHD_Response;

namespace backupservice {

// Creates a response that reads the snapshot from its descriptor as the
// client takes it, counting the bytes handed over in *sent. The response owns
// the descriptor and closes it when libmicrohttpd releases the response.
// Returns nullptr when libmicrohttpd cannot create the response.
MHD_Response* createSnapshotResponse(Snapshot snapshot,
                                     std::shared_ptr<std::atomic<uint64_t>> sent);

}  // namespace backupservice
