// The all-or-nothing installation on real folders: success, failures at
// each step, interruptions left as a kill leaves them, and the recovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "install/transaction.h"
#include "testutil.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

using testutil::ReadFile;
using testutil::S;
using testutil::TempDir;
using testutil::Tree;
using testutil::WriteFile;

namespace {

void MakeReadOnly(const std::string& path) {
#ifdef _WIN32
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
#else
  chmod(path.c_str(), 0444);
#endif
}

struct Killed : std::runtime_error {
  Killed() : std::runtime_error("killed") {}
};

// Passes the steps on and ends the run, as a kill would, before move n.
class KilledAt : public MergeMoves {
 public:
  KilledAt(MergeMoves& inner, int n) : inner_(inner), left_(n) {}
  bool Prepare(const std::vector<MergeStep>& steps) override { return inner_.Prepare(steps); }
  void CreateFolder(const std::string& path) override { inner_.CreateFolder(path); }
  bool MoveIn(const std::string& path) override {
    if (left_-- == 0) throw Killed();
    return inner_.MoveIn(path);
  }

 private:
  MergeMoves& inner_;
  int left_;
};

class Transaction : public ::testing::Test {
 protected:
  std::string App() const { return app.Path(); }
  std::string Unpack() const { return app / "Temp1000" + S; }
  void SetUp() override {
    WriteFile(App() + "pelmatic.ini", "[Check]\r\nver_now=1.0\r\n");
    WriteFile(App() + "app.exe", "old exe");
    WriteFile(App() + "readme.txt", "old readme");
    MakeReadOnly(App() + "readme.txt");
    WriteFile(App() + "mine.dat", "the user's");
    os::DirCreate(App() + "lib");
    WriteFile(App() + "lib" + S + "a.dll", "old a");
    old = Tree(App());

    os::DirCreate(Unpack());
    WriteFile(Unpack() + "app.exe", "new exe");
    WriteFile(Unpack() + "readme.txt", "new readme");
    WriteFile(Unpack() + "pelmatic.ini", "[Check]\r\nver_now=2.0\r\n");
    os::DirCreate(Unpack() + "lib");
    WriteFile(Unpack() + "lib" + S + "a.dll", "new a");
    WriteFile(Unpack() + "lib" + S + "b.dll", "new b");
    os::DirCreate(Unpack() + "plugins");
    WriteFile(Unpack() + "plugins" + S + "p.dll", "new p");
  }
  // The same installation and package in a folder of their own again.
  void Fresh() {
    os::SetReadOnly(App() + "readme.txt", false);  // or Windows keeps it
    testutil::RemoveTree(App());
    os::DirCreate(App());
    SetUp();
  }
  JournalRecord Record() const {
    JournalRecord record;
    record.unpack = "Temp1000";
    record.config = "pelmatic.ini";
    record.configCopy = "pelmatic.OLD";
    return record;
  }
  // The merge and its outcome as the installation runs them.
  int32_t Install() {
    Installation install(App(), Record());
    if (!install.Begin()) return -12;
    int32_t counter = 0;
    MergeFolder(Unpack(), counter, install);
    if (counter > 0 && install.Commit()) {
      install.Finish();
      return counter;
    }
    install.RollBack();
    return -13;
  }
  std::map<std::string, std::string> New() const {
    auto tree = old;
    tree["app.exe"] = "new exe";
    tree["readme.txt"] = "new readme";
    tree["pelmatic.ini"] = "[Check]\r\nver_now=2.0\r\n";
    tree["lib/a.dll"] = "new a";
    tree["lib/b.dll"] = "new b";
    tree["plugins"] = "<dir>";
    tree["plugins/p.dll"] = "new p";
    return tree;
  }
  TempDir app;
  std::map<std::string, std::string> old;
};

}  // namespace

TEST_F(Transaction, SuccessLeavesTheNewTreeAndNothingOfTheInstallation) {
  EXPECT_EQ(Install(), 6);
  EXPECT_EQ(Tree(App()), New());
}

TEST_F(Transaction, AFailedMoveAtAnyStepPutsEveryFileBackExactly) {
  // A folder in the way of the n-th file, at the top and in subfolders:
  // what moved before it goes back, read-only attribute and all.
  const char* blocked[] = {"app.exe", "readme.txt", "pelmatic.ini", "lib/b.dll", "plugins/p.dll"};
  for (const char* name : blocked) {
    SCOPED_TRACE(name);
    Fresh();
    std::string path = name;
    std::replace(path.begin(), path.end(), '/', os::kPathSep);
    os::SetReadOnly(App() + path, false);
    os::FileDelete(App() + path);
    if (path.rfind("plugins", 0) == 0) os::DirCreate(App() + "plugins");
    ASSERT_TRUE(os::DirCreate(App() + path));
    auto before = Tree(App());
    for (auto it = before.begin(); it != before.end();)
      it = it->first.rfind("Temp1000", 0) == 0 ? before.erase(it) : std::next(it);

    EXPECT_EQ(Install(), -13);
    EXPECT_EQ(Tree(App()), before) << "still the installation it was";
  }
}

TEST_F(Transaction, AKillAtAnyMoveIsRolledBackAtTheNextStart) {
  for (int n = 0; n <= 5; ++n) {
    SCOPED_TRACE(n);
    Fresh();
    {
      // Gone with the run, as a killed process's handles are.
      Installation install(App(), Record());
      ASSERT_TRUE(install.Begin());
      KilledAt killed(install, n);
      int32_t counter = 0;
      EXPECT_THROW(MergeFolder(Unpack(), counter, killed), Killed);
    }

    EXPECT_TRUE(InstallationPending(App()));
    EXPECT_TRUE(RecoverInstallation(App()));
    EXPECT_EQ(Tree(App()), old);
    EXPECT_TRUE(RecoverInstallation(App())) << "nothing left to do";
  }
}

TEST_F(Transaction, ACommittedJournalIsFinishedAndATornPlanMeansNothingMoved) {
  // Every move done and the commit on the disk; the run ends before the
  // clean-up.
  std::string text;
  {
    Installation install(App(), Record());
    ASSERT_TRUE(install.Begin());
    int32_t counter = 0;
    MergeFolder(Unpack(), counter, install);
    EXPECT_EQ(counter, 6);
  }
  text = ReadFile(App() + kJournalName);
  WriteFile(App() + kJournalName, text + "committed\n");
  EXPECT_TRUE(RecoverInstallation(App()));
  EXPECT_EQ(Tree(App()), New());

  // A plan cut short never let a move start: the next start only tidies up.
  Fresh();
  const size_t cut = text.find("planned ");
  ASSERT_NE(cut, std::string::npos);
  WriteFile(App() + kJournalName, text.substr(0, cut - 3));
  EXPECT_TRUE(RecoverInstallation(App()));
  EXPECT_EQ(Tree(App()), old);
}

TEST_F(Transaction, APendingJournalThatCannotBeReadIsLeftAlone) {
  WriteFile(App() + kJournalName, "not a journal\n");
  EXPECT_TRUE(RecoverInstallation(App())) << "a head cut short: nothing had started";
  EXPECT_FALSE(InstallationPending(App()));
}

TEST(RetryLimits, TransientErrorsAreTriedAgainWithinTheLimits) {
  int calls = 0;
  Retry plenty;
  EXPECT_EQ(plenty.Run([&] { return ++calls < 3 ? os::kErrSharingViolation : 0; }), 0);
  EXPECT_EQ(calls, 3);

  // Waits of 50 and 100 ms fit in 200 ms, the next of 200 no longer does.
  calls = 0;
  Retry perFile(200, 60000);
  EXPECT_EQ(perFile.Run([&] {
    ++calls;
    return os::kErrSharingViolation;
  }),
            os::kErrSharingViolation);
  EXPECT_EQ(calls, 3);

  // The installation's limit is shared by every file.
  Retry total(10000, 80);
  calls = 0;
  total.Run([&] {
    ++calls;
    return os::kErrLockViolation;
  });
  EXPECT_EQ(calls, 2);
  calls = 0;
  total.Run([&] {
    ++calls;
    return os::kErrLockViolation;
  });
  EXPECT_EQ(calls, 1);

  calls = 0;
  EXPECT_EQ(plenty.Run([&] {
    ++calls;
    return os::kErrFileNotFound;
  }),
            os::kErrFileNotFound);
  EXPECT_EQ(calls, 1) << "other errors fail at once";
}
