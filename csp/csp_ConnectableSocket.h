#pragma once

#include "csp_SystemSockets.h"

#include <string>

#include "csp/csp_Socket.h"
#include "csp/csp_SocketAddress.h"
#include "foundation/aio_ostream.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// A socket that connects to a peer and carries a byte stream, with a stream
// state: end of stream seen, failed, and whether an end of stream raises.
class IPM_EXPORT csp_ConnectableSocket : public csp_Socket {
public:
    enum StreamState : unsigned short { EndOfFile = 1, Failed = 2, ThrowAtEndOfFile = 4 };

    IPM_HIDDEN csp_ConnectableSocket(int type, int family, int protocol);
    IPM_HIDDEN explicit csp_ConnectableSocket(int descriptor);
    IPM_EXPORT csp_ConnectableSocket(const csp_ConnectableSocket& other);
    IPM_EXPORT csp_ConnectableSocket(csp_ConnectableSocket&& other) noexcept;
    IPM_EXPORT ~csp_ConnectableSocket() override;
    IPM_EXPORT csp_ConnectableSocket& operator=(const csp_ConnectableSocket& other);
    IPM_EXPORT csp_ConnectableSocket& operator=(csp_ConnectableSocket&& other) noexcept;

    // Gives up when the peer does not answer within the connect time limit.
    // Success clears every state but ThrowAtEndOfFile.
    IPM_EXPORT void connectTo(const csp_SocketAddress& peer);
    // The time limit of every later connectTo, process-wide; 10 s at start.
    IPM_EXPORT static void setConnectTimeout(int milliseconds);

    // One send; returns the count sent, or -1 at once when Failed is set.
    // Raises write_failed (and sets Failed) when the send fails.
    IPM_EXPORT int write(const void* data, int length);
    // Writes all `length` bytes, however many sends it takes, within
    // `timeoutMilliseconds` in all; a peer that takes them no faster raises
    // write_failed ("timed out") and sets Failed, as a failing send does.
    IPM_EXPORT void writeAll(const void* data, int length, int timeoutMilliseconds);
    // One receive; returns the count received, 0 at end of stream (or for a
    // request of 0 bytes, which asks the system nothing), or -1 at
    // once when Failed is set. Raises read_failed (and sets Failed) when the
    // receive fails, and eof_encountered at the first end of stream when
    // ThrowAtEndOfFile is set.
    IPM_EXPORT int read(void* buffer, int length);
    // For a loop that waits on many sockets: neither call waits, and neither
    // raises. One receive: the count received, 0 at end of stream, or -1 when
    // nothing has arrived yet (`failure` empty) or the receive failed, which
    // sets Failed and puts the system's words in `failure`.
    IPM_EXPORT int readAvailable(void* buffer, int length, std::string& failure);
    // Sends what the socket takes now: the count sent, maybe 0, or -1 when the
    // send failed, as readAvailable says.
    IPM_EXPORT int writeAvailable(const void* data, int length, std::string& failure);
    // -1 unless isGood(); `from` is left as it is.
    IPM_HIDDEN int receiveFrom(csp_SocketAddress& from, char* buffer, int length);

    // For a loop of its own around readAvailable and writeAvailable: true
    // when data, the stream's end or a failure waits (room to write, for
    // waitWritable) within `timeoutMilliseconds`, which may be 0; never raises.
    IPM_EXPORT bool waitReadable(int timeoutMilliseconds) const;
    IPM_EXPORT bool waitWritable(int timeoutMilliseconds) const;

    IPM_EXPORT csp_SocketAddress peerAddress() const;
    IPM_EXPORT bool isConnected() const;

    IPM_HIDDEN bool isGood() const;
    IPM_HIDDEN bool isReadable() const;
    IPM_HIDDEN bool isAtEndOfFile() const;
    IPM_HIDDEN bool throwsAtEndOfFile() const;
    IPM_HIDDEN void setThrowAtEndOfFile(bool on);
    // Every given bit is set.
    IPM_HIDDEN bool hasState(unsigned short bits) const;

    // "ConnectableSocket( 5, SocketAddress( .. ) )", or with "connection is
    // not defined" / "connection is not currently opened".
    IPM_HIDDEN cow_String toString() const;

protected:
    IPM_EXPORT void connectTo(sockaddr* record, int length);

private:
    // After a call that failed: Failed and the system's words, unless the
    // call would only have had to wait (`failure` is then empty).
    IPM_HIDDEN void settleFailure(std::string& failure);
};

aio_ostream& operator<<(aio_ostream& stream, const csp_ConnectableSocket& socket);
