#include "SnapshotStream.h"

#include <microhttpd.h>
#include <unistd.h>

#include <cerrno>

namespace backupservice {

namespace {

constexpr size_t kBlockSize = 64 * 1024;

struct SnapshotReader {
    Snapshot snapshot;
    std::shared_ptr<std::atomic<uint64_t>> sent;
};

ssize_t readSnapshot(void* cls, uint64_t pos, char* buf, size_t max) {
    auto* reader = static_cast<SnapshotReader*>(cls);
    if (pos >= reader->snapshot.size) return MHD_CONTENT_READER_END_OF_STREAM;
    ssize_t got;
    do {
        got = ::pread(reader->snapshot.file.get(), buf, max, static_cast<off_t>(pos));
    } while (got < 0 && errno == EINTR);
    // The file is private to this request and its size is fixed, so a short
    // or failed read means the file system let us down: abort the transfer
    // rather than send a truncated database with a full Content-Length.
    if (got <= 0) return MHD_CONTENT_READER_END_WITH_ERROR;
    *reader->sent += static_cast<uint64_t>(got);
    return got;
}

void freeSnapshot(void* cls) {
    delete static_cast<SnapshotReader*>(cls);
}

}  // namespace

MHD_Response* createSnapshotResponse(Snapshot snapshot,
                                     std::shared_ptr<std::atomic<uint64_t>> sent) {
    const uint64_t size = snapshot.size;
    auto* reader = new SnapshotReader{std::move(snapshot), std::move(sent)};
    MHD_Response* response =
        MHD_create_response_from_callback(size, kBlockSize, &readSnapshot, reader, &freeSnapshot);
    if (!response) delete reader;
    return response;
}

}  // namespace backupservice
