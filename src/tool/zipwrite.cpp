#include "tool/zipwrite.h"

#include <zlib.h>

namespace {

constexpr uint64_t kZip32Limit = 0xFFFFFFFFull;
constexpr size_t kMaxEntries = 0xFFFF;
constexpr uint16_t kVersion = 20;  // 2.0: deflate and folders
constexpr uint16_t kDeflate = 8;
constexpr uint32_t kDosFolder = 0x10;

void Put16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8 & 0xFF);
}

void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// Feeds input to a raw deflate stream (no zlib header, as ZIP wants).
class Deflater {
 public:
  Deflater() {
    ok_ = deflateInit2(&z_, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Deflater() {
    if (ok_) deflateEnd(&z_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool Feed(const char* data, size_t size, bool last, ZipData& out) {
    if (!ok_) return false;
    out.crc = static_cast<uint32_t>(
        crc32(out.crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
    out.size += size;
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z_.avail_in = static_cast<uInt>(size);
    char buffer[1 << 15];
    int r = Z_OK;
    do {
      z_.next_out = reinterpret_cast<Bytef*>(buffer);
      z_.avail_out = sizeof buffer;
      r = deflate(&z_, last ? Z_FINISH : Z_NO_FLUSH);
      if (r == Z_STREAM_ERROR) return false;
      out.deflated.append(buffer, sizeof buffer - z_.avail_out);
    } while (z_.avail_out == 0 || (last && r != Z_STREAM_END));
    return true;
  }

 private:
  z_stream z_{};
  bool ok_ = false;
};

// Days since 1970-01-01 as a civil date (the Gregorian calendar carried
// back), by counting whole 400-year eras and then years of March to
// February, where the leap day falls last.
void CivilDate(int64_t days, int& year, int& month, int& day) {
  days += 719468;  // from 0000-03-01
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;  // 0 is March
  day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
}

}  // namespace

ZipData DeflateBytes(const std::string& bytes) {
  ZipData out;
  Deflater d;
  d.Feed(bytes.data(), bytes.size(), true, out);
  return out;
}

bool DeflateFile(const std::string& path, ZipData& out) {
  out = ZipData();
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return false;
  os::UniqueFile file(h);
  Deflater d;
  std::string buffer(1 << 16, '\0');
  for (;;) {
    uint32_t got = 0;
    if (os::FileRead(file.Get(), &buffer[0], static_cast<uint32_t>(buffer.size()), got) != 0)
      return false;
    if (!d.Feed(buffer.data(), got, got == 0, out)) return false;
    if (got == 0) return true;
  }
}

ZipWriter::ZipWriter(os::FileHandle h, int64_t unixTime) : file_(h) {
  int year = 0, month = 1, day = 1;
  int64_t seconds = 0;
  if (unixTime > 0) {
    CivilDate(unixTime / 86400, year, month, day);
    seconds = unixTime % 86400;
  }
  // DOS dates run from 1980 to 2107.
  if (year < 1980 || year > 2107) {
    year = 1980;
    month = day = 1;
    seconds = 0;
  }
  dosDate_ = static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
  dosTime_ =
      static_cast<uint16_t>(seconds / 3600 << 11 | seconds / 60 % 60 << 5 | seconds % 60 / 2);
}

bool ZipWriter::Write(const std::string& bytes) {
  uint32_t written = 0;
  if (os::FileWrite(file_, bytes.data(), static_cast<uint32_t>(bytes.size()), written) != 0 ||
      written != bytes.size())
    return false;
  written_ += bytes.size();
  return true;
}

void ZipWriter::PutShared(std::string& out, const Entry& e) const {
  Put16(out, kVersion);
  // Sizes and CRC are in the header; a name that is not ASCII is marked as
  // UTF-8, or it would be read in code page 437.
  bool ascii = true;
  for (char c : e.name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  Put16(out, ascii ? 0 : 0x0800);
  Put16(out, e.folder ? 0 : kDeflate);
  Put16(out, dosTime_);
  Put16(out, dosDate_);
  Put32(out, e.crc);
  Put32(out, e.deflatedSize);
  Put32(out, e.size);
  Put16(out, static_cast<uint32_t>(e.name.size()));
  Put16(out, 0);  // extra field
}

bool ZipWriter::Add(const Entry& e, const std::string& data) {
  if (entries_.size() >= kMaxEntries) return false;
  std::string head;
  Put32(head, 0x04034b50);
  PutShared(head, e);
  entries_.push_back(e);
  entries_.back().offset = static_cast<uint32_t>(written_);
  return Write(head + e.name) && Write(data) && written_ <= kZip32Limit;
}

bool ZipWriter::AddFile(const std::string& name, const ZipData& data) {
  if (data.size > kZip32Limit || data.deflated.size() > kZip32Limit || name.size() > 0xFFFF)
    return false;
  return Add({name, data.crc, static_cast<uint32_t>(data.deflated.size()),
              static_cast<uint32_t>(data.size), 0, false},
             data.deflated);
}

bool ZipWriter::AddFolder(const std::string& name) {
  return name.size() <= 0xFFFF && Add({name, 0, 0, 0, 0, true}, "");
}

bool ZipWriter::Finish() {
  const uint64_t start = written_;
  std::string dir;
  for (const Entry& e : entries_) {
    Put32(dir, 0x02014b50);
    Put16(dir, kVersion);  // made by: MS-DOS attributes
    PutShared(dir, e);
    Put16(dir, 0);  // comment
    Put16(dir, 0);  // disk
    Put16(dir, 0);  // internal attributes
    Put32(dir, e.folder ? kDosFolder : 0);
    Put32(dir, e.offset);
    dir += e.name;
  }
  if (start + dir.size() > kZip32Limit) return false;
  std::string end;
  Put32(end, 0x06054b50);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, static_cast<uint32_t>(entries_.size()));
  Put16(end, static_cast<uint32_t>(entries_.size()));
  Put32(end, static_cast<uint32_t>(dir.size()));
  Put32(end, static_cast<uint32_t>(start));
  Put16(end, 0);
  return Write(dir) && Write(end);
}
