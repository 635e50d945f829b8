// How kvpool speaks: its exit statuses, the paths it names, one line per
// failure or warning on standard error, and keys and values made printable.
#ifndef KVPOOL_TOOLS_KVPOOL_REPORT_H
#define KVPOOL_TOOLS_KVPOOL_REPORT_H

#include <string>
#include <string_view>

#include "pool/PoolSettings.h"
#include "pool/SnapshotFile.h"
#include "tools/common/Text.h"

namespace kvpooltool {

// 0 done; 1 not done (no pool, no such key, pool full, refused, damage
// found, a lock not had in time); 2 bad command line.
constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;

// The snapshot file save and load use: --file, else KVPOOL_PERSIST, else
// /tmp/KvPoolData.bin (main sets it as the library's, so both use one).
inline const char* snapshotPath() {
  const char* path = kvpool::persistPath();
  return path != nullptr ? path : kvpool::kSnapshotPath;
}
constexpr const char* kTracePath = "/tmp/KvPool.log";
constexpr std::size_t kMaxKeyBytes = 255;
// How long a command waits for the pool's lock unless --wait says otherwise.
constexpr double kDefaultWaitSeconds = 5;

// "kvpool: TEXT" on standard error; returns kExitNotDone.
int fail(const std::string& text);
// "kvpool: warning: TEXT" on standard error.
void warn(const std::string& text);
// The failure of every command that needs a pool when none exists.
int noPool();

// Keys and values as kvpool shows them (kvtools::ShownAs::kData), so that
// one record stays on one line and nothing in it can act on a terminal.
inline std::string printable(std::string_view text) {
  return kvtools::shownText(text, kvtools::ShownAs::kData);
}
// The same for the one character at text[at]: appends its shown form to
// *out and returns how many bytes it took (at least 1).
inline std::size_t appendPrintable(std::string_view text, std::size_t at, std::string* out) {
  return kvtools::appendShown(text, at, kvtools::ShownAs::kData, out);
}

// A count with its noun, "1 record" or "2 records".
std::string counted(long long count, const std::string& singular, const std::string& plural);

}  // namespace kvpooltool

#endif
