// The manifest: its values, local text files and fetching over HTTP.
#include <gtest/gtest.h>

#include "core/errors.h"
#include "core/runstate.h"
#include "signatures.h"
#include "testutil.h"
#include "version/keys.h"
#include "version/manifest.h"

using testutil::TempDir;
using testutil::WriteFile;

namespace {

class Manifest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::ResetRunStateIn(dir);
    gRun.VerFile = "editor";
    gRun.VerNow = "2.30";
  }
  int32_t Evaluate(const std::string& manifest) {
    WriteFile(dir / "editor.ver", manifest);
    return EvaluateManifest();
  }
  TempDir dir;
};

}  // namespace

TEST_F(Manifest, TypicalManifestWithAlternativeForUninstallerInstalls) {
  const std::string text =
      "ver=2.31\r\nfile=editor231.zip\r\nfilealt=setup231.exe\r\nmode=3\r\n"
      "msg=New export filter.\r\nFaster start-up.<>\r\n";
  EXPECT_EQ(Evaluate(text), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(gRun.UpdateMode, "3");
  EXPECT_EQ(gRun.WhatsNew, "New export filter.\r\nFaster start-up.");
  EXPECT_EQ(gRun.UpdateFile, "editor231.zip");

  WriteFile(dir / "UNINSTAL.EXE", "x");
  EXPECT_EQ(Evaluate(text), 1);
  EXPECT_EQ(gRun.UpdateFile, "setup231.exe");
}

TEST_F(Manifest, AlternativeNeedsExeAndAFileMatchingTheUninstaller) {
  // A folder named like the uninstaller is not an uninstaller.
  ASSERT_TRUE(os::DirCreate(dir / "uninstal.exe"));
  EXPECT_EQ(Evaluate("ver=3\r\nfile=a.zip\r\nfilealt=setup.exe\r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
  ASSERT_TRUE(os::DirRemove(dir / "uninstal.exe"));

  WriteFile(dir / "uninstall.exe", "x");
  EXPECT_EQ(Evaluate("ver=3\r\nfile=a.zip\r\nfilealt=setup.zip\r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
  EXPECT_EQ(Evaluate("ver=3\r\nfilealt= Setup.EXE \r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "Setup.EXE");
}

TEST_F(Manifest, VersionOutcomes) {
  EXPECT_EQ(Evaluate("ver=2.30\r\n"), 0);
  EXPECT_EQ(Evaluate("ver=2.4\r\n"), 1);
  gRun.VerNow = "2.9";
  EXPECT_EQ(Evaluate("ver=2.10\r\n"), 0);
  EXPECT_EQ(Evaluate("Ver=2.31\r\n"), -1);    // keys are case-sensitive
  EXPECT_EQ(Evaluate("ver = 2.31\r\n"), -1);  // no blank before "="
  EXPECT_EQ(Evaluate("ver=   \r\nfile=x.zip\r\n"), -1);
  EXPECT_EQ(gRun.UpdateFile, "x.zip");  // the other fields are filled all the same
}

TEST_F(Manifest, FirstOccurrenceWinsEvenInsideLongerKeys) {
  EXPECT_EQ(Evaluate("server=main\r\nver=2.31\r\n"), 1);
  EXPECT_EQ(gRun.RemoteVer, "main");
  EXPECT_EQ(Evaluate("file=a.zip\r\nfilealt=b.exe\r\nfile=c.zip\r\n"), -1);
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
}

TEST_F(Manifest, ModeAndNotes) {
  EXPECT_EQ(Evaluate("ver=3\r\nmode=\r\n"), 1);
  EXPECT_EQ(gRun.UpdateMode, "3");
  Evaluate("ver=3\r\nmode=7\r\n");
  EXPECT_EQ(gRun.UpdateMode, "7");
  Evaluate("ver=3\r\nmsg=<>\r\n");
  EXPECT_EQ(gRun.WhatsNew, "<>");
  Evaluate("ver=3\r\nmsg=Line one\r\nLine two<>\r\n");
  EXPECT_EQ(gRun.WhatsNew, "Line one\r\nLine two");
  Evaluate("ver=3\r\nmsg=Line one\r\nLine two\r\n");
  EXPECT_EQ(gRun.WhatsNew, "Line one");
}

// After the UTF-8 byte order mark the text is UTF-8, whatever the code
// page, and what is no UTF-8 in it is shown as U+FFFD; without the mark it
// is the code page's (bytes as they are on POSIX).
TEST_F(Manifest, AByteOrderMarkMakesTheTextUtf8) {
  EXPECT_EQ(Evaluate("\xEF\xBB\xBFver=2.31\r\nfile=\xD0\xA1.zip\r\nmsg=\xE6\x9D\x8E \xFF<>\r\n"),
            1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(gRun.UpdateFile, "\xD0\xA1.zip");
  EXPECT_EQ(gRun.WhatsNew, "\xE6\x9D\x8E \xEF\xBF\xBD");
  EXPECT_EQ(ManifestAsUtf8("ver=1\r"), os::SystemCodePageToUtf8("ver=1\r"));
}

TEST_F(Manifest, LineEndsCtrlZAndEmptyText) {
  // A lone LF does not end a value, so the version runs on to the end.
  EXPECT_EQ(Evaluate("ver=2.31\nfile=a.zip\n"), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31\nfile=a.zip");
  // A lone CR does.
  EXPECT_EQ(Evaluate("ver=2.31\rfile=a.zip"), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(gRun.UpdateFile, "a.zip");
  EXPECT_EQ(Evaluate("mode=1\r\nver=2.31"), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(Evaluate("ver=2.31\r\n\x1A"
                     "file=late.zip\r\n"),
            1);
  EXPECT_EQ(gRun.UpdateFile, "");
  EXPECT_EQ(Evaluate(""), -1);
  EXPECT_EQ(gRun.UpdateMode, "3");
  EXPECT_EQ(gRun.RemoteVer, "");
  EXPECT_EQ(gRun.UpdateFile, "");
  EXPECT_EQ(gRun.WhatsNew, "");
}

TEST_F(Manifest, MissingLocalManifestLeavesFieldsEmpty) {
  gRun.UpdateMode = "1";
  EXPECT_EQ(EvaluateManifest(), -1);
  EXPECT_EQ(gRun.UpdateMode, "");
}

// The delta of the installed version is taken only well formed and beside
// a full package to fall back to.
TEST_F(Manifest, DeltaOfTheInstalledVersion) {
  const std::string digest(64, 'a');
  const std::string lines =
      "delta_2.3=old.zip " + digest + " 5\r\ndelta_2.30=d.zip " + digest + " 1234\r\n";
  EXPECT_EQ(Evaluate("ver=2.31\r\nfile=editor231.zip\r\n" + lines), 1);
  EXPECT_EQ(gRun.DeltaFile + " " + gRun.DeltaSha256 + " " + gRun.DeltaSize,
            "d.zip " + digest + " 1234");
  const std::string unusable[] = {
      "ver=2.31\r\nfile=setup231.exe\r\n" + lines,  // no full package to fall back to
      "ver=2.31\r\nfile=e.zip\r\ndelta_2.30=d.zip " + digest + "\r\n",
      "ver=2.31\r\nfile=e.zip\r\ndelta_2.30=d.zip " + digest + " 12 x\r\n",
      "ver=2.31\r\nfile=e.zip\r\ndelta_2.30=..\\d.zip " + digest + " 12\r\n",
      "ver=2.31\r\nfile=e.zip\r\ndelta_2.30=d.exe " + digest + " 12\r\n",
      "ver=2.31\r\nfile=e.zip\r\ndelta_2.30=d.zip " + digest.substr(1) + " 12\r\n",
      "ver=2.31\r\nfile=e.zip\r\ndelta_2.30=d.zip " + digest + " -12\r\n",
  };
  for (const std::string& text : unusable) {
    EXPECT_EQ(Evaluate(text), 1);
    EXPECT_EQ(gRun.DeltaFile, "") << text;
  }
}

TEST(ReadTextFile, LineRules) {
  TempDir dir;
  std::string text;
  auto read = [&](const std::string& bytes) {
    WriteFile(dir / "t.txt", bytes);
    EXPECT_TRUE(ReadTextFile(dir / "t.txt", text));
    return text;
  };
  EXPECT_EQ(read("a\r\nb\r\n"), "a\r\nb\r\n");
  EXPECT_EQ(read("a\r\nb"), "a\r\nb\r\n");
  EXPECT_EQ(read("a\rb\r"), "a\r\nb\r\n");
  EXPECT_EQ(read("a\nb"), "a\nb\r\n");
  EXPECT_EQ(read(""), "\r\n");
  EXPECT_EQ(read("a\r\n\r\n"), "a\r\n\r\n");
  EXPECT_EQ(read("a\x1A"
                 "b\r\nc"),
            "a\r\n");
  EXPECT_EQ(read("a\r\n\x1A\r\nb"), "a\r\n");
  EXPECT_EQ(read(std::string("z\0z\r\n", 5)), std::string("z\0z\r\n", 5));
  std::string longLine(100000, 'x');
  EXPECT_EQ(read(longLine), longLine + "\r\n");

  EXPECT_FALSE(ReadTextFile(dir / "missing.txt", text));
  EXPECT_EQ(text, "");
  ASSERT_TRUE(os::DirCreate(dir / "folder.txt"));
  EXPECT_FALSE(ReadTextFile(dir / "folder.txt", text));
}

TEST(ExtractValue, TakesTextBetweenFirstStartAndNextEnd) {
  EXPECT_EQ(ExtractValue("ver=2.31\r", "ver=", "\r"), "2.31");
  EXPECT_EQ(ExtractValue("server=main\r\nver=2.31\r", "ver=", "\r"), "main");
  EXPECT_EQ(ExtractValue("ver=\r", "ver=", "\r"), "");
  EXPECT_EQ(ExtractValue("ver=2.31", "ver=", "\r"), "");  // no end marker
  EXPECT_EQ(ExtractValue("mode=1\r", "ver=", "\r"), "");
  EXPECT_EQ(ExtractValue("ver=1\r", "", "\r"), "");  // an empty marker is never found
  EXPECT_EQ(ExtractValue("msg=a\r\nb<>c<>", "msg=", "<>"), "a\r\nb");
  // The end marker is searched after the start marker only.
  EXPECT_EQ(ExtractValue("<>msg=x<>", "msg=", "<>"), "x");
}

TEST(FetchText, ReadsBodyAndRejectsBrokenAnswers) {
  REQUIRE_SERVER();
  const std::string root = testutil::ServerRoot();
  WriteFile(root + "fetch.ver", "ver=2.31\r\n");
  std::string text;
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "fetch.ver", text));
  EXPECT_EQ(text, "ver=2.31\r\n");
  // Never from a cache: a changed manifest is seen at once.
  WriteFile(root + "fetch.ver", "ver=2.32\r\n");
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "fetch.ver", text));
  EXPECT_EQ(text, "ver=2.32\r\n");
  WriteFile(root + "fetch.ver", "ver=2.31\r\n");

  // A zero byte drops the rest of its 64-byte piece, not the next piece.
  std::string body = std::string(10, 'a') + '\0' + std::string(53, 'b') + std::string(64, 'c');
  WriteFile(root + "zero.ver", body);
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "zero.ver", text));
  EXPECT_EQ(text, std::string(10, 'a') + std::string(64, 'c'));

  testutil::SetServerFaults(
      R"({"/missing.ver": {"status": 404, "body": "ver=9.9\r\n"},)"
      R"( "/cut.ver": {"cut": 6}, "/moved.ver": {"redirect": "/fetch.ver", "code": 302}})");
  WriteFile(root + "cut.ver", "ver=2.31\r\n");
  text = "stale";
  EXPECT_FALSE(FetchText(testutil::ServerUrl() + "missing.ver", text));
  EXPECT_EQ(text, "");
  text = "stale";
  EXPECT_FALSE(FetchText(testutil::ServerUrl() + "cut.ver", text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(FetchText(testutil::ServerUrl() + "moved.ver", text));
  EXPECT_EQ(text, "ver=2.31\r\n");
  testutil::SetServerFaults("{}");

  EXPECT_FALSE(FetchText("editor.ver", text));  // no scheme: cannot be opened
  EXPECT_FALSE(FetchText("http://127.0.0.1:1/x.ver", text));
}

TEST_F(Manifest, StrictModeTakesOnlyWhatTheTrustedKeySigned) {
  using namespace signatures;
  gRun.PubKey = std::string(kOther) + " " + kSigner;
  EXPECT_EQ(Evaluate(kWithNotes.Manifest()), 1);
  EXPECT_EQ(gRun.RemoteVer, "2.31");
  EXPECT_EQ(gRun.WhatsNew, "Signed notes.");
  EXPECT_EQ(gRun.UpdateMode, "3");
  EXPECT_EQ(gRun.CheckReason, "");

  struct Refusal {
    const char* what;
    std::string manifest;
    const char* reason;
  } refusals[] = {
      {"unsigned", kWithNotes.text, kReasonNotSigned},
      {"a value after the signature line", kWithNotes.Manifest() + "ver=9.99\r\n",
       kReasonNotSigned},
      {"changed after signing", "ver=2.99" + kWithNotes.Manifest().substr(8), kReasonBadSignature},
      {"signed for another product", kOtherProduct.Manifest(), kReasonOtherProduct},
      {"expired", kExpired.Manifest(), kReasonExpired},
      {"expiry not well formed", kBadExpiry.Manifest(), kReasonExpired},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(Evaluate(r.manifest), -1);
    EXPECT_EQ(gRun.CheckReason, r.reason);
    // No unverified text reaches the user.
    EXPECT_EQ(gRun.RemoteVer + gRun.UpdateFile + gRun.UpdateMode + gRun.WhatsNew, "");
  }

  gRun.PubKey = "1234";  // not a key: strict, and nothing verifies
  EXPECT_EQ(Evaluate(kWithNotes.Manifest()), -1);
  EXPECT_EQ(gRun.CheckReason, kReasonBadKey);
  gRun.PubKey = kOther;  // a key, but not the one that signed
  EXPECT_EQ(Evaluate(kWithNotes.Manifest()), -1);
  EXPECT_EQ(gRun.CheckReason, kReasonBadSignature);

  // Without pub_key a signed manifest reads as any other.
  gRun.PubKey.clear();
  EXPECT_EQ(Evaluate(kPackage.Manifest() + "mode=1\r\n"), 1);
  EXPECT_EQ(gRun.UpdateFile, "editor231.zip");
  EXPECT_EQ(gRun.UpdateMode, "1");
  EXPECT_EQ(gRun.CheckReason, "");
}

TEST(FetchText, StrictModeOverTheWebChecksTheBytesAsServed) {
  REQUIRE_SERVER();
  testutil::TempDir dir;
  testutil::ResetRunStateIn(dir);
  gRun.LocalMode = false;
  gRun.VerFile = "editor";
  gRun.VerNow = "2.30";
  gRun.UrlFile = testutil::ServerUrl();
  gRun.PubKey = signatures::kSigner;
  WriteFile(testutil::ServerRoot() + "editor.ver", signatures::kPackage.Manifest());
  EXPECT_EQ(EvaluateManifest(), 1);
  EXPECT_EQ(gRun.UpdateFile, "editor231.zip");
  std::string raw, text;
  EXPECT_TRUE(FetchText(gRun.UrlFile + "editor.ver", text, &raw));
  EXPECT_EQ(raw, signatures::kPackage.Manifest());
  // A byte changed on the way is a signature that does not hold.
  WriteFile(testutil::ServerRoot() + "editor.ver", "ver=2.39" + raw.substr(8));
  EXPECT_EQ(EvaluateManifest(), -1);
  EXPECT_EQ(gRun.CheckReason, kReasonBadSignature);
  os::FileDelete(testutil::ServerRoot() + "editor.ver");
}
