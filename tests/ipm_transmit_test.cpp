#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "csp/csp_module.h"
#include "foundation/foundation_modules.h"
#include "ipm/ipm.h"
#include "ipm/ipm_MessageTransmit.h"
#include "jcl/jcl_module.h"
#include "support/RecordingMechanism.h"
#include "support/TempDir.h"
#include "support/TransmitterSetup.h"

namespace {
std::string document(const std::string& type, int n) {
    return "<" + type + "><n type=\"integer\">" + std::to_string(n) +
           "</n><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></" + type + ">\n";
}

int send(const char* type, int n) { return ipm_sendMessage(type, "n=%i", &n, nullptr, nullptr); }
int sendDirect(const char* type, int n) { return ipm_sendMessageDirect(type, "n=%i", &n, nullptr, nullptr); }

class TransmitTest : public ::testing::Test {
protected:
    void TearDown() override { ipm_MessageTransmit::DestroyInstance(); }

    // Job "beam", messaging on, its log file in the temporary directory.
    ipm_MessageTransmit& Start(const char* maxErrors = nullptr, const char* maxWarnings = nullptr) {
        return RestartTransmitter({"job=beam", "message=on", "indir=" + dir.Path()}, maxErrors, maxWarnings);
    }

    RecordingMechanism* Install() {
        auto* mechanism = new RecordingMechanism(record);
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().SetMechanism(mechanism);
        return mechanism;
    }

    // The log file once the transmitter has closed it.
    std::string FinalLog() {
        ipm_MessageTransmit::DestroyInstance();
        return dir.Read("beam.ipm");
    }

    std::shared_ptr<MechanismRecord> record = std::make_shared<MechanismRecord>();
    TempDir dir;
};

TEST_F(TransmitTest, MessagingIsOnOnlyWithAJobAndAMessageOptionOtherThanNONE) {
    struct Case {
        std::vector<std::string> options;
        bool enabled;
        const char* jobName;
    };
    const Case cases[] = {
        {{}, false, "Unknown"},
        {{"job=beam"}, false, "beam"},
        {{"message=on"}, false, "Unknown"},
        {{"job=beam", "message=NONE"}, false, "beam"},
        {{"job=beam", "message=none"}, true, "beam"},
        {{"job=beam", "message="}, true, "beam"},
        {{"-job", "plate", "-message", "all"}, true, "plate"},
    };
    for (const Case& c : cases) {
        ipm_MessageTransmit& transmitter = RestartTransmitter(c.options);
        EXPECT_EQ(transmitter.Enabled(), c.enabled) << ::testing::PrintToString(c.options);
        EXPECT_EQ(transmitter.JobName(), c.jobName) << ::testing::PrintToString(c.options);
    }
}

TEST_F(TransmitTest, MessagingOffEncodesLogsAndBuffersNothing) {
    RestartTransmitter({"job=beam", "message=NONE", "indir=" + dir.Path()});
    Install();
    EXPECT_EQ(send("Progress", 1), 0);
    EXPECT_TRUE(record->EncodedMessages().empty());
    EXPECT_TRUE(BufferedDocuments().empty());
    EXPECT_EQ(record->Count("Initialize"), 0);

    // A direct send still hands the (empty) document to the mechanism.
    EXPECT_EQ(sendDirect("Progress", 2), 0);
    EXPECT_EQ(record->Transmitted(), std::vector<std::string>{""});

    RestartTransmitter({"message=on", "indir=" + dir.Path()});
    Install();
    send("Progress", 3);
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_FALSE(dir.Exists("beam.ipm"));
    EXPECT_FALSE(dir.Exists("Unknown.ipm"));
}

TEST_F(TransmitTest, CapsDropFromTheBufferButEverythingIsLogged) {
    dir.Write("beam.ipm", "earlier run\n");
    ipm_MessageTransmit& transmitter = Start("3");
    EXPECT_EQ(RecordingMechanism(record).jobName, "");
    EXPECT_EQ(Install()->jobName, "beam");
    EXPECT_EQ(transmitter.MaxErrorMessages(), 3);
    EXPECT_EQ(transmitter.MaxWarningMessages(), 200);

    std::string logged = "earlier run\n";
    std::vector<std::string> buffered;
    const auto expect = [&](const std::string& type, int n, bool accepted) {
        logged += document(type, n);
        if (accepted) buffered.push_back(document(type, n));
    };
    for (int n = 0; n < 5; ++n) {
        send("Error", n);
        expect("Error", n, n < 3);
    }
    for (int n = 0; n < 3; ++n) {
        send("Warning", n);
        expect("Warning", n, true);
    }
    send("ErrorX", 0);
    expect("ErrorX", 0, true);
    send("error", 0);
    expect("error", 0, true);

    EXPECT_EQ(BufferedDocuments(), buffered);
    EXPECT_TRUE(transmitter.Pending());
    EXPECT_EQ(record->Count("Initialize"), 1);
    EXPECT_EQ(FinalLog(), logged);
}

TEST_F(TransmitTest, CapsComeFromTheEnvironmentOnceWithDefaultsBelowOne) {
    const std::pair<const char*, int> errorCaps[] = {{"0", 20},  {"-4", 20},   {"abc", 20},
                                                     {"", 20},   {"7", 7},     {"12abc", 12},
                                                     {" 9", 9}, {"99999999999", INT_MAX}};
    for (const auto& [text, cap] : errorCaps) EXPECT_EQ(Start(text).MaxErrorMessages(), cap) << text;
    EXPECT_EQ(Start(nullptr, "0").MaxWarningMessages(), 200);
    EXPECT_EQ(Start(nullptr, "5").MaxWarningMessages(), 5);

    ipm_MessageTransmit& transmitter = Start();
    setenv("MAX_ERROR_MESSAGES", "2", 1);
    EXPECT_EQ(transmitter.MaxErrorMessages(), 20);
    EXPECT_EQ(transmitter.MaxWarningMessages(), 200);
    unsetenv("MAX_ERROR_MESSAGES");
}

TEST_F(TransmitTest, AfterAFailureMessagesAreLoggedButNotBuffered) {
    ipm_MessageTransmit& transmitter = Start();
    Install();
    send("Progress", 1);
    {
        std::lock_guard buffer(transmitter.BufferLock());
        transmitter.ClearMessageBuffer();
    }
    transmitter.SetFailed();
    send("Progress", 2);
    send("Error", 3);
    EXPECT_TRUE(BufferedDocuments().empty());
    EXPECT_FALSE(transmitter.Pending());
    EXPECT_EQ(FinalLog(), document("Progress", 1) + document("Progress", 2) + document("Error", 3));
}

TEST_F(TransmitTest, LogFileGoesToTheCurrentDirectoryWithoutIndirAndCanBeSwitchedOff) {
    const std::string before = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    RestartTransmitter({"job=beam", "message=on"});
    Install();
    send("Progress", 1);
    ipm_MessageTransmit::DestroyInstance();
    ASSERT_EQ(chdir(before.c_str()), 0);
    EXPECT_EQ(dir.Read("beam.ipm"), document("Progress", 1));

    std::remove(dir.File("beam.ipm").c_str());
    Start().SetLogToFile(false);
    Install();
    send("Progress", 2);
    EXPECT_EQ(BufferedDocuments(), std::vector<std::string>{document("Progress", 2)});
    ipm_MessageTransmit::DestroyInstance();
    EXPECT_FALSE(dir.Exists("beam.ipm"));
}

TEST_F(TransmitTest, WithoutAMechanismTheFirstBufferedMessageSwitchesMessagingOffForGood) {
    ipm_MessageTransmit& transmitter = Start();
    EXPECT_EQ(send("Progress", 1), 0);
    EXPECT_FALSE(transmitter.Enabled());

    Install();
    send("Progress", 2);
    EXPECT_TRUE(record->EncodedMessages().empty());
    EXPECT_EQ(record->Count("Initialize"), 0);
    EXPECT_TRUE(BufferedDocuments().empty());
    sendDirect("Progress", 3);
    EXPECT_EQ(record->Transmitted(), std::vector<std::string>{""});
}

TEST_F(TransmitTest, AFailedStartSwitchesMessagingOffAndLeavesAnEmptyLog) {
    record->initializeResult = false;
    ipm_MessageTransmit& transmitter = Start();
    Install();
    send("Progress", 1);
    send("Progress", 2);
    EXPECT_FALSE(transmitter.Enabled());
    EXPECT_FALSE(transmitter.MechanismReady());
    EXPECT_EQ(record->Count("Initialize"), 1);
    EXPECT_TRUE(BufferedDocuments().empty());
    EXPECT_TRUE(dir.Exists("beam.ipm"));
    EXPECT_EQ(FinalLog(), "");
    EXPECT_EQ(record->Count("Destroy"), 1);
}

TEST_F(TransmitTest, RemovingTheMechanismBuffersEmptyDocumentsAndKeepsTheOldOne) {
    ipm_MessageTransmit& transmitter = Start();
    RecordingMechanism* mechanism = Install();
    send("Progress", 1);
    transmitter.SetMechanism(nullptr);
    send("Progress", 2);
    EXPECT_EQ(BufferedDocuments(), (std::vector<std::string>{document("Progress", 1), ""}));
    transmitter.TransmitMessage(cow_String("<x/>\n"));
    EXPECT_TRUE(record->Transmitted().empty());

    ipm_MessageTransmit::DestroyInstance();
    EXPECT_EQ(record->Count("Destroy"), 0);
    delete mechanism;
}

TEST_F(TransmitTest, StartedRuleAppliesToBothEntryPoints) {
    Start();
    Install();
    send("Job Started now", 1);
    sendDirect("JobStarted", 2);
    send("started", 3);
    std::string encoded;
    for (const MechanismRecord::Encoded& message : record->EncodedMessages())
        encoded += message.type + (message.started ? "+ " : "- ");
    EXPECT_EQ(encoded, "Started+ Started+ started- ");

    const std::vector<std::string> buffered = BufferedDocuments();
    ASSERT_EQ(buffered.size(), 2u);
    EXPECT_EQ(buffered[0].rfind("<Started><n type=\"integer\">1</n>", 0), 0u);
    EXPECT_NE(buffered[0].find("<clientHost type=\"string\">"), std::string::npos);
    EXPECT_EQ(buffered[1], document("started", 3));
}

TEST_F(TransmitTest, DirectSendsBypassCapsLogAndStartAndAnExplicitStartIsNotRepeated) {
    ipm_MessageTransmit& transmitter = Start("1");
    Install();
    sendDirect("Error", 1);
    EXPECT_EQ(record->Count("Initialize"), 0);
    EXPECT_TRUE(transmitter.InitializeMechanism());
    EXPECT_TRUE(transmitter.MechanismReady());
    send("Error", 2);
    send("Error", 3);
    sendDirect("Error", 4);
    EXPECT_EQ(record->Transmitted(), (std::vector<std::string>{document("Error", 1), document("Error", 4)}));
    EXPECT_EQ(BufferedDocuments(), std::vector<std::string>{document("Error", 2)});
    EXPECT_EQ(record->Count("Initialize"), 1);
    EXPECT_EQ(FinalLog(), document("Error", 2) + document("Error", 3));
}

TEST_F(TransmitTest, NullTypeAndFormatReadAsEmptyTexts) {
    Start();
    Install();
    EXPECT_EQ(ipm_sendMessage(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ipm_sendMessageDirect(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    const std::string empty = "<><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName></>\n";
    EXPECT_EQ(BufferedDocuments(), std::vector<std::string>{empty});
    EXPECT_EQ(record->Transmitted(), std::vector<std::string>{empty});
}

struct Module {
    const char* name;
    void (*initialize)(int&);
    void (*finalize)(int&);
};

const Module modules[] = {
    {"mem", mem_initialize, mem_finalize}, {"xmp", xmp_initialize, xmp_finalize},
    {"thr", thr_initialize, thr_finalize}, {"omni", omni_initialize, omni_finalize},
    {"atr", atr_initialize, atr_finalize}, {"cow", cow_initialize, cow_finalize},
    {"nex", nex_initialize, nex_finalize}, {"csp", csp_initialize, csp_finalize},
    {"utl", utl_initialize, utl_finalize}, {"jcl", jcl_initialize, jcl_finalize},
    {"eli", eli_initialize, eli_finalize},
};

// A started module leaves a probing start-up pair's counter alone.
bool isStarted(const Module& module) {
    int probe = 0;
    module.initialize(probe);
    const bool wasStarted = probe == 0;
    module.finalize(probe);
    EXPECT_EQ(probe, 0) << module.name;
    return wasStarted;
}

// The names of the started modules (or of all, when `all`).
std::vector<std::string> startedModules(bool all = false) {
    std::vector<std::string> names;
    for (const Module& module : modules)
        if (all || isStarted(module)) names.push_back(module.name);
    return names;
}

bool transmitterExists() { return thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance() != nullptr; }

TEST(LifeCycle, OnlyTheFirstStartAndTheLastStopDoTheWork) {
    ASSERT_TRUE(startedModules().empty());
    int count = 5;
    ipm_initialize(count);
    EXPECT_EQ(count, 5 + 1 + 11);
    EXPECT_EQ(startedModules(), startedModules(true));
    ipm_initialize(count);
    EXPECT_EQ(count, 17);

    thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    ipm_finalize(count);
    EXPECT_EQ(count, 17);
    EXPECT_EQ(startedModules(), startedModules(true));
    EXPECT_TRUE(transmitterExists());

    ipm_finalize(count);
    EXPECT_EQ(count, 5);
    EXPECT_TRUE(startedModules().empty());
    EXPECT_FALSE(transmitterExists());
}

TEST(LifeCycle, ModulesStartedElsewhereStayStarted) {
    int elsewhere = 0;
    csp_initialize(elsewhere);
    int count = 0;
    ipm_initialize(count);
    EXPECT_EQ(count, 1 + 10);
    ipm_finalize(count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(startedModules(), std::vector<std::string>{"csp"});
    csp_finalize(elsewhere);
    EXPECT_EQ(elsewhere, 0);
}
}  // namespace
