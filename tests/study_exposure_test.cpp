// Exposure control as a study factor: the Sympson–Hetter pools a study calibrates for its
// conditions, the runs that read them, and the report's target line. The calibration itself is a
// stand-in here (defined below, so the library's is not linked): what is tested is the study's
// use of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "failure_text.h"
#include "quillon/engine/input_files.h"
#include "quillon/exposure_calibration/exposure_calibration.h"
#include "quillon/study/study.h"
#include "quillon/text/csv_fields.h"
#include "recording_host.h"

namespace quillon {

namespace {

struct CalibrationCall {
    std::string pool, responses;
    double maxExposure = 0;
};
std::vector<CalibrationCall> calls;

}  // namespace

Outcome<ExposureCalibration> calibrateExposure(const RunSettings& settings, const ExposureCalibrationOptions&,
                                               RunHost&) {
    calls.push_back({settings.poolFile, settings.responseFile, settings.maxExposure});
    if (settings.maxExposure == 0.125) return Failure{FailureKind::Input, "no K keeps every rate at 0.125"};
    ExposureCalibration found;
    found.converged = true;
    found.steps.push_back({1, 0.5, 0.3, 2});
    return found;
}

// Every item's K is R itself: enough to tell which pool a run read.
Outcome<std::string> poolWithExposureParameters(const std::string& poolText, const RunSettings& settings,
                                                const std::vector<double>&) {
    std::string text;
    std::size_t line = 0;
    for (std::size_t from = 0; from < poolText.size(); ++line) {
        const std::size_t end = std::min(poolText.find("\r\n", from), poolText.size());
        text += poolText.substr(from, end - from);
        if (line == 0) text += ",Exposure_K";
        if (line >= 3) text += "," + formatRoundTrip(settings.maxExposure);
        text += "\r\n";
        from = end + 2;
    }
    return text;
}

namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

const std::string generate = "[data.generate]\nitems = 40\ncollections = 2\nexaminees = 60\nscript-length = 10\n";

class Calibrations : public StudyWatcher {
public:
    void calibratingExposure(std::size_t pool, std::size_t pools, double maxExposure) override {
        heard.push_back(std::to_string(pool) + "/" + std::to_string(pools) + " R " + formatRoundTrip(maxExposure));
    }
    std::vector<std::string> heard;
};

// Each condition and replication with generated data has its own pool: one calibration each,
// written beside the data and read by that condition's runs alone; a second start calibrates
// nothing; the report draws each controlled condition's target.
TEST(StudyExposure, EachControlledPoolIsCalibratedOnceAndReadByItsRuns) {
    TempFolder folder;
    Study study;
    ASSERT_EQ(takeInto(readStudy(folder.write("s.toml",
                                              "[study]\nreplications = 2\nthreads = 1\n[settings]\n"
                                              "max-length = 8\n[factors]\nexposure-control = "
                                              "[\"none\", \"sympson-hetter\", \"eligibility\"]\n"
                                              "max-exposure = [0.2, 0.3]\n" +
                                                  generate)),
                       study),
              "");
    const std::string work = studyWorkFolder(study);
    calls.clear();
    Calibrations watcher;
    ASSERT_EQ(failureText(prepareStudyData(study, work, &watcher)), "");
    // In the study's order: condition 3 (R 0.2) in both replications, then condition 4 (R 0.3).
    EXPECT_EQ(watcher.heard, (std::vector<std::string>{"1/4 R 0.2", "2/4 R 0.2", "3/4 R 0.3", "4/4 R 0.3"}));
    ASSERT_EQ(calls.size(), 4u);
    std::set<std::string> pools;
    for (std::size_t c = 0; c < conditionCount(study); ++c)
        for (std::int32_t r = 0; r < 2; ++r) {
            SCOPED_TRACE(taskDescription(study, {c, r}));
            const StudyRun run = studyRun(study, work, c, r);
            const std::string generated = (fs::path(studyData(study, work, c, r).folder) / samplePoolName).string();
            if (run.settings.exposureControl != ExposureControl::SympsonHetter) {
                EXPECT_EQ(run.settings.poolFile, generated);
                EXPECT_EQ(run.calibratedFrom, "");
                continue;
            }
            EXPECT_EQ(run.calibratedFrom, generated);
            EXPECT_EQ(fs::path(run.settings.poolFile).parent_path().parent_path(), fs::path(generated).parent_path());
            const std::string pool = TempFolder::read(run.settings.poolFile);
            EXPECT_NE(pool.find(",Exposure_K\r\n"), std::string::npos);
            EXPECT_NE(pool.find("," + formatRoundTrip(run.settings.maxExposure) + "\r\n"), std::string::npos);
            pools.insert(run.settings.poolFile);
        }
    EXPECT_EQ(pools.size(), 4u);
    calls.clear();
    ASSERT_EQ(failureText(prepareStudyData(study, work, &watcher)), "");
    EXPECT_TRUE(calls.empty());

    testing::RecordingHost host;
    ASSERT_EQ(failureText(runStudyLocally(study, work, 1, host, watcher)), "");
    const std::string report = TempFolder::read(study.outputFolder + "/study_report.html");
    EXPECT_NE(report.find("<h2>Item exposure against test length</h2>"), std::string::npos);
    for (const char* target : {"target R = 0.2", "target R = 0.3"})
        EXPECT_NE(report.find(target), std::string::npos) << target;
    // Read back, the tables name both the control and R: the same figure and lines.
    Outcome<StudyFigures> figures = readStudyFigures(study.outputFolder);
    ASSERT_EQ(failureText(figures), "");
    std::vector<std::optional<double>> targets;
    for (const ConditionFigures& condition : figures->conditions) targets.push_back(condition.exposureTarget);
    EXPECT_EQ(targets, (std::vector<std::optional<double>>{std::nullopt, std::nullopt, 0.2, 0.3, 0.2, 0.3}));
}

// Given data: one calibration per pool and settings, from the first replication's responses,
// whatever the replication; a pool that has its parameters is read as it is; a calibration that
// fails stops the study before any task, naming the condition and R.
TEST(StudyExposure, GivenPoolsAreCalibratedOnceOrReadAsTheyAre) {
    TempFolder folder;
    const std::string pool =
        "Item_ID,Collection,x,drop,1,2\r\nN,,,,1,1\r\nP_Grp, , , ,.5,.5\r\nA,1,, ,.8,.3\r\nB,1,, ,.7,.2\r\n";
    folder.write("pool.csv", pool);
    folder.write("with_k.csv",
                 "Item_ID,Collection,x,drop,1,2,Exposure_K\r\nN,,,,1,1,\r\nP_Grp, , , ,.5,.5,\r\nA,1,, ,.8,.3,1\r\n"
                 "B,1,, ,.7,.2,.5\r\n");
    folder.write("r1.txt", "1 11\r\n2 00\r\n");
    folder.write("r2.txt", "2 01\r\n1 10\r\n");
    const std::string head =
        "[study]\nreplications = 2\nthreads = 1\n[settings]\nmax-length = 2\nexposure-control = "
        "\"sympson-hetter\"\n[data]\nfiles = [\"r1.txt\", \"r2.txt\"]\n";
    Study study;
    ASSERT_EQ(
        takeInto(readStudy(folder.write("s.toml", head + "[factors]\npool = [\"pool.csv\", \"with_k.csv\"]\n")), study),
        "");
    const std::string work = studyWorkFolder(study);
    calls.clear();
    ASSERT_EQ(failureText(prepareStudyData(study, work)), "");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(fs::path(calls[0].pool).filename(), "pool.csv");
    EXPECT_EQ(fs::path(calls[0].responses).filename(), "r1.txt");
    EXPECT_EQ(studyRun(study, work, 0, 0).settings.poolFile, studyRun(study, work, 0, 1).settings.poolFile);
    EXPECT_EQ(fs::path(studyRun(study, work, 0, 1).settings.poolFile).parent_path().parent_path(),
              fs::path(work) / "exposure");
    EXPECT_EQ(fs::path(studyRun(study, work, 1, 0).settings.poolFile).filename(), "with_k.csv");
    EXPECT_EQ(TempFolder::read(folder.file("pool.csv")), pool);  // a given pool is never written

    Study failing;
    ASSERT_EQ(takeInto(readStudy(folder.write("f.toml", head + "[factors]\npool = [\"pool.csv\"]\nmax-exposure = "
                                                               "[0.25, 0.125]\n")),
                       failing),
              "");
    testing::RecordingHost host;
    StudyWatcher quiet;
    EXPECT_EQ(failureText(runStudyLocally(failing, studyWorkFolder(failing), 1, host, quiet)),
              "The Sympson–Hetter parameters of condition 2, replication 1 at R = 0.125 could not be calibrated: no K "
              "keeps every rate at 0.125");
    EXPECT_FALSE(fs::exists(failing.outputFolder + "/study_results.csv"));
}

}  // namespace
}  // namespace quillon
