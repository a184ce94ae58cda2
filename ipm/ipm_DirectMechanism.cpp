#include "ipm/ipm_DirectMechanism.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/impl/ipm_MessageDocument.h"

namespace {

constexpr auto pollWait = std::chrono::milliseconds(60);
constexpr int readLimit = 2000;

// True when `descriptor` has data (or its end) to read within `limit`. A
// socket that can never become readable (one not connected reports a hang-up
// at once) still takes the whole wait, so the caller's loop keeps its pace.
bool waitReadable(int descriptor, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd watched{descriptor, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(limit.count()));
    if (ready > 0 && (watched.revents & POLLIN)) return true;
    if (ready > 0) std::this_thread::sleep_until(deadline);
    return false;
}

}  // namespace

ipm_DirectMechanism::ipm_DirectMechanism() : socket(csp_TcpSocket::NoBinding) {}

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
    const csp_IpAddress listener(options.ConstGetValue("listener_name"));
    const int port = std::atoi(options.ConstGetValue("direct_port").text());
    try {
        socket.connectTo(csp_SocketAddress(listener, port));
    } catch (...) {
        return false;
    }
    socket.setKeepAlives(true);
    socket.write(jobName.text(), jobName.length());
    return true;
}

cow_String ipm_DirectMechanism::Encode(const char* type, const char* format, int* integers, double* doubles,
                                       char** texts, bool started) {
    return ipm_MessageDocument::direct.Build(type, format, integers, doubles, texts, started, jobName);
}

void ipm_DirectMechanism::Close() { socket.shutdown(); }

void ipm_DirectMechanism::Transmit(const cow_String& document) { socket.write(document.text(), document.length()); }

void ipm_DirectMechanism::Poll() {
    if (!waitReadable(socket.getDescriptor(), pollWait)) return;
    char received[readLimit];
    const int count = socket.read(received, readLimit);
    if (count > 0 && std::string_view(received, static_cast<size_t>(count)).find("Kill") != std::string_view::npos)
        eli_setkillsig();
}
