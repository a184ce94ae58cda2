#include "tools/listen/ipm_StopRequest.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "csp/csp_WakeSignal.h"

namespace {

std::mutex usersLock;
int users = 0;
std::unique_ptr<csp_WakeSignal> stopWake;
// Read by the console's handler thread, which cannot take the lock.
std::atomic<csp_WakeSignal*> raised{nullptr};

// The system calls it on a thread of its own; the loop ends in its time.
BOOL WINAPI requestStop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (csp_WakeSignal* wake = raised.load()) wake->raise();
    return TRUE;
}

}  // namespace

ipm_StopRequest::ipm_StopRequest() {
    std::lock_guard guard(usersLock);
    if (users++ > 0) return;
    stopWake = std::make_unique<csp_WakeSignal>();
    raised = stopWake.get();
    if (!::SetConsoleCtrlHandler(&requestStop, TRUE)) {
        users = 0;
        raised = nullptr;
        stopWake.reset();
        throw std::runtime_error("cannot watch for Ctrl-C: error " + std::to_string(::GetLastError()));
    }
}

ipm_StopRequest::~ipm_StopRequest() {
    std::lock_guard guard(usersLock);
    if (--users > 0) return;
    ::SetConsoleCtrlHandler(&requestStop, FALSE);
    raised = nullptr;
    stopWake.reset();
}

void ipm_StopRequest::Watch(csp_WaitSet& waits, void* key) const { waits.add(*stopWake, key); }

// From a thread of the process, which can take the lock: the stop it asks
// for may be ending at the same time.
void ipm_StopRequest::Ask() {
    std::lock_guard guard(usersLock);
    requestStop(CTRL_C_EVENT);
}
