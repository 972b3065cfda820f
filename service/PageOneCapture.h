// Page 1 of a database as one read transaction sees it.
//
// A copy made with SQLite's backup API writes its first page only when the
// copy is complete, yet a download must begin with that page. Connections
// opened through pageOneCaptureVfs() pass every read through a thin layer
// that keeps the latest read of page 1, from the database file or from its
// write-ahead log, made by the calling thread while a PageOneCapture is
// active there. Once a read transaction has begun, that latest read is the
// page the transaction sees: SQLite re-reads page 1 whenever another
// connection has changed the database since it last read it.
#pragma once

#include <vector>

namespace backupservice {

// The name to pass to sqlite3_open_v2(); registers the layer on first use.
// It forwards everything else to the default VFS unchanged.
const char* pageOneCaptureVfs();

// Collects page-1 reads made by this thread until stop() or destruction.
// At most one capture is active per thread; it is not shared between threads.
class PageOneCapture {
public:
    PageOneCapture();
    ~PageOneCapture();
    PageOneCapture(const PageOneCapture&) = delete;
    PageOneCapture& operator=(const PageOneCapture&) = delete;

    // Ends the capture; page() keeps the last page seen.
    void stop();
    // The last page 1 read (empty when none was seen).
    const std::vector<unsigned char>& page() const { return page_; }

    // Called by the layer with each read of page 1.
    void seen(const void* data, int size);

private:
    std::vector<unsigned char> page_;
    bool active_ = true;
};

}  // namespace backupservice
