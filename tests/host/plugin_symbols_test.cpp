// The plug-in's dynamic symbol table: every exported name of the library with
// C linkage, and nothing else (internals stay hidden).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExported = {
    // entry, constants and callbacks
    "vtrGetMessageflowNodeFactory", "initNodeConstants", "defineKvPoolNode", "constKvPoolNode",
    "constPluginNodeFactory", "constOut", "constFailure", "constKvCatalog", "constVTRL2",
    "createNodeContext", "deleteNodeContext", "insAttrTblEntry", "insInputTerminalListEntry",
    "insOutputTerminalListEntry", "getInputTerminalHandle", "getOutputTerminalHandle",
    "getAttributePointer", "getBoolAttribute", "evaluate", "getAttributeName", "setAttribute",
    "getAttribute",
    // script
    "processKvPoolscript", "insertKvScript", "runKvPoolscript", "getOperandsOfPoolScript",
    // pool
    "hKvMem", "hKvMemView", "hSemaphore", "poolUsers", "noOfPoolPages", "initHandleOfKvPool",
    "initHandleOfKvPoolView", "initKvPoolMemory", "closeHandleOfKvPoolView", "closeHandleOfKvPool",
    "sem_WLock", "sem_WUnLock", "sem_RLock", "sem_RUnLock", "getKvPoolDataBlock",
    "storeKvPoolDataBlock", "storeKvPoolToFile", "initKvPoolFromFile",
    // message tree paths, failure helpers, attribute bag and string buffer
    "findRootElement", "findElement", "getValue", "addChildElement", "NodeGetValue",
    "NodeAddOrGetElement", "NodeAddElement", "NodeCopyMessage", "NodePrintWarning", "NodePrintInfo",
    "NodeThrowFatalException", "NodeThrowConfigException", "NodeHandleFailure", "checkRC",
    "NodeCreateAttributes", "NodeDestroyAttributes", "NodeAddAttribute", "NodeSetAttribute",
    "NodeGetAttribute", "NodeGetAttributeName", "NodeStringBufferAlloc", "NodeStringBufferFree",
    "NodeStringBufferAdd", "NodeStringBufferAddChar", "ASCIIToUnicode", "UnicodeToASCII",
    // UTF-16 helpers and trace
    "CciCharIsSpace", "CciCharIsAlnum", "CciCharCpy", "CciCharNCpy", "CciCharLen", "CciCharCmp",
    "CciString", "CciNString", "mbString", "CciCharIndexOf", "CharIndexOf", "UTOASCIICharNCpy",
    "Log", "ucsLog", "constLabel"};

std::set<std::string> definedDynamicSymbols(const std::string& library) {
  std::string command = "nm -D --defined-only --format=posix '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::set<std::string> names;
  if (pipe == nullptr) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    // The address sanitizer adds an ODR indicator beside every exported global.
    if (name.rfind("__odr_asan", 0) == 0) continue;
    names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(PluginSymbolsTest, ExportsExactlyTheLibraryNamesWithCLinkage) {
  auto defined = definedDynamicSymbols(KVPOOL_PLUGIN_PATH);
  ASSERT_FALSE(defined.empty()) << "nm could not read " << KVPOOL_PLUGIN_PATH;
  for (const auto& name : kExported) EXPECT_TRUE(defined.count(name)) << "not exported: " << name;
  for (const auto& name : defined) {
    EXPECT_TRUE(kExported.count(name)) << "exported but internal: " << name;
  }
  EXPECT_FALSE(defined.count("nextToken"));
  EXPECT_FALSE(defined.count("NodeStringBufferResize"));
}

}  // namespace
