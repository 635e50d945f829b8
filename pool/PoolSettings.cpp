// KVPOOL_MEMORY_PAGES and KVPOOL_MODE as this process reads them
// (pool/PoolSettings.h).
#include "pool/PoolSettings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "pool/KvPoolShm.h"
#include "pool/SnapshotFile.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

extern "C" {
int noOfPoolPages = 1;
}

namespace kvpool {
namespace {

int creationMode = 0666;
bool modeGiven = false;
// What is wrong with this process's configuration when the thread's last
// node creation was refused for it; empty otherwise.
thread_local char attachProblem[256];
std::mutex persistMutex;
std::string processPersistPath;

}  // namespace

// Texts longer than the 24-byte buffer of the format are rejected rather than
// cut, so a long text never turns into a different number.
void readPoolPages() {
  const char* text = std::getenv("KVPOOL_MEMORY_PAGES");
  if (text == nullptr) return;
  long pages = 0;
  if (std::strlen(text) <= kPageTextMax) pages = std::strtol(text, nullptr, 10);
  noOfPoolPages = pages >= 1 && pages <= KVPOOL_MAX_PAGES ? static_cast<int>(pages) : 1;
  Log("  KVPOOL_MEMORY_PAGES %s %d\n", text, noOfPoolPages);
}

// KVPOOL_MODE: the permissions, in octal, of the objects a process creates.
// A text parsePoolMode refuses is refused (with attachProblem saying why),
// never turned into some mode.
bool readPoolMode() {
  creationMode = 0666;
  modeGiven = false;
  const char* text = std::getenv("KVPOOL_MODE");
  if (text == nullptr) return true;
  int mode = 0;
  if (const char* wrong = parsePoolMode(text, &mode)) {
    std::snprintf(attachProblem, sizeof attachProblem, "KVPOOL_MODE \"%.16s\" %s", text, wrong);
    Log("  >KVPOOL_MODE %.16s refused\n", text);
    return false;
  }
  creationMode = mode;
  modeGiven = true;
  Log("  KVPOOL_MODE %s %04o\n", text, creationMode);
  return true;
}

int poolCreationMode() {
  return creationMode;
}

bool poolModeGiven() {
  return modeGiven;
}

int32_t pagesCapacity(int pages) {
  const int64_t capacity = static_cast<int64_t>(pages) * KVPOOL_PAGE_SIZE;
  return static_cast<int32_t>(std::clamp<int64_t>(capacity, 0, INT32_MAX));
}

int32_t configuredCapacity() {
  return pagesCapacity(noOfPoolPages);
}

void setPersistPath(const std::string& path) {
  const std::lock_guard<std::mutex> lock(persistMutex);
  if (path != processPersistPath) Log("  KVPOOL_PERSIST %s\n", path.c_str());
  processPersistPath = path;
}

const char* persistPath() {
  const std::lock_guard<std::mutex> lock(persistMutex);
  // Set only while no node context lives, so the text stays put meanwhile.
  return processPersistPath.empty() ? nullptr : processPersistPath.c_str();
}

std::string snapshotFilePath() {
  const char* path = persistPath();
  return path != nullptr ? path : kSnapshotPath;
}

std::string snapshotDirectory() {
  const std::string path = snapshotFilePath();
  const std::size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

void logPoolEvent(int type, int number, int line, const char* function, const char* insert) {
  int rc = 0;
  cciLog(&rc, type, kEventFile, line, function, constKvCatalog, number, kVTRL2Text, insert,
         static_cast<const char*>(nullptr));
}

ObjectProblem attachProblemBuffer() {
  return {attachProblem, sizeof attachProblem};
}

void clearAttachProblem() {
  attachProblem[0] = '\0';
}

}  // namespace kvpool

const char* getKvPoolAttachProblem(void) {
  return kvpool::attachProblem[0] != '\0' ? kvpool::attachProblem : nullptr;
}
