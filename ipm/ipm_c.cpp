#include "ipm/ipm_c.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "foundation/eli_killsig.h"
#include "foundation/omi_FatalError.h"
#include "foundation/utl_CommandLine.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {

thread_local std::string lastFailure;

// Runs `action`, turning anything it throws into IPM_FAILED: no exception
// may reach a caller in another language.
template <class Action>
int guarded(Action action) {
    try {
        return action();
    } catch (const std::exception& error) {
        lastFailure = error.what();
    } catch (const omi_FatalError& error) {
        lastFailure = std::string(error.call) + " failed with error " + std::to_string(error.code);
    } catch (...) {
        lastFailure = "unknown error";
    }
    return IPM_FAILED;
}

ipm_TransmissionMechanism* makeTransport(std::string_view name) {
    if (name == "direct") return new ipm_DirectMechanism;
    if (name == "jabber") return new ipm_JabberMechanism;
    return nullptr;
}

bool validArguments(int argc, const char* const* argv) {
    if (argc < 0 || (argc > 0 && !argv)) return false;
    return std::none_of(argv, argv + argc, [](const char* argument) { return argument == nullptr; });
}

// One messaging run at a time: the library's modules, the installed
// transport and the message task's thread. Start and stop take the life
// cycle lock exclusively; sends share it, so the transmitter cannot go while
// a send uses it.
class MessagingRun {
public:
    int Start(const char* transport, int argc, const char* const* argv) {
        if (OnMessageThread()) return IPM_WRONG_THREAD;
        std::unique_lock lock(lifeCycle);
        if (running) return IPM_ALREADY_STARTED;
        if (!transport || !validArguments(argc, argv)) return IPM_BAD_ARGUMENT;
        std::unique_ptr<ipm_TransmissionMechanism> mechanism(makeTransport(transport));
        if (!mechanism) return IPM_UNKNOWN_TRANSPORT;
        // The transmitter reads the options once, when it is made.
        if (thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance()) return IPM_ALREADY_STARTED;
        ipm_initialize(modules);
        const int result = guarded([&] {
            UseArguments(argc, argv);
            thr_GlobalSingleton<ipm_MessageTransmit>::Instance().SetMechanism(mechanism.release());
            eli_clearkillsig();
            task = std::make_unique<ipm_MessageTask>();
            thread = std::thread(&MessagingRun::Serve, this);
            return IPM_OK;
        });
        if (result == IPM_OK)
            running = true;
        else
            Finish();
        return result;
    }

    int Stop() {
        if (OnMessageThread()) return IPM_WRONG_THREAD;
        std::unique_lock lock(lifeCycle);
        if (!running) return IPM_NOT_STARTED;
        running = false;
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().RequestStop();
        thread.join();
        Finish();
        return IPM_OK;
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
        if (!running) return IPM_NOT_STARTED;
        // The library only reads the values.
        return guarded([&] {
            send(type, format, const_cast<int*>(ints), const_cast<double*>(doubles), const_cast<char**>(texts));
            return IPM_OK;
        });
    }

private:
    bool OnMessageThread() const { return messageThread.load() == std::this_thread::get_id(); }

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

    // An exception leaving a thread would end the process.
    void Serve() {
        messageThread.store(std::this_thread::get_id());
        try {
            task->Run(0);
        } catch (...) {
            thr_GlobalSingleton<ipm_MessageTransmit>::Instance().SetFailed();
        }
    }

    // Destroys the transmitter with its transport; the task has ended.
    void Finish() {
        task.reset();
        messageThread.store(std::thread::id());
        ipm_finalize(modules);
    }

    std::shared_mutex lifeCycle;
    bool running = false;
    bool replacedArguments = false;
    int modules = 0;
    std::unique_ptr<ipm_MessageTask> task;
    std::thread thread;
    std::atomic<std::thread::id> messageThread;
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
        case IPM_UNKNOWN_TRANSPORT: return "unknown transport (use \"direct\" or \"jabber\")";
        case IPM_BAD_ARGUMENT: return "bad argument";
        case IPM_WRONG_THREAD: return "called from the message task's own thread";
        case IPM_FAILED: return "the messaging library failed";
        default: return "unknown result";
    }
}

const char* ipm_lastFailure(void) { return lastFailure.c_str(); }
