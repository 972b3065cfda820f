#include "SnapshotStream.h"

#include <microhttpd.h>

#include <cstdio>

namespace backupservice {

namespace {

constexpr size_t kBlockSize = 64 * 1024;

struct SnapshotReader {
    std::shared_ptr<Snapshot> snapshot;
    std::shared_ptr<std::atomic<uint64_t>> sent;
};

ssize_t readSnapshot(void* cls, uint64_t pos, char* buf, size_t max) {
    auto* reader = static_cast<SnapshotReader*>(cls);
    size_t got = 0;
    const Status read = reader->snapshot->read(pos, buf, max, &got);
    // A failed copy or file: abort rather than send a truncated database
    // under a full Content-Length.
    if (!read.ok()) {
        std::fprintf(stderr, "BackupService: snapshot failed during the download: %s\n", read.message().c_str());
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (got == 0) return MHD_CONTENT_READER_END_OF_STREAM;
    *reader->sent += static_cast<uint64_t>(got);
    return static_cast<ssize_t>(got);
}

void freeSnapshot(void* cls) { delete static_cast<SnapshotReader*>(cls); }

}  // namespace

MHD_Response* createSnapshotResponse(std::shared_ptr<Snapshot> snapshot, std::shared_ptr<std::atomic<uint64_t>> sent) {
    const uint64_t size = snapshot->size();
    auto* reader = new SnapshotReader{std::move(snapshot), std::move(sent)};
    MHD_Response* response = MHD_create_response_from_callback(size, kBlockSize, &readSnapshot, reader, &freeSnapshot);
    if (!response) delete reader;
    return response;
}

}  // namespace backupservice
