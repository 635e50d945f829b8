// A throwaway certificate authority and certificates, made with the openssl
// tool at run time in the test's /tmp, for Redis servers that speak TLS; and
// a TLS front that relays to a plain loopback server, so that the fakes of
// redis_fakes.h misbehave behind a real handshake.
#ifndef KVPOOL_TESTS_SUPPORT_TLS_FILES_H
#define KVPOOL_TESTS_SUPPORT_TLS_FILES_H

#include <string>
#include <vector>

#include "support/redis_fakes.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace kvtest {

// In folder(), each NAME.crt with its NAME.key (mode 0600):
//   ca          "KvPool Test CA", the one the clients trust
//   stranger-ca "Stranger CA", trusted by no one
//   server      CN=localhost for DNS:localhost and IP:127.0.0.1, by ca
//   expired     the same, expired a day ago
//   elsewhere   CN=elsewhere.test, for DNS:elsewhere.test alone, by ca
//   stranger    as server, by stranger-ca
//   client      CN=kvpool client, by ca
// Made once per test process; ok() false when openssl failed.
class TlsFiles {
 public:
  static const TlsFiles& made();
  bool ok() const { return ok_; }
  std::string folder() const { return "/tmp/tls"; }
  std::string crt(const std::string& name) const { return folder() + "/" + name + ".crt"; }
  std::string key(const std::string& name) const { return folder() + "/" + name + ".key"; }
  // A redis-server's arguments to speak TLS on tlsPort with certificate
  // name, trusting ca for its clients' certificates (authClients: "no",
  // "optional" or "yes") and for replication.
  std::vector<std::string> serverArguments(int tlsPort, const std::string& name,
                                           const std::string& authClients) const;

 private:
  TlsFiles();
  bool ok_ = false;
};

// Accepts TLS with the certificate name, relays each connection's
// plaintext to the server on backendPort and back, each piece as it comes.
// kKeyUpdates follows each piece with a record that carries no data (a TLS
// 1.3 key update); kHalfRecords sends the first half of the first answer's
// bytes, then nothing.
class TlsFront : public LoopbackListener {
 public:
  enum Mode { kRelay, kKeyUpdates, kHalfRecords };
  TlsFront(int backendPort, const std::string& name, Mode mode = kRelay);
  ~TlsFront() override;

 private:
  void serveConnection(int fd) override;
  const int backendPort_;
  const Mode mode_;
  SSL_CTX* context_ = nullptr;
};

}  // namespace kvtest

#endif
