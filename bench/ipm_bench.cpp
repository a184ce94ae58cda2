// The job thread's cost per call of a progress message, measured beside what
// a user would otherwise write, in one run with the repetitions interleaved:
//
//   build/bench/bench/ipm_bench --benchmark_enable_random_interleaving
//       --benchmark_repetitions=5
//
// Ours: ipm_sendMessage (buffered, log file on, the message task running
// against a listener that drains; once with the buffer's memory in reuse and
// once with the backlog growing), the mechanism's encoding alone (into kept
// storage, as ipm_sendMessage encodes), and
// ipm_sendMessageDirect over loopback TCP. Theirs: fprintf of the same five
// values, spdlog's synchronous file logger with the pattern "%v", memcpy of a
// ready document plus fwrite (the floor of any file logger), and a bare
// send() of the same document over loopback. Before them (unless
// --ipm_skip_memory): resident memory over a million messages; after them:
// medians, ratios and heap allocations per buffered message.

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/AllocationCounter.h"
#include "bench/BenchJob.h"
#include "bench/MemoryStudy.h"
#include "bench/ProgressMessages.h"
#include "bench/RatioReporter.h"
#include "foundation/cow_String.h"
#include "ipm/ipm.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_StringRoom.h"
#include "ipm/ipm_TransmissionMechanism.h"

namespace {
// What the benchmarks share; set up in main before any of them runs.
struct Shared {
    BenchJob job;
    ProgressMessages messages;
    std::vector<std::string> documents;  // the message's documents, ready made
    size_t nextDocument = 0;
    std::shared_ptr<spdlog::logger> logger;
    std::FILE* file = nullptr;  // the fprintf and fwrite rows' output
    std::optional<csp_TcpSocket> connection;  // the bare send() row's loopback connection

    const std::string& NextDocument() {
        const std::string& document = documents[nextDocument];
        nextDocument = nextDocument + 1 == documents.size() ? 0 : nextDocument + 1;
        return document;
    }
};
Shared* shared = nullptr;

const char* const fprintfFormat = "step=%d increment=%d time=%g heading=%s phase=%s\n";

// Every row that writes a file empties it before and after each repetition,
// untimed: the run's disk use stays bounded, and the gigabyte a repetition
// writes leaves the page cache instead of being written back to the disk
// while later rows are timed. A file is emptied before it is closed too, as
// closing a file that was emptied and written again starts its write-back.
void emptied(const std::string& path) { std::filesystem::resize_file(path, 0); }

void emptyLog(const benchmark::State&) {
    emptied(shared->job.LogPath());
    shared->job.DropBacklog();
}

void openFile(const benchmark::State&) {
    const std::string path = shared->job.File("user.log");
    shared->file = std::fopen(path.c_str(), "w");
}

void closeFile(const benchmark::State&) {
    std::fflush(shared->file);
    emptied(shared->job.File("user.log"));
    std::fclose(shared->file);
}

void emptySpdlogFile(const benchmark::State&) {
    shared->logger->flush();
    emptied(shared->job.File("spdlog.log"));
}

// With `batch` above 0 the buffer is emptied every `batch` calls, untimed,
// as the task would do if it sent faster than one message per 60 ms: the
// buffer's memory is reused, as in a job whose backlog stays bounded. With 0
// the backlog grows through the repetition, and each message also pays for
// memory never touched before.
void Buffered(benchmark::State& state, int batch) {
    const long allocations = AllocationCounter::ThisThread();
    int sinceEmptied = 0;
    for (auto _ : state) {
        ProgressMessages::Values& values = shared->messages.Next();
        ipm_sendMessage(ProgressMessages::type, ProgressMessages::format, values.integers, values.doubles,
                        values.texts);
        if (++sinceEmptied == batch) {
            state.PauseTiming();
            shared->job.DropBacklog();
            sinceEmptied = 0;
            state.ResumeTiming();
        }
    }
    if (AllocationCounter::Available())
        state.counters["allocs/call"] =
            static_cast<double>(AllocationCounter::ThisThread() - allocations) / static_cast<double>(state.iterations());
}

void Encode(benchmark::State& state) {
    ipm_TransmissionMechanism& mechanism = shared->job.Mechanism();
    std::string storage;
    ipm_StringRoom room(storage);
    for (auto _ : state) {
        ProgressMessages::Values& values = shared->messages.Next();
        const std::string_view document = mechanism.EncodeInto(room, ProgressMessages::type, ProgressMessages::format,
                                                               values.integers, values.doubles, values.texts, false);
        benchmark::DoNotOptimize(document.data());
    }
}

void Direct(benchmark::State& state) {
    for (auto _ : state) {
        ProgressMessages::Values& values = shared->messages.Next();
        ipm_sendMessageDirect(ProgressMessages::type, ProgressMessages::format, values.integers, values.doubles,
                              values.texts);
    }
}

void Fprintf(benchmark::State& state) {
    for (auto _ : state) {
        const ProgressMessages::Values& values = shared->messages.Next();
        std::fprintf(shared->file, fprintfFormat, values.Step(), values.Increment(), values.Time(), values.Heading(),
                     values.Phase());
    }
}

void Spdlog(benchmark::State& state) {
    spdlog::logger& logger = *shared->logger;
    for (auto _ : state) {
        const ProgressMessages::Values& values = shared->messages.Next();
        logger.info("step={} increment={} time={} heading={} phase={}", values.Step(), values.Increment(),
                    values.Time(), values.Heading(), values.Phase());
    }
}

void MemcpyFwrite(benchmark::State& state) {
    char copy[1024];
    for (auto _ : state) {
        const std::string& document = shared->NextDocument();
        std::memcpy(copy, document.data(), document.size());
        benchmark::ClobberMemory();
        std::fwrite(copy, 1, document.size(), shared->file);
    }
}

void Send(benchmark::State& state) {
    for (auto _ : state) {
        const std::string& document = shared->NextDocument();
        benchmark::DoNotOptimize(::send(shared->connection->getDescriptor(), document.data(), document.size(), MSG_NOSIGNAL));
    }
}

const std::vector<std::string> ours = {"ipm_sendMessage", "ipm_sendMessage_growing", "Encode",
                                      "ipm_sendMessageDirect"};
const std::vector<std::string> alternatives = {"fprintf", "spdlog_st", "memcpy+fwrite", "send"};
const std::vector<RatioReporter::Target> targets = {
    {"ipm_sendMessage", "spdlog_st", 0.5},
    {"Encode", "fprintf", 0.35},
    {"ipm_sendMessageDirect", "send", 1.2},
};

void registerBenchmarks() {
    benchmark::RegisterBenchmark("ipm_sendMessage", [](benchmark::State& state) { Buffered(state, 1000); })
        ->Setup(emptyLog)
        ->Teardown(emptyLog);
    benchmark::RegisterBenchmark("ipm_sendMessage_growing", [](benchmark::State& state) { Buffered(state, 0); })
        ->Setup(emptyLog)
        ->Teardown(emptyLog);
    benchmark::RegisterBenchmark("Encode", Encode);
    benchmark::RegisterBenchmark("ipm_sendMessageDirect", Direct);
    benchmark::RegisterBenchmark("fprintf", Fprintf)->Setup(openFile)->Teardown(closeFile);
    benchmark::RegisterBenchmark("spdlog_st", Spdlog)->Setup(emptySpdlogFile)->Teardown(emptySpdlogFile);
    benchmark::RegisterBenchmark("memcpy+fwrite", MemcpyFwrite)->Setup(openFile)->Teardown(closeFile);
    benchmark::RegisterBenchmark("send", Send);
}

// The documents of the message cycle, as Encode makes them.
std::vector<std::string> readyDocuments(BenchJob& job, ProgressMessages& messages) {
    std::vector<std::string> documents;
    for (size_t i = 0; i < messages.CycleLength(); ++i) {
        ProgressMessages::Values& values = messages.Next();
        documents.emplace_back(job.Mechanism()
                                   .Encode(ProgressMessages::type, ProgressMessages::format, values.integers,
                                           values.doubles, values.texts, false)
                                   .view());
    }
    return documents;
}

// Removes --ipm_skip_memory from the arguments; true when it was there.
bool takeSkipMemory(int& argc, char** argv) {
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--ipm_skip_memory")
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return found;
}
}  // namespace

int main(int argc, char** argv) {
    const bool skipMemory = takeSkipMemory(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    Shared state;
    shared = &state;
    state.documents = readyDocuments(state.job, state.messages);
    state.logger = spdlog::basic_logger_st("bench", state.job.File("spdlog.log"));
    state.logger->set_pattern("%v");
    state.connection = state.job.Listener().Connect();

    size_t bytes = 0;
    for (const std::string& document : state.documents) bytes += document.size();
    std::cout << "Message: " << ProgressMessages::format << ", documents of " << bytes / state.documents.size()
              << " bytes on average\n\n";
    if (!skipMemory) MemoryStudy(state.job, state.messages).Run(std::cout);

    registerBenchmarks();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(std::cout, ours, alternatives, targets);
    if (AllocationCounter::Available())
        std::cout << "\nHeap allocations per ipm_sendMessage (median): "
                  << reporter.MedianCounter("ipm_sendMessage", "allocs/call") << '\n';

    state.connection.reset();
    spdlog::drop_all();
    benchmark::Shutdown();
    return 0;
}
