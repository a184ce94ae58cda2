#include "csp/csp_WakeSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

csp_WakeSignal::csp_WakeSignal() : descriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

csp_WakeSignal::~csp_WakeSignal() {
    if (descriptor >= 0) ::close(descriptor);
}

void csp_WakeSignal::raise() {
    if (descriptor >= 0) static_cast<void>(::eventfd_write(descriptor, 1));
}

void csp_WakeSignal::lower() {
    eventfd_t raised;
    if (descriptor >= 0) static_cast<void>(::eventfd_read(descriptor, &raised));
}

// poll() skips a negative descriptor, so a socket or wake that is not there
// is simply not watched. A signal resumes the wait with the time left.
csp_WakeSignal::Outcome csp_WakeSignal::waitReadable(int descriptor, int timeoutMilliseconds,
                                                     const csp_WakeSignal* wake) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMilliseconds);
    pollfd watched[] = {{descriptor, POLLIN, 0}, {wake ? wake->descriptor : -1, POLLIN, 0}};
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        const int ready = ::poll(watched, 2, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Outcome::Unreadable;
        if (watched[0].revents & POLLIN) return Outcome::Readable;
        if (watched[0].revents) return Outcome::Unreadable;
        return ready > 0 ? Outcome::Woken : Outcome::TimedOut;
    }
}
