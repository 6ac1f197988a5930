#include "tool/tool.h"

#include <iterator>
#include <map>

#include "install/ShellZipU.h"
#include "install/package.h"
#include "install/selfreplace.h"
#include "os/os.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/http.h"
#include "platform/names.h"
#include "tool/deltamake.h"
#include "tool/keyfile.h"
#include "tool/publish.h"
#include "tool/scratch.h"
#include "tool/verify.h"
#include "tool/zipwrite.h"
#include "version/keys.h"
#include "version/manifest.h"
#include "version/rollout.h"
#include "version/signing.h"
#include "version/versiontext.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  pelmatic-tool keygen KEY.pem\n"
    "  pelmatic-tool pubkey KEY.pem\n"
    "  pelmatic-tool manifest --product NAME --ver V --file PATH [--filealt PATH] [--mode M]\n"
    "                [--notes FILE] [--expires YYYY-MM-DDTHH:MM:SSZ] [--previous MANIFEST-OR-URL]\n"
    "                [--rollout P [--rollout-start YYYY-MM-DDTHH:MM:SSZ --rollout-hours H]]\n"
    "                [--delta BASEVERSION=DELTA.zip]... [--critical VERSION]\n"
    "                [--silent-args ARGUMENTS]\n"
    "                --key KEY.pem --out NAME.ver\n"
    "  pelmatic-tool sign --key KEY.pem MANIFEST\n"
    "  pelmatic-tool verify --ini pelmatic.ini [--ver-now V] [--base VERSION=PACKAGE.zip]...\n"
    "                [URL-OR-FOLDER]\n"
    "  pelmatic-tool rollout --product NAME --ver V [--machine-id ID] [--share P]\n"
    "  pelmatic-tool delta --from OLD.zip --to NEW.zip --out DELTA.zip\n"
    "A key file of - is read from standard input.\n"
    "Notes in UTF-8 (any script) and names beyond ASCII make a manifest that begins with\n"
    "the UTF-8 byte order mark, by which installed copies read it as UTF-8; a manifest\n"
    "without it is read in the system code page of each installed copy.\n";

constexpr uint64_t kKeyMaxBytes = 64 << 10;

// A refusal: the message goes to standard error, the exit code is 2.
struct Refusal {
  std::string message;
};

// The whole file, at most limit bytes; standard input for "-" when allowed.
std::string ReadAll(const std::string& path, uint64_t limit, std::istream* in = nullptr) {
  std::string bytes;
  if (path == "-" && in) {
    bytes.assign(std::istreambuf_iterator<char>(*in), std::istreambuf_iterator<char>());
  } else {
    os::FileHandle h = nullptr;
    if (int32_t e = os::FileOpenRead(path, h))
      throw Refusal{path + " cannot be read (error " + std::to_string(e) + ")."};
    os::UniqueFile file(h);
    char buffer[1 << 14];
    for (;;) {
      uint32_t got = 0;
      if (os::FileRead(file.Get(), buffer, sizeof buffer, got) != 0)
        throw Refusal{path + " cannot be read."};
      if (got == 0) break;
      bytes.append(buffer, got);
      if (bytes.size() > limit) break;
    }
  }
  if (bytes.size() > limit)
    throw Refusal{path + " is longer than " + std::to_string(limit) + " bytes."};
  return bytes;
}

// Written beside path first, then put in its place: a failed write never
// leaves half a file where the old one was. fill writes into the open file.
template <typename Fill>
void WriteReplacing(const std::string& path, Fill fill) {
  const std::string next = path + ".new";
  os::FileHandle h = nullptr;
  if (int32_t e = os::FileCreateExclusive(next, h))
    throw Refusal{next + " cannot be written (error " + std::to_string(e) + ")."};
  os::UniqueFile file(h);
  std::string failed;
  try {
    failed = fill(file.Get());
  } catch (...) {
    file.Close();
    os::FileDelete(next);
    throw;
  }
  if (failed.empty() && os::FileSync(file.Get()) != 0) failed = path + " cannot be written.";
  if (file.Close() != 0 && failed.empty()) failed = path + " cannot be written.";
  if (failed.empty() && !os::FileMoveReplace(next, path)) failed = path + " cannot be written.";
  if (!failed.empty()) {
    os::FileDelete(next);
    throw Refusal{failed};
  }
}

void WriteReplacing(const std::string& path, const std::string& bytes) {
  WriteReplacing(path, [&](os::FileHandle h) {
    uint32_t written = 0;
    const bool ok =
        os::FileWrite(h, bytes.data(), static_cast<uint32_t>(bytes.size()), written) == 0 &&
        written == bytes.size();
    return ok ? std::string() : path + " cannot be written.";
  });
}

SigningKey LoadKey(const std::string& path, std::istream& in) {
  if (path.empty()) throw Refusal{"no --key given."};
  SigningKey key;
  std::string error;
  if (!KeyFromPem(ReadAll(path, kKeyMaxBytes, &in), key, error))
    throw Refusal{(path == "-" ? std::string("the key on standard input") : path) + ": " + error +
                  "."};
  return key;
}

// --name value pairs and the words left over; an option in repeatable may
// come more than once.
struct Arguments {
  std::map<std::string, std::string> options;
  std::map<std::string, std::vector<std::string>> lists;
  std::vector<std::string> words;

  Arguments(const std::vector<std::string>& args, size_t from,
            std::initializer_list<const char*> known,
            std::initializer_list<const char*> repeatable = {}) {
    for (size_t i = from; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.compare(0, 2, "--") != 0 || a == "-") {
        words.push_back(a);
        continue;
      }
      bool found = false, repeated = false;
      for (const char* k : known) found = found || a == k;
      for (const char* k : repeatable) repeated = repeated || a == k;
      if (!found && !repeated) throw Refusal{"unknown option " + a + ".\n" + kUsage};
      if (i + 1 >= args.size()) throw Refusal{a + " needs a value."};
      if (repeated) {
        lists[a].push_back(args[++i]);
        continue;
      }
      if (options.count(a)) throw Refusal{a + " is given twice."};
      options[a] = args[++i];
    }
  }
  std::string Get(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
  // BASE=VALUE of every --name given, each BASE once.
  std::vector<std::pair<std::string, std::string>> Pairs(const std::string& name) const {
    std::vector<std::pair<std::string, std::string>> pairs;
    auto it = lists.find(name);
    if (it == lists.end()) return pairs;
    for (const std::string& item : it->second) {
      const size_t eq = item.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == item.size())
        throw Refusal{name + " " + item + ": give VERSION=FILE."};
      const std::string base = item.substr(0, eq);
      for (const auto& p : pairs)
        if (p.first == base) throw Refusal{name + " names " + base + " twice."};
      pairs.emplace_back(base, item.substr(eq + 1));
    }
    return pairs;
  }
  std::string Need(const std::string& name) const {
    std::string v = Get(name);
    if (v.empty()) throw Refusal{name + " is required.\n" + kUsage};
    return v;
  }
};

int Keygen(const Arguments& a, std::ostream& out, std::ostream& err) {
  if (a.words.size() != 1) throw Refusal{kUsage};
  const std::string& path = a.words[0];
  SigningKey key;
  if (!os::P256Generate(key.secret, key.key)) throw Refusal{"no key could be made."};
  os::FileHandle h = nullptr;
  if (int32_t e = os::FileCreatePrivate(path, h)) {
    if (e == os::kErrFileExists)
      throw Refusal{path +
                    " is already there: keygen never overwrites a key. Choose another "
                    "name."};
    throw Refusal{path + " cannot be made (error " + std::to_string(e) + ")."};
  }
  if (!WriteAndClose(h, KeyToPem(key))) {
    os::FileDelete(path);
    throw Refusal{path + " cannot be written."};
  }
  out << PubKeyLine(key.key) << "\n";
  err << "Wrote " << path << ". Keep it offline with a backup; put the line above into the "
      << "section [Check] of pelmatic.ini.\n";
  return 0;
}

int Pubkey(const Arguments& a, std::istream& in, std::ostream& out) {
  if (a.words.size() != 1) throw Refusal{kUsage};
  out << PubKeyLine(LoadKey(a.words[0], in).key) << "\n";
  return 0;
}

// The version of the manifest an installed copy has now, read the way the
// checker reads it.
std::string PreviousVersion(const std::string& where) {
  std::string text;
  const bool read = IsWebUrl(where) ? FetchText(where, text) : ReadTextFile(where, text);
  if (!read) throw Refusal{where + " cannot be read as a manifest."};
  const std::string ver = KeyValue(text + "\r", "ver");
  if (ver.empty()) throw Refusal{where + " holds no ver=."};
  return ver;
}

void Check(const std::string& refusal) {
  if (!refusal.empty()) throw Refusal{refusal};
}

// The name the manifest gives for a file, its digest and its length.
void Describe(const std::string& option, const std::string& path, std::string& name,
              std::string& sha256, std::string& size) {
  // Windows takes / for a folder delimiter too.
  name = ExtractFileName(path);
  name = name.substr(name.rfind('/') + 1);
  if (!IsPlainFileName(name))
    throw Refusal{option + " \"" + name +
                  "\" is not a plain file name: installed copies refuse "
                  "it. Use a name without folders, \\ / :, wildcards, quotes, < > | "
                  "or control characters."};
  Check(RefuseValue(option, name, false));
  uint64_t length = 0;
  os::Sha256Digest digest{};
  if (!MeasureFile(path, length, digest)) throw Refusal{path + " cannot be read."};
  sha256 = ToHex(digest.data(), digest.size());
  size = std::to_string(length);
}

uint32_t NeedShare(const std::string& option, const std::string& text) {
  uint32_t share = 0;
  if (!ParseRolloutShare(text, share))
    throw Refusal{option +
                  " must be a share in percent from 0 to 100 with at most two decimals "
                  "(10, 37.5, 0.25)."};
  return share;
}

// A staged release: a share, and optionally a ramp from it to everyone.
void ReadRolloutOptions(const Arguments& a, Release& r) {
  r.rollout = a.Get("--rollout");
  r.rolloutStart = a.Get("--rollout-start");
  r.rolloutHours = a.Get("--rollout-hours");
  if (r.rollout.empty() && (!r.rolloutStart.empty() || !r.rolloutHours.empty()))
    throw Refusal{"--rollout-start and --rollout-hours need --rollout, the share to start from."};
  if (r.rollout.empty()) return;
  NeedShare("--rollout", r.rollout);
  if (r.rolloutStart.empty() != r.rolloutHours.empty())
    throw Refusal{"--rollout-start and --rollout-hours go together: the ramp's start and length."};
  int64_t start = 0;
  uint32_t hours = 0;
  if (!r.rolloutStart.empty() && !ParseExpires(r.rolloutStart, start))
    throw Refusal{"--rollout-start must be a moment in the form YYYY-MM-DDTHH:MM:SSZ (UTC)."};
  if (!r.rolloutHours.empty() && !ParseRolloutHours(r.rolloutHours, hours))
    throw Refusal{"--rollout-hours must be a whole number of hours from 1 to 8760."};
}

// The shell unpacks packages on Windows, as for the checker.
struct ComScope {
  ComScope() { os::ComInitialize(); }
  ~ComScope() { os::ComUninitialize(); }
};

// A checker in a package replaces only those built for its machine: the
// vendor sees which installations that is.
void DescribePackagedChecker(const std::string& zip, std::ostream& out) {
  if (UpperCase(ExtractFileExt(zip)) != ".ZIP") return;
  ComScope com;
  ScratchFolder unpack("manifest-unpack");
  if (!unpack.Made() || !UnzipWithShell(zip, unpack.Path(), "")) return;
  const std::string checker = unpack.Inner() + "PELMATIC.EXE";
  if (!FileExists(checker)) return;
  out << "packaged checker: PELMATIC.EXE " << GetFileVersionString(checker) << " for "
      << ExeMachineName(ExecutableMachine(checker))
      << "; installed checkers built for another machine keep running as they are\n";
}

int Manifest(const Arguments& a, std::istream& in, std::ostream& out) {
  if (!a.words.empty()) throw Refusal{kUsage};
  Release r;
  r.product = a.Need("--product");
  r.ver = Trim(a.Need("--ver"));
  r.mode = a.Get("--mode");
  r.expires = a.Get("--expires");
  const std::string outPath = a.Need("--out");
  Check(RefuseValue("--product", r.product, false));
  Check(RefuseValue("--ver", r.ver, false));
  if (r.ver.empty()) throw Refusal{"--ver is empty."};
  if (!r.mode.empty() && r.mode != "0" && r.mode != "1" && r.mode != "2" && r.mode != "3")
    throw Refusal{"--mode must be 0 (announce), 1 (homepage), 2 (browser) or 3 (automatic)."};
  if (!r.expires.empty()) {
    int64_t when = 0;
    if (!ParseExpires(r.expires, when))
      throw Refusal{"--expires must be a moment in the form YYYY-MM-DDTHH:MM:SSZ (UTC)."};
    if (when <= os::UnixTimeUtc())
      throw Refusal{"--expires " + r.expires +
                    " has passed: installed copies would refuse the "
                    "manifest."};
  }
  ReadRolloutOptions(a, r);
  r.critical = Trim(a.Get("--critical"));
  r.silentArgs = Trim(a.Get("--silent-args"));
  Check(RefuseValue("--silent-args", r.silentArgs, false));
  Check(RefuseValue("--critical", r.critical, false));
  if (!r.critical.empty() && CompareVersions(r.critical, r.ver) > 0)
    throw Refusal{"--critical " + r.critical + " is above --ver " + r.ver +
                  " by the byte-wise rule: installations of this release would count it "
                  "critical still. Give the first version that holds the fix (at most --ver)."};
  if (!a.Get("--notes").empty()) {
    r.notes = ReadAll(a.Get("--notes"), kManifestMaxBytes / 2);
    if (r.notes.compare(0, 3, kUtf8Mark) == 0) r.notes.erase(0, 3);  // the manifest gets its own
    Check(RefuseValue("the notes file", r.notes, true));
  }
  Describe("--file", a.Need("--file"), r.file, r.sha256, r.size);
  if (!a.Get("--filealt").empty())
    Describe("--filealt", a.Get("--filealt"), r.filealt, r.sha256alt, r.sizealt);
  for (const auto& [base, path] : a.Pairs("--delta")) {
    if (UpperCase(ExtractFileExt(r.file)) != ".ZIP")
      throw Refusal{
          "--delta needs a ZIP package as --file: installed copies take a delta only "
          "beside the full package they fall back to."};
    Check(RefuseValue("--delta's version " + base, base, false));
    if (base.find_first_of("= ") != std::string::npos || Trim(base) != base)
      throw Refusal{"--delta's version " + base + " holds a blank or \"=\"."};
    if (CompareVersions(base, r.ver) >= 0)
      throw Refusal{"--delta " + base + " is not older than " + r.ver + " by the byte-wise rule."};
    std::string name, sha256, size;
    Describe("--delta", path, name, sha256, size);
    if (UpperCase(ExtractFileExt(name)) != ".ZIP" || UpperCase(name) == UpperCase(r.file))
      throw Refusal{"--delta " + name + " must be a .zip named otherwise than --file."};
    r.deltas.emplace_back(base, name + " " + sha256 + " " + size);
  }
  if (!a.Get("--previous").empty())
    Check(RefuseVersion(r.ver, PreviousVersion(a.Get("--previous"))));
  const SigningKey key = LoadKey(a.Need("--key"), in);
  const std::string text = ComposeManifest(r);
  Check(RefuseManifest(text));
  std::string manifest;
  if (!AppendSignature(text, key, manifest)) throw Refusal{"the manifest could not be signed."};
  WriteReplacing(outPath, manifest);
  out << "Wrote " << outPath << ": " << r.product << " " << r.ver << ", " << r.file << " ("
      << r.size << " bytes), signed by " << PubKeyLine(key.key) << "\n";
  DescribePackagedChecker(a.Need("--file"), out);
  return 0;
}

int Sign(const Arguments& a, std::istream& in, std::ostream& out) {
  if (a.words.size() != 1) throw Refusal{kUsage};
  const std::string& path = a.words[0];
  const std::string text = SignedPart(ReadAll(path, kManifestMaxBytes));
  Check(RefuseManifest(text));
  const SigningKey key = LoadKey(a.Need("--key"), in);
  std::string manifest;
  if (!AppendSignature(text, key, manifest)) throw Refusal{"the manifest could not be signed."};
  WriteReplacing(path, manifest);
  out << "Signed " << path << " with " << PubKeyLine(key.key) << "\n";
  return 0;
}

// Where one machine stands in the order of a release: for the vendor's
// support, asked why a machine has not been offered it yet.
int Rollout(const Arguments& a, std::ostream& out) {
  if (!a.words.empty()) throw Refusal{kUsage};
  const std::string product = a.Need("--product"), ver = a.Need("--ver");
  std::string id = a.Get("--machine-id");
  const bool here = id.empty();
  if (here) id = os::MachineId();
  if (id.empty()) {
    out << "machine id: none can be read on this machine: it is offered every release\n";
    return 0;
  }
  const uint32_t bucket = RolloutBucket(id, product, ver);
  out << "machine id: " << id << (here ? " (this machine)" : "") << "\n"
      << "bucket: " << bucket << " of " << kWholeShare << " for " << product << " " << ver
      << ": offered from a share of " << ShareText(bucket + 1) << " %\n";
  if (!a.Get("--share").empty()) {
    const uint32_t share = NeedShare("--share", a.Get("--share"));
    out << "share " << ShareText(share)
        << " %: " << (RolloutOffers(id, share, product, ver) ? "offered" : "not offered") << "\n";
  }
  return 0;
}

int Verify(const Arguments& a, std::ostream& out) {
  if (a.words.size() > 1) throw Refusal{kUsage};
  VerifyRequest request;
  request.ini = a.Need("--ini");
  request.verNow = a.Get("--ver-now");
  request.bases = a.Pairs("--base");
  if (!a.words.empty()) request.source = a.words[0];
  return VerifyRelease(request, out);
}

uint64_t SizeOf(const std::string& path) {
  uint64_t size = 0;
  os::Sha256Digest digest{};
  if (!MeasureFile(path, size, digest)) throw Refusal{path + " cannot be read."};
  return size;
}

int Delta(const Arguments& a, std::ostream& out) {
  if (!a.words.empty()) throw Refusal{kUsage};
  const std::string from = a.Need("--from"), to = a.Need("--to"), outPath = a.Need("--out");
  for (const std::string& zip : {from, to})
    if (!FileExists(zip)) throw Refusal{zip + " is not there."};
  ComScope com;
  ScratchFolder oldDir("delta-old"), newDir("delta-new"), scratch("delta-work");
  for (const ScratchFolder* f : {&oldDir, &newDir, &scratch})
    if (!f->Made()) throw Refusal{"no folder can be made in the temporary folder."};
  // Read exactly as installed copies read packages.
  for (const auto& [zip, dir] : {std::make_pair(&from, &oldDir), std::make_pair(&to, &newDir)})
    if (!UnzipWithShell(*zip, dir->Path(), ""))
      throw Refusal{*zip + " cannot be unpacked as installed copies unpack packages."};
  DeltaPlan plan;
  Check(PlanDelta(oldDir.Inner(), newDir.Inner(), plan));
  uint64_t written = 0;
  WriteReplacing(outPath, [&](os::FileHandle h) {
    ZipWriter zip(h, os::UnixTimeUtc());
    const std::string failed =
        WriteDelta(oldDir.Inner(), newDir.Inner(), scratch.Inner(), plan, zip);
    written = zip.Size();
    return failed;
  });
  const uint64_t full = SizeOf(to);
  out << "Wrote " << outPath << ": " << plan.whole << " files carried whole, " << plan.patched
      << " patched, " << plan.same << " the same; " << written << " bytes, "
      << (full ? written * 1000 / full : 0) / 10.0 << " % of " << to << " (" << full << " bytes)\n";
  return 0;
}

}  // namespace

int ToolMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
  try {
    const std::string command = args.size() > 1 ? args[1] : std::string();
    if (command == "keygen") return Keygen(Arguments(args, 2, {}), out, err);
    if (command == "pubkey") return Pubkey(Arguments(args, 2, {}), in, out);
    if (command == "manifest")
      return Manifest(
          Arguments(args, 2,
                    {"--product", "--ver", "--file", "--filealt", "--mode", "--notes", "--expires",
                     "--previous", "--key", "--out", "--rollout", "--rollout-start",
                     "--rollout-hours", "--critical", "--silent-args"},
                    {"--delta"}),
          in, out);
    if (command == "sign") return Sign(Arguments(args, 2, {"--key"}), in, out);
    if (command == "verify")
      return Verify(Arguments(args, 2, {"--ini", "--ver-now"}, {"--base"}), out);
    if (command == "rollout")
      return Rollout(Arguments(args, 2, {"--product", "--ver", "--machine-id", "--share"}), out);
    if (command == "delta") return Delta(Arguments(args, 2, {"--from", "--to", "--out"}), out);
    err << kUsage;
    return 2;
  } catch (const Refusal& r) {
    err << "pelmatic-tool: " << r.message << "\n";
    return 2;
  } catch (const std::exception& e) {
    err << "pelmatic-tool: " << e.what() << "\n";
    return 2;
  }
}
