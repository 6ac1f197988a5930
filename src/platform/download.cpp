#include "platform/download.h"

#include <algorithm>
#include <vector>

#include "core/errors.h"
#include "os/os.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/http.h"
#include "platform/names.h"
#include "platform/progress.h"

namespace {

// A length or a count of seconds as HTTP and the manifest write them.
bool ParseLength(const std::string& text, uint64_t& out) { return ParseDecimal(text, 19, out); }

}  // namespace

FileCheck MakeFileCheck(const std::string& sha256, bool sha256Given, const std::string& size,
                        bool sizeGiven) {
  FileCheck check;
  if (sha256Given) {
    check.hasDigest = ParseHex(sha256, check.digest.data(), check.digest.size());
    check.malformed = !check.hasDigest;
  }
  if (sizeGiven) {
    check.hasSize = ParseLength(size, check.size);
    check.malformed = check.malformed || !check.hasSize;
  }
  return check;
}

namespace {

// At most this many requests a run for the update file, the first included;
// the waits before the second to the eighth.
constexpr int kMaxAttempts = 8;
constexpr uint32_t kAttemptWaitsMs[kMaxAttempts - 1] = {1000, 2000, 4000, 8000, 8000, 8000, 8000};
// A Retry-After longer than this ends the download as failed.
constexpr uint64_t kMaxRetryAfterSeconds = 60;
// A request that brought this much before it broke went over a line that
// works: the next one follows at once, and the requests are counted anew.
constexpr uint64_t kWorkingLineBytes = 4u << 20;
// A request that ran this long and still broke without bringing that much
// waited on a line that stands still (the low-speed rule ends it after 30
// s): two such, and the run gives up rather than wait minutes for
// nothing. The user may stop it before.
constexpr uint64_t kStalledMs = 29000;
constexpr int kMaxStalls = 2;

const char kPartSuffix[] = ".part";
const char kRecordSuffix[] = ".resume";
const char kRecordMagic[] = "PELMATIC PART 1";

// What a kept part is of: the request, the file the manifest binds it to,
// and the validator of the server's first answer.
struct PartRecord {
  std::string url, sha256, size, validator;
  bool SameFile(const PartRecord& other) const {
    return url == other.url && sha256 == other.sha256 && size == other.size;
  }
};

std::string FolderOf(const std::string& url) { return url.substr(0, url.rfind('/') + 1); }

bool ReadRecord(const std::string& path, PartRecord& record) {
  os::FileHandle raw = nullptr;
  if (os::FileOpenRead(path, raw) != 0) return false;
  os::UniqueFile file(raw);
  std::string text;
  char buffer[4096];
  uint32_t got = 0;
  while (text.size() < 65536 && os::FileRead(file.Get(), buffer, sizeof buffer, got) == 0 && got)
    text.append(buffer, got);
  std::string* fields[] = {&record.url, &record.sha256, &record.size, &record.validator};
  const char* names[] = {"url ", "sha256 ", "size ", "validator "};
  size_t at = 0, line = 0;
  for (; line < 5; ++line) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string value = text.substr(at, end - at);
    at = end + 1;
    if (line == 0) {
      if (value != kRecordMagic) return false;
      continue;
    }
    const std::string name = names[line - 1];
    if (value.compare(0, name.size(), name) != 0) return false;
    *fields[line - 1] = value.substr(name.size());
  }
  return !record.url.empty();
}

void WriteRecord(const std::string& path, const PartRecord& record) {
  const std::string text = std::string(kRecordMagic) + "\nurl " + record.url + "\nsha256 " +
                           record.sha256 + "\nsize " + record.size + "\nvalidator " +
                           record.validator + "\n";
  os::FileHandle raw = nullptr;
  int32_t err = os::FileCreateShared(path, raw);
  if (err != 0) RaiseInOutError(err);
  os::UniqueFile file(raw);
  // Not flushed: a record a power cut took away or cut short is one the
  // next run cannot read, and it then starts the file anew.
  uint32_t written = 0;
  err = os::FileWrite(file.Get(), text.data(), static_cast<uint32_t>(text.size()), written);
  const int32_t closed = file.Close();
  if (err == 0) err = closed;
  if (err != 0) {
    os::FileDelete(path);
    RaiseInOutError(err);
  }
}

void DropPart(const std::string& target) {
  os::FileDelete(target + kPartSuffix);
  os::FileDelete(target + kRecordSuffix);
}

// A part of another release from the same server folder goes before a
// download starts, and so does one whose record cannot be read.
void ForgetOtherParts(const std::string& target, const PartRecord& current) {
  const std::string folder = ExtractFilePath(target);
  std::vector<std::string> stale;
  os::FindData entry;
  os::UniqueFind search(os::FindFirst(folder + "*" + kRecordSuffix, entry));
  for (bool more = static_cast<bool>(search); more; more = os::FindNext(search.Get(), entry)) {
    const std::string& name = entry.name;
    const size_t suffix = sizeof kRecordSuffix - 1;
    if ((entry.attributes & os::kAttrDirectory) || name.size() <= suffix ||
        name.compare(name.size() - suffix, suffix, kRecordSuffix) != 0)
      continue;
    PartRecord record;
    const bool read = ReadRecord(folder + name, record);
    if (!read || (FolderOf(record.url) == FolderOf(current.url) && !record.SameFile(current)))
      stale.push_back(folder + name.substr(0, name.size() - suffix));
  }
  search.Close();
  for (const std::string& file : stale) DropPart(file);
}

// The strong ETag of an answer, else its Last-Modified date: what a later
// request names in If-Range. A weak ETag names no bytes.
std::string Validator(os::NetHandle answer) {
  const std::string etag = os::UrlHeader(answer, os::AnswerHeader::kETag);
  if (!etag.empty() && etag.compare(0, 2, "W/") != 0) return etag;
  return os::UrlHeader(answer, os::AnswerHeader::kLastModified);
}

// "bytes START-END/TOTAL", or "bytes */TOTAL" (start then unknown).
bool ParseContentRange(const std::string& text, bool& hasStart, uint64_t& start, uint64_t& total) {
  if (text.compare(0, 6, "bytes ") != 0) return false;
  const size_t slash = text.find('/');
  if (slash == std::string::npos || !ParseLength(text.substr(slash + 1), total)) return false;
  const std::string span = text.substr(6, slash - 6);
  hasStart = span != "*";
  if (!hasStart) return true;
  const size_t dash = span.find('-');
  uint64_t end = 0;
  return dash != std::string::npos && ParseLength(span.substr(0, dash), start) &&
         ParseLength(span.substr(dash + 1), end) && start <= end && end < total;
}

uint32_t Jitter() {
  // Spread over the clients of one server, not a secret: a small generator
  // of its own, apart from the one that names the unpack folder.
  static uint32_t state = static_cast<uint32_t>(os::MonotonicMs() * 2654435761u) | 1u;
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// ms, made 20 % shorter or longer at random.
uint32_t Jittered(uint32_t ms) {
  return static_cast<uint32_t>(ms * (80 + static_cast<uint64_t>(Jitter() % 41)) / 100);
}

// Waits, with the window answering, unless the user stops the update.
bool WaitUnlessCancelled(uint64_t ms) {
  const uint64_t until = os::MonotonicMs() + ms;
  for (;;) {
    if (UpdateCancelled()) return false;
    const uint64_t now = os::MonotonicMs();
    if (now >= until) return true;
    os::Sleep(static_cast<uint32_t>(std::min<uint64_t>(until - now, 100)));
  }
}

// The download of one update file into its part beside path: requests,
// each answer taken as it must be, the bytes checked as they are written.
class PartDownload {
 public:
  PartDownload(const std::string& url, const std::string& path, const FileCheck& check)
      : url_(url), path_(path), part_(path + kPartSuffix), check_(check) {
    keepable_ = check.hasDigest && check.hasSize;
    record_.url = url;
    if (keepable_) {
      record_.sha256 = ToHex(check.digest.data(), check.digest.size());
      record_.size = std::to_string(check.size);
    }
    expected_ = check.hasSize ? check.size : 0;
  }

  DownloadResult Run() {
    ForgetOtherParts(path_, record_);
    StartFromKeptPart();
    ProgressBegin(UpdatePhase::kDownload, expected_, have_);
    os::UniqueNet session(os::NetOpen("Pelmatic"));
    DownloadResult result = Transfer(session.Get());
    file_.Close();
    if (result == DownloadResult::kDone) {
      if (int32_t err = os::FileRename(part_, path_, true)) {
        DropPart(path_);
        RaiseInOutError(err);
      }
      os::FileDelete(path_ + kRecordSuffix);
      ProgressComplete();
    } else if (!(keepable_ && have_ > 0 &&
                 (result == DownloadResult::kFailed || result == DownloadResult::kCancelled))) {
      // A cut or mismatched file must never be started or unpacked; only a
      // part the manifest binds is worth keeping for the next run.
      DropPart(path_);
    }
    return result;
  }

 private:
  enum class Next { kDone, kAgain, kAgainAtOnce, kFailed, kMismatch, kCancelled };

  // A part an earlier run left for this very file is continued; any other
  // is not trusted.
  void StartFromKeptPart() {
    PartRecord kept;
    uint64_t hashed = 0;
    // Hashed before it is opened for writing: Windows lets no reader in
    // beside a writer.
    if (keepable_ && ReadRecord(path_ + kRecordSuffix, kept) && kept.SameFile(record_) &&
        HashKeptBytes(hashed) && hashed <= check_.size) {
      os::FileHandle raw = nullptr;
      uint64_t size = 0;
      if (os::FileOpenAppend(part_, raw, size) == 0) {
        file_ = os::UniqueFile(raw);
        if (size == hashed) {
          have_ = size;
          resumed_ = size > 0;
          record_.validator = kept.validator;
          return;
        }
        file_.Close();
      }
    }
    DropPart(path_);
    StartAnew();
  }

  // The digest of the bytes already in the part, which the new ones
  // continue.
  bool HashKeptBytes(uint64_t& size) {
    hash_ = os::UniqueHash(check_.hasDigest ? os::Sha256Open() : nullptr);
    size = 0;
    os::FileHandle raw = nullptr;
    if (os::FileOpenRead(part_, raw) != 0) return false;
    os::UniqueFile in(raw);
    char buffer[65536];
    for (;;) {
      uint32_t got = 0;
      if (os::FileRead(in.Get(), buffer, sizeof buffer, got) != 0) return false;
      if (got == 0) return true;
      size += got;
      if (hash_) os::Sha256Update(hash_.Get(), buffer, got);
      os::KeepResponsive();
    }
  }

  // An empty part, and a record of what it will hold.
  void StartAnew() {
    file_.Close();
    os::FileHandle raw = nullptr;
    int32_t err = os::FileCreateShared(part_, raw);
    if (err != 0) RaiseInOutError(err);
    file_ = os::UniqueFile(raw);
    hash_ = os::UniqueHash(check_.hasDigest ? os::Sha256Open() : nullptr);
    have_ = 0;
    fromCache_ = false;
    record_.validator.clear();
    SaveRecord();
    ProgressDone(0);
  }

  // Written before the first byte goes into the part, so that whatever
  // stops the run, the part is never left without a record that tells the
  // next run what it is (or that it is of no use).
  void SaveRecord() { WriteRecord(path_ + kRecordSuffix, record_); }

  DownloadResult Transfer(os::NetHandle session) {
    int counted = 0, stalls = 0;  // requests and stalls since the line last worked
    uint64_t waitMs = 0;
    for (;;) {
      if (counted > 0 && !WaitUnlessCancelled(waitMs)) return DownloadResult::kCancelled;
      ++counted;
      retryAfterMs_ = 0;
      const uint64_t before = have_, started = os::MonotonicMs();
      const Next next = Attempt(session);
      switch (next) {
        case Next::kDone: return DownloadResult::kDone;
        case Next::kFailed: return DownloadResult::kFailed;
        case Next::kMismatch: return DownloadResult::kMismatch;
        case Next::kCancelled: return DownloadResult::kCancelled;
        case Next::kAgainAtOnce:
          if (counted >= kMaxAttempts) return DownloadResult::kFailed;
          waitMs = 0;
          continue;
        case Next::kAgain: break;
      }
      if (have_ >= before + kWorkingLineBytes) {
        counted = stalls = 0;
        waitMs = 0;
        continue;
      }
      if (os::MonotonicMs() - started >= kStalledMs && ++stalls >= kMaxStalls)
        return DownloadResult::kFailed;
      if (counted >= kMaxAttempts) return DownloadResult::kFailed;
      waitMs = retryAfterMs_ ? retryAfterMs_ : Jittered(kAttemptWaitsMs[counted - 1]);
    }
  }

  // One request and what its answer leads to.
  Next Attempt(os::NetHandle session) {
    // Resumed only where the bytes can be told to be the file's: by the
    // server's validator, or by the digest at the end.
    os::RangeRequest range{have_, record_.validator};
    const bool ranged = have_ > 0 && (!record_.validator.empty() || check_.hasDigest);
    if (have_ > 0 && !ranged) StartAnew();
    int status = 0;
    os::UniqueNet answer = OpenUrlAnswer(session, url_, pastCaches_, DownloadLimits(),
                                         ranged ? &range : nullptr, status);
    if (UpdateCancelled()) return Next::kCancelled;
    if (!answer) return Next::kAgain;
    if (status == 200) return TakeWholeFile(answer.Get());
    if (status == 206) return TakeRest(answer.Get());
    if (status == 416) return AtTheEnd(answer.Get());
    if (status == 408 || status == 429 || (status >= 500 && status <= 599)) {
      if (status == 429 || status == 503) {
        uint64_t seconds = 0;
        if (ParseLength(os::UrlHeader(answer.Get(), os::AnswerHeader::kRetryAfter), seconds)) {
          if (seconds > kMaxRetryAfterSeconds) return Next::kFailed;
          retryAfterMs_ = seconds * 1000;
        }
      }
      return Next::kAgain;
    }
    return Next::kFailed;  // any other answer is final, as before
  }

  // The server sent the whole file: a range it ignored, a file that
  // changed, or the first request.
  Next TakeWholeFile(os::NetHandle answer) {
    if (have_ > 0) StartAnew();
    NoteCache(answer);
    // A length announced other than the manifest's is no file to start.
    const uint64_t announced = os::UrlLength(answer);
    if (check_.hasSize && announced != 0 && announced != check_.size) return NotTheFile();
    if (expected_ == 0 && announced != 0) {
      expected_ = announced;
      ProgressTotal(expected_);
    }
    record_.validator = Validator(answer);
    SaveRecord();
    return Body(answer);
  }

  // The rest of the file, when it is the rest of this very file.
  Next TakeRest(os::NetHandle answer) {
    bool hasStart = false;
    uint64_t start = 0, total = 0;
    if (!ParseContentRange(os::UrlHeader(answer, os::AnswerHeader::kContentRange), hasStart, start,
                           total) ||
        !hasStart || start != have_ || (expected_ != 0 && total != expected_)) {
      StartAnew();
      return Next::kAgainAtOnce;
    }
    if (expected_ == 0) {
      expected_ = total;
      ProgressTotal(expected_);
    }
    NoteCache(answer);
    resumed_ = true;
    return Body(answer);
  }

  // Nothing is left to send: the part is whole if it is the file, else the
  // file comes once more from its start.
  Next AtTheEnd(os::NetHandle answer) {
    bool hasStart = true;
    uint64_t start = 0, total = 0;
    const bool whole = ParseContentRange(os::UrlHeader(answer, os::AnswerHeader::kContentRange),
                                         hasStart, start, total) &&
                       !hasStart && total == have_ && (expected_ == 0 || total == expected_);
    if (whole) return Checked();
    if (restartedAtEnd_) return Next::kFailed;
    restartedAtEnd_ = true;
    StartAnew();
    return Next::kAgainAtOnce;
  }

  // The body into the part; never past the expected size.
  Next Body(os::NetHandle answer) {
    char buffer[1024];
    for (;;) {
      if (UpdateCancelled()) return Next::kCancelled;
      uint32_t got = 0;
      if (!os::UrlRead(answer, buffer, sizeof buffer, got))
        return UpdateCancelled() ? Next::kCancelled : Next::kAgain;
      if (got == 0) break;
      if (check_.hasSize && have_ + got > check_.size)
        return NotTheFile();  // stopped at once, whatever follows
      if (hash_) os::Sha256Update(hash_.Get(), buffer, got);
      uint32_t written = 0;
      const int32_t err = os::FileWrite(file_.Get(), buffer, got, written);
      if (err != 0) {
        // A partial package or installer is of no use to anyone; do not
        // leave it taking the space that ran out. Windows deletes only a
        // closed file.
        file_.Close();
        DropPart(path_);
        RaiseInOutError(err);
      }
      have_ += got;
      ProgressDone(have_);
      os::KeepResponsive();
    }
    // A body that ended short of the file is continued.
    if (expected_ != 0 && have_ < expected_) return Next::kAgain;
    return Checked();
  }

  // The whole file against the manifest. A part resumed from bytes that are
  // not the file's is fetched once more from its start.
  Next Checked() {
    os::Sha256Digest digest{};
    const bool matches = (!check_.hasSize || have_ == check_.size) &&
                         (!check_.hasDigest || (hash_ && os::Sha256Finish(hash_.Get(), digest) &&
                                                digest == check_.digest));
    if (matches) return Next::kDone;
    if (resumed_ && !refetched_) {
      refetched_ = true;
      resumed_ = false;
      StartAnew();
      return Next::kAgainAtOnce;
    }
    return NotTheFile();
  }

  // A proxy may keep an older file under the same name (a vendor who
  // published it anew, an installer always called setup.exe) for as long
  // as its answer allowed. Bytes that a cache gave and that are not what
  // the manifest binds are asked for once more from the server itself;
  // only then is the file refused.
  void NoteCache(os::NetHandle answer) {
    fromCache_ = fromCache_ || !os::UrlHeader(answer, os::AnswerHeader::kAge).empty();
  }
  Next NotTheFile() {
    if (!fromCache_ || pastCaches_) return Next::kMismatch;
    pastCaches_ = true;
    StartAnew();
    return Next::kAgainAtOnce;
  }

  std::string url_, path_, part_;
  FileCheck check_;
  bool keepable_ = false;
  PartRecord record_;
  uint64_t expected_ = 0;  // the file's length, once known
  uint64_t have_ = 0;      // bytes in the part
  bool resumed_ = false;   // some bytes of the part came before a break
  bool refetched_ = false;
  bool restartedAtEnd_ = false;
  bool fromCache_ = false;   // some bytes of the part came from a cache on the way
  bool pastCaches_ = false;  // the requests ask every cache for the server's own copy
  uint64_t retryAfterMs_ = 0;
  os::UniqueFile file_;
  os::UniqueHash hash_;
};

}  // namespace

DownloadResult DownloadFile(const std::string& url, const std::string& path,
                            const FileCheck& check) {
  return PartDownload(url, path, check).Run();
}

bool MeasureFile(const std::string& path, uint64_t& size, os::Sha256Digest& digest) {
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return false;
  os::UniqueFile file(h);
  os::UniqueHash hash(os::Sha256Open());
  if (!hash) return false;
  char buffer[65536];
  size = 0;
  for (;;) {
    uint32_t got = 0;
    if (os::FileRead(file.Get(), buffer, sizeof buffer, got) != 0) return false;
    if (got == 0) break;
    size += got;
    os::Sha256Update(hash.Get(), buffer, got);
    os::KeepResponsive();
  }
  return os::Sha256Finish(hash.Get(), digest);
}

bool FileMatches(const std::string& path, const FileCheck& check) {
  uint64_t size = 0;
  os::Sha256Digest digest{};
  if (!MeasureFile(path, size, digest)) return false;
  return (!check.hasSize || size == check.size) && (!check.hasDigest || digest == check.digest);
}
