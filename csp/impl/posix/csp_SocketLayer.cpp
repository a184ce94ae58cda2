#include "csp/impl/csp_SocketLayer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace {
std::atomic<int> layerUsers{0};

template <class Call>
auto retryInterrupted(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// poll() for one descriptor, resumed with the time left after a signal.
int waitFor(int descriptor, short events, int timeoutMilliseconds) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMilliseconds);
    pollfd entry{descriptor, events, 0};
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        const int result = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (result < 0 && errno == EINTR) continue;
        if (result > 0 && (entry.revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        return result;
    }
}

// A negative length would read as a huge size_t; the system is never asked.
bool refuseNegative(int length) {
    if (length >= 0) return false;
    errno = EINVAL;
    return true;
}

constexpr size_t firstResolverBuffer = 1024;
constexpr size_t largestResolverBuffer = 1024 * 1024;

// Runs a re-entrant resolver call, growing its buffer until the entry fits,
// and copies the entry before the buffer goes.
template <class ResolverCall>
std::optional<csp_Host> resolve(ResolverCall call) {
    std::vector<char> buffer(firstResolverBuffer);
    for (;;) {
        hostent entry{};
        hostent* found = nullptr;
        int hostError = 0;
        const int status = call(&entry, buffer.data(), buffer.size(), &found, &hostError);
        if (status == ERANGE && buffer.size() < largestResolverBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0 || found == nullptr) return std::nullopt;
        return csp_Host(*found);
    }
}

int awaitConnection(int descriptor, int timeoutMilliseconds) {
    const int ready = waitFor(descriptor, POLLOUT, timeoutMilliseconds);
    if (ready < 0) return -1;
    if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}
}  // namespace

void csp_SocketLayer::start() { layerUsers.fetch_add(1); }

void csp_SocketLayer::cleanup() { layerUsers.fetch_sub(1); }

int csp_SocketLayer::users() { return layerUsers.load(); }

int csp_SocketLayer::lastError() { return errno; }

void csp_SocketLayer::setLastError(int error) { errno = error; }

std::string csp_SocketLayer::errorText(int error) { return std::strerror(error); }

bool csp_SocketLayer::wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool csp_SocketLayer::endsConversation(int error) {
    return error == ECONNRESET || error == ESHUTDOWN || error == EPIPE;
}

bool csp_SocketLayer::acceptAgain(int error) { return error == ECONNABORTED || error == EPROTO; }

std::string csp_SocketLayer::limitNote(int error) {
    rlimit limit{};
    if ((error != EMFILE && error != ENFILE) || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) return "";
    return " (at most " + std::to_string(limit.rlim_cur) + " open descriptors)";
}

int csp_SocketLayer::open(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

void csp_SocketLayer::close(int descriptor) { ::close(descriptor); }

int csp_SocketLayer::connect(int descriptor, const sockaddr* record, socklen_t length, int timeoutMilliseconds) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    int result = ::connect(descriptor, record, length);
    if (result < 0 && (errno == EINPROGRESS || errno == EINTR)) result = awaitConnection(descriptor, timeoutMilliseconds);
    const int error = errno;
    ::fcntl(descriptor, F_SETFL, flags);
    errno = error;
    return result;
}

int csp_SocketLayer::accept(int descriptor, sockaddr* record, socklen_t* length) {
    return retryInterrupted([&] { return ::accept4(descriptor, record, length, SOCK_CLOEXEC); });
}

int csp_SocketLayer::send(int descriptor, const void* data, int length) {
    if (refuseNegative(length)) return -1;
    return static_cast<int>(
        retryInterrupted([&] { return ::send(descriptor, data, static_cast<size_t>(length), MSG_NOSIGNAL); }));
}

int csp_SocketLayer::sendAvailable(int descriptor, const void* data, int length) {
    if (refuseNegative(length)) return -1;
    return static_cast<int>(retryInterrupted(
        [&] { return ::send(descriptor, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT); }));
}

int csp_SocketLayer::receive(int descriptor, void* buffer, int length) {
    if (refuseNegative(length)) return -1;
    return static_cast<int>(retryInterrupted([&] { return ::recv(descriptor, buffer, static_cast<size_t>(length), 0); }));
}

int csp_SocketLayer::receiveAvailable(int descriptor, void* buffer, int length) {
    if (refuseNegative(length)) return -1;
    return static_cast<int>(
        retryInterrupted([&] { return ::recv(descriptor, buffer, static_cast<size_t>(length), MSG_DONTWAIT); }));
}

int csp_SocketLayer::receiveFrom(int descriptor, void* buffer, int length, sockaddr* from, socklen_t* fromLength) {
    if (refuseNegative(length)) return -1;
    return static_cast<int>(retryInterrupted(
        [&] { return ::recvfrom(descriptor, buffer, static_cast<size_t>(length), 0, from, fromLength); }));
}

int csp_SocketLayer::waitReadable(int descriptor, int timeoutMilliseconds) {
    if (descriptor < 0) {
        errno = EBADF;
        return -1;
    }
    return waitFor(descriptor, POLLIN, timeoutMilliseconds);
}

int csp_SocketLayer::waitWritable(int descriptor, int timeoutMilliseconds) {
    if (descriptor < 0) {
        errno = EBADF;
        return -1;
    }
    return waitFor(descriptor, POLLOUT, timeoutMilliseconds);
}

int csp_SocketLayer::waitInput(int descriptor, int timeoutMilliseconds, bool& dataWaiting) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMilliseconds);
    pollfd entry{descriptor, POLLIN, 0};
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        const int wait = timeoutMilliseconds < 0 ? -1 : (left > 0 ? static_cast<int>(left) : 0);
        const int result = ::poll(&entry, 1, wait);
        if (result < 0 && errno == EINTR) continue;
        dataWaiting = result > 0 && (entry.revents & POLLIN);
        return result;
    }
}

bool csp_SocketLayer::setBlocking(int descriptor, bool blocking) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0) return false;
    return ::fcntl(descriptor, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

std::optional<csp_Host> csp_SocketLayer::hostByName(const char* name) {
    return resolve([&](hostent* entry, char* buffer, size_t size, hostent** found, int* hostError) {
        return ::gethostbyname_r(name, entry, buffer, size, found, hostError);
    });
}

std::optional<csp_Host> csp_SocketLayer::hostByAddress(const in_addr& address) {
    return resolve([&](hostent* entry, char* buffer, size_t size, hostent** found, int* hostError) {
        return ::gethostbyaddr_r(&address, sizeof address, AF_INET, entry, buffer, size, found, hostError);
    });
}

bool csp_SocketLayer::hostName(char* buffer, int length) {
    return length >= 0 && ::gethostname(buffer, static_cast<size_t>(length)) == 0;
}
