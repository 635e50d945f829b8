// The KvPoolNode plug-in: entry point, node class, per-node context with its
// attribute table and terminals, and the broker callbacks.
//
// Threads: the broker may run callbacks of different nodes at once but never
// two callbacks of one context, and never sets attributes during evaluate.
#ifndef KVPOOL_NODE_KVPOOL_H
#define KVPOOL_NODE_KVPOOL_H

#include <stdint.h>

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { ATTR_TYPE_INTEGER = 1, ATTR_TYPE_STRING = 2, ATTR_TYPE_BOOLEAN = 3 };

typedef struct AttrTblEntry {
  struct AttrTblEntry* next;
  void* valueBuffer;  // int32_t for integer and boolean, CciChar text for string
  int32_t attrType;
  CciChar attrName[128];
} AttrTblEntry;

typedef struct TerminalListEntry {
  struct TerminalListEntry* next;
  CciTerminal* terminalHandle;
  CciChar terminalName[256];
} TerminalListEntry;

typedef struct PoolScriptEntry {
  struct PoolScriptEntry* next;
  char* statement;  // assignment text, owned by the entry
} PoolScriptEntry;

typedef struct NodeContext {
  CciNode* nodeObject;
  AttrTblEntry* attrHead;
  AttrTblEntry* attrTail;
  TerminalListEntry* inTermHead;
  TerminalListEntry* inTermTail;
  TerminalListEntry* outTermHead;
  TerminalListEntry* outTermTail;
  CciChar nodeName[128];
  PoolScriptEntry* scriptHead;
} NodeContext;

// Process-wide UTF-16 constants built at load.
KVPOOL_EXPORT extern CciChar* constKvPoolNode;         // "KvPoolNode"
KVPOOL_EXPORT extern CciChar* constPluginNodeFactory;  // "KvPoolNodeFactory"
KVPOOL_EXPORT extern CciChar* constOut;                // "out"
KVPOOL_EXPORT extern CciChar* constFailure;            // "failure"
KVPOOL_EXPORT extern CciChar* constKvCatalog;          // "VTRL-KvPool"
KVPOOL_EXPORT extern CciChar* constVTRL2;              // "Vantrel2"

// The entry the broker calls after loading the library: logs the start-up
// event, builds the constants and defines the class "KvPoolNode". Returns the
// factory, or null when the broker refused it.
KVPOOL_EXPORT CciFactory* vtrGetMessageflowNodeFactory(void);
KVPOOL_EXPORT void initNodeConstants(void);
KVPOOL_EXPORT void defineKvPoolNode(CciFactory* factory);

// Callbacks of the node class.
KVPOOL_EXPORT CciContext* createNodeContext(CciFactory* factoryObject, CciChar* nodeName,
                                            CciNode* nodeObject);
KVPOOL_EXPORT void deleteNodeContext(CciContext* context);
KVPOOL_EXPORT int getAttributeName(CciContext* context, int index, CciChar* buffer,
                                   int bufferLength);
KVPOOL_EXPORT int setAttribute(CciContext* context, CciChar* name, CciChar* value);
KVPOOL_EXPORT int getAttribute(CciContext* context, CciChar* name, CciChar* buffer,
                               int bufferLength);
KVPOOL_EXPORT void evaluate(CciContext* context, CciMessage* exceptionList,
                            CciMessage* destinationList, CciMessage* message);

// Attribute table and terminal lists of a context.
KVPOOL_EXPORT AttrTblEntry* insAttrTblEntry(NodeContext* context, const CciChar* name, int type);
KVPOOL_EXPORT TerminalListEntry* insInputTerminalListEntry(NodeContext* context,
                                                           const CciChar* name);
KVPOOL_EXPORT TerminalListEntry* insOutputTerminalListEntry(NodeContext* context,
                                                            const CciChar* name);
KVPOOL_EXPORT CciTerminal* getInputTerminalHandle(NodeContext* context, const CciChar* name);
KVPOOL_EXPORT CciTerminal* getOutputTerminalHandle(NodeContext* context, const CciChar* name);
// The attribute's value storage, or null when there is no such attribute.
KVPOOL_EXPORT void* getAttributePointer(NodeContext* context, const CciChar* name);
// 0 or 1 for a boolean attribute; -1 when missing or not a boolean.
KVPOOL_EXPORT int getBoolAttribute(NodeContext* context, const CciChar* name);

#ifdef __cplusplus
}
#endif

#endif
