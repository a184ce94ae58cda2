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
class csp_Socket {
public:
    enum csp_SocketShutdownMode { ShutdownReceives = 0, ShutdownSends = 1, ShutdownBoth = 2 };

    csp_Socket(int type, int family, int protocol);
    // Adopts an existing descriptor.
    explicit csp_Socket(int descriptor);
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
    void setDescriptor(int descriptor);
    bool isOpen() const;
    IPM_EXPORT void setToAutoClose(bool on);
    bool isAutoClose() const;
    // The socket holds no descriptor afterwards.
    IPM_EXPORT void close();
    // Closes, then opens a fresh descriptor.
    void reset(int type, int family, int protocol);

    void bind(const csp_SocketAddress& local);
    // The local address.
    csp_SocketAddress name() const;

    IPM_EXPORT void shutdown(csp_SocketShutdownMode mode);
    IPM_EXPORT void shutdown();
    IPM_EXPORT void shutdownSocketReceives();
    IPM_EXPORT void shutdownSocketSends();

    // Orderly end of the conversation: shuts the sending side, then drains
    // what the peer still sends, waiting at most 5 s for each piece, until
    // it closes, resets or falls silent. The descriptor stays open. Raises
    // omi_FatalError.
    IPM_EXPORT void disconnect();

    // Socket-level options.
    void setOption(int name, const char* value, int length);
    void getOption(int name, char* value, int* length) const;
    int getIntOption(int name) const;
    void setIntOption(int name, int value);
    bool getBoolOption(int name) const;
    void setBoolOption(int name, bool value);
    int getReceiveBufferSize() const;
    void setReceiveBufferSize(int size);
    int getSendBufferSize() const;
    void setSendBufferSize(int size);
    bool getReuseAddress() const;
    void setReuseAddress(bool on);
    // Routing on means the do-not-route option is off.
    bool getRouting() const;
    void setRouting(bool on);
    // Whether lingering is on; its time goes to `seconds`.
    bool getLinger(int& seconds) const;
    void setLinger(bool on, int seconds);
    int getType() const;
    // The pending error.
    int getError() const;

    // "Socket( 5 )" or "Socket( Socket is not open )".
    cow_String toString() const;

protected:
    unsigned short stateBits() const;
    void setStateBits(unsigned short bits);

private:
    // Closes the held descriptor when auto-closing, unless `incoming` is the same.
    void releaseFor(int incoming) noexcept;

    int descriptor;
    bool autoClose;
    unsigned short state;
};

aio_ostream& operator<<(aio_ostream& stream, const csp_Socket& socket);
