// The KvPoolNode plug-in: entry point, node class, per-node context
// (attributes, terminals, statement list), the broker callbacks and the
// context's script calls. node/ is the top floor and may include every other.
//
// Threads: the broker may run callbacks of different nodes at once, never two
// of one context, and never sets attributes during evaluate. Node creation
// and deletion change the pool handles under a process-wide lock.
#ifndef KVPOOL_NODE_KVPOOL_H
#define KVPOOL_NODE_KVPOOL_H

#include <stdint.h>

#include "host/BrokerApi.h"
#include "script/PoolScript.h"
#include "support/Export.h"
#include "support/KvPoolConstants.h"

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
  // The two flags as getBoolAttribute reads them, kept whenever a boolean is
  // set so that a message reads no attribute.
  int storeEltNotFound;
  int insertKeyNotFound;
} NodeContext;

// The entry the broker calls after loading the library: logs the start-up
// event (line 993), builds the constants and defines the class "KvPoolNode"
// with the callback table. Returns the factory; null when the broker refused
// it (a pending exception, rc 64, is raised again first).
KVPOOL_EXPORT CciFactory* vtrGetMessageflowNodeFactory(void);
// Builds the six constants; ones already built are kept.
KVPOOL_EXPORT void initNodeConstants(void);
// Stores the six callbacks into the table and defines the node class.
KVPOOL_EXPORT void defineKvPoolNode(CciFactory* factory);

// Callbacks of the node class. Broker exceptions raised inside them unwind
// through them to the broker; nothing they hold leaks. An exception of the
// plug-in's own (no memory) never does: it is traced, and answered as the
// callback's failure (no context, 1, or a message not sent on).
//
// New context with the four attributes, terminals "in", "out", "failure" and
// a pool user slot; the broker owns it until deleteNodeContext. Null when it
// cannot be allocated. Pool unavailable (not found, made or mapped, or no
// slot): event 9 and a configuration exception, context released, no slot
// taken. KVPOOL_BACKEND (pool/PoolBackend.h) malformed: event 17 and a
// configuration exception saying what is wrong. On Redis no slot is taken
// and nothing is created.
KVPOOL_EXPORT CciContext* createNodeContext(CciFactory* factoryObject, CciChar* nodeName,
                                            CciNode* nodeObject);
// Gives the user slot back (the machine's last node removes the pool, but
// not on Redis) and releases the context; null is ignored.
KVPOOL_EXPORT void deleteNodeContext(CciContext* context);
// Name of the attribute at index (0..3). 0 found; 1 no such index (buffer
// untouched). Writes at most bufferLength units, always terminated.
KVPOOL_EXPORT int getAttributeName(CciContext* context, int index, CciChar* buffer,
                                   int bufferLength);
// Stores value (booleans: "false" is 0, any other text 1; KvPoolExpression
// is compiled, replacing the statement list; a script that does not compile
// raises a configuration exception, message 10, after it is stored). 0 an
// attribute; 1 not one, "label" included, which sets the trace label.
KVPOOL_EXPORT int setAttribute(CciContext* context, CciChar* name, CciChar* value);
// Value as text ("true"/"false", decimal, or the string). 0 found; 1 not an
// attribute (buffer untouched). Writes at most bufferLength units, zero-filled
// after the text and always terminated (a longer text is cut).
KVPOOL_EXPORT int getAttribute(CciContext* context, CciChar* name, CciChar* buffer,
                               int bufferLength);
// Runs the script on a copy of message; the copy goes to "out", or message
// itself to "failure" with an error event. The copy is deleted on every way
// out, also when the broker raises.
KVPOOL_EXPORT void evaluate(CciContext* context, CciMessage* exceptionList,
                            CciMessage* destinationList, CciMessage* message);

// Attribute table and terminal lists of a context: names are copied (cut to
// fit), the context owns the entries.
//
// New attribute of type 1, 2 or 3, storage zeroed; null for another type or
// when allocation fails.
KVPOOL_EXPORT AttrTblEntry* insAttrTblEntry(NodeContext* context, const CciChar* name, int type);
// New terminal created on the context's node object; null when allocation fails.
KVPOOL_EXPORT TerminalListEntry* insInputTerminalListEntry(NodeContext* context,
                                                           const CciChar* name);
KVPOOL_EXPORT TerminalListEntry* insOutputTerminalListEntry(NodeContext* context,
                                                            const CciChar* name);
// The broker's handle of the first terminal of that name, or null.
KVPOOL_EXPORT CciTerminal* getInputTerminalHandle(NodeContext* context, const CciChar* name);
KVPOOL_EXPORT CciTerminal* getOutputTerminalHandle(NodeContext* context, const CciChar* name);
// The attribute's value storage (owned by the context), or null when there is
// no such attribute.
KVPOOL_EXPORT void* getAttributePointer(NodeContext* context, const CciChar* name);
// 0 or 1 for a boolean attribute; -1 when missing or not a boolean.
KVPOOL_EXPORT int getBoolAttribute(NodeContext* context, const CciChar* name);

// The context's script, compiled and run by script/; the results, the
// ownership of texts and the locking are those of kvpool::compilePoolScript,
// appendPoolStatement and runPoolScript (script/PoolScript.h). A compile
// that runs out of memory answers 1; a run 5, with the reason as its text.
//
// Compiles the context's KvPoolExpression into its statement list, replacing
// the previous list.
KVPOOL_EXPORT int processKvPoolscript(NodeContext* context);
// Normalises one statement in place and appends it to the context's list.
KVPOOL_EXPORT int insertKvScript(NodeContext* context, char* statement);
// Runs the statement list once with the context's two flags.
KVPOOL_EXPORT int runKvPoolscript(NodeContext* context, CciMessage* inputMessage,
                                  CciMessage* exceptionList, CciMessage* destinationList,
                                  CciMessage* outputMessage, char** errorText);

#ifdef __cplusplus
}
#endif

#endif
