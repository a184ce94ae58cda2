#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "foundation/thr_GlobalSingleton.h"
#include "foundation/thr_GlobalSingletonBase.h"
#include "foundation/thr_Mutex.h"

class ipm_TransmissionMechanism;

// The process-wide object every message passes through: it decides once, from
// the environment and the command line, whether messaging is on, starts the
// mechanism at the first buffered message, logs, caps and buffers documents
// for the message task, and hands single documents to the mechanism.
//
// Locks, always taken in this order: the buffer lock (held by a sender across
// BufferMessage and by the task while it takes the buffer), then the transport
// lock (held around each Initialize, Transmit and Poll of the mechanism, so a
// direct send waits at most for one of them). The phase lock guards the
// current phase alone and nests inside nothing.
class ipm_MessageTransmit {
public:
    ipm_MessageTransmit(const ipm_MessageTransmit&) = delete;
    ipm_MessageTransmit& operator=(const ipm_MessageTransmit&) = delete;

    // Destroys the transmitter with its mechanism and log file; the message
    // task must have ended.
    static void DestroyInstance();

    // Takes ownership of `mechanism` and gives it the job name; a previous one
    // is neither deleted nor told.
    IPM_EXPORT void SetMechanism(ipm_TransmissionMechanism* mechanism);
    // Opens the log file and starts the mechanism. Takes the buffer lock itself.
    IPM_EXPORT bool InitializeMechanism();
    // Empty when messaging is off or no mechanism is set.
    IPM_EXPORT cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                                 bool started) const;
    // The caller holds BufferLock().
    IPM_EXPORT void BufferMessage(const cow_String& document, const cow_String& type);
    IPM_EXPORT void TransmitMessage(const cow_String& document);
    // The caller holds BufferLock().
    IPM_EXPORT void ClearMessageBuffer();
    void PollMechanism();

    thr_Mutex& BufferLock() { return bufferLock; }
    // The caller holds BufferLock().
    const cow_1DArrayList<cow_String>& MessageBuffer() const { return messageBuffer; }

    // Read and replaced by the message document of every message.
    cow_String CurrentPhase() const;
    void SetCurrentPhase(cow_String phase);
    // Leaves an equal phase alone, so a phase repeated by every message costs
    // no allocation.
    void ReplaceCurrentPhase(std::string_view phase);

    // Asks the message task to end once the buffer is empty.
    void RequestStop() { stopRequested.store(true); }
    bool StopRequested() const { return stopRequested.load(); }
    bool Pending() const { return pending.load(); }
    // Set when a poll or a transmission of the message task threw.
    void SetFailed() { failed.store(true); }
    bool Failed() const { return failed.load(); }
    void SetLogToFile(bool log) { logToFile.store(log); }
    bool LogToFile() const { return logToFile.load(); }
    bool Enabled() const { return enabled.load(); }
    bool MechanismReady() const { return mechanismReady.load(); }
    ipm_TransmissionMechanism* Mechanism() const { return mechanism.load(); }
    const cow_String& JobName() const { return jobName; }
    int MaxErrorMessages() const { return maxErrorMessages; }
    int MaxWarningMessages() const { return maxWarningMessages; }

private:
    friend class thr_GlobalSingleton<ipm_MessageTransmit>;

    ipm_MessageTransmit();
    ~ipm_MessageTransmit();

    bool StartMechanism();
    void OpenLogFile();

    std::atomic<ipm_TransmissionMechanism*> mechanism{nullptr};
    std::atomic<bool> enabled{false};
    int maxErrorMessages = 20;
    int maxWarningMessages = 200;
    int errorCount = 0;
    int warningCount = 0;
    std::atomic<bool> mechanismReady{false};
    cow_String jobName{"Unknown"};
    cow_String currentPhase;
    std::FILE* logFile = nullptr;
    cow_1DArrayList<cow_String> messageBuffer{50};
    std::atomic<bool> pending{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> logToFile{true};
    std::atomic<bool> failed{false};

    thr_Mutex bufferLock{0};
    // Recursive: a kill handler raised inside Poll may send a direct message.
    std::recursive_mutex transportLock;
    mutable thr_Mutex phaseLock{0};
};

template <>
IPM_EXPORT ipm_MessageTransmit& thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
template <>
IPM_EXPORT std::atomic<ipm_MessageTransmit*>& thr_GlobalSingletonBase<ipm_MessageTransmit>::recorded();
