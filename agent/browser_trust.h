// "webagent trust" and "webagent untrust": the local authority in the user's NSS databases,
// which Chromium (~/.pki/nssdb) and Firefox (one per profile) read their trusted authorities
// from. The databases are changed with NSS's own certutil (package libnss3-tools).
#pragma once

#include <filesystem>
#include <ostream>
#include <vector>

namespace agent {

// The nickname the authority has in every database; untrust removes certificates by it.
inline constexpr char kTrustNickname[] = "Web Agent local authority";

struct NssDatabase {
  std::filesystem::path dir;
  const char* browser;  // "Chromium" or "Firefox"
};

// Chromium's database (~/.pki/nssdb, listed even when it does not exist yet: trust creates it
// so that a browser started later finds the authority) and every Firefox profile that has an
// SQL database (cert9.db), including those of the snap and flatpak builds.
std::vector<NssDatabase> FindNssDatabases(const std::filesystem::path& home);

// Adds the authority certificate to every database (replacing an older one of the same
// nickname). Returns the process exit status: 0 when every database took it.
int TrustAuthority(const std::filesystem::path& authorityCertificate,
                   const std::filesystem::path& home, std::ostream& out, std::ostream& err);
// Removes it from every database; 0 when none holds it any more.
int UntrustAuthority(const std::filesystem::path& home, std::ostream& out, std::ostream& err);

}  // namespace agent
