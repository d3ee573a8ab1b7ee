#include "agent/local_authority.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>

namespace agent {

namespace fs = std::filesystem;

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_STORE* p) const { X509_STORE_free(p); }
  void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Certificate = std::unique_ptr<X509, Free>;

bool Fail(std::string* error, const std::string& what) {
  if (error != nullptr) {
    std::string detail;
    if (const unsigned long code = ERR_get_error(); code != 0) {
      char text[256];
      ERR_error_string_n(code, text, sizeof(text));
      detail = std::string(" (") + text + ")";
    }
    ERR_clear_error();
    *error = what + detail;
  }
  return false;
}

Key LoadKey(const fs::path& path) {
  std::unique_ptr<BIO, Free> in(BIO_new_file(path.c_str(), "r"));
  if (!in) {
    ERR_clear_error();
    return nullptr;
  }
  Key key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return key;
}

Certificate LoadCertificate(const fs::path& path) {
  std::unique_ptr<BIO, Free> in(BIO_new_file(path.c_str(), "r"));
  if (!in) {
    ERR_clear_error();
    return nullptr;
  }
  Certificate certificate(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return certificate;
}

// True when the certificate is valid now and still for at least kRenewBefore.
bool FreshEnough(X509* certificate) {
  const time_t now = std::time(nullptr);
  time_t later = now + std::chrono::duration_cast<std::chrono::seconds>(kRenewBefore).count();
  return X509_cmp_time(X509_get0_notBefore(certificate), const_cast<time_t*>(&now)) < 0 &&
         X509_cmp_time(X509_get0_notAfter(certificate), &later) > 0;
}

// Writes `text` to `path` through a temporary file and a rename, so that a reader never sees a
// half-written file and a key is never readable by others, not even for a moment.
bool WriteFileAtomically(const fs::path& path, const std::string& text, mode_t mode,
                         std::string* error) {
  const fs::path temporary = path.string() + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    return Fail(error, "cannot create " + temporary.string() + ": " + std::strerror(errno));
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      return Fail(error, "cannot write " + temporary.string() + ": " + std::strerror(saved));
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    ::unlink(temporary.c_str());
    return Fail(error, "cannot write " + temporary.string() + ": " + std::strerror(errno));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    return Fail(error, "cannot replace " + path.string() + ": " + std::strerror(saved));
  }
  return true;
}

template <typename Write>
std::string Pem(Write write) {
  std::unique_ptr<BIO, Free> out(BIO_new(BIO_s_mem()));
  if (!out || write(out.get()) != 1) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

bool SaveKey(EVP_PKEY* key, const fs::path& path, std::string* error) {
  const std::string text = Pem([&](BIO* out) {
    return PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
  return !text.empty() ? WriteFileAtomically(path, text, 0600, error)
                       : Fail(error, "cannot encode the key for " + path.string());
}

bool SaveCertificate(X509* certificate, const fs::path& path, std::string* error) {
  const std::string text = Pem([&](BIO* out) { return PEM_write_bio_X509(out, certificate); });
  return !text.empty() ? WriteFileAtomically(path, text, 0644, error)
                       : Fail(error, "cannot encode the certificate for " + path.string());
}

Key NewKey() {
  return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Free> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// A certificate with a random positive 127-bit serial number, version 3, valid from an hour ago
// (tolerating a clock slightly behind) for `days` days.
Certificate NewCertificate(EVP_PKEY* key, const std::string& commonName, int days) {
  Certificate certificate(X509_new());
  std::unique_ptr<BIGNUM, Free> serial(BN_new());
  if (!certificate || !serial || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
      BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr ||
      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(certificate.get()), days, 0, nullptr) == nullptr ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  const auto* name = reinterpret_cast<const unsigned char*>(commonName.c_str());
  if (X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>("Web Agent"), -1, -1,
                                 0) != 1 ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, name, -1, -1, 0) != 1) {
    return nullptr;
  }
  return certificate;
}

std::string AuthorityName() {
  std::string user = "user";
  if (const char* name = std::getenv("USER"); name != nullptr && *name != '\0') {
    user = name;
  }
  char host[256] = {};
  if (::gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0') {
    std::strcpy(host, "localhost");
  }
  // Shown in the browsers' certificate managers: says whose authority it is and what for.
  std::string name = "Web Agent local authority for " + user + "@" + host;
  return name.substr(0, 64);  // the longest common name X.509 allows
}

bool MakeAuthority(const LocalTlsFiles& files, std::string* error) {
  Key key = NewKey();
  if (!key) {
    return Fail(error, "cannot make a key for the local authority");
  }
  Certificate ca = NewCertificate(key.get(), AuthorityName(), kAuthorityDays);
  if (!ca || X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) != 1 ||
      !AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
      !AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") ||
      !AddExtension(ca.get(), ca.get(), NID_name_constraints,
                    "critical,permitted;DNS:localhost,permitted;IP:127.0.0.1/255.255.255.255,"
                    "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff") ||
      X509_sign(ca.get(), key.get(), EVP_sha256()) == 0) {
    return Fail(error, "cannot make the local authority's certificate");
  }
  // Key first: a certificate is never on disk without the key that goes with it.
  return SaveKey(key.get(), files.authorityKey, error) &&
         SaveCertificate(ca.get(), files.authorityCertificate, error);
}

bool MakeServerCertificate(const LocalTlsFiles& files, X509* ca, EVP_PKEY* caKey,
                           std::string* error) {
  Key key = NewKey();
  if (!key) {
    return Fail(error, "cannot make a key for the server certificate");
  }
  Certificate certificate = NewCertificate(key.get(), "localhost", kServerCertificateDays);
  if (!certificate || X509_set_issuer_name(certificate.get(), X509_get_subject_name(ca)) != 1 ||
      !AddExtension(certificate.get(), ca, NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(certificate.get(), ca, NID_key_usage, "critical,digitalSignature") ||
      !AddExtension(certificate.get(), ca, NID_ext_key_usage, "serverAuth") ||
      !AddExtension(certificate.get(), ca, NID_subject_key_identifier, "hash") ||
      !AddExtension(certificate.get(), ca, NID_authority_key_identifier, "keyid:always") ||
      !AddExtension(certificate.get(), ca, NID_subject_alt_name,
                    "DNS:localhost,IP:127.0.0.1,IP:::1") ||
      X509_sign(certificate.get(), caKey, EVP_sha256()) == 0) {
    return Fail(error, "cannot make the server certificate");
  }
  return SaveKey(key.get(), files.key, error) &&
         SaveCertificate(certificate.get(), files.certificate, error);
}

// Holds an exclusive lock on a file in the data folder while the material is checked and made,
// so that the agent and "webagent trust" started together agree on one authority.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& dir) {
    fd_ = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace

LocalTlsFiles LocalTlsFilesIn(const fs::path& dir) {
  return LocalTlsFiles{dir, dir / "ca.crt", dir / "ca.key", dir / "localhost_cert.crt",
                       dir / "localhost_cert.key"};
}

bool EnsureLocalTlsFiles(const LocalTlsFiles& files, std::string* error) {
  if (files.dir.empty()) {
    return Fail(error, "the user's data folder is unknown (neither XDG_DATA_HOME nor HOME is set)");
  }
  std::error_code ec;
  fs::create_directories(files.dir, ec);
  if (ec) {
    return Fail(error, "cannot create " + files.dir.string() + ": " + ec.message());
  }
  // The folder holds private keys: only its owner may look inside.
  if (::chmod(files.dir.c_str(), 0700) != 0) {
    return Fail(error, "cannot restrict " + files.dir.string() + ": " + std::strerror(errno));
  }
  FolderLock lock(files.dir);
  if (!lock.held()) {
    return Fail(error, "cannot lock " + files.dir.string() + ": " + std::strerror(errno));
  }

  Certificate ca = LoadCertificate(files.authorityCertificate);
  Key caKey = LoadKey(files.authorityKey);
  if (!ca || !caKey || X509_check_private_key(ca.get(), caKey.get()) != 1 ||
      !FreshEnough(ca.get())) {
    ERR_clear_error();
    if (!MakeAuthority(files, error)) {
      return false;
    }
    ca = LoadCertificate(files.authorityCertificate);
    caKey = LoadKey(files.authorityKey);
    if (!ca || !caKey) {
      return Fail(error, "cannot read back the local authority from " + files.dir.string());
    }
  }

  Certificate certificate = LoadCertificate(files.certificate);
  Key key = LoadKey(files.key);
  const bool sound =
      certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1 &&
      X509_verify(certificate.get(), caKey.get()) == 1 && FreshEnough(certificate.get());
  ERR_clear_error();
  if (!sound) {
    return MakeServerCertificate(files, ca.get(), caKey.get(), error);
  }
  // A key some other tool left readable by others is tightened rather than replaced.
  ::chmod(files.key.c_str(), 0600);
  ::chmod(files.authorityKey.c_str(), 0600);
  return true;
}

}  // namespace agent
