// A real redis-server for a test: started on a free loopback port without
// persistence, stopped by its pid when the object goes. Commands go through
// hiredis, as the plug-in's do.
#ifndef KVPOOL_TESTS_SUPPORT_REDIS_SERVER_H
#define KVPOOL_TESTS_SUPPORT_REDIS_SERVER_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace kvtest {

class RedisServer {
 public:
  // extraArguments go after the port and persistence settings, e.g.
  // {"--requirepass", "secret"}. ok() is false when it did not answer a
  // PING within five seconds.
  explicit RedisServer(std::vector<std::string> extraArguments = {});
  // A sentinel watching the master on masterPort under name, its
  // configuration file given the lines after the monitor line (e.g.
  // "requirepass s3cret").
  static std::unique_ptr<RedisServer> sentinel(int masterPort, const std::string& name,
                                               std::vector<std::string> configLines = {});
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  bool ok() const { return pid_ > 0; }
  int port() const { return port_; }
  // "redis://127.0.0.1:PORT"
  std::string url() const;
  // Runs one command on a connection of its own; the reply as text: a
  // string or status as it is, an integer in decimal, nil as "(nil)", an
  // error as "ERR:" and its text, an array as its items joined by "\n".
  std::string command(const std::vector<std::string>& arguments,
                      const std::string& password = "") const;
  // A field of INFO, e.g. "total_commands_processed"; -1 when absent.
  long infoNumber(const std::string& field) const;
  // How often the server ran a command sent by a client, e.g. "evalsha"
  // (commands a script runs are counted under their own names).
  long commandCalls(const std::string& name) const;
  // Stops the process where it is (SIGSTOP), and lets it go on (SIGCONT):
  // what clients send meanwhile waits in the system's buffers.
  void freeze();
  void thaw();
  // SIGKILL and reaped; ok() turns false.
  void kill();
  // Starts again on the same port (after kill).
  bool restart();

 private:
  struct NotStarted {};
  explicit RedisServer(NotStarted) {}
  bool start();
  std::vector<std::string> extraArguments_;
  std::string sentinelConfig_;  // a sentinel's configuration after its port
  int port_ = 0;
  pid_t pid_ = -1;
};

// A loopback port nothing listens on at the moment of asking.
int freeLoopbackPort();

}  // namespace kvtest

#endif
