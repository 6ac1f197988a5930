#include "version/signing.h"

#include "platform/hex.h"

namespace {

bool AllDigits(const std::string& s, size_t from, size_t count) {
  if (from + count > s.size()) return false;
  for (size_t i = from; i < from + count; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

int Number(const std::string& s, size_t from, size_t count) {
  int n = 0;
  for (size_t i = from; i < from + count; ++i) n = n * 10 + (s[i] - '0');
  return n;
}

// Days from 1970-01-01 to the date, proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

TrustedKeys ParseTrustedKeys(const std::string& pubKey) {
  TrustedKeys trusted;
  size_t i = 0;
  bool any = false;
  while (i < pubKey.size()) {
    while (i < pubKey.size() && (pubKey[i] == ' ' || pubKey[i] == ',' || pubKey[i] == '\t')) ++i;
    size_t start = i;
    while (i < pubKey.size() && pubKey[i] != ' ' && pubKey[i] != ',' && pubKey[i] != '\t') ++i;
    if (i == start) continue;
    any = true;
    os::P256Key key;
    if (!ParseHex(pubKey.substr(start, i - start), key.data(), key.size()) ||
        !os::P256KeyValid(key)) {
      trusted.strict = true;
      trusted.keys.clear();
      return trusted;
    }
    trusted.keys.push_back(key);
  }
  trusted.strict = !pubKey.empty();
  trusted.valid = any;
  if (!any) trusted.keys.clear();
  return trusted;
}

bool FindSignatureLine(const std::string& raw, size_t& signedLength, os::P256Signature& signature) {
  const std::string marker = "sig=";
  size_t at = std::string::npos;
  for (size_t p = raw.rfind(marker); p != std::string::npos;
       p = p ? raw.rfind(marker, p - 1) : std::string::npos) {
    if (p == 0 || raw[p - 1] == '\r' || raw[p - 1] == '\n') {
      at = p;
      break;
    }
    if (p == 0) break;
  }
  if (at == std::string::npos) return false;
  const size_t digits = at + marker.size();
  if (raw.size() < digits + 2 * signature.size()) return false;
  if (!ParseHex(raw.substr(digits, 2 * signature.size()), signature.data(), signature.size()))
    return false;
  for (size_t i = digits + 2 * signature.size(); i < raw.size(); ++i)
    if (raw[i] != '\r' && raw[i] != '\n') return false;
  signedLength = at;
  return true;
}

bool ParseExpires(const std::string& t, int64_t& seconds) {
  // 0123456789012345678 9
  // YYYY-MM-DDTHH:MM:SSZ
  if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
      t[16] != ':' || t[19] != 'Z')
    return false;
  if (!AllDigits(t, 0, 4) || !AllDigits(t, 5, 2) || !AllDigits(t, 8, 2) || !AllDigits(t, 11, 2) ||
      !AllDigits(t, 14, 2) || !AllDigits(t, 17, 2))
    return false;
  const int year = Number(t, 0, 4), month = Number(t, 5, 2), day = Number(t, 8, 2);
  const int hour = Number(t, 11, 2), minute = Number(t, 14, 2), second = Number(t, 17, 2);
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return false;
  if (day > kDays[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

int VerifySignature(const TrustedKeys& trusted, const std::string& signedBytes,
                    const os::P256Signature& signature) {
  os::Sha256Digest digest;
  if (!Sha256Of(signedBytes, digest)) return -1;
  for (size_t i = 0; i < trusted.keys.size(); ++i)
    if (os::P256Verify(trusted.keys[i], digest, signature)) return static_cast<int>(i);
  return -1;
}
