#pragma once

// csp_WaitSet's events in the terms of poll() and WSAPoll(), which share
// their flags; included after the platform's declarations of them.
namespace csp_PollEvents {

inline short asked(unsigned interest) {
    return static_cast<short>(((interest & csp_WaitSet::readable) ? POLLIN : 0) |
                              ((interest & csp_WaitSet::writable) ? POLLOUT : 0));
}

// A hang-up or error is found by the read or write the caller makes next.
inline unsigned found(short polled, unsigned interest) {
    unsigned events = 0;
    if (polled & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) events |= csp_WaitSet::readable;
    if (polled & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) events |= csp_WaitSet::writable;
    return events & interest;
}

}  // namespace csp_PollEvents
