// Signed manifests: SHA-256 and P-256 of the platform (CNG under Wine,
// libcrypto on POSIX) and the strict reading of keys, signature lines and
// expiry times, with the signatures openssl made in signatures.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "os/os.h"
#include "signatures.h"
#include "version/signing.h"

namespace {

using signatures::kOther;
using signatures::kSigner;
const char* const kSigned = signatures::kPackage.text;
const char* const kSignature = signatures::kPackage.signature;

// Wine's ntdll names its version; Windows' does not.
bool UnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

os::P256Signature SignatureOf(const std::string& hex) {
  os::P256Signature s{};
  EXPECT_TRUE(ParseHex(hex, s.data(), s.size()));
  return s;
}

}  // namespace

TEST(Sha256, KnownDigestWhetherGivenWholeOrInPieces) {
  const std::string abc = "abc";
  os::Sha256Digest whole{}, pieces{};
  {
    os::UniqueHash h(os::Sha256Open());
    ASSERT_TRUE(h);
    os::Sha256Update(h.Get(), abc.data(), abc.size());
    ASSERT_TRUE(os::Sha256Finish(h.Get(), whole));
  }
  EXPECT_EQ(ToHex(whole.data(), whole.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string text(100000, 'x');
  os::UniqueHash a(os::Sha256Open()), b(os::Sha256Open());
  os::Sha256Update(a.Get(), text.data(), text.size());
  for (size_t i = 0; i < text.size(); i += 999)
    os::Sha256Update(b.Get(), text.data() + i, std::min<size_t>(999, text.size() - i));
  ASSERT_TRUE(os::Sha256Finish(a.Get(), whole));
  ASSERT_TRUE(os::Sha256Finish(b.Get(), pieces));
  EXPECT_EQ(whole, pieces);
}

TEST(Signature, OpensslSignatureVerifiesAndAnyFlippedBitFails) {
  TrustedKeys trusted = ParseTrustedKeys(kSigner);
  ASSERT_TRUE(trusted.strict && trusted.valid);
  const os::P256Signature sig = SignatureOf(kSignature);
  EXPECT_EQ(VerifySignature(trusted, kSigned, sig), 0);

  std::string text = kSigned;
  text[5] ^= 1;  // the manifest
  EXPECT_EQ(VerifySignature(trusted, text, sig), -1);
  os::P256Signature flipped = sig;
  flipped[40] ^= 0x10;  // the signature
  EXPECT_EQ(VerifySignature(trusted, kSigned, flipped), -1);
  std::string key = kSigner;
  key[127] = key[127] == '0' ? '1' : '0';  // the key: no longer the signer's, or no point at all
  TrustedKeys changed = ParseTrustedKeys(key);
  EXPECT_EQ(VerifySignature(changed, kSigned, sig), -1);

  // Several keys: the one that signed is found wherever it stands.
  TrustedKeys both = ParseTrustedKeys(std::string(kOther) + " ,  " + kSigner);
  ASSERT_TRUE(both.valid);
  EXPECT_EQ(both.keys.size(), 2u);
  EXPECT_EQ(VerifySignature(both, kSigned, sig), 1);
  EXPECT_EQ(VerifySignature(ParseTrustedKeys(kOther), kSigned, sig), -1);
}

TEST(TrustedKeys, AnythingButKeysOnTheCurveLeavesNoneUsable) {
  EXPECT_FALSE(ParseTrustedKeys("").strict);
  std::string upper = kSigner;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(ParseTrustedKeys(upper).valid);
  for (const std::string& bad : std::vector<std::string>{
           std::string(kSigner).substr(2), std::string(kSigner) + "00",
           "zz" + std::string(kSigner).substr(2), std::string(kSigner) + " x", ","}) {
    SCOPED_TRACE(bad);
    TrustedKeys t = ParseTrustedKeys(bad);
    EXPECT_TRUE(t.strict);
    EXPECT_FALSE(t.valid);
    EXPECT_TRUE(t.keys.empty());
  }
  // (1, 1) is no point of the curve. libcrypto and Windows' CNG say so on
  // import; the CNG that Wine ships imports it, and then no signature
  // verifies under it, which still fails closed.
  const std::string notOnCurve = std::string(63, '0') + "1" + std::string(63, '0') + "1";
  EXPECT_EQ(VerifySignature(ParseTrustedKeys(notOnCurve), kSigned, SignatureOf(kSignature)), -1);
  for (const std::string& bad : {notOnCurve, std::string(kSigner) + "," + notOnCurve}) {
    SCOPED_TRACE(bad);
    TrustedKeys t = ParseTrustedKeys(bad);
    EXPECT_TRUE(t.strict);
    if (UnderWine()) continue;
    EXPECT_FALSE(t.valid);
    EXPECT_TRUE(t.keys.empty());
  }
}

TEST(SignatureLine, TheLastSigLineWithOnlyLineEndsAfterIt) {
  const std::string sig = std::string("sig=") + kSignature;
  size_t length = 0;
  os::P256Signature s{};
  EXPECT_TRUE(FindSignatureLine(std::string(kSigned) + sig + "\r\n", length, s));
  EXPECT_EQ(length, std::string(kSigned).size());
  EXPECT_EQ(s, SignatureOf(kSignature));
  EXPECT_TRUE(FindSignatureLine(sig, length, s));  // at the very start
  EXPECT_EQ(length, 0u);
  // An LF alone starts a line too; the last such line counts.
  const std::string two = "a\n" + sig + "\r\nb\n" + sig + "\n\n";
  EXPECT_TRUE(FindSignatureLine(two, length, s));
  EXPECT_EQ(length, two.rfind("sig="));
  std::string lower = sig;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(FindSignatureLine(lower, length, s));
  EXPECT_EQ(s, SignatureOf(kSignature));

  for (const std::string& bad : std::vector<std::string>{
           std::string(kSigned), "x" + sig, "msg=a " + sig,
           std::string(kSigned) + sig + "\r\nver=9.9\r\n", std::string(kSigned) + sig + " ",
           sig.substr(0, sig.size() - 1), sig + "0", "sig=" + std::string(127, 'a') + "g"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(FindSignatureLine(bad, length, s));
  }
  // A malformed last line is not made good by an earlier one.
  EXPECT_FALSE(FindSignatureLine(sig + "\r\nsig=00\r\n", length, s));
}

TEST(Expires, WellFormedMomentsInUtcOnly) {
  int64_t t = 0;
  EXPECT_TRUE(ParseExpires("1970-01-01T00:00:00Z", t));
  EXPECT_EQ(t, 0);
  EXPECT_TRUE(ParseExpires("2026-12-08T14:09:10Z", t));
  EXPECT_EQ(t, 1796738950);
  EXPECT_TRUE(ParseExpires("2028-02-29T23:59:59Z", t));
  for (const char* bad :
       {"2027-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z",
        "2026-04-31T00:00:00Z", "2026-12-08T24:00:00Z", "2026-12-08T12:60:00Z",
        "2026-12-08T12:00:60Z", "2026-12-08 12:00:00Z", "2026-12-08T12:00:00",
        "2026-12-08T12:00:00+01:00", "26-12-08T12:00:00Z", "2026-1a-08T12:00:00Z", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseExpires(bad, t));
  }
}
