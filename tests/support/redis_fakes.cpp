// Loopback servers that misbehave on purpose, for the Redis client's tests.
#include "support/redis_fakes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvtest {
namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

LoopbackListener::LoopbackListener() {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listenFd_, 8);
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  stop();
  close(listenFd_);
}

void LoopbackListener::start() {
  thread_ = std::thread([this] { acceptLoop(); });
}

void LoopbackListener::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (std::thread& connection : connectionThreads_) connection.join();
  connectionThreads_.clear();
}

bool LoopbackListener::readable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, 20) > 0;
}

void LoopbackListener::acceptLoop() {
  while (!stop_) {
    if (!readable(listenFd_)) continue;
    const int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    ++connections_;
    connectionThreads_.emplace_back([this, fd] {
      serveConnection(fd);
      close(fd);
    });
  }
}

FakeServer::FakeServer(bool answerSetup, std::vector<std::string> pieces, int pauseMs,
                       std::function<std::string(int, const std::string&)> answerFor)
    : answerSetup_(answerSetup),
      pieces_(std::move(pieces)),
      pauseMs_(pauseMs),
      answerFor_(std::move(answerFor)) {
  start();
}

FakeServer::~FakeServer() {
  stop();
}

void FakeServer::pause() {
  for (int slept = 0; slept < pauseMs_ && !stopping(); slept += 10) usleep(10 * 1000);
}

void FakeServer::serveConnection(int fd) {
  bool setupDone = !answerSetup_;
  char request[64 * 1024];
  while (!stopping()) {
    if (!readable(fd)) continue;
    const ssize_t got = recv(fd, request, sizeof request, 0);
    if (got <= 0) break;
    if (!setupDone) {
      sendAll(fd, "$2\r\nab\r\n+PONG\r\n");
      setupDone = true;
      continue;
    }
    if (answerFor_) {
      sendAll(fd, answerFor_(++requests_, std::string(request, static_cast<std::size_t>(got))));
      continue;
    }
    for (const std::string& piece : pieces_) {
      if (piece.empty()) {
        // Hangs up: an end, then a reset for what the client still sends.
        shutdown(fd, SHUT_WR);
        return;
      }
      if (stopping() || !sendAll(fd, piece)) break;
      pause();
    }
  }
}

LosingProxy::LosingProxy(int serverPort) : serverPort_(serverPort) {
  start();
}

LosingProxy::~LosingProxy() {
  stop();
}

void LosingProxy::arm(const std::string& marker) {
  const std::lock_guard<std::mutex> lock(mutex_);
  marker_ = marker;
}

void LosingProxy::serveConnection(int client) {
  const int server = connectLoopback(serverPort_);
  bool losing = false;
  char bytes[64 * 1024];
  while (server >= 0 && !stopping()) {
    pollfd ready[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(ready, 2, 20) <= 0) continue;
    if (ready[0].revents != 0) {
      const ssize_t got = recv(client, bytes, sizeof bytes, 0);
      if (got <= 0) break;
      const std::string request(bytes, static_cast<std::size_t>(got));
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!marker_.empty() && request.find(marker_) != std::string::npos) {
          marker_.clear();
          losing = true;
        }
      }
      if (!sendAll(server, request)) break;
    }
    if (ready[1].revents != 0) {
      const ssize_t got = recv(server, bytes, sizeof bytes, 0);
      // The server answered the marked request: the client never hears it.
      if (got <= 0 || losing) break;
      if (!sendAll(client, std::string(bytes, static_cast<std::size_t>(got)))) break;
    }
  }
  if (server >= 0) close(server);
}

HeldConnection::HeldConnection(int port) : fd_(connectLoopback(port)) {
  // Answered, the server has surely counted it.
  char reply[64];
  if (fd_ < 0 || !sendAll(fd_, "PING\r\n")) return;
  for (int wait = 0; wait < 100; ++wait) {
    if (LoopbackListener::readable(fd_)) {
      recv(fd_, reply, sizeof reply, 0);
      return;
    }
  }
}

HeldConnection::~HeldConnection() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace kvtest
