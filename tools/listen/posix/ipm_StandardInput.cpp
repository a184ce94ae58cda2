#include "tools/listen/ipm_StandardInput.h"

#include <unistd.h>

#include <cerrno>

struct ipm_StandardInput::Reader {
    bool ended = false;
};

ipm_StandardInput::ipm_StandardInput() : reader(std::make_shared<Reader>()) {}

ipm_StandardInput::~ipm_StandardInput() = default;

void ipm_StandardInput::Watch(csp_WaitSet& waits) const { waits.add(reader->ended ? -1 : STDIN_FILENO); }

std::string ipm_StandardInput::Take() {
    char buffer[4096];
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) return {};
    if (count <= 0) {
        reader->ended = true;
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(count));
}
