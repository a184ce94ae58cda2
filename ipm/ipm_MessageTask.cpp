#include "ipm/ipm_MessageTask.h"

#include <mutex>

#include "foundation/cow_1DArrayList.h"
#include "foundation/utl_system.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
constexpr unsigned int pauseAfterMessage = 60;
constexpr unsigned int pauseAfterTurn = 100;

// Only the copy is made under the buffer lock, so senders never wait for the
// network.
cow_1DArrayList<cow_String> takeBuffered(ipm_MessageTransmit& transmitter) {
    std::lock_guard buffer(transmitter.BufferLock());
    cow_1DArrayList<cow_String> taken = transmitter.MessageBuffer();
    transmitter.ClearMessageBuffer();
    return taken;
}

// A transmission that throws marks the transmitter failed; the rest of the
// batch is dropped.
void sendBuffered(ipm_MessageTransmit& transmitter) {
    for (const cow_String& document : takeBuffered(transmitter)) {
        try {
            transmitter.TransmitMessage(document);
        } catch (...) {
            transmitter.SetFailed();
            return;
        }
        utl_sleep(pauseAfterMessage);
    }
}
}  // namespace

ipm_MessageTask::ipm_MessageTask() = default;

ipm_MessageTask::~ipm_MessageTask() = default;

void ipm_MessageTask::Run(unsigned int) {
    ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    for (;;) {
        try {
            transmitter.PollMechanism();
        } catch (...) {
            transmitter.SetFailed();
            return;
        }
        if (transmitter.Pending())
            sendBuffered(transmitter);
        else if (transmitter.StopRequested())
            return;
        utl_sleep(pauseAfterTurn);
    }
}
