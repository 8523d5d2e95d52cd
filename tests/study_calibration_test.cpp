// Calibration sample sizes as a study factor: the design read and refused, the calibration
// samples and pools, and a small study run whole with its loss against the true pool.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "failure_text.h"
#include "quillon/engine/run_parts.h"
#include "quillon/study/study.h"
#include "quillon/text/csv_fields.h"
#include "recording_host.h"

namespace quillon {
namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

const std::string generate = "[data.generate]\nitems = 40\ncollections = 2\nexaminees = 60\nscript-length = 10\n";

TEST(StudyCalibration, TheDesignIsReadOrRefused) {
    TempFolder folder;
    folder.write("pool.csv", "x");
    folder.write("r1.txt", "1");
    struct Bad {
        std::string text;
        const char* says;
    };
    const Bad cases[] = {
        {"[data]\nfiles = [\"r1.txt\"]\n[settings]\npool = \"pool.csv\"\n[data.calibrate]\nexaminees = [100]\n",
         "key \"data.calibrate\": calibrates pools from the study's generated pool: it needs [data.generate]"},
        {"[data.calibrate]\nexaminees = [100]\n", "it needs [data.generate]"},
        {generate + "[data.calibrate]\nexaminees = [100, 0]\n",
         "line 7, key \"data.calibrate.examinees\": must be from 1"},
        {generate + "[data.calibrate]\nexaminees = [100.5]\n", "expects whole numbers of examinees"},
        {generate + "[data.calibrate]\nexaminees = [2000000]\n", "must be from 1 to 1000000 examinees"},
        {generate + "[data.calibrate]\nexaminees = [100, 100]\n", "names the size 100 twice"},
        {generate + "[data.calibrate]\nexaminees = []\n", "has no calibration sample sizes"},
        {generate + "[data.calibrate]\nprior = [1, 1]\n", "needs examinees = [...]"},
        {generate + "[data.calibrate]\nexaminees = [100]\nprior = [0, 1]\n", "both numbers must be above 0"},
        {generate + "[data.calibrate]\nexaminees = [100]\nprior = 1\n", "expects the Beta prior's two numbers"},
        {generate + "[data.calibrate]\nexaminees = [100]\nlatent = 2\n", "is not a key of [data.calibrate]"},
        {generate + "[data.calibrate]\nexaminees = [100]\n[settings]\npool = \"pool.csv\"\n",
         "key \"settings.pool\": a study with [data.calibrate] calibrates its pools from its generated pool"},
        {generate + "[factors]\ncalibration-examinees = [100]\n", "given as examinees in [data.calibrate]"},
        {"[data.generate]\nitems = 400\n[data.calibrate]\nexaminees = [1000, 300000]\n",
         "condition 3 (calibration-examinees = 300000): a calibration sample of 300000 examinees on 400 items holds "
         "more than 100000000 answers"},
        {"[study]\nreference = { calibration-examinees = 300 }\n" + generate + "[data.calibrate]\nexaminees = [100]\n",
         "300 is neither \"true pool\" nor a size of data.calibrate.examinees"},
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.text);
        Study study;
        const std::string problem = takeInto(readStudy(folder.write("bad.toml", bad.text)), study);
        EXPECT_NE(problem.find(bad.says), std::string::npos) << problem;
    }

    // The sizes vary fastest, after the true pool, which every size is compared to unless the
    // reference names another level.
    const std::string design = "[factors]\nmethod = [\"Shannon\", \"MinCost\"]\n" + generate +
                               "[data.calibrate]\nexaminees = [250, 100]\nprior = [1, 2]\n";
    for (const auto& [reference, referenceOfLast] :
         {std::pair{"", 3},
          {"[study]\nreference = { method = \"MinCost\" }\n", 3},
          {"[study]\nreference = { calibration-examinees = 250 }\n", 4},
          {"[study]\nreference = { calibration-examinees = \"true pool\", method = \"Shannon\" }\n", 0}}) {
        SCOPED_TRACE(reference);
        Study study;
        ASSERT_EQ(takeInto(readStudy(folder.write("s.toml", reference + design)), study), "");
        ASSERT_EQ(study.factors.size(), 2u);
        EXPECT_EQ(study.factors[1].values, (std::vector<std::string>{"true pool", "250", "100"}));
        EXPECT_EQ(study.calibration->options.priorB, 2.0);
        EXPECT_EQ(conditionCount(study), 6u);
        EXPECT_EQ(referenceCondition(study, 5), static_cast<std::size_t>(referenceOfLast));
        EXPECT_EQ(calibrationSize(study, 5), 100);
        EXPECT_EQ(calibrationSize(study, 3), std::nullopt);
    }
}

// Every condition of a replication reads the same calibrated pool of a size; each size, and each
// replication, has a sample of its own; the true pool's runs read the generated pool itself.
TEST(StudyCalibration, EachReplicationAndSizeHasItsOwnSample) {
    TempFolder folder;
    Study study;
    ASSERT_EQ(takeInto(readStudy(folder.write("s.toml",
                                              "[study]\nreplications = 2\n[factors]\nmethod = "
                                              "[\"Shannon\", \"MinCost\"]\n" +
                                                  generate + "[data.calibrate]\nexaminees = [30, 50]\n")),
                       study),
              "");
    const std::string work = folder.file("work");
    const StudyData data = studyData(study, work, 0, 0);
    const std::string truePool = (fs::path(data.folder) / samplePoolName).string();
    EXPECT_EQ(studyRun(study, work, 0, 0).settings.poolFile, truePool);
    EXPECT_EQ(studyRun(study, work, 3, 0).settings.poolFile, truePool);
    EXPECT_EQ(studyRun(study, work, 1, 0).settings.poolFile, studyRun(study, work, 4, 0).settings.poolFile);
    EXPECT_NE(studyRun(study, work, 1, 0).settings.poolFile, studyRun(study, work, 2, 0).settings.poolFile);
    EXPECT_NE(studyRun(study, work, 1, 0).settings.poolFile, studyRun(study, work, 1, 1).settings.poolFile);

    // The samples themselves: the same seed gives the same answers; sizes and replications differ.
    const SampleFiles files = generateSampleFiles(data.options);
    const auto sample = [&](std::int64_t size, std::uint64_t dataSeed) {
        ObservedAnswers answers;
        EXPECT_EQ(
            takeInto(calibrationSample(data.options, files, size, calibrationSampleSeed(dataSeed, size)), answers), "");
        return answers;
    };
    const ObservedAnswers first = sample(30, data.options.seed);
    EXPECT_EQ(first.examineeCount(), 30u);
    EXPECT_EQ(first.items.size(), 40u);
    EXPECT_EQ(first.answers, sample(30, data.options.seed).answers);
    const ObservedAnswers larger = sample(50, data.options.seed);
    EXPECT_FALSE(std::equal(first.answers.begin(), first.answers.end(), larger.answers.begin()));
    EXPECT_NE(first.answers, sample(30, studyData(study, work, 0, 1).options.seed).answers);

    // The generated pool stays as it was generated; a calibrated one is made beside it.
    ASSERT_EQ(failureText(prepareStudyData(study, work)), "");
    EXPECT_EQ(TempFolder::read(truePool), files.pool);
    EXPECT_TRUE(fs::is_regular_file(studyRun(study, work, 1, 0).settings.poolFile));
}

std::vector<std::vector<std::string>> tableRows(const std::string& path) {
    std::vector<std::vector<std::string>> rows = *quotedCsvRecords(TempFolder::read(path));
    rows.erase(rows.begin());
    return rows;
}

// A small study runs whole: its true-pool runs are those of the same study without calibration,
// its sizes are compared to them, and the report says what each size lost.
TEST(StudyCalibration, ASmallStudyReportsTheLossPerSize) {
    TempFolder folder;
    const std::string settings = "[study]\nreplications = 2\nthreads = 1\n[settings]\nmax-length = 10\n";
    Study plain, calibrated;
    ASSERT_EQ(takeInto(readStudy(folder.write("plain.toml", settings + generate)), plain), "");
    ASSERT_EQ(takeInto(readStudy(folder.write("calibrated.toml",
                                              settings + generate + "[data.calibrate]\nexaminees = [40, 200]\n")),
                       calibrated),
              "");
    testing::RecordingHost host;
    StudyWatcher watcher;
    for (const Study* study : {&plain, &calibrated})
        ASSERT_EQ(failureText(runStudyLocally(*study, studyWorkFolder(*study), 1, host, watcher)), "");

    const auto outcomes = [](const Study& study) { return tableRows(study.outputFolder + "/study_outcomes.csv"); };
    std::vector<std::vector<std::string>> truePool;
    for (std::vector<std::string> row : outcomes(calibrated))
        if (row[1] == "true pool") {
            row.erase(row.begin() + 1);
            truePool.push_back(row);
        }
    EXPECT_EQ(truePool, outcomes(plain));

    // Each size's paired differences are taken to the true pool (condition 1).
    const std::vector<std::vector<std::string>> conditions =
        tableRows(calibrated.outputFolder + "/study_conditions.csv");
    std::set<std::string> sizes;
    for (const std::vector<std::string>& row : conditions) {
        const std::size_t reference = 11;  // condition, the factor, rule, threshold, outcome, n ... pooled
        EXPECT_EQ(row[reference], "1");
        if (row[1] != "true pool" && row[4] == "pcc") {
            sizes.insert(row[1]);
            EXPECT_FALSE(row[reference + 2].empty());  // the difference's mean
        }
    }
    EXPECT_EQ(sizes, (std::set<std::string>{"40", "200"}));
    const std::string report = TempFolder::read(calibrated.outputFolder + "/study_report.html");
    EXPECT_NE(report.find("<h2>Lost against the true pool</h2>"), std::string::npos);
    EXPECT_NE(report.find("SPRT PCC lost"), std::string::npos);
    EXPECT_EQ(TempFolder::read(plain.outputFolder + "/study_report.html").find("Lost against"), std::string::npos);

    // A changed calibration reruns the calibrated runs and keeps the true pool's.
    Study changed;
    ASSERT_EQ(takeInto(readStudy(folder.write("calibrated.toml", settings + generate +
                                                                     "[data.calibrate]\nexaminees = [40, 200]\n"
                                                                     "prior = [2, 2]\n")),
                       changed),
              "");
    ASSERT_EQ(failureText(prepareStudyData(changed, studyWorkFolder(changed))), "");
    for (const StudyTask& task : studyTasks(changed, 1))
        EXPECT_EQ(taskIsDone(changed, studyWorkFolder(changed), task), !calibrationSize(changed, task.condition))
            << taskDescription(changed, task);
}

}  // namespace
}  // namespace quillon
