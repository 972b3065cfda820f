// Where a download's body goes: a staged file in the current directory,
// created when the first byte arrives, while the bytes are watched for what
// decides whether the reply is a backup or the service's failure reply.
//
// When the file cannot be created or written, the body is still watched,
// storing nothing, so that a failure reply's reason can be shown: up to
// kUnstoredWatchLimit bytes of it, and not past the first bytes of a body
// that begins as an SQLite database (which is never a failure reply).
#pragma once

#include "SocketManager/DownloadResult.h"
#include "driver/BodyWatch.h"
#include "driver/Progress.h"
#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

class BackupBody : public BodyDestination {
public:
    // Why the body could not be kept.
    enum class Trouble { None, CannotCreate, CannotWrite };

    // The most bytes of a body watched for the failure marker once nothing
    // of it can be stored: a failure reply is a few hundred bytes.
    static constexpr std::int64_t kUnstoredWatchLimit = 1024 * 1024;

    // pProgress (not owned, may be null) shows the body's arrival.
    explicit BackupBody(Progress* pProgress);

    // Creates the staged file on the first call, writes the bytes and
    // watches them. Once the file cannot be created or written (Problem()
    // says why; the file is removed), the bytes are only watched; false
    // when watching them is no longer of use: the body begins as a
    // database, or has passed kUnstoredWatchLimit bytes.
    bool Append(const char* pBytes, std::size_t uLength) override;
    // Starts the progress line, with the declared length when there is one,
    // and returns how much of the body to read (BodyLengthToRead).
    std::int64_t HeaderEnds(const char* pHeader, std::int32_t iHeaderLength) override;
    // True once the failure marker and the whole tagged reason have arrived.
    bool Settled() const override { return HasFailureMarker() && m_reason.Complete(); }

    Trouble Problem() const { return m_trouble; }
    // The staged file's name ("" before the first byte) and the system's
    // code of its failed call.
    const char* FileName() const { return m_file.Name(); }
    int SystemError() const { return m_file.LastError(); }

    // Whether the body holds the service's failure marker anywhere (of a
    // body that could not be stored: within the bytes watched). A body that
    // begins with the SQLite file header is a database, whatever its rows
    // hold, and never a failure reply.
    bool HasFailureMarker() const { return !IsDatabase() && m_marker.Found() >= 0; }
    bool IsDatabase() const;
    // The body's first bytes, up to kSqliteHeaderSize of them.
    const std::string& Start() const { return m_start; }
    // The body's first bytes after its leading white space, up to
    // kWebPageLeadSize of them.
    const std::string& Lead() const { return m_lead; }
    // The failure reason as the service tagged it, read from the start of
    // the body up to its first NUL and cut to uSize - 1 bytes; "" when the
    // tags are missing. szReason holds uSize bytes.
    void Reason(char* szReason, std::size_t uSize) const;

    // Makes the staged file the backup szFinalName; false on failure
    // (SystemError() then says why), with nothing left behind unless
    // KeptAsStaged(): the whole backup then stays under FileName().
    bool Keep(const char* szFinalName) { return m_file.Commit(szFinalName); }
    bool KeptAsStaged() const { return m_file.Kept(); }
    // Removes the staged file, if any. The destructor does the same.
    void Drop() { m_file.Discard(); }

private:
    void Watch(const char* pBytes, std::size_t uLength);
    void Store(const char* pBytes, std::size_t uLength);

    Progress* m_pProgress;
    std::int64_t m_iReceived = 0;
    os::StagedFile m_file;
    Trouble m_trouble = Trouble::None;
    std::string m_start;  // the body's first bytes, as many as the SQLite file header has
    std::string m_lead;   // the first bytes after the leading white space, up to kWebPageLeadSize
    StreamSearch m_marker;
    TagValueWatch m_reason;
};
