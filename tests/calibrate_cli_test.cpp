// `quillon-sim calibrate` as a user meets it: the pool it writes runs, and what it refuses.
#include <gtest/gtest.h>

#include <cstdlib>

#include "recording_host.h"
#include "sim_command.h"

namespace {

using quillon::testing::runSimCommand;
using quillon::testing::SimRun;
using quillon::testing::TempFolder;

const std::string pilot = std::string(QUILLON_SOURCE_DIR) + "/data/samplepassfail.txt";

TEST(CalibrateCommand, TheWrittenPoolRuns) {
    TempFolder folder;
    const std::string pool = folder.file("pool.csv");
    const SimRun calibrated =
        runSimCommand(folder, "calibrate --data " + pilot + " --out " + pool + " --min-answers 5");
    ASSERT_EQ(calibrated.exitCode, 0) << calibrated.err;
    EXPECT_NE(calibrated.out.find("2000 examinees, 300 items, 2 groups"), std::string::npos) << calibrated.out;
    EXPECT_FALSE(TempFolder::read(folder.file("pool_calibration.csv")).empty());

    const SimRun run =
        runSimCommand(folder, "--pool " + pool + " --data " + pilot + " --results " + folder.file("results.csv") +
                                  " --exposure " + folder.file("expos.csv") + " --max-length 20 --quiet");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
}

TEST(CalibrateCommand, RefusesWithAMessageAndItsExitCode) {
    TempFolder folder;
    const std::string pool = folder.file("pool.csv");
    const std::string oneGroup = folder.write("one.txt", "A          0 101\nB          0 011\n");
    folder.write("taken.csv", "kept");
    struct Case {
        std::string arguments;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {"--data " + oneGroup + " --out " + pool, 1, "needs at least two groups"},
        {"--data " + pilot + " --out " + pool + " --prior 0,1", 2, "needs a and b above 0"},
        {"--data " + pilot + " --out " + pool + " --prior half", 2, "--prior \"half\" is not two numbers"},
        {"--data " + pilot + " --data " + pilot + " --out " + pool, 2, "is given twice"},
        {"--data " + pilot + " --out " + pool + " --latent 2..11", 2, "At most 10 latent classes (asked for 11)"},
        {"--data " + pilot + " --out " + pool + " --latent 0", 2, "--latent \"0\" is not a class count"},
        {"--data " + pilot + " --out " + pool + " --fit " + folder.file("fit.csv"), 2, "--fit needs --latent"},
        {"--data " + pilot + " --out " + pilot, 1, "is also the data file"},
        {"--data " + pilot + " --out " + pool + " --table " + folder.file("taken.csv"), 1, "already exists"},
    };
    for (const Case& c : cases) {
        const SimRun ran = runSimCommand(folder, "calibrate " + c.arguments);
        EXPECT_EQ(ran.exitCode, c.exitCode) << c.arguments << ": " << ran.err;
        EXPECT_NE(ran.err.find(c.message), std::string::npos) << ran.err;
        // All outputs or none: nothing is left behind by a refusal.
        EXPECT_TRUE(TempFolder::read(pool).empty()) << c.arguments;
    }
    EXPECT_EQ(TempFolder::read(folder.file("taken.csv")), "kept");
    EXPECT_EQ(runSimCommand(folder, "calibrate --data " + pilot + " --out " + pool + " --table " +
                                        folder.file("taken.csv") + " --force --quiet")
                  .exitCode,
              0);
}

}  // namespace
