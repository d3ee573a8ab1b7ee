// Feeds arbitrary parameter texts to the readers every operation uses, checking the properties
// the operations rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string handle = service::GetParamSHandle(text);
  const std::string id = service::GetParamId(text);
  if (handle.size() > size || id.size() > size) {
    std::abort();
  }
  service::ReadHandleNumber(handle);
  service::ReadHandleNumber(text);

  service::ParameterMap map{{"sentinel", "x"}};
  const int result = service::ParseParameters(text, map);
  if (result == -1 && (map.size() != 1 || map.count("sentinel") != 1)) {
    std::abort();  // a failed parse leaves the caller's map as it was
  }
  if (result == 0 && (map.empty() || map.count("sHandle") != 0)) {
    std::abort();
  }
  for (const auto& [key, value] : map) {
    if (key.find('&') != std::string::npos || value.find('&') != std::string::npos ||
        key.find('=') != std::string::npos || value.find('=') != std::string::npos) {
      std::abort();
    }
  }

  int cursor = 0;
  size_t tokens = 0;
  while (cursor >= 0 && tokens <= size + 1) {
    service::NextToken(text, '&', cursor);
    ++tokens;
  }
  if (cursor >= 0) {
    std::abort();  // the tokenizer always ends
  }
  for (int lookup : {-2, -1, 0, static_cast<int>(size % 600)}) {
    service::ParameterTextAfterDummy(text, lookup);
  }
  return 0;
}
