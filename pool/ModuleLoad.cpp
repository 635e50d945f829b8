// The Redis module, libKvPoolRedis.so: opened (dlopen, never closed) only
// when the settings name Redis, from beside the object that holds this code:
// the plug-in, or a program linked with it (kvpool, tests), which then also
// looks in its installed module folder and in the build tree. No setting
// names the file, so no one can aim a process at another object. The file
// is opened once and checked on its descriptor before the loader maps it,
// and the table the module hands back is checked before any of it is
// called; every refusal names the file and what to install.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pool/PoolBackend.h"
#include "support/FileIo.h"
#include "support/Trace.h"
#include "support/UniqueFd.h"

namespace kvpool {
namespace {

constexpr char kModuleName[] = "libKvPoolRedis.so";
constexpr char kPackageAdvice[] = ": install the kvpool-redis package";

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

// Root, or the user this process runs as.
bool trustedOwner(uid_t owner) {
  return owner == 0 || owner == geteuid();
}

// What is wrong with the module's folder: another user's, or one others may
// write to (they could have put any file there under the module's name).
std::string folderProblem(int folder, const std::string& path) {
  struct stat status {};
  if (fstat(folder, &status) != 0) return folderOf(path) + ": fstat failed: " + strerror(errno);
  if (!trustedOwner(status.st_uid)) return folderOf(path) + " belongs to another user";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return folderOf(path) + " is writable by others";
  }
  return "";
}

// The file's end must hold every segment its program headers map: the
// loader maps a file cut short all the same, and the process dies of SIGBUS
// when it first touches a page past the end.
std::string segmentsProblem(int file, const std::string& path, uint64_t fileBytes) {
  ElfW(Ehdr) header{};
  if (readAllAt(file, &header, sizeof header, 0) != sizeof header ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_phentsize != sizeof(ElfW(Phdr))) {
    return path + " is not a shared object of this machine" + kPackageAdvice;
  }
  const uint64_t tableBytes = uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
  const bool tableFits = header.e_phoff <= fileBytes && tableBytes <= fileBytes - header.e_phoff;
  uint64_t needed = tableFits ? header.e_phoff + tableBytes : UINT64_MAX;
  std::vector<ElfW(Phdr)> segments(tableFits ? header.e_phnum : 0);
  if (tableFits && readAllAt(file, segments.data(), tableBytes,
                             static_cast<off_t>(header.e_phoff)) != tableBytes) {
    return path + ": its program headers cannot be read: " + strerror(errno);
  }
  for (const ElfW(Phdr) & segment : segments) {
    if (segment.p_type != PT_LOAD) continue;
    const bool fits =
        segment.p_filesz <= fileBytes && segment.p_offset <= fileBytes - segment.p_filesz;
    needed = std::max<uint64_t>(needed, fits ? segment.p_offset + segment.p_filesz : UINT64_MAX);
  }
  if (needed <= fileBytes) return "";
  return path + " is cut short (" + decimalText(static_cast<long>(fileBytes)) +
         " bytes, less than its program headers map)" + kPackageAdvice;
}

// One candidate, opened once without following a link and checked on that
// descriptor: a regular file of root or this user that no one else may
// write, in such a folder, that holds what it maps. An empty descriptor
// with an empty *why: there is no such file.
UniqueFd openModule(const std::string& path, std::string* why) {
  const UniqueFd folder(open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return UniqueFd();
  UniqueFd file(openat(folder.get(), kModuleName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!file.valid()) {
    if (errno != ENOENT) {
      *why = path + (errno == ELOOP ? std::string(" is not a regular file")
                                    : " cannot be opened: " + std::string(strerror(errno)));
    }
  } else if (fstat(file.get(), &status) != 0) {
    *why = path + ": fstat failed: " + strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    *why = path + " is not a regular file";
  } else if (!trustedOwner(status.st_uid)) {
    *why = path + " belongs to another user";
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = path + " is writable by others";
  } else if (std::string problem = folderProblem(folder.get(), path); !problem.empty()) {
    *why = problem;
  } else {
    *why = segmentsProblem(file.get(), path, static_cast<uint64_t>(status.st_size));
  }
  if (!why->empty()) file.reset();
  return file;
}

// "libhiredis.so.0.14: cannot open shared object file..." names the
// Debian package that brings the library it misses; the descriptor's name
// the loader was given becomes the module's path again.
std::string loadProblem(const std::string& path, const std::string& loaderName, const char* error) {
  std::string text = error != nullptr ? error : "dlopen() failed";
  if (text.rfind(loaderName + ": ", 0) == 0) text.erase(0, loaderName.size() + 2);
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

const KvPoolRedisHost kHost = {kKvPoolBackendVersion, sizeof(KvPoolRedisHost), hostLog};

std::mutex loadMutex;
KvPoolRedisOpen moduleOpen = nullptr;
std::string modulePath;

// The loader is handed the descriptor's own name, "/proc/self/fd/N": it
// takes only a path, and the candidate's path could name another file by
// the time the loader opened it again.
KvPoolRedisOpen loadChecked(const std::string& path, const UniqueFd& file, std::string* problem) {
  const std::string loaderName = "/proc/self/fd/" + decimalText(file.get());
  void* module = dlopen(loaderName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *problem = access("/proc/self/fd", F_OK) == 0
                   ? loadProblem(path, loaderName, dlerror())
                   : path + ": cannot be loaded through its descriptor without /proc mounted";
    return nullptr;
  }
  const auto open = reinterpret_cast<KvPoolRedisOpen>(dlsym(module, KVPOOL_REDIS_OPEN_NAME));
  if (open == nullptr) *problem = path + ": no " + KVPOOL_REDIS_OPEN_NAME + kPackageAdvice;
  return open;
}

KvPoolRedisOpen loadModule(std::string* path, std::string* problem) {
  const std::lock_guard<std::mutex> lock(loadMutex);
  if (moduleOpen != nullptr) {
    *path = modulePath;
    return moduleOpen;
  }
  bool program = false;
  const std::string holder = holderPath(&program);
  std::vector<std::string> candidates = {folderOf(holder) + "/" + kModuleName};
  if (program) {
    candidates.push_back(folderOf(holder) + "/../lib/kvpool/" + kModuleName);
#ifdef KVPOOL_BUILD_MODULE_PATH
    candidates.push_back(KVPOOL_BUILD_MODULE_PATH);
#endif
  }
  for (const std::string& candidate : candidates) {
    std::string why;
    const UniqueFd file = openModule(candidate, &why);
    if (!why.empty()) {
      *problem = why;
      return nullptr;
    }
    if (!file.valid()) continue;
    moduleOpen = loadChecked(candidate, file, problem);
    modulePath = candidate;
    *path = candidate;
    return moduleOpen;
  }
  *problem = std::string(kModuleName) + " is not beside " + holder;
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    *problem += (i == 1 ? " nor in " : ", ") + folderOf(candidates[i]);
  }
  *problem += kPackageAdvice;
  return nullptr;
}

// A backend the module handed back, checked before any of its table is
// called; null with *problem naming the module, both sides' versions and
// the package.
KvPoolBackend* checkedBackend(KvPoolBackend* backend, const KvPoolOutcome& outcome,
                              const std::string& path, std::string* problem) {
  std::string refusal;
  if (backend == nullptr) {
    refusal = outcome.reason[0] != '\0' ? outcome.reason : "no backend and no reason";
  } else {
    refusal = backendTableProblem(backend->methods, "this plug-in");
    if (!refusal.empty()) refusal = "refused " + refusal;
  }
  if (refusal.empty()) return backend;
  // A table that cannot be trusted is not called, not even to close it.
  *problem = path + ": " + refusal + ": install the kvpool-redis package of this plug-in's version";
  return nullptr;
}

}  // namespace

KvPoolBackend* openRemoteBackend(const BackendConfig& config, std::string* problem) {
  std::string path;
  const KvPoolRedisOpen open = loadModule(&path, problem);
  if (open == nullptr) {
    Log("  >pool backend %s: %s\n", config.describe().c_str(), problem->c_str());
    return nullptr;
  }
  std::vector<KvPoolEndpoint> sentinels;
  for (const RedisEndpoint& sentinel : config.sentinels) {
    sentinels.push_back({sentinel.host.c_str(), sentinel.port, 0});
  }
  const auto unlessEmpty = [](const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
  };
  const TlsConfig& tls = config.tls;
  const KvPoolRedisSettings settings = {
      kKvPoolRedisSettingsVersion,
      (config.kind == BackendConfig::Kind::kSentinel ? 2 : 1) + (tls.on ? 2 : 0),
      {config.server.host.c_str(), config.server.port, 0},
      sentinels.data(),
      sentinels.size(),
      config.master.c_str(),
      config.user.c_str(),
      config.password.c_str(),
      poolText(config.prefix),
      config.database,
      config.timeoutMs,
      unlessEmpty(tls.ca),
      unlessEmpty(tls.serverName),
      unlessEmpty(tls.cert),
      unlessEmpty(tls.key),
      tls.verify ? 1 : 0,
      0};
  KvPoolOutcome outcome{};
  KvPoolBackend* backend =
      checkedBackend(open(&kHost, &settings, &outcome), outcome, path, problem);
  if (backend == nullptr)
    Log("  >pool backend %s: %s\n", config.describe().c_str(), problem->c_str());
  return backend;
}

}  // namespace kvpool
