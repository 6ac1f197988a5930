// Delta packages: the index read strictly, and a delta made by the tool
// and applied over an installation of the old package, which then holds
// byte for byte what the new full package would have brought.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "install/ShellZipU.h"
#include "install/delta.h"
#include "install/patch.h"
#include "platform/WaitMsg.h"
#include "platform/progress.h"
#include "testutil.h"
#include "tool/tool.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::S;
using testutil::TempDir;
using testutil::Tree;
using testutil::WriteFile;

namespace {

const std::string kHex1(64, '1'), kHex2(64, '2');

std::string Index(const std::string& records) { return "pelmatic-delta 1\n" + records + "end\n"; }

std::string Refusal(const std::string& text) {
  DeltaIndex index;
  return ParseDeltaIndex(text, index);
}

}  // namespace

TEST(DeltaIndex, AnythingButTheStrictFormIsRefused) {
  const auto same = [](const std::string& path) { return "same 1 " + kHex1 + " " + path + "\n"; };
  const auto patch = [](const std::string& n, const std::string& size) {
    return "patch " + size + " " + kHex1 + " " + n + " 1 " + kHex2 + " p.exe\n";
  };
  ASSERT_EQ(Refusal(Index(same("a/b.txt") + patch("1", "1") + "whole 0 " + kHex2 + " c\n")), "");
  const std::string refused[] = {
      "",
      same("a"),
      "pelmatic-delta 2\n" + same("a") + "end\n",
      Index(same("a")) + "x\n",
      "pelmatic-delta 1\n" + same("a") + "end",
      "pelmatic-delta 1\r\n" + same("a") + "end\r\n",
      Index("same 1 " + kHex1 + " a\r\n"),
      // Paths that could leave the folder or that Windows cannot hold.
      Index(same("/abs")),
      Index(same("a/../b")),
      Index(same("a//b")),
      Index(same("a/")),
      Index(same("a\\b")),
      Index(same("C:x")),
      Index(same("con.txt")),
      Index(same("x.")),
      Index(same("")),
      Index(same(std::string(kDeltaMaxPath + 1, 'p'))),
      Index(same("@delta/1.patch")),
      Index(same("@Delta")),
      Index(same("App.exe") + same("app.EXE")),
      Index(same("a") + same("a/b")),
      // Numbers, digests and kinds.
      Index("same 01 " + kHex1 + " a\n"),
      Index("same -1 " + kHex1 + " a\n"),
      Index("same 1 " + kHex1.substr(1) + " a\n"),
      Index("same 1  " + kHex1 + " a\n"),
      Index("moved 1 " + kHex1 + " a\n"),
      // Patches: numbered in order, with their base, of a size a patch may have.
      Index(patch("2", "1")),
      Index(patch("1", "1") + patch("1", "1")),
      Index("patch 1 " + kHex1 + " 1 " + kHex2 + " a\n"),
      Index(patch("1", std::to_string(kPatchMaxFileSize + 1))),
  };
  for (const std::string& text : refused) EXPECT_NE(Refusal(text), "") << text;
}

#ifndef _WIN32

namespace {

// Two releases of a package: a program that changed a little (patched), a
// library and a text that did not (left as installed), notes that changed
// (small: carried whole), a new plug-in in a new folder and an empty
// folder; a file of the old release only stays as installed, as a full
// package would leave it.
const char kCommon[] =
    "import random\n"
    "r = random.Random(7)\n"
    "program = bytes(r.getrandbits(8) for _ in range(60000))\n"
    "library = bytes(r.getrandbits(8) for _ in range(30000))\n"
    "z.writestr('readme.txt', 'unchanged text')\n"
    "z.writestr('lib/core.dll', library)\n";
const char kOld[] =
    "z.writestr('app.exe', program)\n"
    "z.writestr('notes.txt', 'release 1')\n"
    "z.writestr('data/old-only.txt', 'from release 1')\n";
const char kNew[] =
    "z.writestr('app.exe', program[:20000] + b'new code' * 100 + program[21000:])\n"
    "z.writestr('notes.txt', 'release 2')\n"
    "z.writestr('lib/plugins/extra.dll', bytes(r.getrandbits(8) for _ in range(5000)))\n"
    "z.writestr('empty/', '')\n";

std::string NoSep(const TempDir& d) { return d.Path().substr(0, d.Path().size() - 1); }

class Delta : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testutil::PyZip(zips / "old.zip", std::string(kCommon) + kOld));
    ASSERT_TRUE(testutil::PyZip(zips / "new.zip", std::string(kCommon) + kNew));
    ASSERT_TRUE(UnzipWithShell(zips / "old.zip", NoSep(app), ""));
  }
  int Tool(const std::string& from, const std::string& to, const std::string& out) {
    std::istringstream in;
    std::ostringstream said, err;
    const int code = ToolMain({"pelmatic-tool", "delta", "--from", from, "--to", to, "--out", out},
                              in, said, err);
    output = said.str() + err.str();
    return code;
  }
  // The delta unpacked into a fresh unpack folder.
  void Unpack() {
    testutil::RemoveTree(NoSep(unpack));
    ASSERT_TRUE(os::DirCreate(NoSep(unpack)));
    ASSERT_TRUE(UnzipWithShell(zips / "delta.zip", NoSep(unpack), ""));
  }
  DeltaResult Apply() { return ApplyDelta(NoSep(unpack), app.Path()); }

  TempDir zips, app, unpack;
  std::string output;
};

}  // namespace

TEST_F(Delta, AppliedOverTheOldReleaseItBringsWhatTheFullPackageWould) {
  ASSERT_EQ(Tool(zips / "old.zip", zips / "new.zip", zips / "delta.zip"), 0) << output;
  EXPECT_NE(output.find("2 files carried whole, 1 patched, 2 the same"), std::string::npos)
      << output;
  Unpack();
  const DeltaResult r = Apply();
  ASSERT_EQ(r.outcome, DeltaOutcome::kDone) << r.reason;

  TempDir full;
  ASSERT_TRUE(UnzipWithShell(zips / "new.zip", NoSep(full), ""));
  const auto installed = Tree(app.Path());
  auto expected = installed, result = installed;
  for (const auto& [path, bytes] : Tree(full.Path())) expected[path] = bytes;
  const auto brought = Tree(unpack.Path());
  for (const auto& [path, bytes] : brought) result[path] = bytes;
  EXPECT_EQ(result, expected);
  // Only what changed is there to be merged.
  EXPECT_EQ(brought.count("readme.txt") + brought.count("lib/core.dll"), 0u);
  EXPECT_EQ(brought.count("@delta"), 0u);
  EXPECT_EQ(brought.at("empty"), "<dir>");
}

TEST_F(Delta, WhatDoesNotMatchTheIndexFailsAndCancelStops) {
  ASSERT_EQ(Tool(zips / "old.zip", zips / "new.zip", zips / "delta.zip"), 0) << output;
  const auto fails = [&](const std::string& about) {
    const DeltaResult r = Apply();
    EXPECT_EQ(r.outcome, DeltaOutcome::kFailed);
    EXPECT_NE(r.reason.find(about), std::string::npos) << r.reason;
    Unpack();
  };
  Unpack();
  // Installed files changed by hand: one a patch reads, one left as it is.
  const std::string program = ReadFile(app / "app.exe");
  WriteFile(app / "app.exe", program + "x");
  fails("app.exe");
  WriteFile(app / "app.exe", program);
  os::FileDelete(app / "readme.txt");
  fails("readme.txt");
  WriteFile(app / "readme.txt", "unchanged text");
  // A delta that brings other files than its index says.
  WriteFile(unpack / "stray.txt", "");
  fails("files its index does not name");
  WriteFile(unpack / "notes.txt", "release 3");
  fails("notes.txt");
  os::FileDelete(unpack / "@delta" + S + "1.patch");
  fails("app.exe: its patch is missing");
  std::string patch = ReadFile(unpack / "@delta" + S + "1.patch");
  patch[patch.size() / 2] ^= 0x40;
  WriteFile(unpack / "@delta" + S + "1.patch", patch);
  fails("app.exe");

  // Cancel is told apart from a failure; a new status window starts
  // without it.
  testing::internal::CaptureStderr();
  ShowUpdateStatus("Updating", true);
  std::raise(SIGINT);
  EXPECT_EQ(Apply().outcome, DeltaOutcome::kCancelled);
  WaitMsgFinalize();
  ShowUpdateStatus("Updating", true);
  WaitMsgFinalize();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Apply().outcome, DeltaOutcome::kDone);
}

TEST_F(Delta, RefusedBeforeAnythingIsWritten) {
  ASSERT_TRUE(testutil::PyZip(zips / "own.zip", "z.writestr('@Delta/index', 'x')\n"));
  ASSERT_TRUE(testutil::PyZip(zips / "none.zip", "z.writestr('only/', '')\n"));
  EXPECT_EQ(Tool(zips / "old.zip", zips / "own.zip", zips / "delta.zip"), 2);
  EXPECT_NE(output.find("@Delta"), std::string::npos) << output;
  EXPECT_EQ(Tool(zips / "own.zip", zips / "new.zip", zips / "delta.zip"), 2);
  EXPECT_EQ(Tool(zips / "old.zip", zips / "none.zip", zips / "delta.zip"), 2);
  EXPECT_EQ(Tool(zips / "old.zip", zips / "missing.zip", zips / "delta.zip"), 2);
  WriteFile(zips / "broken.zip", "PK not a zip");
  EXPECT_EQ(Tool(zips / "broken.zip", zips / "new.zip", zips / "delta.zip"), 2);
  EXPECT_FALSE(Exists(zips / "delta.zip"));
  EXPECT_FALSE(Exists(zips / "delta.zip.new"));
}

#endif
