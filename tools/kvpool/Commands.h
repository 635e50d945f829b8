// kvpool's commands, one function each; main.cpp parses the command line and
// calls them. Each returns the exit status (tools/kvpool/Report.h) and has
// printed its result or one line per failure. waitSeconds bounds every wait
// for the pool's lock.
#ifndef KVPOOL_TOOLS_KVPOOL_COMMANDS_H
#define KVPOOL_TOOLS_KVPOOL_COMMANDS_H

#include <string>
#include <vector>

#include "pool/PoolBackend.h"

namespace kvpooltool {

// StatusCommands.cpp: what the pool and its files look like.
int runStatus(bool json, double waitSeconds);
int runMetrics(double waitSeconds);

// ReadCommands.cpp: the records, read under the read lock or from the snapshot.
int runList(bool json, bool snapshot, double waitSeconds);
int runGet(const std::string& key, double waitSeconds);
int runVerify(bool snapshot, double waitSeconds);

// ChangeCommands.cpp: changes through the library's own functions.
int runSet(const std::string& key, const std::string& value, double waitSeconds);
int runDelete(const std::vector<std::string>& keys, double waitSeconds);
int runClear(bool force, double waitSeconds);
int runSave(double waitSeconds);
int runLoad(double waitSeconds);
int runRemove(bool force);

// TransferCommands.cpp: the records as a JSON document. outputPath and
// inputPath "-" are standard output and input.
int runExport(const std::string& outputPath, double waitSeconds);
int runImport(const std::string& inputPath, bool replace, double waitSeconds);

// WatchCommand.cpp: a live view on a terminal, one view elsewhere.
int runWatch(int intervalMs, double waitSeconds);

// RemoteCommands.cpp: the pool on Redis. readBackend takes --backend (or,
// when it is empty, KVPOOL_BACKEND) with KVPOOL_REDIS_PREFIX and
// KVPOOL_REDIS_TIMEOUT_MS; false when malformed, the reason reported.
// runRemote runs status, list, get, set, delete, remove, save, load and
// verify there; list --snapshot and verify --snapshot read the file as ever.
struct RemoteRequest {
  std::string command;
  bool json = false;
  bool force = false;
  std::string key;
  std::string value;
  std::vector<std::string> keys;
};
bool readBackend(const std::string& url, kvpool::BackendConfig* backend);
int runRemote(const kvpool::BackendConfig& backend, const RemoteRequest& request);

}  // namespace kvpooltool

#endif
