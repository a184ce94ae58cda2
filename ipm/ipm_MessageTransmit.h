#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/cow_1DArrayList.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "foundation/thr_GlobalSingleton.h"
#include "foundation/thr_GlobalSingletonBase.h"
#include "foundation/thr_Mutex.h"

class csp_WakeSignal;
class ipm_DocumentBlocks;
class ipm_DocumentQueue;
struct ipm_DeliverySettings;
class ipm_MessageLog;
class ipm_PhaseTexts;
class ipm_TransmissionMechanism;

// The process-wide object every message passes through: it decides once, from
// the environment and the command line, whether messaging is on, starts the
// mechanism at the first buffered message, logs, caps and buffers documents
// for the message task, and hands single documents to the mechanism.
//
// A sender only copies: its document into the buffer's blocks and into the
// log file's buffer, keeping the backlog's bound as it does. The message task does the rest in its pauses: it hands
// the log's bytes to the kernel and maps the blocks that senders will need
// (a sender does either itself only when the task has not kept up, and
// destruction writes what is left of the log).
//
// The message task starts the transport, on its own thread, and restarts it
// after failures; a sender never waits for the network. Every buffered
// message reaches the log, whatever the transport does.
//
// Locks, always taken in this order: the buffer lock (held by a sender across
// BufferMessage and by the task while it takes the buffer or the log's
// bytes), then the log's write lock or the transport lock (held around each
// call of the mechanism, so a direct send waits at most for one of them; the
// task waits for the listener's requests outside it).
// The current phase takes a lock of its own only past its table of phase
// texts, and the delivery state one that nests inside nothing.
class ipm_MessageTransmit {
public:
    enum class Delivery { Off = 0, Connecting = 1, Connected = 2 };

    ipm_MessageTransmit(const ipm_MessageTransmit&) = delete;
    ipm_MessageTransmit& operator=(const ipm_MessageTransmit&) = delete;

    // Destroys the transmitter with its mechanism and log file; the message
    // task must have ended.
    static void DestroyInstance();

    // Takes ownership of `mechanism` and gives it the job name; a previous one
    // is neither deleted nor told.
    IPM_EXPORT void SetMechanism(ipm_TransmissionMechanism* mechanism);
    // Opens the log file and starts the mechanism on the caller's thread.
    // Takes the buffer lock itself.
    IPM_EXPORT bool InitializeMechanism();
    // Empty when messaging is off or no mechanism is set.
    IPM_EXPORT cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                                 bool started) const;
    // The caller holds BufferLock().
    IPM_EXPORT void BufferMessage(const cow_String& document, const cow_String& type);
    // Encodes a message as Encode does and buffers it as BufferMessage
    // does, writing it straight into the log when there is one, else into
    // `storage`, which only grows. The caller holds BufferLock().
    void BufferEncoded(std::string& storage, const char* type, const char* format, int* integers, double* doubles,
                       char** texts, bool started);
    // Called before BufferEncoded, outside the lock: readies the memory it
    // will write.
    void PrepareBuffering() const;
    // Sends on the caller's thread, once the transport is free.
    IPM_EXPORT void TransmitMessage(const cow_String& document);
    // A direct send: waits (within the network time limit) while the message
    // task starts the transport, then sends; a failure is recorded in the
    // delivery state, and the task restarts the transport. False when
    // nothing was sent.
    bool TransmitDirect(const cow_String& document);
    // Buffers the job's last document, "JobEnded", which tells the listener
    // that messaging ended in order; takes the buffer lock itself. Only the
    // message task's orderly end calls it, so a crash can never send it.
    void BufferJobEnded();
    // The caller holds BufferLock().
    IPM_EXPORT void ClearMessageBuffer();
    void PollMechanism();

    // The message task's side of the transport, each under the transport
    // lock. StartTransport is false when it did not connect; `lasting` then
    // tells whether trying again cannot help.
    bool StartTransport(std::string& reason, bool& lasting);
    void CloseTransport();
    // The orderly end at a stop (the mechanism's Finish); how many
    // documents sent the transport could not confirm.
    long long FinishTransport(std::chrono::milliseconds within);
    void TransmitDocuments(const std::vector<std::string_view>& documents);
    // Removes the `documents` oldest from the task's `backlog`, giving their
    // memory back.
    void DropDocuments(ipm_DocumentQueue& backlog, int documents);
    // Puts what the task's `backlog` holds back before the documents
    // buffered, as the oldest waiting; returns how many documents wait.
    int ReturnUnsent(ipm_DocumentQueue& backlog);

    // Where delivery stands, and why when it is not connected. A reason for
    // not delivering is told on standard error when it differs from the one
    // told last.
    IPM_EXPORT Delivery DeliveryState(std::string* reason = nullptr) const;
    void SetDelivery(Delivery state, const std::string& reason);
    // Told by the message task while it runs, so direct sends know whether
    // waiting for the transport can help.
    void SetTaskRunning(bool running);
    // A direct send failed: the task is to restart the transport.
    bool TakeBrokenTransport() { return transportBroken.exchange(false); }
    const ipm_DeliverySettings& Settings() const { return *settings; }

    // The message task's side of the buffer, under the buffer lock: moves the
    // oldest documents buffered to the end of the task's `backlog` until it
    // holds one write (at least one document), or a whole block of them. The rest wait in the buffer,
    // where senders drop the oldest to keep the bound. Returns how many
    // documents the bound has dropped since the last call.
    long long TakeMessagesInto(ipm_DocumentQueue& backlog);
    // Gives the memory of the task's documents back.
    void ReturnMessages(ipm_DocumentQueue& sent);
    // The message task's pause: serves the senders (log bytes to the kernel,
    // blocks mapped in advance), then waits `milliseconds`, serving them again
    // whenever they need it meanwhile.
    void Pause(unsigned int milliseconds);
    // Hands the log's waiting bytes to the kernel, as the process exits.
    void WriteLogAtExit();

    thr_Mutex& BufferLock() { return bufferLock; }
    // The bytes of the documents waiting to be sent and of those in the
    // task's current write, and how many documents the bound has dropped from
    // sending since the transmitter was made. The caller holds BufferLock().
    struct Backlog {
        size_t bytes;
        long long dropped;
    };
    IPM_EXPORT Backlog BacklogState() const;
    // Copies of the documents waiting in the buffer. The caller holds
    // BufferLock().
    IPM_EXPORT const cow_1DArrayList<cow_String>& MessageBuffer() const;

    // Read and replaced by the message document of every message, without a
    // lock unless the job has used more distinct phases than are kept. The
    // view stays valid while the transmitter lives, or while `held` does.
    std::string_view CurrentPhase(cow_String& held) const;
    void ReplaceCurrentPhase(std::string_view phase);
    cow_String CurrentPhase() const;
    void SetCurrentPhase(const cow_String& phase) { ReplaceCurrentPhase(phase.view()); }

    // Asks the message task to end once the buffer is empty.
    void RequestStop() { stopRequested.store(true); }
    bool StopRequested() const { return stopRequested.load(); }
    bool Pending() const { return pending.load(); }
    void SetLogToFile(bool log) { logToFile.store(log); }
    bool LogToFile() const { return logToFile.load(); }
    // True once the log was asked for and could not be opened.
    bool LogFailed() const { return logFailed.load(); }
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
    // BufferMessage without strings made of the document and the type.
    void BufferDocument(std::string_view document, std::string_view type);
    // What follows the log for a document: the caps, the backlog's bound and
    // the queue.
    void QueueDocument(std::string_view document, std::string_view type);
    // Says once on standard error what cannot be done and what happens instead.
    void Tell(const std::string& problem);
    // Maps a spare block for the senders when they are running low. The
    // caller holds `buffer`; false when no block could be mapped.
    bool MapSpareBlock(std::unique_lock<thr_Mutex>& buffer);
    // Drops the oldest buffered documents until `bytes` more fit the bound;
    // false when they do not fit even so. The caller holds the buffer lock.
    bool MakeRoom(size_t bytes);
    // Asks the task to serve the senders now, in its pause or in its poll.
    // The caller holds the buffer lock.
    void WakeTask();
    // Publishes whether a direct send may go at once. The caller holds
    // deliveryLock.
    void PublishDirectPath();

    std::unique_ptr<ipm_DeliverySettings> settings;
    std::atomic<ipm_TransmissionMechanism*> mechanism{nullptr};
    std::atomic<bool> enabled{false};
    int maxErrorMessages = 20;
    int maxWarningMessages = 200;
    int errorCount = 0;
    int warningCount = 0;
    std::atomic<bool> mechanismReady{false};
    cow_String jobName{"Unknown"};
    std::unique_ptr<ipm_PhaseTexts> currentPhase;
    std::unique_ptr<ipm_MessageLog> logFile;
    bool logOpenTried = false;
    std::atomic<bool> logFailed{false};
    std::unique_ptr<ipm_DocumentBlocks> blocks;
    std::unique_ptr<ipm_DocumentQueue> messageBuffer;
    // Where the last document buffered ended, read without the lock: only a
    // hint of where the next goes.
    std::atomic<const char*> bufferEnd{nullptr};
    mutable cow_1DArrayList<cow_String> messageCopies;
    // Under the buffer lock: the bytes of the task's backlog, and the
    // documents dropped from sending, since the task last took them and in all.
    size_t taskBytes = 0;
    long long droppedUntold = 0;
    long long droppedInAll = 0;
    std::atomic<bool> pending{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> logToFile{true};

    thr_Mutex bufferLock{0};
    // Wakes the pausing task when senders need it; both under the buffer lock.
    std::condition_variable_any sendersWaiting;
    bool taskPausing = false;
    // Raised when senders need the task while it waits on the connection.
    std::unique_ptr<csp_WakeSignal> taskWake;
    // Recursive: a kill handler raised inside Poll may send a direct message.
    // Every call under it is bounded by the network time limit.
    std::recursive_mutex transportLock;
    std::atomic<bool> transportBroken{false};

    mutable std::mutex deliveryLock;
    std::condition_variable deliveryChanged;
    Delivery delivery = Delivery::Off;
    std::string deliveryReason;
    std::vector<std::string> told;
    std::string deliveryTold;
    bool taskRunning = false;
    // No task that is starting the transport, or a transport connected: a
    // direct send reads this alone.
    std::atomic<bool> directAtOnce{true};
};

template <>
IPM_EXPORT ipm_MessageTransmit& thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
template <>
IPM_EXPORT std::atomic<ipm_MessageTransmit*>& thr_GlobalSingletonBase<ipm_MessageTransmit>::recorded();
