// The per-node context: attribute table, terminal lists, pool attachment.
#include <cstdlib>
#include <cstring>
#include <string>

#include "node/KvPool.h"
#include "node/NodeInternal.h"
#include "pool/KvPoolShm.h"
#include "pool/PoolBackend.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace {

using kvpool::findAttribute;
using kvpool::kCodePageUtf8;
using kvpool::MallocPtr;

struct AttributeRow {
  const char* name;
  int type;
};

// Index order is the enumeration order of getAttributeName.
constexpr AttributeRow kAttributeRows[] = {
    {"KvPoolExpression", ATTR_TYPE_STRING},
    {"messageStoreEltNotFound", ATTR_TYPE_BOOLEAN},
    {"messageInsertKeyNotFound", ATTR_TYPE_BOOLEAN},
    {"messgaeRestore", ATTR_TYPE_BOOLEAN},
};

constexpr std::size_t kStringStorageBytes = 256;

// Copies a name into a fixed field, cut so that it always stays terminated.
template <std::size_t N>
void copyName(CciChar (&field)[N], const CciChar* name) {
  CciCharNCpy(field, name, N - 1);
  field[N - 1] = 0;
}

// Frees every entry of a list, releasing each one's contents first.
template <typename Entry, typename Release>
void freeList(Entry* entry, Release release) {
  while (entry != nullptr) {
    Entry* next = entry->next;
    release(entry);
    std::free(entry);
    entry = next;
  }
}

template <typename Entry>
void appendEntry(Entry*& head, Entry*& tail, Entry* entry) {
  (tail != nullptr ? tail->next : head) = entry;
  tail = entry;
}

// Everything the context owns; the broker's handles stay the broker's.
void freeNodeContext(NodeContext* context) {
  if (context == nullptr) return;
  kvpool::releasePoolScript(&context->scriptHead);
  freeList(context->attrHead, [](AttrTblEntry* entry) { std::free(entry->valueBuffer); });
  freeList(context->inTermHead, [](TerminalListEntry*) {});
  freeList(context->outTermHead, [](TerminalListEntry*) {});
  std::free(context);
}

using NodeContextPtr = std::unique_ptr<NodeContext, decltype(&freeNodeContext)>;

// A new terminal of the context, linked before the broker creates it so that
// the context owns it whatever the call does.
TerminalListEntry* insertTerminal(NodeContext* context, const CciChar* name, bool input) {
  auto* entry = static_cast<TerminalListEntry*>(std::calloc(1, sizeof(TerminalListEntry)));
  if (entry == nullptr) return nullptr;
  copyName(entry->terminalName, name);
  int rc = 0;
  if (input) {
    appendEntry(context->inTermHead, context->inTermTail, entry);
    entry->terminalHandle = cniCreateInputTerminal(&rc, context->nodeObject, entry->terminalName);
  } else {
    appendEntry(context->outTermHead, context->outTermTail, entry);
    entry->terminalHandle = cniCreateOutputTerminal(&rc, context->nodeObject, entry->terminalName);
  }
  return entry;
}

CciTerminal* findTerminal(const TerminalListEntry* entry, const CciChar* name) {
  for (; entry != nullptr; entry = entry->next) {
    if (CciCharCmp(entry->terminalName, name) == 0) return entry->terminalHandle;
  }
  return nullptr;
}

// Malformed backend settings: an event and a configuration exception, both
// saying what is wrong (never a password).
void raiseBackendRefused(const std::string& problem) {
  int rc = 0;
  Log("  >createNodeContext: %s\n", problem.c_str());
  cciLog(&rc, CCI_LOG_ERROR, kvpool::kEventFile, kvpool::kLineBackendRefused, "createNodeContext",
         constKvCatalog, kvpool::kEventBackendRefused, kvpool::kVTRL2Text, problem.c_str(),
         static_cast<const char*>(nullptr));
  kvpool::raiseThroughBroker([&] {
    cciThrowException(&rc, CCI_CONFIGURATION_EXCEPTION, kvpool::kEventFile,
                      kvpool::kLineBackendRefusedException, "createNodeContext", constKvCatalog,
                      kvpool::kEventBackendRefused, kvpool::kVTRL2Text, problem.c_str(),
                      static_cast<const char*>(nullptr));
  });
}

}  // namespace

AttrTblEntry* kvpool::findAttribute(NodeContext* context, const CciChar* name) {
  for (AttrTblEntry* entry = context->attrHead; entry != nullptr; entry = entry->next) {
    if (CciCharCmp(entry->attrName, name) == 0) return entry;
  }
  return nullptr;
}

AttrTblEntry* insAttrTblEntry(NodeContext* context, const CciChar* name, int type) {
  if (type != ATTR_TYPE_INTEGER && type != ATTR_TYPE_BOOLEAN && type != ATTR_TYPE_STRING) {
    return nullptr;
  }
  MallocPtr<AttrTblEntry> entry(static_cast<AttrTblEntry*>(std::calloc(1, sizeof(AttrTblEntry))));
  if (!entry) return nullptr;
  entry->valueBuffer =
      std::calloc(1, type == ATTR_TYPE_STRING ? kStringStorageBytes : sizeof(int32_t));
  if (entry->valueBuffer == nullptr) return nullptr;
  entry->attrType = type;
  copyName(entry->attrName, name);
  appendEntry(context->attrHead, context->attrTail, entry.get());
  return entry.release();
}

TerminalListEntry* insInputTerminalListEntry(NodeContext* context, const CciChar* name) {
  Log("-->insInputTerminalListEntry\n");
  return insertTerminal(context, name, true);
}

TerminalListEntry* insOutputTerminalListEntry(NodeContext* context, const CciChar* name) {
  Log("-->insOutputTerminalListEntry\n");
  return insertTerminal(context, name, false);
}

CciTerminal* getInputTerminalHandle(NodeContext* context, const CciChar* name) {
  Log("-->getInputTerminalHandle\n");
  return findTerminal(context->inTermHead, name);
}

CciTerminal* getOutputTerminalHandle(NodeContext* context, const CciChar* name) {
  Log("-->getOutputTerminalHandle\n");
  return findTerminal(context->outTermHead, name);
}

void* getAttributePointer(NodeContext* context, const CciChar* name) {
  Log("-->getAttributePointer\n");
  AttrTblEntry* entry = findAttribute(context, name);
  return entry != nullptr ? entry->valueBuffer : nullptr;
}

int getBoolAttribute(NodeContext* context, const CciChar* name) {
  Log("-->getBoolAttribute\n");
  return kvpool::flagValue(findAttribute(context, name));
}

namespace {

// Pool unavailable: the event before says it all, or the configuration
// problem is named.
void raisePoolUnavailable() {
  int rc = 0;
  kvpool::raiseThroughBroker([&] {
    cciThrowException(&rc, CCI_CONFIGURATION_EXCEPTION, kvpool::kEventFile,
                      kvpool::kLinePoolUnavailableException, "createNodeContext", constKvCatalog,
                      kvpool::kEventPoolUnavailable, kvpool::kVTRL2Text, getKvPoolAttachProblem(),
                      nullptr);
  });
}

CciContext* newNodeContext(CciChar* nodeName, CciNode* nodeObject) {
  Log("-->createNodeContext\n");
  // No user slot is taken for a context that cannot be allocated.
  NodeContextPtr context(static_cast<NodeContext*>(std::calloc(1, sizeof(NodeContext))),
                         freeNodeContext);
  if (!context) {
    Log("  >createNodeContext: calloc() failed\n");
    return nullptr;
  }
  context->nodeObject = nodeObject;
  if (nodeName != nullptr) CciCharNCpy(context->nodeName, nodeName, 128);

  for (const AttributeRow& row : kAttributeRows) {
    insAttrTblEntry(context.get(), MallocPtr<CciChar>(CciString(row.name, kCodePageUtf8)).get(),
                    row.type);
  }
  kvpool::storeScriptFlags(context.get());
  insInputTerminalListEntry(context.get(),
                            MallocPtr<CciChar>(CciString("in", kCodePageUtf8)).get());
  insOutputTerminalListEntry(context.get(), constOut);
  insOutputTerminalListEntry(context.get(), constFailure);

  // The pool's place is chosen before anything is attached: on Redis no
  // segment, semaphore set or user slot is made.
  if (std::string problem; !kvpool::selectPoolBackend(&problem)) {
    context.reset();
    raiseBackendRefused(problem);
    return nullptr;
  }
  if (kvpool::processPoolOnRedis()) {
    kvpool::takeRemotePoolUser();
    return context.release();
  }
  if (attachKvPool() != 0 || takeKvPoolUserSlot() != 0) {
    // The exception unwinds into the broker, which never sees this context.
    context.reset();
    raisePoolUnavailable();
    return nullptr;
  }
  return context.release();
}

}  // namespace

CciContext* createNodeContext(CciFactory* /*factoryObject*/, CciChar* nodeName,
                              CciNode* nodeObject) {
  return kvpool::answerEntry("createNodeContext", static_cast<CciContext*>(nullptr),
                             [&] { return newNodeContext(nodeName, nodeObject); });
}

void deleteNodeContext(CciContext* opaque) {
  kvpool::answerEntry("deleteNodeContext", [&] {
    // Released on every way out, after the pool is let go.
    const NodeContextPtr context(static_cast<NodeContext*>(opaque), freeNodeContext);
    Log("-->deleteNodeContext\n");
    // A creation that returned no context took no user slot to give back.
    if (!context) return;
    if (kvpool::processPoolOnRedis()) {
      kvpool::releaseRemotePoolUser();
    } else {
      detachKvPool();
    }
    Log("  finish.\n");
  });
}
