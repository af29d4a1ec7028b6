// Load without loss, the short run that make test includes (label concurrency, so CI runs it
// under ThreadSanitizer too): 60 browsers, 50 at a time, through zelk-demo against its
// simulator, every provider, Allow and Deny, Pay and Cancel; once with the sessions in memory
// and once in a Redis of the test's own (request threads, the lease keeper and the pending
// saves working on them at once). The long run is zelk-load.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "load/LoadDriver.h"
#include "load/TsanSuppressions.h"
#include "support/RedisServer.h"

namespace zelk::testing {
namespace {

void ExpectEveryFlowAsChosen(const TLoadOptions& O) {
  const TLoadReport R = RunLoad(O, ZELK_DEMO_FORM);
  EXPECT_EQ(R.Completed, 60) << Describe(R);
  EXPECT_TRUE(R.Failures.empty()) << Describe(R);
  // The plan mixes every provider and both answers.
  for (const char* Kind : {"Google allow", "Google deny", "Facebook allow", "Windows Live allow",
                           "Twitter allow", "PayPal pay", "PayPal cancel"})
    EXPECT_GT(R.ByKind.count(Kind), 0u) << Kind << "\n" << Describe(R);
  EXPECT_EQ(R.Payments, R.ByKind.count("PayPal pay") ? R.ByKind.at("PayPal pay") : 0);
}

TLoadOptions Sixty() {
  TLoadOptions O;
  O.Flows = 60;
  O.Concurrency = 50;
  O.Seed = 20260101;
  return O;
}

TEST(LoadWithoutLoss, SixtyBrowsersFiftyAtATimeEachEndAsTheyChose) {
  ExpectEveryFlowAsChosen(Sixty());
}

TEST(LoadWithoutLoss, TheSameWithTheSessionsInRedis) {
  TRedisServer Redis;
  const std::filesystem::path Keys =
      std::filesystem::temp_directory_path() / ("zelk-load-keys-" + std::to_string(::getpid()));
  std::ofstream(Keys) << "k1 " << std::string(64, 'e') << "\n";
  TLoadOptions O = Sixty();
  O.SessionStore = Redis.URL();
  O.SessionKeyFile = Keys.string();
  ExpectEveryFlowAsChosen(O);
  std::filesystem::remove(Keys);
}

}  // namespace
}  // namespace zelk::testing
