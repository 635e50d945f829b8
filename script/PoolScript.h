// The KvPoolExpression script: compilation of "SET" statements into the
// node's statement list, and their execution against a message and the pool.
#ifndef KVPOOL_SCRIPT_POOLSCRIPT_H
#define KVPOOL_SCRIPT_POOLSCRIPT_H

#include "host/BrokerApi.h"
#include "node/KvPool.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Script result codes; they double as broker message numbers.
enum {
  SCRIPT_OK = 0,
  SCRIPT_ELEMENT_NOT_FOUND = 1,  // also: compile, statement without "SET"
  SCRIPT_KEY_NOT_FOUND = 2,      // also: compile, left operand starts with "Input"
  SCRIPT_CANNOT_CREATE = 3,
  SCRIPT_POOL_FULL = 8,
  SCRIPT_UNSUPPORTED_CHARACTER = 100
};

// Compiles the context's KvPoolExpression into its statement list (replacing
// the previous list). 0, 1, 2 or 100.
KVPOOL_EXPORT int processKvPoolscript(NodeContext* context);
// Normalises one statement in place and appends it; on success the list owns
// the text. 0, 1 or 2.
KVPOOL_EXPORT int insertKvScript(NodeContext* context, char* statement);

// Runs the statement list. 0, or the code of the first failing statement; for
// some failures *errorText receives a new copy of the failing operand that
// the caller frees.
KVPOOL_EXPORT int runKvPoolscript(NodeContext* context, CciMessage* inputMessage,
                                  CciMessage* exceptionList, CciMessage* destinationList,
                                  CciMessage* outputMessage, char** errorText);
// Splits "left=right" at the first '=' into two 256-byte buffers.
KVPOOL_EXPORT int getOperandsOfPoolScript(const char* assignment, char* left, char* right);

#ifdef __cplusplus
}
#endif

#endif
