#include "csp/impl/csp_SocketLayer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

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

bool csp_SocketLayer::endsConversation(int error) {
    return error == ECONNRESET || error == ESHUTDOWN || error == EPIPE;
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
