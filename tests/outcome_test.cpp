#include "quillon/outcome/outcome.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "quillon/engine/input_files.h"

namespace quillon {
namespace {

// A failure thrown deep inside comes back at the edge with its kind and message as they were;
// anything that is not a failure a user can cause is not caught.
TEST(Outcome, CatchFailureHandsBackWhatWasThrown) {
    const struct {
        const char* name;
        void (*work)();
        FailureKind kind;
        const char* message;
    } cases[] = {
        {"loader", [] { throw InputError("Pool file P.CSV has no items."); }, FailureKind::Input,
         "Pool file P.CSV has no items."},
        {"usage", [] { throw FailureError(FailureKind::Usage, "setting x"); }, FailureKind::Usage, "setting x"},
        {"output", [] { throw FailureError(FailureKind::Output, "Cannot write r.csv."); }, FailureKind::Output,
         "Cannot write r.csv."},
        {"cancel", [] { throw FailureError(FailureKind::Cancelled, "stopped"); }, FailureKind::Cancelled, "stopped"},
    };
    for (const auto& c : cases) {
        const Status status = catchFailure(c.work);
        ASSERT_FALSE(status.ok()) << c.name;
        EXPECT_EQ(status.failure().kind, c.kind) << c.name;
        EXPECT_EQ(status.failure().message, c.message) << c.name;
    }
    EXPECT_TRUE(catchFailure([] {}).ok());
    EXPECT_THROW((void)catchFailure([] { throw std::logic_error("a bug"); }), std::logic_error);
}

TEST(Outcome, AFailedValueTravelsOnAsItsFailure) {
    const Outcome<std::string> done = catchFailure([] { return std::string("16 hex digits"); });
    ASSERT_TRUE(done.ok());
    EXPECT_EQ(*done, "16 hex digits");

    const Outcome<int> refused = Failure{FailureKind::Input, "Data file D.TXT is not available."};
    try {
        (void)refused.value();
        FAIL() << "a failed outcome gave a value";
    } catch (const FailureError& error) {
        EXPECT_EQ(error.kind(), FailureKind::Input);
        EXPECT_STREQ(error.what(), "Data file D.TXT is not available.");
    }
    // Rethrown at the next edge, it comes back the same.
    const Outcome<int> again = catchFailure([&] { return refused.value(); });
    EXPECT_EQ(again.failure().message, refused.failure().message);
    EXPECT_THROW(Status(Failure{FailureKind::Output, "x"}).value(), FailureError);
}

}  // namespace
}  // namespace quillon
