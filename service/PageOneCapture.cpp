#include "PageOneCapture.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace backupservice {

namespace {

constexpr char kVfsName[] = "backupservice-page1";
// A write-ahead log starts with a 32-byte header; each frame has a 24-byte
// header (page number first, big-endian) followed by the page.
constexpr sqlite3_int64 kWalHeaderSize = 32;
constexpr sqlite3_int64 kWalFrameHeaderSize = 24;
// The database header at the start of page 1.
constexpr size_t kHeaderSize = 100;

thread_local PageOneCapture* tActiveCapture = nullptr;

sqlite3_vfs* gBaseVfs = nullptr;
sqlite3_vfs gCaptureVfs;

struct CaptureFile {
    sqlite3_file base;   // must come first: SQLite sees this
    sqlite3_file* real;  // the default VFS's file, stored right after this struct
    int openFlags;
};

sqlite3_file* realFile(sqlite3_file* file) { return reinterpret_cast<CaptureFile*>(file)->real; }

bool isPageSize(int size) { return size >= 512 && size <= 65536 && (size & (size - 1)) == 0; }

// Whether a read of `size` bytes at `offset` returned page 1.
bool readsPageOne(CaptureFile* file, int size, sqlite3_int64 offset) {
    if (!isPageSize(size)) return false;
    if (file->openFlags & SQLITE_OPEN_MAIN_DB) return offset == 0;
    if (!(file->openFlags & SQLITE_OPEN_WAL)) return false;
    const sqlite3_int64 frameStart = offset - kWalFrameHeaderSize;
    if (frameStart < kWalHeaderSize || (frameStart - kWalHeaderSize) % (size + kWalFrameHeaderSize) != 0) return false;
    unsigned char pageNumber[4];
    if (file->real->pMethods->xRead(file->real, pageNumber, 4, frameStart) != SQLITE_OK) return false;
    return pageNumber[0] == 0 && pageNumber[1] == 0 && pageNumber[2] == 0 && pageNumber[3] == 1;
}

int captureClose(sqlite3_file* file) {
    sqlite3_file* real = realFile(file);
    const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
    file->pMethods = nullptr;
    return rc;
}

int captureRead(sqlite3_file* file, void* buffer, int size, sqlite3_int64 offset) {
    auto* capture = reinterpret_cast<CaptureFile*>(file);
    const int rc = capture->real->pMethods->xRead(capture->real, buffer, size, offset);
    if ((rc == SQLITE_OK || rc == SQLITE_IOERR_SHORT_READ) && tActiveCapture && readsPageOne(capture, size, offset)) {
        tActiveCapture->seen(buffer, size);
    }
    return rc;
}

int captureWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    return realFile(f)->pMethods->xWrite(realFile(f), b, n, o);
}
int captureTruncate(sqlite3_file* f, sqlite3_int64 size) { return realFile(f)->pMethods->xTruncate(realFile(f), size); }
int captureSync(sqlite3_file* f, int flags) { return realFile(f)->pMethods->xSync(realFile(f), flags); }
int captureFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return realFile(f)->pMethods->xFileSize(realFile(f), size);
}
int captureLock(sqlite3_file* f, int level) { return realFile(f)->pMethods->xLock(realFile(f), level); }
int captureUnlock(sqlite3_file* f, int level) { return realFile(f)->pMethods->xUnlock(realFile(f), level); }
int captureCheckReservedLock(sqlite3_file* f, int* out) {
    return realFile(f)->pMethods->xCheckReservedLock(realFile(f), out);
}
int captureFileControl(sqlite3_file* f, int op, void* arg) {
    return realFile(f)->pMethods->xFileControl(realFile(f), op, arg);
}
int captureSectorSize(sqlite3_file* f) { return realFile(f)->pMethods->xSectorSize(realFile(f)); }
int captureDeviceCharacteristics(sqlite3_file* f) { return realFile(f)->pMethods->xDeviceCharacteristics(realFile(f)); }
int captureShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return realFile(f)->pMethods->xShmMap(realFile(f), region, size, extend, out);
}
int captureShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return realFile(f)->pMethods->xShmLock(realFile(f), offset, n, flags);
}
void captureShmBarrier(sqlite3_file* f) { realFile(f)->pMethods->xShmBarrier(realFile(f)); }
int captureShmUnmap(sqlite3_file* f, int deleteFlag) {
    return realFile(f)->pMethods->xShmUnmap(realFile(f), deleteFlag);
}

// Version 2: shared memory for WAL, but no memory-mapped reads, so every page
// SQLite reads passes through captureRead.
const sqlite3_io_methods kCaptureMethods = {
    2,
    captureClose,
    captureRead,
    captureWrite,
    captureTruncate,
    captureSync,
    captureFileSize,
    captureLock,
    captureUnlock,
    captureCheckReservedLock,
    captureFileControl,
    captureSectorSize,
    captureDeviceCharacteristics,
    captureShmMap,
    captureShmLock,
    captureShmBarrier,
    captureShmUnmap,
    nullptr,
    nullptr,
};

int captureOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* capture = reinterpret_cast<CaptureFile*>(file);
    capture->real = reinterpret_cast<sqlite3_file*>(capture + 1);
    capture->openFlags = flags;
    std::memset(capture->real, 0, static_cast<size_t>(gBaseVfs->szOsFile));
    const int rc = gBaseVfs->xOpen(gBaseVfs, name, capture->real, flags, outFlags);
    // SQLite calls xClose whenever pMethods is set, even after a failed open.
    file->pMethods = capture->real->pMethods ? &kCaptureMethods : nullptr;
    return rc;
}

int captureDelete(sqlite3_vfs*, const char* name, int syncDir) { return gBaseVfs->xDelete(gBaseVfs, name, syncDir); }
int captureAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return gBaseVfs->xAccess(gBaseVfs, name, flags, out);
}
int captureFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return gBaseVfs->xFullPathname(gBaseVfs, name, size, out);
}
int captureRandomness(sqlite3_vfs*, int size, char* out) { return gBaseVfs->xRandomness(gBaseVfs, size, out); }
int captureSleep(sqlite3_vfs*, int microseconds) { return gBaseVfs->xSleep(gBaseVfs, microseconds); }
int captureCurrentTime(sqlite3_vfs*, double* out) { return gBaseVfs->xCurrentTime(gBaseVfs, out); }
int captureGetLastError(sqlite3_vfs*, int size, char* out) { return gBaseVfs->xGetLastError(gBaseVfs, size, out); }
int captureCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) { return gBaseVfs->xCurrentTimeInt64(gBaseVfs, out); }

void registerCaptureVfs() {
    sqlite3_initialize();
    gBaseVfs = sqlite3_vfs_find(nullptr);
    gCaptureVfs = sqlite3_vfs{};
    gCaptureVfs.iVersion = 2;
    gCaptureVfs.szOsFile = static_cast<int>(sizeof(CaptureFile)) + gBaseVfs->szOsFile;
    gCaptureVfs.mxPathname = gBaseVfs->mxPathname;
    gCaptureVfs.zName = kVfsName;
    gCaptureVfs.xOpen = captureOpen;
    gCaptureVfs.xDelete = captureDelete;
    gCaptureVfs.xAccess = captureAccess;
    gCaptureVfs.xFullPathname = captureFullPathname;
    gCaptureVfs.xRandomness = captureRandomness;
    gCaptureVfs.xSleep = captureSleep;
    gCaptureVfs.xCurrentTime = captureCurrentTime;
    gCaptureVfs.xGetLastError = captureGetLastError;
    gCaptureVfs.xCurrentTimeInt64 = captureCurrentTimeInt64;
    sqlite3_vfs_register(&gCaptureVfs, 0);
}

}  // namespace

const char* pageOneCaptureVfs() {
    static std::once_flag once;
    std::call_once(once, registerCaptureVfs);
    return kVfsName;
}

PageOneCapture::PageOneCapture() { tActiveCapture = this; }

PageOneCapture::~PageOneCapture() { stop(); }

void PageOneCapture::stop() {
    if (active_ && tActiveCapture == this) tActiveCapture = nullptr;
    active_ = false;
}

void PageOneCapture::seen(const void* data, int size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    page_.assign(bytes, bytes + size);
}

namespace {

void put32(std::vector<unsigned char>& page, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) page[offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

}  // namespace

void makeSelfContained(std::vector<unsigned char>& page, uint32_t pageCount) {
    if (page.size() < kHeaderSize) return;
    page[18] = 1;  // write version: rollback journal, so no -wal file is looked for
    page[19] = 1;  // read version
    put32(page, 28, pageCount);
    std::copy(page.begin() + 24, page.begin() + 28, page.begin() + 92);
    put32(page, 96, static_cast<uint32_t>(SQLITE_VERSION_NUMBER));
}

bool samePageOne(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size() || a.size() < kHeaderSize) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const bool rewritten =
            (i >= 18 && i < 20) || (i >= 24 && i < 32) || (i >= 40 && i < 44) || (i >= 92 && i < 100);
        if (!rewritten && a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace backupservice
