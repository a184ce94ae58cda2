#include "tools/listen/ipm_StandardInput.h"

#include <unistd.h>

#include <cerrno>

#include "csp/csp_NetworkException.h"

struct ipm_StandardInput::Reader {
    bool ended = false;
};

ipm_StandardInput::ipm_StandardInput() : reader(std::make_shared<Reader>()) {}

ipm_StandardInput::~ipm_StandardInput() = default;

// An input the system cannot wait on (closed) counts as ended.
void ipm_StandardInput::Watch(csp_WaitSet& waitSet, void* key) {
    try {
        watched = waitSet.add(STDIN_FILENO, csp_WaitSet::readable, key);
        waits = &waitSet;
    } catch (const csp_NetworkException&) {
        reader->ended = true;
    }
}

std::string ipm_StandardInput::Take() {
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return {};
    if (count <= 0) {
        reader->ended = true;
        Unwatch();
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(count));
}
