#include "ipm/ipm_c.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/impl/ipm_LastFailure.h"
#include "ipm/ipm_Messaging.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {

// Runs `action`, turning anything it throws into IPM_FAILED: no exception
// may reach a caller in another language.
template <class Action>
int guarded(Action action) {
    return ipm_LastFailure::Guard(action, static_cast<int>(IPM_FAILED));
}

bool validArguments(int argc, const char* const* argv) {
    if (argc < 0 || (argc > 0 && !argv)) return false;
    return std::none_of(argv, argv + argc, [](const char* argument) { return argument == nullptr; });
}

bool knownTransport(std::string_view name) { return name == "direct" || name == "jabber"; }

// One messaging run at a time. Start and stop take the life cycle lock
// exclusively; sends share it, so the transmitter cannot go while a send
// uses it.
class MessagingRun {
public:
    int Start(const char* transport, int argc, const char* const* argv) {
        if (OnMessageThread()) return IPM_WRONG_THREAD;
        std::unique_lock lock(lifeCycle);
        if (messaging) return IPM_ALREADY_STARTED;
        if (!transport || !validArguments(argc, argv)) return IPM_BAD_ARGUMENT;
        if (!knownTransport(transport)) return IPM_UNKNOWN_TRANSPORT;
        // The transmitter reads the options once, when it is made.
        if (thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance()) return IPM_ALREADY_STARTED;
        UseArguments(argc, argv);
        eli_clearkillsig();
        messaging = std::make_unique<ipm_Messaging>(transport);
        return IPM_OK;
    }

    int Stop() {
        if (OnMessageThread()) return IPM_WRONG_THREAD;
        std::unique_lock lock(lifeCycle);
        if (!messaging) return IPM_NOT_STARTED;
        const bool ended = messaging->Stop();
        messaging.reset();
        if (ended) return IPM_OK;
        ipm_LastFailure::Set("the message task did not end in time; the log is written, the rest was dropped");
        return IPM_FAILED;
    }

    template <class EntryPoint>
    int Send(EntryPoint send, const char* type, const char* format, const int* ints, const double* doubles,
             const char* const* texts) {
        std::shared_lock lock(lifeCycle, std::defer_lock);
        // A kill handler sending from inside the task must not wait for a
        // stop that waits for the task.
        if (OnMessageThread()) {
            if (!lock.try_lock()) return IPM_NOT_STARTED;
        } else {
            lock.lock();
        }
        if (!messaging) return IPM_NOT_STARTED;
        ipm_LastFailure::Clear();
        // The library only reads the values.
        send(type, format, const_cast<int*>(ints), const_cast<double*>(doubles), const_cast<char**>(texts));
        return ipm_LastFailure::Text().empty() ? IPM_OK : IPM_FAILED;
    }

    // Runs `action` on the running messaging under the shared lock.
    template <class Action>
    int WithMessaging(Action action) {
        std::shared_lock lock(lifeCycle);
        if (!messaging) return IPM_NOT_STARTED;
        return action(*messaging);
    }

private:
    static bool OnMessageThread() { return ipm_Messaging::OnMessageThread(); }

    void UseArguments(int argc, const char* const* argv) {
        utl_CommandLine& commandLine = thr_GlobalSingleton<utl_CommandLine>::Instance();
        if (argc > 0) {
            commandLine.SetArguments(argc, argv);
            replacedArguments = true;
        } else if (replacedArguments) {
            commandLine.UseProcessArguments();
            replacedArguments = false;
        }
    }

    std::shared_mutex lifeCycle;
    bool replacedArguments = false;
    std::unique_ptr<ipm_Messaging> messaging;
};

// Never destroyed: a job that ends without ipm_stop must not meet a
// joinable thread's destructor at exit.
MessagingRun& messagingRun() {
    static MessagingRun* const run = new MessagingRun;
    return *run;
}

}  // namespace

int ipm_start(const char* transport, int argc, const char* const* argv) {
    return guarded([&] { return messagingRun().Start(transport, argc, argv); });
}

int ipm_stop(void) {
    return guarded([] { return messagingRun().Stop(); });
}

int ipm_killRequested(void) { return eli_killsigRaised() ? 1 : 0; }

int ipm_send(const char* type, const char* format, const int* ints, const double* doubles,
             const char* const* texts) {
    return guarded([&] { return messagingRun().Send(ipm_sendMessage, type, format, ints, doubles, texts); });
}

int ipm_sendDirect(const char* type, const char* format, const int* ints, const double* doubles,
                   const char* const* texts) {
    return guarded([&] { return messagingRun().Send(ipm_sendMessageDirect, type, format, ints, doubles, texts); });
}

int ipm_countFormatValues(const char* format, int* ints, int* doubles, int* texts) {
    if (!ints || !doubles || !texts) return IPM_BAD_ARGUMENT;
    *ints = *doubles = *texts = 0;
    std::string_view rest = format ? format : "";
    while (!rest.empty()) {
        const std::string_view field = rest.substr(0, rest.find(' '));
        rest.remove_prefix(std::min(field.size() + 1, rest.size()));
        const size_t percent = field.find('%');
        if (percent == std::string_view::npos || percent + 2 != field.size()) continue;
        // ASCII only: under some locales (Turkish) tolower('I') is not 'i'.
        const char letter = field.back();
        switch (letter >= 'A' && letter <= 'Z' ? letter - 'A' + 'a' : letter) {
            case 'i': ++*ints; break;
            case 'r': ++*doubles; break;
            case 's': case 'b': case 'e': ++*texts; break;
            default: break;
        }
    }
    return IPM_OK;
}

const char* ipm_resultText(int result) {
    switch (result) {
        case IPM_OK: return "success";
        case IPM_ALREADY_STARTED: return "messaging is already started";
        case IPM_NOT_STARTED: return "messaging is not started";
        case IPM_UNKNOWN_TRANSPORT: return R"(unknown transport (use "direct" or "jabber"))";
        case IPM_BAD_ARGUMENT: return "bad argument";
        case IPM_WRONG_THREAD: return "called from the message task's own thread";
        case IPM_FAILED: return "the messaging library failed";
        default: return "unknown result";
    }
}

int ipm_offerRequests(int count, const char* const* names, const char* const* labels) {
    if (count < 0 || (count > 0 && (!names || !labels))) return IPM_BAD_ARGUMENT;
    return guarded([&] {
        std::vector<std::pair<std::string, std::string>> offers;
        for (int i = 0; i < count; ++i) {
            if (!names[i] || !labels[i]) return static_cast<int>(IPM_BAD_ARGUMENT);
            offers.emplace_back(names[i], labels[i]);
        }
        return messagingRun().WithMessaging([&](ipm_Messaging& messaging) {
            try {
                messaging.OfferRequests(offers);
            } catch (const std::invalid_argument& failure) {
                ipm_LastFailure::Set(failure.what());
                return IPM_BAD_ARGUMENT;
            }
            return IPM_OK;
        });
    });
}

int ipm_takeRequest(int* id, char* name, int nameSize, char* value, int valueSize) {
    if (!id || !name || !value || nameSize < IPM_REQUEST_NAME_SIZE || valueSize < IPM_REQUEST_VALUE_SIZE)
        return IPM_BAD_ARGUMENT;
    *id = 0;
    name[0] = value[0] = '\0';
    return guarded([&] {
        return messagingRun().WithMessaging([&](ipm_Messaging& messaging) {
            if (const std::optional<ipm_Request> request = messaging.TakeRequest()) {
                *id = request->id;
                std::memcpy(name, request->name.c_str(), request->name.size() + 1);
                std::memcpy(value, request->value.c_str(), request->value.size() + 1);
            }
            return IPM_OK;
        });
    });
}

int ipm_answerRequest(int id, int outcome, const char* text) {
    if (outcome < IPM_REQUEST_DONE || outcome > IPM_REQUEST_FAILED) return IPM_BAD_ARGUMENT;
    return guarded([&] {
        return messagingRun().WithMessaging([&](ipm_Messaging& messaging) {
            try {
                messaging.AnswerRequest(id, static_cast<ipm_Request::Outcome>(outcome), text ? text : "");
            } catch (const std::invalid_argument& failure) {
                ipm_LastFailure::Set(failure.what());
                return IPM_BAD_ARGUMENT;
            }
            return IPM_OK;
        });
    });
}

const char* ipm_lastFailure(void) { return ipm_LastFailure::Text().c_str(); }

int ipm_status(char* reason, int size) {
    return ipm_LastFailure::Guard(
        [&] {
            std::string why = "messaging is not started";
            ipm_MessageTransmit::Delivery state = ipm_MessageTransmit::Delivery::Off;
            if (ipm_MessageTransmit* transmitter = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
                state = transmitter->DeliveryState(&why);
            if (reason && size > 0) {
                const size_t kept = std::min(why.size(), static_cast<size_t>(size - 1));
                std::memcpy(reason, why.data(), kept);
                reason[kept] = '\0';
            }
            return static_cast<int>(state);
        },
        static_cast<int>(IPM_STATUS_OFF));
}
