#include "http/writer.h"

#include <civetweb.h>

namespace http {

bool WriteBytes(mg_connection* connection, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int written = mg_write(connection, bytes.data() + done, bytes.size() - done);
    if (written <= 0) {
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

bool WriteText(mg_connection* connection, std::string_view text) {
  return WriteBytes(connection, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

}  // namespace http
