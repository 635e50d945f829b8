// The tests' certificates, made with the openssl tool, and their TLS front.
#include "support/tls_files.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/test_files.h"

namespace kvtest {
namespace {

constexpr char kMake[] = R"(set -e
mkdir -p /tmp/tls && cd /tmp/tls
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; chmod 600 "$1.key"; }
ca() { key "$1"; openssl req -x509 -new -key "$1.key" -out "$1.crt" -days 2 -subj "/CN=$2"; }
leaf() {
  key "$1"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$4"
  printf 'subjectAltName=%s\n' "$5" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -out "$1.crt" \
    -days "$3" -extfile "$1.ext"
}
ca ca "KvPool Test CA"
ca stranger-ca "Stranger CA"
leaf server ca 2 localhost "DNS:localhost,IP:127.0.0.1"
leaf expired ca -1 localhost "DNS:localhost,IP:127.0.0.1"
leaf elsewhere ca 2 elsewhere.test "DNS:elsewhere.test"
leaf stranger stranger-ca 2 localhost "DNS:localhost,IP:127.0.0.1"
leaf client ca 2 "kvpool client" "DNS:client"
)";

int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TlsFiles::TlsFiles() {
  writeFile("/tmp/tls-make.sh", kMake);
  ok_ = std::system("sh /tmp/tls-make.sh >/dev/null 2>&1") == 0;
}

const TlsFiles& TlsFiles::made() {
  static const TlsFiles files;
  return files;
}

std::vector<std::string> TlsFiles::serverArguments(int tlsPort, const std::string& name,
                                                   const std::string& authClients) const {
  return {"--tls-port",         std::to_string(tlsPort), "--tls-cert-file", crt(name),
          "--tls-key-file",     key(name),               "--tls-ca-cert-file", crt("ca"),
          "--tls-auth-clients", authClients};
}

TlsFront::TlsFront(int backendPort, const std::string& name, Mode mode)
    : backendPort_(backendPort), mode_(mode) {
  context_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate_chain_file(context_, TlsFiles::made().crt(name).c_str());
  SSL_CTX_use_PrivateKey_file(context_, TlsFiles::made().key(name).c_str(), SSL_FILETYPE_PEM);
  start();
}

TlsFront::~TlsFront() {
  stop();
  SSL_CTX_free(context_);
}

void TlsFront::serveConnection(int fd) {
  // OpenSSL writes with write(): a client gone raises SIGPIPE at this
  // thread alone, which ignores it.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  // No read waits long, so that the front stops with the test.
  const timeval wait{0, 50 * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  SSL* ssl = SSL_new(context_);
  SSL_set_fd(ssl, fd);
  const int backend = connectLoopback(backendPort_);
  bool open = backend >= 0;
  for (int tries = 0; open && SSL_accept(ssl) != 1; ++tries) open = tries < 40 && !stopping();
  BIO* held = nullptr;  // kHalfRecords: the records, before half of them go out
  if (open && mode_ == kHalfRecords) {
    held = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl, held);
  }
  char bytes[64 * 1024];
  while (open && !stopping()) {
    pollfd ready[2] = {{fd, POLLIN, 0}, {backend, POLLIN, 0}};
    if (SSL_pending(ssl) == 0 && poll(ready, 2, 20) <= 0) continue;
    if (SSL_pending(ssl) > 0 || ready[0].revents != 0) {
      const int got = SSL_read(ssl, bytes, sizeof bytes);
      if (got > 0) open = send(backend, bytes, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got;
      if (got <= 0) open = SSL_get_error(ssl, got) == SSL_ERROR_WANT_READ;
    }
    if (open && ready[1].revents != 0) {
      const ssize_t got = recv(backend, bytes, sizeof bytes, 0);
      open = got > 0 && SSL_write(ssl, bytes, static_cast<int>(got)) == got;
      if (open && mode_ == kKeyUpdates) {
        open = SSL_key_update(ssl, SSL_KEY_UPDATE_NOT_REQUESTED) == 1 && SSL_do_handshake(ssl) == 1;
      }
      if (open && held != nullptr) {
        char* records = nullptr;
        const long length = BIO_get_mem_data(held, &records);
        send(fd, records, static_cast<std::size_t>(length / 2), MSG_NOSIGNAL);
        while (!stopping()) usleep(10 * 1000);
      }
      if (got == 0) shutdown(fd, SHUT_WR);  // the server hung up
    }
  }
  SSL_free(ssl);
  if (backend >= 0) close(backend);
}

}  // namespace kvtest
