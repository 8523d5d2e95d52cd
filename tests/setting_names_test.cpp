#include "quillon/engine/setting_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "failure_text.h"

namespace quillon {
namespace {

TEST(SettingNames, ValuesLandInTheirFieldsOrAreRefused) {
    struct Case {
        const char* name;
        const char* value;
        const char* problem;  // empty when accepted
    };
    const Case cases[] = {
        {"max-length", "40", ""},
        {"max-length", "+40", ""},
        {"max-length", "40.5", "setting max-length: \"40.5\" is not a whole number"},
        {"max-length", "", "setting max-length: \"\" is not a whole number"},
        {"max-length", "99999999999", "setting max-length: \"99999999999\" is not a whole number"},
        {"alpha", "0.01", ""},
        {"alpha", "1e-3x", "setting alpha: \"1e-3x\" is not a number"},
        {"alpha", "nan", "setting alpha: \"nan\" is not a number"},
        {"method", "MinCost", ""},
        {"method", "mincost", "setting method: \"mincost\" is not one of Shannon, MaxDiscr and MinCost"},
        {"drop-items", "true", ""},
        {"drop-items", "1", "setting drop-items: \"1\" is neither true nor false"},
        {"no-uniform-priors", "true", ""},
        {"no-exposure", "false", ""},
        {"pool", "p q.csv", ""},
        {"speed", "1", "there is no setting named \"speed\""},
    };
    for (const Case& c : cases) {
        RunSettings settings;
        EXPECT_EQ(failureText(setRunSetting(settings, c.name, c.value)), c.problem) << c.name << '=' << c.value;
    }

    RunSettings settings;
    ASSERT_TRUE(setRunSetting(settings, "max-length", "40").ok());
    ASSERT_TRUE(setRunSetting(settings, "alpha", "0.01").ok());
    ASSERT_TRUE(setRunSetting(settings, "cost-fail-pass", "2.5").ok());
    ASSERT_TRUE(setRunSetting(settings, "no-uniform-priors", "true").ok());
    ASSERT_TRUE(setRunSetting(settings, "no-exposure", "false").ok());
    ASSERT_TRUE(setRunSetting(settings, "follow-script", "true").ok());
    ASSERT_TRUE(setRunSetting(settings, "data", "p q.txt").ok());
    EXPECT_EQ(settings.maxTestLength, 40);
    EXPECT_EQ(settings.sprtAlpha, 0.01);
    EXPECT_EQ(settings.costFailPass, 2.5);
    EXPECT_EQ(settings.costPassFail, RunSettings{}.costPassFail);
    EXPECT_FALSE(settings.uniformPriors);
    EXPECT_TRUE(settings.saveExposure);
    EXPECT_TRUE(settings.followScript);
    EXPECT_EQ(settings.responseFile, "p q.txt");
}

// The names are the runner's options: a setting the runner lacks, or spells differently, fails here.
TEST(SettingNames, EveryNameIsAnOptionOfTheRunner) {
    const std::string command = std::string(QUILLON_SIM) + " --help";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string help;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) help.append(buffer, n);
    for (const NamedSetting& setting : namedRunSettings()) {
        EXPECT_NE(help.find("--" + std::string(setting.name) + " "), std::string::npos) << setting.name;
    }
}

}  // namespace
}  // namespace quillon
