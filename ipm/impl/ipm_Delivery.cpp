#include "ipm/impl/ipm_Delivery.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/cow_String.h"
#include "ipm/impl/ipm_DeliverySettings.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
// The least time between two turns when the transport's poll returns at once.
constexpr unsigned int turnPause = 10;
// How often a task without a transport looks at its stop request.
constexpr unsigned int idlePause = 50;
constexpr std::chrono::milliseconds closingGrace{1000};

std::string whatFailed(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}
}  // namespace

ipm_Delivery::ipm_Delivery(ipm_MessageTransmit& transmitter)
    : transmitter(transmitter),
      settings(transmitter.Settings()),
      connected(transmitter.MechanismReady()),
      nextAttempt(Clock::now()),
      retryInterval(settings.firstRetry) {
    transmitter.SetTaskRunning(true);
}

ipm_Delivery::~ipm_Delivery() {
    transmitter.ReturnMessages(backlog);
    transmitter.SetTaskRunning(false);
}

void ipm_Delivery::Run() {
    while (!transmitter.StopRequested()) {
        if (transmitter.TakeBrokenTransport() && connected) LoseConnection("a direct send failed");
        if (!connected) ConnectWhenDue();
        if (connected) Poll();
        if (connected) WriteDue();
        transmitter.Pause(connected ? turnPause : idlePause);
    }
    Finish();
}

void ipm_Delivery::ConnectWhenDue() {
    if (hopeless || !transmitter.Enabled() || Clock::now() < nextAttempt) return;
    if (!Connect()) ScheduleRetry();
}

void ipm_Delivery::ScheduleRetry() {
    nextAttempt = Clock::now() + retryInterval;
    retryInterval = std::min<Clock::duration>(retryInterval * 2, settings.retryCap);
}

bool ipm_Delivery::Connect() {
    std::string reason;
    if (transmitter.StartTransport(reason, hopeless)) {
        connected = true;
        connectedAt = Clock::now();
        transmitter.SetDelivery(ipm_MessageTransmit::Delivery::Connected, "");
        return true;
    }
    if (hopeless)
        transmitter.SetDelivery(ipm_MessageTransmit::Delivery::Off,
                                reason + (transmitter.LogFailed() ? ": messaging is off"
                                                                  : ": messaging is off, the log still holds every message"));
    else
        transmitter.SetDelivery(ipm_MessageTransmit::Delivery::Connecting,
                                reason + ": retrying in the background, messages wait meanwhile");
    return false;
}

void ipm_Delivery::LoseConnection(const std::string& reason) {
    connected = false;
    catchingUp = false;
    transmitter.ReturnUnsent(backlog);
    transmitter.CloseTransport();
    // A peer that accepts and drops at once must not be hammered: only a
    // connection that lasted makes the next attempt immediate.
    if (Clock::now() - connectedAt >= settings.steadyConnection) {
        retryInterval = settings.firstRetry;
        nextAttempt = Clock::now();
    } else {
        ScheduleRetry();
    }
    transmitter.SetDelivery(ipm_MessageTransmit::Delivery::Connecting,
                            "the connection failed (" + reason + "): reconnecting in the background");
}

void ipm_Delivery::Poll() {
    try {
        transmitter.PollMechanism();
    } catch (...) {
        LoseConnection(whatFailed(std::current_exception()));
    }
}

void ipm_Delivery::TakeBuffered() { dropped += transmitter.TakeMessagesInto(backlog); }

void ipm_Delivery::WriteDue() {
    if (!catchingUp && Clock::now() - lastWrite < settings.sendInterval) return;
    const auto sliceEnd = Clock::now() + settings.catchUpSlice;
    while (Write() && catchingUp && Clock::now() < sliceEnd) {
    }
}

bool ipm_Delivery::Write() {
    TakeBuffered();
    if (backlog.Count() == 0) return true;
    if (dropped > 0 && !TellDropped()) return false;
    std::vector<std::string_view> documents;
    size_t bytes = 0;
    backlog.Visit([&](std::string_view document) {
        if (!documents.empty() && bytes + document.size() > settings.writeBytes) return false;
        if (settings.writeDocuments != 0 && documents.size() == settings.writeDocuments) return false;
        documents.push_back(document);
        bytes += document.size();
        return true;
    });
    try {
        transmitter.TransmitDocuments(documents);
    } catch (...) {
        LoseConnection(whatFailed(std::current_exception()));
        return false;
    }
    transmitter.DropDocuments(backlog, static_cast<int>(documents.size()));
    lastWrite = Clock::now();
    // A write about full with more waiting: a backlog to catch up with.
    catchingUp = 2 * bytes >= settings.writeBytes && transmitter.Pending();
    return true;
}

// A message of its own, ahead of the documents that follow the gap.
bool ipm_Delivery::TellDropped() {
    int count[] = {static_cast<int>(std::min<long long>(dropped, INT_MAX))};
    std::string text = "messages dropped from sending while the backlog was full";
    if (!transmitter.LogFailed()) text += "; the job's log holds them";
    char* texts[] = {text.data()};
    try {
        const cow_String notice = transmitter.Encode("Warning", "message=%s dropped=%i", count, nullptr, texts, false);
        transmitter.TransmitDocuments({notice.view()});
    } catch (...) {
        LoseConnection(whatFailed(std::current_exception()));
        return false;
    }
    dropped = 0;
    return true;
}

// One more start is tried when the transport is down, never a second. The
// end's own document goes last, after everything the job buffered.
void ipm_Delivery::Finish() {
    transmitter.BufferJobEnded();
    const auto deadline = Clock::now() + settings.stopDelivery;
    bool startTried = false;
    for (TakeBuffered(); backlog.Count() > 0 && Clock::now() < deadline; TakeBuffered()) {
        if (!connected && (startTried || hopeless || !transmitter.Enabled())) break;
        if (!connected) {
            startTried = true;
            if (!Connect()) break;
        }
        Write();
    }
    const auto messages = [](long long count, const char* what) {
        return std::to_string(count) + (count == 1 ? " message" : " messages") + what + (count == 1 ? " was" : " were");
    };
    std::string lost;
    // A transport that could never work was told about when that was found.
    if (const int unsent = transmitter.ReturnUnsent(backlog); unsent > 0 && !hopeless)
        lost = messages(unsent, "") + " not delivered by the stop";
    if (connected) {
        connected = false;
        // The orderly end may use what is left of the stop's time, and a
        // moment more so that a stream is always ended.
        const auto left = std::max<Clock::duration>(deadline - Clock::now(), closingGrace);
        const long long unconfirmed =
            transmitter.FinishTransport(std::chrono::ceil<std::chrono::milliseconds>(left));
        if (unconfirmed > 0)
            lost += (lost.empty() ? "" : ", and ") + messages(unconfirmed, " sent") +
                    " not confirmed by the message server by the stop";
    }
    if (!lost.empty())
        transmitter.SetDelivery(ipm_MessageTransmit::Delivery::Off,
                                lost + (transmitter.LogFailed() ? "" : "; the job's log holds them"));
    transmitter.Pause(0);
}
