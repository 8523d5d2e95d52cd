// Reading real examinees' answers: what a blank means, which characters are refused, and where
// the group comes from.
#include "quillon/observed_answers/observed_answers.h"

#include <gtest/gtest.h>

namespace {

using quillon::Answer;
using quillon::ObservedItem;

constexpr Answer N = Answer::NotAdministered, W = Answer::Wrong, R = Answer::Right;

TEST(ObservedAnswers, BlanksAreNotAdministeredAndTheGroupIsTheDigitPlusOne) {
    struct Case {
        const char* line;
        std::int32_t group;
        std::vector<Answer> answers;  // three items
    };
    const Case cases[] = {
        {"E1         0 101", 1, {R, W, R}},
        {"E2         9 1 0", 10, {R, N, W}},  // a blank inside the line
        {"E3         x 1", 0, {R, N, N}},     // no digit; past the line's end not administered
        {"E4", 0, {N, N, N}},
    };
    std::string text;
    for (const Case& c : cases) text += std::string(c.line) + "\r\n";
    const auto data = quillon::readObservedAnswers({{"pilot.txt", text}});
    ASSERT_TRUE(data) << data.failure().message;
    ASSERT_EQ(data->itemCount(), 3u);
    EXPECT_EQ(data->items[2].id, "I0003");
    for (std::size_t e = 0; e < std::size(cases); ++e) {
        EXPECT_EQ(data->groups[e], cases[e].group) << cases[e].line;
        EXPECT_EQ(data->origins[e], "pilot.txt line " + std::to_string(e + 1));
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(data->answer(e, i), cases[e].answers[i]) << cases[e].line;
    }
    EXPECT_EQ(data->examineeIds[0], "E1");
}

TEST(ObservedAnswers, RefusesWhatItCannotReadWithWhereItStands) {
    const std::vector<ObservedItem> twoItems{{"A", 1}, {"B", 2}};
    struct Case {
        const char* text;
        std::vector<ObservedItem> items;
        const char* message;
    };
    const Case cases[] = {
        {"E1         0 10\nE2         1 1x", {}, "p.txt, line 2, column 15: the answer \"x\""},
        {"E1         0 12", {}, "column 15: the answer \"2\""},
        {"E1         0 10\nE2         0 101", twoItems,
         "p.txt, line 2: the line answers 3 items, but the item file names 2."},
    };
    for (const Case& c : cases) {
        const auto data = quillon::readObservedAnswers({{"p.txt", c.text}}, c.items);
        ASSERT_FALSE(data) << c.text;
        EXPECT_EQ(data.failure().kind, quillon::FailureKind::Input);
        EXPECT_NE(data.failure().message.find(c.message), std::string::npos) << data.failure().message;
    }
}

}  // namespace
