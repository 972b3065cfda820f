// Hands a snapshot to libmicrohttpd piece by piece as the copy produces it,
// so a large database is never held in memory and the download starts before
// the copy ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Snapshot.h"

struct MHD_Response;

namespace backupservice {

// Creates a response of snapshot->size() bytes that reads the snapshot as the
// client takes it, counting the bytes handed over in *sent. The snapshot
// must be streamable. The response keeps the snapshot until libmicrohttpd
// releases it. A copy that fails part-way aborts the transfer, so the client
// sees fewer bytes than the Content-Length. Returns nullptr when
// libmicrohttpd cannot create the response.
MHD_Response* createSnapshotResponse(std::shared_ptr<Snapshot> snapshot, std::shared_ptr<std::atomic<uint64_t>> sent);

}  // namespace backupservice
