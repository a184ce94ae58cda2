// The transmitter without its task: caps, the log and its name, and what
// the job is told; and the library's life cycle.

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "csp/csp_module.h"
#include "ipm/ipm.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"

namespace {

ipm_MessageTransmit& startJob(const std::string& job, const std::string& indir, const char* maxErrors = nullptr) {
    ipm_MessageTransmit& transmitter = RestartTransmitter({"job=" + job, "message=ALL", "indir=" + indir}, maxErrors);
    transmitter.SetMechanism(new ipm_DirectMechanism);
    return transmitter;
}

// Sizes from 0 to 1 KB, so that documents straddle every boundary of the
// log's buffer.
std::string filler(int n) { return std::string(static_cast<size_t>(n * 37 % 1024), static_cast<char>('a' + n % 26)); }

// Errors and warnings, which the caps soon drop, with a progress message
// every tenth; returns what the log must hold for them.
std::string sendMixed(int count) {
    std::string logged;
    for (int n = 0; n < count; ++n) {
        const char* type = n % 10 == 0 ? "Progress" : n % 7 == 0 ? "Warning" : "Error";
        std::string value = filler(n);
        char* texts[] = {value.data()};
        ipm_sendMessage(type, "n=%i text=%s", &n, nullptr, texts);
        logged += '<';
        logged += type;
        logged += R"(><n type="integer">)" + std::to_string(n) + R"(</n><text type="string">)" + value;
        logged += "</text><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></";
        logged += type;
        logged += ">\n";
    }
    return logged;
}

TEST(Transmitter, CapsDropFromSendingOnlyAndTheLogHoldsEverythingWhileTheTransportIsDown) {
    TempDir dir;
    dir.Write("beam.ipm", "earlier run\n");
    startJob("beam", dir.Path(), "3");
    const std::string logged = "earlier run\n" + sendMixed(8000);
    int errors = 0, warnings = 0;
    for (const std::string& document : BufferedDocuments()) {
        errors += document.starts_with("<Error>");
        warnings += document.starts_with("<Warning>");
    }
    EXPECT_EQ(errors, 3);
    EXPECT_EQ(warnings, 200);
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_EQ(dir.Read("beam.ipm"), logged);
    // Also when the job exits without shutting the library down.
    EXPECT_EXIT((startJob("beam", dir.Path()), dir.Write("sent", sendMixed(50)), std::exit(0)), testing::ExitedWithCode(0), "");
    EXPECT_EQ(dir.Read("beam.ipm"), logged + dir.Read("sent"));
}

// A host's own transport that knows only Encode: a shorter document after a
// longer one must not carry the longer one's tail into the log, and one
// longer than the log's buffer keeps its place.
class EncodeOnly : public ipm_TransmissionMechanism {
public:
    bool Initialize() override { return false; }
    cow_String Encode(const char* type, const char*, int* integers, double*, char**, bool) override {
        return cow_String(std::string(static_cast<size_t>(*integers), 'x') + type + "\n");
    }
    void Close() override {}
    void Transmit(const cow_String&) override {}
    void Poll() override {}
};

TEST(Transmitter, AMechanismThatOnlyEncodesHasEveryDocumentLoggedWhole) {
    TempDir dir;
    RestartTransmitter({"job=beam", "message=ALL", "indir=" + dir.Path()}).SetMechanism(new EncodeOnly);
    std::string logged;
    for (int length : {300, 5, 0, 40, 600000, 1500000, 7}) {
        ipm_sendMessage("Note", "", &length, nullptr, nullptr);
        logged += std::string(static_cast<size_t>(length), 'x') + "Note\n";
    }
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_EQ(dir.Read("beam.ipm"), logged);
}

TEST(Transmitter, TheLogStaysInsideIndirWhateverTheJobNameAndAMissingOneIsToldOnce) {
    TempDir dir;
    const std::pair<std::string, std::string> names[] = {
        {"../up", ".._up.ipm"}, {"/tmp/abs", "_tmp_abs.ipm"}, {"a b\\c", "a_b_c.ipm"},
        {std::string(300, 'x'), std::string(200, 'x') + ".ipm"}};
    for (const auto& [job, file] : names) {
        startJob(job, dir.Path());
        ipm_sendMessage("Progress", "", nullptr, nullptr, nullptr);
        ipm_MessageTransmit::DestroyInstance();
        EXPECT_TRUE(dir.Exists(file)) << job;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 4);

    testing::internal::CaptureStderr();
    startJob("beam", dir.File("missing"));
    for (int n = 0; n < 3; ++n) ipm_sendMessage("Progress", "", nullptr, nullptr, nullptr);
    ipm_MessageTransmit::DestroyInstance();
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(told.find("ipm: cannot open the message log " + dir.File("missing") + "/beam.ipm"), 0u) << told;
    EXPECT_EQ(told.find('\n'), told.size() - 1) << "one line, once";
}

TEST(Transmitter, AJobNameWithoutAMessageOptionIsToldAndShowsInTheState) {
    testing::internal::CaptureStderr();
    ipm_MessageTransmit& transmitter = RestartTransmitter({"job=beam"});
    const std::string told = testing::internal::GetCapturedStderr();
    std::string reason;
    EXPECT_EQ(transmitter.DeliveryState(&reason), ipm_MessageTransmit::Delivery::Off);
    EXPECT_NE(reason.find("without message="), std::string::npos) << reason;
    EXPECT_EQ(told, "ipm: " + reason + "\n");
    EXPECT_EQ(RestartTransmitter({"job=beam", "message=NONE"}).DeliveryState(), ipm_MessageTransmit::Delivery::Off);
    ipm_MessageTransmit::DestroyInstance();
}

// Only the first start and the last stop do the work: the caller's counter
// rises once for the library and once per module it starts (11), and the
// transmitter goes with the last stop.
TEST(LifeCycle, OnlyTheFirstStartAndTheLastStopDoTheWork) {
    int elsewhere = 0;
    csp_initialize(elsewhere);
    int count = 5;
    ipm_initialize(count);
    EXPECT_EQ(count, 5 + 1 + 10) << "csp was started elsewhere";
    ipm_initialize(count);
    thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    ipm_finalize(count);
    EXPECT_EQ(count, 16);
    EXPECT_TRUE(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance());
    ipm_finalize(count);
    EXPECT_EQ(count, 5);
    EXPECT_FALSE(thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance());
    csp_finalize(elsewhere);
    EXPECT_EQ(elsewhere, 0);
}

}  // namespace
