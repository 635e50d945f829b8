// The Redis module, libKvPoolRedis.so: opened (dlopen, never closed) only
// when the settings name Redis, from beside the object that holds this code:
// the plug-in, or a program linked with it (kvpool, tests), which then also
// looks in its installed module folder and in the build tree. No setting
// names the file, so no one can aim a process at another object.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

constexpr char kModuleName[] = "libKvPoolRedis.so";

// The file of the loaded object that holds this code; *program when that is
// the program itself (its link map has no name).
std::string holderPath(bool* program) {
  Dl_info info{};
  link_map* map = nullptr;
  const bool found = dladdr1(reinterpret_cast<void*>(&holderPath), &info,
                             reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0;
  *program = !found || map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0';
  if (!*program) return map->l_name;
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  return length > 0 ? std::string(self, static_cast<std::size_t>(length)) : std::string();
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A module only its owner (root or this user) can have written.
bool trustedFile(const std::string& path, std::string* why) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    *why = path + " is not a regular file";
  } else if (status.st_uid != 0 && status.st_uid != geteuid()) {
    *why = path + " belongs to another user";
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = path + " is writable by others";
  } else {
    return true;
  }
  return false;
}

// "libhiredis.so.0.14: cannot open shared object file..." names the
// Debian package that brings the library it misses.
std::string loadProblem(const std::string& path, const char* error) {
  std::string text = error != nullptr ? error : "dlopen() failed";
  const std::size_t at = text.find("libhiredis.so.");
  if (at != std::string::npos) {
    const std::size_t end = text.find(':', at);
    const std::string library = text.substr(at, end - at);
    text = library + text.substr(end) + ": install libhiredis" +
           library.substr(std::strlen("libhiredis.so."));
  }
  return path + ": " + text;
}

void hostLog(const char* line) {
  Log("%s", line);
}

const KvPoolRedisHost kHost = {kKvPoolBackendVersion, 0, hostLog};

std::mutex loadMutex;
KvPoolRedisOpen moduleOpen = nullptr;

KvPoolRedisOpen loadModule(std::string* problem) {
  const std::lock_guard<std::mutex> lock(loadMutex);
  if (moduleOpen != nullptr) return moduleOpen;
  bool program = false;
  const std::string holder = holderPath(&program);
  std::vector<std::string> candidates = {folderOf(holder) + "/" + kModuleName};
  if (program) {
    candidates.push_back(folderOf(holder) + "/../lib/kvpool/" + kModuleName);
#ifdef KVPOOL_BUILD_MODULE_PATH
    candidates.push_back(KVPOOL_BUILD_MODULE_PATH);
#endif
  }
  for (const std::string& path : candidates) {
    std::string why;
    if (!trustedFile(path, &why)) {
      if (!why.empty()) {
        *problem = why;
        return nullptr;
      }
      continue;
    }
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      *problem = loadProblem(path, dlerror());
      return nullptr;
    }
    moduleOpen = reinterpret_cast<KvPoolRedisOpen>(dlsym(module, KVPOOL_REDIS_OPEN_NAME));
    if (moduleOpen == nullptr) *problem = path + ": no " + KVPOOL_REDIS_OPEN_NAME;
    return moduleOpen;
  }
  *problem = std::string(kModuleName) + " is not beside " + holder;
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    *problem += (i == 1 ? " nor in " : ", ") + folderOf(candidates[i]);
  }
  *problem += ": install the kvpool-redis package";
  return nullptr;
}

}  // namespace

KvPoolBackend* openRemoteBackend(const BackendConfig& config, std::string* problem) {
  const KvPoolRedisOpen open = loadModule(problem);
  if (open == nullptr) {
    Log("  >pool backend %s: %s\n", config.describe().c_str(), problem->c_str());
    return nullptr;
  }
  std::vector<KvPoolEndpoint> sentinels;
  for (const RedisEndpoint& sentinel : config.sentinels) {
    sentinels.push_back({sentinel.host.c_str(), sentinel.port, 0});
  }
  const KvPoolRedisSettings settings = {kKvPoolBackendVersion,
                                        config.kind == BackendConfig::Kind::kSentinel ? 2 : 1,
                                        {config.server.host.c_str(), config.server.port, 0},
                                        sentinels.data(),
                                        sentinels.size(),
                                        config.master.c_str(),
                                        config.user.c_str(),
                                        config.password.c_str(),
                                        poolText(config.prefix),
                                        config.database,
                                        config.timeoutMs};
  KvPoolOutcome outcome{};
  KvPoolBackend* backend = open(&kHost, &settings, &outcome);
  if (backend == nullptr) *problem = outcome.reason;
  return backend;
}

}  // namespace kvpool
