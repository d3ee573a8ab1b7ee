#include "agent/browser_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <system_error>

namespace agent {

namespace fs = std::filesystem;

namespace {

constexpr int kNotFound = 127;

// Runs certutil with `arguments` and its standard output and error discarded; returns its exit
// status, kNotFound when it cannot be run.
int RunCertutil(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  std::string program = "certutil";
  argv.push_back(program.data());
  std::vector<std::string> copy = arguments;
  for (auto& argument : copy) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    return kNotFound;
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(kNotFound);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return kNotFound;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kNotFound;
}

bool CertutilAvailable() {
  // "certutil -H" prints its help and exits with status 1; 127 means it is not installed.
  return RunCertutil({"-H"}) != kNotFound;
}

std::string Sql(const fs::path& dir) {
  return "sql:" + dir.string();
}

// Both trust commands need certutil; without it they say which package brings it.
bool RequireCertutil(std::ostream& err) {
  if (CertutilAvailable()) {
    return true;
  }
  err << "webagent: certutil was not found; install the package libnss3-tools\n";
  return false;
}

bool HoldsAuthority(const fs::path& dir) {
  return RunCertutil({"-L", "-d", Sql(dir), "-n", kTrustNickname}) == 0;
}

// Deletes every certificate of our nickname (there may be older authorities under it).
bool RemoveAuthority(const fs::path& dir) {
  for (int i = 0; i < 100 && HoldsAuthority(dir); ++i) {
    if (RunCertutil({"-D", "-d", Sql(dir), "-n", kTrustNickname}) != 0) {
      return false;
    }
  }
  return !HoldsAuthority(dir);
}

void AddProfiles(const fs::path& profilesDir, std::vector<NssDatabase>& found) {
  std::error_code ec;
  if (!fs::is_directory(profilesDir, ec)) {
    return;
  }
  std::vector<fs::path> profiles;
  for (const auto& entry : fs::directory_iterator(profilesDir, ec)) {
    if (entry.is_directory(ec) && fs::is_regular_file(entry.path() / "cert9.db", ec)) {
      profiles.push_back(entry.path());
    }
  }
  std::sort(profiles.begin(), profiles.end());
  for (auto& profile : profiles) {
    found.push_back({profile, "Firefox"});
  }
}

}  // namespace

std::vector<NssDatabase> FindNssDatabases(const fs::path& home) {
  std::vector<NssDatabase> found;
  found.push_back({home / ".pki" / "nssdb", "Chromium"});
  AddProfiles(home / ".mozilla" / "firefox", found);
  AddProfiles(home / "snap" / "firefox" / "common" / ".mozilla" / "firefox", found);
  AddProfiles(home / ".var" / "app" / "org.mozilla.firefox" / ".mozilla" / "firefox", found);
  return found;
}

int TrustAuthority(const fs::path& authorityCertificate, const fs::path& home, std::ostream& out,
                   std::ostream& err) {
  if (!RequireCertutil(err)) {
    return 1;
  }
  int failures = 0;
  for (const auto& db : FindNssDatabases(home)) {
    std::error_code ec;
    if (!fs::exists(db.dir / "cert9.db", ec)) {
      // Chromium makes this database at its first start; made now, the browser finds the
      // authority there from its very first page.
      fs::create_directories(db.dir, ec);
      ::chmod(db.dir.c_str(), 0700);
      if (ec || RunCertutil({"-N", "-d", Sql(db.dir), "--empty-password"}) != 0) {
        err << "webagent: cannot create the NSS database " << db.dir.string() << "\n";
        ++failures;
        continue;
      }
    }
    // "C,," : a trusted authority for TLS servers, not for e-mail or code signing.
    if (!RemoveAuthority(db.dir) ||
        RunCertutil({"-A", "-d", Sql(db.dir), "-t", "C,,", "-n", kTrustNickname, "-i",
                     authorityCertificate.string()}) != 0) {
      err << "webagent: cannot add the authority to " << db.dir.string() << " (" << db.browser
          << "; is the browser's database locked or damaged?)\n";
      ++failures;
      continue;
    }
    out << "trusted in " << db.dir.string() << " (" << db.browser << ")\n";
  }
  if (failures == 0) {
    out << "Browsers of this user now trust https://127.0.0.1:8083/ and https://localhost:8083/."
           "\nA browser that is running may need a restart to notice.\n";
  }
  return failures == 0 ? 0 : 1;
}

int UntrustAuthority(const fs::path& home, std::ostream& out, std::ostream& err) {
  if (!RequireCertutil(err)) {
    return 1;
  }
  int failures = 0;
  for (const auto& db : FindNssDatabases(home)) {
    std::error_code ec;
    if (!fs::exists(db.dir / "cert9.db", ec)) {
      continue;
    }
    if (!RemoveAuthority(db.dir)) {
      err << "webagent: cannot remove the authority from " << db.dir.string() << "\n";
      ++failures;
      continue;
    }
    out << "not trusted in " << db.dir.string() << " (" << db.browser << ")\n";
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace agent
