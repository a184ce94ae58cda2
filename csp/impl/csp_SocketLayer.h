#pragma once

#include <sys/socket.h>

// The system's socket layer as the socket classes see it. Every socket
// object holds one start-up from construction to destruction, so the count
// tells how many socket objects live. The calls create close-on-exec
// descriptors, never raise SIGPIPE, and are retried when a signal interrupts
// them; on failure they return -1 and lastError() tells why.
class csp_SocketLayer {
public:
    static void start();
    static void cleanup();
    static int users();

    static int lastError();
    // True for the errors that mean the peer reset or shut down the stream.
    static bool endsConversation(int error);

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
    static int receiveFrom(int descriptor, void* buffer, int length, sockaddr* from, socklen_t* fromLength);
    // 1 when data or an end of stream waits, 0 after the time-out, -1 on failure.
    static int waitReadable(int descriptor, int timeoutMilliseconds);
    // The same for room to write.
    static int waitWritable(int descriptor, int timeoutMilliseconds);
};
