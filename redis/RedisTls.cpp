// The module's TLS (redis/RedisTls.h): the socket's bytes through a BIO of
// our own (send with MSG_NOSIGNAL, nothing that blocks), the handshake polled
// against its deadline, and what went wrong in the words of its cause.
#include "redis/RedisTls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "redis/RedisTlsFiles.h"

namespace kvpool {

// What the handshake and the session saw: the bytes that came, the first
// certificate check that failed, the server's alert, its wish for a
// client certificate.
struct TlsWitness {
  int fd = -1;
  std::string host;
  const TlsConfig* config = nullptr;
  std::uint64_t received = 0;
  unsigned char first = 0;  // the first byte that came
  int verifyError = 0;      // X509_V_OK: no check failed
  // The server's certificate, and the one in its chain the check failed on
  // when that is another.
  std::string subject, issuer, notAfter, names, failedAt;
  int alert = -1;  // the last alert the server sent
  bool certificateAsked = false;
};

namespace {

// The thread's error queue empty at the start of a call and at its end.
struct ErrorQueueScope {
  ErrorQueueScope() { ERR_clear_error(); }
  ~ErrorQueueScope() { ERR_clear_error(); }
};

TlsWitness* witnessOf(BIO* bio) {
  return static_cast<TlsWitness*>(BIO_get_data(bio));
}

int wireWrite(BIO* bio, const char* bytes, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t sent = send(witnessOf(bio)->fd, bytes, static_cast<std::size_t>(length),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int wireRead(BIO* bio, char* bytes, int length) {
  BIO_clear_retry_flags(bio);
  TlsWitness* witness = witnessOf(bio);
  for (;;) {
    const ssize_t got = recv(witness->fd, bytes, static_cast<std::size_t>(length), MSG_DONTWAIT);
    if (got > 0) {
      if (witness->received == 0) witness->first = static_cast<unsigned char>(bytes[0]);
      witness->received += static_cast<std::uint64_t>(got);
      return static_cast<int>(got);
    }
    if (got == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

long wireControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

const BIO_METHOD* wireMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kvpool socket");
    if (made != nullptr) {
      BIO_meth_set_write(made, wireWrite);
      BIO_meth_set_read(made, wireRead);
      BIO_meth_set_ctrl(made, wireControl);
    }
    return made;
  }();
  return method;
}

TlsWitness* witnessOf(const SSL* ssl) {
  return static_cast<TlsWitness*>(SSL_get_app_data(ssl));
}

std::string nameText(const X509_NAME* name) {
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return "?";
  X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253);
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(out, &bytes);
  std::string text(bytes != nullptr ? bytes : "", static_cast<std::size_t>(std::max(0L, length)));
  BIO_free(out);
  return text.empty() ? "(empty)" : text;
}

std::string timeText(const ASN1_TIME* time) {
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return "?";
  ASN1_TIME_print(out, time);
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(out, &bytes);
  std::string text(bytes != nullptr ? bytes : "", static_cast<std::size_t>(std::max(0L, length)));
  BIO_free(out);
  return text;
}

// The names a certificate is for: "DNS:cache.example, IP:10.0.0.7".
std::string namesOf(X509* certificate) {
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  std::string text;
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && i < 8; ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    std::string one;
    if (name->type == GEN_DNS) {
      const ASN1_STRING* dns = name->d.dNSName;
      one = "DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                 static_cast<std::size_t>(ASN1_STRING_length(dns)));
    } else if (name->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = name->d.iPAddress;
      char address[INET6_ADDRSTRLEN] = "?";
      const int length = ASN1_STRING_length(ip);
      if (length == 4 || length == 16) {
        inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), address,
                  sizeof address);
      }
      one = std::string("IP:") + address;
    }
    if (!one.empty()) text += (text.empty() ? "" : ", ") + one;
  }
  GENERAL_NAMES_free(names);
  return text.empty() ? "no names" : text;
}

// The first check that fails is kept, with the certificate it failed on.
int onVerify(int ok, X509_STORE_CTX* store) {
  if (ok != 0) return 1;
  const auto* ssl = static_cast<const SSL*>(
      X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  TlsWitness* witness = ssl != nullptr ? witnessOf(ssl) : nullptr;
  X509* failed = X509_STORE_CTX_get_current_cert(store);
  X509* server = X509_STORE_CTX_get0_cert(store);
  if (witness != nullptr && witness->verifyError == X509_V_OK && server != nullptr) {
    witness->verifyError = X509_STORE_CTX_get_error(store);
    witness->subject = nameText(X509_get_subject_name(server));
    witness->issuer = nameText(X509_get_issuer_name(server));
    witness->names = namesOf(server);
    if (failed == nullptr) failed = server;
    witness->notAfter = timeText(X509_get0_notAfter(failed));
    if (X509_cmp(failed, server) != 0) {
      witness->failedAt = nameText(X509_get_subject_name(failed));
    }
  }
  return 0;
}

// The last alert the server sent, other than the orderly close_notify.
void onInfo(const SSL* ssl, int where, int value) {
  if ((where & SSL_CB_READ_ALERT) != 0 && (value & 0xff) != SSL_AD_CLOSE_NOTIFY &&
      witnessOf(ssl) != nullptr) {
    witnessOf(ssl)->alert = value & 0xff;
  }
}

// Asked only when the server requests a certificate and the settings give none.
int onCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
  if (witnessOf(ssl) != nullptr) witnessOf(ssl)->certificateAsked = true;
  return 0;
}

// A TLS record's first byte is its type: change_cipher_spec 20 to
// application_data 23.
bool tlsRecordStart(unsigned char byte) {
  return byte >= 20 && byte <= 23;
}

}  // namespace

const char kPlainServer[] =
    "the server speaks no TLS: it answers in plain text (reach it with redis://)";

namespace {

std::string certificateFailure(const TlsWitness& witness) {
  const std::string about =
      "subject " + witness.subject + ", issuer " + witness.issuer +
      (witness.failedAt.empty() ? "" : "; failed at its chain's " + witness.failedAt);
  switch (witness.verifyError) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "host name mismatch: the server's certificate is for " + witness.names + " (" +
             about + "), not for " + witness.host + " (KVPOOL_REDIS_TLS_SERVER_NAME names another)";
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "the server's certificate expired on " + witness.notAfter + " (" + about + ")";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "the server's certificate is not valid yet (" + about + ")";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return "the server's certificate is not trusted (" + about + "): its issuer is not in " +
             (witness.config->ca.empty() ? "the system's trust store (give it in "
                                           "KVPOOL_REDIS_TLS_CA)"
                                         : "KVPOOL_REDIS_TLS_CA " + witness.config->ca);
    default:
      return "the server's certificate is refused: " +
             std::string(X509_verify_cert_error_string(witness.verifyError)) + " (" + about + ")";
  }
}

// An alert the server ended the session with, told by what it means here.
std::string alertFailure(const TlsWitness& witness) {
  const std::string alert = SSL_alert_desc_string_long(witness.alert);
  constexpr int kCertificateRequired = 116;  // TLS 1.3
  const bool noCertificate = witness.config->cert.empty();
  if (noCertificate && (witness.alert == kCertificateRequired || witness.certificateAsked)) {
    return "the server wants a client certificate (TLS alert: " + alert +
           "): set KVPOOL_REDIS_TLS_CERT and KVPOOL_REDIS_TLS_KEY";
  }
  switch (witness.alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
      if (!noCertificate) return "the server refused the client certificate (TLS alert: " + alert + ")";
      break;
    default:
      break;
  }
  return "the server ended the TLS session (alert: " + alert + ")";
}

// Why a call that SSL_get_error answered `error` failed.
std::string sessionFailure(const TlsWitness& witness, int error) {
  const unsigned long reason = ERR_peek_last_error();
  if (witness.verifyError != X509_V_OK) return certificateFailure(witness);
  if (witness.received > 0 && !tlsRecordStart(witness.first)) return kPlainServer;
  if (witness.alert >= 0) return alertFailure(witness);
  if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN ||
      ERR_GET_REASON(reason) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    const int savedErrno = errno;
    return std::string("the server closed the connection") +
           (error == SSL_ERROR_SYSCALL && savedErrno != 0 ? std::string(": ") + strerror(savedErrno)
                                                          : "");
  }
  const char* text = reason != 0 ? ERR_reason_error_string(reason) : nullptr;
  return std::string("TLS failed: ") + (text != nullptr ? text : "no reason given");
}

bool isAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The name the certificate must hold, and SNI for a name (never for an
// address).
bool setServerName(SSL* ssl, const std::string& name, bool verify) {
  if (isAddress(name)) {
    return !verify || X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
  }
  return SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 &&
         (!verify || SSL_set1_host(ssl, name.c_str()) == 1);
}

std::string handshakeTimeout(const TlsWitness& witness, int timeoutMs) {
  return "no TLS handshake within " + decimalText(timeoutMs) + " ms (" +
         (witness.received > 0 ? "the server's answer stopped)" : "the server sent nothing)");
}

}  // namespace

int awaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    pollfd ready{fd, events, 0};
    const int polled = poll(&ready, 1, static_cast<int>(std::min<long>(left.count(), 1 << 30)));
    if (polled >= 0) return polled > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

std::unique_ptr<TlsContext> TlsContext::load(const TlsConfig& config, std::string* why) {
  const ErrorQueueScope errors;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    *why = "TLS: no memory for a context";
    return nullptr;
  }
  std::unique_ptr<TlsContext> made(new TlsContext(context, config));
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A record's header and body in one read, not two.
  SSL_CTX_set_read_ahead(context, 1);
  SSL_CTX_set_info_callback(context, onInfo);
  SSL_CTX_set_client_cert_cb(context, onCertificateRequest);
  SSL_CTX_set_verify(context, config.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                     config.verify ? onVerify : nullptr);
  if (config.verify && !loadTrust(context, config.ca, why)) return nullptr;
  if (!config.cert.empty() && !loadClientCertificate(context, config.cert, config.key, why)) {
    return nullptr;
  }
  if (wireMethod() == nullptr) {
    *why = "TLS: no memory for the socket's method";
    return nullptr;
  }
  return made;
}

TlsContext::~TlsContext() {
  SSL_CTX_free(context_);
}

TlsSession::TlsSession() : witness_(std::make_unique<TlsWitness>()) {}

TlsSession::~TlsSession() {
  // No close_notify is sent: a child after fork frees what its parent uses.
  SSL_free(ssl_);
}

std::unique_ptr<TlsSession> TlsSession::start(int fd, const TlsContext& context,
                                              const std::string& host, Clock::time_point deadline,
                                              int timeoutMs, std::string* why, bool* silent) {
  const ErrorQueueScope errors;
  std::unique_ptr<TlsSession> session(new TlsSession());
  TlsWitness& witness = *session->witness_;
  witness.fd = fd;
  witness.config = &context.config();
  witness.host = context.config().serverName.empty() ? host : context.config().serverName;
  session->ssl_ = SSL_new(context.get());
  BIO* wire = session->ssl_ != nullptr ? BIO_new(wireMethod()) : nullptr;
  if (wire == nullptr) {
    *why = "TLS: no memory for a session";
    return nullptr;
  }
  BIO_set_data(wire, &witness);
  BIO_set_init(wire, 1);
  SSL_set_bio(session->ssl_, wire, wire);
  SSL_set_app_data(session->ssl_, &witness);
  SSL_set_connect_state(session->ssl_);
  if (!setServerName(session->ssl_, witness.host, context.config().verify)) {
    *why = "TLS: the server name \"" + witness.host + "\" cannot be checked";
    return nullptr;
  }
  for (;;) {
    const int result = SSL_connect(session->ssl_);
    if (result == 1) return session;
    const int error = SSL_get_error(session->ssl_, result);
    const short wants = error == SSL_ERROR_WANT_READ    ? POLLIN
                        : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                        : 0;
    const int ready = wants != 0 ? awaitReady(fd, wants, deadline) : -1;
    if (ready == 1) continue;
    if (ready == 0) {
      *why = handshakeTimeout(witness, timeoutMs);
      if (silent != nullptr) *silent = witness.received == 0;
    } else {
      *why = wants != 0 ? std::string("poll failed: ") + strerror(errno)
                        : sessionFailure(witness, error);
    }
    return nullptr;
  }
}

long TlsSession::settle(int result, short* wants) {
  if (result > 0) return result;
  const int error = SSL_get_error(ssl_, result);
  *wants = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
  if (*wants != 0) return -1;
  // The server's end: a close_notify, or the connection closed without one.
  if (error == SSL_ERROR_ZERO_RETURN ||
      (error == SSL_ERROR_SYSCALL && errno == 0 && ERR_peek_error() == 0) ||
      ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    if (witness_->alert < 0) {
      failure_ = "the server closed the connection";
      return 0;
    }
  }
  failure_ = sessionFailure(*witness_, error);
  return -1;
}

long TlsSession::write(const char* bytes, std::size_t length, short* wants) {
  const ErrorQueueScope errors;
  errno = 0;
  const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
  return settle(SSL_write(ssl_, bytes, chunk), wants);
}

long TlsSession::read(char* bytes, std::size_t length, short* wants) {
  const ErrorQueueScope errors;
  errno = 0;
  const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
  return settle(SSL_read(ssl_, bytes, chunk), wants);
}

bool TlsSession::pending() const {
  return SSL_has_pending(ssl_) == 1;
}

bool TlsSession::holdsData() const {
  return SSL_pending(ssl_) > 0;
}

bool TlsSession::onlyControlRecords() {
  const ErrorQueueScope errors;
  char byte = 0;
  // Each peek takes in at most what came; the records are few.
  for (int records = 0; records < 16; ++records) {
    errno = 0;
    const int result = SSL_peek(ssl_, &byte, 1);
    if (result > 0) return false;
    if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) return false;
    // Part of a record came unasked: what it holds cannot be told yet.
    if (SSL_has_pending(ssl_) == 1) return false;
    pollfd ready{witness_->fd, POLLIN | POLLRDHUP, 0};
    if (poll(&ready, 1, 0) == 0) return true;
    if ((ready.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return false;
  }
  return false;
}

bool answersTls(int fd, Clock::time_point deadline) {
  TlsConfig unchecked;
  unchecked.verify = false;
  std::string why;
  const std::unique_ptr<TlsContext> context = TlsContext::load(unchecked, &why);
  if (context == nullptr) return false;
  const ErrorQueueScope errors;
  TlsWitness witness;
  witness.fd = fd;
  witness.config = &context->config();
  SSL* ssl = SSL_new(context->get());
  BIO* wire = ssl != nullptr ? BIO_new(wireMethod()) : nullptr;
  if (wire == nullptr) {
    SSL_free(ssl);
    return false;
  }
  BIO_set_data(wire, &witness);
  BIO_set_init(wire, 1);
  SSL_set_bio(ssl, wire, wire);
  SSL_set_connect_state(ssl);
  // Until the server's first bytes: a handshake record, or an alert.
  while (witness.received == 0) {
    const int error = SSL_get_error(ssl, SSL_connect(ssl));
    const short wants = error == SSL_ERROR_WANT_READ    ? POLLIN
                        : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                        : 0;
    if (wants == 0 || awaitReady(fd, wants, deadline) != 1) break;
  }
  SSL_free(ssl);
  return witness.received > 0 && (witness.first == 21 || witness.first == 22);
}

}  // namespace kvpool
