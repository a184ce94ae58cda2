#include "ipm/ipm_MessageTask.h"

#include <string_view>

#include "foundation/cow_String.h"
#include "ipm/impl/ipm_DocumentQueue.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
constexpr unsigned int pauseAfterMessage = 60;
constexpr unsigned int pauseAfterTurn = 100;

// Only the taking is done under the buffer lock, so senders never wait for
// the network. A transmission that throws marks the transmitter failed; the
// rest of the batch is dropped.
void sendBuffered(ipm_MessageTransmit& transmitter) {
    ipm_DocumentQueue batch = transmitter.TakeMessages();
    batch.Visit([&transmitter](std::string_view document) {
        try {
            transmitter.TransmitMessage(cow_String(document));
        } catch (...) {
            transmitter.SetFailed();
            return false;
        }
        transmitter.Pause(pauseAfterMessage);
        return true;
    });
    transmitter.ReturnMessages(batch);
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
        transmitter.Pause(pauseAfterTurn);
    }
}
