#include "ipm/ipm_Messaging.h"

#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/eli_killsig.h"
#include "ipm/impl/ipm_DeliverySettings.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
ipm_TransmissionMechanism* newTransport(std::string_view name) {
    if (name == "direct") return new ipm_DirectMechanism;
    if (name == "jabber") return new ipm_JabberMechanism;
    throw std::invalid_argument("unknown transport \"" + std::string(name) + "\" (use \"direct\" or \"jabber\")");
}

ipm_MessageTransmit& transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }

thread_local bool onMessageThread = false;
}  // namespace

struct ipm_Messaging::Run {
    int modules = 0;
    bool running = false;
    ipm_MessageTask task;
    std::promise<void> done;
    std::thread thread;
};

ipm_Messaging::ipm_Messaging(std::string_view transport) : run(std::make_unique<Run>()) {
    std::unique_ptr<ipm_TransmissionMechanism> mechanism(newTransport(transport));
    ipm_initialize(run->modules);
    transmitter().SetMechanism(mechanism.release());
    // Direct sends from now on wait for the task's start of the transport.
    transmitter().SetTaskRunning(true);
    // An exception leaving the thread would end the process.
    run->thread = std::thread([state = run.get()] {
        onMessageThread = true;
        try {
            state->task.Run(0);
        } catch (...) {
            transmitter().SetDelivery(ipm_MessageTransmit::Delivery::Off, "the message task failed");
        }
        state->done.set_value();
    });
    run->running = true;
}

ipm_Messaging::~ipm_Messaging() { Stop(); }

bool ipm_Messaging::Stop() {
    if (!run->running) return true;
    run->running = false;
    ipm_MessageTransmit& active = transmitter();
    active.RequestStop();
    if (run->done.get_future().wait_for(active.Settings().StopBound()) != std::future_status::ready) {
        active.WriteLogAtExit();
        run->thread.detach();
        // The task still uses the library, so neither may go.
        static_cast<void>(run.release());
        run = std::make_unique<Run>();
        return false;
    }
    run->thread.join();
    // An orderly end: the Jabber transport announces the job unavailable.
    if (active.MechanismReady()) active.CloseTransport();
    ipm_finalize(run->modules);
    return true;
}

bool ipm_Messaging::KillRequested() { return eli_killsigRaised(); }

bool ipm_Messaging::OnMessageThread() { return onMessageThread; }
