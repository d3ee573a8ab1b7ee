#include "devicelib/core/template_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace devicelib {
namespace {

using Digest = std::array<uint8_t, 32>;

bool HmacSha256(std::span<const uint8_t> key, std::span<const uint8_t> data, Digest* out) {
  unsigned int length = 0;
  static const uint8_t kEmpty = 0;
  const uint8_t* bytes = data.empty() ? &kEmpty : data.data();
  return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes, data.size(),
              out->data(), &length) != nullptr &&
         length == out->size();
}

bool DeriveKeys(const TemplateKey& key, Digest* encKey, Digest* macKey) {
  constexpr std::string_view kEnc = "webagent-template-enc";
  constexpr std::string_view kMac = "webagent-template-mac";
  return HmacSha256(key, {reinterpret_cast<const uint8_t*>(kEnc.data()), kEnc.size()}, encKey) &&
         HmacSha256(key, {reinterpret_cast<const uint8_t*>(kMac.data()), kMac.size()}, macKey);
}

// AES-256-CTR is its own inverse.
bool Ctr(const Digest& key, const uint8_t* iv, std::span<const uint8_t> in, uint8_t* out) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, key.data(), iv) != 1) {
    return false;
  }
  int written = 0, tail = 0;
  if (!in.empty() &&
      EVP_EncryptUpdate(ctx.get(), out, &written, in.data(), static_cast<int>(in.size())) != 1) {
    return false;
  }
  return EVP_EncryptFinal_ex(ctx.get(), out + written, &tail) == 1 &&
         static_cast<size_t>(written + tail) == in.size();
}

}  // namespace

bool SealTemplate(const TemplateKey& key, std::span<const uint8_t> plain,
                  std::vector<uint8_t>* sealed) {
  Digest encKey{}, macKey{}, tag{};
  if (!DeriveKeys(key, &encKey, &macKey) || !HmacSha256(macKey, plain, &tag)) {
    return false;
  }
  std::vector<uint8_t> out(kSealOverhead + plain.size());
  std::memcpy(out.data(), tag.data(), kSealOverhead);
  if (!Ctr(encKey, out.data(), plain, out.data() + kSealOverhead)) {
    return false;
  }
  *sealed = std::move(out);
  return true;
}

bool OpenTemplate(const TemplateKey& key, std::span<const uint8_t> sealed,
                  std::vector<uint8_t>* plain) {
  if (sealed.size() < kSealOverhead) {
    return false;
  }
  Digest encKey{}, macKey{}, tag{};
  if (!DeriveKeys(key, &encKey, &macKey)) {
    return false;
  }
  std::vector<uint8_t> out(sealed.size() - kSealOverhead);
  if (!Ctr(encKey, sealed.data(), sealed.subspan(kSealOverhead), out.data()) ||
      !HmacSha256(macKey, out, &tag) ||
      CRYPTO_memcmp(tag.data(), sealed.data(), kSealOverhead) != 0) {
    OPENSSL_cleanse(out.data(), out.size());
    return false;
  }
  *plain = std::move(out);
  return true;
}

TemplateKey DefaultTemplateKey() {
  // SHA-256 of the text "webagent virtual scanner default template key".
  TemplateKey key{};
  constexpr std::string_view kText = "webagent virtual scanner default template key";
  unsigned int length = 0;
  EVP_Digest(kText.data(), kText.size(), key.data(), &length, EVP_sha256(), nullptr);
  return key;
}

}  // namespace devicelib
