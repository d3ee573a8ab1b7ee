// Template encryption of the scanner library: a deterministic authenticated scheme in the
// manner of AES-SIV (RFC 5297), built from OpenSSL's AES-256-CTR and HMAC-SHA-256.
//
//   encKey = HMAC-SHA-256(key, "webagent-template-enc")
//   macKey = HMAC-SHA-256(key, "webagent-template-mac")
//   iv     = first 16 bytes of HMAC-SHA-256(macKey, plaintext)     (synthetic IV and tag)
//   sealed = iv || AES-256-CTR(encKey, iv, plaintext)
//
// It adds exactly 16 bytes, so a template of up to 1024 bytes fits the agent's 1040-byte
// buffer, and opening with a wrong key or damaged data is detected (the recomputed tag does not
// match) instead of yielding garbage. Being deterministic, equal templates under one key give
// equal ciphertexts; that reveals only equality, which is acceptable for stored templates.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace devicelib {

inline constexpr size_t kSealOverhead = 16;
using TemplateKey = std::array<uint8_t, 32>;

// False only when OpenSSL fails.
bool SealTemplate(const TemplateKey& key, std::span<const uint8_t> plain,
                  std::vector<uint8_t>* sealed);

// False for a wrong key, damaged or truncated data, or an OpenSSL failure.
bool OpenTemplate(const TemplateKey& key, std::span<const uint8_t> sealed,
                  std::vector<uint8_t>* plain);

// The key that applies until SetEncryptionKey: a fixed, published value (so it protects
// nothing against anyone who reads this code; pages that care set their own key).
TemplateKey DefaultTemplateKey();

}  // namespace devicelib
