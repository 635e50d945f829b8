// The KvPoolExpression script: "SET left=right;" statements compiled into a
// statement list, and runs of that list against a message and the pool.
//
// script/ knows no node. Its caller hands it the script text, the head of the
// list to fill or run, and the two flags; the caller owns the list and
// releases it with releasePoolScript. Neither compiling nor running keeps
// state between calls; a run takes the pool's lock per read and store, none
// between statements, so another process may change a record in between.
#ifndef KVPOOL_SCRIPT_POOLSCRIPT_H
#define KVPOOL_SCRIPT_POOLSCRIPT_H

#include "host/BrokerApi.h"
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
  // The pool's lock could not be taken for a read or a store (the pool was
  // removed under the node, for instance); the failing text is the system
  // call and its error, e.g. "semop(): Identifier removed". On Redis: the
  // server cannot be used (unreachable, no answer within the timeout,
  // password refused, no master); the failing text names the backend and
  // its error.
  SCRIPT_POOL_UNAVAILABLE = 5,
  SCRIPT_POOL_FULL = 8,
  SCRIPT_UNSUPPORTED_CHARACTER = 100
};

// What a statement compiles to for its runs: operands split and classified,
// paths parsed, keys ready (script/PoolStatement.h, inside script/ only).
struct PoolStatement;

// One compiled statement, "left=right" as UTF-8 without spaces or "SET".
typedef struct PoolScriptEntry {
  struct PoolScriptEntry* next;
  char* statement;  // assignment text, malloc'd, owned by the entry
  // Its compiled form, made with the entry and owned by it. An entry made
  // elsewhere without one is compiled for each run instead.
  struct PoolStatement* compiled;
} PoolScriptEntry;

// Splits "left=right" at the first '=' into two 256-byte buffers. 0 split;
// 4 no '=' or an operand longer than 255 bytes (both buffers left empty).
KVPOOL_EXPORT int getOperandsOfPoolScript(const char* assignment, char* left, char* right);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace kvpool {

// Compiles script (UTF-16, null for none) and appends its statements to the
// list at *head. 0 compiled (also no script, an empty one, or one without
// ';'); 1 a statement does not begin with "SET" (or no memory); 2 an
// assignment begins with "Input" (event 16); 100 a rejected character
// (event 15, nothing appended). After a failure the list holds the statements
// before the failing one.
int compilePoolScript(const CciChar* script, PoolScriptEntry** head);

// Normalises one statement in place (drops spaces, tabs, line feeds and the
// leading "SET"), compiles it and appends it to the list at *head; on
// success the list owns the malloc'd text, otherwise the caller keeps it. 0,
// 1 or 2 as above.
int appendPoolStatement(PoolScriptEntry** head, char* statement);

// Releases every statement of the list (text, compiled form, then entry);
// *head becomes null.
void releasePoolScript(PoolScriptEntry** head);

// How a run treats a missing right operand, each as its boolean attribute
// reads (1 set, 0 clear, -1 unreadable).
struct PoolScriptFlags {
  // messageStoreEltNotFound: 0 fails a missing element (result 1); any other
  // value lets it through as empty text.
  int elementNotFound;
  // messageInsertKeyNotFound: exactly 1 lets a missing key through as empty
  // text; any other value fails it (result 2), so no value is ever invented.
  int keyNotFound;
};

// Runs the list once, stopping at the first failing statement. 0 all done;
// 1 a right operand element is missing; 2 a right operand pool key is
// missing; 3 a left operand element cannot be created; 4 malformed statement;
// 5 the pool is unavailable; 8 the pool is full. On 1, 2, 3 and 4 *errorText
// receives a new copy of the failing operand, on 5 of the failed system call
// (on Redis: the backend) and its error, that the caller frees; otherwise it
// is not written.
//
// The run goes over the message's pool session (pool/PoolSession.h). On
// shared memory every read and store acts at once. On Redis they are
// collected and sent as one batch, with the same results: a pool read
// becomes a reference to its future value, and a message field written from
// it gets an empty placeholder at once and its value once the server
// answered (a later read of that field yields the reference again). A
// message-side failure sends the operations before it first, and a stop
// among them comes first. The exception list and the destination list keep
// their changes when the message fails, so a write to them never runs while
// pool operations before it are unanswered: the batch is sent first (one
// more round trip for each such write after a pool operation).
int runPoolScript(const PoolScriptEntry* head, PoolScriptFlags flags, CciMessage* inputMessage,
                  CciMessage* exceptionList, CciMessage* destinationList, CciMessage* outputMessage,
                  char** errorText);

}  // namespace kvpool
#endif

#endif
