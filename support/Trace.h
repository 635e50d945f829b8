// The trace log "/tmp/KvPool.log": each write, "[label]" first when a label is
// set, is in the file when the call returns; one that cannot be made is
// dropped, as are all while the path names anything but a regular file of one
// link the process's user owns. Read once per process: KVPOOL_TRACE=off writes
// no file; past KVPOOL_TRACE_LIMIT MiB (default 64) the file becomes
// /tmp/KvPool.log.1 and starts again.
#ifndef KVPOOL_SUPPORT_TRACE_H
#define KVPOOL_SUPPORT_TRACE_H

#include "host/BrokerApi.h"
#include "support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

// The process-wide label prefix (UTF-8), null while unset. Written only by
// setAttribute; a replaced label is never freed so concurrent writers stay safe.
KVPOOL_EXPORT extern char* constLabel;

// printf-style, plus "%S" for a zero-terminated CciChar text (written as UTF-8).
KVPOOL_EXPORT void Log(const char* format, ...);
// Writes the prefix, the text converted to UTF-8, and "\n"; "%" is literal.
KVPOOL_EXPORT void ucsLog(const char* prefix, const CciChar* text);

#ifdef __cplusplus
}

#include <atomic>

namespace kvpool {
// 1 while lines are written, 0 with KVPOOL_TRACE=off, -1 until the settings
// are read (by the first line).
extern std::atomic<int> traceState;
}  // namespace kvpool

// With the trace off a line costs a load and a test instead of a call (and
// its arguments are not evaluated): the pool's operations make several each.
#define Log(...) \
  (kvpool::traceState.load(std::memory_order_relaxed) != 0 ? Log(__VA_ARGS__) : (void)0)

#include "support/EntryGuard.h"

namespace kvpool {
// Runs an entry's body under guardEntry: an exception of the plug-in's own
// is traced as "  >entry: reason" and answered with failed (with nothing by
// an entry that returns nothing).
template <typename Body, typename Result>
Result answerEntry(const char* entry, Result failed, Body&& body) {
  return guardEntry(body, [&](const char* reason) {
    Log("  >%s: %s\n", entry, reason);
    return failed;
  });
}
template <typename Body>
void answerEntry(const char* entry, Body&& body) {
  guardEntry(body, [&](const char* reason) { Log("  >%s: %s\n", entry, reason); });
}
}  // namespace kvpool
#endif

#endif
