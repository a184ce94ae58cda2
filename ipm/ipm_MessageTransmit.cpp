#include "ipm/ipm_MessageTransmit.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

#include "foundation/omi_Singleton.h"
#include "foundation/thr_GlobalLock.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_FilePath.h"
#include "ipm/ipm_TransmissionMechanism.h"

namespace {
// Guards creation and destruction of the transmitter; itself created and
// destroyed under the process-wide lock.
thr_Mutex* creationMutex = nullptr;

utl_CommandLine& commandLine() { return thr_GlobalSingleton<utl_CommandLine>::Instance(); }

// The variable's leading decimal integer; `fallback` when absent, when no
// number, or below 1.
int capFromEnvironment(const char* variable, int fallback) {
    const char* text = std::getenv(variable);
    if (!text) return fallback;
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (value < 1) return fallback;
    return value > INT_MAX || errno == ERANGE ? INT_MAX : static_cast<int>(value);
}

// Counts an accepted message; false once the cap is reached.
bool withinCap(int& count, int cap) {
    if (count >= cap) return false;
    ++count;
    return true;
}
}  // namespace

template <>
std::atomic<ipm_MessageTransmit*>& thr_GlobalSingletonBase<ipm_MessageTransmit>::recorded() {
    static std::atomic<ipm_MessageTransmit*> record{nullptr};
    return record;
}

template <>
ipm_MessageTransmit& thr_GlobalSingleton<ipm_MessageTransmit>::Instance() {
    if (ipm_MessageTransmit* existing = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance()) return *existing;
    {
        std::lock_guard global(omi_Singleton<thr_GlobalLock>::Instance());
        if (!creationMutex) creationMutex = new thr_Mutex(0);
    }
    std::lock_guard creation(*creationMutex);
    if (!thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance()) new ipm_MessageTransmit;
    return *thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
}

void ipm_MessageTransmit::DestroyInstance() {
    ipm_MessageTransmit* existing = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance();
    if (!existing) return;
    creationMutex->Lock();
    delete existing;
    thr_GlobalSingletonBase<ipm_MessageTransmit>::Record(nullptr);
    thr_GlobalLock& global = omi_Singleton<thr_GlobalLock>::Instance();
    global.Lock();
    creationMutex->Unlock();
    delete creationMutex;
    creationMutex = nullptr;
    global.Unlock();
}

// Published only once complete, so the unlocked fast path of Instance() never
// sees a half-built object.
ipm_MessageTransmit::ipm_MessageTransmit()
    : maxErrorMessages(capFromEnvironment("MAX_ERROR_MESSAGES", 20)),
      maxWarningMessages(capFromEnvironment("MAX_WARNING_MESSAGES", 200)) {
    utl_CommandLine& options = commandLine();
    if (options.IsMember("job")) {
        jobName = options.ConstGetValue("job");
        enabled = options.IsMember("message") && !(options.ConstGetValue("message") == "NONE");
    }
    thr_GlobalSingletonBase<ipm_MessageTransmit>::Record(this);
}

ipm_MessageTransmit::~ipm_MessageTransmit() {
    delete mechanism.exchange(nullptr);
    if (logFile) std::fclose(logFile);
}

void ipm_MessageTransmit::SetMechanism(ipm_TransmissionMechanism* newMechanism) {
    if (newMechanism) newMechanism->jobName = jobName;
    mechanism.store(newMechanism);
}

bool ipm_MessageTransmit::InitializeMechanism() {
    std::lock_guard buffer(bufferLock);
    return StartMechanism();
}

bool ipm_MessageTransmit::StartMechanism() {
    ipm_TransmissionMechanism* active = mechanism.load();
    if (!active) return false;
    OpenLogFile();
    std::lock_guard transport(transportLock);
    mechanismReady = active->Initialize();
    return mechanismReady;
}

// Opened once: a second start after a failed one reuses the stream.
void ipm_MessageTransmit::OpenLogFile() {
    if (!logToFile || logFile) return;
    cow_String fileName = jobName;
    fileName += std::string_view(".ipm");
    const cow_String path = utl_FilePath(fileName, commandLine().ConstGetValue("indir")).AbsolutePathName();
    logFile = std::fopen(path.text(), "a");
}

cow_String ipm_MessageTransmit::Encode(const char* type, const char* format, int* integers, double* doubles,
                                       char** texts, bool started) const {
    ipm_TransmissionMechanism* active = mechanism.load();
    if (!enabled || !active) return cow_String();
    return active->Encode(type ? type : "", format ? format : "", integers, doubles, texts, started);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& document, const cow_String& type) {
    if (!enabled) return;
    if (!mechanismReady && !StartMechanism()) {
        enabled = false;
        return;
    }
    if (logToFile && logFile) std::fwrite(document.text(), 1, static_cast<size_t>(document.length()), logFile);
    if (failed) return;
    if (type == "Error" && !withinCap(errorCount, maxErrorMessages)) return;
    if (type == "Warning" && !withinCap(warningCount, maxWarningMessages)) return;
    messageBuffer.Append(document);
    pending = true;
}

void ipm_MessageTransmit::TransmitMessage(const cow_String& document) {
    std::lock_guard transport(transportLock);
    if (ipm_TransmissionMechanism* active = mechanism.load()) active->Transmit(document);
}

void ipm_MessageTransmit::ClearMessageBuffer() {
    messageBuffer.ClearAll();
    pending = false;
}

void ipm_MessageTransmit::PollMechanism() {
    std::lock_guard transport(transportLock);
    if (ipm_TransmissionMechanism* active = mechanism.load()) active->Poll();
}

cow_String ipm_MessageTransmit::CurrentPhase() const {
    std::lock_guard phase(phaseLock);
    return currentPhase;
}

// The old phase leaves with the argument, so it is released outside the lock.
void ipm_MessageTransmit::SetCurrentPhase(cow_String phase) {
    std::lock_guard guard(phaseLock);
    std::swap(currentPhase, phase);
}

void ipm_MessageTransmit::ReplaceCurrentPhase(std::string_view phase) {
    {
        std::lock_guard guard(phaseLock);
        if (currentPhase.view() == phase) return;
    }
    SetCurrentPhase(cow_String(phase));
}
