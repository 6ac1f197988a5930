// Downloads against the run's test server: bytes unchanged, nothing saved
// from an error page or a broken transfer.
#include <gtest/gtest.h>

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

  EXPECT_TRUE(DownloadFile(url + "empty.bin", dir / "empty.bin"));
  EXPECT_TRUE(Exists(dir / "empty.bin"));
  EXPECT_EQ(ReadFile(dir / "empty.bin"), "");
  EXPECT_TRUE(DownloadFile(url + "big.bin", dir / "big.bin"));
  EXPECT_EQ(ReadFile(dir / "big.bin"), big);
  EXPECT_TRUE(DownloadFile(url + "odd.bin", dir / "odd.bin"));
  EXPECT_EQ(ReadFile(dir / "odd.bin"), odd);
  // An existing file is replaced, even by an empty body.
  EXPECT_TRUE(DownloadFile(url + "empty.bin", dir / "big.bin"));
  EXPECT_EQ(ReadFile(dir / "big.bin"), "");
}

TEST(DownloadFile, FailuresLeaveNoFileAndKeepExistingOnes) {
  REQUIRE_SERVER();
  TempDir dir;
  const std::string root = testutil::ServerRoot(), url = testutil::ServerUrl();
  WriteFile(root + "pkg.zip", std::string(5000, 'z'));
  WriteFile(dir / "kept.zip", "old");
  testutil::SetServerFaults(R"({"/gone.zip": {"status": 404, "body": "<html>not here</html>"},)"
                            R"( "/pkg.zip": {"cut": 3000}})");

  EXPECT_FALSE(DownloadFile(url + "gone.zip", dir / "gone.zip"));
  EXPECT_FALSE(Exists(dir / "gone.zip"));
  EXPECT_FALSE(DownloadFile(url + "gone.zip", dir / "kept.zip"));
  EXPECT_EQ(ReadFile(dir / "kept.zip"), "old");
  EXPECT_FALSE(DownloadFile(url + "pkg.zip", dir / "pkg.zip"));
  EXPECT_FALSE(Exists(dir / "pkg.zip"));
  EXPECT_FALSE(DownloadFile("http://127.0.0.1:1/pkg.zip", dir / "kept.zip"));
  EXPECT_EQ(ReadFile(dir / "kept.zip"), "old");
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
