#include <gtest/gtest.h>

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

std::vector<std::string> startedModules() {
    std::vector<std::string> names;
    for (const Module& module : modules)
        if (isStarted(module)) names.push_back(module.name);
    return names;
}

std::vector<std::string> allModules() {
    std::vector<std::string> names;
    for (const Module& module : modules) names.push_back(module.name);
    return names;
}

bool transmitterExists() { return thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance() != nullptr; }

TEST(LifeCycle, OnlyTheFirstStartAndTheLastStopDoTheWork) {
    ASSERT_TRUE(startedModules().empty());
    int count = 5;
    ipm_initialize(count);
    EXPECT_EQ(count, 5 + 1 + 11);
    EXPECT_EQ(startedModules(), allModules());
    ipm_initialize(count);
    EXPECT_EQ(count, 17);

    thr_GlobalSingleton<ipm_MessageTransmit>::Instance();
    ipm_finalize(count);
    EXPECT_EQ(count, 17);
    EXPECT_EQ(startedModules(), allModules());
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

TEST(LifeCycle, FinalizeDeletesTheMechanismAndCompletesTheLog) {
    TempDir dir;
    int count = 0;
    ipm_initialize(count);
    RestartTransmitter({"job=beam", "message=on", "indir=" + dir.Path()});
    auto record = std::make_shared<MechanismRecord>();
    thr_GlobalSingleton<ipm_MessageTransmit>::Instance().SetMechanism(new RecordingMechanism(record));
    int step = 1;
    ipm_sendMessage("Progress", "step=%i", &step, nullptr, nullptr);

    ipm_finalize(count);
    EXPECT_EQ(record->Count("Destroy"), 1);
    EXPECT_EQ(dir.Read("beam.ipm"),
              "<Progress><step type=\"integer\">1</step><phase type=\"symconst\"></phase>"
              "<jobName type=\"string\">beam</jobName></Progress>\n");
}
}  // namespace
