#include "agent/origin.h"

#include <arpa/inet.h>

#include <cctype>
#include <string>

namespace agent {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

bool Fail(std::string* why, const char* reason) {
  if (why != nullptr) {
    *why = reason;
  }
  return false;
}

// A DNS name: dot-separated labels of letters, digits and hyphens, none empty, none starting or
// ending with a hyphen, at most 63 characters each and 253 in all.
bool ValidDnsName(const std::string& host, std::string* why) {
  if (host.empty() || host.size() > 253) {
    return Fail(why, "the host name is empty or too long");
  }
  size_t start = 0;
  while (start <= host.size()) {
    const size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label(host.data() + start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return Fail(why, "the host name is not a valid DNS name");
    }
    for (char c : label) {
      const auto u = static_cast<unsigned char>(c);
      if (u >= 0x80) {
        return Fail(why, "write an international host name in its xn-- form");
      }
      if (!std::isalnum(u) && c != '-') {
        return Fail(why, "the host name holds a character a DNS name cannot have");
      }
    }
    start = dot + 1;
  }
  return true;
}

}  // namespace

std::optional<std::string> NormaliseOrigin(std::string_view text, std::string* why) {
  const size_t sep = text.find("://");
  if (sep == std::string_view::npos) {
    Fail(why, "an origin looks like https://app.example.com or http://localhost:9000");
    return std::nullopt;
  }
  const std::string scheme = Lower(text.substr(0, sep));
  if (scheme != "http" && scheme != "https") {
    Fail(why, "only http and https origins can be allowed");
    return std::nullopt;
  }
  std::string_view rest = text.substr(sep + 3);
  if (!rest.empty() && rest.back() == '/') {
    rest.remove_suffix(1);
  }
  if (rest.find_first_of("/?#") != std::string_view::npos) {
    Fail(why, "an origin has no path, query or fragment");
    return std::nullopt;
  }
  if (rest.find('@') != std::string_view::npos) {
    Fail(why, "an origin has no user name or password");
    return std::nullopt;
  }

  std::string host;
  std::string_view portText;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      Fail(why, "an IPv6 address lacks its closing ]");
      return std::nullopt;
    }
    const std::string address(rest.substr(1, close - 1));
    in6_addr parsed{};
    if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
      Fail(why, "the IPv6 address is not valid");
      return std::nullopt;
    }
    char canonical[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &parsed, canonical, sizeof(canonical));
    host = std::string("[") + canonical + "]";
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        Fail(why, "unexpected text after the IPv6 address");
        return std::nullopt;
      }
      portText = after.substr(1);
      if (portText.empty()) {
        Fail(why, "the port is empty");
        return std::nullopt;
      }
    }
  } else {
    const size_t colon = rest.rfind(':');
    host = Lower(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = rest.substr(colon + 1);
      if (portText.empty()) {
        Fail(why, "the port is empty");
        return std::nullopt;
      }
    }
    if (host.find(':') != std::string::npos) {
      Fail(why, "write an IPv6 address in brackets, e.g. http://[::1]:9000");
      return std::nullopt;
    }
    // A browser keeps a trailing dot in the Origin it sends: "example.com." and "example.com"
    // are two origins to it, so the dot stays, and only the name before it is checked.
    const bool rooted = host.size() > 1 && host.back() == '.';
    const std::string name = rooted ? host.substr(0, host.size() - 1) : host;
    if (!ValidDnsName(name, why)) {
      return std::nullopt;
    }
    // A name made of digits and dots must be a full dotted IPv4 address; browsers would read
    // "127.1" or "127.0.0.1." as 127.0.0.1 and send that instead, so such spellings are refused.
    if (name.find_first_not_of("0123456789.") == std::string::npos) {
      in_addr parsed{};
      if (rooted || inet_pton(AF_INET, name.c_str(), &parsed) != 1) {
        Fail(why, "the IPv4 address is not valid");
        return std::nullopt;
      }
    }
  }

  std::string result = scheme + "://" + host;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
      Fail(why, "the port must be a number from 1 to 65535");
      return std::nullopt;
    }
    const int port = std::stoi(std::string(portText));
    if (port < 1 || port > 65535) {
      Fail(why, "the port must be a number from 1 to 65535");
      return std::nullopt;
    }
    const int defaultPort = scheme == "https" ? 443 : 80;
    if (port != defaultPort) {
      result += ":" + std::to_string(port);
    }
  }
  return result;
}

}  // namespace agent
