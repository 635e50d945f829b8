// The commands on a pool on Redis (kvpool --backend URL, or KVPOOL_BACKEND):
// the keys under KVPOOL_REDIS_PREFIX are the pool. Everything goes through
// the library's own pool table (pool/PoolBackend.h), so a value kvpool sets
// is the one a node reads, and save and load write and read the same
// snapshot file as on shared memory.
#include <sys/stat.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "pool/SnapshotFile.h"
#include "tools/kvpool/Commands.h"
#include "tools/kvpool/Report.h"

namespace kvpooltool {
namespace {

// The pool's table, opened as a node opens it, with the calls the
// commands make.
class RedisPool {
 public:
  RedisPool(KvPoolBackend& backend, const kvpool::BackendConfig& config)
      : backend_(backend), config_(config) {}
  KvPoolBackend& table() { return backend_; }
  const kvpool::BackendConfig& config() const { return config_; }

  int get(const std::string& key, std::string* value, std::string* error) {
    kvpool::CollectingSink read;
    const KvPoolOutcome outcome =
        backend_.methods->get(&backend_, kvpool::poolText(key), read.sink());
    if (outcome.code == KVPOOL_OK && !read.texts().empty()) *value = read.plainTexts().front();
    *error = outcome.reason;
    return outcome.code;
  }
  int set(const std::string& key, const std::string& value, std::string* error) {
    const KvPoolOutcome outcome =
        backend_.methods->store(&backend_, kvpool::poolText(key), kvpool::poolText(value));
    *error = outcome.reason;
    return outcome.code;
  }
  bool listKeys(std::vector<std::string>* keys, std::string* error) {
    kvpool::CollectingSink listed;
    const KvPoolOutcome outcome = backend_.methods->listKeys(&backend_, listed.sink());
    *keys = listed.plainTexts();
    *error = outcome.reason;
    return outcome.code == KVPOOL_OK;
  }
  bool readValues(const std::vector<std::string>& keys,
                  std::vector<std::optional<std::string>>* values,
                  std::vector<std::string>* wrongType, std::string* error) {
    const std::vector<KvPoolText> texts = textsOf(keys);
    kvpool::CollectingSink read, unreadable;
    const KvPoolOutcome outcome = backend_.methods->readMany(&backend_, texts.data(), texts.size(),
                                                             read.sink(), unreadable.sink());
    *values = std::move(read.texts());
    *wrongType = unreadable.plainTexts();
    *error = outcome.reason;
    return outcome.code == KVPOOL_OK;
  }
  bool deleteKeys(const std::vector<std::string>& keys, long* deleted, std::string* error) {
    const std::vector<KvPoolText> texts = textsOf(keys);
    int64_t removed = 0;
    const KvPoolOutcome outcome =
        backend_.methods->remove(&backend_, texts.data(), texts.size(), &removed);
    *deleted = static_cast<long>(removed);
    *error = outcome.reason;
    return outcome.code == KVPOOL_OK;
  }
  bool info(const std::string& section, std::string* text, std::string* where, std::string* error) {
    kvpool::CollectingSink facts;
    const KvPoolOutcome outcome =
        backend_.methods->describe(&backend_, section.c_str(), facts.sink());
    *error = outcome.reason;
    if (outcome.code != KVPOOL_OK || facts.texts().size() != 2) return false;
    *where = facts.plainTexts()[0];
    *text = facts.plainTexts()[1];
    return true;
  }

 private:
  static std::vector<KvPoolText> textsOf(const std::vector<std::string>& keys) {
    std::vector<KvPoolText> texts;
    texts.reserve(keys.size());
    for (const std::string& key : keys) texts.push_back(kvpool::poolText(key));
    return texts;
  }

  KvPoolBackend& backend_;
  const kvpool::BackendConfig& config_;
};

// The pool as the tools name it: "redis 127.0.0.1:6379 db 0, prefix "shop:"".
std::string poolName(const kvpool::BackendConfig& backend) {
  return backend.describe() + " db " + std::to_string(backend.database) + ", prefix \"" +
         printable(backend.prefix) + "\"";
}

// One field of an INFO text, empty when absent.
std::string infoField(const std::string& info, const std::string& field) {
  const std::size_t at = info.find(field + ":");
  if (at == std::string::npos || (at > 0 && info[at - 1] != '\n')) return "";
  const std::size_t start = at + field.size() + 1;
  return info.substr(start, info.find_first_of("\r\n", start) - start);
}

struct Records {
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
  std::vector<std::string> wrongType;
};

bool readRecords(RedisPool& pool, Records* records, std::string* error) {
  return pool.listKeys(&records->keys, error) &&
         pool.readValues(records->keys, &records->values, &records->wrongType, error);
}

std::string fileLine(const char* path) {
  struct stat file {};
  if (stat(path, &file) != 0) return std::string(path) + ", none";
  return std::string(path) + ", " + std::to_string(file.st_size) + " bytes";
}

int status(RedisPool& pool, bool json) {
  std::string server, memory, where, error;
  if (!pool.info("server", &server, &where, &error) ||
      !pool.info("memory", &memory, &where, &error)) {
    return fail(error);
  }
  std::vector<std::string> keys;
  if (!pool.listKeys(&keys, &error)) return fail(error);
  const std::string maxMemory = infoField(memory, "maxmemory");
  if (json) {
    nlohmann::ordered_json out = {
        {"backend", pool.config().describe()},
        {"answeredBy", where},
        {"database", pool.config().database},
        {"prefix", pool.config().prefix},
        {"keys", keys.size()},
        {"redisVersion", infoField(server, "redis_version")},
        {"usedMemoryBytes", std::stoll("0" + infoField(memory, "used_memory"))},
        {"maxMemoryBytes", std::stoll("0" + maxMemory)},
        {"maxMemoryPolicy", infoField(memory, "maxmemory_policy")}};
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitDone;
  }
  std::cout << "pool: " << poolName(pool.config()) << "\n";
  std::cout << "  answered by:    " << where << ", Redis " << infoField(server, "redis_version")
            << "\n";
  std::cout << "  keys:           " << counted(static_cast<long long>(keys.size()), "key", "keys")
            << " under the prefix\n";
  std::cout << "  server memory:  " << infoField(memory, "used_memory_human") << " used, limit "
            << (maxMemory == "0" ? std::string("none") : infoField(memory, "maxmemory_human"))
            << " (" << infoField(memory, "maxmemory_policy") << ")\n";
  std::cout << "  lifetime:       the pool outlives the node contexts (no segment, semaphore "
               "set or user slot)\n";
  std::cout << "snapshot file:    " << fileLine(snapshotPath()) << "\n";
  std::cout << "trace file:       " << fileLine(kTracePath) << "\n";
  return kExitDone;
}

int list(RedisPool& pool, bool json) {
  Records records;
  if (std::string error; !readRecords(pool, &records, &error)) return fail(error);
  if (json) {
    nlohmann::ordered_json out = {{"source", pool.config().describe()},
                                  {"records", nlohmann::ordered_json::array()}};
    for (std::size_t i = 0; i < records.keys.size(); ++i) {
      if (!records.values[i]) continue;
      out["records"].push_back({{"key", records.keys[i]}, {"value", *records.values[i]}});
    }
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitDone;
  }
  std::size_t width = 0;
  for (const std::string& key : records.keys) width = std::max(width, printable(key).size());
  width = std::min<std::size_t>(width, 40);
  for (std::size_t i = 0; i < records.keys.size(); ++i) {
    if (!records.values[i]) continue;
    std::string key = printable(records.keys[i]);
    if (key.size() < width) key += std::string(width - key.size(), ' ');
    std::cout << key << "  " << printable(*records.values[i]) << "\n";
  }
  if (records.keys.empty()) std::cerr << "kvpool: the pool holds no records\n";
  if (!records.wrongType.empty()) {
    warn(counted(static_cast<long long>(records.wrongType.size()), "key holds", "keys hold") +
         " no string and is left out (kvpool verify names them)");
  }
  return kExitDone;
}

int get(RedisPool& pool, const std::string& key) {
  std::string value, error;
  const int result = pool.get(key, &value, &error);
  if (result == KVPOOL_POOL_UNAVAILABLE) return fail(error);
  if (result != KVPOOL_OK) return fail("no key \"" + printable(key) + "\" in the pool");
  std::cout << value << "\n";
  return kExitDone;
}

int set(RedisPool& pool, const std::string& key, const std::string& value) {
  if (key.empty() || key.size() > kMaxKeyBytes) {
    return fail("a key has 1 to 255 bytes; this one has " + std::to_string(key.size()));
  }
  if (key.rfind("KvPool", 0) != 0) {
    warn("no script can read key \"" + printable(key) + "\": pool operands start with KvPool");
  }
  std::string error;
  const int result = pool.set(key, value, &error);
  if (result == KVPOOL_POOL_FULL) {
    return fail("the pool is full: " + pool.config().describe() +
                " refused the value for lack of memory (its maxmemory)");
  }
  if (result != KVPOOL_OK) return fail(error);
  std::cout << "stored " << printable(key) << " (" << value.size() << " bytes)\n";
  return kExitDone;
}

int remove(RedisPool& pool, const std::vector<std::string>& keys, bool all, bool force) {
  std::vector<std::string> doomed = keys;
  std::string error;
  if (all && !pool.listKeys(&doomed, &error)) return fail(error);
  if (all && !force) {
    return fail("remove deletes every key under the prefix of " + poolName(pool.config()) + " (" +
                counted(static_cast<long long>(doomed.size()), "key", "keys") +
                ") and cannot be undone; add --force");
  }
  long deleted = 0;
  if (!pool.deleteKeys(doomed, &deleted, &error)) return fail(error);
  if (all) {
    std::cout << "deleted " << counted(deleted, "key", "keys") << " under the prefix of "
              << poolName(pool.config()) << "\n";
    return kExitDone;
  }
  std::cout << "deleted " << counted(deleted, "key", "keys") << "\n";
  if (deleted < static_cast<long>(keys.size())) {
    return fail(std::to_string(keys.size() - deleted) + " of the keys did not exist");
  }
  return kExitDone;
}

int save(RedisPool& pool) {
  int records = 0;
  std::string error;
  switch (kvpool::saveTablePoolToFile(pool.table(), &records, &error)) {
    case kvpool::RemoteSnapshot::kDone:
      std::cout << "saved " << counted(records, "record", "records") << " of "
                << pool.config().describe() << " to " << snapshotPath() << "\n";
      return kExitDone;
    default:
      return fail("the pool could not be saved: " + error);
  }
}

int load(RedisPool& pool) {
  int records = 0;
  std::string error;
  switch (kvpool::loadTablePoolFromFile(pool.table(), &records, &error)) {
    case kvpool::RemoteSnapshot::kDone:
      std::cout << "loaded " << counted(records, "record", "records") << " from " << snapshotPath()
                << " into " << pool.config().describe() << "\n";
      return kExitDone;
    case kvpool::RemoteSnapshot::kFileFailed:
      return fail(std::string(snapshotPath()) +
                  " is missing, not a regular file, or damaged (kvpool verify --snapshot tells)");
    case kvpool::RemoteSnapshot::kPoolNotEmpty:
      return fail("nothing loaded: " + error + " (kvpool remove --force empties it)");
    default:
      return fail("nothing loaded: " + error);
  }
}

int verify(RedisPool& pool) {
  Records records;
  if (std::string error; !readRecords(pool, &records, &error)) return fail(error);
  std::vector<std::string> damage;
  for (const std::string& key : records.wrongType) {
    damage.push_back("key \"" + printable(key) + "\" holds no string: no node can read it");
  }
  std::size_t sound = 0;
  for (std::size_t i = 0; i < records.keys.size(); ++i) {
    const std::string& key = records.keys[i];
    if (!records.values[i]) continue;
    if (key.size() > kMaxKeyBytes) {
      damage.push_back("key \"" + printable(key.substr(0, 40)) + "...\" has " +
                       std::to_string(key.size()) + " bytes: no script can name it");
    } else if (key.find('\0') != std::string::npos ||
               records.values[i]->find('\0') != std::string::npos) {
      damage.push_back("key \"" + printable(key) +
                       "\": a NUL inside, which a snapshot cannot hold");
    } else {
      ++sound;
    }
  }
  for (const std::string& line : damage) std::cout << "damage: " << line << "\n";
  if (!damage.empty()) {
    std::cout << "pool: damaged, " << damage.size() << " inconsistenc"
              << (damage.size() == 1 ? "y" : "ies") << "\n";
    return kExitNotDone;
  }
  std::cout << "pool: sound, " << counted(static_cast<long long>(sound), "record", "records")
            << " in " << poolName(pool.config()) << "\n";
  return kExitDone;
}

}  // namespace

bool readBackend(const std::string& url, kvpool::BackendConfig* backend) {
  std::string problem;
  const bool ok = url.empty() ? kvpool::readBackendConfig(backend, &problem)
                              : kvpool::parseBackendConfig(
                                    url.c_str(), std::getenv("KVPOOL_REDIS_PREFIX"),
                                    std::getenv("KVPOOL_REDIS_TIMEOUT_MS"), backend, &problem);
  if (!ok) fail((url.empty() ? "" : "--backend: ") + problem);
  return ok;
}

int runRemote(const kvpool::BackendConfig& backend, const RemoteRequest& request) {
  std::string problem;
  const std::unique_ptr<KvPoolBackend, kvpool::BackendClose> table(
      kvpool::openRemoteBackend(backend, &problem));
  if (table == nullptr) return fail(problem);
  RedisPool pool(*table, backend);
  const std::string& command = request.command;
  if (command == "status") return status(pool, request.json);
  if (command == "list") return list(pool, request.json);
  if (command == "get") return get(pool, request.key);
  if (command == "set") return set(pool, request.key, request.value);
  if (command == "delete") return remove(pool, request.keys, false, true);
  if (command == "remove" || command == "clear") return remove(pool, {}, true, request.force);
  if (command == "save") return save(pool);
  if (command == "load") return load(pool);
  if (command == "verify") return verify(pool);
  return fail("kvpool " + command +
              " works on the shared-memory pool only; on Redis use list, save and load");
}

}  // namespace kvpooltool
