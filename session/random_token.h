// Secrets for session identifiers. A page proves that it holds a scanner binding by the
// identifier it got from the agent, so the identifier must not be guessable by other pages: the
// date and address part of it is public knowledge, this part is not.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace session {

// 2 x `bytes` lowercase hexadecimal digits from the kernel's random source; empty when the
// kernel cannot give them (the caller then issues no identifier rather than a guessable one).
std::optional<std::string> RandomHex(size_t bytes);

// Random bytes in a session identifier: 16 bytes, 32 hex digits.
inline constexpr size_t kSessionTokenBytes = 16;

}  // namespace session
