// Servers that do not play fair, on loopback ports, for the Redis client's
// tests: a fake that answers what it is told, and a proxy in front of a real
// server that loses an answer on demand. Each stops when the test drops it.
#ifndef KVPOOL_TESTS_SUPPORT_REDIS_FAKES_H
#define KVPOOL_TESTS_SUPPORT_REDIS_FAKES_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// Accepts on a free loopback port; each connection served by a thread of
// its own, so that a client that gave one up is seen connecting again at
// once.
class LoopbackListener {
 public:
  LoopbackListener();
  virtual ~LoopbackListener();
  int port() const { return port_; }
  int connections() const { return connections_; }

 protected:
  // Call last in the derived constructor, and stop first in its destructor.
  void start();
  void stop();
  virtual void serveConnection(int fd) = 0;
  bool stopping() const { return stop_; }

 public:
  // Whether fd has bytes (or an end) within 20 ms.
  static bool readable(int fd);

 private:
  void acceptLoop();
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::vector<std::thread> connectionThreads_;  // the acceptor's alone until it is joined
  std::thread thread_;
};

// Answers each connection's setup with a script digest and PONG (unless
// answerSetup is false), then every request with `pieces`, pausing pauseMs
// after each (an empty piece: hangs up); or, with answerFor, request n
// (counted over all connections, from 1) with answerFor(n, its bytes).
class FakeServer : public LoopbackListener {
 public:
  FakeServer(bool answerSetup, std::vector<std::string> pieces, int pauseMs,
             std::function<std::string(int, const std::string&)> answerFor = nullptr);
  ~FakeServer() override;

 private:
  void serveConnection(int fd) override;
  void pause();
  const bool answerSetup_;
  const std::vector<std::string> pieces_;
  const int pauseMs_;
  const std::function<std::string(int, const std::string&)> answerFor_;
  std::atomic<int> requests_{0};
};

// Relays between a client and the server on serverPort. Once armed, it
// passes on the next request that holds marker, waits for the server's
// answer, and closes the client's connection instead of relaying it.
class LosingProxy : public LoopbackListener {
 public:
  explicit LosingProxy(int serverPort);
  ~LosingProxy() override;
  void arm(const std::string& marker);

 private:
  void serveConnection(int fd) override;
  const int serverPort_;
  std::mutex mutex_;
  std::string marker_;  // empty: relay everything
};

// One process's connection to a loopback port, held until dropped.
class HeldConnection {
 public:
  explicit HeldConnection(int port);
  ~HeldConnection();

 private:
  int fd_ = -1;
};

}  // namespace kvtest

#endif
