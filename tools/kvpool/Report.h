// How kvpool speaks: its exit statuses, the paths it names, one line per
// failure or warning on standard error, and keys and values made printable.
#ifndef KVPOOL_TOOLS_KVPOOL_REPORT_H
#define KVPOOL_TOOLS_KVPOOL_REPORT_H

#include <string>
#include <string_view>

namespace kvpooltool {

// 0 done; 1 not done (no pool, no such key, pool full, refused, damage
// found, a lock not had in time); 2 bad command line.
constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;

constexpr const char* kSnapshotPath = "/tmp/KvPoolData.bin";
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

// Control characters and backslashes escaped, so that one record stays on
// one line: \n \t \r \\ and \xNN.
std::string printable(std::string_view text);

// A count with its noun, "1 record" or "2 records".
std::string counted(long long count, const std::string& singular, const std::string& plural);

}  // namespace kvpooltool

#endif
