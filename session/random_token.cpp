#include "session/random_token.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace session {

std::optional<std::string> RandomHex(size_t bytes) {
  std::vector<uint8_t> buffer(bytes);
  size_t filled = 0;
  while (filled < bytes) {
    const ssize_t n = getrandom(buffer.data() + filled, bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    filled += static_cast<size_t>(n);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes * 2);
  for (uint8_t byte : buffer) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

}  // namespace session
