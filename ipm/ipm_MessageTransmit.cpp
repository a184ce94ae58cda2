#include "ipm/ipm_MessageTransmit.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "csp/csp_ConnectableSocket.h"
#include "csp/csp_WakeSignal.h"

#include "foundation/omi_Singleton.h"
#include "foundation/thr_GlobalLock.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_FilePath.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_DeliverySettings.h"
#include "ipm/impl/ipm_DocumentBlocks.h"
#include "ipm/impl/ipm_DocumentQueue.h"
#include "ipm/impl/ipm_MessageLog.h"
#include "ipm/impl/ipm_PhaseTexts.h"
#include "ipm/impl/ipm_Prefetch.h"
#include "ipm/ipm_StringRoom.h"
#include "ipm/ipm_TransmissionMechanism.h"

namespace {
// Guards creation and destruction of the transmitter; itself created and
// destroyed under the process-wide lock.
thr_Mutex* creationMutex = nullptr;

utl_CommandLine& commandLine() { return thr_GlobalSingleton<utl_CommandLine>::Instance(); }

// A job that exits without shutting the library down still finds its log
// complete, as it would with a plain buffered file.
void writeLogAtExit() {
    if (ipm_MessageTransmit* transmitter = thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
        transmitter->WriteLogAtExit();
}

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

// The job's name as a file name that stays inside indir: bytes other than
// ASCII letters, digits, '.', '-' and '_' (path separators among them)
// become '_', and at most 200 bytes are kept.
std::string logFileName(std::string_view job) {
    std::string name(job.substr(0, 200));
    for (char& byte : name) {
        const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
                          byte == '.' || byte == '-' || byte == '_';
        if (!kept) byte = '_';
    }
    return name + ".ipm";
}

// The log's next bytes when they can take the document, else the sender's
// own storage.
class LogRoom final : public ipm_DocumentRoom {
public:
    LogRoom(ipm_MessageLog* log, std::string& storage) : log(log), storage(storage) {}

    char* Reserve(size_t longest) override {
        if (char* at = log ? log->Reserve(longest) : nullptr) {
            inLog = true;
            return at;
        }
        return ipm_StringRoom(storage).Reserve(longest);
    }

    bool InLog() const { return inLog; }

private:
    ipm_MessageLog* log;
    std::string& storage;
    bool inLog = false;
};

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
    : settings(std::make_unique<ipm_DeliverySettings>(ipm_DeliverySettings::FromEnvironment())),
      maxErrorMessages(capFromEnvironment("MAX_ERROR_MESSAGES", 20)),
      maxWarningMessages(capFromEnvironment("MAX_WARNING_MESSAGES", 200)),
      currentPhase(std::make_unique<ipm_PhaseTexts>()),
      logFile(std::make_unique<ipm_MessageLog>()),
      blocks(std::make_unique<ipm_DocumentBlocks>()),
      messageBuffer(std::make_unique<ipm_DocumentQueue>()),
      taskWake(std::make_unique<csp_WakeSignal>()) {
    utl_CommandLine& options = commandLine();
    csp_ConnectableSocket::setConnectTimeout(static_cast<int>(settings->networkTimeout.count()));
    if (options.IsMember("job")) {
        jobName = options.ConstGetValue("job");
        enabled = options.IsMember("message") && !(options.ConstGetValue("message") == "NONE");
    }
    if (enabled)
        delivery = Delivery::Connecting;
    else if (options.IsMember("job") && !options.IsMember("message"))
        SetDelivery(Delivery::Off, "job=" + std::string(jobName.view()) + " is given without message=: messaging is off");
    else
        deliveryReason = "messaging is off (no job= option, or message=NONE)";
    thr_GlobalSingletonBase<ipm_MessageTransmit>::Record(this);
}

ipm_MessageTransmit::~ipm_MessageTransmit() {
    delete mechanism.exchange(nullptr);
    logFile->Close();
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
    if (mechanismReady) SetDelivery(Delivery::Connected, "");
    return mechanismReady;
}

// Tried once: a log that cannot be opened is told about, not retried.
void ipm_MessageTransmit::OpenLogFile() {
    static std::once_flag exitHook;
    if (!logToFile || logOpenTried) return;
    logOpenTried = true;
    const cow_String name(logFileName(jobName.view()));
    const cow_String path = utl_FilePath(name, commandLine().ConstGetValue("indir")).AbsolutePathName();
    logFile->Open(path.text());
    logFailed = !logFile->IsOpen();
    if (logFailed)
        Tell("cannot open the message log " + std::string(path.view()) + " (" + std::strerror(errno) +
             "): messages are not logged");
    std::call_once(exitHook, [] { std::atexit(writeLogAtExit); });
}

void ipm_MessageTransmit::Tell(const std::string& problem) {
    std::lock_guard hold(deliveryLock);
    if (std::find(told.begin(), told.end(), problem) != told.end()) return;
    told.push_back(problem);
    std::cerr << "ipm: " << problem << std::endl;
}

ipm_MessageTransmit::Delivery ipm_MessageTransmit::DeliveryState(std::string* reason) const {
    std::lock_guard hold(deliveryLock);
    if (reason) *reason = deliveryReason;
    return delivery;
}

void ipm_MessageTransmit::SetDelivery(Delivery state, const std::string& reason) {
    {
        std::lock_guard hold(deliveryLock);
        delivery = state;
        deliveryReason = reason;
        PublishDirectPath();
        deliveryChanged.notify_all();
    }
    if (state == Delivery::Connected || reason.empty()) return;
    std::lock_guard hold(deliveryLock);
    if (reason == deliveryTold) return;
    deliveryTold = reason;
    std::cerr << "ipm: " << reason << std::endl;
}

void ipm_MessageTransmit::SetTaskRunning(bool running) {
    std::lock_guard hold(deliveryLock);
    taskRunning = running;
    PublishDirectPath();
    deliveryChanged.notify_all();
}

void ipm_MessageTransmit::PublishDirectPath() {
    directAtOnce.store(!taskRunning || delivery == Delivery::Connected, std::memory_order_release);
}

// While connected, a direct send reads one flag and takes the transport lock,
// nothing else.
bool ipm_MessageTransmit::TransmitDirect(const cow_String& document) {
    if (!directAtOnce.load(std::memory_order_acquire)) {
        std::unique_lock hold(deliveryLock);
        const auto settled = [this] {
            return !taskRunning || delivery != Delivery::Connecting || stopRequested.load();
        };
        // Checked first: a timed wait reads the clock even when it need not wait.
        if (!settled()) deliveryChanged.wait_for(hold, settings->networkTimeout, settled);
        if (taskRunning && delivery != Delivery::Connected) return false;
    }
    try {
        TransmitMessage(document);
        return true;
    } catch (const std::exception& error) {
        transportBroken = true;
        SetDelivery(Delivery::Connecting, std::string("a direct send failed (") + error.what() + "): reconnecting");
    }
    return false;
}

bool ipm_MessageTransmit::StartTransport(std::string& reason, bool& lasting) {
    lasting = false;
    ipm_TransmissionMechanism* active = mechanism.load();
    if (!active) {
        reason = "no transport is installed";
        return false;
    }
    std::lock_guard transport(transportLock);
    try {
        mechanismReady = active->Initialize();
        if (!mechanismReady) reason = "cannot connect: the listener or message server is unreachable";
    } catch (const std::invalid_argument& error) {
        reason = error.what();
        lasting = true;
    } catch (const std::exception& error) {
        reason = std::string("cannot connect: ") + error.what();
    } catch (...) {
        reason = "cannot connect";
    }
    return mechanismReady;
}

// A transport that failed may not close in an orderly way; it is started
// afresh all the same.
void ipm_MessageTransmit::CloseTransport() {
    std::lock_guard transport(transportLock);
    mechanismReady = false;
    try {
        if (ipm_TransmissionMechanism* active = mechanism.load()) active->Close();
    } catch (...) {
    }
}

long long ipm_MessageTransmit::FinishTransport(std::chrono::milliseconds within) {
    std::lock_guard transport(transportLock);
    mechanismReady = false;
    try {
        if (ipm_TransmissionMechanism* active = mechanism.load()) return active->Finish(within);
    } catch (...) {
    }
    return 0;
}

void ipm_MessageTransmit::TransmitDocuments(const std::vector<std::string_view>& documents) {
    std::lock_guard transport(transportLock);
    if (ipm_TransmissionMechanism* active = mechanism.load()) active->TransmitSeveral(documents);
}

void ipm_MessageTransmit::DropDocuments(ipm_DocumentQueue& backlog, int documents) {
    ipm_DocumentBlocks::Block* emptied = backlog.DropFront(documents);
    std::lock_guard buffer(bufferLock);
    taskBytes = backlog.Bytes();
    blocks->Give(emptied);
}

int ipm_MessageTransmit::ReturnUnsent(ipm_DocumentQueue& backlog) {
    std::lock_guard buffer(bufferLock);
    backlog.Splice(*messageBuffer);
    *messageBuffer = std::move(backlog);
    taskBytes = 0;
    if (messageBuffer->Count() > 0) pending.store(true, std::memory_order_release);
    return messageBuffer->Count();
}

cow_String ipm_MessageTransmit::Encode(const char* type, const char* format, int* integers, double* doubles,
                                       char** texts, bool started) const {
    ipm_TransmissionMechanism* active = mechanism.load();
    if (!enabled || !active) return cow_String();
    return active->Encode(type ? type : "", format ? format : "", integers, doubles, texts, started);
}

void ipm_MessageTransmit::BufferMessage(const cow_String& document, const cow_String& type) {
    BufferDocument(document.view(), type.view());
}

void ipm_MessageTransmit::BufferDocument(std::string_view document, std::string_view type) {
    if (!enabled) return;
    if (!logOpenTried) OpenLogFile();
    if (logToFile && logFile->Append(document)) WakeTask();
    QueueDocument(document, type);
}

// One copy of the document fewer than encoding it elsewhere first.
void ipm_MessageTransmit::BufferEncoded(std::string& storage, const char* type, const char* format, int* integers,
                                        double* doubles, char** texts, bool started) {
    ipm_TransmissionMechanism* active = mechanism.load();
    if (!enabled || !active) return;
    if (!logOpenTried) OpenLogFile();
    LogRoom room(logToFile ? logFile.get() : nullptr, storage);
    const std::string_view document =
        active->EncodeInto(room, type ? type : "", format ? format : "", integers, doubles, texts, started);
    if (room.InLog() ? logFile->Commit(document.size()) : logToFile && logFile->Append(document)) WakeTask();
    QueueDocument(document, type ? type : "");
}

void ipm_MessageTransmit::QueueDocument(std::string_view document, std::string_view type) {
    if (type == "Error" && !withinCap(errorCount, maxErrorMessages)) return;
    if (type == "Warning" && !withinCap(warningCount, maxWarningMessages)) return;
    const bool hadSpares = !blocks->Low();
    if (!MakeRoom(document.size())) return;
    messageBuffer->Append(document, *blocks);
    bufferEnd.store(messageBuffer->End(), std::memory_order_relaxed);
    // Stored only when it changes, and without a full fence: the task reads
    // it without the lock and then takes the buffer under it.
    if (!pending.load(std::memory_order_relaxed)) pending.store(true, std::memory_order_release);
    if (hadSpares && blocks->Low()) WakeTask();
}

// The queue's blocks, like the log's chunks, were last read by the task on
// another core.
IPM_PREFETCH_FOR_WRITE void ipm_MessageTransmit::PrepareBuffering() const {
    logFile->PrepareAppend();
    if (const char* at = bufferEnd.load(std::memory_order_relaxed)) ipm_prefetchForWrite(at, ipm_typicalDocumentBytes);
}

void ipm_MessageTransmit::BufferJobEnded() {
    const cow_String document = Encode("JobEnded", "", nullptr, nullptr, nullptr, false);
    if (document.view().empty()) return;
    std::lock_guard buffer(bufferLock);
    BufferDocument(document.view(), "JobEnded");
}

// Once per need, so a sender makes a system call at most once per chunk of
// log filled or block mapped.
void ipm_MessageTransmit::WakeTask() {
    if (taskPausing)
        sendersWaiting.notify_one();
    else
        taskWake->raise();
}

// The documents of the task's write are not waiting any more: only buffered
// ones go, so the bound holds also while a write waits on the network. A
// document that cannot fit however many go is dropped itself.
bool ipm_MessageTransmit::MakeRoom(size_t bytes) {
    const size_t bound = settings->maxBacklogBytes;
    size_t held = messageBuffer->Bytes() + taskBytes + bytes;
    if (held <= bound) return true;
    const bool fits = taskBytes + bytes <= bound;
    int dropped = 0;
    if (fits)
        messageBuffer->Visit([&](std::string_view document) {
            held -= document.size();
            ++dropped;
            return held > bound;
        });
    blocks->Give(messageBuffer->DropFront(dropped));
    const long long lost = dropped + (fits ? 0 : 1);
    droppedUntold += lost;
    droppedInAll += lost;
    return fits;
}

void ipm_MessageTransmit::TransmitMessage(const cow_String& document) {
    std::lock_guard transport(transportLock);
    if (ipm_TransmissionMechanism* active = mechanism.load()) active->Transmit(document);
}

void ipm_MessageTransmit::ClearMessageBuffer() {
    messageBuffer->Release(*blocks);
    messageCopies.ClearAll();
    pending = false;
}

const cow_1DArrayList<cow_String>& ipm_MessageTransmit::MessageBuffer() const {
    messageCopies.ClearAll();
    messageBuffer->Visit([this](std::string_view document) {
        messageCopies.Append(cow_String(document));
        return true;
    });
    return messageCopies;
}

long long ipm_MessageTransmit::TakeMessagesInto(ipm_DocumentQueue& backlog) {
    std::lock_guard buffer(bufferLock);
    const size_t writeBytes = settings->writeBytes;
    int taken = 0;
    // A whole block holds about one write's bytes, and moves without a copy.
    // Either way the backlog may hold more documents than one write allows:
    // the write itself applies that limit.
    if (!messageBuffer->MoveFrontBlock(backlog))
        messageBuffer->Visit([&](std::string_view document) {
            if (backlog.Count() > 0 && backlog.Bytes() + document.size() > writeBytes) return false;
            backlog.Append(document, *blocks);
            ++taken;
            return true;
        });
    blocks->Give(messageBuffer->DropFront(taken));
    taskBytes = backlog.Bytes();
    if (messageBuffer->Count() == 0) ClearMessageBuffer();
    return std::exchange(droppedUntold, 0);
}

ipm_MessageTransmit::Backlog ipm_MessageTransmit::BacklogState() const {
    return {messageBuffer->Bytes() + taskBytes, droppedInAll};
}

void ipm_MessageTransmit::ReturnMessages(ipm_DocumentQueue& sent) {
    std::lock_guard buffer(bufferLock);
    sent.Release(*blocks);
}

// The wait is outside the transport lock, so a direct send never waits for
// the task's poll; only the task starts and closes the transport, so the
// connection it waits on stays the same meanwhile.
void ipm_MessageTransmit::PollMechanism() {
    ipm_TransmissionMechanism* active = mechanism.load();
    if (!active) return;
    const bool requested = active->AwaitRequests(*taskWake);
    taskWake->lower();
    if (!requested) return;
    std::lock_guard transport(transportLock);
    active->Poll();
}

// The pause ends at its deadline however often the senders were served; at
// its start the whole log goes to the kernel, later only once enough has
// gathered.
void ipm_MessageTransmit::Pause(unsigned int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock buffer(bufferLock);
    bool canMap = true;
    for (bool wholeLog = true;; wholeLog = false) {
        canMap = canMap && MapSpareBlock(buffer);
        logFile->HandOver(buffer, wholeLog);
        taskPausing = true;
        const bool needed = sendersWaiting.wait_until(
            buffer, deadline, [&] { return logFile->ShouldHandOver() || (canMap && blocks->Low()); });
        taskPausing = false;
        if (!needed) return;
    }
}

// Waits a little for a sender that holds the buffer, never for ever: the
// process must be able to exit.
void ipm_MessageTransmit::WriteLogAtExit() {
    std::unique_lock buffer(bufferLock, std::defer_lock);
    for (int tries = 0; !buffer.try_lock(); ++tries) {
        if (tries == 100) return;
        utl_sleep(10);
    }
    logFile->HandOver(buffer, true);
}

// The block is mapped outside the lock; false when it could not be.
bool ipm_MessageTransmit::MapSpareBlock(std::unique_lock<thr_Mutex>& buffer) {
    if (!blocks->Low()) return true;
    buffer.unlock();
    ipm_DocumentBlocks::Block* block = nullptr;
    try {
        block = ipm_DocumentBlocks::Map(0);
    } catch (const std::bad_alloc&) {
    }
    buffer.lock();
    if (block) blocks->Give(block);
    return block != nullptr;
}

std::string_view ipm_MessageTransmit::CurrentPhase(cow_String& held) const { return currentPhase->Current(held); }

void ipm_MessageTransmit::ReplaceCurrentPhase(std::string_view phase) { currentPhase->SetCurrent(phase); }

cow_String ipm_MessageTransmit::CurrentPhase() const {
    cow_String held;
    return cow_String(CurrentPhase(held));
}
