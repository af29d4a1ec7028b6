// Load without loss, the short run that make test includes (label concurrency, so CI runs it
// under ThreadSanitizer too): 60 browsers, 50 at a time, through zelk-demo against its
// simulator, every provider, Allow and Deny, Pay and Cancel. The long run is zelk-load.
#include <gtest/gtest.h>

#include "load/LoadDriver.h"
#include "load/TsanSuppressions.h"

namespace zelk::testing {
namespace {

TEST(LoadWithoutLoss, SixtyBrowsersFiftyAtATimeEachEndAsTheyChose) {
  TLoadOptions O;
  O.Flows = 60;
  O.Concurrency = 50;
  O.Seed = 20260101;
  const TLoadReport R = RunLoad(O, ZELK_DEMO_FORM);
  EXPECT_EQ(R.Completed, 60) << Describe(R);
  EXPECT_TRUE(R.Failures.empty()) << Describe(R);
  // The plan mixes every provider and both answers.
  for (const char* Kind : {"Google allow", "Google deny", "Facebook allow", "Windows Live allow",
                           "Twitter allow", "PayPal pay", "PayPal cancel"})
    EXPECT_GT(R.ByKind.count(Kind), 0u) << Kind << "\n" << Describe(R);
  EXPECT_EQ(R.Payments, R.ByKind.count("PayPal pay") ? R.ByKind.at("PayPal pay") : 0);
}

}  // namespace
}  // namespace zelk::testing
