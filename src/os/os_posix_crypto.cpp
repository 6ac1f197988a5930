// SHA-256 and ECDSA P-256 of the POSIX build, from OpenSSL's libcrypto.
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <memory>

#include "os/os.h"

namespace os {

struct HashState {
  EVP_MD_CTX* ctx;
};

HashHandle Sha256Open() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return nullptr;
  }
  return new HashState{ctx};
}

void Sha256Update(HashHandle h, const void* data, size_t size) {
  if (h && size) EVP_DigestUpdate(h->ctx, data, size);
}

bool Sha256Finish(HashHandle h, Sha256Digest& digest) {
  unsigned int n = 0;
  return h && EVP_DigestFinal_ex(h->ctx, digest.data(), &n) == 1 && n == digest.size();
}

void Sha256Close(HashHandle h) {
  if (!h) return;
  EVP_MD_CTX_free(h->ctx);
  delete h;
}

namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// The public key X‖Y as libcrypto's key, checked to be on the curve; null
// otherwise.
PkeyPtr ImportKey(const P256Key& key) {
  PkeyPtr none(nullptr, EVP_PKEY_free);
  uint8_t point[1 + 64];
  point[0] = 0x04;  // uncompressed
  std::copy(key.begin(), key.end(), point + 1);
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* made = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &made, EVP_PKEY_PUBLIC_KEY, params) != 1)
    return none;
  PkeyPtr pkey(made, EVP_PKEY_free);
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr), EVP_PKEY_CTX_free);
  if (!check || EVP_PKEY_public_check(check.get()) != 1) return none;
  return pkey;
}

// The key pair as libcrypto's key; null when it refuses the pair.
PkeyPtr ImportPair(const P256Secret& secret, const P256Key& key) {
  PkeyPtr none(nullptr, EVP_PKEY_free);
  uint8_t point[1 + 64];
  point[0] = 0x04;
  std::copy(key.begin(), key.end(), point + 1);
  std::unique_ptr<BIGNUM, decltype(&BN_clear_free)> d(
      BN_bin2bn(secret.data(), static_cast<int>(secret.size()), nullptr), BN_clear_free);
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                        OSSL_PARAM_BLD_free);
  if (!d || !build ||
      OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) !=
          1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) !=
          1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1)
    return none;
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
      OSSL_PARAM_BLD_to_param(build.get()), OSSL_PARAM_free);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* made = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &made, EVP_PKEY_KEYPAIR, params.get()) != 1)
    return none;
  PkeyPtr pkey(made, EVP_PKEY_free);
  // The public key must be the secret's own, or the signatures would not
  // verify under the pub_key the vendor publishes.
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr), EVP_PKEY_CTX_free);
  if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return none;
  return pkey;
}

}  // namespace

bool P256Generate(P256Secret& secret, P256Key& key) {
  PkeyPtr pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
  if (!pkey) return false;
  BIGNUM* d = nullptr;
  uint8_t point[1 + 64];
  size_t length = 0;
  bool ok = EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1 &&
            BN_bn2binpad(d, secret.data(), static_cast<int>(secret.size())) == 32 &&
            EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, point,
                                            sizeof point, &length) == 1 &&
            length == sizeof point && point[0] == 0x04;
  BN_clear_free(d);
  if (ok) std::copy(point + 1, point + sizeof point, key.begin());
  return ok;
}

bool P256Sign(const P256Secret& secret, const P256Key& key, const Sha256Digest& digest,
              P256Signature& signature) {
  PkeyPtr pkey = ImportPair(secret, key);
  if (!pkey) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr), EVP_PKEY_CTX_free);
  unsigned char der[80];
  size_t derLength = sizeof der;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), der, &derLength, digest.data(), digest.size()) != 1)
    return false;
  // libcrypto gives the signature DER-encoded; the manifest holds r and s.
  const unsigned char* p = der;
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength));
  if (!sig) return false;
  bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), signature.data(), 32) == 32 &&
            BN_bn2binpad(ECDSA_SIG_get0_s(sig), signature.data() + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  return ok;
}

bool P256KeyValid(const P256Key& key) { return ImportKey(key) != nullptr; }

bool P256Verify(const P256Key& key, const Sha256Digest& digest, const P256Signature& signature) {
  PkeyPtr pkey = ImportKey(key);
  if (!pkey) return false;
  // libcrypto takes the signature DER-encoded.
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return false;
  }
  unsigned char* der = nullptr;
  int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  if (derLength <= 0) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr), EVP_PKEY_CTX_free);
  bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
            EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLength), digest.data(),
                            digest.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

}  // namespace os
