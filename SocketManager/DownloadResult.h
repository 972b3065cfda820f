// The record that receives one HTTP reply, and where its body goes.
#pragma once

#include <cstddef>
#include <cstdint>

// Takes a reply's body as it arrives. The caller of HTTPConnection::Download
// provides it; the exchange hands it every byte after the header's blank
// line, in arrival order, and keeps none of them.
class BodyDestination {
public:
    virtual ~BodyDestination() = default;
    // Takes the next uLength (> 0) bytes of the body; the exchange owns
    // pBytes and reuses it after the call. False when they cannot be kept:
    // the exchange then ends at once and fails; the destination's owner
    // reports why.
    virtual bool Append(const char* pBytes, std::size_t uLength) = 0;
    // HeaderEnds's answer when the body ends with the connection.
    static constexpr std::int64_t kUntilClose = -1;
    // Called once, before the first Append, when the header's blank line
    // has arrived: pHeader holds the iHeaderLength bytes before it (not
    // owned, valid during the call). Not called for a reply without one.
    // Returns how many body bytes the exchange is to read before it ends:
    // kUntilClose for all the server sends, 0 when the header alone
    // settles the reply (a refusal), else the declared length.
    virtual std::int64_t HeaderEnds(const char* /*pHeader*/, std::int32_t /*iHeaderLength*/) { return kUntilClose; }
    // Asked after each Append: true when the bytes so far settle the reply
    // (a failure reply with its reason), so that the exchange ends at once.
    virtual bool Settled() const { return false; }
};

// Why an exchange failed, as far as the exchange can tell, for the run's
// exit status. None when it did not fail, or when only the reply's content
// (judged by the driver) or the destination's refusal is at fault.
enum class ExchangeFailure : std::uint8_t {
    None,
    Network,  // no address, no connection, a time-out, too slow, a reset
    Tls,      // the TLS handshake or the certificate check failed
    Protocol  // the reply broke HTTP: no blank line within the header bound
};

// Allocated with every field zero by the caller, who sets pBodyDestination,
// filled by HTTPConnection::Download, and freed by the caller: pData with
// delete[] whenever it is not null, whatever the result, then the record.
// Only the part of the reply before the body is held in memory, and never
// more than HTTPConnection::kHeaderLimit bytes of it.
struct DownloadResult {
    BodyDestination* pBodyDestination;  // the caller's; receives the body
    char* pData;                        // the header up to and including its blank line; the
                                        // whole reply when it has none; then one spare byte
    std::int32_t iDataLength;           // bytes in pData, the spare one not counted
    std::int64_t iBodyLength;           // bytes handed to pBodyDestination
    std::int32_t iHeaderEnd;            // where the separator used begins in pData, or -1
    std::int64_t iExcessLength;         // bytes past the length HeaderEnds gave, received in the
                                        // reads that completed the body; never handed over
    bool bEndedByError;                 // the reply ended with a receive error or exception
                                        // readiness, not the server's close or a time-out
    bool bNoCloseNotify;                // over TLS: the reply ended other than by the server's
                                        // close_notify (a time-out, an error, the connection's
                                        // end), so only a declared size can prove it whole
    ExchangeFailure eFailure;           // why Download returned false, where it can tell; when it
                                        // returned true, Network if a time-out, a send or a
                                        // receive error ended the reply (it may still be whole)
};
