// Writing to a connection. Every write checks its result, so a page that has gone away ends
// the reply instead of leaving a worker looping on a dead socket.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

struct mg_connection;

namespace http {

// True when every byte was handed to the connection.
bool WriteBytes(mg_connection* connection, std::span<const uint8_t> bytes);
bool WriteText(mg_connection* connection, std::string_view text);

}  // namespace http
