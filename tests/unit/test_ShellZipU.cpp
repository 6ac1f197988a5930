// Archive extraction. The POSIX build unpacks real archives made by Info-ZIP
// and by Python; the Windows build drives the system's shell.
#include <gtest/gtest.h>

#include <cstdlib>

#include "install/ShellZipU.h"
#include "testutil.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::S;
using testutil::TempDir;
using testutil::WriteFile;

TEST(UnzipWithShell, MissingArchiveOrFolderTouchesNothing) {
  TempDir dir;
  os::DirCreate(dir / "dest");
  WriteFile(dir / "dest" + S + "keep.txt", "keep");
  EXPECT_FALSE(UnzipWithShell(dir / "missing.zip", dir / "dest", ""));
  os::DirCreate(dir / "folder.zip");
  EXPECT_FALSE(UnzipWithShell(dir / "folder.zip", dir / "dest", ""));
  EXPECT_EQ(ReadFile(dir / "dest" + S + "keep.txt"), "keep");
}

#ifndef _WIN32

namespace {

int Sh(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

class Unzip : public ::testing::Test {
 protected:
  void SetUp() override {
    os::DirCreate(dir / "stage");
    os::DirCreate(dir / "dest");
  }
  std::string PyZip(const std::string& name, const std::string& entries) {
    std::string path = dir / name;
    EXPECT_TRUE(testutil::PyZip(path, entries));
    return path;
  }
  std::string Dest(const std::string& rel = "") const { return dir / "dest" + S + rel; }
  TempDir dir;
};

TEST_F(Unzip, InfoZipArchiveWithFoldersReplacesExistingFiles) {
  os::DirCreate(dir / "stage" + S + "sub");
  os::DirCreate(dir / "stage" + S + "empty");
  WriteFile(dir / "stage" + S + "app.exe", std::string("MZ\0\x01", 4));
  WriteFile(dir / "stage" + S + "sub" + S + "data.txt", "data\r\n");
  ASSERT_EQ(Sh("cd '" + dir / "stage" + "' && zip -qr '" + dir / "pkg.zip" + "' ."), 0);
  WriteFile(Dest("app.exe"), "old");
  WriteFile(Dest("other.txt"), "stays");

  EXPECT_TRUE(UnzipWithShell(dir / "pkg.zip", dir / "dest", ""));
  EXPECT_EQ(ReadFile(Dest("app.exe")), std::string("MZ\0\x01", 4));
  EXPECT_EQ(ReadFile(Dest("sub" + S + "data.txt")), "data\r\n");
  EXPECT_TRUE(Exists(Dest("empty")));
  EXPECT_EQ(ReadFile(Dest("other.txt")), "stays");
}

TEST_F(Unzip, PythonArchiveWithBackslashNamesAndFilter) {
  std::string zip = PyZip("p.zip",
                          "z.writestr('readme.txt', 'r')\n"
                          "z.writestr('Docs\\\\guide.txt', 'g')\n"
                          "z.writestr('bin/tool.exe', 't')\n"
                          "z.writestr('empty/', '')\n");
  EXPECT_TRUE(UnzipWithShell(zip, dir / "dest", "*.TXT; docs"));
  EXPECT_EQ(ReadFile(Dest("readme.txt")), "r");
  EXPECT_EQ(ReadFile(Dest("Docs" + S + "guide.txt")), "g");
  EXPECT_FALSE(Exists(Dest("bin")));
  EXPECT_FALSE(Exists(Dest("empty")));
  EXPECT_TRUE(UnzipWithShell(zip, dir / "dest", ""));
  EXPECT_EQ(ReadFile(Dest("bin" + S + "tool.exe")), "t");
  EXPECT_TRUE(Exists(Dest("empty")));
}

TEST_F(Unzip, UnreadableArchivesAreRefused) {
  WriteFile(dir / "junk.zip", "this is no archive at all");
  EXPECT_FALSE(UnzipWithShell(dir / "junk.zip", dir / "dest", ""));
  std::string zip = PyZip("good.zip", "z.writestr('a.txt', 'a' * 100000)\n");
  std::string bytes = ReadFile(zip);
  WriteFile(dir / "cut.zip", bytes.substr(0, bytes.size() / 2));
  EXPECT_FALSE(UnzipWithShell(dir / "cut.zip", dir / "dest", ""));
  EXPECT_FALSE(UnzipWithShell(zip, dir / "no-such-folder", ""));
}

TEST_F(Unzip, ArchivesNamingAnythingOutsideTheFolderAreRefusedWhole) {
  const char* unsafe[] = {
      "z.writestr('../evil.txt', 'x')",
      "z.writestr('sub/../../evil.txt', 'x')",
      "z.writestr('..\\\\evil.txt', 'x')",
      "z.writestr('/tmp/evil.txt', 'x')",
      "z.writestr('\\\\evil.txt', 'x')",
      "z.writestr('C:/evil.txt', 'x')",
      "z.writestr('C:evil.txt', 'x')",
      "i = zipfile.ZipInfo('link'); i.create_system = 3\n"
      "i.external_attr = (stat.S_IFLNK | 0o777) << 16\nz.writestr(i, '/etc/passwd')",
      "i = zipfile.ZipInfo('dev'); i.create_system = 3\n"
      "i.external_attr = (stat.S_IFCHR | 0o666) << 16\nz.writestr(i, '')",
  };
  int n = 0;
  for (const char* entry : unsafe) {
    SCOPED_TRACE(entry);
    std::string zip = PyZip("u" + std::to_string(n++) + ".zip",
                            std::string("z.writestr('first.txt', 'f')\n") + entry);
    EXPECT_FALSE(UnzipWithShell(zip, dir / "dest", ""));
    EXPECT_FALSE(Exists(Dest("first.txt")));  // nothing at all was written
    EXPECT_FALSE(Exists(dir / "evil.txt"));
    EXPECT_FALSE(Exists(Dest("link")));
  }
}

// The 32-bit little-endian field at offset in the local header and in the
// central directory entry of an archive's only member, replaced by value.
std::string PatchBothHeaders(std::string zip, size_t localOffset, uint32_t value) {
  auto put = [&](size_t at) {
    for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(localOffset);
  size_t central = zip.find("PK\x01\x02");
  if (central != std::string::npos) put(central + localOffset + 2);
  return zip;
}

TEST_F(Unzip, DamagedEntriesRefuseTheWholeArchive) {
  // Python writes the local header's CRC at 14 and sizes at 18 and 22; the
  // central directory has each two bytes further on.
  struct Damage {
    const char* what;
    const char* method;
    size_t offset;
    uint32_t value;
  } damages[] = {
      {"bad CRC, stored", "ZIP_STORED", 14, 0x12345678},
      {"bad CRC, deflated", "ZIP_DEFLATED", 14, 0x12345678},
      {"declared size larger, stored", "ZIP_STORED", 22, 5000},
      {"declared size smaller, deflated", "ZIP_DEFLATED", 22, 10},
      {"declared size larger, deflated", "ZIP_DEFLATED", 22, 1 << 20},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::string good = PyZip(std::string("d.zip"), std::string("z.writestr('a.txt', 'x' * 1000, ") +
                                                       "compress_type=zipfile." + d.method + ")\n");
    ASSERT_TRUE(UnzipWithShell(good, dir / "dest", ""));
    os::FileDelete(Dest("a.txt"));
    WriteFile(dir / "bad.zip", PatchBothHeaders(ReadFile(good), d.offset, d.value));
    EXPECT_FALSE(UnzipWithShell(dir / "bad.zip", dir / "dest", ""));
    EXPECT_FALSE(Exists(Dest("a.txt")));  // nothing of it stays
  }
}

TEST_F(Unzip, NamesWindowsCannotStoreAreRefusedWhole) {
  const char* names[] = {"CON",        "nul.txt",       "sub/aux.txt",   "Com1 .log",
                         "LPT9",       "pelmatic.ini.", "PELMATIC.EXE ", "pelmatic.ini:evil",
                         "dir./f.txt", "a<b",           "q?.txt",        "pipe|",
                         "star*",      "quote\\\"d",    "tab\\tname"};
  int n = 0;
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::string zip =
        PyZip("n" + std::to_string(n++) + ".zip",
              std::string("z.writestr('first.txt', 'f')\nz.writestr('") + name + "', 'x')\n");
    EXPECT_FALSE(UnzipWithShell(zip, dir / "dest", ""));
    EXPECT_FALSE(Exists(Dest("first.txt")));
  }
  // What Windows does store stays allowed: names that only begin like a
  // device, dots inside a name.
  std::string zip = PyZip("ok.zip",
                          "for n in ['CONFIG.SYS', 'com10.txt', 'lpt0', 'nul_x', '.hidden',\n"
                          "          'a.b.c', 'COM1x/f']:\n"
                          "    z.writestr(n, 'x')\n");
  EXPECT_TRUE(UnzipWithShell(zip, dir / "dest", ""));
  EXPECT_TRUE(Exists(Dest("CONFIG.SYS")));
  EXPECT_TRUE(Exists(Dest("COM1x" + S + "f")));
}

TEST_F(Unzip, PathsLongerThanThePlatformTakesAreRefusedAndLeaveNoFolders) {
  // 250 folders of 17 bytes: 4,500 bytes below the destination.
  std::string deep;
  for (int i = 0; i < 250; ++i) deep += "folder-" + std::to_string(1000000000 + i) + "/";
  std::string zip =
      PyZip("deep.zip", "z.writestr('first.txt', 'f')\nz.writestr('" + deep + "f.txt', 'x')\n");
  EXPECT_FALSE(UnzipWithShell(zip, dir / "dest", ""));
  EXPECT_FALSE(Exists(Dest("first.txt")));
  EXPECT_FALSE(Exists(Dest("folder-1000000000")));
  // Within the limit, 250 folders deep is fine.
  std::string shallow;
  for (int i = 0; i < 250; ++i) shallow += "d" + std::to_string(i % 10) + "/";
  zip = PyZip("ok.zip", "z.writestr('" + shallow + "f.txt', 'x')\n");
  EXPECT_TRUE(UnzipWithShell(zip, dir / "dest", ""));
  EXPECT_EQ(ReadFile(Dest(shallow.substr(0, shallow.size() - 1) + "/f.txt")), "x");
}

TEST_F(Unzip, LinksAlreadyInTheFolderAreNotFollowed) {
  os::DirCreate(dir / "outside");
  ASSERT_EQ(Sh("ln -s '" + dir / "outside" + "' '" + Dest("sub") + "'"), 0);
  ASSERT_EQ(Sh("ln -s '" + dir / "outside" + S + "f.txt" + "' '" + Dest("f.txt") + "'"), 0);
  std::string zip = PyZip("l.zip", "z.writestr('sub/x.txt', 'x')\n");
  EXPECT_FALSE(UnzipWithShell(zip, dir / "dest", ""));
  zip = PyZip("m.zip", "z.writestr('f.txt', 'x')\n");
  EXPECT_FALSE(UnzipWithShell(zip, dir / "dest", ""));
  EXPECT_FALSE(Exists(dir / "outside" + S + "x.txt"));
  EXPECT_FALSE(Exists(dir / "outside" + S + "f.txt"));
}

#endif

#ifdef _WIN32
#include <windows.h>

#include "core/errors.h"
#include "install/ShellZipU_win32.h"

TEST(UnzipWithShell, ArchiveTheShellCannotOpenYieldsFalseAndTouchesNothing) {
  // Wine's shell opens no ZIP folders: NameSpace gives no folder object.
  TempDir dir;
  os::DirCreate(dir / "dest");
  static const unsigned char kEmptyZip[22] = {'P', 'K', 5, 6};
  WriteFile(dir / "p.zip", std::string(reinterpret_cast<const char*>(kEmptyZip), 22));
  CoInitialize(nullptr);
  EXPECT_FALSE(UnzipWithShell(dir / "p.zip", dir / "dest", ""));
  CoUninitialize();
  EXPECT_TRUE(os::DirRemove(dir / "dest"));  // still empty
}

TEST(UnzipWithShell, UnknownMemberNamesTheMember) {
  CoInitialize(nullptr);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(L"Shell.Application", &clsid), S_OK);
  IDispatch* shell = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                             IID_IDispatch, reinterpret_cast<void**>(&shell)),
            S_OK);
  try {
    ShellCall(shell, "NoSuchMember", DISPATCH_METHOD, nullptr, 0, nullptr);
    ADD_FAILURE() << "no error raised";
  } catch (const EOleError& e) {
    EXPECT_STREQ(e.KindName(), "EOleError");
    EXPECT_STREQ(e.what(), "Method 'NoSuchMember' not supported by automation object");
  }
  try {
    ShellCall(nullptr, "Items", DISPATCH_METHOD, nullptr, 0, nullptr);
    ADD_FAILURE() << "no error raised";
  } catch (const EOleError& e) {
    EXPECT_STREQ(e.what(), "Variant does not reference an automation object");
  }
  shell->Release();
  CoUninitialize();
}
#endif
