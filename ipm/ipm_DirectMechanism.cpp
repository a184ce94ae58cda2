#include "ipm/ipm_DirectMechanism.h"

#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_WakeSignal.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/impl/ipm_DeliverySettings.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/impl/ipm_RequestLines.h"
#include "ipm/ipm_MessageTransmit.h"
#include "jcl/jcl_Message.h"

namespace {

constexpr auto pollWait = std::chrono::milliseconds(60);
constexpr int readLimit = 2000;

// True when `descriptor` has data (or its end) to read within `limit`; false
// as soon as `wake`, when given, is raised. A socket that can never become
// readable (one not connected reports a hang-up at once) still takes the
// whole wait, so the caller's loop keeps its pace.
bool waitReadable(int descriptor, std::chrono::milliseconds limit, const csp_WakeSignal* wake = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto outcome = csp_WakeSignal::waitReadable(descriptor, static_cast<int>(limit.count()), wake);
    if (outcome == csp_WakeSignal::Outcome::Readable) return true;
    if (outcome == csp_WakeSignal::Outcome::Unreadable) std::this_thread::sleep_until(deadline);
    return false;
}

// Digits only, 1 to 65535: a port that can never be reached is a setting
// to fix, not a listener to wait for.
int portFrom(const cow_String& text) {
    const std::string_view digits = text.view();
    if (digits.empty())
        throw std::invalid_argument("direct_port is not set: the direct transport needs the listener's port");
    const bool numeric = digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string_view::npos;
    const int port = numeric ? std::stoi(std::string(digits)) : 0;
    if (port < 1 || port > 65535)
        throw std::invalid_argument("direct_port \"" + std::string(digits) + "\" is not a port number");
    return port;
}

}  // namespace

ipm_DirectMechanism::ipm_DirectMechanism()
    : socket(csp_TcpSocket::NoBinding), requestLines(std::make_unique<ipm_RequestLines>()) {}

ipm_DirectMechanism::~ipm_DirectMechanism() {
    try {
        socket.disconnect();
        socket.close();
    } catch (...) {
        // The socket's own destruction closes the descriptor.
    }
}

bool ipm_DirectMechanism::Initialize() {
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    const int port = portFrom(options.ConstGetValue("direct_port"));
    const cow_String host = options.ConstGetValue("listener_name");
    listenerAddress = std::string(host.view()) + ":" + std::to_string(port);
    writeTimeout = static_cast<int>(thr_GlobalSingleton<ipm_MessageTransmit>::Instance().Settings().networkTimeout.count());
    socket = csp_TcpSocket(csp_TcpSocket::NoBinding);
    requestLines->Clear();
    try {
        socket.connectTo(csp_SocketAddress(csp_IpAddress(host), port));
    } catch (const csp_NetworkException& error) {
        // A failed system call leaves its reason in errno.
        const bool unknown = error.getKind() == invalid_host || error.getKind() == invalid_address;
        throw std::runtime_error("the listener at " + listenerAddress + " (" +
                                 (unknown ? "unknown host" : std::strerror(errno)) + ")");
    }
    socket.setKeepAlives(true);
    Write(jobName.view());
    return true;
}

cow_String ipm_DirectMechanism::Encode(const char* type, const char* format, int* integers, double* doubles,
                                       char** texts, bool started) {
    return ipm_MessageDocument::direct.Build(type, format, integers, doubles, texts, started, jobName);
}

std::string_view ipm_DirectMechanism::EncodeInto(ipm_DocumentRoom& room, const char* type, const char* format,
                                                 int* integers, double* doubles, char** texts, bool started) {
    return ipm_MessageDocument::direct.BuildInto(room, type, format, integers, doubles, texts, started, jobName);
}

void ipm_DirectMechanism::Close() { socket.shutdown(); }

void ipm_DirectMechanism::Transmit(const cow_String& document) { Write(document.view()); }

void ipm_DirectMechanism::TransmitSeveral(const std::vector<std::string_view>& documents) {
    std::string joined;
    for (std::string_view document : documents) joined += document;
    Write(joined);
}

void ipm_DirectMechanism::Write(std::string_view bytes) {
    if (bytes.size() > INT_MAX) throw std::length_error("document too large to send");
    socket.writeAll(bytes.data(), static_cast<int>(bytes.size()), writeTimeout);
}

bool ipm_DirectMechanism::AwaitRequests(const csp_WakeSignal& wake) {
    return waitReadable(socket.getDescriptor(), pollWait, &wake);
}

void ipm_DirectMechanism::Poll() {
    if (!waitReadable(socket.getDescriptor(), pollWait)) return;
    char received[readLimit];
    const int count = socket.read(received, readLimit);
    // A listener that has gone is noticed here, before documents are
    // written into a connection nobody reads.
    if (count == 0) {
        const std::string reason = "the listener at " + listenerAddress + " closed the connection";
        throw csp_NetworkException(eof_encountered, cow_String(std::string_view(reason)));
    }
    if (count <= 0) return;
    const std::string_view bytes(received, static_cast<size_t>(count));
    requestLines->Feed(bytes);
    if (bytes.find(jcl_Message::killRequest) != std::string_view::npos) eli_setkillsig();
}
