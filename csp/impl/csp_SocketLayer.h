#pragma once

#include "csp_SystemSockets.h"

#include <optional>
#include <string>

#include "csp/impl/csp_Host.h"

// The system's socket layer as the socket classes see it; each platform has
// its own implementation (impl/posix, impl/windows). Every socket object
// holds one start-up from construction to destruction, so the count tells how
// many socket objects live. The calls create descriptors that child
// processes do not inherit, never raise SIGPIPE, and are retried when a
// signal interrupts them; on failure they return -1 and lastError() tells
// why, in the platform's own error numbers.
class csp_SocketLayer {
public:
    static void start();
    static void cleanup();
    static int users();

    static int lastError();
    static void setLastError(int error);
    // The system's words for an error number.
    static std::string errorText(int error);
    // True for the error of a call that would have had to wait.
    static bool wouldBlock(int error);
    // True for the errors that mean the peer reset or shut down the stream.
    static bool endsConversation(int error);
    // True for the errors of an accept that the next try may not meet: the
    // waiting connection went before it was taken.
    static bool acceptAgain(int error);
    // What to add to errorText() for an error that says the process holds too
    // many descriptors: how many it may hold. Empty for other errors.
    static std::string limitNote(int error);

    static int open(int family, int type, int protocol);
    static void close(int descriptor);
    // Waits at most `timeoutMilliseconds` for the peer to answer; a time-out
    // fails with ETIMEDOUT. The descriptor's blocking mode is kept.
    static int connect(int descriptor, const sockaddr* record, socklen_t length, int timeoutMilliseconds);
    static int accept(int descriptor, sockaddr* record, socklen_t* length);
    static int send(int descriptor, const void* data, int length);
    // Sends as much as the socket takes now, without blocking.
    static int sendAvailable(int descriptor, const void* data, int length);
    static int receive(int descriptor, void* buffer, int length);
    // Receives what has arrived, without blocking.
    static int receiveAvailable(int descriptor, void* buffer, int length);
    static int receiveFrom(int descriptor, void* buffer, int length, sockaddr* from, socklen_t* fromLength);
    // 1 when data or an end of stream waits, 0 after the time-out, -1 on failure.
    static int waitReadable(int descriptor, int timeoutMilliseconds);
    // The same for room to write.
    static int waitWritable(int descriptor, int timeoutMilliseconds);
    // Waits for input, for ever when the time-out is negative: >0 when
    // something happened, and `dataWaiting` tells whether that is data or the
    // stream's end (rather than a socket that can never be read), 0 after the
    // time-out, -1 on failure.
    static int waitInput(int descriptor, int timeoutMilliseconds, bool& dataWaiting);
    // Switches the descriptor between blocking and non-blocking calls; false
    // when the system refuses.
    static bool setBlocking(int descriptor, bool blocking);

    // The resolver. Entries are copied before the next resolver call; no
    // entry gives nothing.
    static std::optional<csp_Host> hostByName(const char* name);
    static std::optional<csp_Host> hostByAddress(const in_addr& address);
    // The machine's name; false when the system does not tell it.
    static bool hostName(char* buffer, int length);
};
