#include "agent/local_authority.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace agent {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t Mode(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

X509* LoadCertificate(const fs::path& path) {
  BIO* in = BIO_new_file(path.c_str(), "r");
  X509* certificate = in ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(in);
  return certificate;
}

EVP_PKEY* LoadKey(const fs::path& path) {
  BIO* in = BIO_new_file(path.c_str(), "r");
  EVP_PKEY* key = in ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(in);
  return key;
}

// Verifies `leaf` against `ca` as a TLS client would, for `host` (a name or an IP address).
int Verify(X509* leaf, X509* ca, const char* host) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, ca);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, store, leaf, nullptr);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  if (std::string(host).find_first_not_of("0123456789.:") == std::string::npos) {
    X509_VERIFY_PARAM_set1_ip_asc(param, host);
  } else {
    X509_VERIFY_PARAM_set1_host(param, host, 0);
  }
  const int result = X509_verify_cert(context) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
  X509_STORE_CTX_free(context);
  X509_STORE_free(store);
  return result;
}

// A certificate for `dns` signed with the authority's own key, as a thief of that key would make.
X509* ForgeWithAuthorityKey(X509* ca, EVP_PKEY* caKey, const char* dns) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* forged = X509_new();
  X509_set_version(forged, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(forged), 42);
  X509_gmtime_adj(X509_getm_notBefore(forged), -60);
  X509_gmtime_adj(X509_getm_notAfter(forged), 86400);
  X509_set_pubkey(forged, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(forged), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(dns), -1, -1, 0);
  X509_set_issuer_name(forged, X509_get_subject_name(ca));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, ca, forged, nullptr, nullptr, 0);
  const std::string san = std::string("DNS:") + dns;
  X509_EXTENSION* extension =
      X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, san.c_str());
  X509_add_ext(forged, extension, -1);
  X509_EXTENSION_free(extension);
  X509_sign(forged, caKey, EVP_sha256());
  EVP_PKEY_free(key);
  return forged;
}

class LocalAuthority : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/webagent-tls-XXXXXX";
    root_ = mkdtemp(pattern);
    files_ = LocalTlsFilesIn(root_ / "data" / "webagent");
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
  LocalTlsFiles files_;
};

TEST_F(LocalAuthority, MadeOnceKeysPrivateAndTheCertificateServesOnlyLoopback) {
  std::string error;
  ASSERT_TRUE(EnsureLocalTlsFiles(files_, &error)) << error;
  EXPECT_EQ(Mode(files_.dir), 0700U);
  EXPECT_EQ(Mode(files_.authorityKey), 0600U);
  EXPECT_EQ(Mode(files_.key), 0600U);

  X509* ca = LoadCertificate(files_.authorityCertificate);
  X509* leaf = LoadCertificate(files_.certificate);
  EVP_PKEY* caKey = LoadKey(files_.authorityKey);
  ASSERT_TRUE(ca && leaf && caKey);
  EXPECT_EQ(Verify(leaf, ca, "127.0.0.1"), X509_V_OK);
  EXPECT_EQ(Verify(leaf, ca, "localhost"), X509_V_OK);
  EXPECT_EQ(Verify(leaf, ca, "::1"), X509_V_OK);
  EXPECT_EQ(Verify(leaf, ca, "example.com"), X509_V_ERR_HOSTNAME_MISMATCH);
  EXPECT_EQ(Verify(leaf, ca, "10.0.0.1"), X509_V_ERR_IP_ADDRESS_MISMATCH);

  // Even the authority's own key cannot vouch for another site: the name constraints forbid it.
  X509* forged = ForgeWithAuthorityKey(ca, caKey, "bank.example");
  EXPECT_EQ(Verify(forged, ca, "bank.example"), X509_V_ERR_PERMITTED_VIOLATION);
  X509_free(forged);

  // A second start keeps everything as it is.
  const std::string caText = Read(files_.authorityCertificate);
  const std::string leafText = Read(files_.certificate);
  ASSERT_TRUE(EnsureLocalTlsFiles(files_, &error)) << error;
  EXPECT_EQ(Read(files_.authorityCertificate), caText);
  EXPECT_EQ(Read(files_.certificate), leafText);
  X509_free(ca);
  X509_free(leaf);
  EVP_PKEY_free(caKey);
}

TEST_F(LocalAuthority, BrokenOrForeignServerCertificateIsReplacedAuthorityKept) {
  std::string error;
  ASSERT_TRUE(EnsureLocalTlsFiles(files_, &error)) << error;
  const std::string caText = Read(files_.authorityCertificate);

  std::ofstream(files_.certificate) << "not a certificate";
  ASSERT_TRUE(EnsureLocalTlsFiles(files_, &error)) << error;
  EXPECT_EQ(Read(files_.authorityCertificate), caText);
  X509* ca = LoadCertificate(files_.authorityCertificate);
  X509* leaf = LoadCertificate(files_.certificate);
  ASSERT_TRUE(ca && leaf);
  EXPECT_EQ(Verify(leaf, ca, "127.0.0.1"), X509_V_OK);
  X509_free(leaf);

  // A key that does not belong to the certificate.
  fs::copy_file(files_.authorityKey, files_.key, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(EnsureLocalTlsFiles(files_, &error)) << error;
  leaf = LoadCertificate(files_.certificate);
  EVP_PKEY* key = LoadKey(files_.key);
  EXPECT_EQ(X509_check_private_key(leaf, key), 1);
  EXPECT_EQ(Mode(files_.key), 0600U);
  X509_free(leaf);
  EVP_PKEY_free(key);

  // A lost authority key: a new authority, and a server certificate issued by it.
  fs::remove(files_.authorityKey);
  ASSERT_TRUE(EnsureLocalTlsFiles(files_, &error)) << error;
  EXPECT_NE(Read(files_.authorityCertificate), caText);
  X509* newCa = LoadCertificate(files_.authorityCertificate);
  leaf = LoadCertificate(files_.certificate);
  EXPECT_EQ(Verify(leaf, newCa, "localhost"), X509_V_OK);
  EXPECT_NE(Verify(leaf, ca, "localhost"), X509_V_OK);
  X509_free(leaf);
  X509_free(newCa);
  X509_free(ca);
}

TEST_F(LocalAuthority, UnwritableFolderIsAnErrorNotACrash) {
  std::ofstream(root_ / "file") << "x";
  std::string error;
  EXPECT_FALSE(EnsureLocalTlsFiles(LocalTlsFilesIn(root_ / "file" / "webagent"), &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
  EXPECT_FALSE(EnsureLocalTlsFiles(LocalTlsFilesIn(""), &error));
}

}  // namespace
}  // namespace agent
