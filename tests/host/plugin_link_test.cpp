// How the plug-in is linked: as a broker plug-in, it names no broker library
// and no search path, leaves only the broker's calls and the C and C++
// runtimes to the process that loads it, and so loads from any folder. The
// Redis client is the Redis module's alone, and a node asked for Redis where
// the module or its client is missing is refused, naming what to install.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "broker/Broker.h"
#include "support/test_files.h"

namespace {

std::vector<std::string> outputLines(const std::string& command) {
  std::vector<std::string> lines;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    lines.push_back(text);
  }
  pclose(pipe);
  return lines;
}

// The values of the library's dynamic entries of one tag (NEEDED, RUNPATH...),
// from readelf -d lines such as " 0x...01 (NEEDED)  Shared library: [libc.so.6]".
std::vector<std::string> dynamicEntries(const std::string& library, const std::string& tag) {
  std::vector<std::string> values;
  for (const std::string& line : outputLines("readelf -d '" + library + "'")) {
    if (line.find("(" + tag + ")") == std::string::npos) continue;
    const auto open = line.find('[');
    const auto close = line.rfind(']');
    values.push_back(open < close ? line.substr(open + 1, close - open - 1) : line);
  }
  return values;
}

struct UndefinedSymbol {
  std::string name;  // with its version, as in "malloc@GLIBC_2.2.5"
  bool weak;
};

std::vector<UndefinedSymbol> undefinedDynamicSymbols(const std::string& library) {
  std::vector<UndefinedSymbol> symbols;
  for (const std::string& line :
       outputLines("nm -D --undefined-only --format=posix '" + library + "'")) {
    std::istringstream fields(line);
    std::string name, type;
    if (fields >> name >> type) symbols.push_back({name, type == "w" || type == "v"});
  }
  return symbols;
}

// The cni/cci calls host/BrokerApi.h declares (comments left out).
std::set<std::string> declaredBrokerCalls() {
  const std::string header = kvtest::readFile(KVPOOL_BROKER_API_HEADER);
  const std::string code =
      std::regex_replace(header, std::regex(R"(/\*[\s\S]*?\*/|//[^\n]*)"), std::string(" "));
  std::set<std::string> names;
  const std::regex call(R"(\b((cni|cci)[A-Z]\w*)\s*\()");
  for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it) {
    names.insert((*it)[1]);
  }
  return names;
}

bool sanitized() {
#ifdef __SANITIZE_ADDRESS__
  return true;
#else
  return false;
#endif
}

bool isRuntimeLibrary(const std::string& soname) {
  static const std::regex runtime(
      R"((libc|libm|libstdc\+\+|libgcc_s)\.so\.\d+|ld-linux.*\.so\.\d+)");
  static const std::regex sanitizer(R"((libasan|libubsan)\.so\.\d+)");
  return std::regex_match(soname, runtime) || (sanitized() && std::regex_match(soname, sanitizer));
}

// The Redis client, which only the Redis module needs; and OpenSSL, its TLS.
bool isRedisClientLibrary(const std::string& soname) {
  static const std::regex hiredis(R"(libhiredis\.so(\.[\d.]+)?)");
  return std::regex_match(soname, hiredis);
}
bool isTlsLibrary(const std::string& soname) {
  static const std::regex openssl(R"(lib(ssl|crypto)\.so(\.[\d.]+)?)");
  return std::regex_match(soname, openssl);
}

// In a sanitizer build the sanitizer runtimes, needed first, define their own
// entries and the C and C++ functions they intercept, so the plug-in binds
// those names to them unversioned. This test runs sanitized too: look each
// name up in the runtimes the plug-in needs (already loaded here), and keep it
// when the definition found lies in one of them.
bool definedBySanitizerRuntime(const std::string& name) {
  static const std::regex sanitizerRuntime(R"((libasan|libubsan)\.so)");
  if (!sanitized()) return false;
  static const auto needed = dynamicEntries(KVPOOL_PLUGIN_PATH, "NEEDED");
  for (const auto& library : needed) {
    if (!std::regex_search(library, sanitizerRuntime)) continue;
    void* handle = dlopen(library.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) continue;
    void* address = dlsym(handle, name.c_str());
    Dl_info info;
    const bool defined = address != nullptr && dladdr(address, &info) != 0 &&
                         info.dli_fname != nullptr &&
                         std::regex_search(info.dli_fname, sanitizerRuntime);
    dlclose(handle);
    if (defined) return true;
  }
  return false;
}

// A name the C or C++ runtime defines: versioned by the runtime, one of the
// weak hooks of the start files, or one of the sanitizer runtimes' names.
bool isRuntimeSymbol(const UndefinedSymbol& symbol) {
  static const std::regex versioned(R"(.+@@?(GLIBC|GLIBCXX|CXXABI|GCC)_[\d.]+)");
  static const std::set<std::string> weakHooks = {"__gmon_start__", "_ITM_deregisterTMCloneTable",
                                                  "_ITM_registerTMCloneTable", "__cxa_finalize"};
  return std::regex_match(symbol.name, versioned) ||
         (symbol.weak && weakHooks.count(symbol.name)) || definedBySanitizerRuntime(symbol.name);
}

TEST(PluginLinkTest, NeedsOnlyTheSystemRuntimesAndNoSearchPath) {
  const auto needed = dynamicEntries(KVPOOL_PLUGIN_PATH, "NEEDED");
  ASSERT_FALSE(needed.empty()) << "readelf could not read " << KVPOOL_PLUGIN_PATH;
  for (const auto& library : needed) {
    EXPECT_TRUE(isRuntimeLibrary(library)) << "needs a library besides the runtimes: " << library;
  }
  EXPECT_TRUE(std::count(needed.begin(), needed.end(), "libc.so.6")) << "libc.so.6 not needed";
  EXPECT_EQ(dynamicEntries(KVPOOL_PLUGIN_PATH, "RPATH"), std::vector<std::string>{});
  EXPECT_EQ(dynamicEntries(KVPOOL_PLUGIN_PATH, "RUNPATH"), std::vector<std::string>{});
}

// The module alone needs the Redis client, and exports its entry point only;
// kvflow, which runs flows through the plug-in, needs no Redis client.
TEST(PluginLinkTest, OnlyTheRedisModuleNeedsTheRedisClient) {
  const auto needed = dynamicEntries(KVPOOL_REDIS_MODULE_PATH, "NEEDED");
  EXPECT_EQ(std::count_if(needed.begin(), needed.end(), isRedisClientLibrary), 1);
  for (const auto& library : needed) {
    EXPECT_TRUE(isRuntimeLibrary(library) || isRedisClientLibrary(library) ||
                isTlsLibrary(library))
        << library;
  }
  std::vector<std::string> exported;
  for (const std::string& line : outputLines("nm -D --defined-only --format=posix '" +
                                             std::string(KVPOOL_REDIS_MODULE_PATH) + "'")) {
    std::istringstream fields(line);
    std::string name, type;
    if (fields >> name >> type && type == "T") exported.push_back(name);
  }
  EXPECT_EQ(exported, std::vector<std::string>{"kvpoolRedisOpen"});
  const auto toolNeeds = dynamicEntries(KVFLOW_PATH, "NEEDED");
  ASSERT_FALSE(toolNeeds.empty()) << "readelf could not read " << KVFLOW_PATH;
  EXPECT_EQ(std::count_if(toolNeeds.begin(), toolNeeds.end(), isRedisClientLibrary), 0);
  EXPECT_EQ(std::count_if(toolNeeds.begin(), toolNeeds.end(), isTlsLibrary), 0);
}

TEST(PluginLinkTest, LeavesOnlyDeclaredBrokerCallsAndRuntimeNamesUndefined) {
  const auto declared = declaredBrokerCalls();
  ASSERT_TRUE(declared.count("cniDefineNodeClass") && declared.count("cciLog"))
      << "no broker calls read from " << KVPOOL_BROKER_API_HEADER;
  const auto undefined = undefinedDynamicSymbols(KVPOOL_PLUGIN_PATH);
  ASSERT_FALSE(undefined.empty()) << "nm could not read " << KVPOOL_PLUGIN_PATH;
  std::set<std::string> brokerCalls;
  for (const auto& symbol : undefined) {
    if (declared.count(symbol.name)) {
      EXPECT_FALSE(symbol.weak) << "broker call undefined weak: " << symbol.name;
      brokerCalls.insert(symbol.name);
    } else {
      EXPECT_TRUE(isRuntimeSymbol(symbol))
          << "undefined, neither broker call nor runtime name: " << symbol.name;
    }
  }
  // The calls every plug-in makes to define itself and report.
  for (const char* name : {"cniCreateNodeFactory", "cniDefineNodeClass", "cciLog"}) {
    EXPECT_TRUE(brokerCalls.count(name)) << "not left to the broker: " << name;
  }
}

TEST(PluginLinkTest, CopyAloneInAnEmptyFolderLoadsThroughTheBrokerAndDefinesItsNodeClass) {
  // The broker's calls must be in the process's global scope for the plug-in
  // to bind to: the test links the stand-in broker as a needed library.
  ASSERT_NE(dlsym(RTLD_DEFAULT, "cniDefineNodeClass"), nullptr);
  char folder[] = "/tmp/kvpool-plugin-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string copy = std::string(folder) + "/libKvPool.so";
  std::filesystem::copy_file(KVPOOL_PLUGIN_PATH, copy);

  kvbroker::Broker broker;
  const kvbroker::PluginInfo& plugin = broker.loadPlugin(copy);
  EXPECT_EQ(plugin.path, copy);
  EXPECT_NE(plugin.factory, nullptr);
  EXPECT_EQ(plugin.classNames, std::vector<std::string>{"KvPoolNode"});
  const auto classes = broker.nodeClassNames();
  EXPECT_TRUE(std::count(classes.begin(), classes.end(), "KvPoolNode"));
}

// A copy of the module whose Redis client is a version no system has.
void copyModuleMissingItsClient(const std::string& copy) {
  std::string bytes = kvtest::readFile(KVPOOL_REDIS_MODULE_PATH);
  const std::string real = "libhiredis.so.0.14";
  ASSERT_NE(bytes.find(real), std::string::npos) << "the module names another hiredis";
  for (std::size_t at; (at = bytes.find(real)) != std::string::npos;) {
    bytes.replace(at, real.size(), "libhiredis.so.0.99");
  }
  kvtest::writeFile(copy, bytes);
}

enum class ModuleCopy {
  kNone,
  kMissingClient,
  kCutShort,  // its first 4096 bytes: the headers, not the segments they map
  kFaulty,    // one of another build, whose fault KVPOOL_REDIS_PREFIX names
};

// A node asked for Redis by a plug-in copy that finds no module beside it it
// can trust is refused with event 17, naming the file and what to install;
// nothing of such a module is called.
TEST(PluginLinkTest, RedisWithoutAModuleItCanTrustRefusesTheNode) {
  const std::string install = ": install the kvpool-redis package of this plug-in's version";
  const struct {
    ModuleCopy module;
    mode_t mode = 0644;
    mode_t folderMode = 0700;
    const char* fault = "";
    std::string insert;
  } cases[] = {
      {ModuleCopy::kNone, 0, 0700, "",
       "libKvPoolRedis.so is not beside @/libKvPool.so: install the kvpool-redis package"},
      {ModuleCopy::kMissingClient, 0644, 0700, "",
       "@/libKvPoolRedis.so: libhiredis.so.0.99: cannot open shared object file: No such "
       "file or directory: install libhiredis0.99"},
      // One that others could have written, or put there, is not loaded at all.
      {ModuleCopy::kMissingClient, 0666, 0700, "", "@/libKvPoolRedis.so is writable by others"},
      {ModuleCopy::kMissingClient, 0664, 0700, "", "@/libKvPoolRedis.so is writable by others"},
      {ModuleCopy::kMissingClient, 0620, 0700, "", "@/libKvPoolRedis.so is writable by others"},
      {ModuleCopy::kMissingClient, 0644, 0770, "", "@ is writable by others"},
      {ModuleCopy::kCutShort, 0644, 0700, "",
       "@/libKvPoolRedis.so is cut short (4096 bytes, less than its program headers map): "
       "install the kvpool-redis package"},
      {ModuleCopy::kFaulty, 0644, 0700, "null-get",
       "@/libKvPoolRedis.so: refused a pool table of version 1 without its get entry" + install},
      {ModuleCopy::kFaulty, 0644, 0700, "version-0",
       "@/libKvPoolRedis.so: refused a pool table of version 0 and 104 bytes, where this plug-in "
       "reads version 1 and at least 104 bytes" +
           install},
      {ModuleCopy::kFaulty, 0644, 0700, "short",
       "@/libKvPoolRedis.so: refused a pool table of version 1 and 16 bytes, where this plug-in "
       "reads version 1 and at least 104 bytes" +
           install},
      {ModuleCopy::kFaulty, 0644, 0700, "no-table",
       "@/libKvPoolRedis.so: refused a backend without a pool table" + install},
      {ModuleCopy::kFaulty, 0644, 0700, "no-backend",
       "@/libKvPoolRedis.so: no backend and no reason" + install},
  };
  setenv("KVPOOL_BACKEND", "redis://127.0.0.1:1", 1);
  for (const auto& c : cases) {
    char folder[] = "/tmp/kvpool-plugin-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string copy = std::string(folder) + "/libKvPool.so";
    std::filesystem::copy_file(KVPOOL_PLUGIN_PATH, copy);
    const std::string moduleCopy = std::string(folder) + "/libKvPoolRedis.so";
    if (c.module == ModuleCopy::kMissingClient) copyModuleMissingItsClient(moduleCopy);
    if (c.module == ModuleCopy::kCutShort) {
      kvtest::writeFile(moduleCopy, kvtest::readFile(KVPOOL_REDIS_MODULE_PATH).substr(0, 4096));
    }
    if (c.module == ModuleCopy::kFaulty) {
      std::filesystem::copy_file(KVPOOL_FAULTY_MODULE_PATH, moduleCopy);
    }
    if (c.module != ModuleCopy::kNone) chmod(moduleCopy.c_str(), c.mode);
    chmod(folder, c.folderMode);
    setenv("KVPOOL_REDIS_PREFIX", c.fault, 1);
    const std::string expected = std::regex_replace(c.insert, std::regex("@"), folder);

    kvbroker::Broker broker;
    broker.loadPlugin(copy);
    try {
      broker.createNode("KvPoolNode", "refused");
      ADD_FAILURE() << "creation was not refused: " << expected;
    } catch (const kvbroker::CallbackRefused& refused) {
      EXPECT_EQ(refused.record().type, CCI_CONFIGURATION_EXCEPTION);
      EXPECT_EQ(refused.record().messageNumber, 17);
      EXPECT_EQ(refused.record().line, 421);
      EXPECT_EQ(refused.record().inserts, std::vector<std::string>{expected});
    }
  }
  unsetenv("KVPOOL_BACKEND");
  unsetenv("KVPOOL_REDIS_PREFIX");
}

}  // namespace
