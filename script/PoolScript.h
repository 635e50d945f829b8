// The KvPoolExpression script: "SET left=right;" statements compiled into a
// list, and runs of that list against a message and the pool. script/ knows no
// node: its caller owns the list (released with releasePoolScript) and hands
// in the script text and the two flags. Nothing is kept between calls; a run
// takes the pool's lock per read and store, none between statements.
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
  // No '=' (failing text: the statement) or an operand over 255 bytes (it).
  SCRIPT_MALFORMED_STATEMENT = 4,
  // The pool's lock could not be taken (the pool was removed under the node,
  // say): failing text "semop(): Identifier removed". On Redis the server is
  // unreachable, silent past the timeout, refuses the password or has no
  // master, or refuses an operation: the failing text names the backend, the
  // key where one failed, and the error ("outcome unknown" at its end when a
  // request went out unanswered).
  SCRIPT_POOL_UNAVAILABLE = 5,
  // On Redis the failing text is the key whose store was refused.
  SCRIPT_POOL_FULL = 8,
  SCRIPT_UNSUPPORTED_CHARACTER = 100
};

// A statement's compiled form (script/PoolStatement.h, inside script/ only).
struct PoolStatement;

// One statement, "left=right" as UTF-8 without spaces or "SET".
typedef struct PoolScriptEntry {
  struct PoolScriptEntry* next;
  char* statement;  // malloc'd, owned by the entry
  // Owned by the entry; an entry made elsewhere without one is compiled for
  // each run instead.
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

// Compiles script (UTF-16, null for none) onto the list at *head. 0 compiled
// (also none, empty, or without ';'); 1 a statement lacks "SET" (or no
// memory); 2 an assignment begins with "Input" (event 16); 100 a rejected
// character (event 15, nothing appended). After a failure the list holds the
// statements before the failing one.
int compilePoolScript(const CciChar* script, PoolScriptEntry** head);

// Normalises one statement in place (drops blanks and the leading "SET"),
// compiles and appends it; on success the list owns the malloc'd text, else
// the caller keeps it. 0, 1 or 2 as above.
int appendPoolStatement(PoolScriptEntry** head, char* statement);

// Releases every statement of the list (text, compiled form, then entry);
// *head becomes null.
void releasePoolScript(PoolScriptEntry** head);

// How a run treats a missing right operand, as the boolean attributes read
// (1 set, 0 clear, -1 unreadable).
struct PoolScriptFlags {
  // messageStoreEltNotFound: 0 fails a missing element (result 1); else empty.
  int elementNotFound;
  // messageInsertKeyNotFound: exactly 1 lets a missing key through as empty
  // text; else it fails (result 2), so no value is ever invented.
  int keyNotFound;
};

// Runs the list once, stopping at the first failing statement. 0 all done;
// 1 a right operand element is missing; 2 a right operand pool key is
// missing; 3 a left operand element cannot be created; 4 malformed statement;
// 5 the pool is unavailable; 8 the pool is full. On 1-5, and on 8 from
// Redis, *errorText receives a new text the caller frees (the failing
// operand; on 5 the failed call or backend and its error; on 8 the refused
// key); otherwise it is not written.
//
// The run goes over the message's pool session (pool/PoolSession.h): on
// shared memory each read and store acts at once; on Redis they go as one
// batch with the same results. A pool read is then a reference to its future
// value: a field written from it is empty until the server answers (reading
// that field yields the reference again). A message-side failure sends the
// operations before it first, and a stop among them comes first. Writes to
// the exception and destination lists, which keep their changes when the
// message fails, wait until the pool operations before them are answered
// (one more round trip each).
int runPoolScript(const PoolScriptEntry* head, PoolScriptFlags flags, CciMessage* inputMessage,
                  CciMessage* exceptionList, CciMessage* destinationList, CciMessage* outputMessage,
                  char** errorText);

}  // namespace kvpool
#endif

#endif
