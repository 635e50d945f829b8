// Shared by the node, script and evaluate host tests: a stand-in broker with
// the built plug-in loaded, pool probes, and forked helper processes.
#ifndef KVPOOL_TESTS_HOST_NODE_TEST_FIXTURE_H
#define KVPOOL_TESTS_HOST_NODE_TEST_FIXTURE_H

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "support/test_files.h"

namespace kvtest {

inline constexpr int kSemKey = 88888;
inline constexpr int kShmKey = 99999;

// Value of semaphore 2 (free user slots), or none when there is no set.
inline std::optional<int> freeUserSlots() {
  const int id = semget(kSemKey, 3, 0);
  if (id < 0) return std::nullopt;
  return semctl(id, 2, GETVAL);
}

inline bool poolSegmentExists() {
  return shmget(kShmKey, 0, 0) >= 0;
}

// Events of one message number (or all when number < 0).
inline std::vector<kvbroker::EventRecord> eventsNumbered(const kvbroker::Broker& broker,
                                                         int number) {
  std::vector<kvbroker::EventRecord> result;
  for (const auto& event : broker.events()) {
    if (number < 0 || event.messageNumber == number) result.push_back(event);
  }
  return result;
}

// The trace lines written since `offset` bytes of the trace file.
inline std::vector<std::string> traceLinesSince(std::size_t offset) {
  std::string text = readFile(kTracePath);
  text = offset < text.size() ? text.substr(offset) : std::string();
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

inline std::size_t traceSize() {
  return readFile(kTracePath).size();
}

// A one-byte pipe used to hand steps between a parent and a forked child.
class StepPipe {
 public:
  StepPipe() {
    if (pipe(fds_) != 0) ADD_FAILURE() << "pipe() failed";
  }
  ~StepPipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void signal() {
    const char byte = 1;
    if (write(fds_[1], &byte, 1) != 1) std::perror("step pipe write");
  }
  bool wait() {
    char byte = 0;
    return read(fds_[0], &byte, 1) == 1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Runs body in a forked child that leaves with its result through _exit, so
// no destructor of the parent's objects (broker, nodes) runs twice. A child
// reports a failed check on stderr and exits nonzero.
inline int forkChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "child: %s\n", error.what());
    }
    std::fflush(nullptr);
    _exit(code);
  }
  return pid;
}

inline int waitChild(int pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A broker with the plug-in loaded, and helpers to build flows.
class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_.emplace();
    broker_->loadPlugin(KVPOOL_PLUGIN_PATH);
    plugin_ = dlopen(KVPOOL_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(plugin_, nullptr);
  }
  void TearDown() override {
    if (plugin_ != nullptr) dlclose(plugin_);
    broker_.reset();
  }

  kvbroker::Broker& broker() { return *broker_; }
  template <typename T>
  T* pluginSymbol(const char* name) {
    return reinterpret_cast<T*>(dlsym(plugin_, name));
  }
  int poolUsers() { return *pluginSymbol<int>("poolUsers"); }

  kvbroker::Node& kvNode(const std::string& name, const std::string& script = "") {
    kvbroker::Node& node = broker_->createNode("KvPoolNode", name);
    if (!script.empty()) broker_->setAttribute(node, "KvPoolExpression", script);
    return node;
  }
  kvbroker::Node& capture(const std::string& name) {
    return broker_->createNode(kvbroker::kCaptureNodeClass, name);
  }

  std::optional<kvbroker::Broker> broker_;
  void* plugin_ = nullptr;
};

}  // namespace kvtest

#endif
