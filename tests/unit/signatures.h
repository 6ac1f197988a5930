// Manifests signed by `openssl dgst -sha256 -sign` with one P-256 key, and
// the public halves of that key (kSigner) and of another (kOther), for the
// tests of both builds (the Windows ones verify them with CNG under Wine).
#pragma once

#include <string>

namespace signatures {

constexpr const char* kSigner =
    "d9815929728b0e865905db3b0647733013805f17a21876d24539776c778c28a5"
    "c6346595191d44fdd6d895ced5bae7d53fb29fa11b2d1730199ba080bec37a0c";
constexpr const char* kOther =
    "faaeb4b6b92c8a34217575bf84f029ee9b28d4a59ba028475d266ae82893317e"
    "58e3b90b89bf7cf533f95ee1cb1b8632c190638a6b8779bfa5ef846e9e8e8557";

struct Signed {
  const char* text;
  const char* signature;  // r then s, hex
  // The manifest with its signature line.
  std::string Manifest() const { return std::string(text) + "sig=" + signature + "\r\n"; }
};

constexpr Signed kPackage = {"ver=2.31\r\nfile=editor231.zip\r\nproduct=editor\r\n",
                             "9E4977D292B7C8500B886C86C7A494D03985022A522394FA6B3430F4C34E0371"
                             "84598E6DB57D8B8AFA380EE58E4D9ED9FC6F4BC896C95274DCAF1FB65EC3975D"};
constexpr Signed kWithNotes = {
    "ver=2.31\r\nproduct=editor\r\nexpires=2099-01-01T00:00:00Z\r\nmsg=Signed notes.<>\r\n",
    "0c5ebbc3f1f5dc6ef7f77232688aaeb47fb6a748de1f7c47ec2d8612499de3b7"
    "f3da2f62607297993543a6ec0a975ac4a996020f082672ebe1bd712aafec8f21"};
constexpr Signed kOtherProduct = {
    "ver=2.31\r\nproduct=viewer\r\n",
    "c7796dc3a972ef573e1b184993cc82236b815ef8d8009d9ec0383607e0ae7a51"
    "5d1e3f63ae03d2ed3563fdde39e9535ae79cbe2f964b19089ffbde0cb6ffffe9"};
constexpr Signed kExpired = {"ver=2.31\r\nproduct=editor\r\nexpires=2020-01-01T00:00:00Z\r\n",
                             "3c0fe4f28b729b2d1a15a81dacc9c1dc01c91f43365aad484aec81ce136a13ce"
                             "a4e2e6be0c291681eea4a30a0d2702dd21d02e0201bb82d7599b99bbeb0526cf"};
constexpr Signed kBadExpiry = {"ver=2.31\r\nproduct=editor\r\nexpires=soon\r\n",
                               "e5ea2c6e7367890cc9af4b5b5cb0c1eb686f2ff1c26aa71eea826cc60a72c490"
                               "13e51d44065658758fc4f8b14cb39eb8342be2a946af7b8d4d605bde17d19cbc"};

}  // namespace signatures
