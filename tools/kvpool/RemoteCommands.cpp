// The commands on a pool on Redis (its keys: KVPOOL_REDIS_PREFIX followed by
// KvPool), all through the library's own pool table, as a node reaches it;
// save and load use the same snapshot file as on shared memory. What the
// server sent is shown escaped.
#include <cstdlib>
#include <memory>

#include "tools/kvpool/Commands.h"

namespace kvpooltool {
namespace {

// The pool's table, opened as a node opens it.
struct RemotePool {
  KvPoolBackend& table;
  const kvpool::BackendConfig& config;

  // Calls a method of the table; false with the reason in *error unless 0.
  template <typename Method, typename... Arguments>
  bool call(Method method, std::string* error, Arguments... arguments) {
    const KvPoolOutcome outcome = (table.methods->*method)(&table, arguments...);
    *error = outcome.reason;
    code = outcome.code;
    return outcome.code == KVPOOL_OK;
  }
  int code = KVPOOL_OK;  // of the last call
};

std::vector<KvPoolText> textsOf(const std::vector<std::string>& keys) {
  std::vector<KvPoolText> texts;
  texts.reserve(keys.size());
  for (const std::string& key : keys) texts.push_back(kvpool::poolText(key));
  return texts;
}

// The pool's keys; a note of keys the server named outside the pool is
// warned of.
bool listKeys(RemotePool& pool, std::vector<std::string>* keys, std::string* error) {
  kvpool::CollectingSink listed;
  const bool done = pool.call(&KvPoolBackendMethods::listKeys, error, listed.sink());
  if (done && !error->empty()) warn(*error);
  *keys = listed.plainTexts();
  return done;
}

// The server's facts of a section (INFO's text) and the server that answered.
bool info(RemotePool& pool, const char* section, std::string* text, std::string* where,
          std::string* error) {
  kvpool::CollectingSink facts;
  if (!pool.call(&KvPoolBackendMethods::describe, error, section, facts.sink()) ||
      facts.texts().size() != 2) {
    return false;
  }
  *where = facts.plainTexts()[0];
  *text = facts.plainTexts()[1];
  return true;
}

// The pool as the tools name it: "redis 127.0.0.1:6379 db 0, keys "shop:KvPool..."".
std::string poolName(const kvpool::BackendConfig& backend) {
  return backend.describe() + " db " + std::to_string(backend.database) + ", keys \"" +
         printable(backend.prefix) + std::string(kvpool::kPoolKeyPrefix) + "...\"";
}

// One field of an INFO text as the server sent it, empty when absent.
std::string infoField(const std::string& info, const std::string& field) {
  const std::size_t at = info.find(field + ":");
  if (at == std::string::npos || (at > 0 && info[at - 1] != '\n')) return "";
  const std::size_t start = at + field.size() + 1;
  return info.substr(start, info.find_first_of("\r\n", start) - start);
}

// A server that frees memory by deleting keys of any kind deletes pool
// records without a word; one that deletes only keys with an expiry (the
// volatile policies) never touches the pool's, which have none.
std::optional<std::string> evictionWarning(const std::string& policy) {
  if (policy.rfind("allkeys-", 0) != 0) return std::nullopt;
  return "the server's maxmemory-policy is " + printable(policy) +
         ": when its memory is full it deletes keys, pool records among them, without a word; "
         "with noeviction stores fail with 8 instead (CONFIG SET maxmemory-policy noeviction)";
}

// Every key and its value (absent: gone meanwhile, or no string).
struct Records {
  std::vector<std::string> keys;
  std::vector<std::optional<std::string>> values;
  std::vector<std::string> wrongType;
};
bool readRecords(RemotePool& pool, Records* records, std::string* error) {
  if (!listKeys(pool, &records->keys, error)) return false;
  const std::vector<KvPoolText> texts = textsOf(records->keys);
  kvpool::CollectingSink read, unreadable;
  const bool done = pool.call(&KvPoolBackendMethods::readMany, error, texts.data(),
                              uint64_t{texts.size()}, read.sink(), unreadable.sink());
  records->values = std::move(read.texts());
  records->wrongType = unreadable.plainTexts();
  return done;
}

std::string fileLine(const std::string& path) {
  struct stat file {};
  if (stat(path.c_str(), &file) != 0) return printable(path) + ", none";
  return printable(path) + ", " + std::to_string(file.st_size) + " bytes";
}

int status(RemotePool& pool, bool json) {
  std::string server, memory, where, error;
  std::vector<std::string> keys;
  if (!info(pool, "server", &server, &where, &error) ||
      !info(pool, "memory", &memory, &where, &error) || !listKeys(pool, &keys, &error)) {
    return fail(error);
  }
  const std::string maxMemory = infoField(memory, "maxmemory");
  const std::string policy = infoField(memory, "maxmemory_policy");
  const std::optional<std::string> eviction = evictionWarning(policy);
  if (eviction) warn(*eviction);
  const auto number = [](const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
  };
  if (json) {
    printJson({{"backend", pool.config.describe()},
               {"answeredBy", escapeBytes(where)},
               {"database", pool.config.database},
               {"prefix", escapeBytes(pool.config.prefix)},
               {"keys", keys.size()},
               {"redisVersion", escapeBytes(infoField(server, "redis_version"))},
               {"usedMemoryBytes", number(infoField(memory, "used_memory"))},
               {"maxMemoryBytes", number(maxMemory)},
               {"maxMemoryPolicy", escapeBytes(policy)},
               {"warnings",
                eviction ? std::vector<std::string>{*eviction} : std::vector<std::string>{}}});
    return kExitDone;
  }
  std::cout << "pool: " << poolName(pool.config) << "\n";
  std::cout << "  answered by:    " << printable(where) << ", Redis "
            << printable(infoField(server, "redis_version")) << "\n";
  std::cout << "  keys:           " << counted(static_cast<long long>(keys.size()), "key", "keys")
            << " of the pool\n";
  std::cout << "  server memory:  " << printable(infoField(memory, "used_memory_human"))
            << " used, limit "
            << (maxMemory == "0" ? std::string("none")
                                 : printable(infoField(memory, "maxmemory_human")))
            << " (" << printable(policy) << (eviction ? ": evicts pool records" : "") << ")\n";
  std::cout << "  lifetime:       the pool outlives the node contexts (no segment, semaphore "
               "set or user slot)\n";
  std::cout << "snapshot file:    " << fileLine(snapshotFilePath()) << "\n";
  std::cout << "trace file:       " << fileLine(kTracePath) << "\n";
  return kExitDone;
}

int list(RemotePool& pool, bool json) {
  Records records;
  if (std::string error; !readRecords(pool, &records, &error)) return fail(error);
  std::vector<const std::string*> values;
  for (const auto& value : records.values) values.push_back(value ? &*value : nullptr);
  printRecords(json, {{"source", pool.config.describe()}}, records.keys, values);
  if (json) return kExitDone;
  if (records.keys.empty()) std::cerr << "kvpool: the pool holds no records\n";
  if (!records.wrongType.empty()) {
    warn(counted(static_cast<long long>(records.wrongType.size()), "key holds no string and is",
                 "keys hold no string and are") +
         " left out (kvpool verify names them)");
  }
  return kExitDone;
}

// Why a key cannot be the pool's on Redis, or empty.
std::string poolKeyProblem(const std::string& key) {
  if (kvpool::poolKeyNamed(key)) return {};
  return "key \"" + printable(key) + "\" is no pool key: on Redis the pool's keys are " +
         "the prefix followed by KvPool, and the rest of the database is not the pool's";
}

int get(RemotePool& pool, const std::string& key) {
  std::string error;
  kvpool::CollectingSink read;
  if (!pool.call(&KvPoolBackendMethods::get, &error, kvpool::poolText(key), read.sink())) {
    if (pool.code == KVPOOL_POOL_UNAVAILABLE) return fail(error);
    const std::string problem = poolKeyProblem(key);
    return fail(problem.empty() ? "no key \"" + printable(key) + "\" in the pool" : problem);
  }
  std::cout << (read.texts().empty() ? "" : read.plainTexts().front()) << "\n";
  return kExitDone;
}

int set(RemotePool& pool, const std::string& key, const std::string& value) {
  if (const std::string why = keyLengthProblem(key); !why.empty()) return fail(why);
  if (const std::string why = poolKeyProblem(key); !why.empty()) return fail(why + "; not stored");
  std::string error;
  if (pool.call(&KvPoolBackendMethods::store, &error, kvpool::poolText(key),
                kvpool::poolText(value))) {
    std::cout << "stored " << printable(key) << " (" << value.size() << " bytes)\n";
    return kExitDone;
  }
  if (pool.code != KVPOOL_POOL_FULL) return fail(error);
  return fail("the pool is full: " + pool.config.describe() +
              " refused the value for lack of memory (its maxmemory)");
}

// delete (keys) and remove (all keys, with force).
int remove(RemotePool& pool, const std::vector<std::string>& keys, bool all, bool force) {
  std::vector<std::string> doomed = keys;
  std::string error;
  if (all && !listKeys(pool, &doomed, &error)) return fail(error);
  if (all && !force) {
    return fail("remove deletes every key of the pool on " + poolName(pool.config) + " (" +
                counted(static_cast<long long>(doomed.size()), "key", "keys") +
                ") and cannot be undone; add --force");
  }
  const std::vector<KvPoolText> texts = textsOf(doomed);
  int64_t deleted = 0;
  if (!pool.call(&KvPoolBackendMethods::remove, &error, texts.data(), uint64_t{texts.size()},
                 &deleted)) {
    return fail(error);
  }
  std::cout << "deleted " << counted(deleted, "key", "keys")
            << (all ? " of the pool on " + poolName(pool.config) : "") << "\n";
  if (!all && deleted < static_cast<int64_t>(keys.size())) {
    return fail(std::to_string(keys.size() - deleted) + " of the keys did not exist");
  }
  return kExitDone;
}

int save(RemotePool& pool) {
  int records = 0;
  std::string error;
  if (kvpool::saveTablePoolToFile(pool.table, &records, &error) != kvpool::RemoteSnapshot::kDone) {
    return fail("the pool could not be saved: " + error);
  }
  std::cout << "saved " << counted(records, "record", "records") << " of " << pool.config.describe()
            << " to " << printable(snapshotFilePath()) << "\n";
  return kExitDone;
}

int load(RemotePool& pool) {
  int records = 0;
  std::string error;
  switch (kvpool::loadTablePoolFromFile(pool.table, &records, &error,
                                        kvpool::SnapshotFit::kUpToCapacity)) {
    case kvpool::RemoteSnapshot::kDone:
      std::cout << "loaded " << counted(records, "record", "records") << " from "
                << printable(snapshotFilePath()) << " into " << pool.config.describe() << "\n";
      return kExitDone;
    case kvpool::RemoteSnapshot::kFileFailed:
      return fail("nothing loaded: " + error + " (kvpool verify --snapshot tells more)");
    case kvpool::RemoteSnapshot::kPoolNotEmpty:
      return fail("nothing loaded: " + error + " (kvpool remove --force empties it)");
    case kvpool::RemoteSnapshot::kPartly:
      return fail("partly loaded: " + error);
    case kvpool::RemoteSnapshot::kUnavailable:
      // The error says whether anything was stored.
      return fail("load failed: " + error);
    default:
      return fail("nothing loaded: " + error);
  }
}

int verify(RemotePool& pool) {
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
    if (key.size() > static_cast<std::size_t>(kMaxKeyBytes)) {
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
  if (reportDamage("pool", damage) != kExitDone) return kExitNotDone;
  std::cout << "pool: sound, " << counted(static_cast<long long>(sound), "record", "records")
            << " in " << poolName(pool.config) << "\n";
  return kExitDone;
}

}  // namespace

bool readBackend(const std::string& url, kvpool::BackendConfig* backend) {
  std::string problem;
  const bool ok = url.empty() ? kvpool::readBackendConfig(backend, &problem)
                              : kvpool::parseBackendConfig(
                                    url.c_str(), std::getenv("KVPOOL_REDIS_PREFIX"),
                                    std::getenv("KVPOOL_REDIS_TIMEOUT_MS"), backend, &problem) &&
                                    kvpool::readTlsSettings(backend, &problem);
  if (!ok) fail((url.empty() ? "" : "--backend: ") + problem);
  return ok;
}

int runRemote(const kvpool::BackendConfig& backend, const Request& request) {
  std::string problem;
  const std::unique_ptr<KvPoolBackend, kvpool::BackendClose> table(
      kvpool::openRemoteBackend(backend, &problem));
  if (table == nullptr) return fail(problem);
  RemotePool pool{*table, backend};
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
