#include "bench/BenchJob.h"

#include <cstdlib>

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "foundation/utl_CommandLine.h"
#include "ipm/ipm.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"

namespace {
std::string temporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ipm-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
    return pattern;
}
}  // namespace

// Paced one document per write with a 60 ms pause, so that the task works
// through a backlog for the whole run, as the rows below expect.
BenchJob::BenchJob() : directory(temporaryDirectory()) {
    setenv("IPM_WRITE_DOCUMENTS", "1", 0);
    setenv("IPM_SEND_INTERVAL_MS", "60", 0);
    thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(std::vector<std::string>{
        std::string("job=") + jobName, "message=on", "indir=" + directory, "listener_name=127.0.0.1",
        "direct_port=" + std::to_string(listener.Port())});
    ipm_initialize(modules);
    Transmitter().SetMechanism(new ipm_DirectMechanism);
    if (!Transmitter().InitializeMechanism()) throw std::runtime_error("the direct mechanism did not connect");
    taskThread = std::thread([this] { task.Run(0); });
}

BenchJob::~BenchJob() {
    Transmitter().RequestStop();
    DropBacklog();
    listener.HangUp();
    taskThread.join();
    ipm_finalize(modules);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

ipm_MessageTransmit& BenchJob::Transmitter() { return thr_GlobalSingleton<ipm_MessageTransmit>::Instance(); }

ipm_TransmissionMechanism& BenchJob::Mechanism() const { return *Transmitter().Mechanism(); }

void BenchJob::DropBacklog() {
    ipm_MessageTransmit& transmitter = Transmitter();
    std::lock_guard buffer(transmitter.BufferLock());
    transmitter.ClearMessageBuffer();
}
