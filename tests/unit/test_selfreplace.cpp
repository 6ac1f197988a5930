// Version stamps and the script that swaps in a newer copy of the checker.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/runstate.h"
#include "install/selfreplace.h"
#include "os/peversion.h"
#include "platform/files.h"
#include "platform/names.h"
#include "testutil.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {
std::string BesideTests(const std::string& name) { return ExtractFilePath(os::ExePath()) + name; }
}  // namespace

TEST(FileVersion, RealExecutables) {
  EXPECT_EQ(GetFileVersionString(BesideTests("versioned.exe")), "5.0.2.195");
  EXPECT_EQ(GetFileVersionString(BesideTests("unversioned.exe")), "0");
  EXPECT_EQ(GetFileVersionString(BesideTests("no-such-file.exe")), "0");
#ifdef _WIN32
  EXPECT_EQ(GetFileVersionString(BesideTests("PELMATIC.EXE")), "2.0.0.0");
  EXPECT_EQ(GetFileVersionString(BesideTests("PELMATIC_NEXT.EXE")), "2.1.0.0");
#else
  EXPECT_EQ(GetFileVersionString(BesideTests("pelmatic")), "2.0.0.0");
  EXPECT_EQ(GetFileVersionString(BesideTests("pelmatic_next")), "2.1.0.0");
#endif
  TempDir dir;
  WriteFile(dir / "text.exe", "MZ not really");
  EXPECT_EQ(GetFileVersionString(dir / "text.exe"), "0");
  // The machine each is built for, from the same headers.
  EXPECT_EQ(ExecutableMachine(dir / "text.exe"), ExeMachine());
  EXPECT_EQ(ExecutableMachine(BesideTests("no-such-file.exe")), ExeMachine());
  const ExeMachine self = ExecutableMachine(os::ExePath());
  EXPECT_EQ(ExecutableMachine(BesideTests("versioned.exe")).format, ExeFormat::kPe);
#ifdef _WIN32
  EXPECT_EQ(self.format, ExeFormat::kPe);
  EXPECT_EQ(ExeMachineName(self),
            sizeof(void*) == 8 ? "x64 (64-bit Windows)" : "x86 (32-bit Windows)");
  EXPECT_EQ(ExecutableMachine(BesideTests("PELMATIC_NEXT.EXE")), self);
#else
  EXPECT_EQ(ExeMachineName(self), "x86-64 (Linux)");
  EXPECT_EQ(ExeMachineName(ExecutableMachine(BesideTests("versioned.exe"))),
            "x86 (32-bit Windows)");
#endif
}

TEST(FileVersion, DamagedFilesNeverReadOutOfBounds) {
  const std::string good = ReadFile(BesideTests("versioned.exe"));
  ASSERT_GT(good.size(), 1024u);
  uint32_t ms = 0, ls = 0;
  std::vector<uint8_t> bytes(good.begin(), good.end());
  ASSERT_TRUE(FindFixedFileVersion(bytes.data(), bytes.size(), ms, ls));
  EXPECT_EQ(ms, 0x00050000u);
  EXPECT_EQ(ls, 0x000200C3u);
  // Every cut of the file: each copy is exactly as long as the cut, so a
  // read past it is caught by the sanitizers.
  for (size_t cut = 0; cut < bytes.size(); cut += 7) {
    std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<long>(cut));
    bool found = FindFixedFileVersion(part.data(), part.size(), ms, ls);
    if (found) {
      EXPECT_EQ(ms, 0x00050000u);
    }
  }
  // Every byte of the headers and the resource turned to 0xFF in turn.
  for (size_t i = 0; i < bytes.size(); i += 3) {
    std::vector<uint8_t> bad = bytes;
    bad[i] = 0xFF;
    FindFixedFileVersion(bad.data(), bad.size(), ms, ls);
  }
  const VersionRecord record = MakeVersionRecord(2, 1, 0, 0);
  EXPECT_FALSE(
      FindFixedFileVersion(record.bytes, sizeof record.bytes, ms, ls));  // no file around it
}

// The script names no folder: ASCII whatever the folder, read alike in
// every code page of the console, and it runs only where it lies.
TEST(ReplaceScript, ExactLinesAndNoFolderSpelledOut) {
  const std::string s = BuildReplaceScript();
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos) << "every line, the last included, ends with CR LF";
    lines.push_back(s.substr(pos, end - pos));
    pos = end + 2;
  }
  const size_t tries = kReplaceTries;
  ASSERT_EQ(lines.size(), 1 + 3 * tries - 1 + 4);
  EXPECT_EQ(s.find('\n'), s.find("\r\n") + 1);
  for (char c : s) ASSERT_LT(static_cast<unsigned char>(c), 0x80);
  EXPECT_EQ(lines[0], "if not exist \"@Runme.bat\" goto end");
  for (size_t i = 0; i < tries; ++i) {
    ASSERT_EQ(lines[1 + 3 * i], "del \"PELMATIC.EXE\"") << i;
    ASSERT_EQ(lines[2 + 3 * i], "if not exist \"PELMATIC.EXE\" goto swap");
    if (i + 1 < tries) {
      ASSERT_EQ(lines[3 + 3 * i], "ping -n 2 127.0.0.1 >nul");
    }
  }
  EXPECT_EQ(lines[lines.size() - 4], ":swap");
  EXPECT_EQ(lines[lines.size() - 3], "rename \"NEW_PELMATIC.EXE\"  \"pelmatic.exe\"");
  EXPECT_EQ(lines[lines.size() - 2], "del \"@Runme.bat\"");
  EXPECT_EQ(lines[lines.size() - 1], ":end");
}

namespace {

class SelfReplace : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    gRun.AppDir = dir.Path();
  }
  void Place(const std::string& built, const std::string& as) {
    WriteFile(dir / as, ReadFile(BesideTests(built)));
  }
  TempDir dir;
#ifdef _WIN32
  const std::string current = "PELMATIC.EXE", next = "PELMATIC_NEXT.EXE";
#else
  const std::string current = "pelmatic", next = "pelmatic_next";
#endif
};

}  // namespace

TEST_F(SelfReplace, NotNewerCopiesAreDeleted) {
  Place(current, "PELMATIC.EXE");
  Place(current, "NEW_PELMATIC.EXE");  // equal is not newer
  ScheduleSelfReplace();
  EXPECT_FALSE(Exists(dir / "NEW_PELMATIC.EXE"));
  EXPECT_FALSE(Exists(dir / "@Runme.bat"));
  Place("unversioned.exe", "NEW_PELMATIC.EXE");
  ScheduleSelfReplace();
  EXPECT_FALSE(Exists(dir / "NEW_PELMATIC.EXE"));
  EXPECT_TRUE(Exists(dir / "PELMATIC.EXE"));
  ScheduleSelfReplace();  // no new copy at all: nothing happens
  EXPECT_TRUE(Exists(dir / "PELMATIC.EXE"));
}

// A newer checker built for another machine than the one running would
// never start again here.
TEST_F(SelfReplace, ACopyForAnotherMachineIsDeleted) {
  Place(current, "PELMATIC.EXE");
  std::string other = ReadFile(BesideTests(next));
  const size_t at = other[0] == 'M' ? static_cast<uint8_t>(other[0x3C]) +
                                          (static_cast<uint8_t>(other[0x3D]) << 8) + 4
                                    : 18;
  other[at] = static_cast<char>(other[at] ^ 0x01);
  WriteFile(dir / "NEW_PELMATIC.EXE", other);
  ASSERT_EQ(GetFileVersionString(dir / "NEW_PELMATIC.EXE"), "2.1.0.0");
  ScheduleSelfReplace();
  EXPECT_FALSE(Exists(dir / "NEW_PELMATIC.EXE"));
  EXPECT_FALSE(Exists(dir / "@Runme.bat"));
  EXPECT_TRUE(ReadFile(dir / "PELMATIC.EXE") == ReadFile(BesideTests(current)));
}

// In a folder whose name the console's code page cannot spell, with a % and
// a ^ that the interpreter must not take for its own.
TEST_F(SelfReplace, NewerCopyReplacesTheExecutableThroughTheScript) {
  const std::string folder =
      dir / "\xD0\xA0\xD0\xB5\xD0\xB4\xD0\xB0\xD0\xBA\xD1\x82\xD0\xBE\xD1\x80 100% ^";
  ASSERT_TRUE(os::DirCreate(folder));
  gRun.AppDir = folder + os::kPathSep;
  WriteFile(gRun.AppDir + "PELMATIC.EXE", ReadFile(BesideTests(current)));
  WriteFile(gRun.AppDir + "NEW_PELMATIC.EXE", ReadFile(BesideTests(next)));
  ScheduleSelfReplace();
  for (int i = 0; i < 200 && Exists(gRun.AppDir + "@Runme.bat"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Exists(gRun.AppDir + "@Runme.bat"));
  EXPECT_FALSE(Exists(gRun.AppDir + "NEW_PELMATIC.EXE"));
  EXPECT_EQ(GetFileVersionString(gRun.AppDir + "pelmatic.exe"), "2.1.0.0");
  EXPECT_TRUE(ReadFile(gRun.AppDir + "pelmatic.exe") == ReadFile(BesideTests(next)));
}

#ifndef _WIN32
// While any copy of the old checker runs (the run that started an elevated
// copy shows its notice), the script cannot delete it, as on Windows, and
// waits; the new copy takes its place once the last one has ended.
TEST_F(SelfReplace, TheScriptWaitsForEveryCopyToEnd) {
  WriteFile(dir / "PELMATIC.EXE", ReadFile("/bin/sleep"));
  ::chmod((dir / "PELMATIC.EXE").c_str(), 0755);
  const pid_t running = ::fork();
  if (running == 0) {
    ::execl((dir / "PELMATIC.EXE").c_str(), "PELMATIC.EXE", "2", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Place(next, "NEW_PELMATIC.EXE");
  ScheduleSelfReplace();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(Exists(dir / "NEW_PELMATIC.EXE"));
  EXPECT_TRUE(ReadFile(dir / "PELMATIC.EXE") == ReadFile("/bin/sleep"));
  int status = 0;
  ::waitpid(running, &status, 0);
  for (int i = 0; i < 100 && Exists(dir / "@Runme.bat"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Exists(dir / "@Runme.bat"));
  EXPECT_EQ(GetFileVersionString(dir / "pelmatic.exe"), "2.1.0.0");
}
#endif
