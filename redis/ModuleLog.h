// The module's trace: each line goes to the plug-in's trace through the
// host table handed to kvpoolRedisOpen (the module cannot link back to the
// plug-in). Before any open, or in a program that links the module's
// objects alone, lines go nowhere.
#ifndef KVPOOL_REDIS_MODULELOG_H
#define KVPOOL_REDIS_MODULELOG_H

#include "pool/PoolBackend.h"

namespace kvpool {

void setModuleHost(const KvPoolRedisHost* host);
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kvpool

#endif
