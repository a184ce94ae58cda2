#pragma once

#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

// TLS on a connected socket, as a Jabber client needs it after STARTTLS: the
// server's certificate must chain to a trusted authority (the system's store,
// or one CA file) and name the server's domain. The descriptor is switched
// to non-blocking so that every wait is bounded; the owner keeps and closes it.
class jcl_TlsChannel {
public:
    // Handshakes within `milliseconds`. Throws csp_NetworkException naming
    // the cause (certificate, name, time-out, handshake).
    jcl_TlsChannel(int descriptor, const std::string& domain, const std::string& caFile, int milliseconds);
    // Sends the closing alert if the socket takes it at once; never throws.
    ~jcl_TlsChannel();
    jcl_TlsChannel(const jcl_TlsChannel&) = delete;
    jcl_TlsChannel& operator=(const jcl_TlsChannel&) = delete;

    // Waits up to `milliseconds` (without limit when 0 or less) for data:
    // the count read, 0 once the server has closed, -1 when nothing came.
    // Throws csp_NetworkException when the connection fails.
    int Read(char* buffer, int size, int milliseconds);
    // Decrypted bytes are waiting that the socket no longer shows.
    bool Pending() const;
    // Writes everything within `milliseconds`, else throws csp_NetworkException.
    void Write(const char* data, int length, int milliseconds);

private:
    template <class Operation>
    int Drive(Operation operation, int milliseconds, const char* what);

    void Handshake(const std::string& domain, const std::string& caFile, int milliseconds);

    int descriptor;
    // Freed also when the handshake fails and the constructor throws.
    std::unique_ptr<ssl_ctx_st, void (*)(ssl_ctx_st*)> context;
    std::unique_ptr<ssl_st, void (*)(ssl_st*)> session;
};
