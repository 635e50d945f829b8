// What the environment tells this process about the pool it creates:
// KVPOOL_MEMORY_PAGES (its size) and KVPOOL_MODE (its objects' permissions),
// and the calling thread's note of a configuration it refused. Internal to
// pool/.
#ifndef KVPOOL_POOL_POOLSETTINGS_H
#define KVPOOL_POOL_POOLSETTINGS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvpool {

// A buffer for a problem text; empty while there is none.
struct ObjectProblem {
  char* text;
  std::size_t bytes;
};

constexpr int kPageTextMax = 23;  // the longest KVPOOL_MEMORY_PAGES text taken

// Reads KVPOOL_MEMORY_PAGES into noOfPoolPages (1 when out of range), traced.
void readPoolPages();
// Reads KVPOOL_MODE; false (with the problem noted) when it is refused.
bool readPoolMode();
// The permissions of the objects this process creates (0666 unless
// KVPOOL_MODE gives them), and whether KVPOOL_MODE was given: then the
// objects it joins must have them.
int poolCreationMode();
bool poolModeGiven();

// Bytes that pages of 4096 hold, as an int32 bound; the process's.
int32_t pagesCapacity(int pages);
int32_t configuredCapacity();

// KVPOOL_PERSIST: the file a pool is loaded from when created and saved to
// when the machine's last node context leaves (checked by readBackendConfig,
// pool/PoolBackend.h). setPersistPath makes a checked path (or none: empty)
// the process's, as the backend choice or a tool's --file does; persistPath
// is it, or null. snapshotFilePath is the file saves and loads use: the
// process's path, else /tmp/KvPoolData.bin; snapshotDirectory is its folder.
void setPersistPath(const std::string& path);
const char* persistPath();
std::string snapshotFilePath();
std::string snapshotDirectory();

// Logs event number (line, function) of the pool's catalogue with one insert
// (null: none).
void logPoolEvent(int type, int number, int line, const char* function, const char* insert);

// The calling thread's configuration problem (getKvPoolAttachProblem), as a
// buffer the object checks write into, and cleared.
ObjectProblem attachProblemBuffer();
void clearAttachProblem();

}  // namespace kvpool

#endif
