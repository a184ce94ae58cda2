#pragma once

#include "csp/csp_SocketAddress.h"
#include "foundation/aio_ostream.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// A system socket descriptor with its options, binding and orderly shut-down.
// Copies share the descriptor; a copy that auto-closes closes it for all when
// destroyed, so hand the closing over with setToAutoClose(false). A move
// takes the descriptor away from its source. Failing system calls raise
// csp_NetworkException (system_call_failure).
class IPM_EXPORT csp_Socket {
public:
    enum csp_SocketShutdownMode { ShutdownReceives = 0, ShutdownSends = 1, ShutdownBoth = 2 };

    IPM_HIDDEN csp_Socket(int type, int family, int protocol);
    // Adopts an existing descriptor.
    IPM_HIDDEN explicit csp_Socket(int descriptor);
    IPM_EXPORT csp_Socket(const csp_Socket& other);
    IPM_EXPORT csp_Socket(csp_Socket&& other) noexcept;
    // Never raises.
    IPM_EXPORT virtual ~csp_Socket();

    // Both release what this object held (closing it when auto-closing and
    // not the source's descriptor) before taking the source's fields.
    IPM_EXPORT csp_Socket& operator=(const csp_Socket& other);
    IPM_EXPORT csp_Socket& operator=(csp_Socket&& other) noexcept;

    IPM_EXPORT int getDescriptor() const;
    // Nothing is closed.
    IPM_HIDDEN void setDescriptor(int descriptor);
    IPM_HIDDEN bool isOpen() const;
    IPM_EXPORT void setToAutoClose(bool on);
    IPM_HIDDEN bool isAutoClose() const;
    // The socket holds no descriptor afterwards.
    IPM_EXPORT void close();
    // Closes, then opens a fresh descriptor.
    IPM_HIDDEN void reset(int type, int family, int protocol);

    IPM_HIDDEN void bind(const csp_SocketAddress& local);
    // Takes connections, at most `backlog` waiting to be accepted; by
    // default the system's largest, so that a burst is not turned away.
    IPM_EXPORT void listen(int backlog = SOMAXCONN);
    // The local address.
    IPM_EXPORT csp_SocketAddress name() const;

    IPM_EXPORT void shutdown(csp_SocketShutdownMode mode);
    IPM_EXPORT void shutdown();
    IPM_EXPORT void shutdownSocketReceives();
    IPM_EXPORT void shutdownSocketSends();
    // Shuts both ways, raising nothing: false when the system refuses (the
    // socket already shut or never connected). A thread waiting on the
    // socket wakes and sees its end.
    IPM_EXPORT bool tryShutdown() noexcept;

    // Orderly end of the conversation: shuts the sending side, then drains
    // what the peer still sends until it closes, resets or falls silent, for
    // at most 5 s in all. The descriptor stays open. Raises
    // omi_FatalError.
    IPM_EXPORT void disconnect();

    // Socket-level options.
    IPM_HIDDEN void setOption(int name, const char* value, int length);
    IPM_HIDDEN void getOption(int name, char* value, int* length) const;
    IPM_HIDDEN int getIntOption(int name) const;
    IPM_HIDDEN void setIntOption(int name, int value);
    IPM_HIDDEN bool getBoolOption(int name) const;
    IPM_HIDDEN void setBoolOption(int name, bool value);
    IPM_HIDDEN int getReceiveBufferSize() const;
    IPM_HIDDEN void setReceiveBufferSize(int size);
    IPM_HIDDEN int getSendBufferSize() const;
    IPM_HIDDEN void setSendBufferSize(int size);
    IPM_HIDDEN bool getReuseAddress() const;
    IPM_EXPORT void setReuseAddress(bool on);
    // Routing on means the do-not-route option is off.
    IPM_HIDDEN bool getRouting() const;
    IPM_HIDDEN void setRouting(bool on);
    // Whether lingering is on; its time goes to `seconds`.
    IPM_HIDDEN bool getLinger(int& seconds) const;
    // Lingering on with 0 s makes close() reset the connection.
    IPM_EXPORT void setLinger(bool on, int seconds);
    IPM_HIDDEN int getType() const;
    // The pending error.
    IPM_HIDDEN int getError() const;

    // "Socket( 5 )" or "Socket( Socket is not open )".
    IPM_HIDDEN cow_String toString() const;

protected:
    IPM_HIDDEN unsigned short stateBits() const;
    IPM_HIDDEN void setStateBits(unsigned short bits);

private:
    // Closes the held descriptor when auto-closing, unless `incoming` is the same.
    IPM_HIDDEN void releaseFor(int incoming) noexcept;

    int descriptor;
    bool autoClose;
    unsigned short state;
};

aio_ostream& operator<<(aio_ostream& stream, const csp_Socket& socket);
