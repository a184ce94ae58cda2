#include "ipm/ipm_Messaging.h"

#include <algorithm>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/eli_killsig.h"
#include "ipm/impl/ipm_DeliverySettings.h"
#include "ipm/impl/ipm_RequestDesk.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "jcl/jcl_XmlWriter.h"

namespace {
ipm_TransmissionMechanism* newTransport(std::string_view name) {
    if (name == "direct") return new ipm_DirectMechanism;
    if (name == "jabber") return new ipm_JabberMechanism;
    throw std::invalid_argument(R"(unknown transport ")" + std::string(name) + R"(" (use "direct" or "jabber"))");
}

ipm_MessageTransmit& transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }

thread_local bool onMessageThread = false;

// Whole UTF-8 characters, control characters as spaces, escaped for the
// document.
std::string answerText(std::string_view text) {
    if (text.size() > ipm_Messaging::maxAnswerBytes) {
        text = text.substr(0, ipm_Messaging::maxAnswerBytes);
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80) text.remove_suffix(1);
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xc0) text.remove_suffix(1);
    }
    std::string plain(text);
    for (char& c : plain)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return jcl_XmlWriter::Text(plain);
}

// Buffers a message of the library's own; it only reads the values.
void sendMessage(const char* type, const std::string& format, std::vector<int> ints,
                 const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
    ipm_sendMessage(type, format.c_str(), ints.data(), nullptr, pointers.data());
}
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
    ipm_RequestDesk::Instance().Reset();
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

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): a member, as every call of the interface.
void ipm_Messaging::OfferRequests(const std::vector<std::pair<std::string, std::string>>& requests) {
    if (requests.size() > maxOffered)
        throw std::invalid_argument("more than " + std::to_string(maxOffered) + " requests offered");
    std::vector<std::string> names;
    std::string format;
    std::vector<std::string> labels;
    for (const auto& [name, label] : requests) {
        if (!ipm_Request::ValidName(name)) throw std::invalid_argument("request name \"" + name + "\" is not valid");
        if (std::find(names.begin(), names.end(), name) != names.end())
            throw std::invalid_argument("request \"" + name + "\" offered twice");
        if (label.empty() || !ipm_Request::ValidValue(label))
            throw std::invalid_argument("the label of request \"" + name + "\" is not valid");
        names.push_back(name);
        format += (format.empty() ? "" : " ") + name + "=%s";
        labels.push_back(jcl_XmlWriter::Text(label));
    }
    ipm_RequestDesk::Instance().Offer(std::move(names));
    sendMessage("RequestsOffered", format, {}, labels);
}

std::optional<ipm_Request> ipm_Messaging::TakeRequest() {
    bool offered = false;
    while (std::optional<ipm_Request> request = ipm_RequestDesk::Instance().Take(offered)) {
        if (offered) return request;
        AnswerRequest(request->id, ipm_Request::Outcome::Refused, "not offered by this job");
    }
    return std::nullopt;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): a member, as OfferRequests.
void ipm_Messaging::AnswerRequest(int id, ipm_Request::Outcome outcome, std::string_view text) {
    const std::optional<std::string> name = ipm_RequestDesk::Instance().Answer(id);
    if (!name) throw std::invalid_argument("request " + std::to_string(id) + " was not taken or is already answered");
    sendMessage("RequestAnswered", "id=%i name=%s outcome=%s text=%s", {id},
                {*name, ipm_Request::OutcomeText(outcome), answerText(text)});
}
