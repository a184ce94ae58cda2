#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/eli_killsig.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/ipm_TransmissionMechanism.h"

// What a RecordingMechanism was told to do and what it saw. Shared with the
// test, so it outlives the mechanism, which the transmitter deletes.
class MechanismRecord {
public:
    // Behaviour; set before the mechanism is used, or (the atomics) at any time.
    bool initializeResult = true;
    std::atomic<int> failingTransmit{0};  // the Nth Transmit throws (1-based); 0: none
    std::atomic<bool> failingPoll{false};
    std::atomic<bool> killOnNextPoll{false};  // the next Poll raises the kill signal
    std::chrono::milliseconds pollWait{0};

    // Calls in order: "Initialize", "Poll", "Transmit <document>" (also a
    // failing one), "Close", "Destroy".
    std::vector<std::string> Calls() const {
        std::lock_guard hold(guard);
        return calls;
    }

    std::vector<std::string> Transmitted() const {
        std::lock_guard hold(guard);
        return transmitted;
    }

    int Count(const std::string& call) const {
        std::lock_guard hold(guard);
        int n = 0;
        for (const std::string& seen : calls) n += seen == call || seen.rfind(call + " ", 0) == 0;
        return n;
    }

    struct Encoded {
        std::string type;
        bool started;
    };
    std::vector<Encoded> EncodedMessages() const {
        std::lock_guard hold(guard);
        return encoded;
    }

    // Two threads were ever inside the transport (Initialize, Transmit, Poll)
    // at once.
    bool Overlapped() const { return overlapped.load(); }

private:
    friend class RecordingMechanism;

    void Note(const std::string& call) {
        std::lock_guard hold(guard);
        calls.push_back(call);
    }

    mutable std::mutex guard;
    std::vector<std::string> calls;
    std::vector<std::string> transmitted;
    std::vector<Encoded> encoded;
    int transmitCount = 0;
    std::atomic<std::thread::id> insideTransport{};
    std::atomic<bool> overlapped{false};
};

// A transport that records every call and encodes with the real document
// builder; it can be told to fail its Nth Transmit or its polls.
class RecordingMechanism : public ipm_TransmissionMechanism {
public:
    explicit RecordingMechanism(std::shared_ptr<MechanismRecord> record) : record(std::move(record)) {}
    ~RecordingMechanism() override { record->Note("Destroy"); }

    bool Initialize() override {
        TransportCall during(*record);
        record->Note("Initialize");
        return record->initializeResult;
    }

    cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                      bool started) override {
        {
            std::lock_guard hold(record->guard);
            record->encoded.push_back({type, started});
        }
        return ipm_MessageDocument::direct.Build(type, format, integers, doubles, texts, started, jobName);
    }

    void Close() override { record->Note("Close"); }

    void Transmit(const cow_String& document) override {
        TransportCall during(*record);
        record->Note("Transmit " + std::string(document.view()));
        int nth = 0;
        {
            std::lock_guard hold(record->guard);
            nth = ++record->transmitCount;
        }
        if (nth == record->failingTransmit.load()) throw std::runtime_error("transmission failed");
        std::lock_guard hold(record->guard);
        record->transmitted.emplace_back(document.view());
    }

    void Poll() override {
        TransportCall during(*record);
        record->Note("Poll");
        if (record->failingPoll.load()) throw std::runtime_error("poll failed");
        if (record->killOnNextPoll.exchange(false)) eli_setkillsig();
        std::this_thread::sleep_for(record->pollWait);
    }

private:
    // Notes when another thread is inside the transport: the transmitter must
    // serialise its calls.
    class TransportCall {
    public:
        explicit TransportCall(MechanismRecord& record)
            : record(record), previous(record.insideTransport.exchange(std::this_thread::get_id())) {
            if (previous != std::thread::id() && previous != std::this_thread::get_id()) record.overlapped = true;
        }
        ~TransportCall() { record.insideTransport.store(previous); }

    private:
        MechanismRecord& record;
        std::thread::id previous;
    };

    std::shared_ptr<MechanismRecord> record;
};
