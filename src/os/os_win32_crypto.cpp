// SHA-256 and ECDSA P-256 of the Windows build, from CNG (bcrypt.dll, from
// Vista).
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "os/os.h"

namespace os {

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

class Provider {
 public:
  explicit Provider(LPCWSTR algorithm) {
    if (!Succeeded(::BCryptOpenAlgorithmProvider(&h_, algorithm, nullptr, 0))) h_ = nullptr;
  }
  ~Provider() {
    if (h_) ::BCryptCloseAlgorithmProvider(h_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE Get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
};

class Key {
 public:
  ~Key() {
    if (h_) ::BCryptDestroyKey(h_);
  }
  BCRYPT_KEY_HANDLE* Put() { return &h_; }
  BCRYPT_KEY_HANDLE Get() const { return h_; }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

// The public key X‖Y as CNG's key; false when CNG refuses it.
bool ImportKey(const Provider& ecdsa, const P256Key& key, Key& out) {
  if (!ecdsa.Get()) return false;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, key.data(), key.size());
  return Succeeded(::BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, out.Put(),
                                         blob, sizeof blob, 0));
}

// The key pair as CNG's key: the private blob is X, Y, then d.
bool ImportPair(const Provider& ecdsa, const P256Secret& secret, const P256Key& key, Key& out) {
  if (!ecdsa.Get()) return false;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, key.data(), key.size());
  std::memcpy(blob + sizeof header + 64, secret.data(), secret.size());
  bool ok = Succeeded(::BCryptImportKeyPair(ecdsa.Get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, out.Put(),
                                            blob, sizeof blob, 0));
  ::SecureZeroMemory(blob, sizeof blob);
  return ok;
}

}  // namespace

struct HashState {
  BCRYPT_ALG_HANDLE algorithm;
  BCRYPT_HASH_HANDLE hash;
  bool failed;
};

HashHandle Sha256Open() {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!Succeeded(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!Succeeded(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return nullptr;
  }
  return new HashState{algorithm, hash, false};
}

void Sha256Update(HashHandle h, const void* data, size_t size) {
  if (!h || h->failed || !size) return;
  // BCryptHashData takes a ULONG count and a non-const pointer.
  auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
  if (!Succeeded(::BCryptHashData(h->hash, p, static_cast<ULONG>(size), 0))) h->failed = true;
}

bool Sha256Finish(HashHandle h, Sha256Digest& digest) {
  return h && !h->failed &&
         Succeeded(
             ::BCryptFinishHash(h->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

void Sha256Close(HashHandle h) {
  if (!h) return;
  ::BCryptDestroyHash(h->hash);
  ::BCryptCloseAlgorithmProvider(h->algorithm, 0);
  delete h;
}

bool P256KeyValid(const P256Key& key) {
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key k;
  return ImportKey(ecdsa, key, k);
}

bool P256Verify(const P256Key& key, const Sha256Digest& digest, const P256Signature& signature) {
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key k;
  if (!ImportKey(ecdsa, key, k)) return false;
  // CNG takes non-const pointers for what it only reads.
  return Succeeded(::BCryptVerifySignature(
      k.Get(), nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
      const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0));
}

bool P256Generate(P256Secret& secret, P256Key& key) {
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key k;
  if (!ecdsa.Get() || !Succeeded(::BCryptGenerateKeyPair(ecdsa.Get(), k.Put(), 256, 0)) ||
      !Succeeded(::BCryptFinalizeKeyPair(k.Get(), 0)))
    return false;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
  ULONG length = 0;
  bool ok = Succeeded(::BCryptExportKey(k.Get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob,
                                        &length, 0)) &&
            length == sizeof blob;
  if (ok) {
    std::memcpy(key.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB), key.size());
    std::memcpy(secret.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB) + 64, secret.size());
  }
  ::SecureZeroMemory(blob, sizeof blob);
  return ok;
}

bool P256Sign(const P256Secret& secret, const P256Key& key, const Sha256Digest& digest,
              P256Signature& signature) {
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key k;
  if (!ImportPair(ecdsa, secret, key, k)) return false;
  ULONG length = 0;
  if (!Succeeded(::BCryptSignHash(k.Get(), nullptr, const_cast<PUCHAR>(digest.data()),
                                  static_cast<ULONG>(digest.size()), signature.data(),
                                  static_cast<ULONG>(signature.size()), &length, 0)) ||
      length != signature.size())
    return false;
  // CNG does not check that X and Y belong to d: a signature that does not
  // verify under them would lock every installation out.
  return P256Verify(key, digest, signature);
}

}  // namespace os
