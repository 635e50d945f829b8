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
  // A statement without '=' or with an operand longer than 255 bytes; the
  // failing text is the whole statement (no '=') or the overlong operand.
  SCRIPT_MALFORMED_STATEMENT = 4,
  SCRIPT_POOL_FULL = 8,
  SCRIPT_UNSUPPORTED_CHARACTER = 100
};

// Compiles the context's KvPoolExpression into its statement list, replacing
// the previous list. 0 compiled (also an empty script or one without ';');
// 1 a statement does not begin with "SET" (or no memory); 2 an assignment
// begins with "Input" (event 16); 100 a rejected character (event 15). After
// a failure the list holds the statements before the failing one. Statements
// are kept as UTF-8.
KVPOOL_EXPORT int processKvPoolscript(NodeContext* context);
// Normalises one statement in place (drops spaces, tabs, line feeds and the
// leading "SET") and appends it; on success the list owns the malloc'd text,
// otherwise the caller keeps it. 0, 1 or 2 as above.
KVPOOL_EXPORT int insertKvScript(NodeContext* context, char* statement);

// Runs the statement list once, stopping at the first failing statement.
// 0 all done; 1 a right operand element is missing; 2 a right operand pool key
// is missing; 3 a left operand element cannot be created; 4 malformed
// statement; 8 the pool is full. On 1, 2, 3 and 4 *errorText receives a new
// copy of the failing operand that the caller frees; otherwise it is not
// written. Takes the pool's lock per read and store, none between statements.
KVPOOL_EXPORT int runKvPoolscript(NodeContext* context, CciMessage* inputMessage,
                                  CciMessage* exceptionList, CciMessage* destinationList,
                                  CciMessage* outputMessage, char** errorText);
// Splits "left=right" at the first '=' into two 256-byte buffers. 0 split;
// 4 no '=' or an operand longer than 255 bytes (both buffers left empty).
KVPOOL_EXPORT int getOperandsOfPoolScript(const char* assignment, char* left, char* right);

#ifdef __cplusplus
}
#endif

#endif
