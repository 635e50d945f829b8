// The run of a statement list when the pool is on Redis (pool/PoolBackend.h):
// the same statements, the same results, one round trip per message.
//
// The statements run here one by one as they do on shared memory, except
// that their pool operations are collected instead of done: a pool read
// becomes a reference to its future value, a store of a literal or of such a
// reference is queued, and a message field written from a reference gets an
// empty placeholder at once and its value once the server answered (a later
// read of that same element yields the reference again). The queue goes to
// the server as one script, which stops where the statements one by one
// would have stopped; message-side failures found here end the queue before
// their statement. What comes out equals running the statements one by one.
//
// The exception list and the destination list are changed in place and keep
// their changes when the message fails, so a statement that writes to them
// never runs while pool operations before it are unanswered: the queue is
// sent first, and the run goes on with a new queue after the answer. Such a
// script costs one more round trip for each such write that follows a pool
// operation.
#ifndef KVPOOL_SCRIPT_POOLSCRIPTREMOTE_H
#define KVPOOL_SCRIPT_POOLSCRIPTREMOTE_H

#include "host/BrokerApi.h"
#include "pool/PoolBackend.h"
#include "script/PoolScript.h"

namespace kvpool {

// runPoolScript's contract, plus 5 (the pool is unavailable: *errorText
// names the backend and its error).
int runPoolScriptRemote(KvPoolBackend& pool, const PoolScriptEntry* head, PoolScriptFlags flags,
                        CciMessage* inputMessage, CciMessage* exceptionList,
                        CciMessage* destinationList, CciMessage* outputMessage, char** errorText);

}  // namespace kvpool

#endif
