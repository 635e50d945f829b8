// kvpool's commands and the pieces they share. A command returns the exit
// status, its result or one line per failure printed; waitSeconds bounds
// every wait for the pool's lock.
#ifndef KVPOOL_TOOLS_KVPOOL_COMMANDS_H
#define KVPOOL_TOOLS_KVPOOL_COMMANDS_H

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/PersistPolicy.h"
#include "pool/PoolAccess.h"
#include "pool/PoolBackend.h"
#include "pool/PoolRecords.h"
#include "pool/PoolSettings.h"
#include "pool/SnapshotFile.h"
#include "tools/common/Text.h"

namespace kvpooltool {

// 0 done; 1 not done (no pool, no such key, pool full, refused, damage
// found, a lock not had in time); 2 bad command line.
constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;

using kvpool::snapshotFilePath;
constexpr const char* kTracePath = "/tmp/KvPool.log";
using kvpool::kMaxKeyBytes;
constexpr double kDefaultWaitSeconds = 5;
constexpr int64_t kLargestPoolBytes = int64_t{KVPOOL_MAX_PAGES} * KVPOOL_PAGE_SIZE;

// "kvpool: TEXT" on standard error, on one line with nothing a terminal acts
// on (a reason may quote a server's or a file's bytes); returns kExitNotDone.
inline int fail(const std::string& text) {
  std::cerr << "kvpool: " << kvtools::shownText(text, kvtools::ShownAs::kMessage) << std::endl;
  return kExitNotDone;
}
inline void warn(const std::string& text) {
  std::cerr << "kvpool: warning: " << kvtools::shownText(text, kvtools::ShownAs::kMessage)
            << std::endl;
}
inline int noPool() {
  return fail(
      "no pool exists on this machine (no segment with key 99999); kvpool never creates one: "
      "the first KvPoolNode of a running flow does");
}
// Keys and values kept on one line, with nothing a terminal acts on.
inline std::string printable(std::string_view text) {
  return kvtools::shownText(text, kvtools::ShownAs::kData);
}
using kvtools::counted;
// A JSON document with nothing a terminal acts on: texts from outside go in
// through escapeBytes (lossless), DEL and C1 controls come out escaped.
inline void printJson(const nlohmann::ordered_json& document) {
  std::cout << kvtools::escapeJsonControls(
                   document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace))
            << "\n";
}
using kvtools::escapeBytes;
// Why a key no store can have made is refused, or empty.
inline std::string keyLengthProblem(const std::string& key) {
  if (kvpool::poolKeyLengthAllowed(key.size())) return {};
  return "a key has 1 to 255 bytes; this one has " + std::to_string(key.size());
}
// list's records (a null value left out): a JSON document of head's fields
// and "records", or aligned "KEY  VALUE" lines.
void printRecords(bool json, nlohmann::ordered_json head, const std::vector<std::string>& keys,
                  const std::vector<const std::string*>& values);
// verify's damage lines and count; kExitDone (nothing printed) when none.
int reportDamage(const std::string& what, const std::vector<std::string>& damage);

// The pool's bytes as read: the segment's used part, or a snapshot file.
struct PoolImage {
  std::vector<unsigned char> bytes;
  int32_t limit = 0;  // segment size, or file size
  bool isSnapshot = false;
  bool locked = false;               // read under the read lock
  kvpool::PoolPersistFacts persist;  // what the pool records of KVPOOL_PERSIST
};
struct Record {
  std::string key, value;
};
struct Walk {
  PoolControl header{};
  std::vector<Record> records;
  std::vector<std::string> damage;  // each inconsistency, one line
  std::vector<std::string> notes;   // worth knowing, not damage
  bool sound() const { return damage.empty(); }
};

// Copies the segment's used bytes under the read lock (none without a set),
// a store cut short by a killed writer put right first. *status: the segment
// as found (zero when not). Empty with *why when it cannot be read.
std::optional<PoolImage> readSegment(const kvpool::PoolIds& ids, double waitSeconds,
                                     kvpool::PoolSegmentStatus* status, std::string* why);
// The live pool (warning when it has no lock to read under) or the snapshot
// file; empty with the failure reported and its status in *exitStatus.
std::optional<PoolImage> readPool(bool snapshot, double waitSeconds, int* exitStatus);
// The bytes of snapshotFilePath() (--file, else KVPOOL_PERSIST, else
// /tmp/KvPoolData.bin) through the library's reader (no link, a regular file
// of one link, no larger than the largest pool), or empty with *why.
std::optional<PoolImage> readSnapshotFile(std::string* why);
// Walks the header and the record chain, naming every inconsistency.
Walk walkPool(const PoolImage& image);

// Before a library call that takes the writer lock itself, without bound:
// waits, bounded, until the lock can be had and gives it back; false with
// *why (who holds it). Another process may take it before the call, which
// then waits as a node would: that holder has just shown it is alive.
bool awaitWriterLock(int semaphoreSet, double waitSeconds, std::string* why);

// The steps of every change of the live pool (ChangeCommands.cpp): refuses a
// missing pool or one without a semaphore set, warns on a leftover nothing
// keeps alive, and waits for the writer lock; kExitDone to go on, else the
// reported failure's status.
int prepareChange(const kvpool::PoolIds& ids, const std::string& what, double waitSeconds);
// Maps the existing pool read-write; false when not, the failure reported.
bool openForChange(const kvpool::PoolIds& ids, kvpool::OpenedPool* pool);
// Warns when the pool's last node context removed it during the change.
void warnIfRemovedMeanwhile(int segment);
// The record a store makes of a key and a value of these lengths.
inline long long recordBytes(std::size_t keyBytes, std::size_t valueBytes) {
  return kvpool::kRecordHeaderBytes + static_cast<long long>(keyBytes + 1 + valueBytes + 1);
}

using FileFacts = std::optional<struct stat>;  // empty: no such file

// Everything status, metrics and watch tell, gathered once so they agree.
struct PoolFacts {
  kvpool::PoolIds ids;
  std::optional<kvpool::PoolSemaphoreValues> semaphores;  // empty: no set, or unreadable
  std::string semaphoreError;                             // why unreadable, when a set exists
  kvpool::PoolSegmentStatus segment;                      // as found before kvpool mapped it
  std::optional<PoolImage> image;                         // the used bytes
  std::string imageError;                                 // why not, when a segment exists
  Walk walk;                                              // of image
  FileFacts snapshot;
  FileFacts trace;
  kvpool::DeadSavesFiles leftovers;   // temporary files of killed saves
  std::vector<std::string> warnings;  // the pages variable, a nearly full pool
  // The pool is there but this user may not open it: owner and mode.
  std::optional<std::string> accessDenied;

  bool present() const { return ids.exists(); }
  int nodeContexts() const { return semaphores ? semaphores->nodeContexts() : 0; }
  int32_t capacity() const { return image ? image->limit : 0; }
  int32_t used() const {
    return image ? std::clamp(walk.header.usedSize, kvpool::kPoolHeaderBytes,
                              std::max(capacity(), kvpool::kPoolHeaderBytes))
                 : 0;
  }
  int32_t records() const { return image ? static_cast<int32_t>(walk.records.size()) : 0; }
  double share() const { return capacity() > 0 ? static_cast<double>(used()) / capacity() : 0; }
};
PoolFacts gatherPoolFacts(double waitSeconds);
// "owned by user app (uid 1001), mode 0600: this user may not open it
// (permission denied)", from /proc/sysvipc/shm, which anyone may read;
// without it only the last part.
std::string accessDeniedText();
// What is wrong with KVPOOL_MEMORY_PAGES, or nothing when it is unset or a
// whole number from 1 to 5000: a pool created with it would silently get 1.
std::optional<std::string> checkPagesVariable();

// The command line as main read it.
struct Request {
  std::string command;
  double waitSeconds = kDefaultWaitSeconds;
  bool json = false, snapshot = false, force = false, replace = false;
  std::string key, value, path = "-", backend, backendFile, file;
  std::vector<std::string> keys;
  int intervalMs = 1000;
};

int runStatus(bool json, double waitSeconds);
int runMetrics(double waitSeconds);
int runList(bool json, bool snapshot, double waitSeconds);
int runGet(const std::string& key, double waitSeconds);
int runVerify(bool snapshot, double waitSeconds);
int runSet(const std::string& key, const std::string& value, double waitSeconds);
int runDelete(const std::vector<std::string>& keys, double waitSeconds);
int runClear(bool force, double waitSeconds);
int runSave(double waitSeconds);
int runLoad(double waitSeconds);
int runRemove(bool force);
// outputPath and inputPath "-" are standard output and input.
int runExport(const std::string& outputPath, double waitSeconds);
int runImport(const std::string& inputPath, bool replace, double waitSeconds);
// A live view on a terminal, one view elsewhere.
int runWatch(int intervalMs, double waitSeconds);

// The pool on Redis: readBackend takes --backend (empty: KVPOOL_BACKEND) with
// KVPOOL_REDIS_PREFIX and KVPOOL_REDIS_TIMEOUT_MS, false when malformed.
bool readBackend(const std::string& url, kvpool::BackendConfig* backend);
int runRemote(const kvpool::BackendConfig& backend, const Request& request);

}  // namespace kvpooltool

#endif
