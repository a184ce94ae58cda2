#include "tools/listen/ipm_StopRequest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace {

std::mutex usersLock;
int users = 0;
int stopPipe[2] = {-1, -1};
// Read by the signal handler, which cannot take the lock.
volatile sig_atomic_t stopWriter = -1;

void requestStop(int) {
    const int saved = errno;
    const char byte = 's';
    [[maybe_unused]] const ssize_t ignored = ::write(stopWriter, &byte, 1);
    errno = saved;
}

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

ipm_StopRequest::ipm_StopRequest() {
    std::lock_guard guard(usersLock);
    if (users++ > 0) return;
    if (::pipe2(stopPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        users = 0;
        throw std::runtime_error(std::string("cannot create the stop pipe: ") + std::strerror(errno));
    }
    stopWriter = stopPipe[1];
    setHandler(SIGINT, &requestStop);
    setHandler(SIGTERM, &requestStop);
    setHandler(SIGPIPE, SIG_IGN);
}

ipm_StopRequest::~ipm_StopRequest() {
    std::lock_guard guard(usersLock);
    if (--users > 0) return;
    setHandler(SIGINT, SIG_DFL);
    setHandler(SIGTERM, SIG_DFL);
    stopWriter = -1;
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
}

void ipm_StopRequest::Watch(csp_WaitSet& waits, void* key) const { waits.add(stopPipe[0], csp_WaitSet::readable, key); }

// From a thread of the process, which can take the lock: the stop it asks
// for may be ending at the same time.
void ipm_StopRequest::Ask() {
    std::lock_guard guard(usersLock);
    requestStop(0);
}
