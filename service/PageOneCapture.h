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
//
// Beside it are the rules of page 1 that a copy's first page follows.
#pragma once

#include <cstdint>
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

// Makes a copied page 1 describe a file that opens on its own: rollback-
// journal mode (bytes 18 and 19), `pageCount` pages, and a change counter
// equal to its version-valid-for number so that the size is believed. A
// page shorter than the 100-byte header is left as it is.
void makeSelfContained(std::vector<unsigned char>& page, uint32_t pageCount);

// Whether two copies of page 1 agree apart from the fields a copy rewrites:
// 18-19 (journal mode), 24-31 (change counter, page count), 40-43 (schema
// cookie) and 92-99 (version-valid-for number, SQLite version). False for
// pages of different sizes or shorter than the header.
bool samePageOne(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b);

}  // namespace backupservice
