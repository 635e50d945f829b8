// TLS on the module's own connections (rediss://, rediss-sentinel://), with
// OpenSSL over the socket hiredis connected: its bytes go out with
// MSG_NOSIGNAL and come in without blocking, so no write raises SIGPIPE and
// every wait, the handshake's included, is a poll against the step's
// deadline. Failures are told by their cause: a certificate not trusted, for
// another host or expired (with its subject and issuer), a server that wants
// a client certificate or refused ours, a server that speaks no TLS.
//
// OpenSSL's error queue is the calling thread's, which the host process may
// use too: each call here starts with it empty and leaves it empty.
#ifndef KVPOOL_REDIS_REDISTLS_H
#define KVPOOL_REDIS_REDISTLS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pool/PoolBackend.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace kvpool {

using Clock = std::chrono::steady_clock;

// The settings' trust store, client certificate and key, loaded once per
// pool when it first connects. Safe to share between threads once loaded.
class TlsContext {
 public:
  // Null with *why naming the setting, its file and what is wrong: a file
  // that cannot be read or holds no PEM certificate (or key), a key file
  // that is a link, another user's or that others may read or write (as ssh
  // refuses one), a key that does not match the certificate.
  static std::unique_ptr<TlsContext> load(const TlsConfig& config, std::string* why);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  const TlsConfig& config() const { return config_; }
  SSL_CTX* get() const { return context_; }

 private:
  TlsContext(SSL_CTX* context, TlsConfig config) : context_(context), config_(std::move(config)) {}
  SSL_CTX* context_;
  TlsConfig config_;
};

// What the handshake and the session saw, for telling why one failed.
struct TlsWitness;

// One TLS session over a connected socket, which it does not own.
class TlsSession {
 public:
  // The handshake with the server on fd as host (or the settings' server
  // name), checked as the context says, waiting at most until the deadline.
  // Null with *why saying why; *silent when the time ran out before the
  // server sent a byte (as a server without TLS does, waiting for the end of
  // a command line).
  static std::unique_ptr<TlsSession> start(int fd, const TlsContext& context,
                                           const std::string& host, Clock::time_point deadline,
                                           int timeoutMs, std::string* why,
                                           bool* silent = nullptr);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Bytes moved (read: 0 at the server's end), or -1: *wants then names
  // the poll events to wait for (POLLIN, POLLOUT), or is 0 when the session
  // failed (failure() says why).
  long write(const char* bytes, std::size_t length, short* wants);
  long read(char* bytes, std::size_t length, short* wants);
  // Bytes waiting inside the session, decrypted or not yet.
  bool pending() const;
  // Decrypted bytes waiting inside the session.
  bool holdsData() const;
  // Called when bytes came while the connection was idle: true when they
  // were only records that carry no data (a session ticket, a key update).
  bool onlyControlRecords();
  // Why the last call failed, in words.
  const std::string& failure() const { return failure_; }

 private:
  TlsSession();
  long settle(int result, short* wants);
  SSL* ssl_ = nullptr;
  std::unique_ptr<TlsWitness> witness_;
  std::string failure_;
};

// The reason given when a server answered the handshake in plain text.
extern const char kPlainServer[];

// Whether the server on the connected fd answers a TLS handshake as a TLS
// server does, asked when a connection without TLS was cut before any
// answer (a TLS server drops a client that speaks plain text).
bool answersTls(int fd, Clock::time_point deadline);

// Waits until fd is ready for events or the deadline passes: 1 ready, 0
// the time ran out, -1 with errno.
int awaitReady(int fd, short events, Clock::time_point deadline);

}  // namespace kvpool

#endif
