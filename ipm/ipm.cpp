#include "ipm/ipm.h"

#include <cstring>
#include <mutex>

#include "csp/csp_module.h"
#include "foundation/cow_String.h"
#include "foundation/foundation_modules.h"
#include "foundation/impl/omni_UseCount.h"
#include "ipm/ipm_MessageTransmit.h"
#include "jcl/jcl_module.h"

namespace {
omni_UseCount libraryUses;

// Points into the caller's text or a literal, so classifying allocates nothing.
struct MessageType {
    const char* name;
    bool started;
};

// Any type mentioning "Started" is the job's start message.
MessageType classify(const char* type) {
    if (!type) return {"", false};
    if (std::strstr(type, "Started")) return {"Started", true};
    return {type, false};
}

cow_String encode(const MessageType& type, const char* format, int* ints, double* doubles, char** texts) {
    return thr_GlobalSingleton<ipm_MessageTransmit>::Instance().Encode(type.name, format, ints, doubles, texts,
                                                                       type.started);
}
}  // namespace

void ipm_initialize(int& count) {
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

void ipm_finalize(int& count) {
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

int ipm_sendMessage(const char* type, const char* format, int* ints, double* doubles, char** texts) {
    const MessageType message = classify(type);
    const cow_String document = encode(message, format, ints, doubles, texts);
    ipm_MessageTransmit& transmitter = thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    std::lock_guard buffer(transmitter.BufferLock());
    transmitter.BufferDocument(document, message.name);
    return 0;
}

int ipm_sendMessageDirect(const char* type, const char* format, int* ints, double* doubles, char** texts) {
    const MessageType message = classify(type);
    thr_GlobalSingleton<ipm_MessageTransmit>::Instance().TransmitMessage(
        encode(message, format, ints, doubles, texts));
    return 0;
}
