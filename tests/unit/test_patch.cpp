// Binary patches: what the tool makes, the checker rebuilds byte for byte,
// and a damaged or foreign patch is refused without a file left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string_view>

#include "install/patch.h"
#include "platform/download.h"
#include "testutil.h"
#include "tool/patchmake.h"
#include "tool/zipwrite.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string Random(size_t size, uint32_t seed, int letters = 256) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() % letters);
  return s;
}

// The patch from old to now, applied as installed copies apply it.
class Patch : public ::testing::Test {
 protected:
  PatchResult Apply(const std::string& old, const std::string& patch, uint64_t size) {
    WriteFile(dir / "old", old);
    WriteFile(dir / "patch", patch);
    return ApplyPatch(dir / "old", dir / "patch", dir / "new", size, &digest);
  }
  std::string Make(const std::string& old, const std::string& now) {
    std::string patch;
    EXPECT_TRUE(MakePatch(old, now, patch));
    return patch;
  }
  TempDir dir;
  os::Sha256Digest digest{};
};

}  // namespace

TEST_F(Patch, EveryKindOfChangeIsRebuiltByteForByte) {
  const std::string base = Random(200000, 1);
  std::string shifted = base;  // addresses moved by a few bytes all over
  for (size_t i = 0; i < shifted.size(); i += 97) ++shifted[i];
  const struct {
    const char* what;
    std::string old, now;
    bool small;  // the patch must be far smaller than the file
  } cases[] = {
      {"identical", base, base, true},
      {"inserted", base, base.substr(0, 50000) + Random(3000, 2) + base.substr(50000), true},
      {"removed", base, base.substr(0, 70000) + base.substr(90000), true},
      {"blocks swapped", base, base.substr(100000) + base.substr(0, 100000), true},
      {"small changes throughout", base, shifted, true},
      {"grown at both ends", base, Random(999, 3) + base + Random(777, 4), true},
      {"from nothing", "", Random(5000, 5), false},
      {"to nothing", base, "", false},
      {"both empty", "", "", false},
      {"unrelated", Random(10000, 6), Random(12000, 7), false},
      {"few letters", Random(30000, 8, 3), Random(30000, 8, 3).substr(5) + "abc", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string patch = Make(c.old, c.now);
    ASSERT_EQ(Apply(c.old, patch, c.now.size()), PatchResult::kDone);
    ASSERT_EQ(ReadFile(dir / "new"), c.now);
    uint64_t size = 0;
    os::Sha256Digest measured{};
    ASSERT_TRUE(MeasureFile(dir / "new", size, measured));
    EXPECT_EQ(digest, measured);
    if (c.small) {
      EXPECT_LT(DeflateBytes(patch).deflated.size(), 6000u + c.now.size() / 50);
    }
    os::FileDelete(dir / "new");
  }
}

TEST(SortSuffixes, TheOrderOfEverySuffix) {
  for (const std::string& s : {Random(3000, 9, 2), Random(5000, 10), std::string(1000, 'a'),
                               std::string("mississippi"), std::string("b"), std::string()}) {
    std::vector<int32_t> order, expected(s.size());
    for (size_t i = 0; i < s.size(); ++i) expected[i] = static_cast<int32_t>(i);
    std::sort(expected.begin(), expected.end(), [&](int32_t a, int32_t b) {
      return std::string_view(s).substr(a) < std::string_view(s).substr(b);
    });
    uint64_t budget = 1 << 30;
    ASSERT_TRUE(SortSuffixes(reinterpret_cast<const uint8_t*>(s.data()), s.size(), order, budget));
    EXPECT_EQ(order, expected) << s.size();
  }
  // Work past the budget is not done: a long run of one byte takes a
  // round of sorting for each doubling of its length.
  const std::string run(1 << 20, 'x');
  std::string patch;
  EXPECT_TRUE(MakePatch(run.substr(0, 1000), run.substr(0, 999) + "y", patch));
  EXPECT_FALSE(MakePatch(run, run + "y", patch));
  EXPECT_FALSE(MakePatch(Random(50000, 14), Random(50000, 15), patch, 1));
  EXPECT_FALSE(MakePatch(std::string(kPatchMaxFileSize + 1, 'o'), "", patch));
}

TEST_F(Patch, HandMadePatchesOverASmallFileKeepToTheFormat) {
  const auto made = [](const std::string& triples, const std::string& extra, uint64_t size) {
    PatchHeader h;
    h.oldSize = 6;
    h.newSize = size;
    h.controlLength = triples.size();
    h.diffLength = size - extra.size();
    h.extraLength = extra.size();
    return PatchHeaderBytes(h) + triples + std::string(h.diffLength, '\1') + extra;
  };
  const auto T = PatchTripleBytes;
  // A seek alone may come first: "def" plus one each, then "XY" inserted.
  ASSERT_EQ(Apply("abcdef", made(T(0, 0, 3) + T(3, 2, -6), "XY", 5), 5), PatchResult::kDone);
  EXPECT_EQ(ReadFile(dir / "new"), "efgXY");
  os::FileDelete(dir / "new");
  std::string backZero = T(3, 0, 0);
  backZero[23] = '\x80';
  const std::pair<std::string, uint64_t> refused[] = {
      {made(T(3, 0, 0) + T(0, 0, 1), "", 3), 3},  // an empty triple after the first
      {made(backZero, "", 3), 3},                 // the second spelling of no move
      {made(T(3, 0, 4), "", 3), 3},               // past the end of the old file
      {made(T(3, 0, -4), "", 3), 3},              // before its start
      {made(T(0, 0, 4) + T(3, 0, 0), "", 3), 3},  // an add run past its end
      {made(T(7, 0, 0), "", 7), 7},               // more old bytes than there are
  };
  for (const auto& [bad, size] : refused) {
    EXPECT_EQ(Apply("abcdef", bad, size), PatchResult::kMalformed);
    EXPECT_FALSE(Exists(dir / "new"));
  }
}

TEST_F(Patch, DamagedOrForeignPatchesAreRefusedAndLeaveNoFile) {
  const std::string old = Random(20000, 11);
  const std::string now = old.substr(0, 8000) + Random(500, 12) + old.substr(9000);
  const std::string good = Make(old, now);
  ASSERT_EQ(Apply(old, good, now.size()), PatchResult::kDone);
  os::FileDelete(dir / "new");

  const auto refused = [&](const std::string& patch, uint64_t size, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Apply(old, patch, size), PatchResult::kMalformed);
    EXPECT_FALSE(Exists(dir / "new"));
  };
  refused(good, now.size() + 1, "another size expected");
  refused(good, now.size() - 1, "another size expected");
  refused(good + '\0', now.size(), "a byte after the extra section");
  for (size_t cut : {size_t{0}, size_t{20}, kPatchHeaderSize, kPatchHeaderSize + 30,
                     good.size() / 2, good.size() - 1})
    refused(good.substr(0, cut), now.size(), "cut at " + std::to_string(cut));
  // Every bit of the header, and bits of the control section that move
  // lengths and seeks out of range.
  for (size_t bit = 0; bit < kPatchHeaderSize * 8; ++bit) {
    std::string bad = good;
    bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
    refused(bad, now.size(), "header bit " + std::to_string(bit));
  }
  for (size_t field = 0; field < 3; ++field)
    for (int bit : {30, 62, 63}) {
      // A seek turned round may well stay inside the old file.
      if (field == 2 && bit == 63) continue;
      std::string bad = good;
      const size_t at = kPatchHeaderSize + field * 8 + bit / 8;
      bad[at] = static_cast<char>(bad[at] ^ (1 << (bit % 8)));
      refused(bad, now.size(),
              "control field " + std::to_string(field) + " bit " + std::to_string(bit));
    }
  // A patch made for another old file.
  WriteFile(dir / "patch", good);
  WriteFile(dir / "old", old + "x");
  EXPECT_EQ(ApplyPatch(dir / "old", dir / "patch", dir / "new", now.size()),
            PatchResult::kMalformed);
  EXPECT_EQ(ApplyPatch(dir / "missing", dir / "patch", dir / "new", now.size()),
            PatchResult::kFailed);
  EXPECT_FALSE(Exists(dir / "new"));
}
