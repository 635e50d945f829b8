// Starting, asking and stopping a real redis-server for a test.
#include "support/redis_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvtest {
namespace {

constexpr int kReadyPolls = 500;
constexpr long kReadyPollNanos = 10L * 1000 * 1000;

std::string replyText(const redisReply* reply) {
  switch (reply->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      return std::string(reply->str, reply->len);
    case REDIS_REPLY_ERROR:
      return "ERR:" + std::string(reply->str, reply->len);
    case REDIS_REPLY_INTEGER:
      return std::to_string(reply->integer);
    case REDIS_REPLY_ARRAY: {
      std::string text;
      for (std::size_t i = 0; i < reply->elements; ++i) {
        text += (i ? "\n" : "") + replyText(reply->element[i]);
      }
      return text;
    }
    default:
      return "(nil)";
  }
}

}  // namespace

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

RedisServer::RedisServer(std::vector<std::string> extraArguments)
    : extraArguments_(std::move(extraArguments)) {
  // Another process may take the free port first: try a few.
  for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
    port_ = freeLoopbackPort();
    start();
  }
}

std::unique_ptr<RedisServer> RedisServer::sentinel(int masterPort, const std::string& name,
                                                   std::vector<std::string> configLines) {
  std::unique_ptr<RedisServer> server(new RedisServer(NotStarted{}));
  server->sentinelConfig_ =
      "sentinel monitor " + name + " 127.0.0.1 " + std::to_string(masterPort) + " 1\n";
  for (const std::string& line : configLines) server->sentinelConfig_ += line + "\n";
  for (int attempt = 0; attempt < 5 && server->pid_ <= 0; ++attempt) {
    server->port_ = freeLoopbackPort();
    server->start();
  }
  return server;
}

RedisServer::~RedisServer() {
  kill();
}

std::string RedisServer::url() const {
  return "redis://127.0.0.1:" + std::to_string(port_);
}

bool RedisServer::start() {
  std::vector<std::string> arguments = {
      "redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
      "--save",       "",       "--appendonly",        "no",     "--dir",
      "/tmp"};
  arguments.insert(arguments.end(), extraArguments_.begin(), extraArguments_.end());
  if (!sentinelConfig_.empty()) {
    // A sentinel rewrites its file: one of its own, in the test's /tmp.
    const std::string path = "/tmp/sentinel-" + std::to_string(port_) + ".conf";
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    std::fprintf(file, "port %d\nbind 127.0.0.1\ndir /tmp\n%s", port_, sentinelConfig_.c_str());
    std::fclose(file);
    arguments = {"redis-server", path, "--sentinel"};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    // A test that dies (a signal, an abort) takes its server with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execvp("redis-server", argv.data());
    _exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  for (int poll = 0; poll < kReadyPolls; ++poll) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) break;  // it ended: the port was taken
    const std::string pong = command({"PING"});
    if (pong == "PONG" || pong.rfind("ERR:NOAUTH", 0) == 0) return true;
    timespec pause{0, kReadyPollNanos};
    nanosleep(&pause, nullptr);
  }
  kill();
  return false;
}

std::string RedisServer::command(const std::vector<std::string>& arguments,
                                 const std::string& password) const {
  timeval timeout{2, 0};
  redisContext* context = redisConnectWithTimeout("127.0.0.1", port_, timeout);
  if (context == nullptr || context->err != 0) {
    if (context != nullptr) redisFree(context);
    return "ERR:cannot connect";
  }
  redisSetTimeout(context, timeout);
  if (!password.empty()) {
    freeReplyObject(redisCommand(context, "AUTH %s", password.c_str()));
  }
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
    lengths.push_back(argument.size());
  }
  auto* reply = static_cast<redisReply*>(
      redisCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data()));
  std::string text = reply != nullptr ? replyText(reply) : "ERR:no answer";
  if (reply != nullptr) freeReplyObject(reply);
  redisFree(context);
  return text;
}

long RedisServer::infoNumber(const std::string& field) const {
  const std::string info = command({"INFO", "all"});
  const std::size_t at = info.find("\n" + field + ":");
  if (at == std::string::npos) return -1;
  return std::strtol(info.c_str() + at + field.size() + 2, nullptr, 10);
}

long RedisServer::commandCalls(const std::string& name) const {
  const std::string info = command({"INFO", "commandstats"});
  const std::string field = "cmdstat_" + name + ":calls=";
  const std::size_t at = info.find(field);
  return at == std::string::npos ? 0 : std::strtol(info.c_str() + at + field.size(), nullptr, 10);
}

void RedisServer::freeze() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void RedisServer::thaw() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void RedisServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) == -1 && errno == EINTR) {
  }
  pid_ = -1;
}

bool RedisServer::restart() {
  kill();
  return start();
}

}  // namespace kvtest
