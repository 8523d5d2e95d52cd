// The runner as a user meets it: exit codes, where messages go, and what --help documents.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "quillon/input_files.h"
#include "quillon/simulation.h"
#include "recording_host.h"

namespace {

using quillon::testing::TempFolder;

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

Outcome runSim(const TempFolder& folder, const std::string& arguments) {
    const std::string command = std::string(QUILLON_SIM) + " " + arguments + " >" + folder.file("out") + " 2>" +
                                folder.file("err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempFolder::read(folder.file("out")),
            TempFolder::read(folder.file("err"))};
}

const std::string sample = std::string(QUILLON_SOURCE_DIR) + "/data/";

std::string samplePaths(const TempFolder& folder, const std::string& pool = sample + "samplepassfail_pool.csv") {
    return "--pool " + pool + " --data " + sample + "samplepassfail.txt --script " + sample +
           "samplepassfail_script.csv --enemies " + sample + "samplepassfail_enemies.csv --results " +
           folder.file("results.csv") + " --exposure " + folder.file("expos.csv");
}

TEST(Runner, ExitCodesAndStreams) {
    TempFolder folder;
    const Outcome done = runSim(folder, samplePaths(folder) + " --max-length 5 --quiet");
    EXPECT_EQ(done.exitCode, 0);
    EXPECT_EQ(done.out, "Done\n\n100% processed\n300 Items\n1 Tests/person\n");
    EXPECT_EQ(done.err, "");

    const Outcome failed = runSim(folder, samplePaths(folder, folder.file("none.csv")));
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(failed.err.starts_with("Pool file " + quillon::upperName(folder.file("none.csv")) +
                                       " is not available.\nTo see where and why, run: "))
        << failed.err;

    for (const char* usage : {"--max-length abc", "--alpha 0.0.5", "--method shannon", "--threads 0", "--bogus"}) {
        const Outcome wrong = runSim(folder, samplePaths(folder) + " " + usage);
        EXPECT_EQ(wrong.exitCode, 2) << usage;
        EXPECT_NE(wrong.err.find(std::string(usage).substr(0, std::string(usage).find(' '))), std::string::npos)
            << usage << ": " << wrong.err;
    }
}

TEST(Runner, HelpDocumentsEveryOption) {
    TempFolder folder;
    const Outcome help = runSim(folder, "--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option :
         {"--pool", "--script", "--enemies", "--data", "--results", "--exposure", "--max-length", "--categories",
          "--tests-per-person", "--method", "--randomization", "--alpha", "--beta", "--cost-pass-pass",
          "--cost-pass-fail", "--cost-fail-pass", "--cost-fail-fail", "--drop-items", "--block-enemies",
          "--follow-script", "--use-sprt", "--no-exposure", "--no-uniform-priors", "--seed", "--threads", "--quiet",
          "generate", "costs are then 0"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const Outcome generateHelp = runSim(folder, "generate --help");
    for (const char* option : {"--items", "--collections", "--groups", "--examinees", "--script-length", "--blank-share",
                               "--seed", "--out"}) {
        EXPECT_NE(generateHelp.out.find(option), std::string::npos) << option;
    }
}

TEST(Runner, WithoutTwoCategoriesTheCostOptionsAreNotRead) {
    TempFolder folder;
    const std::string common = samplePaths(folder) + " --categories 3 --method MinCost --max-length 10 --quiet";
    ASSERT_EQ(runSim(folder, common + " --cost-pass-fail .1 --cost-fail-pass 9 --cost-pass-pass 2").exitCode, 0);
    const std::string withCosts = TempFolder::read(folder.file("expos.csv"));
    // The same run in the engine with every cost 0, and with the window's default costs: only
    // the first may match, or the check above proves nothing.
    for (const bool zero : {true, false}) {
        quillon::RunSettings settings;
        quillon::setDefaultPaths(settings, QUILLON_SOURCE_DIR, '/');
        settings.resultsFile = folder.file("engine-results.csv");
        settings.exposureFile = folder.file("engine-expos.csv");
        settings.groupCount = 3;
        settings.selectionMethod = "MinCost";
        settings.maxTestLength = 10;
        if (zero) settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
        quillon::testing::RecordingHost host;
        quillon::RandomGenerator random;
        ASSERT_TRUE(quillon::runSimulation(settings, random, host).completed);
        EXPECT_EQ(TempFolder::read(settings.exposureFile) == withCosts, zero);
    }
}

TEST(Runner, SeedAndGenerate) {
    TempFolder folder;
    ASSERT_EQ(runSim(folder, "generate --items 40 --collections 2 --examinees 30 --script-length 10 --quiet --out " +
                                 folder.file("gen")).exitCode, 0);
    const std::string files = "--pool " + folder.file("gen/samplepassfail_pool.csv") + " --data " +
                              folder.file("gen/samplepassfail.txt") + " --results " + folder.file("r.csv") +
                              " --exposure " + folder.file("e.csv") + " --max-length 10 --randomization 3 --quiet";
    ASSERT_EQ(runSim(folder, files).exitCode, 0);
    const std::string first = TempFolder::read(folder.file("e.csv"));
    ASSERT_EQ(runSim(folder, files + " --seed 4294967295").exitCode, 0);
    EXPECT_TRUE(TempFolder::read(folder.file("e.csv")) == first);
    ASSERT_EQ(runSim(folder, files + " --seed 12345").exitCode, 0);
    EXPECT_FALSE(TempFolder::read(folder.file("e.csv")) == first);
    EXPECT_EQ(runSim(folder, "generate --collections 9").exitCode, 2);
}

}  // namespace
