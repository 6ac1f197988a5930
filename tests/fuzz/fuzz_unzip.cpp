// An update package is any bytes the server sends. Each input is written as
// the archive and unpacked into a fresh folder that sits at the bottom of a
// chain of private folders, with the process's current folder inside that
// chain too; afterwards every folder of the chain must hold exactly what it
// held before, so an entry that escaped the destination (by "..", an
// absolute name, a link or a relative path) is caught wherever it landed in
// reach. An archive with any entry that must not be written is refused
// whole, and a failed extraction takes back what it wrote: the destination
// then stays empty.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "install/ShellZipU.h"

namespace {

using fuzzutil::ListFolder;
using fuzzutil::Printable;

// A path component Windows could store, by the rule written out anew: no
// device name before the first dot (blanks before it aside), no dot or
// blank at the end, none of the bytes Windows refuses.
bool StorableComponent(const std::string& part) {
  for (unsigned char c : part)
    if (c < 32 || std::strchr("<>:\"|?*", c)) return false;
  if (part.back() == '.' || part.back() == ' ') return false;
  std::string stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* d : kDevices)
    if (stem == d) return false;
  bool numbered = stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0);
  return !(numbered && stem[3] >= '1' && stem[3] <= '9');
}

// The entry names that may be written, read independently of the extractor:
// relative, no drive, no ".." step (either slash separates), not empty,
// names Windows can store, and only plain files and folders.
bool AllowedEntry(archive_entry* e) {
  const char* p = archive_entry_pathname(e);
  if (!p || !*p) return false;
  std::string name = p;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  std::replace(name.begin(), name.end(), '\\', '/');
  bool anyPart = false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") {
      if (!StorableComponent(part)) return false;
      anyPart = true;
    }
    start = end + 1;
  }
  if (!anyPart) return false;
  if (archive_entry_hardlink(e) || archive_entry_symlink(e)) return false;
  mode_t type = archive_entry_filetype(e);
  return type == AE_IFREG || type == AE_IFDIR;
}

struct Survey {
  bool refusable = false;  // an entry not allowed, or the archive not readable to its end
  size_t entries = 0;
};

// Walks the archive the way an extraction does, reading every entry's data:
// what this walk meets is what would be written.
Survey SurveyArchive(const std::string& path) {
  Survey s;
  archive* a = archive_read_new();
  archive_read_support_format_zip(a);
  if (archive_read_open_filename(a, path.c_str(), 65536) != ARCHIVE_OK) {
    archive_read_free(a);
    s.refusable = true;
    return s;
  }
  archive_entry* e;
  int r;
  while ((r = archive_read_next_header(a, &e)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
    ++s.entries;
    // Anything the reader warns of refuses the archive too.
    if (r == ARCHIVE_WARN || !AllowedEntry(e)) {
      s.refusable = true;
      break;
    }
    const void* block;
    size_t size;
    la_int64_t offset;
    int d;
    while ((d = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
    }
    if (d != ARCHIVE_EOF) {
      s.refusable = true;
      break;
    }
  }
  if (r != ARCHIVE_EOF) s.refusable = true;
  archive_read_free(a);
  return s;
}

// Everything below the folder must be a plain file or a folder; returns the
// number of entries.
size_t CheckTree(const std::string& folder) {
  size_t count = 0;
  for (const std::string& name : ListFolder(folder)) {
    std::string path = folder + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) fuzzutil::Fail("cannot stat %s", path.c_str());
    ++count;
    if (S_ISDIR(st.st_mode))
      count += CheckTree(path);
    else if (!S_ISREG(st.st_mode))
      fuzzutil::Fail("unpacked %s is neither a file nor a folder (mode %o)",
                     Printable(path).c_str(), st.st_mode);
  }
  return count;
}

void ExpectOnly(const std::string& folder, std::vector<std::string> expected) {
  std::vector<std::string> seen = ListFolder(folder);
  std::sort(seen.begin(), seen.end());
  std::sort(expected.begin(), expected.end());
  if (seen == expected) return;
  std::string list;
  for (const std::string& n : seen) list += " \"" + Printable(n) + "\"";
  fuzzutil::Fail("written outside the destination: %s now holds%s", folder.c_str(), list.c_str());
}

struct Sandbox {
  fuzzutil::ScratchDir root{"unzip"};
  // root/in.zip and root/a/b/c/dest; the run's current folder is c.
  std::string archive = root / "in.zip";
  std::string a = root / "a", b = a + "/b", c = b + "/c", dest = c + "/dest";
  int home = -1, jail = -1;
  Sandbox() {
    for (const std::string* d : {&a, &b, &c})
      if (::mkdir(d->c_str(), 0700) != 0) fuzzutil::Fail("cannot create %s", d->c_str());
    home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    jail = ::open(c.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home < 0 || jail < 0) fuzzutil::Fail("cannot open the working folders");
  }
};

// libFuzzer writes the input of a crash relative to the current folder,
// which during the extraction is inside the sandbox that the next start
// removes. Relative artifact names are therefore made absolute before
// libFuzzer reads its flags.
std::vector<std::string> gArgs;
std::vector<char*> gArgv;

void PinArtifactPaths(int* argc, char*** argv) {
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) fuzzutil::Fail("cannot read the current folder");
  const std::string here = std::string(cwd) + "/";
  bool prefixGiven = false;
  for (int i = 0; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path="}) {
      size_t n = std::strlen(flag);
      if (arg.compare(0, n, flag) != 0) continue;
      if (flag[1] == 'a') prefixGiven = true;
      if (arg.size() > n && arg[n] != '/') arg = flag + here + arg.substr(n);
    }
    gArgs.push_back(arg);
  }
  if (!prefixGiven) gArgs.push_back("-artifact_prefix=" + here);
  for (std::string& a : gArgs) gArgv.push_back(&a[0]);
  gArgv.push_back(nullptr);
  *argc = static_cast<int>(gArgs.size());
  *argv = gArgv.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  PinArtifactPaths(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox box;
  fuzzutil::WriteWhole(box.archive, data, size);
  const Survey survey = SurveyArchive(box.archive);
  if (::mkdir(box.dest.c_str(), 0700) != 0) fuzzutil::Fail("cannot create the destination");

  if (::fchdir(box.jail) != 0) fuzzutil::Fail("cannot enter the sandbox");
  const bool ok = UnzipWithShell(box.archive, box.dest, "");
  // Back home at once: libFuzzer's own files go where they were asked to.
  if (::fchdir(box.home) != 0) fuzzutil::Fail("cannot leave the sandbox");

  ExpectOnly(box.root.Path(), {"in.zip", "a"});
  ExpectOnly(box.a, {"b"});
  ExpectOnly(box.b, {"c"});
  ExpectOnly(box.c, {"dest"});
  const size_t written = CheckTree(box.dest);
  if (survey.refusable)
    FUZZ_CHECK(!ok, "an archive with a refused entry or unreadable data was accepted");
  // A refused or failed extraction takes back what it created; the
  // destination started empty.
  if (!ok)
    FUZZ_CHECK(written == 0, "%zu items left behind by an extraction that returned false", written);
  if (!fuzzutil::RemoveTree(box.dest)) fuzzutil::Fail("cannot empty the destination");
  return 0;
}
