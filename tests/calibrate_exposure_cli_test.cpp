// `quillon-sim calibrate-exposure` as a user meets it: the pool it writes runs under its control,
// a search that runs out says so in its exit code, and what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "recording_host.h"
#include "sim_command.h"

namespace {

using quillon::testing::runSimCommand;
using quillon::testing::SimRun;
using quillon::testing::TempFolder;

const std::string data = std::string(QUILLON_SOURCE_DIR) + "/data/samplepassfail.txt";
const std::string samplePool = std::string(QUILLON_SOURCE_DIR) + "/data/samplepassfail_pool.csv";
const std::string dataOptions = "--data " + data + " --max-length 20 --threads 2 ";
const std::string runOptions = "--pool " + samplePool + " " + dataOptions;

TEST(CalibrateExposureCommand, TheWrittenPoolRunsUnderItsControl) {
    TempFolder folder;
    const std::string pool = folder.file("calibrated.csv");
    const SimRun calibrated = runSimCommand(folder, "calibrate-exposure " + runOptions + "--out " + pool);
    ASSERT_EQ(calibrated.exitCode, 0) << calibrated.err;
    EXPECT_EQ(calibrated.out.rfind("Iteration 1: maximum selection rate 1.0000", 0), 0u) << calibrated.out;
    EXPECT_NE(calibrated.out.find("Converged after "), std::string::npos) << calibrated.out;
    EXPECT_NE(calibrated.out.find("items at the bound"), std::string::npos) << calibrated.out;
    EXPECT_EQ(TempFolder::read(pool).rfind("Item_ID,Collection,Freq,dropQQ,1,2,Exposure_K\r\n", 0), 0u);

    const SimRun run =
        runSimCommand(folder, dataOptions + "--pool " + pool + " --exposure-control sympson-hetter" + " --results " +
                                  folder.file("results.csv") + " --exposure " + folder.file("expos.csv") + " --quiet");
    EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST(CalibrateExposureCommand, RunningOutOfIterationsIsNoSuccess) {
    TempFolder folder;
    const std::string pool = folder.file("calibrated.csv");
    const SimRun ran = runSimCommand(folder, "calibrate-exposure " + runOptions + "--iterations 1 --out " + pool);
    EXPECT_EQ(ran.exitCode, 3);
    EXPECT_NE(ran.err.find("not converged after 1 iteration:"), std::string::npos) << ran.err;
    EXPECT_NE(TempFolder::read(pool).find("Exposure_K"), std::string::npos);
}

TEST(CalibrateExposureCommand, RefusesWithAMessageAndItsExitCode) {
    TempFolder folder;
    const std::string out = folder.file("out.csv");
    const std::string taken = folder.write("taken.csv", "kept");
    struct Case {
        std::string arguments;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {runOptions, 2, "--out is required"},
        {runOptions + "--out " + taken, 1, "already exist"},
        {runOptions + "--out " + samplePool + " --force", 1, "is also the pool file"},
        {runOptions + "--out " + out + " --results " + folder.file("r.csv"), 2, "--results is not for"},
        {runOptions + "--out " + out + " --exposure-control eligibility", 2, "--exposure-control is not for"},
        {runOptions + "--out " + out + " --max-exposure 0", 2, "Maximum exposure rate 0"},
        {runOptions + "--out " + out + " --iterations 0", 2, "--iterations"},
        {"--pool " + folder.file("none.csv") + " --data " + data + " --out " + out, 1, "NONE.CSV is not available"},
    };
    for (const Case& c : cases) {
        const SimRun ran = runSimCommand(folder, "calibrate-exposure " + c.arguments);
        EXPECT_EQ(ran.exitCode, c.exitCode) << c.arguments << ": " << ran.err;
        EXPECT_NE(ran.err.find(c.message), std::string::npos) << ran.err;
        EXPECT_TRUE(TempFolder::read(out).empty()) << c.arguments;
        EXPECT_EQ(TempFolder::read(taken), "kept");
    }
}

}  // namespace
