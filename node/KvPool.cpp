// Plug-in entry: the start-up event, the process-wide UTF-16 constants and the
// definition of the node class with its callback table.
#include "node/KvPool.h"

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "node/NodeInternal.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

using kvpool::kCodePageUtf8;

// Handed to the broker by address and read for the life of the process; the
// callbacks are stored by defineKvPoolNode.
CniNodeFunctionTable nodeFunctionTable = {0,
                                          {'N', 'V', 'F', 'T'},
                                          CNI_VFT_VERSION,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr};

// The table is a record exchanged with the broker: a layout slip must fail
// the build, not the host.
constexpr std::size_t kPtr = sizeof(void*);
constexpr std::size_t kFirstCallback = kPtr == 4 ? 12 : 16;
static_assert(offsetof(CniNodeFunctionTable, reserved) == 0);
static_assert(offsetof(CniNodeFunctionTable, eyeCatcher) == 4);
static_assert(offsetof(CniNodeFunctionTable, version) == 8);
static_assert(offsetof(CniNodeFunctionTable, createNodeContext) == kFirstCallback);
static_assert(offsetof(CniNodeFunctionTable, deleteNodeContext) == kFirstCallback + 1 * kPtr);
static_assert(offsetof(CniNodeFunctionTable, getAttributeName) == kFirstCallback + 2 * kPtr);
static_assert(offsetof(CniNodeFunctionTable, setAttribute) == kFirstCallback + 3 * kPtr);
static_assert(offsetof(CniNodeFunctionTable, getAttribute) == kFirstCallback + 4 * kPtr);
static_assert(offsetof(CniNodeFunctionTable, evaluate) == kFirstCallback + 5 * kPtr);
static_assert(offsetof(CniNodeFunctionTable, trailing) == kFirstCallback + 6 * kPtr);
static_assert(sizeof(CniNodeFunctionTable) == kFirstCallback + 7 * kPtr);
static_assert(kPtr != 4 || sizeof(CniNodeFunctionTable) == 40);

// Built once: a text already handed out must stay valid when the entry runs
// again.
void buildConstant(CciChar*& constant, const char* text) {
  if (constant == nullptr) constant = CciString(text, kCodePageUtf8);
}

CciChar** const kConstants[] = {&constKvPoolNode, &constPluginNodeFactory, &constOut,
                                &constFailure,    &constKvCatalog,         &constVTRL2};

// Every label this library made. A replaced label stays valid (trace writes
// on other threads may still be reading it) until the library is unloaded.
std::mutex labelsMutex;
std::vector<char*> labels;

// A host that unloads the plug-in gets its texts back.
struct LoadedTexts {
  ~LoadedTexts() {
    for (CciChar** constant : kConstants) {
      std::free(*constant);
      *constant = nullptr;
    }
    const std::lock_guard<std::mutex> lock(labelsMutex);
    for (char* label : labels) {
      if (constLabel == label) constLabel = nullptr;
      std::free(label);
    }
    labels.clear();
  }
};
LoadedTexts loadedTexts;

}  // namespace

void kvpool::setTraceLabel(char* label) {
  MallocPtr<char> owned(label);
  const std::lock_guard<std::mutex> lock(labelsMutex);
  labels.push_back(label);
  constLabel = owned.release();
}

void initNodeConstants(void) {
  Log("-->initNodeConstants\n");
  buildConstant(constKvPoolNode, "KvPoolNode");
  buildConstant(constPluginNodeFactory, "KvPoolNodeFactory");
  buildConstant(constOut, "out");
  buildConstant(constFailure, "failure");
  buildConstant(constKvCatalog, kvpool::kKvCatalogText);
  buildConstant(constVTRL2, kvpool::kVTRL2Text);
}

void defineKvPoolNode(CciFactory* factory) {
  int rc = 0;
  Log("-->defineKvPoolNode\n");
  nodeFunctionTable.createNodeContext = createNodeContext;
  nodeFunctionTable.deleteNodeContext = deleteNodeContext;
  nodeFunctionTable.getAttributeName = getAttributeName;
  nodeFunctionTable.setAttribute = setAttribute;
  nodeFunctionTable.getAttribute = getAttribute;
  nodeFunctionTable.evaluate = evaluate;
  cniDefineNodeClass(&rc, factory, constKvPoolNode, &nodeFunctionTable);
}

namespace {

CciFactory* makeFactory() {
  int rc = 0;
  Log("-->vtrGetMessageflowNodeFactory\n");
  cciLog(&rc, CCI_LOG_INFORMATION, kvpool::kEventFile, kvpool::kLinePluginLoading,
         kvpool::constFnGetFactory, kvpool::kVTRL2Units, kvpool::kEventPluginLoading,
         "Plugin <KvPoolFactoryNEWKv2> loading", nullptr);
  initNodeConstants();
  CciFactory* factory = cniCreateNodeFactory(&rc, constPluginNodeFactory);
  if (factory != nullptr) {
    defineKvPoolNode(factory);
  } else if (rc == CCI_EXCEPTION) {
    CciExceptionData exceptionData{};
    cciGetLastExceptionData(&rc, &exceptionData);
    kvpool::raiseThroughBroker([&] { cciRethrowLastException(&rc); });
  }
  return factory;
}

}  // namespace

CciFactory* vtrGetMessageflowNodeFactory(void) {
  return kvpool::answerEntry("vtrGetMessageflowNodeFactory", static_cast<CciFactory*>(nullptr),
                             makeFactory);
}
