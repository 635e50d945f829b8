// kvpool: looks into and maintains the machine's shared pool. It finds the
// segment (key 99999) and the semaphore set (key 88888) by their keys and
// never creates either: it takes no user slot, so it neither makes a pool
// nor keeps one alive. Everything goes through the pool's interface for tools
// (pool/PoolAccess.h), the plug-in's own code; no wait for the lock is longer
// than --wait. With --backend (or KVPOOL_BACKEND) it works on Redis instead.
#include <CLI/CLI.hpp>

#include "tools/common/BackendOption.h"
#include "tools/kvpool/Commands.h"

namespace {

using namespace kvpooltool;

constexpr double kLongestWaitSeconds = 86400;

// A command that waits for the pool's lock also takes --wait after its name.
CLI::App* addLockingCommand(CLI::App& app, Request& arguments, const std::string& name,
                            const std::string& description) {
  CLI::App* command = app.add_subcommand(name, description);
  command
      ->add_option("--wait", arguments.waitSeconds,
                   "Longest wait for the pool's lock, in seconds (default 5)")
      ->check(CLI::Range(0.0, kLongestWaitSeconds));
  return command;
}

// The commands and their own options.
void addCommands(CLI::App& app, Request& a) {
  CLI::App* status = addLockingCommand(
      app, a, "status", "Whether a pool exists, its ids, size, use, node contexts and files");
  status->add_flag("--json", a.json, "As a JSON document");
  addLockingCommand(app, a, "metrics",
                    "The pool's gauges in the Prometheus text format, for a textfile collector");
  CLI::App* list = addLockingCommand(app, a, "list", "Keys and values in pool order");
  list->add_flag("--json", a.json, "As a JSON document");
  list->add_flag("--snapshot", a.snapshot, "List the snapshot file instead of the pool");
  CLI::App* get = addLockingCommand(app, a, "get", "Print the value stored under KEY");
  get->add_option("key", a.key, "The whole key, e.g. KvPoolOrderId")->required();
  CLI::App* verify =
      addLockingCommand(app, a, "verify", "Walk the record chain and report every inconsistency");
  verify->add_flag("--snapshot", a.snapshot, "Verify the snapshot file instead of the pool");
  CLI::App* set = addLockingCommand(app, a, "set", "Store VALUE under KEY");
  set->add_option("key", a.key, "The whole key, e.g. KvPoolOrderId")->required();
  set->add_option("value", a.value, "The value")->required();
  CLI::App* deleteCommand = addLockingCommand(app, a, "delete", "Delete the records of the KEYs");
  deleteCommand->add_option("keys", a.keys, "The whole keys")->required();
  CLI::App* clear = addLockingCommand(app, a, "clear", "Delete every record; the pool stays");
  clear->add_flag("--force", a.force, "Even while node contexts use the pool");
  addLockingCommand(app, a, "save",
                    "Save the pool to the snapshot file (removes leftovers of killed saves); "
                    "without a pool nothing is written");
  addLockingCommand(app, a, "load", "Load the snapshot file into the empty pool");
  CLI::App* drop = app.add_subcommand("remove", "Remove the segment and semaphore set");
  drop->add_flag("--force", a.force, "Even while node contexts use the pool");
  CLI::App* exportCommand =
      addLockingCommand(app, a, "export", "Write the records as a JSON object of keys to values");
  exportCommand->add_option("-o,--output", a.path, "The file to write (default: standard output)");
  CLI::App* importCommand =
      addLockingCommand(app, a, "import", "Store the keys and values of a JSON object (an export)");
  importCommand->add_option("file", a.path, "The JSON file, - for standard input")->required();
  importCommand->add_flag("--replace", a.replace, "Clear the pool first");
  CLI::App* watch = addLockingCommand(app, a, "watch",
                                      "A live view of the pool on a terminal (q or Ctrl-C quits)");
  watch->add_option("--interval", a.intervalMs, "Milliseconds between refreshes (default 1000)")
      ->check(CLI::Range(50, 3600000));
}

// Runs a command on the pool in shared memory.
int runCommand(const Request& a) {
  const std::string& command = a.command;
  const double wait = a.waitSeconds;
  if (command == "status") return runStatus(a.json, wait);
  if (command == "metrics") return runMetrics(wait);
  if (command == "list") return runList(a.json, a.snapshot, wait);
  if (command == "get") return runGet(a.key, wait);
  if (command == "verify") return runVerify(a.snapshot, wait);
  if (command == "set") return runSet(a.key, a.value, wait);
  if (command == "delete") return runDelete(a.keys, wait);
  if (command == "clear") return runClear(a.force, wait);
  if (command == "save") return runSave(wait);
  if (command == "load") return runLoad(wait);
  if (command == "remove") return runRemove(a.force);
  if (command == "export") return runExport(a.path, wait);
  if (command == "import") return runImport(a.path, a.replace, wait);
  if (command == "watch") return runWatch(a.intervalMs, wait);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"kvpool: looks into and maintains the shared key/value pool of this machine."};
  app.require_subcommand(1);
  Request a;
  app.add_option("--wait", a.waitSeconds,
                 "Longest wait for the pool's lock, in seconds (default 5); also after a command")
      ->check(CLI::Range(0.0, kLongestWaitSeconds));
  CLI::Option* url = app.add_option(
      "--backend", a.backend,
      "The pool on Redis: redis://[[USER]:PASSWORD@]HOST:PORT[/DB] or "
      "redis-sentinel://HOST:PORT[,HOST:PORT...]/MASTER (default: KVPOOL_BACKEND); a password "
      "here is seen in the process list: prefer KVPOOL_BACKEND or --backend-file");
  app.add_option("--backend-file", a.backendFile,
                 "A file whose first line is the --backend URL (keep it mode 0600)")
      ->excludes(url);
  CLI::Option* file = app.add_option(
      "--file", a.file,
      "The snapshot file, an absolute path (default: KVPOOL_PERSIST, else /tmp/KvPoolData.bin)");
  addCommands(app, a);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitDone : kExitUsage;
  }
  a.command = app.get_subcommands().front()->get_name();
  if (std::string why; !kvtools::takeBackendArguments(argc, argv, a.backendFile, &a.backend,
                                                      kvpooltool::warn, &why)) {
    fail(why);
    return kExitUsage;
  }
  kvpool::BackendConfig backend;
  if (!readBackend(a.backend, &backend)) return kExitUsage;
  // Given, even empty, --file names the file: an empty one is refused.
  if (std::string problem;
      file->count() > 0 && !kvpool::checkPersistPath(a.file.c_str(), &problem)) {
    return fail("--file: " + problem.substr(problem.find('"')));
  }
  kvpool::setPersistPath(file->count() > 0 ? a.file : backend.persistPath);
  return backend.remote() && !a.snapshot ? runRemote(backend, a) : runCommand(a);
}
