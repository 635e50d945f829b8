// The TLS settings' files (redis/RedisTlsFiles.h), read once each through a
// descriptor and parsed from memory, so that no file is opened twice by path.
#include "redis/RedisTlsFiles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "pool/PoolBackend.h"
#include "support/FileIo.h"

namespace kvpool {
namespace {

constexpr std::size_t kLargestFileBytes = 4 << 20;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// "KVPOOL_REDIS_TLS_CA /etc/kvpool/ca.pem: " and the reason.
std::string named(const char* setting, const std::string& path, const std::string& reason) {
  return std::string(setting) + " " + path + ": " + reason;
}

// OpenSSL's reason for the last failure, or the fallback.
std::string openSslReason(const char* fallback) {
  const char* reason = ERR_reason_error_string(ERR_peek_last_error());
  return reason != nullptr ? reason : fallback;
}

// The key never reaches a terminal's prompt: a key with a passphrase is
// refused instead of asked for.
int noPassphrase(char*, int, int, void*) {
  return -1;
}

// A private key's file: this user's or root's, and no one else's to read or
// write, as ssh asks of one.
std::string secretProblem(const struct stat& status) {
  if (status.st_uid != geteuid() && status.st_uid != 0) {
    return "belongs to uid " + decimalText(static_cast<long>(status.st_uid)) +
           ", not to this process's user";
  }
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return std::string("other users may read or write it (mode ") + mode +
           "): refused, as a private key must be its owner's alone (chmod 600)";
  }
  return "";
}

bool readFile(const char* setting, const std::string& path, bool secret, std::string* text,
              std::string* why) {
  struct stat status {};
  std::string reason;
  if (!readRegularFile(path, kLargestFileBytes, text, &reason, &status)) {
    *why = named(setting, path, reason);
    return false;
  }
  if (secret) reason = secretProblem(status);
  if (reason.empty()) return true;
  OPENSSL_cleanse(text->data(), text->size());
  *why = named(setting, path, reason);
  return false;
}

Bio memoryOf(const std::string& text) {
  return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

bool loadTrust(SSL_CTX* context, const std::string& ca, std::string* why) {
  constexpr char kSetting[] = "KVPOOL_REDIS_TLS_CA";
  struct stat status {};
  if (ca.empty()) {
    if (SSL_CTX_set_default_verify_paths(context) == 1) return true;
    *why = "the system's trust store cannot be read: " + openSslReason("no reason given");
    return false;
  }
  if (stat(ca.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    if (SSL_CTX_load_verify_dir(context, ca.c_str()) == 1) return true;
    *why = named(kSetting, ca, openSslReason("cannot be used as a folder of certificates"));
    return false;
  }
  std::string text;
  if (!readFile(kSetting, ca, false, &text, why)) return false;
  const Bio bio = memoryOf(text);
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  int count = 0;
  while (bio != nullptr) {
    X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr);
    if (certificate == nullptr) break;
    const bool added = X509_STORE_add_cert(store, certificate) == 1;
    X509_free(certificate);
    if (!added) break;
    ++count;
  }
  ERR_clear_error();  // the end of the file reads as an error
  if (count > 0) return true;
  *why = named(kSetting, ca, "holds no PEM certificate");
  return false;
}

bool loadClientCertificate(SSL_CTX* context, const std::string& cert, const std::string& key,
                           std::string* why) {
  std::string text;
  if (!readFile("KVPOOL_REDIS_TLS_CERT", cert, false, &text, why)) return false;
  Bio bio = memoryOf(text);
  X509* leaf = bio != nullptr ? PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr)
                              : nullptr;
  const bool used = leaf != nullptr && SSL_CTX_use_certificate(context, leaf) == 1;
  X509_free(leaf);
  if (!used) {
    *why = named("KVPOOL_REDIS_TLS_CERT", cert, "holds no PEM certificate");
    return false;
  }
  while (X509* link = PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr)) {
    if (SSL_CTX_add0_chain_cert(context, link) != 1) X509_free(link);
  }
  ERR_clear_error();
  if (!readFile("KVPOOL_REDIS_TLS_KEY", key, true, &text, why)) return false;
  bio = memoryOf(text);
  EVP_PKEY* pkey = bio != nullptr ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase,
                                                            nullptr)
                                  : nullptr;
  bio.reset();
  OPENSSL_cleanse(text.data(), text.size());
  const bool parsed = pkey != nullptr;
  const bool keyUsed = parsed && SSL_CTX_use_PrivateKey(context, pkey) == 1 &&
                       SSL_CTX_check_private_key(context) == 1;
  EVP_PKEY_free(pkey);
  if (!keyUsed) {
    *why = named("KVPOOL_REDIS_TLS_KEY", key,
                 !parsed ? "holds no PEM private key without a passphrase"
                         : "does not match KVPOOL_REDIS_TLS_CERT " + cert);
    return false;
  }
  return true;
}

}  // namespace kvpool
