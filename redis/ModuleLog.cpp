#include "redis/ModuleLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kvpool {
namespace {

std::atomic<const KvPoolRedisHost*> moduleHost{nullptr};

}  // namespace

void setModuleHost(const KvPoolRedisHost* host) {
  moduleHost.store(host, std::memory_order_release);
}

void Log(const char* format, ...) {
  const KvPoolRedisHost* host = moduleHost.load(std::memory_order_acquire);
  if (host == nullptr || host->log == nullptr) return;
  char line[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  host->log(line);
}

}  // namespace kvpool
