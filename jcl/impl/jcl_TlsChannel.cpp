#include "jcl/impl/jcl_TlsChannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <limits>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(csp_NetworkErrorKind kind, const std::string& text) {
    throw csp_NetworkException(kind, cow_String(text.c_str()));
}

std::string OpenSslReason() {
    const unsigned long code = ERR_get_error();
    const int error = csp_SocketLayer::lastError();
    if (code == 0) return error ? csp_SocketLayer::errorText(error) : "connection closed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool IsAddress(const std::string& domain) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, domain.c_str(), &parsed) == 1;
}

// False when the deadline passed first.
bool WaitFor(int descriptor, bool forWriting, Clock::time_point deadline, bool unlimited) {
    for (;;) {
        int left = std::numeric_limits<int>::max();
        if (!unlimited) {
            const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (remaining <= 0) return false;
            left = static_cast<int>(remaining);
        }
        const int ready = forWriting ? csp_SocketLayer::waitWritable(descriptor, left)
                                     : csp_SocketLayer::waitReadable(descriptor, left);
        if (ready > 0) return true;
        if (ready < 0) {
            Fail(system_call_failure,
                 std::string("poll: ") + csp_SocketLayer::errorText(csp_SocketLayer::lastError()));
        }
    }
}

}  // namespace

jcl_TlsChannel::jcl_TlsChannel(int descriptor, const std::string& domain, const std::string& caFile,
                               int milliseconds)
    : descriptor(descriptor),
      context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free),
      session(nullptr, &SSL_free) {
    csp_SocketLayer::setBlocking(descriptor, false);
    try {
        Handshake(domain, caFile, milliseconds);
    } catch (...) {
        csp_SocketLayer::setBlocking(descriptor, true);
        throw;
    }
}

void jcl_TlsChannel::Handshake(const std::string& domain, const std::string& caFile, int milliseconds) {
    if (!context) Fail(system_call_failure, "cannot set up TLS: " + OpenSslReason());
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    const bool trusted = caFile.empty() ? SSL_CTX_set_default_verify_paths(context.get()) == 1
                                        : SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) == 1;
    if (!trusted) {
        Fail(system_call_failure,
             "cannot load the trusted certificates" + (caFile.empty() ? "" : " from " + caFile) + ": " +
                 OpenSslReason());
    }
    session.reset(SSL_new(context.get()));
    if (!session || SSL_set_fd(session.get(), descriptor) != 1) Fail(system_call_failure, "cannot set up TLS");
    if (IsAddress(domain)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session.get()), domain.c_str());
    } else {
        SSL_set_tlsext_host_name(session.get(), domain.c_str());
        SSL_set1_host(session.get(), domain.c_str());
    }
    if (Drive([this] { return SSL_connect(session.get()); }, milliseconds, "TLS handshake") > 0) return;
    Fail(system_call_timout, "the server did not complete the TLS handshake within " +
                                 std::to_string(milliseconds) + " ms");
}

jcl_TlsChannel::~jcl_TlsChannel() {
    SSL_shutdown(session.get());
    session.reset();
    csp_SocketLayer::setBlocking(descriptor, true);
}

// -1 when the time ran out, 0 when the server closed, else the operation's result.
template <class Operation>
int jcl_TlsChannel::Drive(Operation operation, int milliseconds, const char* what) {
    const bool unlimited = milliseconds <= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        ERR_clear_error();
        csp_SocketLayer::setLastError(0);
        const int result = operation();
        if (result > 0) return result;
        switch (SSL_get_error(session.get(), result)) {
            case SSL_ERROR_WANT_READ:
                if (!WaitFor(descriptor, false, deadline, unlimited)) return -1;
                break;
            case SSL_ERROR_WANT_WRITE:
                if (!WaitFor(descriptor, true, deadline, unlimited)) return -1;
                break;
            case SSL_ERROR_ZERO_RETURN:
                return 0;
            case SSL_ERROR_SYSCALL:
                if (csp_SocketLayer::lastError() == 0) return 0;
                Fail(read_failed,
                     std::string(what) + " failed: " + csp_SocketLayer::errorText(csp_SocketLayer::lastError()));
            default: {
                const long verdict = SSL_get_verify_result(session.get());
                if (verdict != X509_V_OK) {
                    Fail(read_failed, std::string("the server's certificate does not verify: ") +
                                          X509_verify_cert_error_string(verdict));
                }
                Fail(read_failed, std::string(what) + " failed: " + OpenSslReason());
            }
        }
    }
}

int jcl_TlsChannel::Read(char* buffer, int size, int milliseconds) {
    return Drive([&] { return SSL_read(session.get(), buffer, size); }, milliseconds, "reading from the server");
}

bool jcl_TlsChannel::Pending() const { return SSL_pending(session.get()) > 0; }

void jcl_TlsChannel::Write(const char* data, int length, int milliseconds) {
    while (length > 0) {
        const int written =
            Drive([&] { return SSL_write(session.get(), data, length); }, milliseconds, "writing to the server");
        if (written < 0) Fail(write_failed, "the server took nothing for " + std::to_string(milliseconds) + " ms");
        if (written == 0) Fail(write_failed, "the server closed the connection");
        data += written;
        length -= written;
    }
}
