// Staged releases: the bucket of a machine, the manifest's rollout keys and
// the share they give over time.
#include <gtest/gtest.h>

#include "core/runstate.h"
#include "testutil.h"
#include "version/manifest.h"
#include "version/rollout.h"
#include "version/signing.h"

TEST(Rollout, BucketsAreTheDocumentedCheckValues) {
  // Computed with Python's hashlib, outside this code.
  EXPECT_EQ(RolloutBucket("3d1219c7c4c5404aaa1f6d2a48adfda4", "editor", "2.31"), 8185u);
  EXPECT_EQ(RolloutBucket("2643a69d-0011-4179-b4d6-b45c01234d57", "editor", "2.31"), 3195u);
  EXPECT_EQ(RolloutBucket("2643a69d-0011-4179-b4d6-b45c01234d57", "editor", "2.32"), 7897u);
  EXPECT_EQ(RolloutBucket("00000000000000000000000000000000", "app", "1.0"), 2299u);
}

TEST(Rollout, SharesHaveAtMostTwoDecimalsAndAtMostAHundredPercent) {
  uint32_t share = 1;
  for (const auto& [text, hundredths] :
       std::vector<std::pair<std::string, uint32_t>>{{"10", 1000},
                                                     {"37.5", 3750},
                                                     {"0.25", 25},
                                                     {"0", 0},
                                                     {"100", 10000},
                                                     {"100.00", 10000},
                                                     {"007", 700},
                                                     {"0.5", 50}}) {
    EXPECT_TRUE(ParseRolloutShare(text, share)) << text;
    EXPECT_EQ(share, hundredths) << text;
    EXPECT_EQ(RolloutBucket("id", "p", "1") < hundredths,
              RolloutOffers("id", hundredths, "p", "1"));
  }
  for (const char* text : {"", "100.01", "101", "1000", "0.125", "5.", ".5", "-1", "+5", "5%", " 5",
                           "1e1", "0x10", "1,5", "50.0.0"})
    EXPECT_FALSE(ParseRolloutShare(text, share)) << text;
  EXPECT_EQ(ShareText(3750), "37.5");
  EXPECT_EQ(ShareText(25), "0.25");
  EXPECT_EQ(ShareText(10000), "100");
}

TEST(Rollout, PlansFromTheManifestText) {
  RolloutPlan plan = ReadRolloutPlan("ver=2.31\r\n");
  EXPECT_FALSE(plan.staged);
  EXPECT_EQ(RolloutShareAt(plan, 0), kWholeShare);

  plan = ReadRolloutPlan("ver=2.31\r\nrollout= 12.5 \r\n");
  EXPECT_TRUE(plan.staged);
  EXPECT_FALSE(plan.malformed);
  EXPECT_EQ(RolloutShareAt(plan, 0), 1250u);

  // A key that is there but not well formed reaches nobody, ramp or not.
  for (const char* text :
       {"rollout=ten\r\n", "rollout=\r\n", "rollout=10\r\nrollout_start=2026-12-01T00:00:00Z\r\n",
        "rollout=10\r\nrollout_hours=24\r\n",
        "rollout_start=2026-12-01T00:00:00Z\r\nrollout_hours=24\r\n",
        "rollout=10\r\nrollout_start=2026-12-01\r\nrollout_hours=24\r\n",
        "rollout=10\r\nrollout_start=2026-12-01T00:00:00Z\r\nrollout_hours=0\r\n",
        "rollout=10\r\nrollout_start=2026-12-01T00:00:00Z\r\nrollout_hours=8761\r\n",
        "rollout=10\r\nrollout_start=2026-12-01T00:00:00Z\r\nrollout_hours=1.5\r\n"}) {
    plan = ReadRolloutPlan(text);
    EXPECT_TRUE(plan.malformed) << text;
    EXPECT_EQ(RolloutShareAt(plan, 4102444800), 0u) << text;  // also long after any ramp
  }
}

TEST(Rollout, ARampGrowsLinearlyToEveryoneAndNeverShrinks) {
  const RolloutPlan plan =
      ReadRolloutPlan("rollout=10\r\nrollout_start=2026-12-01T00:00:00Z\r\nrollout_hours=100\r\n");
  ASSERT_TRUE(plan.ramp);
  int64_t start = 0;
  ASSERT_TRUE(ParseExpires("2026-12-01T00:00:00Z", start));
  EXPECT_EQ(RolloutShareAt(plan, start - 86400), 1000u);
  EXPECT_EQ(RolloutShareAt(plan, start), 1000u);
  EXPECT_EQ(RolloutShareAt(plan, start + 50 * 3600), 5500u);  // half way: 10 + 90 / 2
  EXPECT_EQ(RolloutShareAt(plan, start + 100 * 3600 - 1), 9999u);
  EXPECT_EQ(RolloutShareAt(plan, start + 100 * 3600), kWholeShare);
  EXPECT_EQ(RolloutShareAt(plan, start + 400 * 86400), kWholeShare);
  uint32_t last = 0;
  for (int64_t t = start - 3600; t < start + 101 * 3600; t += 997) {
    const uint32_t now = RolloutShareAt(plan, t);
    EXPECT_GE(now, last);
    last = now;
  }
}

TEST(Rollout, AMachineWithoutAnIdIsAlwaysOffered) {
  EXPECT_TRUE(RolloutOffers("", 0, "editor", "2.31"));
  EXPECT_FALSE(RolloutOffers("3d1219c7c4c5404aaa1f6d2a48adfda4", 8185, "editor", "2.31"));
  EXPECT_TRUE(RolloutOffers("3d1219c7c4c5404aaa1f6d2a48adfda4", 8186, "editor", "2.31"));
}

TEST(Rollout, TheManifestCarriesTheShareIntoTheRunState) {
  testutil::TempDir dir;
  testutil::ResetRunStateIn(dir);
  gRun.VerFile = "editor";
  gRun.VerNow = "2.30";
  testutil::WriteFile(dir / "editor.ver", "ver=2.31\r\nrollout=0.25\r\n");
  EXPECT_EQ(EvaluateManifest(), 1);
  EXPECT_EQ(gRun.RolloutShare, 25u);
  testutil::WriteFile(dir / "editor.ver", "ver=2.31\r\n");
  EXPECT_EQ(EvaluateManifest(), 1);
  EXPECT_EQ(gRun.RolloutShare, kWholeShare);
}
