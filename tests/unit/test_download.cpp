// Downloads against the run's test server: bytes unchanged, nothing saved
// from an error page or a broken transfer.
#include <gtest/gtest.h>

#include <map>

#include "core/errors.h"
#include "platform/download.h"
#include "testutil.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

TEST(DownloadFile, SavesBodiesByteForByte) {
  REQUIRE_SERVER();
  TempDir dir;
  const std::string root = testutil::ServerRoot(), url = testutil::ServerUrl();
  std::string big;
  for (int i = 0; i < 2500; ++i) big += static_cast<char>(i * 7 % 256);
  const std::string odd("a\0b\rc\nd\r\n\0", 10);
  WriteFile(root + "empty.bin", "");
  WriteFile(root + "big.bin", big);
  WriteFile(root + "odd.bin", odd);

  EXPECT_EQ(DownloadFile(url + "empty.bin", dir / "empty.bin"), DownloadResult::kDone);
  EXPECT_TRUE(Exists(dir / "empty.bin"));
  EXPECT_EQ(ReadFile(dir / "empty.bin"), "");
  EXPECT_EQ(DownloadFile(url + "big.bin", dir / "big.bin"), DownloadResult::kDone);
  EXPECT_EQ(ReadFile(dir / "big.bin"), big);
  EXPECT_EQ(DownloadFile(url + "odd.bin", dir / "odd.bin"), DownloadResult::kDone);
  EXPECT_EQ(ReadFile(dir / "odd.bin"), odd);
  // An existing file is replaced, even by an empty body.
  EXPECT_EQ(DownloadFile(url + "empty.bin", dir / "big.bin"), DownloadResult::kDone);
  EXPECT_EQ(ReadFile(dir / "big.bin"), "");
}

TEST(DownloadFile, FailuresLeaveNoFileAndKeepExistingOnes) {
  REQUIRE_SERVER();
  TempDir dir;
  const std::string root = testutil::ServerRoot(), url = testutil::ServerUrl();
  WriteFile(root + "pkg.zip", std::string(5000, 'z'));
  WriteFile(dir / "kept.zip", "old");
  testutil::SetServerFaults(R"({"/gone.zip": {"status": 404, "body": "<html>not here</html>"},)"
                            R"( "/pkg.zip": {"status": 403}})");

  EXPECT_EQ(DownloadFile(url + "gone.zip", dir / "gone.zip"), DownloadResult::kFailed);
  EXPECT_EQ(DownloadFile(url + "gone.zip", dir / "kept.zip"), DownloadResult::kFailed);
  EXPECT_EQ(ReadFile(dir / "kept.zip"), "old");
  EXPECT_EQ(DownloadFile(url + "pkg.zip", dir / "pkg.zip"), DownloadResult::kFailed);
  // Neither the file, nor a part of it, nor the record of one.
  EXPECT_EQ(testutil::Tree(dir.Path()), (std::map<std::string, std::string>{{"kept.zip", "old"}}));
  testutil::SetServerFaults("{}");
}

TEST(DownloadFile, ABrokenTransferIsResumedFromTheBytesOnTheDisk) {
  REQUIRE_SERVER();
  TempDir dir;
  const std::string root = testutil::ServerRoot(), url = testutil::ServerUrl();
  std::string body;
  for (int i = 0; i < 5000; ++i) body += static_cast<char>(i * 13 % 251);
  WriteFile(root + "pkg.zip", body);
  // Cut once, then served in ranges: the rest is asked for, not the whole.
  testutil::SetServerFaults(R"({"/pkg.zip": {"cut": 3000, "times": 1}})");
  EXPECT_EQ(DownloadFile(url + "pkg.zip", dir / "pkg.zip"), DownloadResult::kDone);
  EXPECT_EQ(ReadFile(dir / "pkg.zip"), body);
  EXPECT_EQ(testutil::Tree(dir.Path()), (std::map<std::string, std::string>{{"pkg.zip", body}}));
  testutil::SetServerFaults("{}");
}

TEST(DownloadFile, UncreatableFileRaisesInOutError) {
  REQUIRE_SERVER();
  TempDir dir;
  WriteFile(testutil::ServerRoot() + "x.bin", "x");
  try {
    DownloadFile(testutil::ServerUrl() + "x.bin", dir / "missing" + os::kPathSep + "x.bin");
    FAIL() << "no error raised";
  } catch (const EInOutError& e) {
    EXPECT_TRUE(e.ErrorCode == 2 || e.ErrorCode == 3) << e.ErrorCode;
    EXPECT_EQ(std::string(e.what()), InOutErrorMessage(e.ErrorCode));
  }
  os::DirCreate(dir / "taken");
  try {
    DownloadFile(testutil::ServerUrl() + "x.bin", dir / "taken");
    FAIL() << "no error raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
    EXPECT_STREQ(e.what(), "File access denied");
  }
}

TEST(DownloadFile, ADigestAndALengthBindTheFile) {
  REQUIRE_SERVER();
  TempDir dir;
  const std::string root = testutil::ServerRoot(), url = testutil::ServerUrl();
  WriteFile(root + "abc.bin", "abc");
  const std::string abcDigest = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  FileCheck good = MakeFileCheck(abcDigest, true, "3", true);
  ASSERT_TRUE(good.hasDigest && good.hasSize && !good.malformed);
  EXPECT_EQ(DownloadFile(url + "abc.bin", dir / "abc.bin", good), DownloadResult::kDone);
  EXPECT_EQ(ReadFile(dir / "abc.bin"), "abc");
  EXPECT_TRUE(FileMatches(dir / "abc.bin", good));

  FileCheck otherDigest = MakeFileCheck(std::string(64, '0'), true, "", false);
  FileCheck shorter = MakeFileCheck("", false, "2", true);
  FileCheck longer = MakeFileCheck("", false, "4", true);
  for (const FileCheck& bad : {otherDigest, shorter, longer}) {
    EXPECT_EQ(DownloadFile(url + "abc.bin", dir / "x.bin", bad), DownloadResult::kMismatch);
    EXPECT_FALSE(Exists(dir / "x.bin"));  // deleted, never to be started
    EXPECT_FALSE(FileMatches(dir / "abc.bin", bad));
  }
  // Without an announced length the body is stopped as it passes the size.
  testutil::SetServerFaults(R"({"/endless.bin": {"endless": true, "body": "abc"}})");
  EXPECT_EQ(DownloadFile(url + "endless.bin", dir / "x.bin", longer), DownloadResult::kMismatch);
  EXPECT_FALSE(Exists(dir / "x.bin"));
  testutil::SetServerFaults("{}");

  // What is not well formed is said so; nothing binds then.
  for (const FileCheck& odd :
       {MakeFileCheck("abc", true, "", false),
        MakeFileCheck(std::string(63, '0') + "g", true, "", false),
        MakeFileCheck("", false, "12a", true), MakeFileCheck("", false, "", true)}) {
    EXPECT_TRUE(odd.malformed);
    EXPECT_FALSE(odd.hasDigest || odd.hasSize);
  }
}

// A cache on the way (its answer carries Age) may keep an older file under
// the name: only what the server itself sends is refused.
TEST(DownloadFile, AFileFromACacheThatIsNotTheOneBoundIsAskedForPastIt) {
  REQUIRE_SERVER();
  TempDir dir;
  const std::string root = testutil::ServerRoot(), url = testutil::ServerUrl();
  WriteFile(root + "kept.bin", "abc");
  const FileCheck abc = MakeFileCheck(
      "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", true, "3", true);
  auto requests = [] { return testutil::ServerRequests().size(); };
  struct Case {
    const char* faults;
    DownloadResult result;
    size_t requests;
  } cases[] = {
      {R"({"/kept.bin": {"body": "abd", "headers": {"Age": "600"}, "times": 1}})",
       DownloadResult::kDone, 2},
      {R"({"/kept.bin": {"body": "abcd", "headers": {"Age": "600"}, "times": 1}})",
       DownloadResult::kDone, 2},
      {R"({"/kept.bin": {"body": "abd", "times": 1}})", DownloadResult::kMismatch, 1},
      {R"({"/kept.bin": {"body": "abd", "headers": {"Age": "600"}}})", DownloadResult::kMismatch,
       2},
  };
  for (const Case& c : cases) {
    testutil::SetServerFaults(c.faults);
    const size_t before = requests();
    EXPECT_EQ(DownloadFile(url + "kept.bin", dir / "kept.bin", abc), c.result) << c.faults;
    EXPECT_EQ(requests() - before, c.requests) << c.faults;
    EXPECT_EQ(Exists(dir / "kept.bin"), c.result == DownloadResult::kDone) << c.faults;
    if (Exists(dir / "kept.bin")) {
      EXPECT_EQ(ReadFile(dir / "kept.bin"), "abc");
    }
    os::FileDelete(dir / "kept.bin");
  }
  testutil::SetServerFaults("{}");
}
