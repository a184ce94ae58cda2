#include "ipm/ipm.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "csp/csp_module.h"
#include "foundation/cow_String.h"
#include "foundation/foundation_modules.h"
#include "foundation/impl/omni_UseCount.h"
#include "foundation/impl/utl_platform.h"
#include "ipm/impl/ipm_LastFailure.h"
#include "ipm/ipm_MessageTransmit.h"
#include "jcl/jcl_module.h"

namespace {
omni_UseCount libraryUses;

// Points into the caller's text or a literal, so classifying allocates nothing.
struct MessageType {
    const char* name;
    bool started;
};

// Any type mentioning "Started" is the job's start message. Every message
// is classified, and a type is a short word: looking for the capital first
// is cheaper than a general substring search's setup.
bool mentionsStarted(const char* type) {
    for (const char* at = std::strchr(type, 'S'); at; at = std::strchr(at + 1, 'S'))
        if (std::strncmp(at + 1, "tarted", 6) == 0) return true;
    return false;
}

MessageType classify(const char* type) {
    if (!type) return {"", false};
    if (mentionsStarted(type)) return {"Started", true};
    return {type, false};
}

cow_String encode(const MessageType& type, const char* format, int* ints, double* doubles, char** texts) {
    return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().Encode(type.name, format, ints, doubles, texts,
                                                                       type.started);
}

// The calling thread's storage for the documents it buffers, lent to one
// call at a time: a call nested inside another (a handler that sends) finds
// it taken and uses storage of its own.
class BorrowedStorage {
public:
    BorrowedStorage() : kept(ThreadKept()), text(kept.lent ? own : kept.text) { kept.lent = true; }
    ~BorrowedStorage() {
        if (&text == &kept.text) kept.lent = false;
    }
    BorrowedStorage(const BorrowedStorage&) = delete;
    BorrowedStorage& operator=(const BorrowedStorage&) = delete;

private:
    struct Kept {
        std::string text;
        bool lent = false;
    };
    // Storage with a constructor is reached through a check of its guard in
    // the general TLS model, a call each time; a pointer to it is not.
    static thread_local Kept threadStorage;
    IPM_INITIAL_EXEC_TLS static thread_local Kept* threadKept;

    static Kept& ThreadKept() {
        if (!threadKept) [[unlikely]]
            threadKept = &threadStorage;
        return *threadKept;
    }

    Kept& kept;
    std::string own;

public:
    // Declared last, as it refers to one of the members above.
    std::string& text;
};

thread_local BorrowedStorage::Kept BorrowedStorage::threadStorage;
IPM_INITIAL_EXEC_TLS thread_local BorrowedStorage::Kept* BorrowedStorage::threadKept = nullptr;

void startModules(int& count) {
    if (!libraryUses.Start(count)) return;
    mem_initialize(count);
    xmp_initialize(count);
    thr_initialize(count);
    omni_initialize(count);
    atr_initialize(count);
    cow_initialize(count);
    nex_initialize(count);
    csp_initialize(count);
    utl_initialize(count);
    jcl_initialize(count);
    eli_initialize(count);
}

void stopModules(int& count) {
    if (!libraryUses.Stop(count)) return;
    ipm_MessageTransmit::DestroyInstance();
    eli_finalize(count);
    jcl_finalize(count);
    utl_finalize(count);
    csp_finalize(count);
    nex_finalize(count);
    cow_finalize(count);
    atr_finalize(count);
    omni_finalize(count);
    thr_finalize(count);
    xmp_finalize(count);
    mem_finalize(count);
}
}  // namespace

// No exception may leave the entry points: a failure shows in the delivery
// state and in ipm_lastFailure.
void ipm_initialize(int& count) {
    ipm_LastFailure::Guard([&] { startModules(count); return 0; }, 0);
}

void ipm_finalize(int& count) {
    ipm_LastFailure::Guard([&] { stopModules(count); return 0; }, 0);
}

int ipm_sendMessage(const char* type, const char* format, int* ints, double* doubles, char** texts) {
    return ipm_LastFailure::Guard(
        [&] {
            const MessageType message = classify(type);
            ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
            BorrowedStorage storage;
            transmitter.PrepareBuffering();
            std::lock_guard buffer(transmitter.BufferLock());
            transmitter.BufferEncoded(storage.text, message.name, format, ints, doubles, texts, message.started);
            return 0;
        },
        0);
}

int ipm_sendMessageDirect(const char* type, const char* format, int* ints, double* doubles, char** texts) {
    return ipm_LastFailure::Guard(
        [&] {
            const MessageType message = classify(type);
            ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
            if (!transmitter.TransmitDirect(encode(message, format, ints, doubles, texts))) {
                std::string reason;
                transmitter.DeliveryState(&reason);
                ipm_LastFailure::Set("not sent: " + (reason.empty() ? std::string("the transport is down") : reason));
            }
            return 0;
        },
        0);
}
