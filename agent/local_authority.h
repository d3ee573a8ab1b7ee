// The agent's TLS material when it is installed: a small certificate authority of its own, made
// once per user, and the server certificate for localhost and 127.0.0.1 that it signs.
//
// The authority's name constraints allow it to vouch for localhost (and names under it),
// 127.0.0.1 and ::1 only, so trusting it in a browser cannot let it (or a stolen copy of its
// key) impersonate any other site. Its key is made in, and never leaves, the user's data
// folder (mode 0700, key files 0600).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace agent {

struct LocalTlsFiles {
  std::filesystem::path dir;
  std::filesystem::path authorityCertificate;  // ca.crt: what browsers are told to trust
  std::filesystem::path authorityKey;          // ca.key
  std::filesystem::path certificate;           // localhost_cert.crt: what the server presents
  std::filesystem::path key;                   // localhost_cert.key
};

LocalTlsFiles LocalTlsFilesIn(const std::filesystem::path& dir);

// Server certificates last this long and are renewed at start when less than kRenewBefore is
// left; the authority lasts ten years.
inline constexpr int kServerCertificateDays = 397;
inline constexpr int kAuthorityDays = 3650;
inline constexpr std::chrono::hours kRenewBefore{24 * 30};

// Makes whatever is missing: the authority when it (or its key) is missing, unreadable,
// mismatched or near its end; the server certificate when it is missing, near its end, its key
// does not match, or it was not issued by the current authority. Keeps everything that is
// sound. Safe against a second process doing the same at the same time. On failure returns
// false and puts the reason into `error`.
bool EnsureLocalTlsFiles(const LocalTlsFiles& files, std::string* error);

}  // namespace agent
