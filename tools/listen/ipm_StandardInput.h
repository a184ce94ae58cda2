#pragma once

#include <memory>
#include <string>

#include "csp/csp_WaitSet.h"

// Standard input as the listener's loop waits for it, beside its sockets.
// Each platform has its side (posix/, windows/): POSIX waits on the
// descriptor itself; Windows, whose socket wait watches no console or pipe,
// reads it on a thread of its own that hands the bytes over and wakes the
// loop.
class ipm_StandardInput {
public:
    ipm_StandardInput();
    ~ipm_StandardInput();
    ipm_StandardInput(const ipm_StandardInput&) = delete;
    ipm_StandardInput& operator=(const ipm_StandardInput&) = delete;

    // Adds one place, found readable when Take() has something to say; one
    // never found once the input has ended.
    void Watch(csp_WaitSet& waits) const;
    // What has arrived since the last call, at most a few kilobytes; empty
    // when nothing has (the input may have ended then).
    std::string Take();

private:
    struct Reader;
    std::shared_ptr<Reader> reader;
};
