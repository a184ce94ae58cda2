#include "tools/listen/ipm_StopRequest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

int stopWriter = -1;

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
    if (::pipe2(pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot create the stop pipe: ") + std::strerror(errno));
    }
    stopWriter = pipe[1];
    setHandler(SIGINT, &requestStop);
    setHandler(SIGTERM, &requestStop);
    setHandler(SIGPIPE, SIG_IGN);
}

ipm_StopRequest::~ipm_StopRequest() {
    setHandler(SIGINT, SIG_DFL);
    setHandler(SIGTERM, SIG_DFL);
    stopWriter = -1;
    ::close(pipe[0]);
    ::close(pipe[1]);
}
